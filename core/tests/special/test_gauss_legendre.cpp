// Gauss-Legendre rules against 40-digit Newton roots (gen_gauss_legendre.py),
// their exact mirror symmetry and polynomial exactness on both the Newton
// (n <= 100) and the asymptotic path, and the refusals.
#include "vantok/special/gauss_legendre.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "support/table.hpp"

namespace {

namespace gl = vantok::special::gauss_legendre;
using gl::gauss_legendre;
using vantok::test::bits;
using D = vantok::scalar::dual::Dual<double, 4>;

std::pair<std::vector<double>, std::vector<double>> rule(std::size_t n) {
  auto r = gauss_legendre<double>(n);
  EXPECT_TRUE(r.has_value()) << n;
  return *r;
}

// Newton in double-double: each node within 1 ulp and each weight within 2
// ulp for n <= 100. The asymptotic expansions are good to about 4e-16 in the
// nodes and 6e-16 relative in the weights, checked at 1e-15 and 2e-15.
TEST(GaussLegendre, MatchesHighPrecisionReference) {
  std::map<std::size_t, std::vector<vantok::test::Record>> table;
  for (const auto& r : vantok::test::read_table("gauss_legendre.txt")) table[std::stoull(r.tag)].push_back(r);
  ASSERT_TRUE(table.count(100) && table.count(131072));
  auto ulps = [](double a, double b) { return std::llabs(static_cast<std::int64_t>(bits(a) - bits(b))); };
  for (const auto& [n, refs] : table) {
    const auto [nodes, weights] = rule(n);
    for (const auto& r : refs) {
      const std::size_t i = n - 1 - r.count(0);
      const double x = nodes[i], w = weights[i];
      if (n <= 100) {
        EXPECT_LE(ulps(x, r.num(1)), 1) << "n=" << n << " i=" << i << " x=" << x;
        EXPECT_LE(ulps(w, r.num(2)), 2) << "n=" << n << " i=" << i << " w=" << w;
      } else {
        EXPECT_LE(std::fabs(x - r.num(1)), 1e-15) << "n=" << n << " i=" << i << " x=" << x;
        EXPECT_LE(vantok::test::rel_err(w, r.num(2)), 2e-15) << "n=" << n << " i=" << i << " w=" << w;
      }
    }
  }
}

// Ascending nodes mirrored bit for bit with a +0.0 middle node for odd n,
// positive mirrored weights, and sum w x^(2k) = 2/(2k+1) for 2k <= 2n - 1
// (summed with Neumaier's compensation, so that the check measures the rule).
// The dual rule carries the same values and zero partials.
TEST(GaussLegendre, SymmetricAndExact) {
  for (std::size_t n : {1, 2, 5, 64, 99, 100, 101, 150, 1000, 4097, 131072}) {
    const auto [nodes, weights] = rule(n);
    ASSERT_EQ(nodes.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      if (2 * i + 1 != n) {
        ASSERT_EQ(bits(nodes[n - 1 - i]), bits(-nodes[i])) << n << " " << i;
      }
      ASSERT_EQ(bits(weights[n - 1 - i]), bits(weights[i])) << n << " " << i;
      ASSERT_GT(weights[i], 0.0);
      if (i + 1 < n) {
        ASSERT_LT(nodes[i], nodes[i + 1]) << n << " " << i;
      }
    }
    if (n % 2 != 0) {
      EXPECT_EQ(bits(nodes[n / 2]), bits(0.0)) << n;
    }
    for (std::size_t k = 0; 2 * k <= 2 * n - 1 && k <= 120; k += (k < 6 ? 1 : 23)) {
      double sum = 0.0, c = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double t = weights[i] * std::pow(nodes[i], static_cast<double>(2 * k));
        const double s = sum + t;
        c += std::fabs(sum) >= std::fabs(t) ? (sum - s) + t : (t - s) + sum;
        sum = s;
      }
      EXPECT_NEAR(sum + c, 2.0 / static_cast<double>(2 * k + 1), 1e-14) << "n=" << n << " k=" << k;
    }
    if (n > 1000) continue;
    const auto dual = gauss_legendre<D>(n);
    ASSERT_TRUE(dual.has_value());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(bits(dual->first[i].value), bits(nodes[i]));
      ASSERT_EQ(bits(dual->second[i].value), bits(weights[i]));
      for (std::size_t p = 0; p < 4; ++p) {
        ASSERT_TRUE(bits(dual->first[i].partials[p]) == 0 && bits(dual->second[i].partials[p]) == 0);
      }
    }
  }
}

// Counts out of range are refused before anything is allocated; a degree
// outside the recurrence's tables is a caller fault, never a read past them.
TEST(GaussLegendre, Refusals) {
  using vantok::test::expect_error;
  constexpr auto invalid = vantok::Error::Kind::InvalidInput;
  expect_error(gauss_legendre<double>(0), invalid, "Gauss-Legendre rule needs n >= 1");
  expect_error(gauss_legendre<D>(0), invalid, "Gauss-Legendre rule needs n >= 1");
  expect_error(gauss_legendre<double>(131073), invalid, "Gauss-Legendre rule needs n <= 131072, got 131073");
  expect_error(gauss_legendre<double>(SIZE_MAX), invalid,
               "Gauss-Legendre rule needs n <= 131072, got 18446744073709551615");
  const vantok::special::gauss_legendre::Recurrence recurrence(6);
  const vantok::scalar::DoubleDouble half{0.5, 0.0};
  EXPECT_THROW((void)recurrence.legendre_and_derivative(half, 7), vantok::InternalFailure);
  EXPECT_THROW((void)recurrence.legendre_and_derivative(half, 0), vantok::InternalFailure);
  EXPECT_THROW((void)recurrence.root_and_weight(40, 0), vantok::InternalFailure);
}

// The Newton rules (n <= 100) are made once per process and then copied out:
// every call, first or later, from many threads at once, gives the same bits
// (their values are checked against the reference above), and a caller's copy
// is its own.
TEST(GaussLegendreCache, EveryCallFromEveryThreadHasTheSameBits) {
  constexpr std::size_t THREADS = 8;
  using Rule = std::pair<std::vector<double>, std::vector<double>>;
  std::vector<std::vector<Rule>> seen(THREADS, std::vector<Rule>(2 * 101));
  std::vector<std::vector<double>> dual_middle(THREADS, std::vector<double>(101));
  std::barrier start(static_cast<std::ptrdiff_t>(THREADS));
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::size_t> order;
      for (std::size_t n = 1; n <= 100; ++n) order.push_back(n);
      std::shuffle(order.begin(), order.end(), std::mt19937_64(t));
      start.arrive_and_wait();
      for (std::size_t pass = 0; pass < 2; ++pass) {
        for (const std::size_t n : order) {
          auto rule = gl::gauss_legendre<double>(n);
          auto dual = gl::gauss_legendre<D>(n);
          if (!rule || !dual) continue;
          seen[t][pass * 101 + n] = *rule;
          dual_middle[t][n] = dual->first[n / 2].value;
          rule->first[0] = 7.0;  // the copy is the caller's: changing it changes no later call
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (std::size_t n = 1; n <= 100; ++n) {
    const Rule want = *gauss_legendre<double>(n);
    for (std::size_t t = 0; t < THREADS; ++t) {
      for (const Rule& got : {seen[t][n], seen[t][101 + n]}) {
        ASSERT_EQ(got.first.size(), n) << "thread " << t;
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_TRUE(bits(got.first[i]) == bits(want.first[i]) && bits(got.second[i]) == bits(want.second[i]))
              << "n = " << n << ", thread " << t << ", node " << i;
        }
      }
      ASSERT_EQ(bits(dual_middle[t][n]), bits(want.first[n / 2])) << "n = " << n << ", thread " << t;
    }
  }
}

}  // namespace
