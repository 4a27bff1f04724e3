// Dual numbers: which path each operation takes and what its special path
// gives, bit for bit, over f64 and double-double.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "support/scalar_compare.hpp"
#include "vantok/scalar/scalars.hpp"

using namespace vantok::scalar;
using vantok::test::same_dd;
using vantok::test::same_dual;

namespace {
using DD = DoubleDouble;
using D = Dual<double, 4>;
using DDual = Dual<DoubleDouble, 4>;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

D dv(double v, double d0, double d1 = 0.0, double d2 = 0.0, double d3 = 0.0) { return D{{d0, d1, d2, d3}, v}; }
DDual ddv(double v, double d0, double d1 = 0.0, double d2 = 0.0, double d3 = 0.0) {
  return DDual{{DD{d0, 0.0}, DD{d1, 0.0}, DD{d2, 0.0}, DD{d3, 0.0}}, DD{v, 0.0}};
}
std::array<DD, 4> dds(double d0, double d1, double d2, double d3) {
  return {DD{d0, 0.0}, DD{d1, 0.0}, DD{d2, 0.0}, DD{d3, 0.0}};
}
}  // namespace

TEST(DualLayout, PartialsFirstValueLast) {
  static_assert(sizeof(vantok::Complex<D>) == 10 * sizeof(double));
  static_assert(sizeof(vantok::Complex<DDual>) == 20 * sizeof(double));
  const vantok::Complex<D> z{dv(5.0, 1.0, 2.0, 3.0, 4.0), dv(10.0, 6.0, 7.0, 8.0, 9.0)};
  const auto* raw = reinterpret_cast<const double*>(&z);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(raw[i], i + 1.0);
  EXPECT_TRUE(same_dual(D::constant(-0.0), -0.0, {0.0, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(D::variable(2.0, 3), 2.0, {0.0, 0.0, 0.0, 1.0}));
}

TEST(DualProduct, SpecialPathMasksZeroPartials) {
  // A non-finite product takes mul_special: the zero partials stay +0.0.
  EXPECT_TRUE(same_dual(dv(2.0, 1.0) * dv(INF, 0.0), INF, {INF, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(ddv(2.0, 1.0) * ddv(INF, 0.0), DD{INF, 0.0}, dds(INF, 0.0, 0.0, 0.0)));
  // A finite value keeps the fast path, even with an infinite partial: 0 inf = NaN.
  EXPECT_TRUE(same_dual(dv(0.0, 0.0) * dv(3.0, INF), 0.0, {NaN, 0.0, 0.0, 0.0}));
  // A NaN value: zero partials of both operands still give +0.0, the others NaN.
  EXPECT_TRUE(same_dual(dv(NaN, 0.0) * dv(1.0, 0.0, 1.0), NaN, {0.0, NaN, 0.0, 0.0}));
  // A NaN partial is never masked.
  EXPECT_TRUE(same_dual(dv(1e300, NaN, -0.0) * dv(1e300, 0.0, 1.0), INF, {NaN, 1e300, 0.0, 0.0}));
  // -0.0 partials are zero on the special path: +0.0 + +0.0.
  EXPECT_TRUE(same_dual(dv(INF, -0.0) * dv(1.0, -0.0), INF, {0.0, 0.0, 0.0, 0.0}));
}

TEST(DualSum, NoSpecialPath) {
  EXPECT_TRUE(same_dual(dv(INF, 1.0) + dv(-INF, 0.0, 1.0), NaN, {1.0, 1.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(dv(INF, 1.0) - dv(INF, 0.0, 1.0), NaN, {1.0, -1.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(-dv(1.0, 0.0, -2.0), -1.0, {-0.0, 2.0, -0.0, -0.0}));
  // A constant enters with +0.0 partials: x + 1 turns -0.0 partials into +0.0,
  // 1 - x gives 0.0 - d.
  EXPECT_TRUE(same_dual(dv(1.0, -0.0) + constant<D>(1.0), 2.0, {0.0, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(constant<D>(1.0) - dv(3.0, 0.0, 2.0), -2.0, {0.0, -2.0, 0.0, 0.0}));
}

TEST(DualQuotient, PathChoice) {
  // Division by a zero value: r = inf, div_special; t_i = 0 stays +0.0, the
  // others become t_i / 0.
  EXPECT_TRUE(same_dual(dv(1.0, 1.0, 0.0, 2.0, NaN) / dv(0.0, 0.0, 0.0, 1.0, 0.0), INF,
                        {INF, 0.0, -INF, NaN}));
  // Division by +inf: r = 0 < m.
  EXPECT_TRUE(same_dual(dv(1.0, 0.0, 1.0) / dv(INF, 1.0), 0.0, {0.0, 0.0, 0.0, 0.0}));
  // A -0.0 partial tells the paths apart: the fast path keeps (-0 - q 0) r =
  // -0.0, the special path masks t = -0.0 to +0.0.
  EXPECT_TRUE(same_dual(dv(1.0, -0.0) / dv(0x1p1021, 0.0), 0x1p-1021, {-0.0, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(dv(1.0, -0.0) / dv(0x1p1023, 0.0), 0x1p-1023, {0.0, 0.0, 0.0, 0.0}));
  // A finite divisor of 2^1023: r = 2^-1023 is below m, so div_special runs.
  EXPECT_TRUE(same_dual(dv(1.0, 0.0, 1.0) / dv(0x1p1023, 1.0), 0x1p-1023, {-0.0, 0x1p-1023, 0.0, 0.0}));
  // Double-double: the bound is 2^-969, so 2^970 already leaves the fast path.
  const DDual minus_zero{dds(-0.0, 0.0, 0.0, 0.0), DD{1.0, 0.0}};
  EXPECT_TRUE(same_dual(minus_zero / ddv(0x1p968, 0.0), DD{0x1p-968, 0.0}, dds(-0.0, 0.0, 0.0, 0.0)));
  EXPECT_TRUE(same_dual(minus_zero / ddv(0x1p970, 0.0), DD{0x1p-970, 0.0}, dds(0.0, 0.0, 0.0, 0.0)));
  // The fast path: (a.d - q b.d) r.
  const D q = dv(1.0, 1.0, 0.0) / dv(3.0, 0.0, 1.0);
  EXPECT_TRUE(same_dual(q, 1.0 / 3.0, {1.0 / 3.0, (0.0 - (1.0 / 3.0)) * (1.0 / 3.0), 0.0, 0.0}));
}

TEST(DualScaleByDouble, SpecialPathChosenByScalar) {
  EXPECT_TRUE(same_dual(dv(2.0, 1.0) * INF, INF, {INF, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(dv(0.0, 1.0) * INF, NaN, {INF, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(dv(-2.0, 1.0, 0.0, NaN) * -INF, INF, {-INF, 0.0, NaN, 0.0}));
  // A finite scalar keeps the fast path even when the product overflows.
  EXPECT_TRUE(same_dual(dv(1e300, 0.0, 1.0) * 1e10, INF, {0.0, 1e10, 0.0, 0.0}));
}

TEST(DualCompare, ValuesOnly) {
  EXPECT_TRUE(dv(1.0, 5.0) == dv(1.0, -5.0));
  EXPECT_TRUE(dv(1.0, 5.0) < dv(2.0, -5.0));
  EXPECT_FALSE(dv(NaN, 0.0) < dv(1.0, 0.0));
  EXPECT_FALSE(dv(NaN, 0.0) >= dv(1.0, 0.0));
  EXPECT_FALSE(dv(NaN, 0.0) == dv(NaN, 0.0));
  EXPECT_TRUE((ddv(1.0, 0.0) < DDual{dds(0, 0, 0, 0), DD{1.0, 0x1p-60}}));
  EXPECT_FALSE(ddv(NaN, 0.0) <= ddv(1.0, 0.0));
}

TEST(DualAbs, SignBitRule) {
  EXPECT_TRUE(same_dual(abs(dv(-2.0, 1.0, -0.0)), 2.0, {-1.0, 0.0, -0.0, -0.0}));
  EXPECT_TRUE(same_dual(abs(dv(-0.0, 1.0)), 0.0, {-1.0, -0.0, -0.0, -0.0}));
  EXPECT_TRUE(same_dual(abs(dv(0.0, 1.0)), 0.0, {1.0, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(abs(ddv(-2.0, 1.0)), DD{2.0, 0.0}, dds(-1.0, -0.0, -0.0, -0.0)));
}

TEST(DualFunctions, SquareRootAndLogarithmAtZero) {
  EXPECT_TRUE(same_dual(sqrt(dv(0.0, 1.0)), 0.0, {INF, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(sqrt(dv(-0.0, 1.0)), -0.0, {INF, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(sqrt(ddv(-0.0, 1.0)), DD{-0.0, 0.0}, dds(INF, 0.0, 0.0, 0.0)));
  EXPECT_TRUE(same_dual(ln(dv(0.0, 0.0, 2.0)), -INF, {0.0, INF, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(ln(dv(-0.0, 0.0, -2.0)), -INF, {0.0, -INF, 0.0, 0.0}));
  // Negative arguments: NaN value, NaN for the non-zero partials, +0.0 else.
  EXPECT_TRUE(same_dual(sqrt(dv(-1.0, 1.0, -0.0)), NaN, {NaN, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(ln(dv(-1.0, 1.0, -0.0)), NaN, {NaN, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(sqrt(ddv(-1.0, 1.0)), DD{NaN, 0.0}, dds(NaN, 0.0, 0.0, 0.0)));
}

TEST(DualFunctions, ExponentialAndTrigonometry) {
  EXPECT_TRUE(same_dual(exp(dv(710.0, 1.0, -2.0)), INF, {INF, -INF, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(exp(ddv(750.0, 1.0, -2.0)), DD{INF, 0.0}, dds(INF, -INF, 0.0, 0.0)));
  // A double-double value beyond the reduction limit: NaN values, NaN for the
  // non-zero partials, +0.0 for the zero ones.
  const auto [s, c] = sin_cos(ddv(0x1p51, 1.0));
  EXPECT_TRUE(same_dual(s, DD{NaN, 0.0}, dds(NaN, 0.0, 0.0, 0.0)));
  EXPECT_TRUE(same_dual(c, DD{NaN, 0.0}, dds(NaN, 0.0, 0.0, 0.0)));
  // At 0 the cosine's factor is -0.0 on the fast path: every partial -0.0.
  const auto [s0, c0] = sin_cos(dv(0.0, 1.0));
  EXPECT_TRUE(same_dual(s0, 0.0, {1.0, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(c0, 1.0, {-0.0, -0.0, -0.0, -0.0}));
  const auto [ds0, dc0] = sin_cos(ddv(0.0, 1.0));
  EXPECT_TRUE(same_dual(ds0, DD{0.0, 0.0}, dds(1.0, 0.0, 0.0, 0.0)));
  EXPECT_TRUE(same_dual(dc0, DD{1.0, 0.0}, dds(-0.0, -0.0, -0.0, -0.0)));
}

TEST(DualFunctions, IntegerPower) {
  EXPECT_TRUE(same_dual(powi(dv(2.0, NaN, 1.0), 0), 1.0, {0.0, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(powi(ddv(NaN, NaN), 0), DD{1.0, 0.0}, dds(0.0, 0.0, 0.0, 0.0)));
  // n = -1 at 0: value +inf, factor -inf: plain rule, zero partials +0.0.
  EXPECT_TRUE(same_dual(powi(dv(0.0, 1.0), -1), INF, {-INF, 0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(powi(dv(3.0, 1.0, 2.0), 3), 27.0, {27.0, 54.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(powi(dv(2.0, 1.0), -2), 0.25, {-0.25, -0.0, -0.0, -0.0}));
  // n = INT32_MIN: F = (p / v) n.
  const std::int32_t n_min = std::numeric_limits<std::int32_t>::min();
  EXPECT_TRUE(same_dual(powi(dv(1.0, 1.0), n_min), 1.0, {-0x1p31, -0.0, -0.0, -0.0}));
  EXPECT_TRUE(same_dual(powi(ddv(1.0, 1.0), n_min), DD{1.0, 0.0}, dds(-0x1p31, -0.0, -0.0, -0.0)));
  // The f64 power is binary powering, not std::pow.
  EXPECT_EQ(math::powi(1.1, 7), ((1.1 * (1.1 * 1.1)) * ((1.1 * 1.1) * (1.1 * 1.1))));
}

TEST(DualFunctions, Reciprocal) {
  EXPECT_TRUE(same_dual(recip(dv(0.0, 1.0)), INF, {-INF, -0.0, -0.0, -0.0}));
  EXPECT_TRUE(same_dual(recip(ddv(0.0, 1.0)), DD{INF, 0.0}, dds(-INF, -0.0, -0.0, -0.0)));
  EXPECT_TRUE(same_dual(recip(dv(2.0, 1.0, 0.0)), 0.5, {-0.25, -0.0, -0.0, -0.0}));
  // v above 2^1022: r is below 2^-1022 (and subnormal, so inexact); the
  // partials come from two divisions by v, which here differ from -(d r) r.
  const double v = 0x1.09b4e5d2e6106p+1023;
  const double d = 0x1.d1c51f86f68p+1023;
  const D r = recip(dv(v, d, NaN));
  EXPECT_TRUE(same_dual(r, 1.0 / v, {-((d / v) / v), NaN, -0.0, -0.0}));
  EXPECT_NE(-((d / v) / v), -(d * (1.0 / v)) * (1.0 / v));
  // The NaN partial is never masked.
  EXPECT_TRUE(same_dual(recip(dv(INF, NaN, 1.0)), 0.0, {NaN, -0.0, -0.0, -0.0}));
}

TEST(DualFunctions, Hypot) {
  const D h = hypot(dv(INF, 1.0), dv(5.0, 0.0, 1.0));
  EXPECT_TRUE(same_dual(h, INF, {1.0, 0.0, 0.0, 0.0}));
  const D hb = hypot(dv(5.0, 1.0), dv(-INF, 0.0, 1.0));
  EXPECT_TRUE(same_dual(hb, INF, {0.0, -1.0, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(hypot(dv(INF, 1.0), dv(NaN, 0.0, 1.0)), INF, {NaN, NaN, 0.0, 0.0}));
  EXPECT_TRUE(same_dual(hypot(dv(NaN, 1.0), dv(1.0, 0.0, 1.0)), NaN, {NaN, NaN, 0.0, 0.0}));
  const D zero = hypot(dv(0.0, 1.0, 2.0), dv(0.0, 3.0, 0.0, 4.0));
  EXPECT_EQ(zero.value, 0.0);
  for (const double p : zero.partials) EXPECT_EQ(p, 0.0);
  // 3e307 and 4e307: h = 5e307 passes h >= m but 1/h = 2e-308 fails; the
  // rescaled pair gives the factors (0.6, 0.7999999999999999), where the fast
  // path's a.v/h with the subnormal 1/h would give 0.5999999999999999.
  const double fa = 0.6;
  const double fb = 0.7999999999999999;
  const D big = hypot(dv(3e307, 1.0, 0.0, -0.0, 2.0), dv(4e307, 0.0, 1.0, -0.0, 3.0));
  EXPECT_TRUE(same_dual(big, 5e307, {fa, fb, 0.0, 2.0 * fa + 3.0 * fb}));
  // Double-double: both infinite inputs' rules and the zero.
  EXPECT_TRUE(same_dual(hypot(ddv(-INF, 1.0), ddv(5.0, 0.0, 1.0)), DD{INF, 0.0}, dds(-1.0, 0.0, 0.0, 0.0)));
  EXPECT_TRUE(same_dual(hypot(ddv(0.0, 1.0), ddv(-0.0, 1.0)), DD{0.0, 0.0}, dds(0.0, 0.0, 0.0, 0.0)));
}

TEST(DualFunctions, ChainFastPathTest) {
  // The fast path needs f not NaN and f' finite; an infinite value with a
  // finite factor stays on it (0 * factor keeps its sign).
  const D x = dv(1.0, -0.0, 2.0);
  EXPECT_TRUE(same_dual(dual::chain(x, INF, 3.0), INF, {-0.0, 6.0, 0.0, 0.0}));
  // NaN value: the plain rule's factor is NaN, zero partials +0.0.
  EXPECT_TRUE(same_dual(dual::chain(x, NaN, 3.0), NaN, {0.0, NaN, 0.0, 0.0}));
  const DDual y = ddv(1.0, -0.0, 2.0);
  EXPECT_TRUE(same_dual(dual::chain(y, DD{2.0, 0.0}, DD{INF, 0.0}), DD{2.0, 0.0}, dds(0.0, INF, 0.0, 0.0)));
}
