// Dual partials against fourth-order central differences taken in
// double-double, and every scalar's value against the double-double one.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <random>

#include "support/scalar_compare.hpp"
#include "vantok/scalar/scalars.hpp"

using namespace vantok::scalar;

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

using DD = DoubleDouble;
using namespace vantok::test::generic;

template <class T>
using Fn = T (*)(const std::array<T, 4>&);

struct Case {
  const char* name;
  Fn<DD> dd;
  Fn<Dual<double, 4>> df;
  Fn<Dual<DD, 4>> ddd;
};

const Case CASES[] = {
    {"arithmetic", f_arithmetic<DD>, f_arithmetic<Dual<double, 4>>, f_arithmetic<Dual<DD, 4>>},
    {"sqrt_exp", f_sqrt_exp<DD>, f_sqrt_exp<Dual<double, 4>>, f_sqrt_exp<Dual<DD, 4>>},
    {"trig", f_trig<DD>, f_trig<Dual<double, 4>>, f_trig<Dual<DD, 4>>},
    {"hypot_powi", f_hypot_powi<DD>, f_hypot_powi<Dual<double, 4>>, f_hypot_powi<Dual<DD, 4>>},
    {"recip_abs", f_recip_abs<DD>, f_recip_abs<Dual<double, 4>>, f_recip_abs<Dual<DD, 4>>},
};

double to_f64(const DD& x) { return x.hi + x.lo; }

/// d f / d x_i by the five-point stencil in double-double with h = 2^-24:
/// truncation h^4 f^(5)/30 and rounding about 2^-104/h, each below 1e-22 here.
DD central_difference(Fn<DD> f, std::array<DD, 4> x, std::size_t i) {
  constexpr double h = 0x1p-24;
  auto at = [&](double k) {
    std::array<DD, 4> y = x;
    y[i] = y[i] + k * h;
    return f(y);
  };
  const DD num = (at(-2.0) - mul(at(2.0), 1.0)) + mul(at(1.0) - at(-1.0), 8.0);
  return num / (12.0 * h);
}

}  // namespace

TEST(DualDerivatives, MatchCentralDifferencesInDoubleDouble) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> u(0.3, 2.0);
  double worst_f64 = 0.0;
  double worst_dd = 0.0;
  for (int trial = 0; trial < 20; ++trial) {
    std::array<double, 4> point{};
    for (double& p : point) p = u(gen);
    std::array<DD, 4> xd{};
    std::array<Dual<double, 4>, 4> xf{};
    std::array<Dual<DD, 4>, 4> xdd{};
    for (std::size_t i = 0; i < 4; ++i) {
      xd[i] = DD{point[i], 0.0};
      xf[i] = Dual<double, 4>::variable(point[i], i);
      xdd[i] = Dual<DD, 4>::variable(DD{point[i], 0.0}, i);
    }
    for (const Case& c : CASES) {
      const DD value = c.dd(xd);
      const Dual<double, 4> gf = c.df(xf);
      const Dual<DD, 4> gdd = c.ddd(xdd);
      // The dual value is the scalar evaluation itself.
      EXPECT_TRUE(vantok::test::same_dd(gdd.value, value)) << c.name;
      for (std::size_t i = 0; i < 4; ++i) {
        const DD want = central_difference(c.dd, xd, i);
        const double scale = std::fabs(to_f64(want)) + std::fabs(to_f64(value));
        // f64 partials carry the f64 evaluation's rounding, a few 1e-16.
        const double err_f64 = std::fabs(gf.partials[i] - to_f64(want)) / scale;
        const DD diff = gdd.partials[i] - want;
        const double err_dd = std::fabs(to_f64(diff)) / scale;
        worst_f64 = std::fmax(worst_f64, err_f64);
        worst_dd = std::fmax(worst_dd, err_dd);
        EXPECT_LE(err_f64, 1e-14) << c.name << " partial " << i << " trial " << trial;
        // Double-double partials: the difference quotient's own error, ~1e-25.
        EXPECT_LE(err_dd, 1e-23) << c.name << " partial " << i << " trial " << trial;
      }
    }
  }
  std::printf("  worst relative error: f64 partials %.2g, double-double partials %.2g\n", worst_f64, worst_dd);
}

TEST(DualDerivatives, LogarithmAndSeedsStayApart) {
  const Dual<double, 4> x = Dual<double, 4>::variable(2.5, 2);
  const Dual<double, 4> y = ln(x);
  EXPECT_EQ(y.value, std::log(2.5));
  EXPECT_EQ(y.partials[2], 1.0 / 2.5);
  EXPECT_EQ(y.partials[0], 0.0);
  // d/dx ln(x^3) = 3/x, through powi and ln.
  const Dual<double, 4> z = ln(powi(x, 3));
  EXPECT_NEAR(z.partials[2], 3.0 / 2.5, 1e-15);
}

// Every scalar evaluates the same formulas to f64 accuracy.
template <class T>
class ScalarAgreement : public ::testing::Test {};
TYPED_TEST_SUITE(ScalarAgreement, vantok::test::AllScalarTypes);

TYPED_TEST(ScalarAgreement, ValuesMatchDoubleDouble) {
  using T = TypeParam;
  const std::array<double, 4> point{0.7, 1.3, 2.1, 0.4};
  std::array<T, 4> x{};
  std::array<DD, 4> xd{};
  for (std::size_t i = 0; i < 4; ++i) {
    x[i] = constant<T>(point[i]);
    xd[i] = DD{point[i], 0.0};
  }
  const std::array<std::pair<T, DD>, 5> results = {{
      {f_arithmetic(x), f_arithmetic(xd)},
      {f_sqrt_exp(x), f_sqrt_exp(xd)},
      {f_trig(x), f_trig(xd)},
      {f_hypot_powi(x), f_hypot_powi(xd)},
      {f_recip_abs(x), f_recip_abs(xd)},
  }};
  for (const auto& [got, want] : results) {
    EXPECT_NEAR(ScalarTraits<T>::value_f64(got), want.hi, 4e-16 * std::fabs(want.hi) * 8);
    if constexpr (ScalarTraits<T>::is_dual) {
      for (const auto& p : got.partials) EXPECT_EQ(ScalarTraits<typename ScalarTraits<T>::Real>::value_f64(p), 0.0);
    }
  }
}
