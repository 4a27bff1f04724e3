#pragma once
// The traits table of the library's four scalars (double, DoubleDouble,
// Dual<double, N>, Dual<DoubleDouble, N>): every per-scalar fact generic code
// reads, stated once per scalar. What a value is as f64, how two values are
// ordered, which tests of finiteness and of zero exist (on the leading part,
// on the whole value, on the value and every partial), how an f64 constant or
// an integer becomes a scalar, π to the scalar's precision, and for the two
// reals the arithmetic and bounds the dual rules build on.
//
// Three zero tests, three meanings:
// - is_zero: the leading part of the value is zero (either sign); what the
//   special paths of the dual rules and the skip of a negligible entry test;
// - value_is_exact_zero: every part of the value is zero (hi and lo of a
//   double-double); a dual's partials are not examined;
// - is_exact_zero: every part of the value and of every partial is zero.
// For double they coincide; for DoubleDouble the last two coincide.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "vantok/constants.hpp"
#include "vantok/scalar/dd.hpp"

namespace vantok::scalar {

using dd::DoubleDouble;

namespace dual {
template <class T, std::size_t N>
struct Dual;
}  // namespace dual

/// The traits of a scalar. Real is the underlying real type (the scalar
/// itself for double and DoubleDouble).
template <class T>
struct ScalarTraits;

template <>
struct ScalarTraits<double> {
  using T = double;
  using Real = double;
  static constexpr bool is_dual = false;
  static constexpr std::size_t partial_count = 0;
  static constexpr const char* name = "f64";

  /// The smallest normal double, 2^-1022: below it the dual rules leave
  /// their fast paths.
  static constexpr double SAFE_MIN = 0x1p-1022;
  static constexpr double MAX = std::numeric_limits<double>::max();
  static constexpr double ZERO = 0.0;
  static constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

  /// The value as f64.
  static constexpr double value_f64(double x) noexcept { return x; }
  /// The value itself, in the real type.
  static constexpr const double& value(const double& x) noexcept { return x; }
  /// The f64 constant c as a scalar.
  static constexpr double from_f64(double c) noexcept { return c; }
  /// The integer n as a scalar (exact up to 2^53).
  static constexpr double from_int(std::int64_t n) noexcept { return static_cast<double>(n); }
  /// The real r as a scalar.
  static constexpr double from_real(double r) noexcept { return r; }
  /// π rounded to double.
  static constexpr double pi() noexcept { return constants::PI; }

  static bool is_finite(double x) noexcept { return std::isfinite(x); }
  /// Infinity or NaN.
  static bool is_non_finite(double x) noexcept { return !std::isfinite(x); }
  /// Finite, like is_finite (no partials).
  static bool all_finite(double x) noexcept { return std::isfinite(x); }
  static bool is_nan(double x) noexcept { return std::isnan(x); }
  /// A zero of either sign; NaN is not zero.
  static bool is_zero(double x) noexcept { return x == 0.0; }
  /// A zero of either sign.
  static bool value_is_exact_zero(double x) noexcept { return x == 0.0; }
  /// A zero of either sign.
  static bool is_exact_zero(double x) noexcept { return x == 0.0; }
  static bool sign_bit(double x) noexcept { return std::signbit(x); }
  /// a > b; false with a NaN.
  static bool greater(double a, double b) noexcept { return a > b; }

  static double abs(double x) noexcept { return std::fabs(x); }
  static double recip(double x) noexcept { return 1.0 / x; }
  static double div(double a, double b) noexcept { return a / b; }
  static double mul_f64(double a, double s) noexcept { return a * s; }
  static double sqrt(double x) noexcept { return std::sqrt(x); }
  static double exp(double x) noexcept { return std::exp(x); }
  static double hypot(double a, double b) noexcept { return std::hypot(a, b); }
  /// x^n by binary powering (not std::pow, so that every platform agrees).
  static double powi(double x, std::int32_t n) noexcept { return dd::detail::powi_f64(x, n); }
  static std::pair<double, double> sin_cos(double x) noexcept { return {std::sin(x), std::cos(x)}; }
};

template <>
struct ScalarTraits<DoubleDouble> {
  using T = DoubleDouble;
  using Real = DoubleDouble;
  static constexpr bool is_dual = false;
  static constexpr std::size_t partial_count = 0;
  static constexpr const char* name = "double-double";

  /// 2^-969: below it the trailing part of a double-double is subnormal.
  static constexpr DoubleDouble SAFE_MIN{0x1p-969, 0.0};
  static constexpr DoubleDouble MAX{std::numeric_limits<double>::max(), 0.0};
  static constexpr DoubleDouble ZERO{0.0, 0.0};
  static constexpr DoubleDouble NaN{std::numeric_limits<double>::quiet_NaN(), 0.0};

  /// The value as f64: the leading part.
  static constexpr double value_f64(const DoubleDouble& x) noexcept { return x.hi; }
  static constexpr const DoubleDouble& value(const DoubleDouble& x) noexcept { return x; }
  /// The f64 constant c as (c, 0.0).
  static constexpr DoubleDouble from_f64(double c) noexcept { return DoubleDouble{c, 0.0}; }
  /// The integer n as (n, 0.0) (exact up to 2^53).
  static constexpr DoubleDouble from_int(std::int64_t n) noexcept {
    return DoubleDouble{static_cast<double>(n), 0.0};
  }
  static constexpr DoubleDouble from_real(const DoubleDouble& r) noexcept { return r; }
  /// π as the double-double (PI, PI_LO).
  static constexpr DoubleDouble pi() noexcept { return DoubleDouble(constants::PI, constants::PI_LO); }

  /// Tested on the leading part.
  static bool is_finite(const DoubleDouble& x) noexcept { return std::isfinite(x.hi); }
  static bool is_non_finite(const DoubleDouble& x) noexcept { return !std::isfinite(x.hi); }
  static bool all_finite(const DoubleDouble& x) noexcept { return std::isfinite(x.hi); }
  static bool is_nan(const DoubleDouble& x) noexcept { return std::isnan(x.hi); }
  /// The leading part is zero (either sign).
  static bool is_zero(const DoubleDouble& x) noexcept { return x.hi == 0.0; }
  /// Both parts are zero (either sign).
  static bool value_is_exact_zero(const DoubleDouble& x) noexcept { return x.hi == 0.0 && x.lo == 0.0; }
  /// Both parts are zero (either sign).
  static bool is_exact_zero(const DoubleDouble& x) noexcept { return x.hi == 0.0 && x.lo == 0.0; }
  static bool sign_bit(const DoubleDouble& x) noexcept { return std::signbit(x.hi); }
  /// a > b in (hi, lo) order; false with a NaN.
  static bool greater(const DoubleDouble& a, const DoubleDouble& b) noexcept { return a > b; }

  static DoubleDouble abs(const DoubleDouble& x) noexcept { return dd::abs(x); }
  static DoubleDouble recip(const DoubleDouble& x) noexcept {
    return DoubleDouble::div_dd(DoubleDouble{1.0, 0.0}, x);
  }
  static DoubleDouble div(const DoubleDouble& a, const DoubleDouble& b) noexcept { return DoubleDouble::div_dd(a, b); }
  static DoubleDouble mul_f64(const DoubleDouble& a, double s) noexcept { return dd::mul(a, s); }
  static DoubleDouble sqrt(const DoubleDouble& x) noexcept { return DoubleDouble::sqrt(x); }
  static DoubleDouble exp(const DoubleDouble& x) noexcept { return DoubleDouble::exp(x); }
  static DoubleDouble hypot(const DoubleDouble& a, const DoubleDouble& b) noexcept {
    return DoubleDouble::hypot(a, b);
  }
  static DoubleDouble powi(const DoubleDouble& x, std::int32_t n) noexcept { return DoubleDouble::powi(x, n); }
  static std::pair<DoubleDouble, DoubleDouble> sin_cos(const DoubleDouble& x) noexcept {
    return DoubleDouble::sin_cos(x);
  }
};

/// A dual over R: every test and order reads the value (through R's traits)
/// unless its name says the partials count too.
template <class R, std::size_t N>
struct ScalarTraits<dual::Dual<R, N>> {
  using T = dual::Dual<R, N>;
  using Real = R;
  static constexpr bool is_dual = true;
  static constexpr std::size_t partial_count = N;
  static constexpr const char* name = std::is_same_v<R, double> ? "dual f64" : "dual double-double";

  static constexpr double value_f64(const T& x) noexcept { return ScalarTraits<R>::value_f64(x.value); }
  static constexpr const R& value(const T& x) noexcept { return x.value; }
  /// The constant c with all partials +0.0.
  static constexpr T from_f64(double c) noexcept { return T::constant(ScalarTraits<R>::from_f64(c)); }
  /// The integer n as a constant (exact up to 2^53).
  static constexpr T from_int(std::int64_t n) noexcept { return T::constant(ScalarTraits<R>::from_int(n)); }
  static constexpr T from_real(const R& r) noexcept { return T::constant(r); }
  /// π to the real type's precision, with all partials +0.0.
  static constexpr T pi() noexcept { return T::constant(ScalarTraits<R>::pi()); }

  /// The value is finite (partials not examined).
  static bool is_finite(const T& x) noexcept { return ScalarTraits<R>::is_finite(x.value); }
  static bool is_non_finite(const T& x) noexcept { return !ScalarTraits<R>::is_finite(x.value); }
  /// The value and every partial are finite.
  static bool all_finite(const T& x) noexcept {
    if (!ScalarTraits<R>::is_finite(x.value)) return false;
    for (const R& d : x.partials) {
      if (!ScalarTraits<R>::is_finite(d)) return false;
    }
    return true;
  }
  static bool is_nan(const T& x) noexcept { return ScalarTraits<R>::is_nan(x.value); }
  /// The leading part of the value is zero.
  static bool is_zero(const T& x) noexcept { return ScalarTraits<R>::is_zero(x.value); }
  /// Every part of the value is zero; the partials are not examined.
  static bool value_is_exact_zero(const T& x) noexcept { return ScalarTraits<R>::is_exact_zero(x.value); }
  /// Every part of the value and of every partial is zero: a dual of value 0
  /// with a non-zero partial is not zero here.
  static bool is_exact_zero(const T& x) noexcept {
    if (!ScalarTraits<R>::is_exact_zero(x.value)) return false;
    for (const R& d : x.partials) {
      if (!ScalarTraits<R>::is_exact_zero(d)) return false;
    }
    return true;
  }
  /// a > b on the values; false with a NaN.
  static bool greater(const T& a, const T& b) noexcept { return ScalarTraits<R>::greater(a.value, b.value); }
};

}  // namespace vantok::scalar
