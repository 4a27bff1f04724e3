#pragma once
// Fourth-order central differences of a vector-valued function of one shift,
// the reference for the analytic derivatives of the tests:
//   f'(0) ~ (8 (f(h) - f(-h)) - (f(2h) - f(-2h))) / (12 h),
// with truncation error O(h^4) and rounding error O(eps/h) relative to |f|.

#include <cstddef>
#include <vector>

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

}  // namespace vantok::test
