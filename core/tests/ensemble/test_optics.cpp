// Particle optics at one radius: the landed sphere and layered results through
// one reused Solver, the nodes of a panel solved side by side against single
// solves, the layer size parameters, the derivative limit and the error
// context.
#include "vantok/ensemble/optics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "vantok/format.hpp"
#include "vantok/ensemble/engine.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/mie.hpp"

using namespace vantok::test::ensemble;
using vantok::Complex;
using vantok::Error;
using vantok::ensemble::particle::Optics;
using vantok::ensemble::particle::ParticleSolution;
using vantok::ensemble::particle::Solver;
using vantok::mie::SolveOptions;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::test::expect_error;
using vantok::test::same_bits;

namespace {

// Bitwise equality of two coefficient views (and their Jacobians when given).
void expect_same(const Coefficients& got, const Coefficients& want) {
  ASSERT_EQ(got.a.size(), want.a.size());
  EXPECT_EQ(got.x, want.x);
  EXPECT_TRUE(same_bits(got.s_abs, want.s_abs));
  for (std::size_t n = 0; n < got.a.size(); ++n) {
    EXPECT_TRUE(same_bits(got.a[n].re, want.a[n].re) && same_bits(got.a[n].im, want.a[n].im)) << n;
    EXPECT_TRUE(same_bits(got.b[n].re, want.b[n].re) && same_bits(got.b[n].im, want.b[n].im)) << n;
  }
}

void expect_same_jacobian(const Coefficients& c, const CoefficientDerivatives& got,
                          const Coefficients& c_want, const CoefficientDerivatives& want) {
  EXPECT_EQ(got.outer, want.outer);
  const auto j_got = c.efficiencies_jacobian(got);
  const auto j_want = c_want.efficiencies_jacobian(want);
  for (std::size_t i = 0; i < 15; ++i) EXPECT_TRUE(same_bits(j_got[i], j_want[i])) << i;
}

const SolveOptions DEFAULT{std::nullopt, false};

}  // namespace

TEST(Optics, LayersAndTermCounts) {
  const Particle p = layered({0.5}, 2);
  const Optics optics = Optics::at(p, 1);
  std::vector<double> xs = {9.0};
  std::vector<Complex<double>> ms;
  optics.layers(xs, ms, 10.0);
  EXPECT_EQ(xs, (std::vector<double>{5.0, 10.0}));
  EXPECT_EQ(ms.size(), 2u);
  EXPECT_EQ(optics.n_terms(DEFAULT, 10.0), vantok::mie::default_terms(10.0));
  const Optics sphere_optics = Optics::at(sphere(1), 0);
  EXPECT_EQ(sphere_optics.n_terms(DEFAULT, 100.0), 131u);
  EXPECT_THROW(sphere_optics.layers(xs, ms, 1.0), vantok::InternalFailure);
  expect_error(sphere_optics.n_terms(DEFAULT, 0.0), Error::Kind::InvalidInput,
               "the size parameter x must be in [1e-30, 1e6], got 0e0");
}

// The Solver gives the landed solvers' results bit for bit, and keeps them
// when it alternates between a sphere and a layered particle.
TEST(Solver, LandedResultsAndReuse) {
  const Particle sphere_particle{Sphere{{{1.5, 0.01}}}};
  const Particle shell = layered({0.5}, 1);
  const Optics sphere_optics = Optics::at(sphere_particle, 0);
  const Optics shell_optics = Optics::at(shell, 0);

  vantok::mie::Mie mie;
  const auto* sphere_state = *mie.solve(DEFAULT, true, 7.0, {1.5, 0.01});
  vantok::layered::Layered reference;
  const std::vector<double> xs = {3.5, 7.0};
  const std::vector<Complex<double>> ms = {{1.4, 0.0}, {1.4, 0.0}};
  const auto* shell_state = *reference.solve(DEFAULT, true, xs, ms);

  Solver solver;
  for (int round = 0; round < 2; ++round) {
    const auto s = solver.solve(sphere_optics, DEFAULT, true, 7.0);
    ASSERT_TRUE(s.has_value());
    expect_same(s->coefficients, sphere_state->coefficients());
    ASSERT_EQ(s->derivatives.size(), 1u);
    EXPECT_TRUE(s->radius_fractions.empty());
    expect_same_jacobian(s->coefficients, s->derivatives[0], sphere_state->coefficients(),
                         sphere_state->coefficient_derivatives());

    const auto l = solver.solve(shell_optics, DEFAULT, true, 7.0);
    ASSERT_TRUE(l.has_value());
    expect_same(l->coefficients, shell_state->coefficients());
    ASSERT_EQ(l->derivatives.size(), 2u);
    EXPECT_EQ(l->radius_fractions.size(), 1u);
    for (std::size_t layer = 0; layer < 2; ++layer) {
      expect_same_jacobian(l->coefficients, l->derivatives[layer], shell_state->coefficients(),
                           reference.layer_derivatives(layer));
    }
  }
  // Repeated solves of no more terms reuse the buffers.
  const auto* first = solver.solve(sphere_optics, DEFAULT, false, 7.0)->coefficients.a.data();
  const auto* second = solver.solve(sphere_optics, DEFAULT, false, 3.0)->coefficients.a.data();
  EXPECT_EQ(first, second);
  EXPECT_TRUE(solver.solve(sphere_optics, DEFAULT, false, 3.0)->derivatives.empty());
}

// A layered particle of one layer is the homogeneous sphere of its core, with
// one outer derivative view and no derivative limit.
TEST(Solver, OneLayerIsTheSphere) {
  const Particle one = layered({}, 1);
  const Complex<double> m = std::get<LayeredSphere>(one.kind).layers[0][0];
  vantok::mie::Mie mie;
  const SolveOptions unvalidated{std::nullopt, true};
  const auto* state = *mie.solve(unvalidated, true, 2000.0, m);
  Solver solver;
  const auto got = solver.solve(Optics::at(one, 0), unvalidated, true, 2000.0);
  ASSERT_TRUE(got.has_value());
  expect_same(got->coefficients, state->coefficients());
  ASSERT_EQ(got->derivatives.size(), 1u);
  EXPECT_TRUE(got->derivatives[0].outer);
  EXPECT_TRUE(solver.solve(Optics::at(one, 0), DEFAULT, true, 1500.0).has_value());
}

TEST(Solver, DerivativeLimitOfLayeredParticles) {
  const Particle shell = layered({0.5}, 1);
  const Optics optics = Optics::at(shell, 0);
  Solver solver;
  EXPECT_TRUE(solver.solve(optics, DEFAULT, true, 1000.0).has_value());
  const double above = std::nextafter(1000.0, 2000.0);
  expect_error(solver.solve(optics, DEFAULT, true, above), Error::Kind::OutsideValidatedDomain,
               "the derivatives are validated up to x_L = 1e3, got " + vantok::fmt::exp(above));
  EXPECT_TRUE(solver.solve(optics, DEFAULT, false, above).has_value());
  EXPECT_TRUE(solver.solve(optics, {std::nullopt, true}, true, above).has_value());
  // The input checks come first.
  expect_error(solver.solve(optics, DEFAULT, true, 2e6), Error::Kind::InvalidInput,
               "the size parameters must be in [1e-30, 1e6], got 1e6 to 2e6");
}

// The 15 nodes of a panel solved in lanes give the bits of single solves
// (coefficients, efficiencies, every layer's derivatives), for a sphere and a
// layered particle with and without derivatives; a node that fails its checks
// is reported with its index, the nodes before it solved.
TEST(Solver, NodesSideBySide) {
  const Particle sphere_particle = sphere(1);
  const Particle shell = layered({0.3, 0.7}, 1);
  std::vector<double> xs;
  for (std::size_t i = 0; i < 15; ++i) xs.push_back(20.0 + 0.7 * static_cast<double>(i * i));
  for (const Particle* particle : {&sphere_particle, &shell}) {
    const Optics optics = Optics::at(*particle, 0);
    for (const bool derivatives : {false, true}) {
      Solver nodes;
      ASSERT_FALSE(nodes.solve_nodes(optics, DEFAULT, derivatives, xs).has_value());
      Solver one;
      for (std::size_t i = 0; i < xs.size(); ++i) {
        const auto want = one.solve(optics, DEFAULT, derivatives, xs[i]);
        ASSERT_TRUE(want.has_value());
        const auto got = nodes.node(i);
        expect_same(got.solution.coefficients, want->coefficients);
        const auto q = want->coefficients.efficiencies();
        for (std::size_t k = 0; k < 5; ++k) EXPECT_TRUE(same_bits(got.efficiencies[k], q[k])) << i << " " << k;
        ASSERT_EQ(got.solution.derivatives.size(), want->derivatives.size());
        for (std::size_t l = 0; l < want->derivatives.size(); ++l) {
          expect_same_jacobian(got.solution.coefficients, got.solution.derivatives[l], want->coefficients,
                               want->derivatives[l]);
        }
      }
    }
    // Node 9 beyond the accepted size parameters: nodes 0 to 8 are solved.
    std::vector<double> bad = xs;
    bad[9] = 2e6;
    bad[12] = -1.0;
    Solver nodes;
    const auto failure = nodes.solve_nodes(optics, DEFAULT, false, bad);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->node, 9u);
    Solver one;
    EXPECT_EQ(failure->error, one.solve(optics, DEFAULT, false, bad[9]).error());
    expect_same(nodes.node(8).solution.coefficients, one.solve(optics, DEFAULT, false, bad[8])->coefficients);
  }
}

TEST(Context, PrefixesMessagesOnly) {
  using vantok::ensemble::engine::context;
  const Error invalid = context(Error::invalid_input("bad"), 0.55, 0.125);
  EXPECT_EQ(invalid.kind(), Error::Kind::InvalidInput);
  EXPECT_EQ(invalid.message(), "at wavelength 5.5e-1, radius 1.25e-1: bad");
  const Error outside = context(Error::outside_validated_domain("far"), 1000.0, 2.0);
  EXPECT_EQ(outside.to_string(), "outside validated domain: at wavelength 1e3, radius 2e0: far");
  EXPECT_EQ(context(Error::not_converged(1e-3, 1e-6), 1.0, 1.0), Error::not_converged(1e-3, 1e-6));
}
