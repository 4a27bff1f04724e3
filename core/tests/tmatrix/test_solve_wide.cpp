// The block solve over double-double and dual double-double: accuracy on
// blocks far beyond f64 reach, the pivoting and failure rules of the wider
// members, value parts identical to the double-double solve, and partials
// against central differences of double-double solves.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/expect_error.hpp"
#include "support/scalar_compare.hpp"
#include "tmatrix/solve_table.hpp"
#include "vantok/tmatrix/solve.hpp"

namespace {

using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::scalar::DualDD;
using vantok::tmatrix::solve::solve_block;
using C = Complex<double>;
using CDD = Complex<DoubleDouble>;
using CDual = Complex<DualDD>;
using vantok::test::expect_error;
using vantok::test::join;

std::string singular_at(std::size_t k) {
  return "the EBCM matrix is singular or not finite at column " + std::to_string(k);
}

TEST(SolveDoubleDouble, MatchesHighPrecisionReference) {
  for (const auto& c : vantok::test::load_solve_cases()) {
    const auto a = join(c.a, c.alo), b = join(c.b, c.blo);
    const auto got = solve_block<DoubleDouble>(a, b, c.n);
    ASSERT_TRUE(got.has_value()) << c.name;
    double err = 0.0, xmax = 0.0;
    for (std::size_t e = 0; e < c.n * c.n; ++e) {
      const double dr = (got->solution[e].re.hi - c.x[e].re) + (got->solution[e].re.lo - c.xlo[e].re);
      const double di = (got->solution[e].im.hi - c.x[e].im) + (got->solution[e].im.lo - c.xlo[e].im);
      err = std::fmax(err, std::hypot(dr, di));
      xmax = std::fmax(xmax, std::hypot(c.x[e].re, c.x[e].im));
    }
    // Backward stable in double-double: n cond u_dd, even at cond 2e16
    // where the f64 solve has no correct digit.
    EXPECT_LE(err / xmax, 4.0 * static_cast<double>(c.n) * c.cond * 0x1p-104) << c.name;
  }
}

TEST(SolveDoubleDouble, PivotingAndFailures) {
  auto dd = [](double re, double re_lo, double im) { return CDD{{re, re_lo}, {im, 0.0}}; };
  // Equal hi parts: the larger lo decides the pivot; exact ties keep the upper row.
  const std::vector<CDD> b(4, dd(1.0, 0.0, 0.0));
  auto got = solve_block<DoubleDouble>(std::vector<CDD>{dd(1.0, 0.0, 0.0), dd(1.0, 0x1p-60, 0.0), dd(0.0, 0.0, 0.0), dd(1.0, 0.0, 0.0)}, b, 2);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->perm, (std::vector<std::size_t>{1, 0}));
  got = solve_block<DoubleDouble>(std::vector<CDD>{dd(1.0, 0.0, 0.0), dd(-1.0, 0.0, 0.0), dd(0.0, 0.0, 0.0), dd(1.0, 0.0, 0.0)}, b, 2);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->perm, (std::vector<std::size_t>{0, 1}));
  // Zero, NaN and infinite pivot columns.
  for (const CDD z : {dd(0.0, 0.0, 0.0), dd(NAN, 0.0, 0.0), dd(INFINITY, 0.0, 0.0), dd(0.0, 0.0, -INFINITY)}) {
    expect_error(solve_block<DoubleDouble>(std::vector<CDD>{z}, std::vector<CDD>{dd(1.0, 0.0, 0.0)}, 1),
                 vantok::Error::Kind::InvalidInput, singular_at(0));
  }
  // A modulus that is a tiny lo part alone is not zero.
  const auto tiny = solve_block<DoubleDouble>(std::vector<CDD>{dd(0x1p-1000, 0.0, 0.0)}, std::vector<CDD>{dd(0x1p-1000, 0.0, 0.0)}, 1);
  ASSERT_TRUE(tiny.has_value());
  EXPECT_TRUE(vantok::test::same_dd(tiny->solution[0].re, DoubleDouble{-1.0, 0.0}));
}

// A(p) = A + p dA and B(p) = B + p dB with p the dual variable of slot 1.
std::vector<CDual> seeded(const std::vector<CDD>& v, const std::vector<CDD>& dv, std::size_t slot) {
  std::vector<CDual> out(v.size());
  for (std::size_t e = 0; e < v.size(); ++e) {
    out[e].re = DualDD::constant(v[e].re);
    out[e].im = DualDD::constant(v[e].im);
    out[e].re.partials[slot] = dv[e].re;
    out[e].im.partials[slot] = dv[e].im;
  }
  return out;
}

std::vector<CDD> shifted(const std::vector<CDD>& v, const std::vector<CDD>& dv, double h) {
  std::vector<CDD> out(v.size());
  for (std::size_t e = 0; e < v.size(); ++e) {
    out[e].re = v[e].re + vantok::scalar::dd::mul(dv[e].re, h);
    out[e].im = v[e].im + vantok::scalar::dd::mul(dv[e].im, h);
  }
  return out;
}

TEST(SolveDualDoubleDouble, ValuesMatchDoubleDoubleAndPartialsMatchDifferences) {
  for (const auto& c : vantok::test::load_solve_cases()) {
    if (c.name != "random17" && c.name != "cauchy7") continue;
    const auto a = join(c.a, c.alo), b = join(c.b, c.blo);
    // Directions: dA a fixed pattern, dB the transpose pattern of B.
    std::vector<CDD> da(a.size()), db(b.size());
    for (std::size_t i = 0; i < c.n; ++i)
      for (std::size_t j = 0; j < c.n; ++j) {
        da[i * c.n + j] = {{0.25 * static_cast<double>((i + 2 * j) % 5) - 0.5, 0.0}, {0.125 * static_cast<double>(i % 3), 0.0}};
        db[i * c.n + j] = b[j * c.n + i];
      }
    const auto dual = solve_block<DualDD>(seeded(a, da, 1), seeded(b, db, 1), c.n);
    const auto plain = solve_block<DoubleDouble>(a, b, c.n);
    ASSERT_TRUE(dual.has_value() && plain.has_value()) << c.name;
    EXPECT_EQ(dual->perm, plain->perm);
    // The dual arithmetic computes its values exactly as double-double does.
    for (std::size_t e = 0; e < c.n * c.n; ++e) {
      ASSERT_TRUE(vantok::test::same_dd(dual->solution[e].re.value, plain->solution[e].re)) << e;
      ASSERT_TRUE(vantok::test::same_dd(dual->solution[e].im.value, plain->solution[e].im)) << e;
      EXPECT_EQ(dual->solution[e].re.partials[0].hi, 0.0);
    }
    // Central differences in double-double: truncation ~ (h cond)^2 against
    // rounding ~ cond u_dd / h, so the ill-conditioned block takes a much
    // smaller step and a looser tolerance.
    const bool ill = c.cond > 1e8;
    const double h = ill ? 0x1p-47 : 0x1p-20;
    const double tol = ill ? 1e-6 : 1e-10;
    const auto up = solve_block<DoubleDouble>(shifted(a, da, h), shifted(b, db, h), c.n);
    const auto down = solve_block<DoubleDouble>(shifted(a, da, -h), shifted(b, db, -h), c.n);
    ASSERT_TRUE(up.has_value() && down.has_value());
    double err = 0.0, scale = 0.0;
    for (std::size_t e = 0; e < c.n * c.n; ++e) {
      const DoubleDouble fr = (up->solution[e].re - down->solution[e].re) / DoubleDouble{2.0 * h, 0.0};
      const DoubleDouble fi = (up->solution[e].im - down->solution[e].im) / DoubleDouble{2.0 * h, 0.0};
      const DoubleDouble gr = dual->solution[e].re.partials[1], gi = dual->solution[e].im.partials[1];
      err = std::fmax(err, std::hypot((gr - fr).hi, (gi - fi).hi));
      scale = std::fmax(scale, std::hypot(gr.hi, gi.hi));
    }
    EXPECT_LE(err / scale, tol) << c.name;
    EXPECT_GT(scale, 0.0);
  }
}

// A multiplier whose value is exactly 0 but whose partials are not still
// updates its row: the elimination step leaves the values alone but moves the
// partials by -dl u. Here A^T has the entry t below the pivot 2, with t = 0
// and dt = 1 in slot 1, so the multiplier is (0, dl = 1/2).
TEST(SolveDualDoubleDouble, ZeroValuedMultiplierKeepsItsPartials) {
  auto c = [](double re, double im) { return CDD{{re, 0.0}, {im, 0.0}}; };
  // A = [[2, t], [1, 3]] row-major (A^T = [[2, 1], [t, 3]]); dA is 1 at (0, 1).
  const std::vector<CDD> a{c(2.0, 0.0), c(0.0, 0.0), c(1.0, 0.5), c(3.0, 0.0)};
  const std::vector<CDD> da{c(0.0, 0.0), c(1.0, 0.0), c(0.0, 0.0), c(0.0, 0.0)};
  const std::vector<CDD> b{c(1.0, 0.0), c(0.25, -1.0), c(-2.0, 0.5), c(0.5, 0.0)};
  const std::vector<CDD> db(4, c(0.0, 0.0));
  const auto dual = solve_block<DualDD>(seeded(a, da, 1), seeded(b, db, 1), 2);
  ASSERT_TRUE(dual.has_value());
  // The derivative by central differences in double-double; the solution is
  // rational in t, so the O(h^2) truncation at h = 2^-30 is below 1e-17.
  const double h = 0x1p-30;
  const auto up = solve_block<DoubleDouble>(shifted(a, da, h), shifted(b, db, h), 2);
  const auto down = solve_block<DoubleDouble>(shifted(a, da, -h), shifted(b, db, -h), 2);
  ASSERT_TRUE(up.has_value() && down.has_value());
  for (std::size_t e = 0; e < 4; ++e) {
    const DoubleDouble fr = (up->solution[e].re - down->solution[e].re) / DoubleDouble{2.0 * h, 0.0};
    const DoubleDouble fi = (up->solution[e].im - down->solution[e].im) / DoubleDouble{2.0 * h, 0.0};
    EXPECT_NEAR(dual->solution[e].re.partials[1].hi, fr.hi, 1e-14) << e;
    EXPECT_NEAR(dual->solution[e].im.partials[1].hi, fi.hi, 1e-14) << e;
  }
}

TEST(SolveDualDoubleDouble, FailureRules) {
  // A finite value with a non-finite partial in the pivot's modulus is refused.
  std::vector<CDual> a(1), b(1);
  a[0].re = DualDD::constant({2.0, 0.0});
  a[0].im = DualDD::constant({0.0, 0.0});
  b[0] = a[0];
  a[0].re.partials[2] = {INFINITY, 0.0};
  expect_error(solve_block<DualDD>(a, b, 1), vantok::Error::Kind::InvalidInput, singular_at(0));
  // A zero value with non-zero partials is still a zero pivot.
  a[0].re = DualDD::constant({0.0, 0.0});
  a[0].re.partials[0] = {1.0, 0.0};
  expect_error(solve_block<DualDD>(a, b, 1), vantok::Error::Kind::InvalidInput, singular_at(0));
}

}  // namespace
