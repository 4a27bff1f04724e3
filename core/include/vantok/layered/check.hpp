#pragma once
// Input checks of a layered sphere (layer 0 the core, layer L-1 the outermost;
// x_l the size parameter of the outer surface of layer l, m_l its refractive
// index), the validated domain of the layered solver and the extra limit on
// x_L for derivatives.

#include <cstddef>
#include <span>
#include <string>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/limits.hpp"
#include "vantok/mie/check.hpp"

namespace vantok::layered {

using ::vantok::MAX_LAYERS;

/// The first two steps of the check: one size parameter and one index per layer, at
/// least one layer and at most MAX_LAYERS. Reads no values, so a caller can
/// run it on the array shape before allocating anything for the particle.
Result<void> check_layer_count(std::size_t x_count, std::size_t m_count);

/// Checks a layered sphere (the first failure ends the check) and returns the
/// number of terms N: the layer count, finite and nondecreasing x_l within
/// [1e-30, 1e6], each m_l finite, non-negative and with 1e-6 <= |m_l| <= 1000,
/// N within [1, MAX_MIE_ORDER], then (unless allow_unvalidated) the validated
/// domain and N >= default_terms(x_L).
Result<std::size_t> check_inputs(std::span<const double> xs, std::span<const Complex<double>> ms,
                                 const mie::SolveOptions& options);

/// With derivatives, more than one layer and allow_unvalidated false, x_L must
/// not exceed domain::DERIVATIVE_X_MAX.
Result<void> check_derivative_limit(const mie::SolveOptions& options, bool derivatives,
                                    std::span<const double> xs);

namespace domain {

/// The box within which layered-sphere results are validated.
struct ValidatedDomain {
  double x_lo;
  double x_hi;
  double re_hi;
  double im_hi;
  double abs_lo;
  std::size_t max_layers;
  double abs_x_hi;

  /// One layer: the homogeneous-sphere domain. More layers: L <= max_layers,
  /// x_lo <= x_L <= x_hi, |m_l| x_L <= abs_x_hi for every layer, then
  /// 0 < Re m_l <= re_hi, 0 <= Im m_l <= im_hi, |m_l| >= abs_lo for every
  /// layer. Any NaN gives false.
  bool contains(std::span<const double> xs, std::span<const Complex<double>> ms) const;
  /// "x_L in [1e-6, 1e4], every layer 0 < Re m <= 10, 0 <= Im m <= 10,
  /// |m| >= 0.1 and |m| x_L <= 3e4, at most 16 layers"
  std::string to_string() const;
};

/// The validated domain of the layered solver.
inline constexpr ValidatedDomain VALIDATED{1e-6, 10000.0, 10.0, 10.0, 0.1, 16, 30000.0};

/// Largest x_L for which derivatives of a sphere of several layers are validated.
inline constexpr double DERIVATIVE_X_MAX = 1000.0;

}  // namespace domain

}  // namespace vantok::layered
