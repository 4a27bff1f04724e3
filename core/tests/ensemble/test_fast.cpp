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

#include "ensemble/sphere_support.hpp"
#include "support/compare.hpp"
#include "vantok/mie/phase.hpp"

namespace engine = vantok::ensemble::engine;
using vantok::ensemble::fast::PanelProducts;
using vantok::mie::phase::PhaseMatrixBuffers;

namespace {

struct Table {
  explicit Table(std::size_t n) : f(4, std::vector<double>(n)) {}
  std::vector<std::vector<double>> f;
  PhaseMatrixBuffers buffers() { return {f[0], f[1], f[2], f[3]}; }
};

// Block entries t n + u against the table, relative to the largest magnitude
// of each element over the cosines (the elements pass through zero).
void expect_block(const std::vector<double>& block, const std::vector<std::vector<double>>& want,
                  const char* what) {
  const std::size_t n = want[0].size();
  for (std::size_t t = 0; t < 4; ++t) {
    double scale = 0.0;
    for (double v : want[t]) scale = std::max(scale, std::fabs(v));
    for (std::size_t u = 0; u < n; ++u) {
      EXPECT_NEAR(block[t * n + u], want[t][u], 1e-13 * scale) << what << " element " << t << " node " << u;
    }
  }
}

}  // namespace

class FastProducts : public ::testing::TestWithParam<std::size_t> {};

// x = 7, m = 1.5 + 0.02i: N = 22 terms in the band of key 24. L = 48 gives
// 49 nodes (mu = 0 among them; 25 rows, a last row outside whole lanes),
// L = 47 gives 48 (24 rows), L = 40 gives 45 (23 rows).
TEST_P(FastProducts, MatchSpherePhaseMatrix) {
  const double x = 7.0;
  const vantok::test::ensemble::SolvedSphere solved(x, {1.5, 0.02}, true);
  const std::size_t n_terms = solved.n_terms;
  const auto& sphere = solved.state;
  const auto c = sphere.coefficients();
  const auto d = sphere.coefficient_derivatives();

  const std::size_t keys[1] = {engine::band_key(n_terms)};
  ASSERT_GT(keys[0], n_terms);
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
  products.multiply(band, n_terms);

  const double omega = 4.0 / (x * x);
  std::vector<double> block(4 * n, NAN);
  std::vector<std::vector<double>> slot_values(3, std::vector<double>(4 * n, NAN));
  std::vector<std::span<double>> slots(slot_values.begin(), slot_values.end());
  products.node_phase(band, 3, omega, block, slots);

  Table values(n), dx(n), dre(n), dim(n);
  ASSERT_TRUE(c.phase_matrix_with_derivatives(band.nodes, d, false, values.buffers(),
                                              {dx.buffers(), dre.buffers(), dim.buffers()})
                  .has_value());
  expect_block(block, values.f, "value");
  expect_block(slot_values[0], dre.f, "Re m");
  expect_block(slot_values[1], dim.f, "Im m");
  // The real block holds only the amplitudes' x-dependence: x (4/x^2) dP/dx
  // = x dF/dx + 2 F.
  for (std::size_t t = 0; t < 4; ++t) {
    for (std::size_t u = 0; u < n; ++u) dx.f[t][u] = x * dx.f[t][u] + 2.0 * values.f[t][u];
  }
  expect_block(slot_values[2], dx.f, "x d/dx");

  // Whole lanes of rows give the bits of the phase of each row and sign.
  std::vector<double> rowwise(4 * n, NAN);
  std::vector<std::vector<double>> rowwise_slots(3, std::vector<double>(4 * n, NAN));
  std::vector<std::span<double>> rowwise_views(rowwise_slots.begin(), rowwise_slots.end());
  for (std::size_t i = 0; i < band.half(); ++i) {
    const std::size_t u = n / 2 + i;
    products.phase(3, i, 1.0, u, n, omega, rowwise, rowwise_views);
    if (n - 1 - u != u) products.phase(3, i, -1.0, n - 1 - u, n, omega, rowwise, rowwise_views);
  }
  auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), [](double p, double q) { return vantok::test::same_bits(p, q); });
  };
  EXPECT_TRUE(same(block, rowwise));
  for (std::size_t k = 0; k < 3; ++k) EXPECT_TRUE(same(slot_values[k], rowwise_slots[k])) << k;

  // A node without coefficients has a zero phase matrix.
  std::vector<double> zero(4 * n, NAN);
  products.node_phase(band, 0, omega, zero, slots);
  EXPECT_TRUE(std::all_of(zero.begin(), zero.end(), [](double v) { return v == 0.0; }));
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
