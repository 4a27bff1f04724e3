// Size-distribution densities: reference radius and log scale per kind, the
// density and its slots at edges, and the derivative slots against central
// differences.
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

// Where a kind has an interior maximum the reference is that mode: n = 1
// there (L(a) = 0) and smaller on both sides.
TEST(Density, ReferenceAndScale) {
  struct Case {
    SizeDistribution d;
    double reference, scale;
    bool mode;
  };
  const Case cases[] = {
      {lognormal(0.1, 2.0), 0.1, std::log(2.0), false},
      // The gamma mode a_e(1 - 3v), or a_e without an interior maximum.
      {gamma(1.0, 0.1), 0.7, std::sqrt(0.1 / 0.8), true},
      {gamma(0.3, 0.2), 0.3 * 0.4, std::sqrt(0.2 / 0.6), true},
      {gamma(2.0, 0.4), 2.0, std::sqrt(0.4 / 0.2), false},
      {gamma(2.0, 1.0 / 3.0), 2.0, 1.0, false},
      // The modified-gamma mode (alpha/(b gamma))^(1/gamma), alpha clamped at 1.
      {modified_gamma(2.0, 3.0, 1.5), std::pow(2.0 / 4.5, 1.0 / 1.5), 1.0 / std::sqrt(3.0), true},
      {modified_gamma(0.5, 1.0, 2.0), std::sqrt(0.5), 1.0, false},
      {modified_gamma(-0.5, 2.0, 1.0), 0.5, 1.0, false},
      {power_law(3.0, 0.1, 10.0), 0.1, INF, false},
      {power_law(-1.0, 0.5, 2.0), 2.0, INF, false},
      {monodisperse(3.0), 1.0, INF, false},
      {tabulated({1.0, 2.0}, {1.0, 1.0}), 1.0, INF, false},
  };
  for (const Case& c : cases) {
    const Density density(c.d);
    EXPECT_LE(rel_err(density.reference, c.reference), 4e-16) << density.reference << " vs " << c.reference;
    EXPECT_LE(rel_err(density.scale, c.scale), 4e-16) << density.scale << " vs " << c.scale;
    if (!c.mode) continue;
    const double peak = density.eval(density.reference, {});
    EXPECT_NEAR(peak, 1.0, 1e-15);
    EXPECT_LT(density.eval(density.reference * (1 + 1e-3), {}), peak);
    EXPECT_LT(density.eval(density.reference * (1 - 1e-3), {}), peak);
  }
  EXPECT_THROW(Density(multimodal({{1.0, monodisperse(1.0)}})).eval(1.0, {}), vantok::InternalFailure);
}

// Each kind writes the slots of its parameter table as far as `out` reaches
// (a two-parameter kind writes a third as n·0); outside its range a bounded
// kind, and tabulated and monodisperse everywhere, write zero in every slot.
TEST(Density, EdgeValuesAndSlots) {
  std::array<double, 5> out;
  const auto eval = [&](const SizeDistribution& d, double r, std::size_t slots = 5) {
    out.fill(SENTINEL);
    return Density(d).eval(r, std::span(out).first(slots));
  };
  // Lognormal at its median: n = 1/s, d/dr_m = 0, d/dwidth = -n/(s width).
  const double s = std::log(3.0);
  EXPECT_LE(rel_err(eval(lognormal(0.5, 3.0), 0.5), 1.0 / s), 4e-16);
  EXPECT_EQ(out, (std::array{0.0, out[1], 0.0, SENTINEL, SENTINEL}));
  EXPECT_LE(rel_err(out[1], -1.0 / (s * s * 3.0)), 4e-16);
  // Power law: both ends inside, one ulp outside zero in every slot.
  EXPECT_EQ(eval(power_law(2.0, 0.5, 2.0), 0.5, 2), 1.0);
  EXPECT_EQ(out, (std::array{-0.0, 0.0, SENTINEL, SENTINEL, SENTINEL}));
  EXPECT_LE(rel_err(eval(power_law(2.0, 0.5, 2.0), 2.0), 1.0 / 16.0), 4e-16);
  EXPECT_LE(rel_err(out[0], -std::log(4.0) / 16.0), 4e-16);
  EXPECT_EQ(eval(power_law(2.0, 0.5, 2.0), std::nextafter(2.0, 3.0)), 0.0);
  EXPECT_EQ(out, (std::array{0.0, 0.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(eval(power_law(2.0, 0.5, 2.0), std::nextafter(0.5, 0.0), 0), 0.0);
  // Tabulated: the table's values at its radii, straight lines between, zero outside.
  const std::array<std::array<double, 2>, 8> points = {
      {{1.0, 3.0}, {1.5, 2.0}, {2.0, 1.0}, {3.0, 1.5}, {4.0, 2.0}, {0.999, 0.0}, {4.001, 0.0}, {1.25, 2.5}}};
  for (const auto& [r, want] : points) {
    EXPECT_EQ(eval(tabulated({1.0, 2.0, 4.0}, {3.0, 1.0, 2.0}), r), want) << r;
    EXPECT_EQ(out, (std::array{0.0, 0.0, 0.0, 0.0, 0.0})) << r;
  }
  EXPECT_EQ(eval(monodisperse(2.0), 123.0), 1.0);
  EXPECT_EQ(out[0], 0.0);
  // A short slice: the alpha and b slots of the modified gamma only.
  eval(modified_gamma(1.0, 2.0, 0.5), 0.3, 2);
  EXPECT_TRUE(out[0] != SENTINEL && out[1] != SENTINEL && out[2] == SENTINEL);
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
        auto at = [&](double factor) {
          std::vector<double> p = c.p;
          p[k] *= factor;
          const SizeDistribution shifted = c.make(p);
          Density moved(shifted);
          moved.reference = density.reference;
          return moved.eval(r, {});
        };
        const double want = (at(1 + 1e-5) - at(1 - 1e-5)) / (2e-5 * c.p[k]);
        EXPECT_NEAR(out[k], want, 1e-8 * (std::fabs(want) + density.eval(r, {}))) << "slot " << k << " r " << r;
      }
    }
  }
}
