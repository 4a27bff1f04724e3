// The three number forms of messages and the error values that carry them.
#include "vantok/format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "vantok/error.hpp"

namespace fmt = vantok::fmt;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Exponent form: shortest digits, no '+', no padding. Plain form: positional,
// never an exponent, integral values without a point. Debug form: like plain,
// but integral values keep ".0" and magnitudes below 1e-4 or from 1e16 up use
// the exponent layout.
TEST(Format, NumberForms) {
  struct Case {
    double v;
    const char *exp, *plain, *debug;
  };
  const Case cases[] = {
      {1e-30, "1e-30", "0.000000000000000000000000000001", "1e-30"},
      {1000.0, "1e3", "1000", "1000.0"},
      {2.5, "2.5e0", "2.5", "2.5"},
      {0.01, "1e-2", "0.01", "0.01"},
      {0.0, "0e0", "0", "0.0"},
      {-0.0, "-0e0", "-0", "-0.0"},
      {-123.456, "-1.23456e2", "-123.456", "-123.456"},
      {0x1p-90, "8.077935669463161e-28", "0.0000000000000000000000000008077935669463161", "8.077935669463161e-28"},
      {5e-324, "5e-324", nullptr, "5e-324"},
      {0.0001, "1e-4", "0.0001", "0.0001"},
      {1.5e-5, "1.5e-5", "0.000015", "1.5e-5"},
      {9999999999999998.0, "9.999999999999998e15", "9999999999999998", "9999999999999998.0"},
      {-1e16, "-1e16", "-10000000000000000", "-1e16"},
      {1.0000000000000002, "1.0000000000000002e0", "1.0000000000000002", "1.0000000000000002"},
      {INFINITY, "inf", "inf", "inf"},
      {-INFINITY, "-inf", "-inf", "-inf"},
      {NaN, "NaN", "NaN", "NaN"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fmt::exp(c.v), c.exp);
    if (c.plain) {
      EXPECT_EQ(fmt::plain(c.v), c.plain);
    }
    EXPECT_EQ(fmt::debug(c.v), c.debug);
  }
  EXPECT_EQ(fmt::plain(1e300), "1" + std::string(300, '0'));
  EXPECT_EQ(fmt::plain(std::uint64_t{18446744073709551615u}), "18446744073709551615");
  EXPECT_EQ(fmt::plain(std::int64_t{-42}), "-42");
  const std::vector<vantok::Complex<double>> m{{1.5, 0.0}, {2.0, 0.001}};
  EXPECT_EQ(fmt::debug_list(std::span<const vantok::Complex<double>>(m)),
            "[Complex { re: 1.5, im: 0.0 }, Complex { re: 2.0, im: 0.001 }]");
  EXPECT_EQ(fmt::debug_list(std::span<const std::size_t>()), "[]");
}

// Every finite double reads back from its exp and plain forms as itself.
TEST(Format, RoundTripsRandomBitPatterns) {
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 20000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const double v = std::bit_cast<double>(state);
    if (!std::isfinite(v)) continue;
    EXPECT_EQ(std::strtod(fmt::exp(v).c_str(), nullptr), v) << fmt::exp(v);
    if (std::fabs(v) < 1e30 && std::fabs(v) > 1e-30) {
      EXPECT_EQ(std::strtod(fmt::plain(v).c_str(), nullptr), v);
    }
  }
}

TEST(Error, TextFormsAndContext) {
  using vantok::Error;
  EXPECT_EQ(Error::not_converged(INFINITY, 0x1p-90).to_string(),
            "not converged: achieved inf, requested 8.077935669463161e-28");
  EXPECT_EQ(Error::invalid_input("x must be positive").with_context("element 3").to_string(),
            "invalid input: element 3: x must be positive");
  EXPECT_EQ(Error::outside_validated_domain("far").with_context("element 0").to_string(),
            "outside validated domain: element 0: far");
  // Non-convergence carries numbers, not text: context leaves it as it is.
  EXPECT_EQ(Error::not_converged(1.0, 2.0).with_context("element 1"), Error::not_converged(1.0, 2.0));
  EXPECT_THROW(VANTOK_ASSERT(1 + 1 == 3), vantok::InternalFailure);
}

}  // namespace
