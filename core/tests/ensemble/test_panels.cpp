// The start layout of panels over ln r.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "vantok/ensemble/engine.hpp"

using vantok::ensemble::engine::initial_panels;
using Panels = std::vector<std::pair<double, double>>;

// λ = 100 keeps the size-parameter rule out of play: widths 0.5 give m = 3,
// breakpoints outside (t_lo, t_hi) or at its ends are ignored, one inside
// splits; beyond max_panels each segment gets its share.
TEST(InitialPanels, WidthRuleBreakpointsAndFallback) {
  const auto half = [](double) { return 0.5; };
  const auto narrow = [](double) { return 0.1; };
  const Panels three{{0.0, 0.5}, {0.5, 1.0}, {1.0, 1.5}};
  EXPECT_EQ(initial_panels({}, half, 100, 0.0, 1.5, 100.0), three);
  EXPECT_EQ(initial_panels(std::vector{std::exp(-1.0), 1.0, std::exp(1.5), 10.0}, half, 100, 0.0, 1.5, 100.0), three);
  const Panels split = initial_panels(std::vector{std::exp(0.2)}, half, 100, 0.0, 1.5, 100.0);
  ASSERT_EQ(split.size(), 4u);
  EXPECT_EQ(split[0], std::pair(0.0, std::log(std::exp(0.2))));
  EXPECT_EQ(split.back().second, 1.5);
  EXPECT_TRUE(initial_panels({}, half, 100, 0.7, 0.7, 1.0).empty());
  EXPECT_EQ(initial_panels({}, narrow, 2, 0.0, 1.0, 100.0), (Panels{{0.0, 0.5}, {0.5, 1.0}}));
  EXPECT_EQ(initial_panels({}, narrow, 1, 0.0, 1.0, 100.0), (Panels{{0.0, 1.0}}));
  // Three segments of shares 0.2, 0.2 and 1.6 of 2: one panel each.
  const Panels p = initial_panels(std::vector{std::exp(0.1), std::exp(0.2)}, narrow, 2, 0.0, 1.0, 100.0);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[2].first, std::log(std::exp(0.2)));
  EXPECT_DOUBLE_EQ(p[2].second, 1.0);
}

// At x = 2000 a panel spans at most 20 in size parameter (width ln 1.01 at
// the start, narrower as x grows); the panels are contiguous.
TEST(InitialPanels, SizeParameterRule) {
  const double t = std::log(2000.0 / 6.283185307179586);
  const Panels p = initial_panels({}, [](double) { return 0.5; }, 1000, t, t + 0.05, 1.0);
  ASSERT_GE(p.size(), 6u);
  EXPECT_LE(p[0].second - p[0].first, std::log(1.01));
  for (const auto& [a, b] : p) EXPECT_LE(std::exp(a) * 6.283185307179586 * std::expm1(b - a), 20.0 + 1e-9);
  for (std::size_t i = 1; i < p.size(); ++i) EXPECT_EQ(p[i - 1].second, p[i].first);
  EXPECT_EQ(p.back().second, t + 0.05);
}
