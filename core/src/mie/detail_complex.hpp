#pragma once
// Complex forms of the sphere routines: the derivative of a coefficient and
// of an absorption term through its denominator, and the real and imaginary
// parts of conjugate products.

#include "vantok/complex.hpp"

namespace vantok::mie::detail {

/// One order's term of a derivative of the absorption sum for one parameter p:
/// |X|^2 (-Im(dE/dp) + 2 Im(E) Re(X d den/dp)), the derivative of
/// -Im(E) |X|^2 with d|X|^2/dp = -2 |X|^2 Re(X d den/dp).
inline double absorption_term(double x_norm, const Complex<double>& e, const Complex<double>& de,
                              const Complex<double>& x_dden) {
  return x_norm * (-de.im + 2.0 * e.im * x_dden.re);
}

/// -i X^2 v: the derivative of a coefficient whose denominator is X^-1, since
/// da/dT = -i X^2 for a = (T psi - psi') / (T xi - xi').
inline Complex<double> minus_i_times(const Complex<double>& x2, const Complex<double>& v) {
  return -(complex::times_i(x2) * v);
}

/// Re(p conj(q)) = Re(conj(p) q) = p.re q.re + p.im q.im.
inline double re_conj(const Complex<double>& p, const Complex<double>& q) {
  return p.re * q.re + p.im * q.im;
}

/// Im(conj(p) q) = p.re q.im - p.im q.re.
inline double im_conj(const Complex<double>& p, const Complex<double>& q) {
  return p.re * q.im - p.im * q.re;
}

}  // namespace vantok::mie::detail
