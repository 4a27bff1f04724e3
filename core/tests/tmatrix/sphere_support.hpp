#pragma once
// A sphere as a T-matrix, for the orientation-average and solution tests: the
// T blocks of every mode are diagonal, -b_n on the kind-0 rows and -a_n on
// the kind-1 rows, from the landed Mie coefficients of N terms.

#include <gtest/gtest.h>

#include <vector>

#include "vantok/mie/mie.hpp"
#include "vantok/tmatrix/kernel.hpp"

namespace vantok::test {

inline tmatrix::kernel::TMatrixModes<double> sphere_modes(double x, Complex<double> m, std::size_t n) {
  mie::Mie solver;
  auto st = solver.solve(mie::SolveOptions{n, true}, false, x, m);
  EXPECT_TRUE(st.has_value()) << (st ? "" : st.error().to_string());
  const auto c = solver.coefficients();
  tmatrix::kernel::TMatrixModes<double> out;
  out.n_terms = n;
  for (std::size_t mode = 0; mode <= n; ++mode) {
    tmatrix::kernel::SolvedMode<double> sm;
    sm.rows = tmatrix::kernel::row_lists(mode, n);
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t k = sm.rows[p].size();
      sm.t[p].assign(k * k, Complex<double>{0.0, 0.0});
      for (std::size_t i = 0; i < k; ++i) {
        const auto [kind, order] = sm.rows[p][i];
        const Complex<double> v = kind == 0 ? c.b[order - 1] : c.a[order - 1];
        sm.t[p][i * k + i] = {-v.re, -v.im};
      }
    }
    out.modes.push_back(std::move(sm));
  }
  return out;
}

}  // namespace vantok::test
