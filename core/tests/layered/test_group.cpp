// Layered particles solved in lanes against the same particles solved one at a
// time by Layered: every output bit for bit (the outer State, every layer's
// record, the efficiencies and every layer's Jacobian), for every lane width
// of this processor, group sizes 1 to the lane count, mixed term counts, 1 to
// 5 layers, with and without derivatives.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/lane_widths.hpp"
#include "support/sphere_sets.hpp"
#include "vantok/layered/group.hpp"
#include "vantok/layered/layered.hpp"

using vantok::layered::group::Particle;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::test::Flat;
using C = vantok::Complex<double>;

namespace {

Flat outputs(const CoefficientDerivatives& d) {
  return Flat{} << d.da_dx << d.da_dm << d.db_dx << d.db_dm << d.dabs_dx << d.dabs_dre << d.dabs_dim
                << static_cast<double>(d.outer);
}

TEST(LayeredGroup, LanesGiveTheBitsOfLayered) {
  for (const std::size_t layers : {1u, 2u, 3u, 5u}) {
    // Radii from the sphere set's x (some layers of equal radius), indices
    // from its regimes (some neighbours equal), some term counts above the default.
    std::mt19937_64 rng(100 + layers);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::vector<double>> xs;
    std::vector<std::vector<C>> ms;
    std::vector<std::size_t> n_terms;
    for (std::size_t i = 0; i < (layers == 2 ? 160u : 60u); ++i) {
      const double x_outer = std::min(vantok::test::sphere_x(rng), 3000.0);
      std::vector<double> x(layers);
      std::vector<C> m(layers);
      for (std::size_t l = 0; l < layers; ++l) {
        x[l] = l + 1 == layers ? x_outer : x_outer * u(rng);
        m[l] = vantok::test::sphere_m(rng);
      }
      std::sort(x.begin(), x.end());
      if (layers > 1 && u(rng) < 0.1) x[0] = x[1];
      if (layers > 1 && u(rng) < 0.1) m[1] = m[0];
      xs.push_back(x);
      ms.push_back(m);
      n_terms.push_back(static_cast<std::size_t>(vantok::mie::default_terms(x_outer)) + (u(rng) < 0.1 ? 7 : 0));
    }
    std::vector<Particle> particles;
    for (std::size_t i = 0; i < xs.size(); ++i) particles.push_back({xs[i], ms[i], n_terms[i]});
    for (const vantok::scalar::lanes::Width width : vantok::test::lane_widths()) {
      for (const bool derivatives : {false, true}) {
        vantok::layered::group::Solver solver(width);
        std::vector<vantok::layered::group::Solved> lanes(solver.lanes());
        std::vector<vantok::layered::group::Efficiencies> q(solver.lanes());
        vantok::layered::Layered alone;
        std::size_t size = 1;
        for (std::size_t begin = 0; begin < particles.size(); begin += size, size = size % solver.lanes() + 1) {
          const std::span<const Particle> group(particles.data() + begin, std::min(size, particles.size() - begin));
          solver.solve(group, derivatives, lanes, {true, true}, q);
          for (std::size_t j = 0; j < group.size(); ++j) {
            const std::string what = "particle " + std::to_string(begin + j) + " of " + std::to_string(layers) +
                                     " layers, width " + std::to_string(solver.lanes()) +
                                     (derivatives ? ", derivatives" : "");
            ASSERT_TRUE(alone.solve({group[j].n_terms, true}, derivatives, group[j].xs, group[j].ms).has_value())
                << what;
            ASSERT_EQ(lanes[j].layers, layers) << what;
            ASSERT_EQ(q[j].jacobians.size(), derivatives ? layers : 0u) << what;
            const auto c = alone.coefficients(), got_c = lanes[j].coefficients();
            Flat want = Flat{} << c.a << c.b << c.s_abs << c.efficiencies();
            Flat got = Flat{} << got_c.a << got_c.b << got_c.s_abs << q[j].values;
            for (std::size_t l = 0; derivatives && l < layers; ++l) {
              want << outputs(alone.layer_derivatives(l)) << c.efficiencies_jacobian(alone.layer_derivatives(l));
              got << outputs(lanes[j].layer_derivatives(l)) << q[j].jacobians[l];
            }
            vantok::test::expect_same_bits(got, want, what);
            if (::testing::Test::HasFatalFailure()) return;
          }
        }
      }
    }
  }
}

}  // namespace
