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

namespace vantok::complex {

template <class T>
struct Complex {
  T re;
  T im;

  friend bool operator==(const Complex&, const Complex&) = default;
};

template <class T>
[[gnu::always_inline]] inline Complex<T> operator+(const Complex<T>& a, const Complex<T>& b) {
  return {a.re + b.re, a.im + b.im};
}

template <class T>
[[gnu::always_inline]] inline Complex<T> operator-(const Complex<T>& a, const Complex<T>& b) {
  return {a.re - b.re, a.im - b.im};
}

template <class T>
[[gnu::always_inline]] inline Complex<T> operator-(const Complex<T>& a) {
  return {-a.re, -a.im};
}

/// (a.re b.re - a.im b.im, a.re b.im + a.im b.re)
template <class T>
[[gnu::always_inline]] inline Complex<T> operator*(const Complex<T>& a, const Complex<T>& b) {
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
[[gnu::always_inline]] inline Complex<T> scale(const Complex<T>& z, const T& t) {
  return {z.re * t, z.im * t};
}

/// A real factor on the left: (t re, t im).
template <class T>
[[gnu::always_inline]] inline Complex<T> scale(const T& t, const Complex<T>& z) {
  return {t * z.re, t * z.im};
}

/// Multiplication by i, written as the rotation (-im, re). This is the one form
/// used throughout the library; a full complex product with (0, 1) would differ
/// only in the signs of zero parts.
template <class T>
[[gnu::always_inline]] inline Complex<T> times_i(const Complex<T>& z) {
  return {-z.im, z.re};
}

template <class T>
[[gnu::always_inline]] inline Complex<T> conj(const Complex<T>& z) {
  return {z.re, -z.im};
}

/// re^2 + im^2
template <class T>
inline T norm_sqr(const Complex<T>& z) {
  return z.re * z.re + z.im * z.im;
}

/// |z| by hypot, free of overflow and underflow in the squares.
inline double abs(const Complex<double>& z) { return std::hypot(z.re, z.im); }

/// z + t for a real t: the imaginary part is kept as it is.
inline Complex<double> plus(const Complex<double>& z, double t) { return {z.re + t, z.im}; }
/// t + z for a real t.
inline Complex<double> plus(double t, const Complex<double>& z) { return {t + z.re, z.im}; }
/// z - t for a real t: the imaginary part is kept as it is.
inline Complex<double> minus(const Complex<double>& z, double t) { return {z.re - t, z.im}; }
/// t - z for a real t: the complex difference (t - re, 0 - im).
inline Complex<double> minus(double t, const Complex<double>& z) { return {t - z.re, 0.0 - z.im}; }

/// What the reciprocal reads of a scalar: its value as f64 (the leading part
/// of a double-double, the value of a dual), whether |value(a)| >= |value(b)|
/// exactly (false when either is NaN), and the scalar's own reciprocal.
/// Specialised here for double and in scalar/scalars.hpp for the others.
template <class T>
struct ReciprocalScalar;

template <>
struct ReciprocalScalar<double> {
  static double value_f64(double x) noexcept { return x; }
  static bool magnitude_at_least(double a, double b) noexcept { return std::fabs(a) >= std::fabs(b); }
  static double recip(double x) noexcept { return 1.0 / x; }
};

/// The reciprocal 1/z, over every scalar.
///
/// Direct formula conj(z)/|z|^2 while im != 0 (NaN counts as non-zero) and
/// 1e-300 < |z|^2 < 1e300, both strict; there |z|^2 is exact enough and neither
/// over- nor underflows. Otherwise Smith's method, dividing by the larger of
/// |re| and |im| (a tie divides by re; a NaN magnitude divides by im). A zero
/// imaginary part therefore always takes Smith's first branch, which gives
/// 2 + 0i -> (0.5, -0.0).
///
/// The tests read values only: the direct test the f64 value of s and of im,
/// the Smith branch exact magnitudes of the values of re and im (a
/// double-double by hi, then lo). Every reciprocal is the scalar's own (div_dd,
/// or the dual recip) and every quotient the scalar's quotient, so that the
/// duals' special paths apply to the partials.
template <class T>
inline Complex<T> inv(const Complex<T>& z) noexcept {
  using S = ReciprocalScalar<T>;
  const T& re = z.re;
  const T& im = z.im;
  const T s = re * re + im * im;
  const double s_value = S::value_f64(s);
  if (S::value_f64(im) != 0.0 && s_value > 1e-300 && s_value < 1e300) {
    const T r = S::recip(s);
    return {re * r, -(im * r)};
  }
  if (S::magnitude_at_least(re, im)) {
    const T t = im / re;
    const T d = re + im * t;
    const T rho = S::recip(d);
    return {rho, -(t * rho)};
  }
  const T t = re / im;
  const T d = re * t + im;
  const T rho = S::recip(d);
  return {t * rho, -rho};
}

/// The double case by name, so that inv({re, im}) reads as a complex double.
inline Complex<double> inv(const Complex<double>& z) noexcept { return inv<double>(z); }

}  // namespace vantok::complex

namespace vantok {
using complex::Complex;
}
