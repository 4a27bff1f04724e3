// Dual numbers: which path each operation takes and what its special path
// gives, bit for bit; values against the scalar evaluation and partials
// against fourth-order central differences taken in double-double.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "support/scalar_compare.hpp"
#include "vantok/scalar/scalars.hpp"

using namespace vantok::scalar;
using vantok::test::same_dual;

namespace {

using DD = DoubleDouble;
using D = Dual<double, 4>;
using DDual = Dual<DD, 4>;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

D dv(double v, double d0, double d1 = 0.0, double d2 = 0.0, double d3 = 0.0) { return D{{d0, d1, d2, d3}, v}; }
DDual ddv(double v, double d0, double d1 = 0.0) { return DDual{{DD(d0, 0.0), DD(d1, 0.0), DD(), DD()}, DD(v, 0.0)}; }
/// The f64 view of a double-double dual, for a table shared with f64 duals.
D lead(const DDual& x) { return D{{x.partials[0].hi, x.partials[1].hi, x.partials[2].hi, x.partials[3].hi}, x.value.hi}; }

struct Case {
  const char* expr;
  D got;
  double value;
  std::array<double, 4> partials;
};
#define CASE(expr, value, ...) Case{#expr, expr, value, {__VA_ARGS__}}

// The fast path applies the textbook rule; a non-finite or out-of-range value
// or factor takes the special path, where a zero partial contributes exactly
// +0.0 (never 0 * inf = NaN) and a NaN partial is never masked. -0.0 partials
// tell the paths apart.
TEST(Dual, PathChoiceAndSpecialPathsBitForBit) {
  const std::int32_t n_min = std::numeric_limits<std::int32_t>::min();
  const double v = 0x1.09b4e5d2e6106p+1023, d = 0x1.d1c51f86f68p+1023;
  const Case cases[] = {
      CASE(dv(2.0, 1.0) * dv(INF, 0.0), INF, INF, 0.0, 0.0, 0.0),
      CASE(lead(ddv(2.0, 1.0) * ddv(INF, 0.0)), INF, INF, 0.0, 0.0, 0.0),
      CASE(dv(0.0, 0.0) * dv(3.0, INF), 0.0, NaN, 0.0, 0.0, 0.0),
      CASE(dv(NaN, 0.0) * dv(1.0, 0.0, 1.0), NaN, 0.0, NaN, 0.0, 0.0),
      CASE(dv(1e300, NaN, -0.0) * dv(1e300, 0.0, 1.0), INF, NaN, 1e300, 0.0, 0.0),
      CASE(dv(INF, -0.0) * dv(1.0, -0.0), INF, 0.0, 0.0, 0.0, 0.0),
      CASE(dv(INF, 1.0) - dv(INF, 0.0, 1.0), NaN, 1.0, -1.0, 0.0, 0.0),
      CASE(dv(1.0, -0.0) + constant<D>(1.0), 2.0, 0.0, 0.0, 0.0, 0.0),
      CASE(dv(1.0, 1.0) / dv(3.0, 0.0, 1.0), 1.0 / 3.0, 1.0 / 3.0, -(1.0 / 3.0) * (1.0 / 3.0), 0.0, 0.0),
      CASE(dv(1.0, 1.0, 0.0, 2.0, NaN) / dv(0.0, 0.0, 0.0, 1.0, 0.0), INF, INF, 0.0, -INF, NaN),
      CASE(dv(1.0, 0.0, 1.0) / dv(INF, 1.0), 0.0, 0.0, 0.0, 0.0, 0.0),
      CASE(dv(1.0, -0.0) / dv(0x1p1021, 0.0), 0x1p-1021, -0.0, 0.0, 0.0, 0.0),
      CASE(dv(1.0, -0.0) / dv(0x1p1023, 0.0), 0x1p-1023, 0.0, 0.0, 0.0, 0.0),
      CASE(dv(1.0, 0.0, 1.0) / dv(0x1p1023, 1.0), 0x1p-1023, -0.0, 0x1p-1023, 0.0, 0.0),
      // Over double-double the quotient's range ends at 2^-969.
      CASE(lead(DDual{{DD(-0.0, 0.0), DD(), DD(), DD()}, DD(1.0, 0.0)} / ddv(0x1p968, 0.0)), 0x1p-968, -0.0, 0.0, 0.0, 0.0),
      CASE(lead(DDual{{DD(-0.0, 0.0), DD(), DD(), DD()}, DD(1.0, 0.0)} / ddv(0x1p970, 0.0)), 0x1p-970, 0.0, 0.0, 0.0, 0.0),
      CASE(dv(-2.0, 1.0, 0.0, NaN) * -INF, INF, -INF, 0.0, NaN, 0.0),
      CASE(dv(1e300, 0.0, 1.0) * 1e10, INF, 0.0, 1e10, 0.0, 0.0),
      CASE(abs(dv(-0.0, 1.0)), 0.0, -1.0, -0.0, -0.0, -0.0),
      CASE(sqrt(dv(-0.0, 1.0)), -0.0, INF, 0.0, 0.0, 0.0),
      CASE(lead(sqrt(ddv(-0.0, 1.0))), -0.0, INF, 0.0, 0.0, 0.0),
      CASE(sqrt(dv(-1.0, 1.0, -0.0)), NaN, NaN, 0.0, 0.0, 0.0),
      CASE(ln(dv(-0.0, 0.0, -2.0)), -INF, 0.0, -INF, 0.0, 0.0),
      CASE(ln(dv(-1.0, 1.0, -0.0)), NaN, NaN, 0.0, 0.0, 0.0),
      CASE(exp(dv(710.0, 1.0, -2.0)), INF, INF, -INF, 0.0, 0.0),
      CASE(lead(exp(ddv(750.0, 1.0, -2.0))), INF, INF, -INF, 0.0, 0.0),
      CASE(lead(sin_cos(ddv(0x1p51, 1.0)).second), NaN, NaN, 0.0, 0.0, 0.0),
      CASE(sin_cos(dv(0.0, 1.0)).second, 1.0, -0.0, -0.0, -0.0, -0.0),
      CASE(powi(dv(2.0, NaN, 1.0), 0), 1.0, 0.0, 0.0, 0.0, 0.0),
      CASE(powi(dv(0.0, 1.0), -1), INF, -INF, 0.0, 0.0, 0.0),
      CASE(powi(dv(1.0, 1.0), n_min), 1.0, -0x1p31, -0.0, -0.0, -0.0),
      CASE(lead(powi(ddv(1.0, 1.0), n_min)), 1.0, -0x1p31, -0.0, -0.0, -0.0),
      CASE(recip(dv(0.0, 1.0)), INF, -INF, -0.0, -0.0, -0.0),
      CASE(lead(recip(ddv(0.0, 1.0))), INF, -INF, -0.0, -0.0, -0.0),
      // 1/v below 2^-1022: two divisions by v, which differ from -(d r) r here.
      CASE(recip(dv(v, d, NaN)), 1.0 / v, -((d / v) / v), NaN, -0.0, -0.0),
      CASE(recip(dv(INF, NaN, 1.0)), 0.0, NaN, -0.0, -0.0, -0.0),
      CASE(hypot(dv(INF, 1.0), dv(5.0, 0.0, 1.0)), INF, 1.0, 0.0, 0.0, 0.0),
      CASE(hypot(dv(5.0, 1.0), dv(-INF, 0.0, 1.0)), INF, 0.0, -1.0, 0.0, 0.0),
      CASE(hypot(dv(INF, 1.0), dv(NaN, 0.0, 1.0)), INF, NaN, NaN, 0.0, 0.0),
      CASE(hypot(dv(NaN, 1.0), dv(1.0, 0.0, 1.0)), NaN, NaN, NaN, 0.0, 0.0),
      CASE(hypot(dv(0.0, 1.0, 2.0), dv(0.0, 3.0, 0.0, 4.0)), 0.0, 0.0, 0.0, 0.0, 0.0),
      CASE(lead(hypot(ddv(-INF, 1.0), ddv(5.0, 0.0, 1.0))), INF, -1.0, 0.0, 0.0, 0.0),
      // h = 5e307 but 1/h = 2e-308 is subnormal: the rescaled pair gives the
      // factors (0.6, 0.7999999999999999), where a.v/h would give 0.5999999999999999.
      CASE(hypot(dv(3e307, 1.0, 0.0, -0.0, 2.0), dv(4e307, 0.0, 1.0, -0.0, 3.0)), 5e307, 0.6, 0.7999999999999999,
           0.0, 2.0 * 0.6 + 3.0 * 0.7999999999999999),
      CASE(dual::chain(dv(1.0, -0.0, 2.0), INF, 3.0), INF, -0.0, 6.0, 0.0, 0.0),
      CASE(dual::chain(dv(1.0, -0.0, 2.0), NaN, 3.0), NaN, 0.0, NaN, 0.0, 0.0),
  };
  for (const Case& c : cases) EXPECT_TRUE(same_dual(c.got, c.value, c.partials)) << c.expr;
  // Partials first, value last, so that Complex<Dual> is re-partials, re-value,
  // im-partials, im-value; a constant has +0.0 partials whatever its sign.
  const vantok::Complex<D> z{dv(5.0, 1.0, 2.0, 3.0, 4.0), dv(10.0, 6.0, 7.0, 8.0, 9.0)};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(reinterpret_cast<const double*>(&z)[i], i + 1.0);
  EXPECT_TRUE(same_dual(constant<D>(-0.0), -0.0, {0.0, 0.0, 0.0, 0.0}));
  // Comparisons read the values only.
  EXPECT_TRUE(dv(1.0, 5.0) == dv(1.0, -5.0) && dv(1.0, 5.0) < dv(2.0, -5.0));
  EXPECT_FALSE(dv(NaN, 0.0) == dv(NaN, 0.0) || dv(NaN, 0.0) < dv(1.0, 0.0));
}

}  // namespace

// Test functions written once over the scalar, as library code inside
// namespace vantok would be (there the math names of the using-directive are
// found before the C library's global ones).
namespace vantok::test::generic {

template <class T>
T f_arithmetic(const std::array<T, 4>& x) {
  return (x[0] * x[1] - x[2]) / (x[3] + constant<T>(1.5));
}
template <class T>
T f_sqrt_exp(const std::array<T, 4>& x) {
  using namespace vantok::scalar::math;
  return sqrt(x[0]) * exp(x[1] - x[3]);
}
template <class T>
T f_trig(const std::array<T, 4>& x) {
  using namespace vantok::scalar::math;
  const auto [s2, c2] = sin_cos(x[2]);
  const auto [s3, c3] = sin_cos(x[3] * x[0]);
  return s2 * c3 + c2 - s3;
}
template <class T>
T f_hypot_powi(const std::array<T, 4>& x) {
  using namespace vantok::scalar::math;
  return hypot(x[0], x[2]) * powi(x[1], 3) + powi(x[3], -2);
}
template <class T>
T f_recip_abs(const std::array<T, 4>& x) {
  using namespace vantok::scalar::math;
  return recip(x[0] * x[3] + x[1]) - abs(x[2] - x[0] - x[0]) * x[1];
}

}  // namespace vantok::test::generic

namespace {

using namespace vantok::test::generic;

template <class T>
using Fn = T (*)(const std::array<T, 4>&);
struct Function {
  const char* name;
  Fn<DD> dd;
  Fn<D> df;
  Fn<DDual> ddd;
};
#define FUNCTION(f) Function{#f, f<DD>, f<D>, f<DDual>}
const Function FUNCTIONS[] = {FUNCTION(f_arithmetic), FUNCTION(f_sqrt_exp), FUNCTION(f_trig),
                              FUNCTION(f_hypot_powi), FUNCTION(f_recip_abs)};

double to_f64(const DD& x) { return x.hi + x.lo; }

// d f / d x_i by the five-point stencil in double-double with h = 2^-24:
// truncation h^4 f^(5)/30 and rounding about 2^-104/h, each below 1e-22 here.
DD central_difference(Fn<DD> f, std::array<DD, 4> x, std::size_t i) {
  constexpr double h = 0x1p-24;
  auto at = [&](double k) {
    std::array<DD, 4> y = x;
    y[i] = y[i] + k * h;
    return f(y);
  };
  return ((at(-2.0) - at(2.0)) + mul(at(1.0) - at(-1.0), 8.0)) / (12.0 * h);
}

// The double-double dual values are the scalar evaluation itself, bit for
// bit, the f64 ones agree to f64 accuracy; f64 partials carry the f64
// evaluation's rounding (a few 1e-16), double-double partials the difference
// quotient's own error (about 1e-25).
TEST(Dual, PartialsMatchCentralDifferences) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> u(0.3, 2.0);
  for (int trial = 0; trial < 20; ++trial) {
    std::array<DD, 4> xd{};
    std::array<D, 4> xf{};
    std::array<DDual, 4> xdd{};
    for (std::size_t i = 0; i < 4; ++i) {
      const double p = u(gen);
      xd[i] = DD(p, 0.0);
      xf[i] = D::variable(p, i);
      xdd[i] = DDual::variable(xd[i], i);
    }
    for (const Function& f : FUNCTIONS) {
      const DD value = f.dd(xd);
      const D gf = f.df(xf);
      const DDual gdd = f.ddd(xdd);
      EXPECT_TRUE(vantok::test::same_dd(gdd.value, value)) << f.name;
      EXPECT_NEAR(gf.value, to_f64(value), 1e-14 * std::fmax(1.0, std::fabs(to_f64(value)))) << f.name;
      for (std::size_t i = 0; i < 4; ++i) {
        const DD want = central_difference(f.dd, xd, i);
        const double scale = std::fabs(to_f64(want)) + std::fabs(to_f64(value));
        EXPECT_LE(std::fabs(gf.partials[i] - to_f64(want)) / scale, 1e-14) << f.name << " " << i;
        EXPECT_LE(std::fabs(to_f64(gdd.partials[i] - want)) / scale, 1e-23) << f.name << " " << i;
      }
    }
  }
  // ln (f64 duals only): d/dx ln(x^3) = 3/x.
  EXPECT_NEAR(ln(powi(D::variable(2.5, 2), 3)).partials[2], 3.0 / 2.5, 1e-15);
}

}  // namespace
