// Layered spheres against an independent field-propagation reference
// (gen_layered_reference.py) with per-layer derivatives, the degenerate-shell
// identities, exact zeros of non-absorbing stacks, and the solver's reuse.
#include "vantok/layered/layered.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "support/compare.hpp"
#include "support/table.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/mie/mie.hpp"

using vantok::Complex;
using vantok::layered::Layered;
using vantok::mie::Mie;
using vantok::mie::kernel::State;
using vantok::test::rel_err;
using C = Complex<double>;
namespace eff = vantok::mie::efficiencies;

namespace {

// A value of condition number kappa (relative change per relative change of
// all x_l and m_l, from the reference): rounding of the layer arguments acts
// as input perturbations of ~1 ulp, plus a few ulps per interface and order.
double conditioned(double kappa) { return 0x1p-52 * (64.0 + 8.0 * kappa); }

}  // namespace

// Coefficients and efficiencies (Q_abs from the surface fields against
// Q_ext - Q_sca); per-layer derivatives per order in units of the order's total
// sensitivity sum_l x_l |dc/dx_l| + |m_l| |dc/dm_l| (kappa |c|), since inner
// layers' derivatives of high orders are tiny against it; the slopes of S_abs.
TEST(Layered, MatchesReferenceTable) {
  Layered solver;
  int derivatives = 0;
  const auto cases = vantok::test::blocks(vantok::test::read_table("layered_reference.txt"), "case");
  ASSERT_EQ(cases.size(), 9u);
  for (const auto& block : cases) {
    const std::size_t layers = block[0].count(0);
    std::vector<double> xs;
    std::vector<C> ms;
    for (std::size_t l = 0; l < layers; ++l) {
      xs.push_back(block[0].num(2 + l));
      ms.push_back({block[0].num(2 + layers + 2 * l), block[0].num(3 + layers + 2 * l)});
    }
    const std::string name = "x_L = " + std::to_string(xs.back()) + ", " + std::to_string(layers) + " layers";
    auto r = solver.compute_with_derivatives({}, xs, ms);
    ASSERT_TRUE(r.has_value()) << name;
    const State& s = **r;
    ASSERT_EQ(s.a.size(), block[0].count(1));
    std::vector<double> scale_a(s.a.size() + 1), scale_b(s.a.size() + 1), kappa(s.a.size() + 1);
    std::vector<std::array<double, 2>> rows(4 * layers);  // per layer and derivative: max |want|, max error
    for (const auto& row : block) {
      if (row.tag == "eff") {
        const auto q = s.coefficients().efficiencies();
        for (std::size_t k : {eff::Q_EXT, eff::Q_SCA, eff::Q_BACK, eff::G}) EXPECT_LT(rel_err(q[k], row.num(k)), 1e-13) << name;
        EXPECT_LT(std::fabs(q[eff::Q_ABS] - row.num(eff::Q_ABS)) / row.num(eff::Q_EXT), 1e-13) << name;
      } else if (row.tag == "ab") {
        const std::size_t n = row.count(0);
        const C a{row.num(1), row.num(2)}, b{row.num(3), row.num(4)};
        scale_a[n] = row.num(5) * abs(a);
        scale_b[n] = row.num(6) * abs(b);
        kappa[n] = std::max(row.num(5), row.num(6));
        EXPECT_LT(rel_err(s.a[n - 1], a), conditioned(row.num(5))) << name << ", a_" << n;
        EXPECT_LT(rel_err(s.b[n - 1], b), conditioned(row.num(6))) << name << ", b_" << n;
      } else if (row.tag == "dabs") {
        const auto d = solver.layer_derivatives(row.count(0));
        const double got[3] = {d.dabs_dx, d.dabs_dre, d.dabs_dim};
        const double size = std::fabs(row.num(1)) + std::fabs(row.num(2)) + std::fabs(row.num(3));
        for (std::size_t p = 0; p < 3; ++p) EXPECT_LE(std::fabs(got[p] - row.num(1 + p)), 1e-12 * size + 1e-300) << name;
      } else if (row.tag == "d") {
        const std::size_t l = row.count(0), n = row.count(1);
        const auto d = solver.layer_derivatives(l);
        EXPECT_EQ(d.outer, l + 1 == layers);
        const C got[4] = {d.da_dx[n - 1], d.da_dm[n - 1], d.db_dx[n - 1], d.db_dm[n - 1]};
        const double weight[4] = {xs[l], abs(ms[l]), xs[l], abs(ms[l])};
        for (std::size_t k = 0; k < 4; ++k) {
          const C want{row.num(2 + 2 * k), row.num(3 + 2 * k)};
          const double err = weight[k] * abs(got[k] - want);
          EXPECT_LE(err, 4.0 * conditioned(kappa[n]) * (k < 2 ? scale_a[n] : scale_b[n]))
              << name << ", layer " << l << ", n = " << n << ", derivative " << k;
          rows[4 * l + k] = {std::max(rows[4 * l + k][0], abs(want)), std::max(rows[4 * l + k][1], abs(got[k] - want))};
        }
        ++derivatives;
      }
    }
    // Each layer's derivative also on the scale of its own largest order, for
    // inner layers whose slopes are small beside the outer ones.
    const double worst = *std::max_element(kappa.begin(), kappa.end());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_LE(rows[i][1], 4.0 * conditioned(worst) * rows[i][0]) << name << ", layer " << i / 4 << ", derivative " << i % 4;
    }
  }
  EXPECT_GT(derivatives, 400);
}

/// a, b and the absorption of got within tol of want's, relative to the
/// largest coefficient and (absorption) to the scattering sum.
void expect_close(const State& got, const State& want, double tol, const std::string& what) {
  ASSERT_EQ(got.a.size(), want.a.size()) << what;
  double amax = 0.0;
  for (std::size_t i = 0; i < want.a.size(); ++i) amax = std::max({amax, abs(want.a[i]), abs(want.b[i])});
  for (std::size_t i = 0; i < want.a.size(); ++i) {
    EXPECT_LE(abs(got.a[i] - want.a[i]) + abs(got.b[i] - want.b[i]), tol * amax) << what << ", n = " << i + 1;
  }
  const double s_sca = eff::value_sums(want.a, want.b).scattering;
  EXPECT_LE(std::fabs(got.absorption - want.absorption), tol * (std::fabs(want.absorption) + s_sca)) << what;
}

// A stack of one index is the homogeneous sphere of the outer radius (two
// layers across both layer forms, Im(m) x above and below 0.5, to x = 2000;
// and 1024 layers): every inner x derivative is exactly 0 (an equal-index
// boundary has no x), and the index derivatives of the layers add up to the
// sphere's.
TEST(Layered, StackOfOneMaterialIsTheHomogeneousSphere) {
  struct Case {
    std::vector<double> xs;
    C m;
    double tol;
  };
  std::vector<double> deep(1024);
  for (std::size_t l = 0; l < deep.size(); ++l) deep[l] = 0.005 * static_cast<double>(l + 1);
  const Case cases[] = {{{0.3, 1.0}, {1.5, 0.01}, 1e-13}, {{3.0, 7.0}, {1.33, 1e-3}, 1e-13}, {{4.0, 9.0}, {1.5, 0.3}, 1e-13},
                        {{20.0, 60.0}, {2.0, 1.0}, 1e-13}, {{100.0, 400.0}, {1.4, 1e-4}, 1e-13},
                        {{800.0, 2000.0}, {1.3, 0.01}, 1e-11}, {deep, {1.6, 0.05}, 1e-12}};
  Layered solver;
  Mie mie;
  for (const Case& c : cases) {
    const std::string what = "x_L = " + std::to_string(c.xs.back());
    auto r = solver.compute_with_derivatives({std::nullopt, true}, c.xs, std::vector<C>(c.xs.size(), c.m));
    auto h = mie.compute_with_derivatives({}, c.xs.back(), c.m);
    ASSERT_TRUE(r.has_value() && h.has_value()) << what;
    const State& hs = **h;
    expect_close(**r, hs, c.tol, what);
    std::vector<C> sum_a(hs.a.size()), sum_b(hs.a.size());
    double sum_re = 0.0, sum_im = 0.0, dmax = 0.0;
    const auto outer = solver.layer_derivatives(c.xs.size() - 1);
    for (std::size_t l = 0; l < c.xs.size(); ++l) {
      const auto d = solver.layer_derivatives(l);
      for (std::size_t i = 0; i < hs.a.size(); ++i) {
        if (l + 1 < c.xs.size()) {
          ASSERT_TRUE(abs(d.da_dx[i]) == 0.0 && abs(d.db_dx[i]) == 0.0) << what << " " << l;
        }
        sum_a[i] += d.da_dm[i];
        sum_b[i] += d.db_dm[i];
      }
      sum_re += d.dabs_dre;
      sum_im += d.dabs_dim;
    }
    for (std::size_t i = 0; i < hs.a.size(); ++i) dmax = std::max({dmax, abs(hs.da_dm[i]), abs(hs.db_dm[i]), abs(hs.da_dx[i])});
    for (std::size_t i = 0; i < hs.a.size(); ++i) {
      EXPECT_LE(abs(sum_a[i] - hs.da_dm[i]) + abs(sum_b[i] - hs.db_dm[i]), 10 * c.tol * dmax) << what << ", n = " << i + 1;
      EXPECT_LE(abs(outer.da_dx[i] - hs.da_dx[i]) + abs(outer.db_dx[i] - hs.db_dx[i]), 10 * c.tol * dmax) << what;
    }
    const double abs_scale = std::fabs(hs.dabs_dre) + std::fabs(hs.dabs_dim) + std::fabs(hs.dabs_dx);
    EXPECT_LE(std::fabs(sum_re - hs.dabs_dre) + std::fabs(sum_im - hs.dabs_dim) + std::fabs(outer.dabs_dx - hs.dabs_dx),
              10 * c.tol * abs_scale) << what;
  }
}

// A shell of no thickness is the core: its own index does not matter, and its
// derivatives vanish to rounding that grows with the phase |m_1| x.
TEST(Layered, ShellOfZeroThicknessIsTheCore) {
  const std::tuple<double, C, C> cases[] = {{1.0, {1.5, 0.01}, {1.2, 0.0}}, {6.0, {2.0, 0.5}, {1.33, 1e-3}},
                                            {30.0, {1.5, 0.0}, {1.6, 0.5}}, {500.0, {1.3, 0.01}, {1.5, 2.0}}};
  Layered solver;
  Mie mie;
  for (const auto& [x, m0, m1] : cases) {
    auto r = solver.compute_with_derivatives({}, std::vector<double>{x, x}, std::vector<C>{m0, m1});
    auto h = mie.solve({}, false, x, m0);
    ASSERT_TRUE(r.has_value() && h.has_value());
    expect_close(**r, **h, x > 150.0 ? 1e-11 : 1e-13, "x = " + std::to_string(x));
    const auto outer = solver.layer_derivatives(1), inner = solver.layer_derivatives(0);
    for (std::size_t i = 0; i < outer.da_dm.size(); ++i) {
      EXPECT_LE(std::max(abs(outer.da_dm[i]), abs(outer.db_dm[i])),
                std::max(1e-12, 1e-14 * abs(m1) * x) * (abs(inner.da_dm[i]) + abs(inner.db_dm[i]) + 1e-300)) << x << " " << i;
    }
  }
}

// Real indices in every layer keep the whole recursion real: nothing is
// absorbed, exactly, and the absorption has no slope in any x_l or Re m_l.
TEST(Layered, RealIndicesAbsorbExactlyNothing) {
  Layered solver;
  const std::vector<std::vector<double>> radii = {{1.0, 2.5, 4.0}, {20.0, 30.0, 60.0}, {0.5, 3.0, 8.0}, {300.0, 900.0}};
  const std::vector<std::vector<C>> indices = {{{1.6, 0.0}, {1.2, 0.0}, {1.45, 0.0}}, {{2.0, 0.0}, {1.33, 0.0}, {1.5, 0.0}},
                                               {{1.33, 0.0}, {1.9, 0.0}, {1.1, 0.0}}, {{1.5, 0.0}, {1.2, 0.0}}};
  for (std::size_t k = 0; k < radii.size(); ++k) {
    auto r = solver.compute_with_derivatives({}, radii[k], indices[k]);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ((*r)->absorption, 0.0) << k;
    for (std::size_t l = 0; l < radii[k].size(); ++l) {
      const auto d = solver.layer_derivatives(l);
      EXPECT_TRUE(d.dabs_dx == 0.0 && d.dabs_dre == 0.0) << k << " " << l;
    }
  }
}

// Buffers are reused across solves of different layer counts and sizes with
// the bits of a fresh solver; a failing solve leaves the previous results.
TEST(Layered, ReuseGivesIdenticalResults) {
  const std::vector<double> x3{1.0, 1.5, 4.0};
  const std::vector<C> m3{{1.6, 0.02}, {1.2, 0.0}, {2.0, 0.3}};
  Layered fresh, reused;
  ASSERT_TRUE(fresh.compute_with_derivatives({}, x3, m3).has_value());
  ASSERT_TRUE(reused.compute_with_derivatives({}, std::vector<double>{3.0, 30.0}, std::vector<C>{{1.4, 0.0}, {1.6, 0.5}}).has_value());
  ASSERT_TRUE(reused.solve({}, false, std::vector<double>{2.0}, std::vector<C>{{1.5, 0.0}}).has_value());
  ASSERT_TRUE(reused.compute_with_derivatives({}, x3, m3).has_value());
  EXPECT_TRUE(reused.state().a == fresh.state().a && reused.state().absorption == fresh.state().absorption);
  for (std::size_t l = 0; l < 3; ++l) {
    const auto a = fresh.layer_derivatives(l), b = reused.layer_derivatives(l);
    EXPECT_TRUE(std::equal(a.da_dx.begin(), a.da_dx.end(), b.da_dx.begin(), b.da_dx.end()) && a.dabs_dim == b.dabs_dim);
  }
  const auto before = reused.state().a;
  EXPECT_FALSE(reused.solve({}, false, std::vector<double>{2.0, 1.0}, std::vector<C>{{1.4, 0.0}, {1.6, 0.5}}).has_value());
  EXPECT_TRUE(reused.state().a == before && reused.layers() == 3u);
}
