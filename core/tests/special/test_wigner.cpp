#include "vantok/special/wigner.hpp"

#include "vantok/special/gauss_legendre.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "support/central_difference.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "support/table.hpp"

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
  std::map<std::tuple<int, int, double>, std::vector<Row>> table;
  for (const vantok::test::Record& line : vantok::test::read_table("wigner_d.txt")) {
    table[{std::stoi(line.tag), std::stoi(line.fields.at(0)), line.num(1)}].push_back(
        {std::stoi(line.fields.at(2)), line.num(3)});
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

// sum_k w_k d^l_mn(x_k) d^l'_mn(x_k) = 2/(2l+1) delta_ll' on a Gauss-Legendre
// rule exact for the degree of the product (up to 2 L for L = 79 < 2n).
TEST(WignerD, OrthogonalOnGaussLegendreRule) {
  const std::size_t n_points = 80;
  auto rule = vantok::special::gauss_legendre::gauss_legendre<double>(n_points);
  ASSERT_TRUE(rule.has_value());
  const auto& [nodes, weights] = *rule;
  for (auto [m, n] : {std::pair{0, 0}, {2, 2}, {2, -2}, {0, 2}, {3, -4}}) {
    const std::size_t len = n_points;
    std::vector<std::vector<double>> d;
    for (double x : nodes) d.push_back(wigner(m, n, x, len));
    const std::size_t l_min = static_cast<std::size_t>(std::max(std::abs(m), std::abs(n)));
    for (std::size_t l = l_min; l < len; l += 3) {
      for (std::size_t lp = l_min; lp < len; lp += 5) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n_points; ++k) sum += weights[k] * d[k][l] * d[k][lp];
        const double want = l == lp ? 2.0 / static_cast<double>(2 * l + 1) : 0.0;
        EXPECT_NEAR(sum, want, 1e-14) << m << " " << n << " " << l << " " << lp;
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
    vantok::test::expect_error(wigner_d<double>(0, 0, x, out), vantok::Error::Kind::InvalidInput,
                               std::string("wigner_d needs -1 <= x <= 1, got ") + text);
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

namespace {

using D = vantok::scalar::DualF64;

// The dual instance carries d/dx: its values are those of double bit for bit,
// and its partials match a fourth-order central difference of the double
// instance (step 1e-4: rounding ~1e-12, truncation ~1e-11 for l <= 15 away
// from x = +-1; checked to 1e-8 of max(1, |d'|)).
TEST(WignerDDual, PartialsMatchCentralDifferences) {
  const double h = 1e-4;
  const std::size_t len = 16;
  for (double x : {-0.93, -0.6, -0.2, 0.0, 0.35, 0.85, 0.9, 0.95}) {
    for (auto [m, n] : {std::pair{0, 0}, {2, 2}, {2, -2}, {0, 2}, {3, -1}, {-2, 4}, {1, 1}}) {
      D dx = D::variable(x, 0);
      dx.partials[2] = -3.0;  // a second direction, scaled
      std::vector<D> out(len, D::constant(5.0));
      ASSERT_TRUE(wigner_d<D>(m, n, dx, out).has_value());
      const auto f0 = wigner(m, n, x, len);
      const auto diff = vantok::test::central_difference([&](double s) { return wigner(m, n, x + s, len); }, h);
      for (std::size_t l = 0; l < len; ++l) {
        EXPECT_EQ(bits(out[l].value), bits(f0[l])) << x << " " << m << " " << n << " " << l;
        const double fd = diff[l];
        const double tol = 1e-8 * std::max(1.0, std::fabs(fd));
        EXPECT_NEAR(out[l].partials[0], fd, tol) << x << " " << m << " " << n << " " << l;
        EXPECT_NEAR(out[l].partials[2], -3.0 * fd, 3.0 * tol) << x << " " << m << " " << n << " " << l;
        EXPECT_EQ(out[l].partials[1], 0.0);
        EXPECT_EQ(out[l].partials[3], 0.0);
      }
    }
  }
}

// Values far below the double range: the extended exponent scales the
// partials with the value, so they stay in proportion (d'/d is finite).
TEST(WignerDDual, ExtendedRangeKeepsValuesOfDouble) {
  const std::size_t len = 4000;
  std::vector<D> out(len);
  ASSERT_TRUE(wigner_d<D>(0, 400, D::variable(0.9999, 0), out).has_value());
  const auto f = wigner(0, 400, 0.9999, len);
  for (std::size_t l = 0; l < len; ++l) {
    ASSERT_EQ(bits(out[l].value), bits(f[l])) << l;
    ASSERT_TRUE(std::isfinite(out[l].partials[0])) << l;
  }
  // The partial of the entry that came back into range matches a central
  // difference of the double instance (step 1e-9; the difference itself is
  // good to about 1e-6 here).
  const double h = 1e-9;
  const auto fp = wigner(0, 400, 0.9999 + h, len);
  const auto fm = wigner(0, 400, 0.9999 - h, len);
  const double fd = (fp[3999] - fm[3999]) / (2 * h);
  EXPECT_LE(rel_err(out[3999].partials[0], fd), 1e-5);
}

TEST(WignerDDual, RefusesArgumentByValue) {
  std::vector<D> out(3, D::constant(2.0));
  vantok::test::expect_error(wigner_d<D>(0, 0, D::variable(1.5, 0), out), vantok::Error::Kind::InvalidInput,
                             "wigner_d needs -1 <= x <= 1, got 1.5");
  EXPECT_EQ(out[0].value, 2.0);
}

}  // namespace
