#pragma once
// Shared comparison helpers of the core tests.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "vantok/complex.hpp"

namespace vantok::test {

/// Relative error |got - want| / |want|, with deliberate handling of the
/// special values: equal NaNs, equal infinities and exact equality give 0; a
/// zero reference gives the absolute error; any other mismatch of non-finite
/// values gives +inf.
inline double rel_err(double got, double want) {
  if (std::isnan(want) || std::isnan(got)) return (std::isnan(want) && std::isnan(got)) ? 0.0 : INFINITY;
  if (got == want) return 0.0;
  if (!std::isfinite(want) || !std::isfinite(got)) return INFINITY;
  if (want == 0.0) return std::fabs(got);
  return std::fabs(got - want) / std::fabs(want);
}

/// Bit pattern of a double, for bitwise assertions (distinguishes -0.0 and NaN payloads).
inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

/// Same bits, or both NaN.
inline bool same_bits(double a, double b) {
  return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

/// |got - want| / |want| for complex values (moduli by hypot); a zero
/// reference gives the absolute error.
inline double rel_err(Complex<double> got, Complex<double> want) {
  const double scale = std::hypot(want.re, want.im);
  const double diff = std::hypot(got.re - want.re, got.im - want.im);
  return scale == 0.0 ? diff : diff / scale;
}

}  // namespace vantok::test
