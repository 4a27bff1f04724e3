// Mie coefficients, their derivatives, the absorption sum, the efficiencies and
// the Riccati-Bessel ratios against the textbook formulas at high precision
// (gen_mie_reference.py), the optical theorem across regimes, and the solver's
// exact properties.
#include "vantok/mie/kernel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "support/compare.hpp"
#include "support/table.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/ratios.hpp"

using vantok::Complex;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;
using vantok::mie::kernel::State;
using vantok::test::rel_err;
using C = Complex<double>;
namespace eff = vantok::mie::efficiencies;

namespace {

// Tolerance of a value whose condition number is kappa (relative change per
// relative change of x and m, from the table): rounding m x and 1/z perturbs
// the input by ~1 ulp, amplified by kappa; the recurrences add a few ulps per
// order.
double conditioned(double kappa) { return 0x1p-52 * (32.0 + 8.0 * kappa); }

std::string name(double x, C m) { return "x = " + std::to_string(x) + ", m = " + std::to_string(m.re) + " + " + std::to_string(m.im) + "i"; }

}  // namespace

// Coefficients; derivatives per (x, m) pair relative to x |dc/dx| + |m| |dc/dm|
// (one of them may pass through zero), about as sensitive as the coefficient
// plus |m x| ulps through the differentiated Bessel functions; the
// derivatives of S_abs (a zero entry is an exact zero of a real m); Q_ext,
// Q_sca and g (1e-13, 1e-11 beyond x = 150, looser near m = 1 where the
// coefficients ~ m - 1 come from O(1) differences); Q_abs from the surface
// fields against Q_ext - Q_sca relative to Q_ext; Q_back, an alternating sum.
TEST(MieCoefficients, MatchReferenceTable) {
  Mie mie;
  int derivatives = 0;
  for (const auto& block : vantok::test::blocks(vantok::test::read_table("mie_reference.txt"), "case")) {
    const double x = block[0].num(0);
    const C m{block[0].num(1), block[0].num(2)};
    auto r = mie.solve(SolveOptions{std::nullopt, block[0].fields[4] == "1"}, block[0].fields[5] == "1", x, m);
    ASSERT_TRUE(r.has_value()) << name(x, m);
    const State& s = **r;
    ASSERT_EQ(s.a.size(), block[0].count(3)) << name(x, m);
    const double abs_m = std::hypot(m.re, m.im);
    std::vector<double> kappa(s.a.size() + 1, 0.0);
    for (const auto& row : block) {
      if (row.tag == "eff") {
        const auto q = s.coefficients().efficiencies();
        const double contrast = 0x1p-52 / std::hypot(m.re - 1.0, m.im);
        const double big = std::max(x > 150.0 ? 1e-11 : 1e-13, 8.0 * contrast);
        for (std::size_t k : {eff::Q_EXT, eff::Q_SCA, eff::G}) EXPECT_LT(rel_err(q[k], row.num(k)), big) << name(x, m) << " " << k;
        EXPECT_LE(std::fabs(q[eff::Q_ABS] - row.num(eff::Q_ABS)) / row.num(eff::Q_EXT), m.im == 0.0 ? 0.0 : 1e-13) << name(x, m);
        EXPECT_LT(rel_err(q[eff::Q_BACK], row.num(eff::Q_BACK)), std::max(x >= 100.0 ? 1e-10 : 1e-12, 16.0 * contrast));
      } else if (row.tag == "ab") {
        const std::size_t n = row.count(0);
        kappa[n] = std::max(row.num(5), row.num(6));
        EXPECT_LT(rel_err(s.a[n - 1], {row.num(1), row.num(2)}), conditioned(row.num(5))) << name(x, m) << " a_" << n;
        EXPECT_LT(rel_err(s.b[n - 1], {row.num(3), row.num(4)}), conditioned(row.num(6))) << name(x, m) << " b_" << n;
      } else if (row.tag == "dabs") {
        const double scale = std::fabs(row.num(0)) + std::fabs(row.num(1)) + std::fabs(row.num(2));
        const double got[3] = {s.dabs_dx, s.dabs_dre, s.dabs_dim};
        for (std::size_t p = 0; p < 3; ++p) {
          EXPECT_LE(std::fabs(got[p] - row.num(p)), row.num(p) == 0.0 ? 0.0 : 2e-12 * scale) << name(x, m) << " dabs " << p;
        }
      } else if (row.tag == "d") {
        const std::size_t n = row.count(0);
        const C got[4] = {s.da_dx[n - 1], s.da_dm[n - 1], s.db_dx[n - 1], s.db_dm[n - 1]};
        const double tol = 4.0 * conditioned(kappa[n]) + 0x1p-52 * 8.0 * abs_m * x;
        for (std::size_t pair = 0; pair < 4; pair += 2) {
          const C want_x{row.num(1 + 2 * pair), row.num(2 + 2 * pair)}, want_m{row.num(3 + 2 * pair), row.num(4 + 2 * pair)};
          const double scale = x * abs(want_x) + abs_m * abs(want_m);
          EXPECT_LT(x * abs(got[pair] - want_x) / scale, tol) << name(x, m) << " n = " << n << " pair " << pair;
          EXPECT_LT(abs_m * abs(got[pair + 1] - want_m) / scale, tol) << name(x, m) << " n = " << n << " pair " << pair;
        }
        ++derivatives;
      }
    }
  }
  EXPECT_GT(derivatives, 300);
}

// r_n(z) = psi_n/psi_{n-1}: rounding 1/z moves r_n by kappa ulps (kappa =
// |z d ln r_n/dz|, up to ~2e3 where r_n oscillates like cot z); the recurrence
// adds a few ulps per order. A real z takes the real recurrence, copied with
// +0.0 imaginary parts.
TEST(MieRatios, MatchReferenceTable) {
  std::vector<C> out, via;
  std::vector<double> real_out, scratch;
  const auto cases = vantok::test::blocks(vantok::test::read_table("mie_reference.txt"), "ratio");
  ASSERT_EQ(cases.size(), 8u);
  for (const auto& block : cases) {
    const C z{block[0].num(0), block[0].num(1)};
    const std::size_t n_terms = block[0].count(2);
    vantok::mie::kernel::ratios_complex(out, n_terms, z);
    vantok::mie::kernel::ratios(via, scratch, n_terms, z, 1.0);
    vantok::mie::kernel::ratios_real(real_out, n_terms, z.re);
    ASSERT_TRUE(out.size() == n_terms + 2 && via.size() == n_terms + 2);
    for (std::size_t i = 1; i < block.size(); ++i) {
      const std::size_t n = block[i].count(0);
      const C want{block[i].num(1), block[i].num(2)};
      const double tol = 0x1p-52 * (8.0 + 4.0 * block[i].num(3));
      EXPECT_LT(abs(out[n] - want) / abs(want), tol) << "z = " << z.re << " + " << z.im << "i, n = " << n;
      if (z.im == 0.0) {
        EXPECT_LT(rel_err(real_out[n], want.re), tol) << "z = " << z.re << ", n = " << n;
        EXPECT_TRUE(via[n].re == real_out[n] && vantok::test::bits(via[n].im) == 0u);
      } else {
        EXPECT_EQ(via[n], out[n]);
      }
    }
  }
  vantok::mie::kernel::ratios_real(real_out, 10, 1e-6);  // r_n(z) -> z/(2n+1) as z -> 0
  for (std::size_t n = 1; n <= 11; ++n) EXPECT_LT(rel_err(real_out[n], 1e-6 / static_cast<double>(2 * n + 1)), 1e-12);
}

// m = 1 is exactly transparent in the ratio regime (orders above x) with every
// x derivative exactly 0; the sums of an empty or a NaN solution: g = 0 for
// S_sca = 0, NaN propagates. (A real index absorbing exactly nothing and Q_ext
// against the extinction series are checked with the reference table.)
TEST(MieCoefficients, ExactZeros) {
  Mie mie;
  auto r = mie.solve(SolveOptions{}, true, 5.5, {1.0, 0.0});
  ASSERT_TRUE(r.has_value());
  const State& s = **r;
  for (std::size_t n = 1; n <= s.a.size(); ++n) {
    EXPECT_LE(abs(s.a[n - 1]) + abs(s.b[n - 1]), n > 5 ? 0.0 : 1e-15) << n;
    EXPECT_TRUE(abs(s.da_dx[n - 1]) == 0.0 && abs(s.db_dx[n - 1]) == 0.0) << n;
  }
  EXPECT_EQ(s.absorption, 0.0);
  EXPECT_EQ(eff::from_sums(eff::value_sums({}, {}), 0.0, 2.0)[eff::G], 0.0);
  EXPECT_TRUE(std::isnan(eff::from_sums({{0.0, 0.0}, NAN, 1.0}, 0.0, 1.0)[eff::G]));
}

// A surface whose every order is Shift(0) states H = D_n(m x): the numbers of
// the homogeneous finish in both regimes (x = 12: 12 orders upward, the rest
// through ratios).
TEST(MieCoefficients, SurfaceShiftedByZeroIsTheHomogeneousSphere) {
  using namespace vantok::mie::kernel;
  const double x = 12.0;
  const C m{1.4, 0.05};
  State homogeneous, shifted;
  homogeneous.prepare(30, x, m);
  homogeneous.finish(30, false, x, m);
  const std::vector<SurfaceOrder> orders(30, {SurfaceTerm::shift({}), SurfaceTerm::shift({})});
  shifted.prepare(30, x, m);
  shifted.finish(30, false, x, m, Surface{orders, {}});
  EXPECT_TRUE(shifted.a == homogeneous.a && shifted.b == homogeneous.b && shifted.absorption == homogeneous.absorption);
}

// One solver serves an ensemble's many radii: after the largest sphere no
// buffer moves, every solve gives the bits of a fresh solver, and a refused
// solve leaves the previous results in place.
TEST(MieSolver, ReuseAndFailure) {
  Mie solver;
  ASSERT_TRUE(solver.solve(SolveOptions{}, true, 120.0, {1.5, 0.01}).has_value());
  const State& s = solver.state();
  const C* buffers[] = {s.a.data(), s.da_dx.data(), s.db_dm.data(), s.ratio_mx.data()};
  for (double x = 0.5; x < 120.0; x *= 1.7) {
    for (const C m : {C{1.33, 0.0}, C{1.6, 0.2}}) {
      ASSERT_TRUE(solver.solve(SolveOptions{}, true, x, m).has_value());
      const C* now[] = {s.a.data(), s.da_dx.data(), s.db_dm.data(), s.ratio_mx.data()};
      EXPECT_TRUE(std::equal(std::begin(buffers), std::end(buffers), std::begin(now))) << x;
      Mie fresh;
      const State& f = **fresh.solve(SolveOptions{}, true, x, m);
      EXPECT_TRUE(f.a == s.a && f.db_dm == s.db_dm && vantok::test::same_bits(f.dabs_dim, s.dabs_dim)) << x;
    }
  }
  const auto a = s.a;
  const auto bad = solver.solve(SolveOptions{}, false, 3e4, {1.5, 0.1});
  ASSERT_FALSE(bad.has_value());
  EXPECT_TRUE(s.a == a && s.derivatives);
}
