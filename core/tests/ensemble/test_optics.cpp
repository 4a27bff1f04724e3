// Particle optics at one radius: the landed sphere and layered results through
// one reused Solver, one node at a time and the nodes of a panel side by side,
// bit for bit; the layer size parameters, the derivative limit, the failing
// node and the error context.
#include "vantok/ensemble/optics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "vantok/ensemble/engine.hpp"
#include "vantok/format.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/mie.hpp"

using namespace vantok::test::ensemble;
using vantok::Complex;
using vantok::Error;
using vantok::ensemble::particle::Optics;
using vantok::ensemble::particle::Solver;
using vantok::mie::SolveOptions;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::test::expect_error;
using vantok::test::same_bits;

namespace {

const vantok::mie::SolveOptions DEFAULT{std::nullopt, false};

// Bitwise equality of two coefficient views and of the efficiency Jacobians
// of their derivative views.
void expect_same(const Coefficients& got, std::span<const CoefficientDerivatives> got_d, const Coefficients& want,
                 std::span<const CoefficientDerivatives> want_d) {
  ASSERT_EQ(got.a.size(), want.a.size());
  EXPECT_EQ(got.x, want.x);
  EXPECT_TRUE(same_bits(got.s_abs, want.s_abs));
  for (std::size_t n = 0; n < got.a.size(); ++n) {
    EXPECT_TRUE(same_bits(got.a[n].re, want.a[n].re) && same_bits(got.a[n].im, want.a[n].im)) << n;
    EXPECT_TRUE(same_bits(got.b[n].re, want.b[n].re) && same_bits(got.b[n].im, want.b[n].im)) << n;
  }
  ASSERT_EQ(got_d.size(), want_d.size());
  for (std::size_t l = 0; l < got_d.size(); ++l) {
    EXPECT_EQ(got_d[l].outer, want_d[l].outer);
    const auto j_got = got.efficiencies_jacobian(got_d[l]);
    const auto j_want = want.efficiencies_jacobian(want_d[l]);
    for (std::size_t i = 0; i < 15; ++i) EXPECT_TRUE(same_bits(j_got[i], j_want[i])) << l << " " << i;
  }
}

}  // namespace

TEST(Optics, LayersTermCountsAndContext) {
  const Particle shell = layered({0.5}, 2), homogeneous = sphere(1);  // Optics refers to its particle
  const Optics optics = Optics::at(shell, 1);
  std::vector<double> xs = {9.0};
  std::vector<Complex<double>> ms;
  optics.layers(xs, ms, 10.0);
  EXPECT_EQ(xs, (std::vector<double>{5.0, 10.0}));
  EXPECT_EQ(ms.size(), 2u);
  EXPECT_EQ(optics.n_terms(DEFAULT, 10.0), vantok::mie::default_terms(10.0));
  const Optics sphere_optics = Optics::at(homogeneous, 0);
  EXPECT_EQ(sphere_optics.n_terms(DEFAULT, 100.0), 131u);
  EXPECT_THROW(sphere_optics.layers(xs, ms, 1.0), vantok::InternalFailure);
  expect_error(sphere_optics.n_terms(DEFAULT, 0.0), Error::Kind::InvalidInput,
               "the size parameter x must be in [1e-30, 1e6], got 0e0");
  // The context prefixes messages only.
  using vantok::ensemble::engine::context;
  EXPECT_EQ(context(Error::invalid_input("bad"), 0.55, 0.125),
            Error::invalid_input("at wavelength 5.5e-1, radius 1.25e-1: bad"));
  EXPECT_EQ(context(Error::outside_validated_domain("far"), 1000.0, 2.0).to_string(),
            "outside validated domain: at wavelength 1e3, radius 2e0: far");
  EXPECT_EQ(context(Error::not_converged(1e-3, 1e-6), 1.0, 1.0), Error::not_converged(1e-3, 1e-6));
}

// One Solver alternating between a sphere and a layered particle, with and
// without derivatives, one node at a time, and the 15 nodes of a panel solved
// in lanes: the landed solvers' coefficients, efficiencies and every layer's
// derivatives. A node that fails its checks is reported with its index, the
// nodes before it solved; repeated solves of no more terms reuse the buffers.
TEST(Solver, LandedResultsOneAtATimeAndSideBySide) {
  const Particle s = sphere(1), shell = layered({0.3, 0.7}, 1);
  std::vector<double> xs;
  for (std::size_t i = 0; i < 15; ++i) xs.push_back(20.0 + 0.7 * static_cast<double>(i * i));
  Solver solver;
  for (const bool derivatives : {false, true}) {
    for (const Particle* p : {&s, &shell}) {
      const Optics optics = Optics::at(*p, 0);
      Solver nodes;
      ASSERT_FALSE(nodes.solve_nodes(optics, DEFAULT, derivatives, xs).has_value());
      for (std::size_t i = 0; i < xs.size(); ++i) {
        vantok::mie::Mie mie;
        vantok::layered::Layered lay;
        std::vector<double> lx;
        std::vector<Complex<double>> lm;
        std::vector<CoefficientDerivatives> want_d;
        if (p == &s) {
          ASSERT_TRUE(mie.solve(DEFAULT, derivatives, xs[i], {1.5, 0.01}).has_value());
          if (derivatives) want_d.push_back(mie.derivatives());
        } else {
          optics.layers(lx, lm, xs[i]);
          ASSERT_TRUE(lay.solve(DEFAULT, derivatives, lx, lm).has_value());
          for (std::size_t l = 0; derivatives && l < 3; ++l) want_d.push_back(lay.layer_derivatives(l));
        }
        const Coefficients want = p == &s ? mie.coefficients() : lay.coefficients();
        const auto one = solver.solve(optics, DEFAULT, derivatives, xs[i]);
        ASSERT_TRUE(one.has_value());
        expect_same(one->coefficients, one->derivatives, want, want_d);
        const auto node = nodes.node(i);
        expect_same(node.solution.coefficients, node.solution.derivatives, want, want_d);
        const auto q = want.efficiencies();
        for (std::size_t k = 0; k < 5; ++k) EXPECT_TRUE(same_bits(node.efficiencies[k], q[k])) << i << " " << k;
      }
      // Node 9 beyond the accepted size parameters: nodes 0 to 8 are solved.
      std::vector<double> bad = xs;
      bad[9] = 2e6;
      bad[12] = -1.0;
      const auto failure = nodes.solve_nodes(optics, DEFAULT, false, bad);
      ASSERT_TRUE(failure.has_value());
      EXPECT_EQ(failure->node, 9u);
      EXPECT_EQ(failure->error, solver.solve(optics, DEFAULT, false, bad[9]).error());
      const auto eighth = solver.solve(optics, DEFAULT, false, bad[8]);
      expect_same(nodes.node(8).solution.coefficients, {}, eighth->coefficients, {});
    }
  }
  const Optics optics = Optics::at(s, 0);
  const auto* first = solver.solve(optics, DEFAULT, false, 7.0)->coefficients.a.data();
  EXPECT_EQ(solver.solve(optics, DEFAULT, false, 3.0)->coefficients.a.data(), first);
}

// A layered particle of one layer is the homogeneous sphere of its core, with
// one outer derivative view and no derivative limit; more layers are validated
// for derivatives up to x_L = 1e3, after the input checks.
TEST(Solver, OneLayerAndTheDerivativeLimit) {
  const Particle one = layered({}, 1);
  const SolveOptions unvalidated{std::nullopt, true};
  vantok::mie::Mie mie;
  ASSERT_TRUE(mie.solve(unvalidated, true, 2000.0, {1.4, 0.0}).has_value());
  Solver solver;
  const auto got = solver.solve(Optics::at(one, 0), unvalidated, true, 2000.0);
  ASSERT_TRUE(got.has_value());
  const CoefficientDerivatives d[1] = {mie.derivatives()};
  expect_same(got->coefficients, got->derivatives, mie.coefficients(), d);
  EXPECT_TRUE(got->derivatives[0].outer);
  EXPECT_TRUE(solver.solve(Optics::at(one, 0), DEFAULT, true, 1500.0).has_value());

  const Particle shell = layered({0.5}, 1);
  const Optics optics = Optics::at(shell, 0);
  EXPECT_TRUE(solver.solve(optics, DEFAULT, true, 1000.0).has_value());
  const double above = std::nextafter(1000.0, 2000.0);
  expect_error(solver.solve(optics, DEFAULT, true, above), Error::Kind::OutsideValidatedDomain,
               "the derivatives are validated up to x_L = 1e3, got " + vantok::fmt::exp(above));
  EXPECT_TRUE(solver.solve(optics, DEFAULT, false, above).has_value());
  EXPECT_TRUE(solver.solve(optics, unvalidated, true, above).has_value());
  expect_error(solver.solve(optics, DEFAULT, true, 2e6), Error::Kind::InvalidInput,
               "the size parameters must be in [1e-30, 1e6], got 1e6 to 2e6");
}
