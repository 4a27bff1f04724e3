// Greek coefficients: normalisation and Q_sca scaling to the bit, alpha1_1 =
// 3g, the Rayleigh limit, reconstruction of the phase matrix from the series,
// orders above 2N, the refusals, the no-scattering case, and the derivatives
// against central differences.
#include "vantok/mie/greek.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "mie/sphere_differences.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/phase.hpp"
#include "vantok/special/wigner.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::mie::greek::GreekCoefficients;
using vantok::mie::greek::GreekWithDerivatives;
using vantok::mie::greek::PhaseMatrixTable;
using vantok::test::bits;
using vantok::test::expect_error;
using vantok::test::rel_err;
using C = Complex<double>;
using G = GreekCoefficients<double>;

G greek_of(double x, C m, std::size_t order, bool normalized) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, false, x, m);
  EXPECT_TRUE(st.has_value());
  auto g = (*st)->coefficients().greek(order, normalized);
  EXPECT_TRUE(g.has_value());
  return *g;
}

std::vector<double> wigner(int m, int n, double x, std::size_t len) {
  std::vector<double> out(len);
  EXPECT_TRUE(vantok::special::wigner::wigner_d<double>(m, n, x, out).has_value());
  return out;
}

double series(const std::vector<double>& coefficients, const std::vector<double>& d) {
  double sum = 0.0;
  for (std::size_t l = 0; l < coefficients.size(); ++l) sum += coefficients[l] * d[l];
  return sum;
}

const std::vector<std::pair<double, C>> SPHERES = {
    {0.3, C{1.5, 0.0}}, {2.0, C{1.33, 0.01}}, {5.0, C{1.5, 0.01}}, {12.0, C{1.7, 0.3}}, {60.0, C{1.2, 0.0}}};

// alpha1_0 is exactly 1 normalised and exactly the efficiency rule's Q_sca
// unnormalised; alpha1_1 = 3g (g from the asymmetry sum, an independent
// series) to rounding.
TEST(MieGreek, NormalisationAndAsymmetry) {
  for (const auto& [x, m] : SPHERES) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, false, x, m);
    ASSERT_TRUE(st.has_value());
    const Coefficients c = (*st)->coefficients();
    const auto q = c.efficiencies();
    auto normalised = c.greek(6, true);
    auto scaled = c.greek(6, false);
    ASSERT_TRUE(normalised.has_value() && scaled.has_value());
    EXPECT_EQ(normalised->alpha1[0], 1.0);
    EXPECT_EQ(bits(scaled->alpha1[0]), bits(q[1])) << x;
    EXPECT_NEAR(normalised->alpha1[1], 3.0 * q[4], 1e-13) << x;
    for (std::size_t l = 0; l < 2; ++l) {
      for (const auto* v : {&normalised->alpha2, &normalised->alpha3, &normalised->beta1, &normalised->beta2}) {
        EXPECT_EQ((*v)[l], 0.0) << x << " l=" << l;
      }
    }
  }
  // x = 5, m = 1.5 + 0.01i: alpha1_1 = 2.194117126648044 by an independent evaluation.
  EXPECT_NEAR(greek_of(5.0, C{1.5, 0.01}, 2, true).alpha1[1], 2.194117126648044, 1e-13);
}

// Rayleigh limit (x = 1e-3, corrections O(x^2)): alpha1 = [1, 0, 1/2],
// alpha2 = [0, 0, 3], alpha4 = [0, 3/2, 0], beta1 = [0, 0, -sqrt(6)/2] (with
// d^l_02 as the basis of F12, which is negative for a dipole), alpha3 = beta2 = 0.
TEST(MieGreek, RayleighLimit) {
  for (const C m : {C{1.5, 0.0}, C{1.5, 0.3}}) {
    const G g = greek_of(1e-3, m, 4, true);
    ASSERT_EQ(g.alpha1.size(), 5u);
    const double a1[5] = {1.0, 0.0, 0.5, 0.0, 0.0};
    const double a2[5] = {0.0, 0.0, 3.0, 0.0, 0.0};
    const double a4[5] = {0.0, 1.5, 0.0, 0.0, 0.0};
    const double b1[5] = {0.0, 0.0, -std::sqrt(6.0) / 2.0, 0.0, 0.0};
    for (std::size_t l = 0; l < 5; ++l) {
      EXPECT_NEAR(g.alpha1[l], a1[l], 1e-5) << l;
      EXPECT_NEAR(g.alpha2[l], a2[l], 1e-5) << l;
      EXPECT_NEAR(g.alpha3[l], 0.0, 1e-5) << l;
      EXPECT_NEAR(g.alpha4[l], a4[l], 1e-5) << l;
      EXPECT_NEAR(g.beta1[l], b1[l], 1e-5) << l;
      EXPECT_NEAR(g.beta2[l], 0.0, 1e-5) << l;
    }
  }
}

// The series rebuild the normalised phase matrix at any cosine:
// F11 = sum alpha1 P_l, F33 = sum alpha4 P_l, F12 = sum beta1 d^l_02,
// F34 = sum beta2 d^l_02, F11 +- F33 = sum (alpha2 +- alpha3) d^l_{2,+-2}.
// Checked to 1e-12 of F11(1), the largest value.
TEST(MieGreek, SeriesRebuildPhaseMatrix) {
  const std::vector<double> mu{-1.0, -0.83, -0.2, 0.0, 0.37, 0.8, 0.985, 1.0};
  for (const auto& [x, m] : SPHERES) {
    if (x > 20.0) continue;
    Mie mie;
    auto st = mie.solve(SolveOptions{}, false, x, m);
    ASSERT_TRUE(st.has_value());
    const Coefficients c = (*st)->coefficients();
    const std::size_t order = 2 * c.a.size();
    auto g = c.greek(order, true);
    ASSERT_TRUE(g.has_value());
    std::vector<double> f11(mu.size()), f12(mu.size()), f33(mu.size()), f34(mu.size());
    ASSERT_TRUE(c.phase_matrix(mu, true, {f11, f12, f33, f34}).has_value());
    const double scale = f11.back();
    for (std::size_t j = 0; j < mu.size(); ++j) {
      const auto d00 = wigner(0, 0, mu[j], order + 1);
      const auto d02 = wigner(0, 2, mu[j], order + 1);
      const auto d22 = wigner(2, 2, mu[j], order + 1);
      const auto d2m2 = wigner(2, -2, mu[j], order + 1);
      std::vector<double> plus(order + 1), minus(order + 1);
      for (std::size_t l = 0; l <= order; ++l) {
        plus[l] = g->alpha2[l] + g->alpha3[l];
        minus[l] = g->alpha2[l] - g->alpha3[l];
      }
      const double tol = 1e-12 * scale;
      EXPECT_NEAR(series(g->alpha1, d00), f11[j], tol) << x << " mu=" << mu[j];
      EXPECT_NEAR(series(g->alpha4, d00), f33[j], tol) << x << " mu=" << mu[j];
      EXPECT_NEAR(series(g->beta1, d02), f12[j], tol) << x << " mu=" << mu[j];
      EXPECT_NEAR(series(g->beta2, d02), f34[j], tol) << x << " mu=" << mu[j];
      EXPECT_NEAR(series(plus, d22), f11[j] + f33[j], tol) << x << " mu=" << mu[j];
      EXPECT_NEAR(series(minus, d2m2), f11[j] - f33[j], tol) << x << " mu=" << mu[j];
    }
  }
}

// Orders above 2N are exactly 0 and the others are those of order 2N; L = 0
// keeps one entry.
TEST(MieGreek, OrdersAboveTwiceTheTerms) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, false, 2.0, C{1.5, 0.02});
  ASSERT_TRUE(st.has_value());
  const Coefficients c = (*st)->coefficients();
  const std::size_t two_n = 2 * c.a.size();
  auto full = c.greek(two_n, false);
  auto more = c.greek(two_n + 9, false);
  ASSERT_TRUE(full.has_value() && more.has_value());
  ASSERT_EQ(more->alpha1.size(), two_n + 10);
  const auto fv = full->vectors();
  const auto mv = more->vectors();
  for (std::size_t i = 0; i < 6; ++i) {
    for (std::size_t l = 0; l <= two_n; ++l) EXPECT_EQ(bits((*fv[i])[l]), bits((*mv[i])[l]));
    for (std::size_t l = two_n + 1; l < two_n + 10; ++l) EXPECT_EQ(bits((*mv[i])[l]), bits(0.0));
  }
  auto zero = c.greek(0, true);
  ASSERT_TRUE(zero.has_value());
  for (const auto* v : zero->vectors()) EXPECT_EQ(v->size(), 1u);
  EXPECT_EQ(zero->alpha1[0], 1.0);
  EXPECT_EQ(zero->alpha2[0], 0.0);
  EXPECT_EQ(zero->beta1[0], 0.0);
}

// Issue 5: a sphere that scatters nothing (m = 1 below x = 1: every a_n, b_n
// is exactly 0) has all-zero unnormalised coefficients and derivatives, not
// 0/0; the normalised ones are undefined.
TEST(MieGreek, Issue5NoScatteringGivesZeroUnnormalised) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, true, 0.5, C{1.0, 0.0});
  ASSERT_TRUE(st.has_value());
  const Coefficients c = (*st)->coefficients();
  ASSERT_EQ(c.efficiencies()[1], 0.0);
  auto g = c.greek(5, false);
  ASSERT_TRUE(g.has_value());
  for (const auto* v : g->vectors()) {
    for (double e : *v) EXPECT_EQ(e, 0.0);
  }
  auto gd = c.greek_with_derivatives(5, (*st)->coefficient_derivatives(), false);
  ASSERT_TRUE(gd.has_value());
  for (const G* set : {&gd->values, &gd->x, &gd->re_m, &gd->im_m}) {
    for (const auto* v : set->vectors()) {
      ASSERT_EQ(v->size(), 6u);
      for (double e : *v) EXPECT_EQ(e, 0.0);
    }
  }
  auto n = c.greek(5, true);
  ASSERT_TRUE(n.has_value());
  EXPECT_TRUE(std::isnan(n->alpha1[1]));
}

// The values of greek_with_derivatives are those of greek to the bit, and the
// derivatives match fourth-order central differences (step 1e-4; 1e-8 of
// alpha1_0 covers the differences' error).
TEST(MieGreek, DerivativesMatchCentralDifferences) {
  for (auto [x, m] : {std::pair{0.7, C{1.5, 0.02}}, {4.0, C{1.33, 0.001}}, {11.0, C{1.6, 0.2}}}) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, true, x, m);
    ASSERT_TRUE(st.has_value());
    const Coefficients c = (*st)->coefficients();
    const std::size_t n_terms = c.a.size();
    const std::size_t order = 2 * n_terms + 2;
    for (bool normalized : {true, false}) {
      auto got = c.greek_with_derivatives(order, (*st)->coefficient_derivatives(), normalized);
      auto plain = c.greek(order, normalized);
      ASSERT_TRUE(got.has_value() && plain.has_value());
      for (std::size_t i = 0; i < 6; ++i) {
        for (std::size_t l = 0; l <= order; ++l) {
          EXPECT_EQ(bits((*got->values.vectors()[i])[l]), bits((*plain->vectors()[i])[l]));
        }
      }
      EXPECT_EQ(got->x.alpha1.size(), order + 1);
      // Differences of the six vectors, one after the other.
      const auto [fx, fre, fim] =
          vantok::test::sphere_differences(x, m, n_terms, 1e-4, [&](const Coefficients& shifted) {
            std::vector<double> flat;
            auto g = shifted.greek(order, normalized);
            EXPECT_TRUE(g.has_value());
            if (g.has_value()) {
              for (const auto* v : g->vectors()) flat.insert(flat.end(), v->begin(), v->end());
            }
            return flat;
          });
      const double tol = 1e-8 * std::max(1.0, std::fabs(plain->alpha1[0]));
      auto check = [&](const std::vector<double>& fd, const G& derivative, const char* what) {
        ASSERT_EQ(fd.size(), 6 * (order + 1));
        for (std::size_t i = 0; i < 6; ++i) {
          for (std::size_t l = 0; l <= order; ++l) {
            EXPECT_NEAR((*derivative.vectors()[i])[l], fd[i * (order + 1) + l], tol)
                << what << " x=" << x << " normalized=" << normalized << " vector " << i << " l=" << l;
          }
        }
      };
      check(fx, got->x, "x");
      check(fre, got->re_m, "Re m");
      check(fim, got->im_m, "Im m");
      if (normalized) {
        EXPECT_EQ(got->x.alpha1[0], 0.0);
        EXPECT_EQ(got->re_m.alpha1[0], 0.0);
      }
    }
  }
}

TEST(MieGreek, RefusesOrdersAndNodeCounts) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, false, 1.0, C{1.5, 0.0});
  ASSERT_TRUE(st.has_value());
  auto r = (*st)->coefficients().greek(2097153, true);
  expect_error(r, Error::Kind::InvalidInput, "the Greek order must be at most 2097152, got 2097153");
  EXPECT_TRUE((*st)->coefficients().greek(2097152, true).has_value());

  // The node count names the effective order min(2N, L), not L.
  auto p = Coefficients::greek_projector(100000, 2097152);
  expect_error(p, Error::Kind::InvalidInput,
               "the Greek coefficients of a sphere with 100000 terms up to order 200000 need 200001 "
               "quadrature nodes, more than 131072");
  // More than 131071 terms fail for every order.
  p = Coefficients::greek_projector(131072, 0);
  expect_error(p, Error::Kind::InvalidInput,
               "the Greek coefficients of a sphere with 131072 terms up to order 0 need 131073 "
               "quadrature nodes, more than 131072");
  p = Coefficients::greek_projector(131071, 1);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->nodes.size(), 131072u);
  EXPECT_EQ(p->effective_order, 1u);

  p = Coefficients::greek_projector(20, 40);
  ASSERT_TRUE(p.has_value());
  ASSERT_EQ(p->nodes.size(), 41u);
  std::vector<double> ok(41, 0.0), short_one(40, 0.0);
  const PhaseMatrixTable tables[2] = {{ok, ok, ok, ok}, {ok, ok, ok, short_one}};
  auto projected = p->project(tables);
  expect_error(projected, Error::Kind::InvalidInput,
               "phase-matrix tables must have one value per node (41), got [41, 41, 41, 40]");
}

TEST(MieGreek, ZerosPadAndDebugForm) {
  G g = G::zeros(3);
  for (const auto* v : g.vectors()) EXPECT_EQ(*v, std::vector<double>(3, 0.0));
  g.alpha1 = {1.0, 0.5, 0.25};
  g.beta2 = {0.0, -1e-5, 2.0};
  EXPECT_EQ(vantok::mie::greek::debug(g),
            "GreekCoefficients { alpha1: [1.0, 0.5, 0.25], alpha2: [0.0, 0.0, 0.0], alpha3: [0.0, 0.0, "
            "0.0], alpha4: [0.0, 0.0, 0.0], beta1: [0.0, 0.0, 0.0], beta2: [0.0, -1e-5, 2.0] }");
  g.pad(3);
  EXPECT_EQ(g.alpha1, (std::vector<double>{1.0, 0.5, 0.25}));
  g.pad(2);
  for (const auto* v : g.vectors()) EXPECT_EQ(v->size(), 2u);
  EXPECT_EQ(g.beta2, (std::vector<double>{0.0, -1e-5}));
  g.pad(4);
  EXPECT_EQ(g.alpha1, (std::vector<double>{1.0, 0.5, 0.0, 0.0}));

  using D = vantok::scalar::DualF64;
  auto dual = GreekCoefficients<D>::zeros(2);
  dual.pad(5);
  for (const auto* v : dual.vectors()) {
    ASSERT_EQ(v->size(), 5u);
    for (const D& e : *v) {
      EXPECT_EQ(e.value, 0.0);
      for (double p : e.partials) EXPECT_EQ(p, 0.0);
    }
  }
}

}  // namespace
