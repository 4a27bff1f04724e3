#pragma once
// The particles of an ensemble: a homogeneous sphere or a layered sphere, with
// one refractive index per wavelength (per layer), and their checks.

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble {

/// A homogeneous sphere: its refractive index at each wavelength.
struct Sphere {
  std::vector<Complex<double>> m;
};

/// A layered sphere, core first. Fraction k is the outer radius of layer k
/// over the particle's radius; the outermost layer has none (it is 1).
struct LayeredSphere {
  std::vector<double> radius_fractions;
  /// One sequence of refractive indices per layer, one index per wavelength.
  std::vector<std::vector<Complex<double>>> layers;
};

/// The form of a particle, all that its checks and its parameter names read:
/// a sphere, or a layered sphere's number of layers and radius fractions; and
/// how many refractive indices it holds. A caller may check a particle by its
/// form before it copies the refractive indices.
struct ParticleShape {
  /// The number of layers of a layered sphere; none for a sphere.
  std::optional<std::size_t> layers;
  /// The number of radius fractions, and their values (read only once the
  /// count is the one the layers need, so at most MAX_LAYERS - 1 of them).
  std::size_t fraction_count = 0;
  std::span<const double> radius_fractions;
  /// The refractive indices of a sphere, or of a layered sphere's core.
  std::size_t index_count = 0;
  /// The first layer after the core that holds another number of refractive
  /// indices, and that number.
  std::optional<std::pair<std::size_t, std::size_t>> uneven_layer;

  /// Checks a layered sphere's layer count, fractions and index counts; a
  /// sphere always passes. A failure is an invalid input whose message is
  /// bare (the callers wrap it in their own way).
  Result<void> validate() const;
};

struct Particle {
  using Kind = std::variant<Sphere, LayeredSphere>;
  Kind kind;

  /// The particle's form.
  ParticleShape shape() const;

  /// shape().validate().
  Result<void> validate() const;

  /// The particle's number of refractive indices: a sphere's, or its core's.
  std::size_t index_count() const;

  template <class K>
  const K* get_if() const noexcept {
    return std::get_if<K>(&kind);
  }
};

}  // namespace vantok::ensemble
