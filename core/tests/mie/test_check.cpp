// Input checks, default truncation and the validated domain of the sphere solver.
#include "vantok/mie/check.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/expect_error.hpp"
#include "vantok/mie/mie.hpp"

using vantok::Complex;
using vantok::Error;
using vantok::mie::check_inputs;
using vantok::mie::default_terms;
using vantok::mie::SolveOptions;
using vantok::mie::domain::VALIDATED;
using vantok::test::expect_error;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

SolveOptions opts(std::optional<std::size_t> n_max = std::nullopt, bool allow = false) {
  return {n_max, allow};
}

void expect_invalid(double x, Complex<double> m, const SolveOptions& o, const std::string& msg) {
  expect_error(check_inputs(x, m, o), Error::Kind::InvalidInput, msg);
}

}  // namespace

TEST(DefaultTerms, RuleAndSaturation) {
  EXPECT_EQ(default_terms(1.0), 10u);
  EXPECT_EQ(default_terms(100.0), 131u);
  EXPECT_EQ(default_terms(1e-30), 4u);
  EXPECT_EQ(default_terms(-0.001), 3u);
  EXPECT_EQ(default_terms(-1000.0), 0u);
  EXPECT_EQ(default_terms(20000.0), 20166u);
  const auto max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(default_terms(NaN), max);
  EXPECT_EQ(default_terms(INF), max);
  EXPECT_EQ(default_terms(-INF), max);
  EXPECT_EQ(default_terms(0x1p53), max);
  // Just below 2^53 the count is exact.
  EXPECT_EQ(default_terms(0x1p52), static_cast<std::uint64_t>(std::ceil(std::cbrt(0x1p52) * 6.0 + 0x1p52 + 3.0)));
}

TEST(CheckInputs, SizeParameterRange) {
  const std::string head = "the size parameter x must be in [1e-30, 1e6], got ";
  expect_invalid(0.0, {1.5, 0.0}, opts(), head + "0e0");
  expect_invalid(-1.5, {1.5, 0.0}, opts(), head + "-1.5e0");
  expect_invalid(NaN, {1.5, 0.0}, opts(), head + "NaN");
  expect_invalid(INF, {1.5, 0.0}, opts(), head + "inf");
  expect_invalid(2e6, {1.5, 0.0}, opts(), head + "2e6");
  EXPECT_EQ(check_inputs(1e-30, {1.5, 0.0}, opts(std::nullopt, true)), 4u);
  EXPECT_EQ(check_inputs(1e6, {1.5, 0.0}, opts(std::nullopt, true)), default_terms(1e6));
}

TEST(CheckInputs, RefractiveIndexOrder) {
  // NaN in Im m with a finite Re m fails the finiteness test, not the sign test.
  expect_invalid(1.0, {1.5, NaN}, opts(), "the refractive index must be finite, got 1.5e0 + NaNi");
  expect_invalid(1.0, {-INF, 0.0}, opts(), "the refractive index must be finite, got -inf + 0e0i");
  const std::string gain =
      "the refractive index must have Re m >= 0 and Im m >= 0 (Im m < 0 is a gain medium), got ";
  expect_invalid(1.0, {1.5, -0.01}, opts(), gain + "1.5e0 + -1e-2i");
  expect_invalid(1.0, {-0.1, 0.0}, opts(), gain + "-1e-1 + 0e0i");
  // -0 is not below 0.
  EXPECT_EQ(check_inputs(1.0, {1.5, -0.0}, opts()), 10u);
  expect_invalid(1.0, {0.0, 0.0}, opts(), "|m| must be in [1e-6, 1e3], got 0e0");
  expect_invalid(1.0, {1000.5, 0.0}, opts(), "|m| must be in [1e-6, 1e3], got 1.0005e3");
  EXPECT_TRUE(check_inputs(1.0, {1e-6, 0.0}, opts(std::nullopt, true)).has_value());
}

TEST(CheckInputs, TermCount) {
  const std::string head = "the number of terms must be in [1, 1048576], got ";
  expect_invalid(1.0, {1.5, 0.0}, opts(0), head + "0");
  expect_invalid(1.0, {1.5, 0.0}, opts(1048577), head + "1048577");
  expect_invalid(1.0, {1.5, 0.0}, opts(std::numeric_limits<std::size_t>::max(), true),
                 head + "18446744073709551615");
  EXPECT_EQ(check_inputs(1.0, {1.5, 0.0}, opts(1048576)), 1048576u);
  // Without allow_unvalidated N may not undercut the default.
  expect_error(check_inputs(1.0, {1.5, 0.0}, opts(9)), Error::Kind::OutsideValidatedDomain,
               "n_max = 9 is below the default truncation 10 for x = 1e0");
  EXPECT_EQ(check_inputs(1.0, {1.5, 0.0}, opts(10)), 10u);
  EXPECT_EQ(check_inputs(1.0, {1.5, 0.0}, opts(1, true)), 1u);
  EXPECT_EQ(check_inputs(500.0, {1.5, 0.0}, opts(1, true)), 1u);
}

TEST(CheckInputs, ValidatedDomain) {
  expect_error(check_inputs(30000.0, {1.5, 0.01}, opts()), Error::Kind::OutsideValidatedDomain,
               "x = 3e4, m = 1.5e0 + 1e-2i is outside the validated domain x in [1e-6, 2e4], "
               "0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1");
  EXPECT_EQ(check_inputs(30000.0, {1.5, 0.01}, opts(std::nullopt, true)), default_terms(30000.0));
  // x = 1e5 has a default count well inside the term limit; only the domain refuses it.
  EXPECT_FALSE(check_inputs(1e5, {1.5, 0.0}, opts()).has_value());
  EXPECT_TRUE(check_inputs(1e5, {1.5, 0.0}, opts(std::nullopt, true)).has_value());
  EXPECT_TRUE(check_inputs(1.0, {10.0, 10.0}, opts()).has_value());
  EXPECT_FALSE(check_inputs(1.0, {0.05, 0.0}, opts()).has_value());
  EXPECT_FALSE(check_inputs(1.0, {0.0, 0.5}, opts()).has_value());
  EXPECT_TRUE(check_inputs(1.0, {0.0, 0.5}, opts(std::nullopt, true)).has_value());
  // The domain test precedes the truncation test.
  expect_error(check_inputs(1e-7, {1.5, 0.0}, opts(1)), Error::Kind::OutsideValidatedDomain,
               "x = 1e-7, m = 1.5e0 + 0e0i is outside the validated domain " + VALIDATED.to_string());
}

TEST(ValidatedDomain, BoundsAndText) {
  EXPECT_EQ(VALIDATED.to_string(),
            "x in [1e-6, 2e4], 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1");
  EXPECT_TRUE(VALIDATED.contains(1e-6, {1.5, 0.0}));
  EXPECT_TRUE(VALIDATED.contains(20000.0, {1.5, 0.0}));
  EXPECT_FALSE(VALIDATED.contains(20000.000000000004, {1.5, 0.0}));
  EXPECT_TRUE(VALIDATED.contains(1.0, {0.1, 0.0}));
  EXPECT_FALSE(VALIDATED.contains(1.0, {0.0999, 0.0}));
  EXPECT_FALSE(VALIDATED.contains(1.0, {10.5, 0.0}));
  EXPECT_FALSE(VALIDATED.contains(1.0, {1.5, 10.5}));
  EXPECT_FALSE(VALIDATED.contains(NaN, {1.5, 0.0}));
  EXPECT_FALSE(VALIDATED.contains(1.0, {1.5, NaN}));
}

TEST(MieSolve, FailureLeavesStateUntouched) {
  vantok::mie::Mie mie;
  const auto ok = mie.solve(opts(), true, 2.0, {1.5, 0.1});
  ASSERT_TRUE(ok.has_value());
  const auto a = mie.state().a;
  const auto da = mie.state().da_dm;
  const double abs_sum = mie.state().absorption;
  const auto bad = mie.solve(opts(), false, 3e4, {1.5, 0.1});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string(),
            "outside validated domain: x = 3e4, m = 1.5e0 + 1e-1i is outside the validated domain "
            "x in [1e-6, 2e4], 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1");
  EXPECT_EQ(mie.state().a, a);
  EXPECT_EQ(mie.state().da_dm, da);
  EXPECT_EQ(mie.state().absorption, abs_sum);
  EXPECT_EQ(mie.state().x, 2.0);
  EXPECT_TRUE(mie.state().derivatives);
}
