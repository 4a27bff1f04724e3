#pragma once
// The scalar operations of the T-matrix series, per scalar type. Generic code
// of this area calls these and nothing else, so that each member's rule (which
// division, which reciprocal, how a magnitude or a value comparison treats the
// sign bit, the lo part or the partials) is stated once.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "vantok/complex.hpp"

namespace vantok::tmatrix::detail {

/// The constant c as a T (zero lo part, zero partials).
template <class T>
T constant(double c);

/// prod_{k=1..m} sqrt((2k-1)/(2k)), the quotient formed first, multiplied
/// from k = 1 upward starting at 1; a constant (zero partials).
template <class T>
T start_factor(std::size_t m);

/// sqrt(v) of an integer v, as a constant of T.
template <class T>
T root_const(std::uint64_t v);

template <>
inline double constant<double>(double c) {
  return c;
}

template <>
inline double start_factor<double>(std::size_t m) {
  double a = 1.0;
  for (std::size_t k = 1; k <= m; ++k) {
    a = a * std::sqrt(static_cast<double>(2 * k - 1) / static_cast<double>(2 * k));
  }
  return a;
}

template <>
inline double root_const<double>(std::uint64_t v) {
  return std::sqrt(static_cast<double>(v));
}

// ---- f64 ------------------------------------------------------------------

/// 1/x
inline double recip(double x) { return 1.0 / x; }

/// a/b
inline double divide(double a, double b) { return a / b; }

/// sqrt(a^2 + b^2) by the C library hypot.
inline double modulus(double a, double b) { return std::hypot(a, b); }

inline double root(double x) { return std::sqrt(x); }

/// x^n by square-and-multiply over the bits of |n| (the running power starts
/// at x when n is odd, else at 1), then 1/x^|n| for n < 0.
inline double powi(double x, std::int32_t n) {
  std::uint32_t m = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
  double base = x;
  double acc = (m & 1u) != 0 ? x : 1.0;
  for (m >>= 1; m != 0; m >>= 1) {
    base = base * base;
    if ((m & 1u) != 0) acc = acc * base;
  }
  return n < 0 ? 1.0 / acc : acc;
}

/// (sin x, cos x)
inline std::pair<double, double> sin_cos(double x) { return {std::sin(x), std::cos(x)}; }

inline double exponential(double x) { return std::exp(x); }

/// |x| (sign bit cleared).
inline double magnitude(double x) { return std::fabs(x); }

/// a >= b on the values; false when either is NaN.
inline bool at_least(double a, double b) { return a >= b; }

/// x times the integer constant k (exact as an f64).
inline double times_const(double x, double k) { return k * x; }

/// x over the integer constant k.
inline double over_const(double x, double k) { return x / k; }

/// min(q, 1) of the regular scales: q when q < 1, else 1 (NaN gives 1).
inline double cap_at_one(double q) { return q < 1.0 ? q : 1.0; }

/// The leading f64 of a value (itself for f64).
inline double leading(double x) { return x; }

}  // namespace vantok::tmatrix::detail
