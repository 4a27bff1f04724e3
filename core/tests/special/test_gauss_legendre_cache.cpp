// The Newton rules (n <= 100) are made once per process and then copied out:
// every call, first or later, from many threads at once, gives the bits of
// the roots computed directly by Recurrence::root_and_weight, and a caller's
// copy is its own.
#include "vantok/special/gauss_legendre.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <random>
#include <thread>
#include <vector>

#include "support/compare.hpp"
#include "vantok/scalar/scalars.hpp"

namespace {

namespace gl = vantok::special::gauss_legendre;
using vantok::test::bits;

// The rule straight from the roots: -x at i, +x at n-1-i, weights mirrored.
std::pair<std::vector<double>, std::vector<double>> direct_rule(std::size_t n) {
  std::vector<double> nodes(n), weights(n);
  const gl::Recurrence recurrence(n);
  for (std::size_t i = 0; i < (n + 1) / 2; ++i) {
    auto root = recurrence.root_and_weight(n, i);
    EXPECT_TRUE(root.has_value());
    nodes[i] = -(root->first.hi + root->first.lo);
    nodes[n - 1 - i] = root->first.hi + root->first.lo;
    weights[i] = weights[n - 1 - i] = root->second.hi + root->second.lo;
  }
  return {nodes, weights};
}

bool same(const std::vector<double>& a, const std::vector<double>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](double u, double v) { return bits(u) == bits(v); });
}

TEST(GaussLegendreCache, EveryCallFromEveryThreadHasTheDirectBits) {
  std::vector<std::pair<std::vector<double>, std::vector<double>>> expected(101);
  for (std::size_t n = 1; n <= 100; ++n) expected[n] = direct_rule(n);
  constexpr int THREADS = 8;
  std::barrier start(THREADS);
  std::vector<int> mismatches(THREADS, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::size_t> order;
      for (std::size_t n = 1; n <= 100; ++n) order.push_back(n);
      std::shuffle(order.begin(), order.end(), std::mt19937_64(static_cast<std::uint64_t>(t)));
      start.arrive_and_wait();
      for (int pass = 0; pass < 2; ++pass) {
        for (const std::size_t n : order) {
          auto rule = gl::gauss_legendre<double>(n);
          auto dual = gl::gauss_legendre<vantok::scalar::DualF64>(n);
          if (!rule || !dual || !same(rule->first, expected[n].first) ||
              !same(rule->second, expected[n].second) ||
              bits(dual->first[n / 2].value) != bits(expected[n].first[n / 2])) {
            ++mismatches[static_cast<std::size_t>(t)];
          }
          // The copy is the caller's: changing it changes no later call.
          if (rule) rule->first[0] = 7.0;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

}  // namespace
