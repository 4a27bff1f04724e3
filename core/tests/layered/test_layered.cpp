// Layered spheres against an independent field-propagation reference
// (gen_layered_reference.py), the degenerate-shell identities, and the
// per-layer derivatives against the reference and central differences.
#include "vantok/layered/layered.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/compare.hpp"
#include "support/table.hpp"
#include "vantok/mie/mie.hpp"

using vantok::Complex;
using vantok::layered::Layered;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;
using vantok::mie::kernel::State;
using vantok::test::rel_err;
using C = Complex<double>;
using vantok::complex::abs;
namespace eff = vantok::mie::efficiencies;

namespace {

// Tolerance for a value with condition number kappa (relative change per
// relative change of all x_l and m_l, from the reference): rounding of the
// layer arguments acts as input perturbations of ~1 ulp, plus a few ulps per
// interface and order of the recursion.
double conditioned_tolerance(double kappa) { return 0x1p-52 * (64.0 + 8.0 * kappa); }

struct Case {
  std::vector<double> xs;
  std::vector<C> ms;
  std::size_t n_terms;
  std::vector<vantok::test::Record> rows;
  std::string name() const {
    std::string s = "xs =";
    for (double x : xs) {
      s += ' ';
      s += std::to_string(x);
    }
    return s;
  }
};

std::vector<Case> reference_cases() {
  std::vector<Case> out;
  for (auto& block :
       vantok::test::blocks(vantok::test::read_table("layered_reference.txt"), "case")) {
    const auto& h = block[0];
    const std::size_t layers = h.count(0);
    Case c{{}, {}, h.count(1), block};
    for (std::size_t l = 0; l < layers; ++l) c.xs.push_back(h.num(2 + l));
    for (std::size_t l = 0; l < layers; ++l) {
      c.ms.push_back({h.num(2 + layers + 2 * l), h.num(3 + layers + 2 * l)});
    }
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace

TEST(LayeredCoefficients, MatchReferenceTable) {
  const auto cases = reference_cases();
  ASSERT_EQ(cases.size(), 8u);
  Layered solver;
  for (const Case& c : cases) {
    auto r = solver.solve({}, false, c.xs, c.ms);
    ASSERT_TRUE(r.has_value()) << c.name() << ": " << r.error().to_string();
    const State& s = **r;
    ASSERT_EQ(s.a.size(), c.n_terms);
    for (const auto& row : c.rows) {
      if (row.tag == "eff") {
        const auto q = s.coefficients().efficiencies();
        for (std::size_t k : {eff::Q_EXT, eff::Q_SCA, eff::Q_BACK, eff::G}) {
          EXPECT_LT(rel_err(q[k], row.num(k)), 1e-13) << c.name() << ", efficiency " << k;
        }
        // Surface-field absorption against Q_ext - Q_sca of the reference.
        EXPECT_LT(std::fabs(q[eff::Q_ABS] - row.num(eff::Q_ABS)) / row.num(eff::Q_EXT), 1e-13)
            << c.name();
      }
      if (row.tag != "ab") continue;
      const std::size_t n = row.count(0);
      EXPECT_LT(rel_err(s.a[n - 1], {row.num(1), row.num(2)}), conditioned_tolerance(row.num(5)))
          << c.name() << ", a_" << n;
      EXPECT_LT(rel_err(s.b[n - 1], {row.num(3), row.num(4)}), conditioned_tolerance(row.num(6)))
          << c.name() << ", b_" << n;
    }
  }
}

TEST(LayeredDerivatives, MatchReferenceTable) {
  Layered solver;
  int checked = 0;
  for (const Case& c : reference_cases()) {
    auto r = solver.compute_with_derivatives({}, c.xs, c.ms);
    ASSERT_TRUE(r.has_value()) << c.name();
    const std::size_t layers = c.xs.size();
    // Per order: the total sensitivity sum_l x_l |dc/dx_l| + |m_l| |dc/dm_l|
    // (kappa |c|); inner-layer derivatives of high orders are tiny against it
    // and are compared in its units.
    std::vector<double> scale_a(c.n_terms + 1), scale_b(c.n_terms + 1), kappa(c.n_terms + 1);
    for (const auto& row : c.rows) {
      if (row.tag != "ab") continue;
      const std::size_t n = row.count(0);
      scale_a[n] = row.num(5) * abs({row.num(1), row.num(2)});
      scale_b[n] = row.num(6) * abs({row.num(3), row.num(4)});
      kappa[n] = std::max(row.num(5), row.num(6));
    }
    for (const auto& row : c.rows) {
      if (row.tag == "dabs") {
        const auto d = solver.layer_derivatives(row.count(0));
        const double got[3] = {d.dabs_dx, d.dabs_dre, d.dabs_dim};
        const double size = std::fabs(row.num(1)) + std::fabs(row.num(2)) + std::fabs(row.num(3));
        for (std::size_t p = 0; p < 3; ++p) {
          EXPECT_LE(std::fabs(got[p] - row.num(1 + p)), 1e-12 * size + 1e-300)
              << c.name() << ", layer " << row.count(0) << ", dabs " << p;
        }
      }
      if (row.tag != "d") continue;
      const std::size_t l = row.count(0);
      const std::size_t n = row.count(1);
      const auto d = solver.layer_derivatives(l);
      EXPECT_EQ(d.outer, l + 1 == layers);
      const C got[4] = {d.da_dx[n - 1], d.da_dm[n - 1], d.db_dx[n - 1], d.db_dm[n - 1]};
      const double weight[4] = {c.xs[l], abs(c.ms[l]), c.xs[l], abs(c.ms[l])};
      const double tol = 4.0 * conditioned_tolerance(kappa[n]);
      for (std::size_t k = 0; k < 4; ++k) {
        const C want{row.num(2 + 2 * k), row.num(3 + 2 * k)};
        const double err = weight[k] * std::hypot(got[k].re - want.re, got[k].im - want.im);
        EXPECT_LE(err, tol * (k < 2 ? scale_a[n] : scale_b[n]))
            << c.name() << ", layer " << l << ", n = " << n << ", derivative " << k;
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 400);
}

namespace {

void expect_close(const State& got, const State& want, double tol, const std::string& what) {
  ASSERT_EQ(got.a.size(), want.a.size()) << what;
  double amax = 0.0;
  for (std::size_t i = 0; i < want.a.size(); ++i) amax = std::max({amax, abs(want.a[i]), abs(want.b[i])});
  for (std::size_t i = 0; i < want.a.size(); ++i) {
    EXPECT_LE(abs(got.a[i] - want.a[i]), tol * amax) << what << ", a_" << i + 1;
    EXPECT_LE(abs(got.b[i] - want.b[i]), tol * amax) << what << ", b_" << i + 1;
  }
  // S_abs is measured against the scattering sum, its natural size.
  const double s_sca = vantok::mie::efficiencies::value_sums(want.a, want.b).scattering;
  EXPECT_LE(std::fabs(got.absorption - want.absorption), tol * (std::fabs(want.absorption) + s_sca))
      << what;
}

}  // namespace

TEST(LayeredIdentities, ShellOfCoreMaterialIsHomogeneous) {
  // m_1 = m_0: the interface contrast vanishes exactly and the particle is a
  // homogeneous sphere of x_1, across both layer forms (Im(m) x_1 below and
  // above 0.5) and sizes up to 2000.
  Layered solver;
  Mie mie;
  const struct {
    double x0, x1;
    C m;
  } cases[] = {{0.3, 1.0, {1.5, 0.01}}, {3.0, 7.0, {1.33, 1e-3}}, {4.0, 9.0, {1.5, 0.3}},
               {20.0, 60.0, {2.0, 1.0}}, {100.0, 400.0, {1.4, 1e-4}}, {800.0, 2000.0, {1.3, 0.01}}};
  for (const auto& c : cases) {
    const std::vector<double> xs{c.x0, c.x1};
    const std::vector<C> ms{c.m, c.m};
    auto r = solver.compute_with_derivatives({std::nullopt, true}, xs, ms);
    auto h = mie.compute_with_derivatives({}, c.x1, c.m);
    ASSERT_TRUE(r.has_value() && h.has_value());
    std::string what = "x = ";
    what += std::to_string(c.x0);
    what += ", ";
    what += std::to_string(c.x1);
    expect_close(**r, **h, c.x1 > 150.0 ? 1e-11 : 1e-13, what);
    const auto inner = solver.layer_derivatives(0);
    const auto outer = solver.layer_derivatives(1);
    const State& hs = **h;
    double dmax = 0.0;
    for (std::size_t i = 0; i < hs.a.size(); ++i) dmax = std::max({dmax, abs(hs.da_dm[i]), abs(hs.db_dm[i]), abs(hs.da_dx[i]), abs(hs.db_dx[i])});
    for (std::size_t i = 0; i < hs.a.size(); ++i) {
      // An equal-index boundary contributes exactly nothing to d/dx_0.
      EXPECT_EQ(abs(inner.da_dx[i]), 0.0) << what << ", n = " << i + 1;
      EXPECT_EQ(abs(inner.db_dx[i]), 0.0) << what << ", n = " << i + 1;
      // The index derivatives of the two layers add up to the homogeneous one,
      // and the outer x derivative is the homogeneous one.
      const double tol = (c.x1 > 150.0 ? 1e-10 : 1e-12) * dmax;
      EXPECT_LE(abs(inner.da_dm[i] + outer.da_dm[i] - hs.da_dm[i]), tol) << what << ", n = " << i + 1;
      EXPECT_LE(abs(inner.db_dm[i] + outer.db_dm[i] - hs.db_dm[i]), tol) << what << ", n = " << i + 1;
      EXPECT_LE(abs(outer.da_dx[i] - hs.da_dx[i]), tol) << what << ", n = " << i + 1;
      EXPECT_LE(abs(outer.db_dx[i] - hs.db_dx[i]), tol) << what << ", n = " << i + 1;
    }
    EXPECT_EQ(inner.dabs_dx, 0.0) << what;
    const double abs_scale = std::fabs(hs.dabs_dre) + std::fabs(hs.dabs_dim) + std::fabs(hs.dabs_dx);
    const double abs_tol = (c.x1 > 150.0 ? 1e-10 : 1e-12) * abs_scale;
    EXPECT_LE(std::fabs(inner.dabs_dre + outer.dabs_dre - hs.dabs_dre), abs_tol) << what;
    EXPECT_LE(std::fabs(inner.dabs_dim + outer.dabs_dim - hs.dabs_dim), abs_tol) << what;
    EXPECT_LE(std::fabs(outer.dabs_dx - hs.dabs_dx), abs_tol) << what;
  }
}

TEST(LayeredIdentities, ShellOfZeroThicknessIsTheCore) {
  Layered solver;
  Mie mie;
  const struct {
    double x;
    C m0, m1;
  } cases[] = {{1.0, {1.5, 0.01}, {1.2, 0.0}}, {6.0, {2.0, 0.5}, {1.33, 1e-3}},
               {30.0, {1.5, 0.0}, {1.6, 0.5}}, {500.0, {1.3, 0.01}, {1.5, 2.0}}};
  for (const auto& c : cases) {
    const std::vector<double> xs{c.x, c.x};
    const std::vector<C> ms{c.m0, c.m1};
    auto r = solver.compute_with_derivatives({}, xs, ms);
    auto h = mie.solve({}, false, c.x, c.m0);
    ASSERT_TRUE(r.has_value() && h.has_value());
    const std::string what = "x = " + std::to_string(c.x);
    expect_close(**r, **h, c.x > 150.0 ? 1e-11 : 1e-13, what);
    // The shell's own index does not matter: its derivatives vanish to
    // rounding, which grows with the phase |m_1| x accumulated in the recursion.
    const auto outer = solver.layer_derivatives(1);
    const auto inner = solver.layer_derivatives(0);
    const double tol = std::max(1e-12, 1e-14 * abs(c.m1) * c.x);
    for (std::size_t i = 0; i < outer.da_dm.size(); ++i) {
      const double scale = abs(inner.da_dm[i]) + abs(inner.db_dm[i]) + 1e-300;
      EXPECT_LE(abs(outer.da_dm[i]), tol * scale) << what << ", n = " << i + 1;
      EXPECT_LE(abs(outer.db_dm[i]), tol * scale) << what << ", n = " << i + 1;
    }
  }
}

TEST(LayeredIdentities, OneLayerIsTheHomogeneousSphereBitwise) {
  Layered solver;
  Mie mie;
  const std::vector<double> xs{12.5};
  const std::vector<C> ms{{1.5, 0.2}};
  auto r = solver.compute_with_derivatives({}, xs, ms);
  auto h = mie.compute_with_derivatives({}, 12.5, {1.5, 0.2});
  ASSERT_TRUE(r.has_value() && h.has_value());
  EXPECT_EQ((*r)->a, (*h)->a);
  EXPECT_EQ((*r)->b, (*h)->b);
  EXPECT_EQ((*r)->da_dm, (*h)->da_dm);
  EXPECT_EQ((*r)->db_dx, (*h)->db_dx);
  EXPECT_EQ((*r)->absorption, (*h)->absorption);
  EXPECT_EQ((*r)->dabs_dim, (*h)->dabs_dim);
  EXPECT_EQ(solver.layers(), 1u);
  EXPECT_TRUE(solver.layer_derivatives(0).outer);
}

TEST(LayeredIdentities, DeepStackOfOneMaterial) {
  // 1024 layers of one index (beyond the validated 16): the homogeneous sphere,
  // with every inner x derivative exactly 0 and the index derivatives summing up.
  const std::size_t layers = 1024;
  std::vector<double> xs(layers);
  for (std::size_t l = 0; l < layers; ++l) xs[l] = 0.005 * static_cast<double>(l + 1);
  const std::vector<C> ms(layers, C{1.6, 0.05});
  Layered solver;
  Mie mie;
  auto r = solver.compute_with_derivatives({std::nullopt, true}, xs, ms);
  auto h = mie.compute_with_derivatives({}, xs.back(), ms.back());
  ASSERT_TRUE(r.has_value() && h.has_value());
  expect_close(**r, **h, 1e-12, "1024 layers");
  std::vector<C> sum_a((*h)->a.size()), sum_b((*h)->a.size());
  for (std::size_t l = 0; l < layers; ++l) {
    const auto d = solver.layer_derivatives(l);
    for (std::size_t i = 0; i < sum_a.size(); ++i) {
      if (l + 1 < layers) {
        ASSERT_EQ(abs(d.da_dx[i]), 0.0);
        ASSERT_EQ(abs(d.db_dx[i]), 0.0);
      }
      sum_a[i] += d.da_dm[i];
      sum_b[i] += d.db_dm[i];
    }
  }
  for (std::size_t i = 0; i < sum_a.size(); ++i) {
    EXPECT_LE(abs(sum_a[i] - (*h)->da_dm[i]), 1e-11 * abs((*h)->da_dm[i]) + 1e-15) << i;
    EXPECT_LE(abs(sum_b[i] - (*h)->db_dm[i]), 1e-11 * abs((*h)->db_dm[i]) + 1e-15) << i;
  }
}

TEST(LayeredSolver, ReuseGivesIdenticalResults) {
  // Buffers are reused across solves of different layer counts and sizes.
  const std::vector<double> x3{1.0, 1.5, 4.0};
  const std::vector<C> m3{{1.6, 0.02}, {1.2, 0.0}, {2.0, 0.3}};
  const std::vector<double> x2{3.0, 30.0};
  const std::vector<C> m2{{1.4, 0.0}, {1.6, 0.5}};
  Layered fresh, reused;
  auto f = fresh.compute_with_derivatives({}, x3, m3);
  ASSERT_TRUE(f.has_value());
  ASSERT_TRUE(reused.compute_with_derivatives({}, x2, m2).has_value());
  ASSERT_TRUE(reused.solve({}, false, std::vector<double>{2.0}, std::vector<C>{{1.5, 0.0}}).has_value());
  auto g = reused.compute_with_derivatives({}, x3, m3);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ((*g)->a, (*f)->a);
  EXPECT_EQ((*g)->b, (*f)->b);
  EXPECT_EQ((*g)->absorption, (*f)->absorption);
  for (std::size_t l = 0; l < 3; ++l) {
    const auto a = fresh.layer_derivatives(l);
    const auto b = reused.layer_derivatives(l);
    EXPECT_TRUE(std::equal(a.da_dx.begin(), a.da_dx.end(), b.da_dx.begin(), b.da_dx.end()));
    EXPECT_TRUE(std::equal(a.db_dm.begin(), a.db_dm.end(), b.db_dm.begin(), b.db_dm.end()));
    EXPECT_EQ(a.dabs_dim, b.dabs_dim);
  }
  // A failing solve leaves the previous results in place.
  const auto before = reused.state().a;
  EXPECT_FALSE(reused.solve({}, false, std::vector<double>{2.0, 1.0}, m2).has_value());
  EXPECT_EQ(reused.state().a, before);
  EXPECT_EQ(reused.layers(), 3u);
}

TEST(LayeredJacobian, CentralDifferencesPerLayer) {
  // Efficiency Jacobians from the per-layer views (outer only on the last
  // layer) against central differences of the efficiencies.
  const std::vector<double> xs{2.0, 4.0, 6.0};
  const std::vector<C> ms{{1.5, 0.01}, {1.3, 0.2}, {1.4, 0.01}};
  Layered solver, probe;
  auto r = solver.compute_with_derivatives({}, xs, ms);
  ASSERT_TRUE(r.has_value());
  const auto view = (*r)->coefficients();
  const std::size_t n_terms = view.a.size();
  auto at = [&](std::vector<double> x, std::vector<C> m) {
    auto s = probe.solve({n_terms, true}, false, x, m);
    EXPECT_TRUE(s.has_value());
    return (*s)->coefficients().efficiencies();
  };
  for (std::size_t l = 0; l < xs.size(); ++l) {
    const auto jac = view.efficiencies_jacobian(solver.layer_derivatives(l));
    const double hs[3] = {1e-6 * xs[l], 1e-6, 1e-6};
    for (std::size_t p = 0; p < 3; ++p) {
      auto xp = xs, xm = xs;
      auto mp = ms, mm = ms;
      if (p == 0) {
        xp[l] += hs[p];
        xm[l] -= hs[p];
      } else if (p == 1) {
        mp[l].re += hs[p];
        mm[l].re -= hs[p];
      } else {
        mp[l].im += hs[p];
        mm[l].im -= hs[p];
      }
      const auto qp = at(xp, mp);
      const auto qm = at(xm, mm);
      for (std::size_t k = 0; k < 5; ++k) {
        const double fd = (qp[k] - qm[k]) / (2.0 * hs[p]);
        EXPECT_LE(std::fabs(jac[5 * p + k] - fd), 1e-6 * std::fabs(fd) + 1e-8)
            << "layer " << l << ", row " << p << ", column " << k;
      }
    }
  }
}
