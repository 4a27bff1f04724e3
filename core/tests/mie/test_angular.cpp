// The refusals of the angular outputs in the order of their checks, and the
// Greek coefficients' Rayleigh limit and no-scattering case. (The amplitudes
// against the textbook sums of the coefficients, identities, derivatives and
// the table path are checked through the module.)
#include "vantok/mie/amplitudes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/expect_error.hpp"
#include "support/sanitizer.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/phase.hpp"

namespace {

using namespace vantok::mie;
using vantok::Error;
using vantok::test::expect_error;
using C = vantok::Complex<double>;
using G = greek::GreekCoefficients<double>;

const kernel::State& solved(Mie& mie, double x, C m) {
  auto st = mie.solve(SolveOptions{}, true, x, m);
  EXPECT_TRUE(st.has_value());
  return **st;
}

// Buffers before cosines, values before derivative groups (x, Re m, Im m);
// the table's cosines before its order count, its size before allocating,
// and at least the solution's N orders. Nothing is written by a refused call.
TEST(MieAngular, RefusalsInTheOrderOfTheChecks) {
  Mie mie;
  const auto& st = solved(mie, 1.0, {1.5, 0.0});
  const auto c = st.coefficients();
  const auto d = st.coefficient_derivatives();
  const std::string cosine = "a cosine of the scattering angle must be finite and in [-1, 1], and for dual numbers "
                             "have finite derivative parts, got ";
  const std::vector<double> mu{0.1, 0.2, 0.3}, bad{0.5, 1.0000000001, NAN};
  std::vector<C> s(3, C{7.0, 7.0}), s_short(2, C{7.0, 7.0}), u1(3), u2(3), w1(3), w2(4);
  std::vector<double> f(3, 9.0), f_short(2, 9.0), g1(3), g2(3), g3(3), g4(4);
  const phase::PhaseMatrixBuffers values{f, f, f, f_short}, good{f, f, f, f};
  auto small = amplitudes::AngularTable::create(mu, 9);
  ASSERT_TRUE(small.has_value());
  const std::pair<vantok::Result<void>, std::string> cases[] = {
      {c.amplitudes(bad, {s, s_short}), "the amplitude buffers must have one value per cosine (3), got 3 and 2"},
      {c.amplitudes(bad, {s, s}), cosine + "1.0000000001"},
      {c.amplitudes_with_derivatives(d, mu, {s, s}, {u1, u2}, {w1, w2}),
       "the derivative buffers must have one value per cosine (3), got 3 and 4"},
      {c.phase_matrix(bad, false, values), "the phase-matrix buffers must have one value per cosine (3), got [3, 3, 3, 2]"},
      {c.phase_matrix(bad, false, good), cosine + "1.0000000001"},
      {c.phase_matrix_with_derivatives(mu, d, true, good, {good, {g1, g2, g3, g4}, good}),
       "the derivative buffers must have one value per cosine (3), got [3, 3, 3, 4]"},
      {c.amplitudes_from_table(*small, {s, s}), "the solution has 10 terms, more than the 9 orders of the angular table"},
      {c.amplitudes_with_derivatives_from_table(d, *small, {s, s}, {u1, u2}, {u1, u2}),
       "the solution has 10 terms, more than the 9 orders of the angular table"},
  };
  for (const auto& [result, message] : cases) expect_error(result, Error::Kind::InvalidInput, message);
  for (const C& z : s) EXPECT_TRUE(z.re == 7.0 && z.im == 7.0);
  for (double v : f) EXPECT_EQ(v, 9.0);
  expect_error(amplitudes::AngularTable::create(std::vector<double>{0.5, 1.5}, 0), Error::Kind::InvalidInput, cosine + "1.5");
  expect_error(amplitudes::AngularTable::create(mu, 1048577), Error::Kind::InvalidInput,
               "the number of orders must be in [1, 1048576], got 1048577");
  if (!vantok::test::ADDRESS_SANITIZER) {  // which ends the process at such a request instead of failing it
    expect_error(amplitudes::AngularTable::create(std::vector<double>(std::size_t{1} << 24, 0.0), 1048576),
                 Error::Kind::InvalidInput, "an angular table of 1048576 orders at 16777216 cosines is too large to allocate");
  }
  auto exact = amplitudes::AngularTable::create(mu, 10);
  ASSERT_TRUE(exact.has_value() && c.amplitudes_from_table(*exact, {s, s}).has_value());
  expect_error(coefficients::Coefficients::greek_projector(100000, 2097152), Error::Kind::InvalidInput,
               "the Greek coefficients of a sphere with 100000 terms up to order 200000 need 200001 quadrature nodes, "
               "more than 131072");
  auto projector = coefficients::Coefficients::greek_projector(20, 40);
  ASSERT_TRUE(projector.has_value() && projector->nodes.size() == 41);
  std::vector<double> ok(41, 0.0), short_one(40, 0.0);
  const greek::PhaseMatrixTable tables[2] = {{ok, ok, ok, ok}, {ok, ok, ok, short_one}};
  expect_error(projector->project(tables), Error::Kind::InvalidInput,
               "phase-matrix tables must have one value per node (41), got [41, 41, 41, 40]");
  expect_error(c.greek(2097153, true), Error::Kind::InvalidInput, "the Greek order must be at most 2097152, got 2097153");
}

// Rayleigh limit (x = 1e-3, corrections O(x^2)): alpha1 = [1, 0, 1/2], alpha2 =
// [0, 0, 3], alpha4 = [0, 3/2, 0], beta1 = [0, 0, -sqrt(6)/2] (d^l_02 the basis of
// F12, negative for a dipole), alpha3 = beta2 = 0.
TEST(MieGreek, RayleighLimit) {
  Mie mie;
  for (const C m : {C{1.5, 0.0}, C{1.5, 0.3}}) {
    auto g = solved(mie, 1e-3, m).coefficients().greek(4, true);
    ASSERT_TRUE(g.has_value());
    const std::vector<double> want[6] = {{1.0, 0.0, 0.5, 0.0, 0.0}, {0.0, 0.0, 3.0, 0.0, 0.0}, std::vector<double>(5, 0.0),
                                         {0.0, 1.5, 0.0, 0.0, 0.0}, {0.0, 0.0, -std::sqrt(6.0) / 2.0, 0.0, 0.0},
                                         std::vector<double>(5, 0.0)};
    const auto got = g->vectors();
    for (std::size_t i = 0; i < 6; ++i) {
      for (std::size_t l = 0; l < 5; ++l) EXPECT_NEAR((*got[i])[l], want[i][l], 1e-5) << i << " " << l;
    }
  }
  G g = G::zeros(3);
  g.beta2 = {0.0, -1e-5, 2.0};
  EXPECT_EQ(greek::debug(g), "GreekCoefficients { alpha1: [0.0, 0.0, 0.0], alpha2: [0.0, 0.0, 0.0], alpha3: [0.0, 0.0, "
                             "0.0], alpha4: [0.0, 0.0, 0.0], beta1: [0.0, 0.0, 0.0], beta2: [0.0, -1e-5, 2.0] }");
}

// Issue 5: a sphere that scatters nothing (m = 1 below x = 1: every a_n, b_n
// is exactly 0) has all-zero unnormalised Greek coefficients and derivatives
// and phase matrix, not 0/0; the normalised ones are undefined.
TEST(MieGreek, Issue5NoScatteringGivesZeroUnnormalised) {
  Mie mie;
  const auto& st = solved(mie, 0.5, {1.0, 0.0});
  const auto c = st.coefficients();
  auto gd = c.greek_with_derivatives(5, st.coefficient_derivatives(), false);
  auto g = c.greek(5, false);
  ASSERT_TRUE(gd.has_value() && g.has_value());
  for (const G* set : {&*g, &gd->values, &gd->x, &gd->re_m, &gd->im_m}) {
    for (const auto* v : set->vectors()) {
      ASSERT_EQ(v->size(), 6u);
      for (double e : *v) EXPECT_EQ(e, 0.0);
    }
  }
  EXPECT_TRUE(std::isnan(c.greek(5, true)->alpha1[1]));
  std::vector<double> f(2, 9.0), n(2, 9.0);
  ASSERT_TRUE(c.phase_matrix(std::vector<double>{-0.5, 0.5}, false, {f, f, f, f}).has_value());
  ASSERT_TRUE(c.phase_matrix(std::vector<double>{-0.5, 0.5}, true, {n, n, n, n}).has_value());
  EXPECT_TRUE(f[0] == 0.0 && f[1] == 0.0 && !std::isfinite(n[0]));
}

}  // namespace
