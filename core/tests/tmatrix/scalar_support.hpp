#pragma once
// What the T-matrix series tests need to know of each scalar: how to make one
// from a double-double reference, how to read its value back, and the unit
// roundoff its arithmetic works to.

#include <cmath>

#include "vantok/complex.hpp"

namespace vantok::test {

template <class T>
struct Scalar;

template <>
struct Scalar<double> {
  static constexpr const char* name = "f64";
  /// unit roundoff of the value arithmetic
  static constexpr double u = 0x1p-53;
  static double make(double hi, double /*lo*/) { return hi; }
  static double hi(double x) { return x; }
  static double lo(double) { return 0.0; }
};

/// |got - (hi + lo)| with the value of got read as hi + lo.
template <class T>
double abs_diff(const T& got, double hi, double lo) {
  return std::fabs((Scalar<T>::hi(got) - hi) + (Scalar<T>::lo(got) - lo));
}

}  // namespace vantok::test
