// Double-double refinement of ill-conditioned blocks against 60-digit
// references of the stored double-double systems, and its bookkeeping: the
// factors of the rounded system, the sweep count and the reported correction.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <cstdio>
#include <vector>

#include "support/expect_error.hpp"
#include "support/scalar_compare.hpp"
#include "tmatrix/solve_table.hpp"
#include "vantok/tmatrix/solve.hpp"

namespace {

using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::tmatrix::solve::refine;
using vantok::tmatrix::solve::solve_f64;
using C = Complex<double>;
using CDD = Complex<DoubleDouble>;
using vantok::test::join;
using vantok::test::max_abs;

// max_e |got_e - (x_e + xlo_e)|, with the double-double difference formed
// part by part (the hi parts agree closely, so their difference is exact).
double dd_error(const std::vector<CDD>& got, const vantok::test::SolveCase& c) {
  double err = 0.0;
  for (std::size_t e = 0; e < got.size(); ++e) {
    const double dr = (got[e].re.hi - c.x[e].re) + (got[e].re.lo - c.xlo[e].re);
    const double di = (got[e].im.hi - c.x[e].im) + (got[e].im.lo - c.xlo[e].im);
    err = std::fmax(err, std::hypot(dr, di));
  }
  return err;
}

// Every row from the double-double matrices, equal scales.
vantok::Result<vantok::tmatrix::solve::Refined> refine_all_rows(const vantok::test::SolveCase& c) {
  const auto add = join(c.a, c.alo), bdd = join(c.b, c.blo);
  const std::unique_ptr<bool[]> flags(new bool[c.n]);
  std::fill(flags.get(), flags.get() + c.n, true);
  const std::vector<double> ls(c.n, 0.0);
  return refine(c.a, c.b, add, bdd, std::span<const bool>(flags.get(), c.n), ls, c.n);
}

TEST(Refine, ReachesDoubleDoubleAccuracyOnIllConditionedBlocks) {
  for (const auto& c : vantok::test::load_solve_cases()) {
    if (c.name.rfind("cauchy", 0) != 0 || c.cond > 1e13) continue;
    const auto got = refine_all_rows(c);
    ASSERT_TRUE(got.has_value()) << c.name;
    const double xmax = max_abs(c.x);
    // The f64 solve of the rounded system is only good to cond u; the
    // refined one reaches the double-double level of the stored system.
    double f64_err = 0.0;
    for (std::size_t e = 0; e < c.n * c.n; ++e) {
      const C d = got->factors.solution[e] - c.x[e];
      f64_err = std::fmax(f64_err, std::hypot(d.re, d.im));
    }
    const double dd_rel = dd_error(got->t_dd, c) / xmax;
    EXPECT_LE(dd_rel, c.cond * 0x1p-100) << c.name;
    EXPECT_GT(f64_err / xmax, 1e3 * dd_rel) << c.name;
    EXPECT_GE(got->sweeps, 2u);
    EXPECT_LE(got->sweeps, 4u);
    // t is the hi part of t_dd.
    for (std::size_t e = 0; e < c.n * c.n; ++e) {
      EXPECT_EQ(got->t[e].re, got->t_dd[e].re.hi);
      EXPECT_EQ(got->t[e].im, got->t_dd[e].im.hi);
    }
    // Converged: the last (equal-scale) correction is below 2^-60 max|X0|.
    EXPECT_LE(got->correction, 0x1p-60 * max_abs(got->factors.solution)) << c.name;
  }
}

TEST(Refine, NeverConvergingBlockStopsAfterFourSweeps) {
  for (const auto& c : vantok::test::load_solve_cases()) {
    if (c.name != "cauchy11") continue;  // cond 2e16: f64 corrections never settle
    const auto got = refine_all_rows(c);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->sweeps, 4u);
    EXPECT_GT(got->correction, 0x1p-60 * max_abs(got->factors.solution));
    return;
  }
  FAIL() << "case cauchy11 missing";
}

TEST(Refine, AssemblesRowsByFlagAndKeepsTheF64Factors) {
  for (const auto& c : vantok::test::load_solve_cases()) {
    if (c.name != "cauchy7") continue;
    const auto add = join(c.a, c.alo), bdd = join(c.b, c.blo);
    // Rows 1, 4 and 5 in double-double; the f64 rows are deliberately
    // perturbed copies so that the assembly is visible.
    std::vector<C> a64 = c.a, b64 = c.b;
    for (C& z : a64) z.re *= 1.0 + 0x1p-40;
    bool flags[7] = {false, true, false, false, true, true, false};
    const std::vector<double> ls(c.n, 0.5);
    const auto got = refine(a64, b64, add, bdd, flags, ls, c.n);
    ASSERT_TRUE(got.has_value());
    std::vector<C> a0(c.n * c.n), b0(c.n * c.n);
    for (std::size_t i = 0; i < c.n; ++i) {
      for (std::size_t j = 0; j < c.n; ++j) {
        const std::size_t e = i * c.n + j;
        const CDD want = flags[i] ? add[e] : CDD{{a64[e].re, 0.0}, {a64[e].im, 0.0}};
        EXPECT_TRUE(vantok::test::same_dd(got->a_dd[e].re, want.re));
        EXPECT_TRUE(vantok::test::same_dd(got->a_dd[e].im, want.im));
        a0[e] = {want.re.hi, want.im.hi};
        b0[e] = flags[i] ? C{bdd[e].re.hi, bdd[e].im.hi} : b64[e];
      }
    }
    const auto f = solve_f64(a0, b0, c.n);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(got->factors.lu, f->lu);
    EXPECT_EQ(got->factors.perm, f->perm);
    EXPECT_EQ(got->factors.solution, f->solution);
    return;
  }
  FAIL() << "case cauchy7 missing";
}

TEST(Refine, NoFlagsRefinesTheF64SystemAndEqualScalesGiveTheSameCorrection) {
  for (const auto& c : vantok::test::load_solve_cases()) {
    if (c.name != "cauchy6") continue;
    const bool flags[6] = {};
    const auto got0 = refine(c.a, c.b, {}, {}, flags, std::vector<double>(c.n, 0.0), c.n);
    const auto got5 = refine(c.a, c.b, {}, {}, flags, std::vector<double>(c.n, 5.0), c.n);
    ASSERT_TRUE(got0.has_value() && got5.has_value());
    const auto f = solve_f64(c.a, c.b, c.n);
    EXPECT_EQ(got0->factors.solution, f->solution);
    EXPECT_EQ(got0->factors.lu, f->lu);
    // exp(ls_i - ls_j) = 1 either way: the unweighted largest correction.
    EXPECT_EQ(got0->correction, got5->correction);
    EXPECT_EQ(got0->sweeps, got5->sweeps);
    // Unequal scales weight the corrections of element (i, j) by exp(ls_i - ls_j).
    std::vector<double> ls(c.n);
    for (std::size_t i = 0; i < c.n; ++i) ls[i] = 3.0 * static_cast<double>(i);
    const auto weighted = refine(c.a, c.b, {}, {}, flags, ls, c.n);
    ASSERT_TRUE(weighted.has_value());
    EXPECT_GT(weighted->correction, got0->correction);
    return;
  }
  FAIL() << "case cauchy6 missing";
}

TEST(Refine, EmptyAndSingular) {
  const auto empty = refine({}, {}, {}, {}, {}, {}, 0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->sweeps, 1u);
  EXPECT_EQ(empty->correction, 0.0);
  EXPECT_TRUE(empty->t.empty() && empty->t_dd.empty() && empty->a_dd.empty());

  // A double-double row whose hi parts vanish makes the rounded system
  // singular at that column of A^T.
  const std::vector<C> a64{{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}};
  std::vector<CDD> add{{{1.0, 0.0}, {0.0, 0.0}}, {{0.0, 0.0}, {0.0, 0.0}},
                       {{0.0, 0.0}, {0.0, 0.0}}, {{0.0, 0.0}, {0.0, 0.0}}};
  const bool flags[2] = {false, true};
  vantok::test::expect_error(refine(a64, a64, add, add, flags, std::vector<double>(2, 0.0), 2),
                             vantok::Error::Kind::InvalidInput,
                             "the EBCM matrix is singular or not finite at column 1");
}

}  // namespace
