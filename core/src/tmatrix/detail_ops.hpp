#pragma once
// The scalar operations of the T-matrix series whose rule differs between the
// scalar types (double, DoubleDouble, Dual<double, 4>, Dual<DoubleDouble, 4>):
// how an integer constant multiplies or divides, how the minimum with 1 treats
// an exact 1 or a NaN. These are this area's evaluation choices (they fix its
// bits), not facts of the scalars: generic code of the area calls them so that
// each member's rule is stated once. The facts (value order, constants, zero
// and finiteness tests) are ScalarTraits', the math (quotients, hypot, abs,
// exp) the scalar layer's own, brought in below.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::tmatrix::detail {

using scalar::constant;
using scalar::DoubleDouble;
using scalar::Dual;
using scalar::real_value;
using scalar::ScalarTraits;

using scalar::math::abs;
using scalar::math::exp;
using scalar::math::hypot;
using scalar::math::powi;
using scalar::math::recip;
using scalar::math::sin_cos;
using scalar::math::sqrt;

template <class T>
constexpr bool is_dual_v = ScalarTraits<T>::is_dual;

/// a >= b on the values (a double-double by hi, then lo); false for a NaN.
template <class T>
bool at_least(const T& a, const T& b) {
  return real_value(a) >= real_value(b);
}

/// x times the integer constant k: k x in f64, the double-double times f64
/// product, the dual times f64 product over f64, and a dual product with the
/// constant over double-double.
template <class T>
T times_const(const T& x, double k) {
  if constexpr (std::is_same_v<T, double>) {
    return k * x;
  } else if constexpr (std::is_same_v<T, Dual<DoubleDouble, 4>>) {
    return x * constant<T>(k);
  } else {
    return x * k;
  }
}

/// x over the integer constant k: an f64 division, div_dd by (k, 0), or the
/// dual quotient by the constant.
template <class T>
T over_const(const T& x, double k) {
  return x / constant<T>(k);
}

/// min(q, 1) of the regular scales. f64: q < 1 gives q, else 1 (NaN gives 1).
/// Double-double: the same in (hi, lo) order. Duals: by value; above 1 or NaN
/// gives the constant 1, otherwise q with its partials (an exact 1 keeps them).
template <class T>
T cap_at_one(const T& q) {
  using R = typename ScalarTraits<T>::Real;
  const R one = scalar::constant<R>(1.0);
  if constexpr (is_dual_v<T>) {
    return real_value(q) <= one ? q : constant<T>(1.0);
  } else {
    return q < one ? q : one;
  }
}

/// prod_{k=1..m} sqrt((2k-1)/(2k)), the quotient formed first, multiplied
/// upward from 1, in the real type; a constant (+0.0 partials) for duals.
template <class T>
T start_factor(std::size_t m) {
  using R = typename ScalarTraits<T>::Real;
  R a = scalar::constant<R>(1.0);
  for (std::size_t k = 1; k <= m; ++k) {
    a = a * sqrt(scalar::constant<R>(static_cast<double>(2 * k - 1)) /
                 scalar::constant<R>(static_cast<double>(2 * k)));
  }
  return ScalarTraits<T>::from_real(a);
}

/// sqrt(v) of an integer v (exact as an f64) in the real type, as a constant.
template <class T>
T root_const(std::uint64_t v) {
  using R = typename ScalarTraits<T>::Real;
  return ScalarTraits<T>::from_real(sqrt(scalar::constant<R>(static_cast<double>(v))));
}

}  // namespace vantok::tmatrix::detail
