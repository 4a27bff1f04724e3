// Input checks of the sphere solver in the order of the checks, with their
// kinds and messages; the default truncation; the validated domain.
#include "vantok/mie/check.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/expect_error.hpp"

using vantok::Complex;
using vantok::mie::check_inputs;
using vantok::mie::default_terms;
using vantok::mie::SolveOptions;
using vantok::mie::domain::VALIDATED;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr auto INVALID = vantok::Error::Kind::InvalidInput;
constexpr auto OUTSIDE = vantok::Error::Kind::OutsideValidatedDomain;
const std::string X_RANGE = "the size parameter x must be in [1e-30, 1e6], got ";
const std::string GAIN = "the refractive index must have Re m >= 0 and Im m >= 0 (Im m < 0 is a gain medium), got ";
const std::string TERMS = "the number of terms must be in [1, 1048576], got ";
const std::string DOMAIN = "x in [1e-6, 2e4], 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1";

// x, then the index (finite before sign, so a NaN Im m with finite Re m is not
// finite), then n_max, then the domain, then the truncation.
TEST(CheckInputs, RefusalsInOrder) {
  struct Case {
    double x;
    Complex<double> m;
    SolveOptions options;
    vantok::Error::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {0.0, {1.5, 0.0}, {}, INVALID, X_RANGE + "0e0"},
      {-1.5, {NaN, 0.0}, {}, INVALID, X_RANGE + "-1.5e0"},
      {NaN, {1.5, 0.0}, {}, INVALID, X_RANGE + "NaN"},
      {INF, {1.5, 0.0}, {}, INVALID, X_RANGE + "inf"},
      {2e6, {1.5, 0.0}, {}, INVALID, X_RANGE + "2e6"},
      {1.0, {1.5, NaN}, {}, INVALID, "the refractive index must be finite, got 1.5e0 + NaNi"},
      {1.0, {-INF, 0.0}, {}, INVALID, "the refractive index must be finite, got -inf + 0e0i"},
      {1.0, {1.5, -0.01}, {}, INVALID, GAIN + "1.5e0 + -1e-2i"},
      {1.0, {-0.1, 0.0}, {}, INVALID, GAIN + "-1e-1 + 0e0i"},
      {1.0, {0.0, 0.0}, {0, true}, INVALID, "|m| must be in [1e-6, 1e3], got 0e0"},
      {1.0, {1000.5, 0.0}, {}, INVALID, "|m| must be in [1e-6, 1e3], got 1.0005e3"},
      {1.0, {1.5, 0.0}, {0, false}, INVALID, TERMS + "0"},
      {1.0, {1.5, 0.0}, {1048577, false}, INVALID, TERMS + "1048577"},
      {1.0, {1.5, 0.0}, {std::numeric_limits<std::size_t>::max(), true}, INVALID, TERMS + "18446744073709551615"},
      {3e4, {1.5, 0.01}, {}, OUTSIDE, "x = 3e4, m = 1.5e0 + 1e-2i is outside the validated domain " + DOMAIN},
      {1e-7, {1.5, 0.0}, {1, false}, OUTSIDE, "x = 1e-7, m = 1.5e0 + 0e0i is outside the validated domain " + DOMAIN},
      {1.0, {1.5, 0.0}, {9, false}, OUTSIDE, "n_max = 9 is below the default truncation 10 for x = 1e0"},
  };
  for (const Case& c : cases) vantok::test::expect_error(check_inputs(c.x, c.m, c.options), c.kind, c.message);
  // What passes: -0 is not below 0; allow_unvalidated lifts the domain and the
  // truncation; the term limit and the ends of the x range are inclusive.
  EXPECT_EQ(check_inputs(1.0, {1.5, -0.0}, {}), 10u);
  EXPECT_EQ(check_inputs(1.0, {1.5, 0.0}, {1048576, false}), 1048576u);
  EXPECT_EQ(check_inputs(500.0, {1.5, 0.0}, {1, true}), 1u);
  EXPECT_EQ(check_inputs(1e-30, {1.5, 0.0}, {std::nullopt, true}), 4u);
  EXPECT_EQ(check_inputs(1e6, {1e-6, 0.0}, {std::nullopt, true}), default_terms(1e6));
}

// ceil(6 cbrt(x) + x + 3), saturating for NaN, infinities and from 2^53.
TEST(DefaultTerms, RuleAndSaturation) {
  const auto max = std::numeric_limits<std::uint64_t>::max();
  const std::pair<double, std::uint64_t> cases[] = {{1.0, 10u}, {100.0, 131u}, {1e-30, 4u}, {-0.001, 3u}, {-1000.0, 0u},
                                                    {20000.0, 20166u}, {NaN, max}, {INF, max}, {-INF, max}, {0x1p53, max}};
  for (const auto& [x, want] : cases) EXPECT_EQ(default_terms(x), want) << x;
}

TEST(ValidatedDomain, BoundsAndText) {
  EXPECT_EQ(VALIDATED.to_string(), DOMAIN);
  const std::pair<double, Complex<double>> inside[] = {{1e-6, {1.5, 0.0}}, {20000.0, {1.5, 0.0}}, {1.0, {0.1, 0.0}}, {1.0, {10.0, 10.0}}};
  const std::pair<double, Complex<double>> outside[] = {{20000.000000000004, {1.5, 0.0}}, {1.0, {0.0999, 0.0}}, {1.0, {10.5, 0.0}},
                                                        {1.0, {1.5, 10.5}}, {1.0, {0.0, 0.5}}, {NaN, {1.5, 0.0}}, {1.0, {1.5, NaN}}};
  for (const auto& [x, m] : inside) EXPECT_TRUE(VALIDATED.contains(x, m)) << x << " " << m.re << " " << m.im;
  for (const auto& [x, m] : outside) EXPECT_FALSE(VALIDATED.contains(x, m)) << x << " " << m.re << " " << m.im;
}

}  // namespace
