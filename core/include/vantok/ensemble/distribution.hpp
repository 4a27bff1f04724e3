#pragma once
// Size distributions of an ensemble: the seven kinds a user describes, their
// checks, the names of their differentiable parameters, and the evaluator of
// the number density n(r) with its parameter derivatives.
//
// Densities are not normalised. Each is formed relative to a reference radius
// a of its kind, and every consumer divides by the zeroth moment M0 of the
// same density, so any factor that does not depend on r cancels.

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vantok/error.hpp"

namespace vantok::ensemble {

/// Lognormal in r: n ∝ exp(-u²/(2s²))/r, u = ln(r/median_radius), s = ln width.
struct Lognormal {
  double median_radius;
  /// Geometric width, > 1.
  double width;
};

/// Gamma: n ∝ r^((1-3v)/v) exp(-r/(a_e v)), a_e the effective radius, v the
/// effective variance in (0, 0.5).
struct Gamma {
  double effective_radius;
  double effective_variance;
};

/// Modified gamma: n ∝ r^alpha exp(-b r^gamma).
struct ModifiedGamma {
  double alpha;
  double b;
  double gamma;
};

/// Power law n ∝ r^(-exponent) on [min_radius, max_radius] (both ends inside).
struct PowerLaw {
  double exponent;
  double min_radius;
  double max_radius;
};

/// Every particle has the one radius.
struct Monodisperse {
  double radius;
};

/// Densities at increasing radii, linear in r between them, 0 outside.
struct Tabulated {
  std::vector<double> radii;
  std::vector<double> densities;
  /// The numbers of radii and densities given, when a reader left both
  /// sequences empty because their lengths alone are refused (fewer than 2
  /// radii, or not one density per radius): such a table is refused by these
  /// lengths without its values ever being copied.
  std::optional<std::pair<std::size_t, std::size_t>> unread_lengths = std::nullopt;
};

struct Mode;

/// A weighted sum of modes; the mode weights are relative to each other.
struct Multimodal {
  std::vector<Mode> modes;
};

/// A number density of particle radius r, in the length unit of the
/// wavelengths. A plain value: copying it copies every mode and table (the
/// batch run gives each component its own copy).
struct SizeDistribution {
  using Kind = std::variant<Lognormal, Gamma, ModifiedGamma, PowerLaw, Monodisperse, Tabulated,
                            Multimodal>;
  Kind kind;

  /// Checks the fields of the kind in their order; a multimodal distribution
  /// checks each mode's weight, then the mode (itself possibly multimodal).
  Result<void> validate() const;

  /// The kind's differentiable parameters, in slot order (multimodal: none of
  /// its own, its modes' are enumerated per mode).
  std::span<const std::string_view> parameter_names() const;

  template <class K>
  const K* get_if() const noexcept {
    return std::get_if<K>(&kind);
  }
};

/// One mode of a multimodal distribution.
struct Mode {
  double weight;
  SizeDistribution distribution;
};

/// The slot of a parameter name in the kind's table; none when the kind has no
/// parameter of that name.
std::optional<std::size_t> parameter_slot(const SizeDistribution& distribution,
                                          std::string_view name);

/// The number density of one non-multimodal distribution with its parameter
/// derivatives. Holds no state besides the fields below: one Density serves
/// every thread at once.
class Density {
 public:
  /// The reference radius and log scale of the distribution's kind.
  explicit Density(const SizeDistribution& distribution);

  /// n(r); fills out[k] = dn/dp_k (the reference radius held fixed) for the
  /// slots of the kind's parameter table, stopping when `out` is full. Never
  /// fails and never allocates; a non-finite density is returned as it is.
  double eval(double r, std::span<double> out) const;

  const SizeDistribution* distribution;
  /// The radius a relative to which the log-density is formed.
  double reference;
  /// The width s of the peak in ln r (+inf for the kinds without one).
  double scale;
};

}  // namespace vantok::ensemble
