// Fast phase products against the sphere's own phase matrix and its
// derivatives at every cosine of a band, the mirrored cosines -mu coming from
// the same products with s = -1; odd and even node counts (the node mu = 0 is
// written once), terms beyond the node's own count, the lanes of rows against
// the phase of each row bit for bit, and the slot check.
#include "vantok/ensemble/fast.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "vantok/mie/phase.hpp"

namespace engine = vantok::ensemble::engine;
using vantok::ensemble::fast::PanelProducts;
using Columns = std::vector<std::vector<double>>;

class FastProducts : public ::testing::TestWithParam<std::size_t> {};

// x = 7, m = 1.5 + 0.02i: N = 22 terms in the band of key 24. L = 48 gives
// 49 nodes (mu = 0 among them; 25 rows, a last row outside whole lanes),
// L = 47 gives 48 (24 rows), L = 40 gives 45 (23 rows).
TEST_P(FastProducts, MatchSpherePhaseMatrix) {
  const double x = 7.0;
  const vantok::test::ensemble::SolvedSphere solved(x, {1.5, 0.02}, true);
  const auto c = solved.state.coefficients();
  const auto d = solved.state.coefficient_derivatives();
  const std::size_t keys[1] = {engine::band_key(solved.n_terms)};
  ASSERT_GT(keys[0], solved.n_terms);
  const auto layout = engine::layout(keys, GetParam(), {});
  ASSERT_TRUE(layout.has_value());
  const engine::Band& band = layout->bands[0];
  const std::size_t n = band.n_nodes;

  // One complex block (d/dm) and one real block (x d/dx) at node 3; the
  // other nodes stay zero.
  PanelProducts products;
  products.prepare(band, 1, 1);
  products.set_block(3, 0, c.a, c.b);
  products.set_block(3, 1, d.da_dm, d.db_dm);
  products.set_block(3, 2, d.da_dx, d.db_dx, x);
  products.multiply(band, solved.n_terms);
  const double omega = 4.0 / (x * x);
  // Column 0 the value, 1 to 3 the slots d/dRe m, d/dIm m, x d/dx; by node
  // and by rows of either sign.
  Columns got(4, std::vector<double>(4 * n, NAN)), rowwise = got;
  auto spans = [](Columns& v) { return std::vector<std::span<double>>(v.begin() + 1, v.end()); };
  products.node_phase(band, 3, omega, got[0], spans(got));
  const auto rows = spans(rowwise);
  for (std::size_t i = 0; i < band.half(); ++i) {
    const std::size_t u = n / 2 + i;
    products.phase(3, i, 1.0, u, n, omega, rowwise[0], rows);
    if (n - 1 - u != u) products.phase(3, i, -1.0, n - 1 - u, n, omega, rowwise[0], rows);
  }
  Columns want(16, std::vector<double>(n));
  auto buffers = [&](std::size_t b) {
    return vantok::mie::phase::PhaseMatrixBuffers{want[4 * b], want[4 * b + 1], want[4 * b + 2], want[4 * b + 3]};
  };
  ASSERT_TRUE(c.phase_matrix_with_derivatives(band.nodes, d, false, buffers(0), {buffers(3), buffers(1), buffers(2)})
                  .has_value());
  // The real block holds only the amplitudes' x-dependence: x (4/x^2) dP/dx = x dF/dx + 2 F.
  for (std::size_t t = 0; t < 4; ++t) {
    for (std::size_t u = 0; u < n; ++u) want[12 + t][u] = x * want[12 + t][u] + 2.0 * want[t][u];
  }
  // Entries t n + u against the reference, relative to the largest magnitude
  // of each element over the cosines (the elements pass through zero).
  for (std::size_t v = 0; v < 4; ++v) {
    for (std::size_t t = 0; t < 4; ++t) {
      const auto& w = want[4 * v + t];
      const double scale = std::fabs(*std::max_element(w.begin(), w.end(), [](double p, double q) {
        return std::fabs(p) < std::fabs(q);
      }));
      for (std::size_t u = 0; u < n; ++u) {
        EXPECT_NEAR(got[v][t * n + u], w[u], 1e-13 * scale) << "column " << v << " element " << t << " node " << u;
      }
    }
    for (std::size_t i = 0; i < 4 * n; ++i) EXPECT_TRUE(vantok::test::same_bits(got[v][i], rowwise[v][i])) << v;
  }
  // A node without coefficients has a zero phase matrix.
  products.node_phase(band, 0, omega, got[0], spans(got));
  EXPECT_TRUE(std::all_of(got[0].begin(), got[0].end(), [](double v) { return v == 0.0; }));
}

INSTANTIATE_TEST_SUITE_P(NodeCounts, FastProducts, ::testing::Values(48, 47, 40));

TEST(FastProducts, TooFewSlotsIsAnInternalFailure) {
  const std::size_t keys[1] = {2};
  const auto layout = engine::layout(keys, 4, {});
  ASSERT_TRUE(layout.has_value());
  PanelProducts products;
  products.prepare(layout->bands[0], 1, 0);
  products.multiply(layout->bands[0], 2);
  std::vector<double> block(4 * layout->bands[0].n_nodes);
  std::vector<std::span<double>> one_slot{std::span<double>(block)};
  try {
    products.node_phase(layout->bands[0], 0, 1.0, block, one_slot);
    FAIL();
  } catch (const vantok::InternalFailure& e) {
    EXPECT_STREQ(e.what(), "mid > len");
  }
}
