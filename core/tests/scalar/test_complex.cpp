// Complex numbers over every scalar: the textbook product through non-finite
// values, the branch rules of the guarded reciprocal bit for bit, its accuracy
// (f64 against long double, double-double by |z inv(z) - 1|) and the dual
// reciprocal's partials against -1/z^2.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "support/scalar_compare.hpp"
#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"

using vantok::Complex;
using vantok::complex::inv;
using namespace vantok::scalar;
using vantok::test::same_bits;
using vantok::test::same_dd;

namespace {

using DD = DoubleDouble;
using D = Dual<double, 4>;
using DDual = Dual<DD, 4>;
using CD = Complex<double>;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The direct formula conj(z)/|z|^2 holds strictly inside 1e-300 < |z|^2 <
// 1e300 with im != 0; elsewhere Smith's method, a tie dividing by re. The
// bound cases (found by search) have |z|^2 rounding exactly to a bound, where
// the direct formula would round the real part differently.
TEST(ComplexInv, BranchRulesBitForBit) {
  struct Case {
    CD z, want;
  };
  const Case cases[] = {
      {{3.0, 4.0}, {0.12, -0.16}},
      {{2.0, 0.0}, {0.5, -0.0}},
      {{2.0, -0.0}, {0.5, 0.0}},
      {{0.0, 0.0}, {NaN, NaN}},
      {{NaN, 1.0}, {NaN, NaN}},
      {{1e-200, 1e-200}, {5e199, -5e199}},
      // |z|^2 overflows: t = 0.5 and d = 2.5e200 rounded down by one ulp.
      {{1e200, 2e200}, {std::nextafter(2e-201, 1.0), -std::nextafter(4e-201, 1.0)}},
      {{8.847292784866904e-151, 4.661052496898315e-151}, {8.847292784866904e+149, -4.661052496898315e+149}},
      {{8.270044870938635e+149, 5.621953204417624e+149}, {8.270044870938633e-151, -5.621953204417623e-151}},
  };
  for (const Case& c : cases) {
    const CD got = inv(c.z);
    EXPECT_TRUE(same_bits(got.re, c.want.re) && same_bits(got.im, c.want.im)) << c.z.re << " " << c.z.im;
  }
  // The same rules over double-double.
  const Complex<DD> two = inv(Complex<DD>{DD(2.0, 0.0), DD(0.0, 0.0)});
  EXPECT_TRUE(same_dd(two.re, DD(0.5, 0.0)) && same_dd(two.im, DD(-0.0, 0.0)));
  // The product has no Annex G recovery: (inf, NaN)(1, 0) is (NaN, NaN).
  const CD q = CD{INFINITY, NaN} * CD{1.0, 0.0};
  EXPECT_TRUE(std::isnan(q.re) && std::isnan(q.im));
  EXPECT_EQ(vantok::complex::abs(CD{3e307, 4e307}), 5e307);
}

// f64: within 2.5 ulp per part of the correctly rounded value (long double).
// Double-double: a few u^2 on the direct path while |z|^2 stays within about
// 2^+-880, and on Smith's path beyond 1e+-300 (near the bounds a trailing part
// goes subnormal and only about 80 bits remain).
TEST(ComplexInv, Accuracy) {
  std::mt19937_64 gen(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 0; i < 10000; ++i) {
    const double re = 128.0 * u(gen), im = u(gen) / 32.0;
    const CD got = inv(CD{re, im});
    const long double s = static_cast<long double>(re) * re + static_cast<long double>(im) * im;
    const double want_re = static_cast<double>(re / s), want_im = static_cast<double>(-im / s);
    EXPECT_LE(std::fabs(got.re - want_re), 2.5 * std::fabs(std::nextafter(want_re, INFINITY) - want_re));
    EXPECT_LE(std::fabs(got.im - want_im), 2.5 * std::fabs(std::nextafter(want_im, INFINITY) - want_im));
  }
  std::uniform_int_distribution<int> direct(-400, 400), smith(520, 640);
  for (int i = 0; i < 5000; ++i) {
    const int e = i % 2 == 0 ? direct(gen) : (i % 4 == 1 ? smith(gen) : -smith(gen));
    const int spread = i % 2 == 0 ? 40 : 10;  // Smith's cases keep |z|^2 beyond 1e+-300
    const double s1 = std::ldexp(1.0, e), s2 = std::ldexp(1.0, e + static_cast<int>(u(gen) * spread));
    const Complex<DD> z{DD(u(gen) * s1, 0.0) + u(gen) * s1 * 0x1p-54, DD(u(gen) * s2, 0.0) + u(gen) * s2 * 0x1p-54};
    const Complex<DD> p = z * inv(z);
    // The reciprocal (~5u^2), two products and a sum, then the check's own product.
    ASSERT_LE(std::hypot((p.re.hi - 1.0) + p.re.lo, p.im.hi + p.im.lo), 32 * 0x1p-106)
        << vantok::test::hex(z.re) << " " << vantok::test::hex(z.im);
  }
}

// The dual members compute their values exactly as f64 and double-double do,
// on every path, and their partials are d(1/z)/d(re) = -1/z^2 and
// d(1/z)/d(im) = -i/z^2. At z = 0 with a non-zero re partial the partials of
// the other directions stay -0.0.
TEST(ComplexInv, DualValuesAndDerivatives) {
  std::mt19937_64 gen(9);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> ex(-300, 300);
  for (int i = 0; i < 3000; ++i) {
    const int e = i % 3 == 0 ? 0 : ex(gen);
    const double re = u(gen) * std::ldexp(1.0, e);
    const double im = i % 7 == 0 ? 0.0 : u(gen) * std::ldexp(1.0, e + static_cast<int>(u(gen) * 10));
    const CD w = inv(CD{re, im});
    const Complex<D> wd = inv(Complex<D>{D::variable(re, 0), D::variable(im, 1)});
    ASSERT_TRUE(same_bits(wd.re.value, w.re) && same_bits(wd.im.value, w.im)) << re << " " << im;
    const Complex<DD> wq = inv(Complex<DD>{DD(re, 0.0), DD(im, 0.0)});
    const Complex<DDual> wqd = inv(Complex<DDual>{DDual::variable(DD(re, 0.0), 0), DDual::variable(DD(im, 0.0), 1)});
    ASSERT_TRUE(same_dd(wqd.re.value, wq.re) && same_dd(wqd.im.value, wq.im)) << re << " " << im;
    const double scale = w.re * w.re + w.im * w.im;
    if (!std::isfinite(scale) || scale < 1e-290) continue;
    const CD w2 = w * w;
    EXPECT_NEAR(wd.re.partials[0], -w2.re, 1e-14 * scale);
    EXPECT_NEAR(wd.im.partials[0], -w2.im, 1e-14 * scale);
    EXPECT_NEAR(wd.re.partials[1], w2.im, 1e-14 * scale);
    EXPECT_NEAR(wd.im.partials[1], -w2.re, 1e-14 * scale);
    EXPECT_TRUE(wd.re.partials[2] == 0.0 && wd.im.partials[3] == 0.0);
    const Complex<DD> wq2 = wq * wq;
    EXPECT_LE(std::fabs((wqd.re.partials[0] + wq2.re).hi), 64 * 0x1p-106 * scale);
    EXPECT_LE(std::fabs((wqd.im.partials[1] + wq2.re).hi), 64 * 0x1p-106 * scale);
  }
  const Complex<D> at_zero = inv(Complex<D>{D::variable(0.0, 0), D::constant(0.0)});
  EXPECT_TRUE(vantok::test::same_dual(at_zero.re, NaN, {NaN, -0.0, -0.0, -0.0}));
  EXPECT_TRUE(vantok::test::same_dual(at_zero.im, NaN, {NaN, -0.0, -0.0, -0.0}));
  const Complex<DDual> dd_zero = inv(Complex<DDual>{DDual::variable(DD(), 0), DDual::constant(DD())});
  EXPECT_TRUE(std::isnan(dd_zero.re.value.hi) && dd_zero.re.partials[1].hi == 0.0 &&
              std::signbit(dd_zero.re.partials[1].hi));
}

}  // namespace
