// The start layout of panels over ln r.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "vantok/ensemble/engine.hpp"

using vantok::ensemble::engine::initial_panels;
using Panels = std::vector<std::pair<double, double>>;

namespace {

const auto HALF = [](double) { return 0.5; };

}  // namespace

TEST(InitialPanels, WidthDrivenLayout) {
  // λ = 100 keeps the size-parameter rule out of play: m = 3, then 2, then 1.
  EXPECT_EQ(initial_panels({}, HALF, 100, 0.0, 1.5, 100.0), (Panels{{0.0, 0.5}, {0.5, 1.0}, {1.0, 1.5}}));
  // Breakpoints outside (t_lo, t_hi) or at its ends are ignored; one inside splits.
  const std::vector<double> outside = {std::exp(-1.0), 1.0, std::exp(1.5), 10.0};
  EXPECT_EQ(initial_panels(outside, HALF, 100, 0.0, 1.5, 100.0), (Panels{{0.0, 0.5}, {0.5, 1.0}, {1.0, 1.5}}));
  const std::vector<double> inside = {std::exp(0.2)};
  const Panels split = initial_panels(inside, HALF, 100, 0.0, 1.5, 100.0);
  ASSERT_EQ(split.size(), 4u);
  EXPECT_EQ(split[0], std::pair(0.0, std::log(std::exp(0.2))));
  EXPECT_EQ(split.back().second, 1.5);
  // A degenerate interval gives nothing.
  EXPECT_TRUE(initial_panels({}, HALF, 100, 0.7, 0.7, 1.0).empty());
}

// At x = 2000 a panel spans at most 20 in size parameter: width ln 1.01.
TEST(InitialPanels, SizeParameterRule) {
  const double wavelength = 1.0;
  const double t = std::log(2000.0 * wavelength / 6.283185307179586);
  const Panels p = initial_panels({}, HALF, 1000, t, t + 0.05, wavelength);
  // ln 1.01 ≈ 0.00995 at the start, narrower as x grows: at least 6 panels.
  ASSERT_GE(p.size(), 6u);
  EXPECT_LE(p[0].second - p[0].first, std::log(1.01));
  for (const auto& [a, b] : p) EXPECT_LE(std::exp(a) * 6.283185307179586 / wavelength * std::expm1(b - a), 20.0 + 1e-9);
  // Contiguous, and the last end is the interval's.
  for (std::size_t i = 1; i < p.size(); ++i) EXPECT_EQ(p[i - 1].second, p[i].first);
  EXPECT_EQ(p.back().second, t + 0.05);
}

// Beyond max_panels the layout stops and each segment gets its share.
TEST(InitialPanels, ProportionalFallback) {
  const auto narrow = [](double) { return 0.1; };
  EXPECT_EQ(initial_panels({}, narrow, 2, 0.0, 1.0, 100.0), (Panels{{0.0, 0.5}, {0.5, 1.0}}));
  // Three segments of shares 0.2, 0.2 and 1.6 of 2: one, one and one panel.
  const std::vector<double> breaks = {std::exp(0.1), std::exp(0.2)};
  const Panels p = initial_panels(breaks, narrow, 2, 0.0, 1.0, 100.0);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[2].first, std::log(std::exp(0.2)));
  EXPECT_DOUBLE_EQ(p[2].second, 1.0);
  // max_panels 1 and one segment: one panel.
  EXPECT_EQ(initial_panels({}, narrow, 1, 0.0, 1.0, 100.0), (Panels{{0.0, 1.0}}));
}
