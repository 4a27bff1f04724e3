#pragma once
// Complex numbers over any of the library's scalars (double, DoubleDouble and
// the dual numbers over either), with the textbook +, - and * and the guarded
// reciprocal inv. There is deliberately no operator/: every complex quotient in
// the library is written as a product with inv(), whose branch structure is
// fixed so that results are reproducible to the bit.
//
// Operand order matters for the non-commutative scalars (double-double and dual
// products round differently in their trailing parts): the left operand of a
// formula is the left operand in the code.

#include <cmath>
#include <cstddef>
#include <type_traits>

namespace vantok::scalar::dd {
struct DoubleDouble;
}
namespace vantok::scalar::dual {
template <class T, std::size_t N>
struct Dual;
}

namespace vantok::complex {

template <class T>
struct Complex {
  T re;
  T im;

  friend bool operator==(const Complex&, const Complex&) = default;
};

template <class T>
inline Complex<T> operator+(const Complex<T>& a, const Complex<T>& b) {
  return {a.re + b.re, a.im + b.im};
}

template <class T>
inline Complex<T> operator-(const Complex<T>& a, const Complex<T>& b) {
  return {a.re - b.re, a.im - b.im};
}

template <class T>
inline Complex<T> operator-(const Complex<T>& a) {
  return {-a.re, -a.im};
}

/// (a.re b.re - a.im b.im, a.re b.im + a.im b.re)
template <class T>
inline Complex<T> operator*(const Complex<T>& a, const Complex<T>& b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

template <class T>
inline Complex<T>& operator+=(Complex<T>& a, const Complex<T>& b) {
  a = a + b;
  return a;
}

template <class T>
inline Complex<T>& operator-=(Complex<T>& a, const Complex<T>& b) {
  a = a - b;
  return a;
}

template <class T>
inline Complex<T>& operator*=(Complex<T>& a, const Complex<T>& b) {
  a = a * b;
  return a;
}

/// z scaled by a real factor on the right: (re t, im t).
template <class T>
inline Complex<T> scale(const Complex<T>& z, const T& t) {
  return {z.re * t, z.im * t};
}

/// A real factor on the left: (t re, t im).
template <class T>
inline Complex<T> scale(const T& t, const Complex<T>& z) {
  return {t * z.re, t * z.im};
}

/// Multiplication by i, written as the rotation (-im, re). This is the one form
/// used throughout the library; a full complex product with (0, 1) would differ
/// only in the signs of zero parts.
template <class T>
inline Complex<T> times_i(const Complex<T>& z) {
  return {-z.im, z.re};
}

template <class T>
inline Complex<T> conj(const Complex<T>& z) {
  return {z.re, -z.im};
}

/// re^2 + im^2
template <class T>
inline T norm_sqr(const Complex<T>& z) {
  return z.re * z.re + z.im * z.im;
}

/// |z| by hypot, free of overflow and underflow in the squares.
inline double abs(const Complex<double>& z) { return std::hypot(z.re, z.im); }

/// The reciprocal 1/z.
///
/// Direct formula conj(z)/|z|^2 while im != 0 (NaN counts as non-zero) and
/// 1e-300 < |z|^2 < 1e300, both strict; there |z|^2 is exact enough and neither
/// over- nor underflows. Otherwise Smith's method, dividing by the larger of
/// |re| and |im| (a tie divides by re; a NaN magnitude divides by im). A zero
/// imaginary part therefore always takes Smith's first branch, which gives
/// 2 + 0i -> (0.5, -0.0).
inline Complex<double> inv(const Complex<double>& z) {
  const double re = z.re;
  const double im = z.im;
  const double s = re * re + im * im;
  if (im != 0.0 && s > 1e-300 && s < 1e300) {
    const double r = 1.0 / s;
    return {re * r, -(im * r)};
  }
  if (std::fabs(re) >= std::fabs(im)) {
    const double t = im / re;
    const double d = re + im * t;
    const double rho = 1.0 / d;
    return {rho, -(t * rho)};
  }
  const double t = re / im;
  const double d = re * t + im;
  const double rho = 1.0 / d;
  return {t * rho, -rho};
}

/// The same reciprocal over DoubleDouble, Dual<double, 4> and
/// Dual<DoubleDouble, 4>, step for step and in the same operand order, defined
/// out of line and instantiated for those three (core/src/scalar/complex_inv.cpp).
/// The tests look at leading parts or values only: the direct test on the f64
/// value of s and of im, the Smith branch on exact magnitudes of the values of
/// re and im (a double-double by hi, then lo). Every reciprocal is the
/// scalar's own (div_dd, or the dual recip) and every quotient the scalar's
/// quotient, so the duals' special paths apply to the partials.
template <class T>
  requires(!std::is_same_v<T, double>)
Complex<T> inv(const Complex<T>& z) noexcept;

extern template Complex<scalar::dd::DoubleDouble> inv(const Complex<scalar::dd::DoubleDouble>&) noexcept;
extern template Complex<scalar::dual::Dual<double, 4>> inv(const Complex<scalar::dual::Dual<double, 4>>&) noexcept;
extern template Complex<scalar::dual::Dual<scalar::dd::DoubleDouble, 4>> inv(
    const Complex<scalar::dual::Dual<scalar::dd::DoubleDouble, 4>>&) noexcept;

}  // namespace vantok::complex

namespace vantok {
using complex::Complex;
}
