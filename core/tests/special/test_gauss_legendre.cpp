#include "vantok/special/gauss_legendre.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "support/table.hpp"

namespace {

using vantok::scalar::dd::DoubleDouble;
using vantok::special::gauss_legendre::gauss_legendre;
using vantok::special::gauss_legendre::Recurrence;
using vantok::test::bits;
using vantok::test::rel_err;
using Rule = std::pair<std::vector<double>, std::vector<double>>;

Rule rule(std::size_t n) {
  auto r = gauss_legendre<double>(n);
  EXPECT_TRUE(r.has_value()) << n;
  return *r;
}

// Distance in units in the last place between two finite doubles of one sign.
std::int64_t ulps(double a, double b) {
  if (a == b) return 0;
  if (std::signbit(a) != std::signbit(b)) return INT64_MAX;
  return std::llabs(static_cast<std::int64_t>(bits(a)) - static_cast<std::int64_t>(bits(b)));
}

struct Reference {
  std::size_t i;
  double x;
  double w;
};

// gen_gauss_legendre.py: 40-digit Newton roots, keyed by n.
std::map<std::size_t, std::vector<Reference>> read_table() {
  std::map<std::size_t, std::vector<Reference>> table;
  for (const vantok::test::Record& line : vantok::test::read_table("gauss_legendre.txt")) {
    table[std::stoull(line.tag)].push_back({line.count(0), line.num(1), line.num(2)});
  }
  return table;
}

// Sum with Neumaier's compensation, so that the check measures the rule and
// not the summation of 131072 terms.
double compensated_sum(const std::vector<double>& terms) {
  double sum = 0.0, c = 0.0;
  for (double t : terms) {
    const double s = sum + t;
    c += std::fabs(sum) >= std::fabs(t) ? (sum - s) + t : (t - s) + sum;
    sum = s;
  }
  return sum + c;
}

// Newton in double-double converges to 2^-90: each node is within 1 ulp and
// each weight within 2 ulp of the 40-digit reference (for n <= 100). The
// asymptotic expansions (n >= 101) are good to about 4e-16 in the nodes and
// 6e-16 relative in the weights; checked against 1e-15 and 2e-15 up to the
// largest rule.
TEST(GaussLegendre, MatchesHighPrecisionReference) {
  const auto table = read_table();
  ASSERT_EQ(table.count(100), 1u);
  ASSERT_EQ(table.count(131072), 1u);
  for (const auto& [n, refs] : table) {
    const auto [nodes, weights] = rule(n);
    for (const auto& ref : refs) {
      const double x = nodes[n - 1 - ref.i];
      const double w = weights[n - 1 - ref.i];
      if (n <= 100) {
        EXPECT_LE(ulps(x, ref.x), 1) << "n=" << n << " i=" << ref.i << " x=" << x << " want " << ref.x;
        EXPECT_LE(ulps(w, ref.w), 2) << "n=" << n << " i=" << ref.i << " w=" << w << " want " << ref.w;
      } else {
        EXPECT_LE(std::fabs(x - ref.x), 1e-15) << "n=" << n << " i=" << ref.i << " x=" << x
                                               << " want " << ref.x;
        EXPECT_LE(rel_err(w, ref.w), 2e-15) << "n=" << n << " i=" << ref.i << " w=" << w << " want "
                                            << ref.w;
      }
    }
  }
}

TEST(GaussLegendre, SmallRules) {
  const auto [x1, w1] = rule(1);
  EXPECT_EQ(bits(x1[0]), bits(0.0));
  EXPECT_EQ(w1[0], 2.0);
  const auto [x2, w2] = rule(2);
  EXPECT_EQ(x2[0], -0.5773502691896257);
  EXPECT_EQ(x2[1], 0.5773502691896257);
  EXPECT_EQ(w2[0], 1.0);
  EXPECT_EQ(w2[1], 1.0);
  const auto [x3, w3] = rule(3);
  EXPECT_EQ(x3[0], -0.7745966692414834);
  EXPECT_EQ(bits(x3[1]), bits(0.0));
  EXPECT_EQ(x3[2], 0.7745966692414834);
  EXPECT_EQ(w3[0], 0.5555555555555556);
  EXPECT_EQ(w3[1], 0.8888888888888888);
  EXPECT_EQ(w3[2], 0.5555555555555556);
}

// Ascending nodes, exact mirror symmetry of nodes and weights, and a +0.0
// middle node for odd n, on both paths.
TEST(GaussLegendre, SymmetricBitForBit) {
  for (std::size_t n : {4, 5, 31, 64, 99, 100, 101, 102, 257, 1000, 4097, 131071, 131072}) {
    const auto [nodes, weights] = rule(n);
    ASSERT_EQ(nodes.size(), n);
    ASSERT_EQ(weights.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      if (2 * i + 1 != n) {
        ASSERT_EQ(bits(nodes[n - 1 - i]), bits(-nodes[i])) << n << " " << i;
      }
      ASSERT_EQ(bits(weights[n - 1 - i]), bits(weights[i])) << n << " " << i;
      ASSERT_GT(weights[i], 0.0) << n << " " << i;
      if (i + 1 < n) {
        ASSERT_LT(nodes[i], nodes[i + 1]) << n << " " << i;
      }
    }
    if (n % 2 != 0) {
      EXPECT_EQ(bits(nodes[(n - 1) / 2]), bits(0.0)) << n;
    }
    EXPECT_GT(nodes[0], -1.0);
  }
}

// sum w_i x_i^(2k) = 2/(2k+1) for 2k <= 2n - 1 (odd moments vanish by symmetry).
TEST(GaussLegendre, IntegratesPolynomialsExactly) {
  for (std::size_t n : {1, 2, 5, 20, 64, 100, 101, 150, 1000, 4097, 131072}) {
    const auto [nodes, weights] = rule(n);
    for (std::size_t k = 0; 2 * k <= 2 * n - 1 && k <= 200; k += (k < 10 ? 1 : 17)) {
      std::vector<double> terms(n);
      for (std::size_t i = 0; i < n; ++i) {
        double p = 1.0;
        for (std::size_t e = 0; e < 2 * k; ++e) p *= nodes[i];
        terms[i] = weights[i] * p;
      }
      const double want = 2.0 / static_cast<double>(2 * k + 1);
      EXPECT_NEAR(compensated_sum(terms), want, 1e-14) << "n=" << n << " k=" << k;
    }
  }
}

TEST(GaussLegendre, RefusesPointCountsOutOfRange) {
  using vantok::test::expect_error;
  constexpr auto invalid = vantok::Error::Kind::InvalidInput;
  expect_error(gauss_legendre<double>(0), invalid, "Gauss-Legendre rule needs n >= 1");
  expect_error(gauss_legendre<double>(131073), invalid, "Gauss-Legendre rule needs n <= 131072, got 131073");
  // Refused before anything is allocated, whatever the size.
  expect_error(gauss_legendre<double>(SIZE_MAX), invalid,
               "Gauss-Legendre rule needs n <= 131072, got 18446744073709551615");
  expect_error(gauss_legendre<vantok::scalar::dual::Dual<double, 4>>(0), invalid,
               "Gauss-Legendre rule needs n >= 1");
}

TEST(GaussLegendre, DualRuleCarriesZeroPartials) {
  using D = vantok::scalar::dual::Dual<double, 4>;
  for (std::size_t n : {1, 7, 100, 101, 640}) {
    const auto [x, w] = rule(n);
    auto r = gauss_legendre<D>(n);
    ASSERT_TRUE(r.has_value());
    const auto& [dx, dw] = *r;
    ASSERT_EQ(dx.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(bits(dx[i].value), bits(x[i]));
      EXPECT_EQ(bits(dw[i].value), bits(w[i]));
      for (std::size_t p = 0; p < 4; ++p) {
        EXPECT_EQ(bits(dx[i].partials[p]), bits(0.0));
        EXPECT_EQ(bits(dw[i].partials[p]), bits(0.0));
      }
    }
  }
}

TEST(GaussLegendre, RecurrenceGivesLegendreValues) {
  const Recurrence recurrence(6);
  // P_3(1/2) = -7/16, P_3'(1/2) = (15 x^2 - 3)/2 = 3/8, to double-double
  // accuracy (the coefficients 5/3 and 2/3 are rounded).
  const auto [p3, dp3] = recurrence.legendre_and_derivative(DoubleDouble{0.5, 0.0}, 3);
  EXPECT_LE(std::fabs((p3 - DoubleDouble{-0.4375, 0.0}).hi), 0x1p-100);
  EXPECT_LE(std::fabs((dp3 - DoubleDouble{0.375, 0.0}).hi), 0x1p-100);
  // P_1 = x, P_1' = 1.
  const auto [p1, dp1] = recurrence.legendre_and_derivative(DoubleDouble{0.25, 0.0}, 1);
  EXPECT_EQ(p1.hi, 0.25);
  EXPECT_EQ(dp1.hi, 1.0);
  // The largest root of P_2 is 1/sqrt(3): its double-double square is 1/3 to
  // about 2^-100, and its weight is 1.
  auto root = recurrence.root_and_weight(2, 0);
  ASSERT_TRUE(root.has_value());
  const DoubleDouble x = root->first;
  const DoubleDouble third = DoubleDouble::div_f64(DoubleDouble{1.0, 0.0}, 3.0);
  const DoubleDouble diff = x * x - third;
  EXPECT_LE(std::fabs(diff.hi), 0x1p-100);
  EXPECT_LE(std::fabs((root->second - DoubleDouble{1.0, 0.0}).hi), 0x1p-100);
  // The middle root of odd n is exactly 0.
  auto middle = recurrence.root_and_weight(5, 2);
  ASSERT_TRUE(middle.has_value());
  EXPECT_EQ(middle->first.hi, 0.0);
  EXPECT_NEAR(middle->second.hi, 128.0 / 225.0, 1e-16);
}

// A degree above the one the tables were built for, or 0, is a caller fault:
// an internal failure, never a read past the tables.
TEST(GaussLegendre, RecurrenceRefusesDegreesOutsideItsTables) {
  const Recurrence recurrence(6);
  EXPECT_THROW((void)recurrence.legendre_and_derivative(DoubleDouble{0.5, 0.0}, 7), vantok::InternalFailure);
  EXPECT_THROW((void)recurrence.legendre_and_derivative(DoubleDouble{0.5, 0.0}, 0), vantok::InternalFailure);
  EXPECT_THROW((void)recurrence.root_and_weight(40, 0), vantok::InternalFailure);
  EXPECT_NO_THROW((void)recurrence.legendre_and_derivative(DoubleDouble{0.5, 0.0}, 6));
}

}  // namespace
