// Double-double arithmetic: the special-value rules bit for bit, and the
// normal-form and exactness properties over random inputs.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "support/scalar_compare.hpp"
#include "vantok/scalar/dd.hpp"

using vantok::Complex;
using vantok::scalar::dd::DoubleDouble;
using vantok::scalar::dd::SumError;
using vantok::test::same_dd;
using namespace vantok::scalar::dd;

namespace {
using DD = DoubleDouble;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double MAX = std::numeric_limits<double>::max();

DD div_dd(DD a, DD b) { return DD::div_dd(a, b); }
}  // namespace

TEST(DoubleDoubleSum, ZeroAndCancellation) {
  EXPECT_TRUE(same_dd(DD{1.0, 0x1p-60} + DD{-1.0, 0.0}, DD{0x1p-60, 0.0}));
  EXPECT_TRUE(same_dd(DD{1.0, 0.0} - DD{1.0, 0.0}, DD{0.0, 0.0}));
  EXPECT_TRUE(same_dd(DD{-0.0, 0.0} + DD{-0.0, 0.0}, DD{-0.0, 0.0}));
  // The zero takes the sign of the rounded sum of the leading parts.
  EXPECT_TRUE(same_dd(DD{-1.0, -0x1p-60} + DD{1.0, 0x1p-60}, DD{0.0, 0.0}));
  // With an f64: x + d, d + x, x - d.
  EXPECT_TRUE(same_dd(DD{-0.0, 0.0} + (-0.0), DD{-0.0, 0.0}));
  EXPECT_TRUE(same_dd(DD{3.0, 0.0} - 3.0, DD{0.0, 0.0}));
  EXPECT_TRUE(same_dd(0x1p-60 + DD{1.0, 0.0}, DD{1.0, 0x1p-60}));
  EXPECT_TRUE(same_dd(DD{1.0, 0x1p-60} - 1.0, DD{0x1p-60, 0.0}));
}

TEST(DoubleDoubleSum, NonFinite) {
  EXPECT_TRUE(same_dd(DD{INF, 0.0} + DD{1.0, 0.0}, DD{INF, 0.0}));
  EXPECT_TRUE(same_dd(DD{INF, 0.0} + DD{-INF, 0.0}, DD{NaN, 0.0}));
  EXPECT_TRUE(same_dd(DD{MAX, 0.0} + DD{MAX, 0.0}, DD{INF, 0.0}));
  EXPECT_TRUE(same_dd(DD{MAX, 0.0} + MAX, DD{INF, 0.0}));
  EXPECT_TRUE(same_dd(DD{-INF, 0.0} - 1.0, DD{-INF, 0.0}));
  // MAX - 2^970 is a tie that rounds to the even MAX - 2^971; lo keeps the rest.
  const DD near_max = DD{MAX, 0.0} + DD{-0x1p970, 0.0};
  EXPECT_TRUE(same_dd(near_max, DD{0x1.ffffffffffffep1023, 0x1p970}));
}

TEST(DoubleDoubleSum, TwoSumOrdered) {
  const SumError tie = two_sum_ordered(1.0, -1.0);
  EXPECT_EQ(tie.s, 0.0);
  EXPECT_EQ(tie.e, 0.0);
  const SumError a = two_sum_ordered(0x1p-60, 1.0);
  EXPECT_EQ(a.s, 1.0);
  EXPECT_EQ(a.e, 0x1p-60);
  const SumError top = two_sum_ordered(MAX, -0x1p970);
  EXPECT_EQ(top.s, 0x1.ffffffffffffep1023);
  EXPECT_EQ(top.e, 0x1p970);
  EXPECT_TRUE(std::isnan(two_sum_ordered(NaN, 1.0).e));
  EXPECT_TRUE(std::isnan(two_sum_ordered(1.0, NaN).e));
}

TEST(DoubleDoubleProduct, SpecialValuesAndExactSquare) {
  EXPECT_TRUE(same_dd(DD{1e200, 0.0} * DD{-1e200, 0.0}, DD{-INF, 0.0}));
  EXPECT_TRUE(same_dd(DD{-2.0, 0.0} * DD{0.0, 0.0}, DD{-0.0, 0.0}));
  const DD x{1.0 + 0x1p-52, 0.0};
  EXPECT_TRUE(same_dd(x * x, DD{1.0 + 0x1p-51, 0x1p-104}));
  EXPECT_TRUE(same_dd(mul(DD{-2.0, 0.0}, 0.0), DD{-0.0, 0.0}));
  EXPECT_TRUE(same_dd(mul(DD{1e300, 0.0}, 1e10), DD{INF, 0.0}));
  EXPECT_TRUE(same_dd(mul(x, 1.0 + 0x1p-52), DD{1.0 + 0x1p-51, 0x1p-104}));
  EXPECT_TRUE(same_dd(DD{NaN, 0.0} * DD{1.0, 0.0}, DD{NaN, 0.0}));
}

// The cross terms accumulate x.hi y.lo first: with these operands the two
// orders round the trailing part differently, so x * y != y * x in lo.
TEST(DoubleDoubleProduct, OperandOrderIsFixed) {
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> u(1.0, 2.0);
  int differing = 0;
  for (int i = 0; i < 2000; ++i) {
    const DD x = DD{u(gen), 0.0} + u(gen) * 0x1p-54;
    const DD y = DD{u(gen), 0.0} + u(gen) * 0x1p-54;
    const DD xy = x * y;
    const DD yx = y * x;
    EXPECT_EQ(xy.hi, yx.hi);
    if (xy.lo != yx.lo) ++differing;
    // Against the formula written out.
    const double p = x.hi * y.hi;
    const double e = std::fma(x.lo, y.hi, std::fma(x.hi, y.lo, x.lo * y.lo)) + std::fma(x.hi, y.hi, -p);
    const double s = p + e;
    ASSERT_TRUE(same_dd(xy, DD{s, e - (s - p)}));
  }
  EXPECT_GT(differing, 0);
}

TEST(DoubleDoubleNegation, TrailingZeroBecomesPositive) {
  EXPECT_TRUE(same_dd(-DD{3.0, -0.0}, DD{-3.0, 0.0}));
  EXPECT_TRUE(same_dd(-DD{3.0, 0.0}, DD{-3.0, 0.0}));
  EXPECT_TRUE(same_dd(-DD{3.0, 0x1p-60}, DD{-3.0, -0x1p-60}));
  EXPECT_TRUE(same_dd(abs(DD{-0.0, 0.0}), DD{0.0, 0.0}));
  EXPECT_TRUE(same_dd(abs(DD{-2.0, 0x1p-60}), DD{2.0, -0x1p-60}));
  EXPECT_TRUE(same_dd(abs(DD{2.0, -0x1p-60}), DD{2.0, -0x1p-60}));
}

TEST(DoubleDoubleOrder, ByHiThenLo) {
  EXPECT_TRUE((DD{1.0, -0x1p-60} < DD{1.0, 0.0}));
  EXPECT_TRUE((DD{1.0, 0x1p-60} > DD{1.0, 0.0}));
  EXPECT_TRUE((DD{1.0, 0x1p-60} <= DD{1.0, 0x1p-60}));
  EXPECT_TRUE((DD{1.0, 0.0} == DD{1.0, -0.0}));
  EXPECT_TRUE((DD{-1.0, 0.5} < DD{1.0, -0.5}));
  const DD nan{NaN, 0.0};
  const DD one{1.0, 0.0};
  EXPECT_FALSE(nan < one);
  EXPECT_FALSE(nan > one);
  EXPECT_FALSE(nan <= one);
  EXPECT_FALSE(nan >= one);
  EXPECT_FALSE(nan == nan);
  EXPECT_TRUE(nan != nan);
}

TEST(DoubleDoubleComplex, ProductRules) {
  using C = Complex<DD>;
  const C a{DD{1.0, 0.0}, DD{1.0, 0.0}};
  const C b{DD{1.0, 0.0}, DD{-1.0, 0.0}};
  const C p = a * b;
  EXPECT_TRUE(same_dd(p.re, DD{2.0, 0.0}));
  EXPECT_TRUE(same_dd(p.im, DD{0.0, 0.0}));
  const C big{DD{0x1p600, 0.0}, DD{0.0, 0.0}};
  EXPECT_TRUE(same_dd((big * big).re, DD{INF, 0.0}));
  // The generic template and the out-of-line product agree.
  const C c{DD{0.3, 1e-18}, DD{-1.7, 3e-17}};
  const C d{DD{2.9, -1e-16}, DD{0.4, 2e-18}};
  const C q = mul(c, d);
  EXPECT_TRUE(same_dd(q.re, c.re * d.re - c.im * d.im));
  EXPECT_TRUE(same_dd(q.im, c.re * d.im + c.im * d.re));
}

TEST(DoubleDoubleDivision, SpecialValuesAndRescaling) {
  EXPECT_TRUE(same_dd(div_dd(DD{1.0, 0.0}, DD{3.0, 0.0}), DD{0.3333333333333333, 1.850371707708594e-17}));
  EXPECT_TRUE(same_dd(div_dd(DD{1.0, 0.0}, DD{0.0, 0.0}), DD{INF, 0.0}));
  EXPECT_TRUE(same_dd(div_dd(DD{0.0, 0.0}, DD{0.0, 0.0}), DD{NaN, 0.0}));
  EXPECT_TRUE(same_dd(div_dd(DD{-1.0, 0.0}, DD{INF, 0.0}), DD{-0.0, 0.0}));
  // A subnormal divisor whose reciprocal overflows: both scaled by 2^106.
  EXPECT_TRUE(same_dd(div_dd(DD{0x1p-1000, 0.0}, DD{0x1p-1060, 0.0}), DD{0x1p60, 0.0}));
  // A divisor above 2^960: both scaled by 2^-106.
  EXPECT_TRUE(same_dd(div_dd(DD{0x1p1000, 0.0}, DD{0x1p980, 0.0}), DD{0x1p20, 0.0}));
  EXPECT_TRUE(same_dd(div_dd(DD{1.0, 0.0}, DD{0x1p-1060, 0.0}), DD{INF, 0.0}));
  // The refined quotient overflows although q0 = a.hi/b.hi does not: the
  // result comes from a/2 and is doubled.
  const DD near_max = div_dd(DD{MAX, 0x1p969}, DD{1.0, -0x1p-54});
  EXPECT_TRUE(same_dd(near_max, DD{INF, 0.0}));
  EXPECT_TRUE(same_dd(div_dd(DD{MAX, 0x1p969}, DD{1.0, -0x1p-60}), DD{MAX, 0x1.08p969}));
  EXPECT_TRUE(same_dd(DD::div_f64(DD{1.0, 0.0}, 0.0), DD{INF, 0.0}));
  EXPECT_TRUE(same_dd(DD::div_f64(DD{1.0, 0.0}, -0.0), DD{-INF, 0.0}));
  EXPECT_TRUE(same_dd(DD::div_f64(DD{1.0, 0.0}, 3.0), DD{0.3333333333333333, 1.850371707708594e-17}));
  EXPECT_TRUE(same_dd(DD::div_f64(DD{0.0, 0.0}, -3.0), DD{-0.0, 0.0}));
  // d q overflows although q does not: a/2 divided, then doubled.
  const DD by_half = DD::div_f64(DD{MAX, 0.0}, 0.75);
  EXPECT_TRUE(same_dd(by_half, DD{INF, 0.0}));
  const DD by_big = DD::div_f64(DD{0x1.8p1023, 0.0}, 1.5);
  EXPECT_TRUE(same_dd(by_big, DD{0x1p1023, 0.0}));
}

TEST(DoubleDoubleScale, PowersOfTwo) {
  EXPECT_TRUE(same_dd(scale_pow2(DD{1.5, 0x1p-60}, -1074), DD{0x1p-1073, 0.0}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{1.5, 0x1p-60}, 5000), DD{INF, 0.0}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{-0x1p-1074, 0.0}, 5000), DD{-INF, 0.0}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{1.5, 0x1p-60}, 0), DD{1.5, 0x1p-60}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{1.5, -0.0}, 0), DD{1.5, -0.0}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{0x1p-1074, 0.0}, 2097), DD{0x1p1023, 0.0}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{0x1p1023, 0x1p969}, -2097), DD{0x1p-1074, 0.0}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{1.0, 0x1p-60}, -1500), DD{0.0, 0.0}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{3.0, 0x1p-60}, 1022), DD{0x1.8p1023, 0x1p962}));
  EXPECT_TRUE(same_dd(scale_pow2(DD{1.0, 0.0}, -1000000), DD{0.0, 0.0}));
  EXPECT_TRUE(same_dd(DD::renormalize_tiny(-0.0, 5.0), DD{-0.0, 0.0}));
  EXPECT_TRUE(same_dd(DD::renormalize_tiny(0x1p-1070, 0x1p-1074), DD{0x1.1p-1070, 0.0}));
}

// Normal form after every operation, and TwoSum exact, over random operands
// spread across the exponent range.
TEST(DoubleDoubleProperties, NormalFormAndExactTwoSum) {
  std::mt19937_64 gen(42);
  std::uniform_real_distribution<double> mant(1.0, 2.0);
  std::uniform_int_distribution<int> ex(-600, 600);
  std::uniform_int_distribution<int> near(-60, 60);
  std::bernoulli_distribution neg(0.5);
  auto draw = [&](int e) {
    const double hi = std::ldexp(mant(gen), e) * (neg(gen) ? -1.0 : 1.0);
    const double lo = (mant(gen) - 1.5) * std::ldexp(1.0, e - 52);
    return DD{hi, 0.0} + lo;
  };
  auto normal = [](const DD& x) { return x.hi + x.lo == x.hi; };
  for (int i = 0; i < 20000; ++i) {
    const int e = ex(gen);
    const DD a = draw(e);
    const DD b = draw(e + near(gen));
    ASSERT_TRUE(normal(a));
    for (const DD r : {a + b, a - b, a * b, div_dd(a, b), a + b.hi, mul(a, b.hi), DD::div_f64(a, b.hi)}) {
      ASSERT_TRUE(normal(r)) << vantok::test::hex(a) << " " << vantok::test::hex(b) << " -> " << vantok::test::hex(r);
    }
    // TwoSum is exact: with the exponents within 60 of each other the exact
    // sum fits in the 113-bit significand of __float128.
    const SumError t = two_sum(a.hi, b.hi);
    const __float128 exact = static_cast<__float128>(a.hi) + static_cast<__float128>(b.hi);
    ASSERT_TRUE(exact - static_cast<__float128>(t.s) == static_cast<__float128>(t.e));
    const SumError o = two_sum_ordered(a.hi, b.hi);
    ASSERT_EQ(o.s, t.s);
    ASSERT_EQ(o.e, t.e);
  }
}
