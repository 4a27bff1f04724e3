#pragma once
// What the T-matrix series tests need to know of each scalar: how to make one
// from a double-double reference, how to read its value back, and the unit
// roundoff of its value arithmetic. Duals are made as constants; derivative
// tests seed their own variables.

#include <cmath>

#include "support/scalar_compare.hpp"
#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::test {

template <class T>
struct Scalar;

template <>
struct Scalar<double> {
  static constexpr double u = 0x1p-53;
  static double make(double hi, double /*lo*/) { return hi; }
  static double hi(double x) { return x; }
  static double lo(double) { return 0.0; }
};

template <>
struct Scalar<scalar::DoubleDouble> {
  static constexpr double u = 0x1p-104;
  static scalar::DoubleDouble make(double hi, double lo) { return {hi, lo}; }
  static double hi(const scalar::DoubleDouble& x) { return x.hi; }
  static double lo(const scalar::DoubleDouble& x) { return x.lo; }
};

template <class R>
struct Scalar<scalar::Dual<R, 4>> {
  using T = scalar::Dual<R, 4>;
  static constexpr double u = Scalar<R>::u;
  static T make(double hi, double lo) { return T::constant(Scalar<R>::make(hi, lo)); }
  static double hi(const T& x) { return Scalar<R>::hi(x.value); }
  static double lo(const T& x) { return Scalar<R>::lo(x.value); }
};

/// |got - (hi + lo)| with the value of got read as hi + lo.
template <class T>
double abs_diff(const T& got, double hi, double lo) {
  return std::fabs((Scalar<T>::hi(got) - hi) + (Scalar<T>::lo(got) - lo));
}

}  // namespace vantok::test
