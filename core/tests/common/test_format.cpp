#include "vantok/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace fmt = vantok::fmt;

TEST(FormatExp, ShortestDigitsWithoutPlusOrPadding) {
  EXPECT_EQ(fmt::exp(1e-30), "1e-30");
  EXPECT_EQ(fmt::exp(1e6), "1e6");
  EXPECT_EQ(fmt::exp(1000.0), "1e3");
  EXPECT_EQ(fmt::exp(2.5), "2.5e0");
  EXPECT_EQ(fmt::exp(1.5), "1.5e0");
  EXPECT_EQ(fmt::exp(0.01), "1e-2");
  EXPECT_EQ(fmt::exp(2e4), "2e4");
  EXPECT_EQ(fmt::exp(0.0), "0e0");
  EXPECT_EQ(fmt::exp(-0.0), "-0e0");
  EXPECT_EQ(fmt::exp(std::ldexp(1.0, -90)), "8.077935669463161e-28");
  EXPECT_EQ(fmt::exp(INFINITY), "inf");
  EXPECT_EQ(fmt::exp(-INFINITY), "-inf");
  EXPECT_EQ(fmt::exp(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(fmt::exp(5e-324), "5e-324");
  EXPECT_EQ(fmt::exp(1.7976931348623157e308), "1.7976931348623157e308");
  EXPECT_EQ(fmt::exp(-123.456), "-1.23456e2");
}

TEST(FormatPlain, PositionalNeverExponent) {
  EXPECT_EQ(fmt::plain(10.0), "10");
  EXPECT_EQ(fmt::plain(0.1), "0.1");
  EXPECT_EQ(fmt::plain(1000.0), "1000");
  EXPECT_EQ(fmt::plain(1e-7), "0.0000001");
  EXPECT_EQ(fmt::plain(-0.0), "-0");
  EXPECT_EQ(fmt::plain(0.0), "0");
  EXPECT_EQ(fmt::plain(123.456), "123.456");
  EXPECT_EQ(fmt::plain(1e300), "1" + std::string(300, '0'));
  EXPECT_EQ(fmt::plain(INFINITY), "inf");
  EXPECT_EQ(fmt::plain(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(fmt::plain(std::int64_t{-42}), "-42");
  EXPECT_EQ(fmt::plain(std::uint64_t{18446744073709551615u}), "18446744073709551615");
}

TEST(FormatDebug, KeepsPointAndSwitchesToExponentAtTheEnds) {
  EXPECT_EQ(fmt::debug(1.0), "1.0");
  EXPECT_EQ(fmt::debug(-0.0), "-0.0");
  EXPECT_EQ(fmt::debug(0.0), "0.0");
  EXPECT_EQ(fmt::debug(0.001), "0.001");
  EXPECT_EQ(fmt::debug(0.0001), "0.0001");
  EXPECT_EQ(fmt::debug(1e-5), "1e-5");
  EXPECT_EQ(fmt::debug(1.5e-7), "1.5e-7");
  EXPECT_EQ(fmt::debug(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(fmt::debug(1e16), "1e16");
  EXPECT_EQ(fmt::debug(-1e20), "-1e20");
  EXPECT_EQ(fmt::debug(1.0000000000000002), "1.0000000000000002");
  EXPECT_EQ(fmt::debug(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(fmt::debug(-INFINITY), "-inf");
  EXPECT_EQ(fmt::debug(vantok::Complex<double>{1.5, 0.0}), "Complex { re: 1.5, im: 0.0 }");
}

TEST(FormatDebug, Lists) {
  const std::vector<std::size_t> lengths{5, 5, 5, 4};
  EXPECT_EQ(fmt::debug_list(std::span<const std::size_t>(lengths)), "[5, 5, 5, 4]");
  EXPECT_EQ(fmt::debug_list(std::span<const std::size_t>()), "[]");
  const std::vector<double> values{1.0, 0.25, 1e-5};
  EXPECT_EQ(fmt::debug_list(std::span<const double>(values)), "[1.0, 0.25, 1e-5]");
  const std::vector<vantok::Complex<double>> m{{1.5, 0.0}, {2.0, 0.001}};
  EXPECT_EQ(fmt::debug_list(std::span<const vantok::Complex<double>>(m)),
            "[Complex { re: 1.5, im: 0.0 }, Complex { re: 2.0, im: 0.001 }]");
}

// Every finite double read back from its exp and plain forms is the same double.
TEST(FormatExp, RoundTripsRandomBitPatterns) {
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 20000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const double v = std::bit_cast<double>(state);
    if (!std::isfinite(v)) continue;
    EXPECT_EQ(std::strtod(fmt::exp(v).c_str(), nullptr), v) << fmt::exp(v);
    if (std::fabs(v) < 1e30 && std::fabs(v) > 1e-30) {
      EXPECT_EQ(std::strtod(fmt::plain(v).c_str(), nullptr), v) << fmt::plain(v);
    }
  }
}
