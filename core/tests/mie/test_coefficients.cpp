// Mie coefficients and their derivatives against the textbook formulas at high
// precision (gen_mie_reference.py), and the kernel's exact properties.
#include "vantok/mie/kernel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "support/compare.hpp"
#include "support/table.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/ratios.hpp"

using vantok::Complex;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;
using vantok::mie::kernel::State;
using vantok::test::rel_err;

namespace {

struct Case {
  double x;
  Complex<double> m;
  std::size_t n_terms;
  bool allow;
  bool derivatives;
  std::vector<vantok::test::Record> rows;
  std::string name() const {
    return "x = " + std::to_string(x) + ", m = " + std::to_string(m.re) + " + " +
           std::to_string(m.im) + "i";
  }
};

std::vector<Case> reference_cases() {
  std::vector<Case> out;
  for (auto& block : vantok::test::blocks(vantok::test::read_table("mie_reference.txt"), "case")) {
    const auto& h = block[0];
    out.push_back({h.num(0), {h.num(1), h.num(2)}, h.count(3), h.fields[4] == "1",
                   h.fields[5] == "1", block});
  }
  return out;
}

// Tolerance of a value whose condition number is kappa (the relative change
// per relative change of x and m, from the reference table): rounding the
// products m x and 1/z is an input perturbation of ~1 ulp, amplified by kappa
// (sharp resonances of weakly absorbing spheres, a_n ~ m - 1 for m near 1);
// the recurrences add a few ulps per order on top.
double conditioned_tolerance(double kappa) { return 0x1p-52 * (32.0 + 8.0 * kappa); }

}  // namespace

TEST(MieCoefficients, MatchReferenceTable) {
  Mie mie;
  for (const Case& c : reference_cases()) {
    auto r = mie.solve(SolveOptions{std::nullopt, c.allow}, c.derivatives, c.x, c.m);
    ASSERT_TRUE(r.has_value()) << c.name();
    const State& s = **r;
    ASSERT_EQ(s.a.size(), c.n_terms) << c.name();
    for (const auto& row : c.rows) {
      if (row.tag != "ab") continue;
      const std::size_t n = row.count(0);
      const double ea = rel_err(s.a[n - 1], {row.num(1), row.num(2)});
      const double eb = rel_err(s.b[n - 1], {row.num(3), row.num(4)});
      EXPECT_LT(ea, conditioned_tolerance(row.num(5))) << c.name() << ", a_" << n;
      EXPECT_LT(eb, conditioned_tolerance(row.num(6))) << c.name() << ", b_" << n;
    }
  }
}

TEST(MieCoefficients, DerivativesMatchReferenceTable) {
  Mie mie;
  int checked = 0;
  for (const Case& c : reference_cases()) {
    if (!c.derivatives) continue;
    auto r = mie.compute_with_derivatives(SolveOptions{std::nullopt, c.allow}, c.x, c.m);
    ASSERT_TRUE(r.has_value()) << c.name();
    const State& s = **r;
    ASSERT_EQ(s.da_dx.size(), c.n_terms);
    // Derivative cases print every order, so "ab" rows precede the "d" rows.
    std::vector<double> kappa(c.n_terms + 1, 0.0);
    for (const auto& row : c.rows) {
      if (row.tag == "dabs") {
        // Reference derivatives of S_abs by central differences at 100 digits;
        // a zero entry is an exact zero (real m), which the kernel reproduces.
        const double scale = std::fabs(row.num(0)) + std::fabs(row.num(1)) + std::fabs(row.num(2));
        const double got[3] = {s.dabs_dx, s.dabs_dre, s.dabs_dim};
        for (int p = 0; p < 3; ++p) {
          const double want = row.num(static_cast<std::size_t>(p));
          if (want == 0.0) {
            EXPECT_EQ(got[p], 0.0) << c.name() << ", dabs " << p;
          } else {
            EXPECT_LT(std::fabs(got[p] - want) / scale, 2e-12) << c.name() << ", dabs " << p;
          }
        }
      }
      if (row.tag == "ab") kappa[row.count(0)] = std::max(row.num(5), row.num(6));
      if (row.tag != "d") continue;
      const std::size_t n = row.count(0);
      const Complex<double> got[4] = {s.da_dx[n - 1], s.da_dm[n - 1], s.db_dx[n - 1], s.db_dm[n - 1]};
      Complex<double> want[4];
      for (std::size_t k = 0; k < 4; ++k) want[k] = {row.num(1 + 2 * k), row.num(2 + 2 * k)};
      // Each pair (dx, dm) is measured in units of its parameters, relative to
      // x |dc/dx| + |m| |dc/dm|: one of the two may pass through zero while the
      // other carries the sensitivity. A derivative is about as sensitive as its
      // coefficient, plus |m x| ulps through the differentiated Bessel functions.
      const double abs_m = std::hypot(c.m.re, c.m.im);
      const double tol = 4.0 * conditioned_tolerance(kappa[n]) + 0x1p-52 * 8.0 * abs_m * c.x;
      for (std::size_t pair = 0; pair < 4; pair += 2) {
        const double scale = c.x * std::hypot(want[pair].re, want[pair].im) +
                             abs_m * std::hypot(want[pair + 1].re, want[pair + 1].im);
        const double err_x = c.x * std::hypot(got[pair].re - want[pair].re, got[pair].im - want[pair].im);
        const double err_m =
            abs_m * std::hypot(got[pair + 1].re - want[pair + 1].re, got[pair + 1].im - want[pair + 1].im);
        EXPECT_LT(err_x / scale, tol) << c.name() << ", n = " << n << (pair ? ", db/dx" : ", da/dx");
        EXPECT_LT(err_m / scale, tol) << c.name() << ", n = " << n << (pair ? ", db/dm" : ", da/dm");
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 300);
}

TEST(MieCoefficients, UnitIndexIsExactlyTransparentInRatioRegime) {
  // m = 1: the ratio regime forms a_n, b_n from exactly cancelling terms.
  State s;
  const double x = 5.5;
  s.prepare(10, x, {1.0, 0.0});
  s.finish(10, true, x, {1.0, 0.0});
  for (std::size_t n = 1; n <= 10; ++n) {
    if (n > 5) {
      EXPECT_EQ(s.a[n - 1].re, 0.0) << n;
      EXPECT_EQ(s.a[n - 1].im, 0.0) << n;
      EXPECT_EQ(s.b[n - 1].re, 0.0) << n;
      EXPECT_EQ(s.b[n - 1].im, 0.0) << n;
    } else {
      EXPECT_LT(std::hypot(s.a[n - 1].re, s.a[n - 1].im), 1e-15) << n;
      EXPECT_LT(std::hypot(s.b[n - 1].re, s.b[n - 1].im), 1e-15) << n;
    }
    // m^2 - 1 is exactly 0, so every x derivative vanishes.
    EXPECT_EQ(s.da_dx[n - 1].re, 0.0);
    EXPECT_EQ(s.db_dx[n - 1].im, 0.0);
  }
  EXPECT_EQ(s.absorption, 0.0);
}

TEST(MieCoefficients, RegimesAndBuffers) {
  State s;
  // x = 5.5, N = 10: k = 5; x ratios only at indices 6..11.
  s.prepare(10, 5.5, {1.5, 0.1});
  ASSERT_EQ(s.ratio_x.size(), 12u);
  for (std::size_t n = 0; n <= 5; ++n) EXPECT_EQ(s.ratio_x[n], 0.0) << n;
  for (std::size_t n = 6; n <= 11; ++n) EXPECT_NE(s.ratio_x[n], 0.0) << n;
  // x = 30, N = 20: every order upward, no x ratios at all.
  s.prepare(20, 30.0, {1.5, 0.1});
  for (double r : s.ratio_x) EXPECT_EQ(r, 0.0);
  // Real m: ratio_mx is the real recurrence with +0.0 imaginary parts.
  s.prepare(20, 30.0, {1.5, 0.0});
  ASSERT_EQ(s.ratio_mx.size(), 22u);
  for (std::size_t n = 0; n < 22; ++n) {
    EXPECT_EQ(s.ratio_mx[n].re, s.ratio_mx_real[n]);
    EXPECT_FALSE(std::signbit(s.ratio_mx[n].im));
  }
  s.finish(20, false, 30.0, {1.5, 0.0});
  EXPECT_EQ(s.absorption, 0.0);
  EXPECT_TRUE(s.da_dx.empty() && s.da_dm.empty() && s.db_dx.empty() && s.db_dm.empty());
  EXPECT_EQ(s.dabs_dx, 0.0);
  // N = 0: nothing but zeros.
  s.prepare(0, 3.0, {1.5, 0.1});
  s.finish(0, true, 3.0, {1.5, 0.1});
  EXPECT_TRUE(s.a.empty() && s.b.empty() && s.da_dx.empty());
  EXPECT_EQ(s.absorption, 0.0);
  EXPECT_EQ(s.dabs_dim, 0.0);
}

TEST(MieCoefficients, FinishTwiceIsIdentical) {
  State s;
  s.prepare(40, 17.25, {1.7, 0.3});
  s.finish(40, true, 17.25, {1.7, 0.3});
  const State first = s;
  s.finish(40, true, 17.25, {1.7, 0.3});
  EXPECT_EQ(s.a, first.a);
  EXPECT_EQ(s.b, first.b);
  EXPECT_EQ(s.da_dx, first.da_dx);
  EXPECT_EQ(s.db_dm, first.db_dm);
  EXPECT_TRUE(vantok::test::same_bits(s.absorption, first.absorption));
  EXPECT_TRUE(vantok::test::same_bits(s.dabs_dim, first.dabs_dim));
}

TEST(MieCoefficients, SmallParticleLimit) {
  // a_1 ~ -i (2/3) x^3 (m^2-1)/(m^2+2) for x -> 0; relative deviation O(x^2).
  State s;
  const double x = 0.1;
  s.prepare(1, x, {1.5, 0.0});
  s.finish(1, false, x, {1.5, 0.0});
  const double lorentz = (2.25 - 1.0) / (2.25 + 2.0);
  const double want_im = -(2.0 / 3.0) * x * x * x * lorentz;
  EXPECT_LT(std::fabs(s.a[0].im - want_im) / std::fabs(want_im), 0.02);
  EXPECT_LT(std::fabs(s.a[0].re), 1e-3 * std::fabs(want_im));
}

TEST(MieCoefficients, PrepareRunsTheRatioRecurrenceOfTheRatioRoutines) {
  // prepare runs the m x and x recurrences side by side; each must give the
  // bits the ratio routines give alone (real m through the real recurrence).
  struct Input {
    double x;
    Complex<double> m;
    std::size_t n_terms;
  };
  const Input inputs[] = {{0.3, {1.5, 0.0}, 5}, {5.5, {1.5, 0.1}, 10}, {5.5, {1.33, 0.0}, 12},
                          {40.0, {2.0, 1.5}, 60}, {150.0, {1.05, 0.0}, 170}, {3.0, {0.5, 3.0}, 2}};
  State s;
  std::vector<Complex<double>> want_mx;
  std::vector<double> scratch;
  std::vector<double> want_x;
  for (const Input& in : inputs) {
    s.prepare(in.n_terms, in.x, in.m);
    vantok::mie::kernel::ratios(want_mx, scratch, in.n_terms, in.m, in.x);
    ASSERT_EQ(s.ratio_mx.size(), want_mx.size());
    for (std::size_t n = 0; n < want_mx.size(); ++n) {
      EXPECT_TRUE(vantok::test::same_bits(s.ratio_mx[n].re, want_mx[n].re)) << in.x << " " << n;
      EXPECT_TRUE(vantok::test::same_bits(s.ratio_mx[n].im, want_mx[n].im)) << in.x << " " << n;
    }
    // The x ratios exist above the cut order k only, and only when some
    // order (k < N) takes the ratio regime.
    vantok::mie::kernel::ratios_real(want_x, in.n_terms, in.x);
    const std::size_t k = vantok::mie::kernel::cut_order(in.n_terms, in.x);
    for (std::size_t n = 0; n < want_x.size(); ++n) {
      const double want = n > k && k < in.n_terms ? want_x[n] : 0.0;
      EXPECT_TRUE(vantok::test::same_bits(s.ratio_x[n], want)) << in.x << " " << n;
    }
  }
}

TEST(MieCoefficients, OneStateServesSmallerSpheresWithoutAllocating) {
  // After the largest sphere every buffer has its capacity: the solves of an
  // ensemble's many radii reuse it.
  Mie solver;
  ASSERT_TRUE(solver.solve(SolveOptions{}, true, 120.0, {1.5, 0.01}).has_value());
  const State& s = solver.state();
  const Complex<double>* buffers[] = {s.a.data(), s.b.data(), s.da_dx.data(), s.da_dm.data(),
                                      s.db_dx.data(), s.db_dm.data(), s.ratio_mx.data()};
  const double* x_ratios = s.ratio_x.data();
  for (double x = 0.5; x < 120.0; x *= 1.7) {
    for (const Complex<double> m : {Complex<double>{1.33, 0.0}, Complex<double>{1.6, 0.2}}) {
      ASSERT_TRUE(solver.solve(SolveOptions{}, true, x, m).has_value());
      const Complex<double>* now[] = {s.a.data(), s.b.data(), s.da_dx.data(), s.da_dm.data(),
                                      s.db_dx.data(), s.db_dm.data(), s.ratio_mx.data()};
      EXPECT_TRUE(std::equal(std::begin(buffers), std::end(buffers), std::begin(now))) << x;
      EXPECT_EQ(s.ratio_x.data(), x_ratios) << x;
    }
  }
}

TEST(MieCoefficients, SurfaceShiftedByZeroIsTheHomogeneousSphere) {
  // A surface whose every order is Shift(0) states H = D_n(m x): the same
  // numbers as the homogeneous finish in both regimes (x = 12: orders up to
  // 12 upward, the rest through ratios), up to the sign of zero parts.
  using vantok::mie::kernel::Surface;
  using vantok::mie::kernel::SurfaceOrder;
  using vantok::mie::kernel::SurfaceTerm;
  const double x = 12.0;
  const Complex<double> m{1.4, 0.05};
  const std::size_t n_terms = 30;
  State homogeneous;
  homogeneous.prepare(n_terms, x, m);
  homogeneous.finish(n_terms, false, x, m);
  const std::vector<SurfaceOrder> orders(n_terms, {SurfaceTerm::shift({}), SurfaceTerm::shift({})});
  State shifted;
  shifted.prepare(n_terms, x, m);
  shifted.finish(n_terms, false, x, m, Surface{orders, {}});
  EXPECT_EQ(shifted.a, homogeneous.a);
  EXPECT_EQ(shifted.b, homogeneous.b);
  EXPECT_EQ(shifted.absorption, homogeneous.absorption);
  EXPECT_TRUE(shifted.surface_values.empty());
}
