// Row error estimates: the closed one-element case (whose probe signs come
// from the first nine xorshift64* outputs of the fixed seed), determinism, and
// that the bounds cover the true change of T under perturbations within them.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "vantok/tmatrix/solve.hpp"

namespace {

using vantok::Complex;
using vantok::tmatrix::solve::error_estimate_rows;
using vantok::tmatrix::solve::solve_f64;
using C = Complex<double>;

std::vector<C> random_matrix(std::size_t n, std::uint64_t seed, double diag) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<C> m(n * n);
  for (C& z : m) z = {u(gen), u(gen)};
  for (std::size_t i = 0; i < n; ++i) m[i * n + i].re += diag;
  return m;
}

TEST(ErrorEstimateRows, ClosedOneByOneCase) {
  // Q = 2, T = 1 + i, dq = 0.5, drg = 0.25, ls = 0. The generator's outputs
  // from the seed have signs + + - | + - - | - + -, the probes (z, sigma,
  // sigma'); y = z / 2, u = sigma dq y, S = sigma' drg y.
  const auto f = solve_f64(std::vector<C>{{2.0, 0.0}}, std::vector<C>{{0.0, 0.0}}, 1);
  ASSERT_TRUE(f.has_value());
  const std::vector<C> t{{1.0, 1.0}};
  const auto [block, rows] = error_estimate_rows(*f, t, std::vector<double>{0.5},
                                                 std::vector<double>{0.25}, std::vector<double>{0.0}, 1);
  // block = 4 max(|tau 0.5 - 0.25|, |tau 0.5 + 0.25|) / 2, rows = 4 (0.25 sqrt 2)
  EXPECT_EQ(block, 1.8027756377319946);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], 1.4142135623730951);
}

TEST(ErrorEstimateRows, EmptyZeroAndDeterministic) {
  const auto f0 = solve_f64({}, {}, 0);
  ASSERT_TRUE(f0.has_value());
  const auto [b0, r0] = error_estimate_rows(*f0, {}, {}, {}, {}, 0);
  EXPECT_EQ(b0, 0.0);
  EXPECT_TRUE(r0.empty());

  const std::size_t n = 12;
  const auto q = random_matrix(n, 1, 3.0);
  const auto rg = random_matrix(n, 2, 0.0);
  const auto f = solve_f64(q, rg, n);
  ASSERT_TRUE(f.has_value());
  std::vector<double> ls(n);
  for (std::size_t i = 0; i < n; ++i) ls[i] = 0.3 * static_cast<double>(i) - 1.0;
  const std::vector<double> zeros(n * n, 0.0);
  const auto [bz, rz] = error_estimate_rows(*f, f->solution, zeros, zeros, ls, n);
  EXPECT_EQ(bz, 0.0);
  for (double e : rz) EXPECT_EQ(e, 0.0);

  std::vector<double> dq(n * n), drg(n * n);
  for (std::size_t e = 0; e < n * n; ++e) {
    dq[e] = 1e-12 * std::hypot(q[e].re, q[e].im);
    drg[e] = 1e-12 * std::hypot(rg[e].re, rg[e].im);
  }
  const auto first = error_estimate_rows(*f, f->solution, dq, drg, ls, n);
  const auto second = error_estimate_rows(*f, f->solution, dq, drg, ls, n);
  EXPECT_EQ(first.first, second.first);
  EXPECT_EQ(first.second, second.second);
  EXPECT_GT(first.first, 0.0);
}

TEST(ErrorEstimateRows, BoundsTrueChangeOfT) {
  // Perturb Q and RgQ element-wise within dq and drg and re-solve; the change
  // of T in unscaled units (T_ij exp(ls_i - ls_j)) stays below the block bound.
  const std::size_t n = 10;
  const auto q = random_matrix(n, 3, 2.0);
  const auto rg = random_matrix(n, 4, 0.0);
  std::vector<double> ls(n);
  for (std::size_t i = 0; i < n; ++i) ls[i] = 0.5 * static_cast<double>(i % 4);
  const auto f = solve_f64(q, rg, n);
  ASSERT_TRUE(f.has_value());
  std::vector<double> dq(n * n), drg(n * n);
  for (std::size_t e = 0; e < n * n; ++e) {
    dq[e] = 1e-9 * std::hypot(q[e].re, q[e].im);
    drg[e] = 1e-9 * std::hypot(rg[e].re, rg[e].im);
  }
  const auto [block, rows] = error_estimate_rows(*f, f->solution, dq, drg, ls, n);

  std::mt19937_64 gen(99);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  double largest = 0.0;
  for (int trial = 0; trial < 20; ++trial) {
    auto q2 = q;
    auto rg2 = rg;
    for (std::size_t e = 0; e < n * n; ++e) {
      // a perturbation of modulus at most the bound, in a random direction
      const double rq = std::fabs(u(gen)), pq = 3.14159 * u(gen);
      const double rr = std::fabs(u(gen)), pr = 3.14159 * u(gen);
      q2[e] += C{dq[e] * rq * std::cos(pq), dq[e] * rq * std::sin(pq)};
      rg2[e] += C{drg[e] * rr * std::cos(pr), drg[e] * rr * std::sin(pr)};
    }
    const auto f2 = solve_f64(q2, rg2, n);
    ASSERT_TRUE(f2.has_value());
    double worst = 0.0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        const C d = f2->solution[i * n + j] - f->solution[i * n + j];
        worst = std::fmax(worst, std::hypot(d.re, d.im) * std::exp(ls[i] - ls[j]));
      }
    EXPECT_LE(worst, block) << "trial " << trial;
    largest = std::fmax(largest, worst);
  }
  // ...and is an estimate, not a vacuous bound.
  EXPECT_LE(block, 100.0 * largest);
  for (double e : rows) EXPECT_GT(e, 0.0);
}

TEST(ErrorEstimateRows, OverflowingScalesGiveInfiniteNotSmallBounds) {
  // ls = 800: exp(-ls) underflows to 0 while exp(ls) overflows; the 0 * inf
  // candidates count as +inf, so the bound cannot come out as 0.
  const std::size_t n = 2;
  const std::vector<C> q{{1.0, 0.0}, {0.5, 0.0}, {0.25, 0.0}, {2.0, 0.0}};
  const std::vector<C> rg{{1.0, 0.0}, {0.0, 1.0}, {1.0, 1.0}, {0.5, 0.0}};
  const auto f = solve_f64(q, rg, n);
  ASSERT_TRUE(f.has_value());
  const std::vector<double> d(n * n, 1e-16);
  const auto [block, rows] = error_estimate_rows(*f, f->solution, d, d, std::vector<double>{800.0, 800.0}, n);
  EXPECT_EQ(block, INFINITY);
  for (double e : rows) EXPECT_EQ(e, INFINITY);
  // A NaN element bound is still skipped as before: the other row keeps its
  // finite bound.
  std::vector<double> dn(n * n, 1e-16);
  dn[0] = NAN;
  const auto [b2, r2] = error_estimate_rows(*f, f->solution, d, dn, std::vector<double>{0.0, 0.0}, n);
  EXPECT_TRUE(std::isfinite(b2));
  EXPECT_TRUE(std::isfinite(r2[1]));
  EXPECT_GT(r2[1], 0.0);
}

}  // namespace
