// Size-distribution densities: reference radius and log scale per kind, the
// density at its edges, and the derivative slots against central differences.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "vantok/ensemble/distribution.hpp"

using namespace vantok::test::ensemble;
using vantok::test::rel_err;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double SENTINEL = -12345.0;

}  // namespace

TEST(Density, ReferenceAndScale) {
  struct Case {
    SizeDistribution d;
    double reference;
    double scale;
  };
  const Case cases[] = {
      {lognormal(0.1, 2.0), 0.1, std::log(2.0)},
      // The gamma mode a_e(1 - 3v), or a_e without an interior maximum.
      {gamma(1.0, 0.1), 0.7, std::sqrt(0.1 / 0.8)},
      {gamma(2.0, 0.4), 2.0, std::sqrt(0.4 / 0.2)},
      {gamma(2.0, 1.0 / 3.0), 2.0, std::sqrt((1.0 / 3.0) / (1.0 / 3.0))},
      // The modified-gamma mode (alpha/(b gamma))^(1/gamma), alpha clamped at 1.
      {modified_gamma(2.0, 3.0, 1.5), std::pow(2.0 / 4.5, 1.0 / 1.5), 1.0 / std::sqrt(3.0)},
      {modified_gamma(0.5, 1.0, 2.0), std::sqrt(0.5), 1.0},
      {modified_gamma(-0.5, 2.0, 1.0), 0.5, 1.0},
      {power_law(3.0, 0.1, 10.0), 0.1, INF},
      {power_law(-1.0, 0.5, 2.0), 2.0, INF},
      {monodisperse(3.0), 1.0, INF},
      {tabulated({1.0, 2.0}, {1.0, 1.0}), 1.0, INF},
  };
  for (const Case& c : cases) {
    const Density density(c.d);
    EXPECT_LE(rel_err(density.reference, c.reference), 4e-16) << density.reference << " vs " << c.reference;
    EXPECT_LE(rel_err(density.scale, c.scale), 4e-16) << density.scale << " vs " << c.scale;
  }
}

TEST(Density, ReferenceIsTheMode) {
  for (const SizeDistribution& d : {gamma(1.0, 0.1), gamma(0.3, 0.2), modified_gamma(2.0, 3.0, 1.5),
                                     modified_gamma(4.0, 0.5, 0.7)}) {
    const Density density(d);
    const double peak = density.eval(density.reference, {});
    EXPECT_NEAR(peak, 1.0, 1e-15);  // L(a) = 0
    EXPECT_LT(density.eval(density.reference * (1 + 1e-3), {}), peak);
    EXPECT_LT(density.eval(density.reference * (1 - 1e-3), {}), peak);
  }
}

TEST(Density, EdgeValues) {
  std::array<double, 5> out;
  // Lognormal at its median: n = 1/s, d/dr_m = 0, d/dwidth = -n/(s width).
  {
    const SizeDistribution d = lognormal(0.5, 3.0);
    const Density density(d);
    out.fill(SENTINEL);
    const double s = std::log(3.0);
    const double n = density.eval(0.5, out);
    EXPECT_LE(rel_err(n, 1.0 / s), 4e-16);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_LE(rel_err(out[1], -n / (s * 3.0)), 4e-16);
    EXPECT_EQ(out[2], 0.0);  // no third parameter: written as n·0
    EXPECT_EQ(out[3], SENTINEL);
    EXPECT_EQ(out[4], SENTINEL);
  }
  // Power law: both ends inside, one ulp outside zero in every slot.
  {
    const SizeDistribution d = power_law(2.0, 0.5, 2.0);
    const Density density(d);
    out.fill(SENTINEL);
    EXPECT_EQ(density.eval(0.5, std::span(out).first(2)), 1.0);
    EXPECT_EQ(out[0], -0.0);
    EXPECT_EQ(out[2], SENTINEL);
    const double n = density.eval(2.0, out);
    EXPECT_LE(rel_err(n, 1.0 / 16.0), 4e-16);
    EXPECT_LE(rel_err(out[0], -n * std::log(4.0)), 4e-16);
    out.fill(SENTINEL);
    EXPECT_EQ(density.eval(std::nextafter(2.0, 3.0), out), 0.0);
    for (double v : out) EXPECT_EQ(v, 0.0);
    EXPECT_EQ(density.eval(std::nextafter(0.5, 0.0), {}), 0.0);
  }
  // Tabulated: the table's values at its radii, straight lines between, zero
  // outside, and every slot zero.
  {
    const SizeDistribution d = tabulated({1.0, 2.0, 4.0}, {3.0, 1.0, 2.0});
    const Density density(d);
    const std::array<std::array<double, 2>, 8> points = {
        {{1.0, 3.0}, {1.5, 2.0}, {2.0, 1.0}, {3.0, 1.5}, {4.0, 2.0}, {0.999, 0.0}, {4.001, 0.0}, {1.25, 2.5}}};
    for (const auto& [r, want] : points) {
      out.fill(SENTINEL);
      EXPECT_EQ(density.eval(r, out), want) << r;
      for (double v : out) EXPECT_EQ(v, 0.0);
    }
  }
  // Monodisperse: 1 everywhere.
  {
    const SizeDistribution d = monodisperse(2.0);
    out.fill(SENTINEL);
    EXPECT_EQ(Density(d).eval(123.0, out), 1.0);
    EXPECT_EQ(out[0], 0.0);
  }
  // Modified gamma with a short slice: the alpha and b slots only.
  {
    const SizeDistribution d = modified_gamma(1.0, 2.0, 0.5);
    out.fill(SENTINEL);
    Density(d).eval(0.3, std::span(out).first(2));
    EXPECT_NE(out[0], SENTINEL);
    EXPECT_NE(out[1], SENTINEL);
    EXPECT_EQ(out[2], SENTINEL);
  }
}

TEST(Density, MultimodalIsAnInternalFault) {
  const SizeDistribution d = multimodal({{1.0, monodisperse(1.0)}});
  EXPECT_THROW(Density(d).eval(1.0, {}), vantok::InternalFailure);
}

// dn/dp with the reference radius held fixed, against central differences of
// the density built from perturbed parameters (its own scale, the original
// reference). Step 1e-5 relative: truncation ~1e-10, rounding ~1e-11.
TEST(Density, DerivativeSlotsMatchCentralDifferences) {
  struct Case {
    std::vector<double> p;
    SizeDistribution (*make)(const std::vector<double>&);
    std::vector<double> radii;
  };
  const Case cases[] = {
      {{0.2, 1.8}, [](const std::vector<double>& p) { return lognormal(p[0], p[1]); }, {0.05, 0.2, 0.9}},
      {{1.5, 0.15}, [](const std::vector<double>& p) { return gamma(p[0], p[1]); }, {0.3, 1.0, 4.0}},
      {{2.5, 1.5, 0.8}, [](const std::vector<double>& p) { return modified_gamma(p[0], p[1], p[2]); },
       {0.2, 1.0, 3.0}},
      {{2.5, 0.5, 4.0}, [](const std::vector<double>& p) { return power_law(p[0], p[1], p[2]); }, {0.7, 3.0}},
  };
  for (const Case& c : cases) {
    const SizeDistribution d = c.make(c.p);
    const Density density(d);
    const std::size_t slots = d.parameter_names().size();
    for (double r : c.radii) {
      std::array<double, 3> out{};
      density.eval(r, std::span(out).first(slots));
      for (std::size_t k = 0; k < slots; ++k) {
        auto at = [&](double value) {
          std::vector<double> p = c.p;
          p[k] = value;
          const SizeDistribution shifted = c.make(p);
          Density moved(shifted);
          moved.reference = density.reference;
          return moved.eval(r, {});
        };
        const double up = c.p[k] * (1 + 1e-5);
        const double down = c.p[k] * (1 - 1e-5);
        const double want = (at(up) - at(down)) / (up - down);
        EXPECT_NEAR(out[k], want, 1e-8 * (std::fabs(want) + density.eval(r, {}))) << "slot " << k << " r " << r;
      }
    }
  }
}
