#pragma once
// Per-scalar rules of the T-matrix linear algebra that generic code cannot
// express through arithmetic alone: how a pivot modulus is measured and
// ordered, when a pivot column counts as singular, and when a multiplier is an
// exact zero; and the checked size of a block.

#include <cmath>
#include <cstddef>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/numeric.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::tmatrix::detail {

/// n^2 elements of an n x n block; a product that overflows is a caller fault.
inline std::size_t square(std::size_t n) {
  std::size_t n2 = 0;
  VANTOK_ASSERT(checked_mul(n, n, n2));
  return n2;
}

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

/// DoubleDouble: DoubleDouble::hypot, (hi, lo) order, singular when the best
/// modulus is an exact zero or its hi is not finite, a multiplier is zero when
/// all four doubles are zero, complex::inv over DoubleDouble.
template <>
struct LuMember<scalar::dd::DoubleDouble> {
  using DD = scalar::dd::DoubleDouble;
  static DD zero() { return DD{0.0, 0.0}; }
  static DD modulus(const Complex<DD>& z) { return DD::hypot(z.re, z.im); }
  static bool greater(const DD& a, const DD& b) { return a > b; }
  static bool singular(const DD& best) {
    return (best.hi == 0.0 && best.lo == 0.0) || !std::isfinite(best.hi);
  }
  static bool is_zero(const Complex<DD>& z) {
    return z.re.hi == 0.0 && z.re.lo == 0.0 && z.im.hi == 0.0 && z.im.lo == 0.0;
  }
  static Complex<DD> recip(const Complex<DD>& z) { return complex::inv(z); }
};

/// Dual<DoubleDouble, 4>: the dual hypot, ordered by value as above; singular
/// when the value is an exact zero or the hi of the value or of a partial is
/// not finite. A multiplier counts as zero only when its values and all its
/// partials are zero: one of value 0 with non-zero partials still moves the
/// partials of its row, and skipping that update would drop them.
template <>
struct LuMember<scalar::dual::Dual<scalar::dd::DoubleDouble, 4>> {
  using DD = scalar::dd::DoubleDouble;
  using T = scalar::dual::Dual<DD, 4>;
  static T zero() { return T::constant(DD{0.0, 0.0}); }
  static T modulus(const Complex<T>& z) { return scalar::dual::hypot(z.re, z.im); }
  static bool greater(const T& a, const T& b) { return a.value > b.value; }
  static bool singular(const T& best) {
    if (LuMember<DD>::singular(best.value)) return true;
    for (const DD& d : best.partials)
      if (!std::isfinite(d.hi)) return true;
    return false;
  }
  static bool is_zero(const Complex<T>& z) {
    if (!LuMember<DD>::is_zero(Complex<DD>{z.re.value, z.im.value})) return false;
    for (std::size_t i = 0; i < z.re.partials.size(); ++i) {
      if (!LuMember<DD>::is_zero(Complex<DD>{z.re.partials[i], z.im.partials[i]})) return false;
    }
    return true;
  }
  static Complex<T> recip(const Complex<T>& z) { return complex::inv(z); }
};

}  // namespace vantok::tmatrix::detail
