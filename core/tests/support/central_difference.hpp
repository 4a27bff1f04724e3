#pragma once
// Fourth-order central differences of a vector-valued function of one shift,
// the reference for the analytic derivatives of the tests:
//   f'(0) ~ (8 (f(h) - f(-h)) - (f(2h) - f(-2h))) / (12 h),
// with truncation error O(h^4) and rounding error O(eps/h) relative to |f|.

#include <cstddef>
#include <vector>

#include "vantok/scalar/dd.hpp"

namespace vantok::test {

/// Elementwise difference quotient of f(shift), which returns one vector of
/// doubles of a fixed length for every shift.
template <class F>
std::vector<double> central_difference(F f, double h) {
  const std::vector<double> p1 = f(h);
  const std::vector<double> m1 = f(-h);
  const std::vector<double> p2 = f(2.0 * h);
  const std::vector<double> m2 = f(-2.0 * h);
  std::vector<double> out(p1.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = (8.0 * (p1[i] - m1[i]) - (p2[i] - m2[i])) / (12.0 * h);
  }
  return out;
}

/// The same quotient in double-double from the values at h, -h, 2h and -2h
/// (an exact power of two h keeps every shifted input and 12 h exact).
inline scalar::dd::DoubleDouble central_difference_dd(const scalar::dd::DoubleDouble& p1,
                                                      const scalar::dd::DoubleDouble& m1,
                                                      const scalar::dd::DoubleDouble& p2,
                                                      const scalar::dd::DoubleDouble& m2, double h) {
  using scalar::dd::DoubleDouble;
  return DoubleDouble::div_dd(DoubleDouble(8.0) * (p1 - m1) - (p2 - m2), DoubleDouble(12.0 * h));
}

}  // namespace vantok::test
