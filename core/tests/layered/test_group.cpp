// Layered particles solved in lanes against the same particles solved one at a
// time by Layered: every output bit for bit (the outer State, every inner
// layer's record, the efficiencies and every layer's Jacobian), for every lane
// width of this processor, group sizes 1 to the lane count, mixed term counts,
// 1 to 5 layers, with and without derivatives.
#include "vantok/layered/group.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/compare.hpp"
#include "support/lane_widths.hpp"
#include "support/sphere_sets.hpp"
#include "vantok/layered/layered.hpp"

using vantok::Complex;
using vantok::layered::Layered;
using vantok::layered::group::Efficiencies;
using vantok::layered::group::Particle;
using vantok::layered::group::Solved;
using vantok::layered::group::Solver;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::scalar::lanes::Width;
using vantok::test::bits;
using vantok::test::expect_same_bits;
using C = Complex<double>;

namespace {

struct Particles {
  std::vector<std::vector<double>> xs;
  std::vector<std::vector<C>> ms;
  std::vector<std::size_t> n_terms;
};

// Random particles of `layers` layers: radii from the sphere set's x, random
// fractions (some layers of equal radius), indices from the sphere set's
// regimes (some neighbours equal).
Particles particle_set(unsigned seed, std::size_t count, std::size_t layers) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Particles p;
  for (std::size_t i = 0; i < count; ++i) {
    const double x_outer = std::min(vantok::test::sphere_x(rng), 3000.0);
    std::vector<double> xs(layers);
    std::vector<C> ms(layers);
    for (std::size_t l = 0; l < layers; ++l) {
      xs[l] = l + 1 == layers ? x_outer : x_outer * u(rng);
      ms[l] = vantok::test::sphere_m(rng);
    }
    std::sort(xs.begin(), xs.end());
    if (layers > 1 && u(rng) < 0.1) xs[0] = xs[1];
    if (layers > 1 && u(rng) < 0.1) ms[1] = ms[0];
    std::size_t n = static_cast<std::size_t>(vantok::mie::default_terms(x_outer));
    if (u(rng) < 0.1) n += 7;
    p.xs.push_back(xs);
    p.ms.push_back(ms);
    p.n_terms.push_back(n);
  }
  return p;
}

void expect_same(const CoefficientDerivatives& got, const CoefficientDerivatives& want, const std::string& what) {
  expect_same_bits(got.da_dx, want.da_dx, what + " da_dx");
  expect_same_bits(got.da_dm, want.da_dm, what + " da_dm");
  expect_same_bits(got.db_dx, want.db_dx, what + " db_dx");
  expect_same_bits(got.db_dm, want.db_dm, what + " db_dm");
  EXPECT_EQ(bits(got.dabs_dx), bits(want.dabs_dx)) << what;
  EXPECT_EQ(bits(got.dabs_dre), bits(want.dabs_dre)) << what;
  EXPECT_EQ(bits(got.dabs_dim), bits(want.dabs_dim)) << what;
  EXPECT_EQ(got.outer, want.outer) << what;
}

void check_groups(const Particles& p, Width width, bool derivatives) {
  Solver solver(width);
  std::vector<Solved> lanes(solver.lanes());
  std::vector<Efficiencies> q(solver.lanes());
  Layered alone;
  std::size_t size = 1;
  for (std::size_t begin = 0; begin < p.xs.size(); begin += size, size = size % solver.lanes() + 1) {
    const std::size_t count = std::min(size, p.xs.size() - begin);
    std::vector<Particle> group;
    for (std::size_t i = begin; i < begin + count; ++i) group.push_back({p.xs[i], p.ms[i], p.n_terms[i]});
    solver.solve(group, derivatives, lanes, {true, true}, q);
    for (std::size_t j = 0; j < count; ++j) {
      const std::size_t i = begin + j;
      auto solved = alone.solve({p.n_terms[i], true}, derivatives, p.xs[i], p.ms[i]);
      ASSERT_TRUE(solved.has_value()) << solved.error().to_string();
      std::string what = "particle " + std::to_string(i) + ", lane " + std::to_string(j) + " of " +
                         std::to_string(count) + ", x_L = " + std::to_string(p.xs[i].back());
      const auto c = alone.coefficients();
      expect_same_bits(lanes[j].coefficients().a, c.a, what + " a");
      expect_same_bits(lanes[j].coefficients().b, c.b, what + " b");
      EXPECT_EQ(bits(lanes[j].coefficients().s_abs), bits(c.s_abs)) << what;
      expect_same_bits(q[j].values, c.efficiencies(), what + " efficiencies");
      ASSERT_EQ(lanes[j].layers, p.xs[i].size()) << what;
      ASSERT_EQ(q[j].jacobians.size(), derivatives ? p.xs[i].size() : 0u) << what;
      for (std::size_t l = 0; derivatives && l < p.xs[i].size(); ++l) {
        const std::string layer = what + ", layer " + std::to_string(l);
        expect_same(lanes[j].layer_derivatives(l), alone.layer_derivatives(l), layer);
        expect_same_bits(q[j].jacobians[l], c.efficiencies_jacobian(alone.layer_derivatives(l)), layer + " Jacobian");
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace

TEST(LayeredGroup, LanesGiveTheBitsOfLayered) {
  for (const std::size_t layers : {1u, 2u, 3u, 5u}) {
    const Particles p = particle_set(static_cast<unsigned>(100 + layers), layers == 2 ? 160 : 60, layers);
    for (const Width width : vantok::test::lane_widths()) {
      for (const bool derivatives : {false, true}) {
        SCOPED_TRACE(std::to_string(layers) + " layers, " + (width == Width::Four ? "four" : "two") +
                     " lanes, derivatives " + (derivatives ? "on" : "off"));
        check_groups(p, width, derivatives);
      }
    }
  }
}
