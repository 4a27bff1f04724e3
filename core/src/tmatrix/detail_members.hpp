#pragma once
// Per-scalar rules of the T-matrix linear algebra and series that generic code
// cannot express through arithmetic alone: how a pivot modulus is measured and
// ordered, when a pivot column counts as singular, and when a multiplier is an
// exact zero.

#include <cmath>

#include "vantok/complex.hpp"

namespace vantok::tmatrix::detail {

template <class T>
struct LuMember;

/// f64: C library hypot, plain ordering, singular when the best modulus is 0
/// or infinite, the guarded reciprocal of complex.hpp.
template <>
struct LuMember<double> {
  static double zero() { return 0.0; }
  static double modulus(const Complex<double>& z) { return std::hypot(z.re, z.im); }
  static bool greater(double a, double b) { return a > b; }
  static bool singular(double best) { return best == 0.0 || std::isinf(best); }
  static bool is_zero(const Complex<double>& z) { return z.re == 0.0 && z.im == 0.0; }
  static Complex<double> recip(const Complex<double>& z) { return complex::inv(z); }
};

}  // namespace vantok::tmatrix::detail
