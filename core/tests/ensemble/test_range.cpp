// Radius-range cutoffs: the neglected tails against closed forms, the step
// rule, and the two failures.
#include "vantok/ensemble/range.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "ensemble/model_support.hpp"
#include "support/expect_error.hpp"
#include "vantok/format.hpp"

using namespace vantok::test::ensemble;
using vantok::Error;
using vantok::ensemble::range::cutoffs;
using vantok::test::expect_error;

// r^k n(r) of a lognormal is a lognormal of ln-median ln r_m + k s², so the
// weight beyond hi is erfc((ln hi - ln r_m - k s²)/(s √2))/2 of the total, and
// likewise below lo. The geometric tail estimate keeps each within tol.
TEST(Cutoffs, LognormalTailsWithinTolerance) {
  for (const double width : {1.05, 1.5, 2.0, 3.0}) {
    for (const double tol : {1e-3, 1e-7, 1e-12}) {
      const SizeDistribution d = lognormal(0.3, width);
      const Density density(d);
      const std::vector<std::int32_t> exponents = {0, 2, 3};
      const auto range = cutoffs(density, exponents, 0.3, tol);
      ASSERT_TRUE(range.has_value());
      const double s = std::log(width);
      for (const std::int32_t k : exponents) {
        const double centre = std::log(0.3) + k * s * s;
        const double above = 0.5 * std::erfc((std::log(range->second) - centre) / (s * std::sqrt(2.0)));
        const double below = 0.5 * std::erfc((centre - std::log(range->first)) / (s * std::sqrt(2.0)));
        EXPECT_LE(above, tol) << "width " << width << " k " << k;
        EXPECT_LE(below, tol) << "width " << width << " k " << k;
      }
    }
  }
}

// Steps are min(0.5 s, 0.5) in ln r and each side takes at least two.
TEST(Cutoffs, StepRule) {
  const std::vector<std::int32_t> two = {2};
  for (const double width : {1.01, 10.0}) {
    const SizeDistribution d = lognormal(1.0, width);
    const auto range = cutoffs(Density(d), two, 1.0, 1e-6);
    ASSERT_TRUE(range.has_value());
    const double h = std::fmin(0.5 * std::log(width), 0.5);
    for (const double end : {-std::log(range->first), std::log(range->second)}) {
      const double steps = end / h;
      EXPECT_GE(steps, 2.0 - 1e-9);
      EXPECT_NEAR(steps, std::round(steps), 1e-9);
    }
  }
  // All weight within the first upper step: still two steps per side.
  const SizeDistribution narrow = power_law(0.0, 1.0, 1.0000001);
  const auto range = cutoffs(Density(narrow), two, 1.0, 1e-6);
  ASSERT_TRUE(range.has_value());
  EXPECT_EQ(range->first, std::exp(-1.0));
  EXPECT_EQ(range->second, std::exp(1.0));
}

TEST(Cutoffs, Failures) {
  const std::vector<std::int32_t> two = {2};
  // r^2 · r^-3 · r dt is flat in t: no step shrinks.
  const SizeDistribution flat = power_law(3.0, 1e-300, 1e300);
  Density unit(flat);
  unit.reference = 1.0;  // n = r^-3, representable over the whole march
  expect_error(cutoffs(unit, two, 1.0, 1e-6), Error::Kind::InvalidInput,
               "the size distribution is too broad: its tails do not decay within e^200 of r = 1e0");
  Density narrow_steps = unit;
  narrow_steps.scale = 0.5;  // steps of 0.25
  expect_error(cutoffs(narrow_steps, two, 2.5, 1e-6), Error::Kind::InvalidInput,
               "the size distribution is too broad: its tails do not decay within e^100 of r = 2.5e0");
  // A density that overflows at the start fails in the first step, naming its
  // far end start·e^(-h).
  const SizeDistribution d = lognormal(1.0, 2.0);
  Density overflowing(d);
  overflowing.reference = 1e308;
  expect_error(cutoffs(overflowing, two, 1.0, 1e-6), Error::Kind::InvalidInput,
               "the size distribution's density is not finite near r = " +
                   vantok::fmt::exp(std::exp(-0.5 * std::log(2.0))));
}
