// The scalar policy: limits of DoubleDouble, promotion of constants, value
// tests, and the math names resolving for every scalar.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/scalar_compare.hpp"
#include "vantok/scalar/scalars.hpp"

using namespace vantok::scalar;
using vantok::test::same_dd;

TEST(DoubleDoubleLimits, Values) {
  using L = std::numeric_limits<DoubleDouble>;
  static_assert(L::is_specialized && L::digits == 106);
  EXPECT_TRUE(same_dd(L::epsilon(), DoubleDouble{0x1p-104, 0.0}));
  // (1 + eps) is representable and distinct from 1.
  const DoubleDouble one_eps = DoubleDouble{1.0, 0.0} + L::epsilon();
  EXPECT_TRUE(same_dd(one_eps, DoubleDouble{1.0, 0x1p-104}));
  // max is normalised: hi is the double nearest hi + lo.
  const DoubleDouble m = L::max();
  EXPECT_EQ(m.hi + m.lo, m.hi);
  EXPECT_TRUE(same_dd(L::lowest(), -m));
  EXPECT_TRUE(same_dd(L::min(), dual::RealTraits<DoubleDouble>::SAFE_MIN));
  EXPECT_TRUE(std::isinf(L::infinity().hi) && L::infinity().lo == 0.0);
  EXPECT_TRUE(std::isnan(L::quiet_NaN().hi) && L::quiet_NaN().lo == 0.0);
}

TEST(ScalarTraitsPolicy, PromotionAndValueTests) {
  const DualF64 c = ScalarTraits<DualF64>::from_f64(-0.0);
  EXPECT_TRUE(std::signbit(c.value));
  for (const double p : c.partials) EXPECT_FALSE(std::signbit(p));
  const DualDD cd = constant<DualDD>(2.5);
  EXPECT_TRUE(same_dd(cd.value, DoubleDouble{2.5, 0.0}));
  for (const DoubleDouble& p : cd.partials) EXPECT_TRUE(same_dd(p, DoubleDouble{0.0, 0.0}));
  EXPECT_TRUE(same_dd(constant<DoubleDouble>(-1.0), DoubleDouble{-1.0, 0.0}));
  EXPECT_EQ(constant<double>(3.0), 3.0);

  EXPECT_EQ(ScalarTraits<DoubleDouble>::value_f64(DoubleDouble{1.0, 0x1p-60}), 1.0);
  EXPECT_EQ(ScalarTraits<DualDD>::value_f64(constant<DualDD>(4.0)), 4.0);
  EXPECT_TRUE(ScalarTraits<DualF64>::is_zero(DualF64{{1.0, 0.0, 0.0, 0.0}, -0.0}));
  EXPECT_TRUE(ScalarTraits<DualDD>::is_non_finite(constant<DualDD>(INFINITY)));
  EXPECT_FALSE(ScalarTraits<double>::is_non_finite(1.0));
  EXPECT_TRUE(ScalarTraits<double>::is_nan(NAN));
  static_assert(ScalarTraits<DualDD>::is_dual && ScalarTraits<DualDD>::partial_count == 4);
  static_assert(std::is_same_v<ScalarTraits<DualDD>::Real, DoubleDouble>);
  static_assert(RealScalar<DoubleDouble> && !RealScalar<DualF64> && DualScalar<DualDD> && !DualScalar<double>);
}

TEST(ScalarMath, QualifiedNamesServeEveryScalar) {
  EXPECT_EQ(vantok::scalar::sqrt(4.0), 2.0);
  EXPECT_TRUE(same_dd(vantok::scalar::sqrt(DoubleDouble{4.0, 0.0}), DoubleDouble{2.0, 0.0}));
  EXPECT_EQ(vantok::scalar::sqrt(DualF64::variable(4.0, 0)).partials[0], 0.25);
  EXPECT_EQ(vantok::scalar::recip(4.0), 0.25);
  EXPECT_EQ(vantok::scalar::powi(2.0, -3), 0.125);
  EXPECT_EQ(vantok::scalar::abs(-2.0), 2.0);
  EXPECT_EQ(vantok::scalar::hypot(3.0, 4.0), 5.0);
  EXPECT_EQ(vantok::scalar::sin_cos(0.0).second, 1.0);
  // The run-time C library cube root, whatever the compiler would fold.
  volatile double v = 27.0;
  EXPECT_EQ(vantok::scalar::cbrt(27.0), std::cbrt(static_cast<double>(v)));
  EXPECT_EQ(vantok::scalar::cbrt(DoubleDouble{27.0, 0.0}).hi, 3.0);
  EXPECT_EQ(vantok::scalar::exp(DualDD::variable(DoubleDouble{0.0, 0.0}, 1)).partials[1].hi, 1.0);
}
