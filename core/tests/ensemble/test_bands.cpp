// Greek bands: keys, shapes and offsets, the limits checked before building,
// the storage refusal, and the term counts that choose the keys.
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
using namespace vantok::test::ensemble;
using vantok::Error;

TEST(BandKey, RoundsUpByQuarters) {
  std::vector<std::size_t> keys;
  for (std::size_t k = engine::band_key(0); keys.size() < 14; k = engine::band_key(k + 1)) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::size_t>{1, 2, 3, 4, 5, 7, 9, 12, 15, 19, 24, 30, 38, 48}));
  EXPECT_EQ(engine::band_key(13), 15u);
  EXPECT_EQ(engine::band_key(16), 19u);
  EXPECT_EQ(engine::greek_order_limit(GreekSelection::all(), 40), 80u);
  EXPECT_EQ(engine::greek_order_limit(GreekSelection::up_to(7), 40), 7u);
  EXPECT_EQ(engine::greek_order_limit(GreekSelection::off(), 40), 0u);
}

// L = 14: key 1 has L_b = 2 (3 nodes), key 5 L_b = 10 (11 nodes), key 12
// L_b = L = 14 (12 + 7 + 1 = 20 nodes), after the base range of 8 + 4 cosines.
TEST(Layout, ShapesAndOffsets) {
  const std::vector<double> mu{0.5, -0.25};
  const std::vector<std::size_t> keys{1, 5, 12};
  const auto layout = engine::layout(keys, 14, mu);
  ASSERT_TRUE(layout.has_value());
  ASSERT_EQ(layout->bands.size(), 3u);
  const std::size_t nodes[3] = {3, 11, 20}, orders[3] = {2, 10, 14};
  std::size_t offset = 8 + 4 * 2;
  for (std::size_t b = 0; b < 3; ++b) {
    const engine::Band& band = layout->bands[b];
    EXPECT_EQ(std::tuple(band.key, band.n_nodes, band.order, band.offset, band.even.nrows, band.odd.ncols),
              std::tuple(keys[b], nodes[b], orders[b], offset, (nodes[b] + 1) / 2, keys[b]));
    EXPECT_EQ(layout->band(keys[b]), &band);
    offset += 4 * nodes[b];
  }
  EXPECT_EQ(layout->n_quantities, offset);
  EXPECT_EQ(layout->band(7), nullptr);
  const auto none = engine::layout({}, 0, mu);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->bands.empty());
  EXPECT_EQ(none->n_quantities, 16u);
}

// An order above the largest Greek order, and a rule above the largest (the
// rule's own refusal, also when a valid band comes first), are refused before
// building. A band of the largest rule, 131072 nodes for 131071 terms, would
// hold two angular tables of 65536 x 131071 doubles (about 137 GB): an
// allocation failure before anything is allocated.
TEST(Layout, LimitsAndStorageBeforeBuilding) {
  const std::size_t huge[1] = {1100000};
  vantok::test::expect_error(engine::layout(huge, 3000000, {}), Error::Kind::InvalidInput,
                             "the Greek order must be at most 2097152, got 2200000");
  const std::size_t wide[2] = {3, 70000};
  const auto refusal = vantok::special::gauss_legendre::gauss_legendre<double>(140001);
  ASSERT_FALSE(refusal.has_value());
  const auto r = engine::layout(wide, 140000, {});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), refusal.error());
  EXPECT_GT(engine::band_storage(131071, 0), std::size_t{17} * 1000 * 1000 * 1000);
  const std::size_t keys[1] = {131071};
  EXPECT_THROW((void)engine::layout(keys, 0, {}), std::bad_alloc);
}

// The term count grows with x, so a panel's count is that of its last node;
// beyond the validated x = 2e4 the first node refused is named. Keys of Point
// groups (their stored count) and panels come in one ordered set.
TEST(BandKeys, PanelTermsAndOrderedSet) {
  const Particle s = sphere(1);
  const auto optics = vantok::ensemble::particle::Optics::at(s, 0);
  const double lambda = 0.55;
  auto last_node = [](double a, double b, std::size_t i) {
    return std::exp(vantok::ensemble::detail::PanelRule(a, b).node(i).t);
  };
  const double a = std::log(2.0), b = std::log(3.0);
  EXPECT_EQ(engine::panel_terms(optics, {}, a, b, lambda),
            vantok::mie::default_terms(last_node(a, b, 14) * engine::TWO_PI / lambda));
  // The centre node is at x = 2e4 (accepted); the next one up is refused.
  const double edge = std::log(2e4 * lambda / engine::TWO_PI);
  const auto refused = engine::panel_terms(optics, {}, edge - 1.0, edge + 1.0, lambda);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), Error::Kind::OutsideValidatedDomain);
  EXPECT_EQ(refused.error().message().rfind(
                "at wavelength 5.5e-1, radius " + vantok::fmt::exp(last_node(edge - 1.0, edge + 1.0, 8)) + ": ", 0),
            0u)
      << refused.error().message();

  const std::vector<Component> components{{s, monodisperse(1.0), 1.0}, {s, lognormal(0.5, 1.5), 1.0}};
  const auto parts = engine::parts(components, {}, 1e-6);
  ASSERT_TRUE(parts.has_value());
  // Panels around r = 0.5 (x about 5.7) and 2 (x about 23), twice each; the
  // Point group's stored count 13.
  const double t1 = std::log(0.5), t2 = std::log(2.0);
  const std::vector<engine::Pass1> records{
      {{}, {true}, 13, {1.0, 1.0}, {}},
      {{{t1, t1 + 1e-3}, {t2, t2 + 1e-3}, {t1 - 1e-3, t1}, {t2 - 1e-3, t2}}, {true}, 0, {0.5, 2.0}, {}}};
  const std::vector<std::vector<std::size_t>> groups{{0}, {1}};
  const auto keys = engine::band_keys(*parts, groups, records, lambda, 0, options());
  ASSERT_TRUE(keys.has_value());
  const std::size_t k1 = engine::band_key(*engine::panel_terms(optics, {}, t1, t1 + 1e-3, lambda));
  const std::size_t k2 = engine::band_key(*engine::panel_terms(optics, {}, t2, t2 + 1e-3, lambda));
  EXPECT_EQ(*keys, (std::vector<std::size_t>{engine::band_key(13), k1, k2}));
  EXPECT_TRUE(engine::band_key(13) < k1 && k1 < k2);
}
