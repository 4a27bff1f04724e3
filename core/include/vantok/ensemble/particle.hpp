#pragma once
// The particles of an ensemble: a homogeneous sphere or a layered sphere, with
// one refractive index per wavelength (per layer), and their checks.

#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "vantok/complex.hpp"

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

struct Particle {
  using Kind = std::variant<Sphere, LayeredSphere>;
  Kind kind;

  /// Checks a layered sphere's layer count, fractions and index counts; a
  /// sphere always passes. A failure is the bare message (the callers wrap it
  /// in their own way).
  std::expected<void, std::string> validate() const;

  /// The particle's number of refractive indices: a sphere's, or its core's.
  std::size_t index_count() const;

  template <class K>
  const K* get_if() const noexcept {
    return std::get_if<K>(&kind);
  }
};

}  // namespace vantok::ensemble
