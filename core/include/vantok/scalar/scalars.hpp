#pragma once
// The four scalars of the library's generic numerics, named once: double,
// DoubleDouble, Dual<double, 4> and Dual<DoubleDouble, 4>. ScalarTraits<T>
// (scalar/traits.hpp) is the one table of their per-scalar facts that generic
// code reads, and the concepts below name what a scalar provides.
//
// Generic code inside namespace vantok calls the math functions unqualified
// after `using namespace vantok::scalar::math;` (at namespace scope the names
// would clash with the C library's global sqrt etc.; there use
// `using vantok::scalar::math::sqrt;` or the qualified scalar::sqrt): sqrt,
// hypot, exp, sin_cos, powi, recip and abs then resolve for every scalar, the
// double members being the thin wrappers below.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "vantok/constants.hpp"
#include "vantok/scalar/dd.hpp"
#include "vantok/scalar/dual.hpp"
#include "vantok/scalar/traits.hpp"

namespace vantok::scalar {

using dd::DoubleDouble;
using dual::Dual;

using DualF64 = Dual<double, 4>;
using DualDD = Dual<DoubleDouble, 4>;

/// A list of types, for iterating over the scalars (typed tests, instantiation lists).
template <class... Ts>
struct TypeList {};

/// The four scalars, in order of cost.
using AllScalars = TypeList<double, DoubleDouble, DualF64, DualDD>;

/// double or DoubleDouble.
template <class T>
concept RealScalar = std::same_as<T, double> || std::same_as<T, DoubleDouble>;

/// Dual<double, 4> or Dual<DoubleDouble, 4>.
template <class T>
concept DualScalar = std::same_as<T, DualF64> || std::same_as<T, DualDD>;

namespace math {

/// Thin wrappers that give double the same unqualified names as the other
/// scalars; the DoubleDouble and Dual overloads are brought in beside them.
inline double sqrt(double x) noexcept { return std::sqrt(x); }
inline double hypot(double a, double b) noexcept { return std::hypot(a, b); }
inline double exp(double x) noexcept { return std::exp(x); }
/// The C library cube root, called at run time (see dd::elementary::cbrt_seed).
inline double cbrt(double x) noexcept { return dd::elementary::cbrt_seed(x); }
inline double ln(double x) noexcept { return std::log(x); }
inline double abs(double x) noexcept { return std::fabs(x); }
/// 1.0 / x.
inline double recip(double x) noexcept { return 1.0 / x; }
/// (sin x, cos x).
inline std::pair<double, double> sin_cos(double x) noexcept { return {std::sin(x), std::cos(x)}; }
/// x^n by binary powering from the low bit of |n|, 1/x^|n| for n < 0; not
/// std::pow, so that every platform gives the same bits.
inline double powi(double x, std::int32_t n) noexcept { return dd::detail::powi_f64(x, n); }

using dd::abs;
using dd::cbrt;
using dd::exp;
using dd::hypot;
using dd::powi;
using dd::recip;
using dd::sin_cos;
using dd::sqrt;
using dual::abs;
using dual::exp;
using dual::hypot;
using dual::ln;
using dual::powi;
using dual::recip;
using dual::sin_cos;
using dual::sqrt;

}  // namespace math

using math::abs;
using math::cbrt;
using math::exp;
using math::hypot;
using math::ln;
using math::powi;
using math::recip;
using math::sin_cos;
using math::sqrt;

/// The f64 constant c as the scalar T (partials +0.0 for a dual).
template <class T>
constexpr T constant(double c) noexcept {
  return ScalarTraits<T>::from_f64(c);
}

/// The value of x as f64 (the leading part of a double-double, the value of a
/// dual): what comparisons, exponents and branch choices of generic code read.
template <class T>
constexpr double value_f64(const T& x) noexcept {
  return ScalarTraits<T>::value_f64(x);
}

/// The value of x in its real type: x itself, or the value of a dual.
template <class T>
constexpr const typename ScalarTraits<T>::Real& real_value(const T& x) noexcept {
  return ScalarTraits<T>::value(x);
}

/// What generic numerics need of a scalar: the field operations, negation,
/// value-only ordering, the math functions, and a ScalarTraits policy.
template <class T>
concept Scalar = requires(const T& a, const T& b, std::int32_t n) {
  typename ScalarTraits<T>::Real;
  { a + b } -> std::same_as<T>;
  { a - b } -> std::same_as<T>;
  { a * b } -> std::same_as<T>;
  { a / b } -> std::same_as<T>;
  { -a } -> std::same_as<T>;
  { a < b } -> std::convertible_to<bool>;
  { a == b } -> std::convertible_to<bool>;
  { math::sqrt(a) } -> std::same_as<T>;
  { math::hypot(a, b) } -> std::same_as<T>;
  { math::exp(a) } -> std::same_as<T>;
  { math::abs(a) } -> std::same_as<T>;
  { math::recip(a) } -> std::same_as<T>;
  { math::powi(a, n) } -> std::same_as<T>;
  { math::sin_cos(a) } -> std::same_as<std::pair<T, T>>;
  { ScalarTraits<T>::value_f64(a) } -> std::same_as<double>;
  { ScalarTraits<T>::from_f64(1.0) } -> std::same_as<T>;
};

static_assert(Scalar<double> && Scalar<DoubleDouble> && Scalar<DualF64> && Scalar<DualDD>);

}  // namespace vantok::scalar

namespace vantok::complex {

/// The complex reciprocal's view of the double-double and dual scalars (see
/// complex.hpp): the value as f64, the magnitude test on the values in the
/// real type, and the scalar's own reciprocal.
template <class T>
  requires(scalar::Scalar<T> && !std::same_as<T, double>)
struct ReciprocalScalar<T> {
  static double value_f64(const T& x) noexcept { return scalar::ScalarTraits<T>::value_f64(x); }
  static bool magnitude_at_least(const T& a, const T& b) noexcept {
    return scalar::math::abs(scalar::real_value(a)) >= scalar::math::abs(scalar::real_value(b));
  }
  static T recip(const T& x) noexcept { return scalar::math::recip(x); }
};

}  // namespace vantok::complex

/// Applies the macro M to each of the four scalars, in the order of
/// AllScalars: the explicit instantiations and their extern declarations of a
/// kernel that serves every scalar.
#define VANTOK_FOR_EACH_SCALAR(M)        \
  M(double)                              \
  M(::vantok::scalar::DoubleDouble)      \
  M(::vantok::scalar::DualF64)           \
  M(::vantok::scalar::DualDD)
