// The f64 block solve X = -B A^-1: against 60-digit references, the backward
// error of each row, the reconstruction P A^T = L U, and the pivoting and
// failure rules that are fixed to the bit.

#include "vantok/tmatrix/solve.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "tmatrix/solve_table.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::tmatrix::solve::F64Solve;
using vantok::tmatrix::solve::lu_solve;
using vantok::tmatrix::solve::solve_f64;
using C = Complex<double>;
using LC = Complex<long double>;

using vantok::test::max_abs;

constexpr double EPS = std::numeric_limits<double>::epsilon();

LC wide(const C& z) { return {z.re, z.im}; }
long double mag(const LC& z) { return std::hypot(z.re, z.im); }

std::vector<C> random_matrix(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<C> m(n * n);
  for (C& z : m) z = {u(gen), u(gen)};
  return m;
}

// max over rows of |x_c A + b_c| / (|x_c| |A| + |b_c|) in long double: the
// componentwise-normwise backward error of each row solve.
double backward_error(const std::vector<C>& a, const std::vector<C>& b, const std::vector<C>& x,
                      std::size_t n) {
  long double worst = 0.0L;
  const long double anorm = max_abs(a);
  for (std::size_t c = 0; c < n; ++c) {
    long double xnorm = 0.0L, bnorm = 0.0L, rnorm = 0.0L;
    for (std::size_t j = 0; j < n; ++j) {
      LC acc = wide(b[c * n + j]);
      for (std::size_t k = 0; k < n; ++k) acc += wide(x[c * n + k]) * wide(a[k * n + j]);
      rnorm = std::max(rnorm, mag(acc));
      xnorm = std::max(xnorm, mag(wide(x[c * n + j])));
      bnorm = std::max(bnorm, mag(wide(b[c * n + j])));
    }
    worst = std::max(worst, rnorm / (static_cast<long double>(n) * xnorm * anorm + bnorm));
  }
  return static_cast<double>(worst);
}

std::string singular_at(std::size_t k) {
  return "the EBCM matrix is singular or not finite at column " + std::to_string(k);
}

TEST(SolveF64, MatchesHighPrecisionReference) {
  for (const auto& c : vantok::test::load_solve_cases()) {
    if (c.name.rfind("random", 0) != 0) continue;  // f64 blocks only
    const auto got = solve_f64(c.a, c.b, c.n);
    ASSERT_TRUE(got.has_value()) << c.name;
    double err = 0.0;
    for (std::size_t i = 0; i < c.n * c.n; ++i) {
      const C d = got->solution[i] - c.x[i];
      err = std::fmax(err, std::hypot(d.re, d.im));
    }
    // Partial pivoting is backward stable, so the forward error is bounded by
    // a small multiple of n cond eps.
    const double tol = 4.0 * static_cast<double>(c.n) * c.cond * EPS;
    EXPECT_LE(err / max_abs(c.x), tol) << c.name << " cond " << c.cond;
  }
}

TEST(SolveF64, RowResidualsAreBackwardStable) {
  for (std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{10}, std::size_t{50}, std::size_t{120}}) {
    const auto a = random_matrix(n, 11 + n);
    const auto b = random_matrix(n, 97 + n);
    const auto got = solve_f64(a, b, n);
    ASSERT_TRUE(got.has_value());
    EXPECT_LE(backward_error(a, b, got->solution, n), 8.0 * EPS) << "n = " << n;
  }
}

TEST(SolveF64, FactorsReconstructPermutedTranspose) {
  const std::size_t n = 30;
  const auto a = random_matrix(n, 5);
  const auto got = solve_f64(a, a, n);
  ASSERT_TRUE(got.has_value());
  const F64Solve& f = *got;
  // (L U)_ij = sum_{k <= min(i, j)} L_ik U_kj with L_ii = 1, compared with
  // A^T[perm[i]][j] = A[j][perm[i]].
  double worst = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      LC acc{0.0L, 0.0L};
      for (std::size_t k = 0; k <= std::min(i, j); ++k) {
        const LC l = k == i ? LC{1.0L, 0.0L} : wide(f.lu[i * n + k]);
        acc += l * wide(f.lu[k * n + j]);
      }
      worst = std::fmax(worst, static_cast<double>(mag(acc - wide(a[j * n + f.perm[i]]))));
    }
  }
  EXPECT_LE(worst, static_cast<double>(n) * 4.0 * EPS * max_abs(a));
  // Partial pivoting keeps every multiplier at most 1 in modulus.
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k < i; ++k) EXPECT_LE(std::hypot(f.lu[i * n + k].re, f.lu[i * n + k].im), 1.0);
}

TEST(SolveF64, ExactCases) {
  const auto b = random_matrix(4, 3);
  // Identity: X = -B exactly.
  std::vector<C> eye(16, C{0.0, 0.0});
  for (int i = 0; i < 4; ++i) eye[static_cast<std::size_t>(i * 5)] = {1.0, 0.0};
  auto got = solve_f64(eye, b, 4);
  ASSERT_TRUE(got.has_value());
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(got->solution[i].re, -b[i].re);
    EXPECT_EQ(got->solution[i].im, -b[i].im);
  }
  // 2 I: the real pivot takes Smith's branch of the reciprocal (0.5 exactly),
  // so X = -B / 2 exactly.
  for (int i = 0; i < 4; ++i) eye[static_cast<std::size_t>(i * 5)] = {2.0, 0.0};
  got = solve_f64(eye, b, 4);
  ASSERT_TRUE(got.has_value());
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(got->solution[i].re, -b[i].re / 2.0);
    EXPECT_EQ(got->solution[i].im, -b[i].im / 2.0);
  }
  // n = 0: three empty vectors.
  got = solve_f64({}, {}, 0);
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(got->lu.empty() && got->perm.empty() && got->solution.empty());
}

TEST(SolveF64, PivotIsFirstOfEqualModuli) {
  // Column 0 of A^T is row 0 of A. Entries of equal modulus keep the upper
  // row; a strictly larger one below is taken.
  const std::vector<C> b(4, C{1.0, 0.0});
  for (const C other : {C{-1.0, 0.0}, C{0.0, 1.0}, C{0.6, 0.8}}) {
    const std::vector<C> a{{1.0, 0.0}, other, {0.0, 0.0}, {1.0, 0.0}};
    const auto got = solve_f64(a, b, 2);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->perm, (std::vector<std::size_t>{0, 1})) << other.re << " " << other.im;
  }
  const std::vector<C> a{{1.0, 0.0}, {0.0, 1.5}, {1.0, 0.0}, {1.0, 0.0}};
  const auto got = solve_f64(a, b, 2);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->perm, (std::vector<std::size_t>{1, 0}));
  // The exchange moved the whole row: U's first row is A^T row 1 = column 1 of A.
  EXPECT_EQ(got->lu[0], (C{0.0, 1.5}));
  EXPECT_EQ(got->lu[1], (C{1.0, 0.0}));
}

TEST(SolveF64, RefusesSingularOrNonFiniteColumn) {
  auto expect_column = [](const std::vector<C>& a, std::size_t n, std::size_t k) {
    const std::vector<C> b(n * n, C{1.0, 0.0});
    vantok::test::expect_error(solve_f64(a, b, n), Error::Kind::InvalidInput, singular_at(k));
  };
  expect_column({{0.0, 0.0}}, 1, 0);
  expect_column({{NAN, 0.0}}, 1, 0);      // a NaN is never a pivot
  expect_column({{INFINITY, 0.0}}, 1, 0);  // nor is an infinite modulus usable
  // Upper-triangular A^T with a zero in the last diagonal position: every
  // multiplier is 0, the elimination is exact, and column 2 is singular.
  expect_column({{2, 0}, {0, 0}, {0, 0}, {1, 0}, {4, 0}, {0, 0}, {3, 0}, {4, 0}, {0, 0}}, 3, 2);
  // Rows 0 and 1 of A equal: after eliminating column 0, column 1 of A^T is
  // exactly zero below the diagonal.
  expect_column({{1, 0}, {2, 0}, {0.5, 0}, {1, 0}, {2, 0}, {0.5, 0}, {3, 1}, {0, 2}, {1, 1}}, 3, 1);
}

TEST(SolveF64, NanBesidePivotPropagatesWithoutError) {
  // A NaN that never becomes a pivot does not stop the factorisation (the
  // driver, not the solve, refuses non-finite blocks).
  // Here the NaN sits in U above the diagonal (A^T[0][1] = A[1][0]).
  const std::vector<C> a{{2.0, 0.0}, {0.0, 0.0}, {NAN, 0.0}, {1.0, 0.0}};
  const std::vector<C> b(4, C{1.0, 0.0});
  const auto got = solve_f64(a, b, 2);
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(std::isnan(got->solution[0].re));
  EXPECT_EQ(got->solution[1].re, -1.0);
}

TEST(SolveF64, TinyPivotHasFiniteReciprocal) {
  // |z|^2 = 2e-320 is below the direct-formula range; the scaled branch keeps
  // 1/z finite.
  const std::vector<C> a{{1e-160, 1e-160}};
  const std::vector<C> b{{1.0, 0.0}};
  const auto got = solve_f64(a, b, 1);
  ASSERT_TRUE(got.has_value());
  const C x = got->solution[0];
  EXPECT_NEAR(x.re, -5e159, 5e159 * 4 * EPS);
  EXPECT_NEAR(x.im, 5e159, 5e159 * 4 * EPS);
}

// The documented elimination sequence written out with every rounded product forced
// through memory, so that no compiler fusion or vectorization can touch it:
// the library's solve must give the same bits (this fails if a build mode
// contracts the complex products, as GCC's vectorizers do under -mfma).
struct PlainOps {
  static double mul(double a, double b) {
    volatile double p = a * b;
    return p;
  }
  static C cmul(const C& a, const C& b) {
    return {mul(a.re, b.re) - mul(a.im, b.im), mul(a.re, b.im) + mul(a.im, b.re)};
  }
  static C recip(const C& z) {
    const double re = z.re, im = z.im;
    const double s = mul(im, im) + mul(re, re);
    if (im != 0.0 && s > 1e-300 && s < 1e300) {
      const double q = 1.0 / s;
      return {mul(re, q), mul(im, -q)};
    }
    if (std::fabs(re) >= std::fabs(im)) {
      const double t = im / re, d = 1.0 / (mul(im, t) + re);
      return {d, -mul(d, t)};
    }
    const double t = re / im, d = 1.0 / (mul(re, t) + im);
    return {mul(t, d), -d};
  }
};

std::vector<C> reference_solve(const std::vector<C>& a, const std::vector<C>& b, std::size_t n) {
  std::vector<C> lu(n * n);
  std::vector<std::size_t> perm(n);
  for (std::size_t i = 0; i < n; ++i) {
    perm[i] = i;
    for (std::size_t j = 0; j < n; ++j) lu[i * n + j] = a[j * n + i];
  }
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t r = k;
    double best = 0.0;
    for (std::size_t i = k; i < n; ++i) {
      const double m = std::hypot(lu[i * n + k].re, lu[i * n + k].im);
      if (m > best) best = m, r = i;
    }
    for (std::size_t j = 0; j < n; ++j) std::swap(lu[k * n + j], lu[r * n + j]);
    std::swap(perm[k], perm[r]);
    const C rinv = PlainOps::recip(lu[k * n + k]);
    for (std::size_t i = k + 1; i < n; ++i) {
      const C l = PlainOps::cmul(lu[i * n + k], rinv);
      lu[i * n + k] = l;
      if (l.re == 0.0 && l.im == 0.0) continue;
      for (std::size_t j = k + 1; j < n; ++j) {
        const C p = PlainOps::cmul(l, lu[k * n + j]);
        lu[i * n + j] = {lu[i * n + j].re - p.re, lu[i * n + j].im - p.im};
      }
    }
  }
  std::vector<C> x(n * n);
  for (std::size_t c = 0; c < n; ++c) {
    std::vector<C> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = {-b[c * n + perm[i]].re, -b[c * n + perm[i]].im};
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < i; ++j) {
        const C p = PlainOps::cmul(lu[i * n + j], y[j]);
        y[i] = {y[i].re - p.re, y[i].im - p.im};
      }
    for (std::size_t i = n; i-- > 0;) {
      C s = y[i];
      for (std::size_t j = i + 1; j < n; ++j) {
        const C p = PlainOps::cmul(lu[i * n + j], y[j]);
        s = {s.re - p.re, s.im - p.im};
      }
      y[i] = PlainOps::cmul(s, PlainOps::recip(lu[i * n + i]));
    }
    for (std::size_t j = 0; j < n; ++j) x[c * n + j] = y[j];
  }
  return x;
}

TEST(SolveF64, BitForBitThePlainSequence) {
  for (std::size_t n : {std::size_t{2}, std::size_t{7}, std::size_t{33}, std::size_t{64}}) {
    const auto a = random_matrix(n, 1000 + n);
    const auto b = random_matrix(n, 2000 + n);
    const auto got = solve_f64(a, b, n);
    ASSERT_TRUE(got.has_value());
    const auto want = reference_solve(a, b, n);
    for (std::size_t e = 0; e < n * n; ++e) {
      ASSERT_TRUE(vantok::test::same_bits(got->solution[e].re, want[e].re) &&
                  vantok::test::same_bits(got->solution[e].im, want[e].im))
          << "n " << n << " element " << e;
    }
  }
}

TEST(LuSolve, SolvesTransposedSystem) {
  const std::size_t n = 25;
  const auto a = random_matrix(n, 41);
  const auto got = solve_f64(a, a, n);
  ASSERT_TRUE(got.has_value());
  // X A = -A gives X = -I up to rounding.
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      const C z = got->solution[i * n + j];
      EXPECT_NEAR(z.re, i == j ? -1.0 : 0.0, 1e-13);
      EXPECT_NEAR(z.im, 0.0, 1e-13);
    }
  // A^T x = r for a random r.
  const auto r = random_matrix(n, 43);
  std::vector<C> x(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
  lu_solve(got->lu, got->perm, n, x);
  for (std::size_t i = 0; i < n; ++i) {
    LC acc{0.0L, 0.0L};
    for (std::size_t k = 0; k < n; ++k) acc += wide(a[k * n + i]) * wide(x[k]);
    EXPECT_LE(static_cast<double>(mag(acc - wide(r[i]))), 1e-13) << i;
  }
}

}  // namespace
