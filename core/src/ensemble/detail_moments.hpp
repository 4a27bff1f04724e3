#pragma once
// The moments of a size distribution over a radius range: M0, <r²> and <r³>,
// their derivatives with respect to the requested distribution parameters, and
// error estimates for all of them.

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "vantok/ensemble/distribution.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble::moments {

/// The moments of one integration part. The per-parameter sequences follow the
/// requested parameters' order.
struct Averages {
  /// (<r²>, <r³>) = (M2/M0, M3/M0).
  std::array<double, 2> means;
  std::array<double, 2> mean_errors;
  double m0;
  double m0_err;
  /// (d<r²>/dp, d<r³>/dp) per parameter.
  std::vector<std::array<double, 2>> mean_derivatives;
  std::vector<std::array<double, 2>> mean_derivative_errors;
  /// dM0/dp per parameter.
  std::vector<double> m0_derivatives;
  std::vector<double> m0_derivative_errors;
};

/// The largest panel count of the adaptive moment integration.
inline constexpr std::size_t MAX_MOMENT_PANELS = 100000;

/// Integrates M0, M2, M3 and, per requested slot j, D_j,k = ∫ r^k dn/dp_j dr
/// (k = 0, 2, 3) over [lo, hi] by adaptive G7-K15 panels in t = ln r, with
/// panels ending at every breakpoint strictly inside; then `averages` with the
/// extra relative allowance `tail`.
Result<Averages> moments(const SizeDistribution& distribution, std::span<const std::size_t> slots,
                         std::span<const double> breakpoints, double lo, double hi, double tol,
                         double tail);

/// The Averages of the integrated entries (M0, M2, M3, then D_j,0, D_j,2, D_j,3
/// per parameter) and their absolute errors, for `count` parameters.
Result<Averages> averages(std::span<const double> values, std::span<const double> errors,
                          std::size_t count, double tail);

}  // namespace vantok::ensemble::moments
