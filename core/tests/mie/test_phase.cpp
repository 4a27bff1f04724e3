// Phase matrix: the elements against the 40-digit amplitudes, the integral of
// F11, the forward identities, the table path against the recurrence path,
// the refusals, and the derivatives against central differences.
#include "vantok/mie/phase.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "mie/reference_amplitudes.hpp"
#include "mie/sphere_differences.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/special/gauss_legendre.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;
using vantok::mie::amplitudes::AngularTable;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::mie::phase::PhaseMatrixBuffers;
using vantok::test::bits;
using vantok::test::expect_error;
using vantok::test::rel_err;
using C = Complex<double>;

struct Phase {
  std::array<std::vector<double>, 4> f;
  explicit Phase(std::size_t n, double fill = 0.0) {
    for (auto& v : f) v.assign(n, fill);
  }
  PhaseMatrixBuffers buffers() { return {f[0], f[1], f[2], f[3]}; }
};

struct PhaseWithDerivatives {
  Phase values, x, re, im;
  explicit PhaseWithDerivatives(std::size_t n) : values(n), x(n), re(n), im(n) {}
  std::array<Phase*, 4> all() { return {&values, &x, &re, &im}; }
};

const std::vector<double> COSINES = {-1.0, -0.8, -0.31, 0.0, 0.4, 0.77, 0.95, 1.0};

// F from the reference amplitudes of gen_mie_amplitudes.py, unnormalised:
// F11 = (2/x^2)(|S1|^2 + |S2|^2) and so on. Errors relative to F11(1), the
// largest element, stay at rounding level (1e-14 bounds them).
TEST(MiePhaseMatrix, MatchesReferenceAmplitudes) {
  for (const auto& sphere : vantok::test::reference_amplitudes()) {
    const double x = sphere.x;
    Mie mie;
    auto st = mie.solve(SolveOptions{}, false, x, sphere.m);
    ASSERT_TRUE(st.has_value());
    const std::vector<double> mu = sphere.cosines();
    Phase f(mu.size());
    ASSERT_TRUE((*st)->coefficients().phase_matrix(mu, false, f.buffers()).has_value());
    const std::vector<double> forward{1.0};
    Phase f1(1);
    ASSERT_TRUE((*st)->coefficients().phase_matrix(forward, false, f1.buffers()).has_value());
    const double scale = f1.f[0][0];
    for (std::size_t j = 0; j < mu.size(); ++j) {
      const C s1 = sphere.amplitudes[j].s1;
      const C s2 = sphere.amplitudes[j].s2;
      const double c = 4.0 / (x * x);
      const double n1 = s1.re * s1.re + s1.im * s1.im;
      const double n2 = s2.re * s2.re + s2.im * s2.im;
      const double want[4] = {0.5 * c * (n1 + n2), 0.5 * c * (n2 - n1), c * (s1.re * s2.re + s1.im * s2.im),
                              c * (s1.re * s2.im - s1.im * s2.re)};
      for (std::size_t e = 0; e < 4; ++e) {
        EXPECT_LE(std::fabs(f.f[e][j] - want[e]), 1e-14 * scale) << "x=" << x << " mu=" << mu[j] << " F" << e;
      }
    }
  }
}

// Half the integral of F11 over the cosine is 1 normalised and Q_sca
// unnormalised. F11 is a polynomial of degree 2N, integrated exactly by an
// (N+1)-point rule; what remains is rounding, mostly the node errors of the
// asymptotic rule (about 4e-16) times the slope of the forward peak (width
// ~1/x^2): 2e-13 at x = 250, checked to 1e-12.
TEST(MiePhaseMatrix, IntegralOfF11) {
  for (auto [x, m] : {std::pair{0.2, C{1.5, 0.0}}, {3.0, C{1.33, 0.01}}, {40.0, C{1.5, 0.5}},
                      {250.0, C{1.2, 0.0}}}) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, false, x, m);
    ASSERT_TRUE(st.has_value());
    const Coefficients c = (*st)->coefficients();
    auto rule = vantok::special::gauss_legendre::gauss_legendre<double>(c.a.size() + 1);
    ASSERT_TRUE(rule.has_value());
    const auto& [nodes, weights] = *rule;
    for (bool normalized : {true, false}) {
      Phase f(nodes.size());
      ASSERT_TRUE(c.phase_matrix(nodes, normalized, f.buffers()).has_value());
      double sum = 0.0;
      for (std::size_t k = 0; k < nodes.size(); ++k) sum += weights[k] * f.f[0][k];
      const double want = normalized ? 1.0 : c.efficiencies()[1];
      EXPECT_LE(rel_err(0.5 * sum, want), 1e-12) << x << " " << normalized;
    }
  }
}

// At mu = 1, S1 == S2 bit for bit: F12 = F34 = 0 and F33 = F11 exactly.
TEST(MiePhaseMatrix, ForwardIdentities) {
  for (auto [x, m] : {std::pair{0.5, C{1.5, 0.1}}, {9.0, C{1.33, 0.0}}, {120.0, C{2.0, 1.0}}}) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, false, x, m);
    ASSERT_TRUE(st.has_value());
    for (bool normalized : {true, false}) {
      Phase f(1);
      const std::vector<double> mu{1.0};
      ASSERT_TRUE((*st)->coefficients().phase_matrix(mu, normalized, f.buffers()).has_value());
      EXPECT_EQ(f.f[1][0], 0.0);
      EXPECT_EQ(f.f[3][0], 0.0);
      EXPECT_EQ(bits(f.f[2][0]), bits(f.f[0][0]));
      EXPECT_GT(f.f[0][0], 0.0);
    }
  }
}

TEST(MiePhaseMatrix, TableEqualsRecurrenceBitForBit) {
  std::vector<double> mu;
  for (int j = 0; j <= 30; ++j) mu.push_back(std::cos(j * 0.1047));
  for (auto [x, m] : {std::pair{1.3, C{1.5, 0.0}}, {33.0, C{1.4, 0.02}}}) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, true, x, m);
    ASSERT_TRUE(st.has_value());
    const Coefficients c = (*st)->coefficients();
    const CoefficientDerivatives d = (*st)->coefficient_derivatives();
    auto table = AngularTable::create(mu, c.a.size() + 3);
    ASSERT_TRUE(table.has_value());
    for (bool normalized : {true, false}) {
      Phase r(mu.size()), t(mu.size());
      ASSERT_TRUE(c.phase_matrix(mu, normalized, r.buffers()).has_value());
      ASSERT_TRUE(c.phase_matrix_from_table(*table, normalized, t.buffers()).has_value());
      PhaseWithDerivatives rd(mu.size()), td(mu.size());
      ASSERT_TRUE(c.phase_matrix_with_derivatives(mu, d, normalized, rd.values.buffers(),
                                                  {rd.x.buffers(), rd.re.buffers(), rd.im.buffers()})
                      .has_value());
      ASSERT_TRUE(c.phase_matrix_with_derivatives_from_table(
                       *table, d, normalized, td.values.buffers(),
                       {td.x.buffers(), td.re.buffers(), td.im.buffers()})
                      .has_value());
      for (std::size_t e = 0; e < 4; ++e) {
        for (std::size_t j = 0; j < mu.size(); ++j) {
          EXPECT_EQ(bits(r.f[e][j]), bits(t.f[e][j]));
          EXPECT_EQ(bits(r.f[e][j]), bits(rd.values.f[e][j]));
          for (std::size_t g = 0; g < 4; ++g) EXPECT_EQ(bits(rd.all()[g]->f[e][j]), bits(td.all()[g]->f[e][j]));
        }
      }
    }
  }
}

// Derivatives against fourth-order central differences (step 1e-4, checked to
// 1e-8 of the largest element), normalised and not.
TEST(MiePhaseMatrix, DerivativesMatchCentralDifferences) {
  const std::vector<double> mu{-1.0, -0.5, 0.1, 0.6, 0.99, 1.0};
  for (auto [x, m] : {std::pair{0.9, C{1.5, 0.01}}, {6.0, C{1.33, 0.002}}, {18.0, C{1.8, 0.3}}}) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, true, x, m);
    ASSERT_TRUE(st.has_value());
    const std::size_t n_terms = (*st)->a.size();
    for (bool normalized : {true, false}) {
      PhaseWithDerivatives got(mu.size());
      ASSERT_TRUE((*st)->coefficients()
                      .phase_matrix_with_derivatives(mu, (*st)->coefficient_derivatives(), normalized,
                                                     got.values.buffers(),
                                                     {got.x.buffers(), got.re.buffers(), got.im.buffers()})
                      .has_value());
      // Differences of F11, F12, F33, F34, one after the other.
      const auto [fx, fre, fim] =
          vantok::test::sphere_differences(x, m, n_terms, 1e-4, [&](const Coefficients& c) {
            Phase out(mu.size());
            EXPECT_TRUE(c.phase_matrix(mu, normalized, out.buffers()).has_value());
            std::vector<double> flat;
            for (const auto& e : out.f) flat.insert(flat.end(), e.begin(), e.end());
            return flat;
          });
      double scale = 0.0;
      for (const auto& v : got.values.f) {
        for (double e : v) scale = std::max(scale, std::fabs(e));
      }
      const std::size_t n_mu = mu.size();
      for (std::size_t e = 0; e < 4; ++e) {
        for (std::size_t j = 0; j < n_mu; ++j) {
          EXPECT_NEAR(got.x.f[e][j], fx[e * n_mu + j], 1e-8 * scale) << x << " F" << e << " mu=" << mu[j];
          EXPECT_NEAR(got.re.f[e][j], fre[e * n_mu + j], 1e-8 * scale) << x << " F" << e << " mu=" << mu[j];
          EXPECT_NEAR(got.im.f[e][j], fim[e * n_mu + j], 1e-8 * scale) << x << " F" << e << " mu=" << mu[j];
        }
      }
    }
  }
}

// For a view that is not the outer size parameter (an inner layer), the
// unnormalised x derivative lacks the explicit -2 F / x of the 4/x^2 factor.
TEST(MiePhaseMatrix, InnerViewHasNoExplicitSizeTerm) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, true, 2.5, C{1.5, 0.05});
  ASSERT_TRUE(st.has_value());
  const Coefficients c = (*st)->coefficients();
  CoefficientDerivatives d = (*st)->coefficient_derivatives();
  const std::vector<double> mu{-0.6, 0.3, 0.9};
  PhaseWithDerivatives outer(mu.size()), inner(mu.size());
  ASSERT_TRUE(c.phase_matrix_with_derivatives(mu, d, false, outer.values.buffers(),
                                              {outer.x.buffers(), outer.re.buffers(), outer.im.buffers()})
                  .has_value());
  d.outer = false;
  ASSERT_TRUE(c.phase_matrix_with_derivatives(mu, d, false, inner.values.buffers(),
                                              {inner.x.buffers(), inner.re.buffers(), inner.im.buffers()})
                  .has_value());
  for (std::size_t e = 0; e < 4; ++e) {
    for (std::size_t j = 0; j < mu.size(); ++j) {
      const double explicit_term = -2.0 * outer.values.f[e][j] / 2.5;
      EXPECT_NEAR(outer.x.f[e][j] - inner.x.f[e][j], explicit_term, 1e-14 * std::fabs(outer.values.f[0][j]));
      EXPECT_EQ(bits(outer.re.f[e][j]), bits(inner.re.f[e][j]));
    }
  }
}

// m = 1 below x = 1 leaves every coefficient exactly 0: the unnormalised
// matrix is 0, the normalised one is undefined (0 times infinity).
TEST(MiePhaseMatrix, NoScatteringGivesZeroOrUndefined) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, false, 0.5, C{1.0, 0.0});
  ASSERT_TRUE(st.has_value());
  const std::vector<double> mu{-0.5, 0.5};
  Phase un(2), norm(2);
  ASSERT_TRUE((*st)->coefficients().phase_matrix(mu, false, un.buffers()).has_value());
  ASSERT_TRUE((*st)->coefficients().phase_matrix(mu, true, norm.buffers()).has_value());
  for (std::size_t e = 0; e < 4; ++e) {
    for (std::size_t j = 0; j < 2; ++j) {
      EXPECT_EQ(un.f[e][j], 0.0);
      EXPECT_FALSE(std::isfinite(norm.f[e][j]));
    }
  }
}

TEST(MiePhaseMatrix, RefusesBadBuffers) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, true, 2.0, C{1.5, 0.0});
  ASSERT_TRUE(st.has_value());
  const Coefficients c = (*st)->coefficients();
  const CoefficientDerivatives d = (*st)->coefficient_derivatives();
  const std::vector<double> mu{0.1, 0.2, 0.3, 0.4, 0.5};
  const std::vector<double> bad_mu{0.1, 0.2, 2.0, 0.4, 0.5};
  Phase v(5, 9.0), short_one(5, 9.0);
  short_one.f[3].resize(4);
  // A wrong value buffer is reported before any cosine is looked at.
  auto r = c.phase_matrix(bad_mu, false, short_one.buffers());
  expect_error(r, Error::Kind::InvalidInput,
               "the phase-matrix buffers must have one value per cosine (5), got [5, 5, 5, 4]");
  r = c.phase_matrix(bad_mu, false, v.buffers());
  expect_error(r, Error::Kind::InvalidInput,
               "a cosine of the scattering angle must be finite and in [-1, 1], and for dual numbers have "
               "finite derivative parts, got 2");
  // Derivative groups are checked in the order x, Re m, Im m.
  Phase gx(5, 9.0), gre(5, 9.0), gim(5, 9.0);
  gre.f[1].resize(6, 9.0);
  gim.f[0].resize(1);
  r = c.phase_matrix_with_derivatives(mu, d, true, v.buffers(), {gx.buffers(), gre.buffers(), gim.buffers()});
  expect_error(r, Error::Kind::InvalidInput,
               "the derivative buffers must have one value per cosine (5), got [5, 6, 5, 5]");
  auto table = AngularTable::create(mu, 20);
  ASSERT_TRUE(table.has_value());
  r = c.phase_matrix_with_derivatives_from_table(*table, d, true, short_one.buffers(),
                                                 {gx.buffers(), gre.buffers(), gim.buffers()});
  expect_error(r, Error::Kind::InvalidInput,
               "the phase-matrix buffers must have one value per cosine (5), got [5, 5, 5, 4]");
  for (const Phase* p : {&v, &gx, &gre, &gim}) {
    for (const auto& e : p->f) {
      for (double value : e) EXPECT_EQ(value, 9.0);
    }
  }
}

}  // namespace
