#pragma once
// Central differences of an output of a solved sphere in x, Re m and Im m,
// the reference for the analytic derivatives of the angular outputs. The
// number of terms is held fixed, so the differences see a smooth function.

#include <array>
#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include "support/central_difference.hpp"
#include "vantok/mie/mie.hpp"

namespace vantok::test {

/// Fourth-order differences (step h) of output(coefficients), a flat vector of
/// doubles, with respect to x, Re m and Im m, in that order.
template <class Output>
std::array<std::vector<double>, 3> sphere_differences(double x, Complex<double> m, std::size_t n_terms,
                                                      double h, Output output) {
  auto at = [&](double xs, Complex<double> ms) {
    mie::Mie solver;
    auto st = solver.solve(mie::SolveOptions{n_terms, true}, false, xs, ms);
    EXPECT_TRUE(st.has_value()) << "x=" << xs << " m=" << ms.re << "+" << ms.im << "i";
    return st.has_value() ? output((*st)->coefficients()) : std::vector<double>{};
  };
  return {central_difference([&](double s) { return at(x + s, m); }, h),
          central_difference([&](double s) { return at(x, Complex<double>{m.re + s, m.im}); }, h),
          central_difference([&](double s) { return at(x, Complex<double>{m.re, m.im + s}); }, h)};
}

}  // namespace vantok::test
