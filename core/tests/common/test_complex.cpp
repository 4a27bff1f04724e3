#include "vantok/complex.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/compare.hpp"

using vantok::Complex;
using vantok::complex::inv;
using vantok::test::same_bits;

namespace {
void expect_bits(Complex<double> got, double re, double im) {
  EXPECT_TRUE(same_bits(got.re, re)) << got.re << " vs " << re;
  EXPECT_TRUE(same_bits(got.im, im)) << got.im << " vs " << im;
}
}  // namespace

TEST(ComplexInv, BranchCases) {
  expect_bits(inv({3.0, 4.0}), 0.12, -0.16);
  expect_bits(inv({2.0, 0.0}), 0.5, -0.0);
  expect_bits(inv({2.0, -0.0}), 0.5, 0.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  expect_bits(inv({0.0, 0.0}), nan, nan);
  expect_bits(inv({1e-200, 1e-200}), 5e199, -5e199);
  // |z|^2 overflows: Smith's second branch, t = 0.5 and d = 2.5e200 rounded
  // down by one ulp, so the parts sit one ulp above 2e-201 and 4e-201.
  expect_bits(inv({1e200, 2e200}), std::nextafter(2e-201, 1.0), -std::nextafter(4e-201, 1.0));
  expect_bits(inv({1e-150, 1e-150}), 5e149, -5e149);
  const Complex<double> with_nan = inv({nan, 1.0});
  EXPECT_TRUE(std::isnan(with_nan.re) && std::isnan(with_nan.im));
}

// |z|^2 exactly at a bound must take Smith's method. For these inputs (found
// by search) re^2 + im^2 rounds exactly to the bound, and the direct formula
// would round the real part differently, so the bits tell which path ran.
TEST(ComplexInv, BoundsAreExclusive) {
  struct Case {
    double re, im, bound, smith_re, smith_im, direct_re;
  };
  const Case cases[] = {
      {8.847292784866904e-151, 4.661052496898315e-151, 1e-300, 8.847292784866904e+149,
       -4.661052496898315e+149, 8.847292784866903e+149},
      {8.270044870938635e+149, 5.621953204417624e+149, 1e300, 8.270044870938633e-151,
       -5.621953204417623e-151, 8.270044870938635e-151},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.re * c.re + c.im * c.im, c.bound);
    const Complex<double> got = inv({c.re, c.im});
    expect_bits(got, c.smith_re, c.smith_im);
    EXPECT_NE(got.re, c.direct_re);
  }
}

TEST(Complex, ArithmeticFollowsTextbookFormulas) {
  const Complex<double> a{1.5, -2.0};
  const Complex<double> b{0.25, 3.0};
  const Complex<double> p = a * b;
  EXPECT_EQ(p.re, 1.5 * 0.25 - (-2.0) * 3.0);
  EXPECT_EQ(p.im, 1.5 * 3.0 + (-2.0) * 0.25);
  // The product follows (ac - bd, ad + bc) also through non-finite values, with
  // no Annex G recovery: (inf, NaN)(1, 0) is (NaN, NaN).
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Complex<double> q = Complex<double>{INFINITY, nan} * Complex<double>{1.0, 0.0};
  EXPECT_TRUE(std::isnan(q.re) && std::isnan(q.im));
  EXPECT_EQ(vantok::complex::times_i(a), (Complex<double>{2.0, 1.5}));
  EXPECT_EQ(vantok::complex::norm_sqr(Complex<double>{3.0, 4.0}), 25.0);
  EXPECT_EQ(vantok::complex::abs(Complex<double>{3e307, 4e307}), 5e307);
}

// Exhaustive-ish check of the direct path against exact rational arithmetic
// on the binary inputs is done in the Python tests; here the reciprocal must be
// within 2 ulp per part of the correctly rounded value computed in long double.
TEST(ComplexInv, AccurateOnDirectPath) {
  std::uint64_t state = 12345;
  for (int i = 0; i < 10000; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const double re = std::ldexp(static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5, 8);
    state = state * 6364136223846793005u + 1442695040888963407u;
    const double im = std::ldexp(static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5, -5);
    if (im == 0.0) continue;
    const Complex<double> got = inv({re, im});
    const long double s = static_cast<long double>(re) * re + static_cast<long double>(im) * im;
    const double want_re = static_cast<double>(re / s);
    const double want_im = static_cast<double>(-im / s);
    EXPECT_LE(std::fabs(got.re - want_re), 2.5 * std::fabs(std::nextafter(want_re, INFINITY) - want_re));
    EXPECT_LE(std::fabs(got.im - want_im), 2.5 * std::fabs(std::nextafter(want_im, INFINITY) - want_im));
  }
}
