// The Greek projection against the node-by-node loop it replaces, kept here as
// the reference: four wigner_d calls per node, then every order's six sums in
// node order. Bit for bit, in both lane widths, for 1 to 4 table sets, node
// counts of the Newton and asymptotic rules, orders 0 to 2N and block edges.
#include "vantok/mie/greek.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/compare.hpp"
#include "support/lane_widths.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner.hpp"

namespace {

using vantok::mie::greek::GreekCoefficients;
using vantok::mie::greek::GreekProjector;
using vantok::mie::greek::PhaseMatrixTable;
using vantok::scalar::lanes::Width;
using vantok::test::bits;
using G = GreekCoefficients<double>;

// The projection as one node at a time: the reference the lanes must match.
std::vector<G> reference_project(const GreekProjector& p, const std::vector<PhaseMatrixTable>& tables) {
  const std::size_t len = p.effective_order + 1;
  std::vector<G> out(tables.size(), G::zeros(len));
  std::vector<double> d00(len), d22(len), d2m2(len), d02(len);
  for (std::size_t k = 0; k < p.nodes.size(); ++k) {
    const double x = p.nodes[k];
    const double w = p.weights[k];
    EXPECT_TRUE(vantok::special::wigner::wigner_d<double>(0, 0, x, d00).has_value());
    EXPECT_TRUE(vantok::special::wigner::wigner_d<double>(2, 2, x, d22).has_value());
    EXPECT_TRUE(vantok::special::wigner::wigner_d<double>(2, -2, x, d2m2).has_value());
    EXPECT_TRUE(vantok::special::wigner::wigner_d<double>(0, 2, x, d02).has_value());
    for (std::size_t s = 0; s < tables.size(); ++s) {
      const PhaseMatrixTable& t = tables[s];
      G& g = out[s];
      const double big_a = t.f11[k] * w;
      const double big_b = t.f33[k] * w;
      for (std::size_t l = 0; l < len; ++l) {
        g.alpha1[l] += d00[l] * big_a;
        g.alpha4[l] += d00[l] * big_b;
        g.alpha2[l] += d22[l] * (big_a + big_b);
        g.alpha3[l] += d2m2[l] * (big_a - big_b);
        g.beta1[l] += (d02[l] * t.f12[k]) * w;
        g.beta2[l] += (d02[l] * t.f34[k]) * w;
      }
    }
  }
  for (G& g : out) {
    for (std::size_t l = 0; l < len; ++l) {
      const double f = static_cast<double>(2 * l + 1) * 0.5;
      const double s_plus = g.alpha2[l];
      const double s_minus = g.alpha3[l];
      g.alpha1[l] = g.alpha1[l] * f;
      g.alpha4[l] = g.alpha4[l] * f;
      g.beta1[l] = g.beta1[l] * f;
      g.beta2[l] = g.beta2[l] * f;
      g.alpha2[l] = ((s_plus + s_minus) * f) * 0.5;
      g.alpha3[l] = (f * 0.5) * (s_plus - s_minus);
    }
  }
  return out;
}

TEST(GreekProjection, MatchesNodeByNodeLoopBitForBit) {
  std::mt19937_64 rng(27);
  std::normal_distribution<double> normal;
  // (N, L): Newton rules (Q <= 100) and asymptotic ones, L = 0, L below 2N,
  // L = 2N, and effective orders on either side of the 32-degree blocks.
  const std::pair<std::size_t, std::size_t> cases[] = {{1, 0},   {1, 2},   {3, 1},   {5, 10},  {16, 31},
                                                       {16, 32}, {17, 33}, {40, 80}, {90, 17}, {150, 300}};
  for (const auto& [n_terms, order] : cases) {
    auto projector = vantok::mie::coefficients::Coefficients::greek_projector(n_terms, order);
    ASSERT_TRUE(projector.has_value());
    const std::size_t q = projector->nodes.size();
    // Four sets of random tables; F values of both signs, some exact zeros.
    std::vector<std::vector<double>> columns(16, std::vector<double>(q));
    for (auto& column : columns) {
      for (double& v : column) v = normal(rng);
      column[q / 2] = 0.0;
    }
    std::vector<PhaseMatrixTable> tables;
    for (std::size_t s = 0; s < 4; ++s) {
      tables.push_back({columns[4 * s], columns[4 * s + 1], columns[4 * s + 2], columns[4 * s + 3]});
    }
    for (std::size_t count = 1; count <= 4; count += 3) {
      const std::vector<PhaseMatrixTable> sets(tables.begin(),
                                               tables.begin() + static_cast<std::ptrdiff_t>(count));
      const std::vector<G> expected = reference_project(*projector, sets);
      for (const Width width : vantok::test::lane_widths()) {
        auto got = projector->project(sets, width);
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(got->size(), count);
        for (std::size_t s = 0; s < count; ++s) {
          const auto gv = (*got)[s].vectors();
          const auto ev = expected[s].vectors();
          for (std::size_t i = 0; i < 6; ++i) {
            ASSERT_EQ(gv[i]->size(), ev[i]->size());
            for (std::size_t l = 0; l < ev[i]->size(); ++l) {
              ASSERT_EQ(bits((*gv[i])[l]), bits((*ev[i])[l]))
                  << "N=" << n_terms << " L=" << order << " set " << s << " coefficient " << i << " l=" << l
                  << " width " << static_cast<int>(width);
            }
          }
        }
      }
    }
  }
}

}  // namespace
