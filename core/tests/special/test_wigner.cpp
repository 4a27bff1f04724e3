#include "vantok/special/wigner.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/compare.hpp"

namespace {

using vantok::special::wigner::mul_pow2;
using vantok::special::wigner::wigner_d;
using vantok::test::bits;
using vantok::test::rel_err;

std::vector<double> wigner(std::int32_t m, std::int32_t n, double x, std::size_t len) {
  std::vector<double> out(len, 99.0);
  auto r = wigner_d<double>(m, n, x, out);
  EXPECT_TRUE(r.has_value()) << "m=" << m << " n=" << n << " x=" << x;
  return out;
}

struct Row {
  int l;
  double value;
};

// The mpmath table of gen_wigner_d.py, grouped by (m, n, x).
std::map<std::tuple<int, int, double>, std::vector<Row>> read_table() {
  std::ifstream in(VANTOK_TEST_DATA_DIR "/wigner_d.txt");
  EXPECT_TRUE(in.good());
  std::map<std::tuple<int, int, double>, std::vector<Row>> table;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    int m = 0, n = 0, l = 0;
    std::string xs, vs;
    s >> m >> n >> xs >> l >> vs;
    table[{m, n, std::strtod(xs.c_str(), nullptr)}].push_back({l, std::strtod(vs.c_str(), nullptr)});
  }
  return table;
}

// Against the exact sums of gen_wigner_d.py. Low degrees: values are O(1) and
// the recurrences lose a few ulps in absolute terms. High degrees (up to 3999,
// including entries below the double range that come back into it): the error
// grows slowly with the degree, 1e-12 relative bounds it with a wide margin.
// Subnormal references are compared in absolute terms (they carry fewer bits).
TEST(WignerD, MatchesExactReference) {
  const auto table = read_table();
  ASSERT_GT(table.size(), 100u);
  double worst_low = 0.0;
  double worst_high = 0.0;
  for (const auto& [key, rows] : table) {
    const auto [m, n, x] = key;
    int l_max = 0;
    for (const auto& row : rows) l_max = std::max(l_max, row.l);
    const auto out = wigner(m, n, x, static_cast<std::size_t>(l_max) + 1);
    for (const auto& row : rows) {
      const double got = out[static_cast<std::size_t>(row.l)];
      if (row.l < 40) {
        const double err = std::fabs(got - row.value);
        worst_low = std::max(worst_low, err);
        EXPECT_LE(err, 4e-15) << "m=" << m << " n=" << n << " x=" << x << " l=" << row.l
                              << " got " << got << " want " << row.value;
      } else if (std::fabs(row.value) < 1e-300) {
        EXPECT_LE(std::fabs(got - row.value), 1e-310)
            << "m=" << m << " n=" << n << " x=" << x << " l=" << row.l << " got " << got
            << " want " << row.value;
      } else {
        const double err = rel_err(got, row.value);
        worst_high = std::max(worst_high, err);
        EXPECT_LE(err, 1e-12) << "m=" << m << " n=" << n << " x=" << x << " l=" << row.l
                              << " got " << got << " want " << row.value;
      }
    }
  }
  std::printf("worst absolute error l < 40: %.3g, worst relative error l >= 40: %.3g\n", worst_low,
              worst_high);
}

// Issue 5: the extended-exponent step runs once per degree (read as a loop it
// would never end). d^l_{0,400}(0.9999) starts near 2^-3000, is 0 in doubles up
// to l ~ 3000 and re-enters the normal range just before l = 3999.
TEST(WignerD, Issue5ExtendedExponentReentersDoubleRange) {
  const auto out = wigner(0, 400, 0.9999, 4000);
  for (std::size_t l = 0; l < 3000; ++l) EXPECT_EQ(out[l], 0.0) << l;
  EXPECT_LE(rel_err(out[3999], 4.3188282248613287e-290), 1e-12);
  EXPECT_LE(rel_err(out[3998], 3.910345634235662e-290), 1e-12);
  // Every entry from the first non-zero one on is finite and positive (no
  // sign change happens this close to x = 1 for l that small).
  bool seen = false;
  for (std::size_t l = 0; l < 4000; ++l) {
    ASSERT_TRUE(std::isfinite(out[l]));
    if (out[l] != 0.0) seen = true;
    if (seen) {
      EXPECT_GT(out[l], 0.0) << l;
    }
  }
  EXPECT_TRUE(seen);
}

TEST(WignerD, ClosedForms) {
  for (double x : {-1.0, -0.95, -0.9, -0.5, -0.0, 0.0, 0.3, 0.89, 0.9, 0.999, 1.0}) {
    const double y = (1.0 - x) * (1.0 + x);
    const auto d10 = wigner(1, 0, x, 3);
    EXPECT_NEAR(d10[1], -std::sqrt(y / 2.0), 2e-16) << x;
    const auto d02 = wigner(0, 2, x, 5);
    EXPECT_NEAR(d02[2], std::sqrt(6.0) / 4.0 * y, 4e-16) << x;
    const auto d22 = wigner(2, 2, x, 5);
    EXPECT_NEAR(d22[2], ((1.0 + x) / 2.0) * ((1.0 + x) / 2.0), 4e-16) << x;
    const auto d2m2 = wigner(2, -2, x, 5);
    EXPECT_NEAR(d2m2[2], ((1.0 - x) / 2.0) * ((1.0 - x) / 2.0), 4e-16) << x;
    // d^l_00 = P_l by Bonnet's recurrence (itself inaccurate near |x| = 1,
    // where the mpmath table covers P_l).
    if (std::fabs(x) > 0.9) continue;
    const auto d00 = wigner(0, 0, x, 60);
    double p0 = 1.0, p1 = x;
    EXPECT_EQ(d00[0], 1.0);
    EXPECT_EQ(d00[1], x);
    for (int l = 1; l + 1 < 60; ++l) {
      const double p2 = ((2 * l + 1) * x * p1 - l * p0) / (l + 1);
      EXPECT_NEAR(d00[static_cast<std::size_t>(l + 1)], p2, 4e-15) << "x=" << x << " l=" << l + 1;
      p0 = p1;
      p1 = p2;
    }
  }
}

TEST(WignerD, AtOneIsKroneckerDelta) {
  for (auto [m, n] : {std::pair{0, 0}, {3, 3}, {-4, -4}, {2, -2}, {1, 0}, {0, 5}, {6, 2}}) {
    const auto out = wigner(m, n, 1.0, 30);
    const std::size_t l_min = static_cast<std::size_t>(std::max(std::abs(m), std::abs(n)));
    for (std::size_t l = l_min; l < 30; ++l) EXPECT_EQ(out[l], m == n ? 1.0 : 0.0) << m << n << l;
  }
}

// sum_n d^l_mn(x)^2 = 1 (the rows of a rotation matrix are unit vectors).
TEST(WignerD, Unitarity) {
  for (double x : {-0.97, -0.4, 0.0, 0.6, 0.93, 0.99999}) {
    for (int m : {0, 3, -7}) {
      const int l_max = 60;
      std::vector<std::vector<double>> rows;
      for (int n = -l_max; n <= l_max; ++n) rows.push_back(wigner(m, n, x, l_max + 1));
      for (int l : {7, 20, 60}) {
        double sum = 0.0;
        for (int n = -l; n <= l; ++n) {
          const double d = rows[static_cast<std::size_t>(n + l_max)][static_cast<std::size_t>(l)];
          sum += d * d;
        }
        EXPECT_NEAR(sum, 1.0, 1e-13) << "x=" << x << " m=" << m << " l=" << l;
      }
    }
  }
}

// d^l_mn = (-1)^(m-n) d^l_nm = d^l_{-n,-m}.
TEST(WignerD, Symmetries) {
  for (double x : {-0.95, -0.3, 0.2, 0.91, 0.9999}) {
    for (auto [m, n] : {std::pair{2, 5}, {-3, 1}, {0, -4}, {6, 6}, {7, -2}}) {
      const auto a = wigner(m, n, x, 40);
      const auto b = wigner(n, m, x, 40);
      const auto c = wigner(-n, -m, x, 40);
      const double sign = (m - n) % 2 != 0 ? -1.0 : 1.0;
      for (std::size_t l = 0; l < 40; ++l) {
        EXPECT_NEAR(a[l], sign * b[l], 4e-15) << x << " " << m << " " << n << " " << l;
        EXPECT_NEAR(a[l], c[l], 4e-15) << x << " " << m << " " << n << " " << l;
      }
    }
  }
}

// After the mirror x -> -x every second entry from l_min on has its sign bit
// flipped, zeros included; -0.0 is not mirrored.
TEST(WignerD, MirrorFlipsSignBits) {
  // x = -1 is mirrored to x' = 1 with n' = -n; there every entry is a zero.
  for (auto [m, n] : {std::pair{1, 0}, {0, 3}, {2, -1}}) {
    const auto mirrored = wigner(m, n, -1.0, 8);
    const auto direct = wigner(m, -n, 1.0, 8);
    for (std::size_t l = 0; l < 8; ++l) {
      EXPECT_EQ(mirrored[l], 0.0);
      const bool odd = l >= static_cast<std::size_t>(std::max(std::abs(m), std::abs(n))) &&
                       (static_cast<int>(l) + m) % 2 != 0;
      EXPECT_EQ(bits(mirrored[l]), bits(odd ? -direct[l] : direct[l])) << m << " " << n << " " << l;
    }
  }
  const auto p = wigner(0, 0, -1.0, 5);
  for (std::size_t l = 0; l < 5; ++l) EXPECT_EQ(p[l], l % 2 != 0 ? -1.0 : 1.0);
  const auto z = wigner(0, 0, -0.0, 3);
  EXPECT_EQ(bits(z[1]), bits(-0.0));
  EXPECT_EQ(z[2], -0.5);
}

TEST(WignerD, BelowLowestDegreeIsZero) {
  const auto out = wigner(5, -3, 0.4, 5);
  for (double v : out) EXPECT_EQ(bits(v), bits(0.0));
  const auto part = wigner(-4, 2, 0.4, 8);
  for (std::size_t l = 0; l < 4; ++l) EXPECT_EQ(bits(part[l]), bits(0.0));
  EXPECT_NE(part[4], 0.0);
  std::vector<double> empty;
  EXPECT_TRUE(wigner_d<double>(0, 0, 0.5, empty).has_value());
}

// Issue 5: m or n = -2^31 (reachable from Python) gives zeros, no overflow.
TEST(WignerD, Issue5MostNegativeIndexGivesZeros) {
  const std::int32_t lo = std::numeric_limits<std::int32_t>::min();
  for (auto [m, n] : {std::pair{lo, 0}, {0, lo}, {lo, lo}, {lo, std::numeric_limits<std::int32_t>::max()}}) {
    for (double x : {-1.0, -0.95, 0.0, 0.5, 1.0}) {
      const auto out = wigner(m, n, x, 16);
      for (double v : out) EXPECT_EQ(bits(v), bits(0.0));
    }
  }
}

TEST(WignerD, RefusesArgumentOutsideDomain) {
  const std::pair<double, const char*> cases[] = {
      {std::nan(""), "NaN"},
      {1.0000000000000002, "1.0000000000000002"},
      {2.0, "2.0"},
      {-1e20, "-1e20"},
      {-INFINITY, "-inf"},
  };
  for (const auto& [x, text] : cases) {
    std::vector<double> out(4, 7.0);
    auto r = wigner_d<double>(0, 0, x, out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), vantok::Error::Kind::InvalidInput);
    EXPECT_EQ(r.error().message(), std::string("wigner_d needs -1 <= x <= 1, got ") + text);
    for (double v : out) EXPECT_EQ(v, 7.0);
  }
}

// mul_pow2 rounds once, also into the subnormals, as ldexp does.
TEST(WignerD, MulPow2RoundsOnce) {
  const double values[] = {1.0, 1.5, -1.9999999999999998, 1.2345678901234567, 3e-310, -5e-324,
                           1.7976931348623157e308, 0x1.fffffffffffffp-900};
  const std::int64_t exponents[] = {-1, -1000, -1060, -1073, -1074, -1075, -1100, -2000, 1, 500, 1000};
  for (double v : values) {
    for (std::int64_t e : exponents) {
      const int ev = std::ilogb(v);
      if (ev + e > 1023) continue;
      EXPECT_EQ(bits(mul_pow2(v, e)), bits(std::ldexp(v, static_cast<int>(e)))) << v << " " << e;
    }
  }
  EXPECT_EQ(bits(mul_pow2(-0.0, -5)), bits(-0.0));
  EXPECT_EQ(mul_pow2(static_cast<double>(INFINITY), -3000), INFINITY);
  EXPECT_TRUE(std::isnan(mul_pow2(std::nan(""), 7)));
}

}  // namespace
