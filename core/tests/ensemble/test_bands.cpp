// Greek bands: keys, shapes and offsets, the limits checked before building,
// and the storage refusal.
#include "vantok/ensemble/bands.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <vector>

#include "ensemble/detail_kronrod.hpp"
#include "ensemble/model_support.hpp"
#include "support/expect_error.hpp"
#include "vantok/format.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/special/gauss_legendre.hpp"

namespace engine = vantok::ensemble::engine;
using vantok::Error;
using vantok::ensemble::GreekSelection;

TEST(BandKey, RoundsUpByQuarters) {
  std::vector<std::size_t> keys;
  for (std::size_t k = engine::band_key(1); keys.size() < 14; k = engine::band_key(k + 1)) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::size_t>{1, 2, 3, 4, 5, 7, 9, 12, 15, 19, 24, 30, 38, 48}));
  EXPECT_EQ(engine::band_key(0), 1u);
  EXPECT_EQ(engine::band_key(13), 15u);
  EXPECT_EQ(engine::band_key(15), 15u);
  EXPECT_EQ(engine::band_key(16), 19u);
  EXPECT_EQ(engine::greek_order_limit(GreekSelection::all(), 40), 80u);
  EXPECT_EQ(engine::greek_order_limit(GreekSelection::up_to(7), 40), 7u);
  EXPECT_EQ(engine::greek_order_limit(GreekSelection::off(), 40), 0u);
}

TEST(Layout, ShapesAndOffsets) {
  const std::vector<double> mu{0.5, -0.25};
  const std::vector<std::size_t> keys{1, 5, 12};
  // L = 14: key 1 has L_b = 2 (3 nodes), key 5 L_b = 10 (11 nodes), key 12
  // L_b = L = 14 (12 + 7 + 1 = 20 nodes).
  const auto layout = engine::layout(keys, 14, mu);
  ASSERT_TRUE(layout.has_value());
  ASSERT_EQ(layout->bands.size(), 3u);
  const std::size_t nodes[3] = {3, 11, 20};
  const std::size_t orders[3] = {2, 10, 14};
  std::size_t offset = 8 + 4 * 2;
  for (std::size_t b = 0; b < 3; ++b) {
    const engine::Band& band = layout->bands[b];
    EXPECT_EQ(band.key, keys[b]);
    EXPECT_EQ(band.n_nodes, nodes[b]);
    EXPECT_EQ(band.order, orders[b]);
    EXPECT_EQ(band.offset, offset);
    EXPECT_EQ(band.even.nrows, (nodes[b] + 1) / 2);
    EXPECT_EQ(band.odd.ncols, keys[b]);
    EXPECT_EQ(layout->band(keys[b]), &band);
    offset += 4 * nodes[b];
  }
  EXPECT_EQ(layout->n_quantities, offset);
  EXPECT_EQ(layout->band(7), nullptr);
  // No Greek coefficients: no band, the base range only.
  const auto none = engine::layout({}, 0, mu);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->bands.empty());
  EXPECT_EQ(none->n_quantities, 16u);
}

TEST(Layout, LimitsBeforeBuilding) {
  using vantok::test::expect_error;
  // An order above the largest Greek order.
  const std::size_t huge[1] = {1100000};
  expect_error(engine::layout(huge, 3000000, {}), Error::Kind::InvalidInput,
               "the Greek order must be at most 2097152, got 2200000");
  // A rule above the largest: the rule's own refusal, also when a valid band
  // comes first.
  const std::size_t wide[2] = {3, 70000};
  const auto refusal = vantok::special::gauss_legendre::gauss_legendre<double>(140001);
  ASSERT_FALSE(refusal.has_value());
  const auto r = engine::layout(wide, 140000, {});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), refusal.error());
}

// A band of the largest rule, 131072 nodes for 131071 terms (order 0), would
// hold two angular tables of 65536 x 131071 doubles: about 137 GB. It is
// refused as an allocation failure before anything is allocated.
TEST(Layout, StorageAbovePhysicalMemoryIsAnAllocationFailure) {
  EXPECT_GT(engine::band_storage(131071, 0), std::size_t{17} * 1000 * 1000 * 1000);
  const std::size_t keys[1] = {131071};
  EXPECT_THROW((void)engine::layout(keys, 0, {}), std::bad_alloc);
}

// The term count grows with x, so a panel's count is that of its last node.
TEST(PanelTerms, LargestAtTheNodesAndFirstFailingNode) {
  const vantok::ensemble::Particle sphere = vantok::test::ensemble::sphere(1);
  const auto optics = vantok::ensemble::particle::Optics::at(sphere, 0);
  const double lambda = 0.55;
  const double a = std::log(2.0), b = std::log(3.0);
  const double last = std::exp(vantok::ensemble::detail::PanelRule(a, b).node(14).t);
  const auto n = engine::panel_terms(optics, {}, a, b, lambda);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, vantok::mie::default_terms(last * engine::TWO_PI / lambda));
  // Nodes beyond the validated x = 2e4: the first of them, with its place.
  const double edge = std::log(2e4 * lambda / engine::TWO_PI);
  const auto refused = engine::panel_terms(optics, {}, edge - 1.0, edge + 1.0, lambda);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), Error::Kind::OutsideValidatedDomain);
  EXPECT_EQ(refused.error().message().rfind("at wavelength 5.5e-1, radius ", 0), 0u);
  // The centre node is at x = 2e4 (accepted); the next one up is refused.
  const double r = std::exp(vantok::ensemble::detail::PanelRule(edge - 1.0, edge + 1.0).node(8).t);
  EXPECT_NE(refused.error().message().find(vantok::fmt::exp(r) + ": "), std::string::npos)
      << refused.error().message();
}

TEST(BandKeys, PointGroupsAndPanelsInOneOrderedSet) {
  using namespace vantok::test::ensemble;
  const std::vector<vantok::ensemble::Component> components{{sphere(1), monodisperse(1.0), 1.0},
                                                            {sphere(1), lognormal(0.5, 1.5), 1.0}};
  const auto parts = engine::parts(components, {}, 1e-6);
  ASSERT_TRUE(parts.has_value());
  const std::vector<std::vector<std::size_t>> groups{{0}, {1}};
  // Panels around r = 0.5 (x about 5.7, 18 terms) and 2 (x about 23, 42 terms),
  // twice each; the Point group's stored count 13.
  const double t1 = std::log(0.5), t2 = std::log(2.0);
  const std::vector<engine::Pass1> records{
      {{}, {true}, 13, {1.0, 1.0}, {}},
      {{{t1, t1 + 1e-3}, {t2, t2 + 1e-3}, {t1 - 1e-3, t1}, {t2 - 1e-3, t2}}, {true}, 0, {0.5, 2.0}, {}}};
  const auto keys = engine::band_keys(*parts, groups, records, 0.55, 0, options());
  ASSERT_TRUE(keys.has_value());
  const auto optics = vantok::ensemble::particle::Optics::at(components[1].particle, 0);
  const std::size_t k1 = engine::band_key(*engine::panel_terms(optics, {}, t1, t1 + 1e-3, 0.55));
  const std::size_t k2 = engine::band_key(*engine::panel_terms(optics, {}, t2, t2 + 1e-3, 0.55));
  EXPECT_EQ(*keys, (std::vector<std::size_t>{engine::band_key(13), k1, k2}));
  EXPECT_LT(engine::band_key(13), k1);
  EXPECT_LT(k1, k2);
}
