// The guarded complex reciprocal over double-double and dual scalars: branch
// choice, special paths of the partials, and accuracy.

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
using vantok::test::same_dd;
using vantok::test::same_dual;

namespace {
using DD = DoubleDouble;
using D = Dual<double, 4>;
using DDual = Dual<DD, 4>;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

/// Smith's two branches written out, to tell which one ran.
Complex<DD> smith_re(const Complex<DD>& z) {
  const DD t = z.im / z.re;
  const DD rho = recip(z.re + z.im * t);
  return {rho, -(t * rho)};
}
Complex<DD> smith_im(const Complex<DD>& z) {
  const DD t = z.re / z.im;
  const DD rho = recip(z.re * t + z.im);
  return {t * rho, -rho};
}

/// |z inv(z) - 1| in units of u^2 = 2^-106.
double product_error(const Complex<DD>& z, const Complex<DD>& w) {
  const Complex<DD> p = z * w;
  return std::hypot((p.re.hi - 1.0) + p.re.lo, p.im.hi + p.im.lo) / 0x1p-106;
}
}  // namespace

TEST(ComplexInvDoubleDouble, BranchCases) {
  // The f64 cases carried over: 3 + 4i direct, 2 + 0i Smith with a -0.0 part.
  const Complex<DD> a = inv(Complex<DD>{DD{3.0, 0.0}, DD{4.0, 0.0}});
  const DD r = recip(DD{25.0, 0.0});
  EXPECT_TRUE(same_dd(a.re, DD{3.0, 0.0} * r));
  EXPECT_TRUE(same_dd(a.im, -(DD{4.0, 0.0} * r)));
  EXPECT_EQ(a.re.hi, 0.12);
  EXPECT_EQ(a.im.hi, -0.16);
  const Complex<DD> b = inv(Complex<DD>{DD{2.0, 0.0}, DD{0.0, 0.0}});
  EXPECT_TRUE(same_dd(b.re, DD{0.5, 0.0}));
  EXPECT_TRUE(same_dd(b.im, DD{-0.0, 0.0}));
  const Complex<DD> c = inv(Complex<DD>{DD{0.0, 0.0}, DD{0.0, 0.0}});
  EXPECT_TRUE(std::isnan(c.re.hi) && std::isnan(c.im.hi));
  // Equal |hi| with different lo and |z|^2 out of range: the exact magnitude
  // comparison picks the branch.
  const Complex<DD> re_bigger{DD{1e200, 1e184}, DD{-1e200, 0.0}};
  const Complex<DD> im_bigger{DD{1e200, -1e184}, DD{-1e200, 0.0}};
  const Complex<DD> got_re = inv(re_bigger);
  const Complex<DD> got_im = inv(im_bigger);
  EXPECT_TRUE(same_dd(got_re.re, smith_re(re_bigger).re));
  EXPECT_TRUE(same_dd(got_re.im, smith_re(re_bigger).im));
  EXPECT_TRUE(same_dd(got_im.re, smith_im(im_bigger).re));
  EXPECT_TRUE(same_dd(got_im.im, smith_im(im_bigger).im));
  // The branches do differ in the bits for these inputs.
  EXPECT_FALSE(same_dd(smith_re(im_bigger).re, smith_im(im_bigger).re) &&
               same_dd(smith_re(im_bigger).im, smith_im(im_bigger).im));
  // The direct test reads s.hi: a NaN anywhere takes Smith's second branch.
  const Complex<DD> with_nan = inv(Complex<DD>{DD{NaN, 0.0}, DD{1.0, 0.0}});
  EXPECT_TRUE(std::isnan(with_nan.re.hi) && std::isnan(with_nan.im.hi));
}

// Accurate to a few u^2 on the direct path while |z|^2 stays within about
// 2^+-880, and on Smith's path beyond 1e+-300. (Between, near the bounds, the
// direct path's 1/|z|^2 or |z|^2 falls below 2^-969, where a double-double's
// trailing part is subnormal, and the result keeps only about 80 bits.)
TEST(ComplexInvDoubleDouble, AccurateOnEveryPath) {
  std::mt19937_64 gen(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> direct(-400, 400);
  std::uniform_int_distribution<int> smith(520, 640);
  double worst = 0.0;
  for (int i = 0; i < 5000; ++i) {
    const int e = i % 2 == 0 ? direct(gen) : (i % 4 == 1 ? smith(gen) : -smith(gen));
    const double s1 = std::ldexp(1.0, e);
    const int spread = i % 2 == 0 ? 40 : 10;  // Smith's cases keep |z|^2 beyond 1e+-300
    const double s2 = std::ldexp(1.0, e + static_cast<int>(u(gen) * spread));
    const Complex<DD> z{DD{u(gen) * s1, 0.0} + u(gen) * s1 * 0x1p-54, DD{u(gen) * s2, 0.0} + u(gen) * s2 * 0x1p-54};
    const double err = product_error(z, inv(z));
    worst = std::fmax(worst, err);
    // Reciprocal (~5u^2), two products (~4u^2 each) and a sum, then the check's own product.
    ASSERT_LE(err, 32.0) << vantok::test::hex(z.re) << " " << vantok::test::hex(z.im);
  }
  std::printf("  worst |z inv(z) - 1| = %.3g u^2\n", worst);
}

TEST(ComplexInvDual, ZeroImaginaryPartKeepsDirectionsZero) {
  // re = 0 with partials (1, 0, 0, 0), im = 0: s = 0, Smith's first branch with
  // t = im / re on the quotient's special path; both values NaN, partial 0 NaN
  // and partials 1-3 -0.0.
  const Complex<D> z{D{{1.0, 0.0, 0.0, 0.0}, 0.0}, D{{0.0, 0.0, 0.0, 0.0}, 0.0}};
  const Complex<D> w = inv(z);
  EXPECT_TRUE(same_dual(w.re, NaN, {NaN, -0.0, -0.0, -0.0}));
  EXPECT_TRUE(same_dual(w.im, NaN, {NaN, -0.0, -0.0, -0.0}));
  const DD zero{0.0, 0.0};
  const Complex<DDual> zd{DDual{{DD{1.0, 0.0}, zero, zero, zero}, zero}, DDual{{zero, zero, zero, zero}, zero}};
  const Complex<DDual> wd = inv(zd);
  const std::array<DD, 4> want{DD{NaN, 0.0}, DD{-0.0, 0.0}, DD{-0.0, 0.0}, DD{-0.0, 0.0}};
  EXPECT_TRUE(same_dual(wd.re, DD{NaN, 0.0}, want));
  EXPECT_TRUE(same_dual(wd.im, DD{NaN, 0.0}, want));
}

// The values of the dual members are the f64 and double-double members' bit
// for bit (value arithmetic is the scalar's), on every path; the partials are
// d(1/z)/d(re) = -1/z^2 and d(1/z)/d(im) = -i/z^2.
TEST(ComplexInvDual, ValuesAndDerivatives) {
  std::mt19937_64 gen(9);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> ex(-300, 300);
  for (int i = 0; i < 3000; ++i) {
    const int e = (i % 3 == 0) ? 0 : ex(gen);
    const double re = u(gen) * std::ldexp(1.0, e);
    const double im = (i % 7 == 0) ? 0.0 : u(gen) * std::ldexp(1.0, e + static_cast<int>(u(gen) * 10));
    const Complex<double> w = inv(Complex<double>{re, im});
    const Complex<D> wd = inv(Complex<D>{D::variable(re, 0), D::variable(im, 1)});
    ASSERT_TRUE(vantok::test::same_bits(wd.re.value, w.re) && vantok::test::same_bits(wd.im.value, w.im))
        << re << " " << im;
    // -1/z^2 = -(w^2): compare the partials with a tolerance of a few ulp of |w|^2.
    const Complex<double> w2 = w * w;
    const double scale = w.re * w.re + w.im * w.im;
    if (!std::isfinite(scale) || scale < 1e-290) continue;
    EXPECT_NEAR(wd.re.partials[0], -w2.re, 1e-14 * scale);
    EXPECT_NEAR(wd.im.partials[0], -w2.im, 1e-14 * scale);
    EXPECT_NEAR(wd.re.partials[1], w2.im, 1e-14 * scale);
    EXPECT_NEAR(wd.im.partials[1], -w2.re, 1e-14 * scale);
    EXPECT_EQ(wd.re.partials[2], 0.0);
    EXPECT_EQ(wd.im.partials[3], 0.0);
    // Over double-double.
    const Complex<DD> zq{DD{re, 0.0}, DD{im, 0.0}};
    const Complex<DD> wq = inv(zq);
    const Complex<DDual> wqd = inv(Complex<DDual>{DDual::variable(zq.re, 0), DDual::variable(zq.im, 1)});
    ASSERT_TRUE(same_dd(wqd.re.value, wq.re) && same_dd(wqd.im.value, wq.im)) << re << " " << im;
    const Complex<DD> wq2 = wq * wq;
    const DD dre = wqd.re.partials[0] + wq2.re;
    EXPECT_LE(std::fabs(dre.hi), 64 * 0x1p-106 * scale) << re << " " << im;
    const DD dim = wqd.im.partials[1] + wq2.re;
    EXPECT_LE(std::fabs(dim.hi), 64 * 0x1p-106 * scale) << re << " " << im;
  }
}
