// Scale factors, angular functions and scaled exponentials against 50-digit
// references (spherical Hankel moduli, normalised associated Legendre
// functions without the Condon-Shortley phase, complex exponentials), for
// every scalar, plus the exact edge cases of the f64 member.

#include "vantok/tmatrix/functions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tmatrix/functions_table.hpp"
#include "tmatrix/scalar_support.hpp"

namespace {

using vantok::Complex;
using vantok::test::abs_diff;
using vantok::test::DD;
using vantok::test::num;
using vantok::test::Scalar;
using vantok::tmatrix::functions::Angular;
using vantok::tmatrix::functions::exps_scaled;
using vantok::tmatrix::functions::Scales;

template <class T>
class TmatrixFunctions : public ::testing::Test {};
using ScalarTypes = vantok::test::AllScalarTypes;
TYPED_TEST_SUITE(TmatrixFunctions, ScalarTypes);

template <class T>
T make(const DD& v) {
  return Scalar<T>::make(v.hi, v.lo);
}
template <class T>
T make(double v) {
  return Scalar<T>::make(v, 0.0);
}

TYPED_TEST(TmatrixFunctions, OutgoingScalesMultiplyToHankelModuli) {
  using T = TypeParam;
  for (const auto& rec : vantok::test::load_function_records()) {
    if (rec.kind != "scales") continue;
    const double x = num(rec.args[0]);
    const auto n = static_cast<std::size_t>(num(rec.args[1]));
    const Scales<T> s(n, make<T>(x), Complex<T>{make<T>(1.0), make<T>(0.5)});
    ASSERT_EQ(s.outgoing.size(), n + 2);
    // The running product in T carries one rounding per factor plus the
    // recurrence's own error, which grows at most linearly in k here.
    T prod = make<T>(1.0);
    for (std::size_t k = 0; k <= n + 1; ++k) {
      prod = prod * s.outgoing[k];
      const DD& ref = rec.rows[0][k];
      const double tol = 16.0 * static_cast<double>(k + 1) * Scalar<T>::u;
      EXPECT_LE(abs_diff(prod, ref.hi, ref.lo) / ref.hi, tol) << "x " << x << " k " << k;
    }
  }
}

TYPED_TEST(TmatrixFunctions, AngularFunctionsMatchLegendreReference) {
  using T = TypeParam;
  Angular<T> ang;
  for (const auto& rec : vantok::test::load_function_records()) {
    if (rec.kind != "angular") continue;
    const auto m = static_cast<std::size_t>(num(rec.args[0]));
    const auto n_max = static_cast<std::size_t>(num(rec.args[1]));
    const T c = Scalar<T>::make(num(rec.args[2]), num(rec.args[3]));
    const T s = Scalar<T>::make(num(rec.args[4]), num(rec.args[5]));
    ang.compute(m, n_max, c, s);
    const std::vector<T>* got[3] = {&ang.d0m, &ang.pi_mn, &ang.tau_mn};
    for (int v = 0; v < 3; ++v) {
      ASSERT_EQ(got[v]->size(), n_max + 1);
      double scale = 0.0;
      for (const DD& r : rec.rows[static_cast<std::size_t>(v)]) scale = std::fmax(scale, std::fabs(r.hi));
      // The upward recurrence is stable; its error grows with the degree.
      const double tol = 32.0 * static_cast<double>(n_max + 1) * Scalar<T>::u * scale;
      for (std::size_t n = 0; n <= n_max; ++n) {
        const DD& r = rec.rows[static_cast<std::size_t>(v)][n];
        EXPECT_LE(abs_diff((*got[v])[n], r.hi, r.lo), tol)
            << "m " << m << " n " << n << " function " << v;
      }
    }
  }
}

TYPED_TEST(TmatrixFunctions, ScaledExponentialsMatchReference) {
  using T = TypeParam;
  for (const auto& rec : vantok::test::load_function_records()) {
    if (rec.kind != "exps") continue;
    const Complex<T> z{make<T>(num(rec.args[0])), make<T>(num(rec.args[1]))};
    const auto [ep, em] = exps_scaled(z, make<T>(num(rec.args[2])));
    const T got[4] = {ep.re, ep.im, em.re, em.im};
    const auto& ref = rec.rows[0];
    const double mag_p = std::hypot(ref[0].hi, ref[1].hi), mag_m = std::hypot(ref[2].hi, ref[3].hi);
    for (int k = 0; k < 4; ++k) {
      // Relative to the modulus: sin and cos of a large argument are only as
      // good as its reduction, about |x| u absolute.
      const double mag = k < 2 ? mag_p : mag_m;
      const double tol = 8.0 * Scalar<T>::u * mag * std::fmax(1.0, std::fabs(num(rec.args[0])));
      EXPECT_LE(abs_diff(got[k], ref[static_cast<std::size_t>(k)].hi, ref[static_cast<std::size_t>(k)].lo), tol)
          << rec.args[0] << " " << rec.args[1] << " component " << k;
    }
  }
}

TYPED_TEST(TmatrixFunctions, AngularStructure) {
  using T = TypeParam;
  Angular<T> ang;
  const T c = make<T>(0.6), s = make<T>(0.8);
  // m > n_max: zeros.
  ang.compute(5, 3, c, s);
  ASSERT_EQ(ang.d0m.size(), 4u);
  for (std::size_t n = 0; n < 4; ++n) {
    EXPECT_EQ(Scalar<T>::hi(ang.d0m[n]), 0.0);
    EXPECT_EQ(Scalar<T>::hi(ang.pi_mn[n]), 0.0);
    EXPECT_EQ(Scalar<T>::hi(ang.tau_mn[n]), 0.0);
  }
  // n_max = 0, m = 0.
  ang.compute(0, 0, c, s);
  ASSERT_EQ(ang.d0m.size(), 1u);
  EXPECT_EQ(Scalar<T>::hi(ang.d0m[0]), 1.0);
  EXPECT_EQ(Scalar<T>::hi(ang.pi_mn[0]), 0.0);
  EXPECT_EQ(Scalar<T>::hi(ang.tau_mn[0]), 0.0);
  // m = 0: Legendre polynomials, pi all exactly zero.
  ang.compute(0, 8, c, s);
  EXPECT_EQ(Scalar<T>::hi(ang.d0m[1]), 0.6);
  for (std::size_t n = 0; n <= 8; ++n) EXPECT_EQ(Scalar<T>::hi(ang.pi_mn[n]), 0.0);
  // A smaller n_max after a larger one leaves the smaller length.
  ang.compute(2, 4, c, s);
  EXPECT_EQ(ang.d0m.size(), 5u);
  EXPECT_EQ(ang.tau_mn.size(), 5u);
  for (std::size_t n = 0; n < 2; ++n) EXPECT_EQ(Scalar<T>::hi(ang.d0m[n]), 0.0);
}

TEST(ScalesF64, ExactCases) {
  // x = 1: a = (1, sqrt 2, sqrt 6.5, ...), w_2 = 3 - 1/(1 - i) = 2.5 - 0.5 i.
  const Scales<double> s(3, 1.0, Complex<double>{3.0, 0.0});
  EXPECT_EQ(s.outgoing[0], 1.0);
  EXPECT_EQ(s.outgoing[1], std::hypot(1.0, -1.0));
  EXPECT_EQ(s.outgoing[2], std::hypot(2.5, -0.5));
  EXPECT_NEAR(s.outgoing[2], 2.5495097567963924, 4e-16);
  EXPECT_NEAR(s.outgoing[3], 4.6160255965161532, 1e-15);
  EXPECT_NEAR(s.outgoing[4], 6.7833944624511552, 2e-15);
  // |z| = 3: b = (1/3, 1 (the cap), 0.6, 3/7).
  EXPECT_EQ(s.regular, (std::vector<double>{1.0 / 3.0, 1.0, 3.0 / 5.0, 3.0 / 7.0, 3.0 / 9.0}));
  // |z| = 6 = |(3.6, -4.8)|: b_1 = b_2 = 1, b_3 = 6/7; im_abs = |Im z|.
  const Scales<double> t(2, 1.0, Complex<double>{3.6, -4.8});
  EXPECT_EQ(t.regular[1], 1.0);
  EXPECT_EQ(t.regular[2], 1.0);
  EXPECT_EQ(t.regular[3], std::hypot(3.6, -4.8) / 7.0);
  EXPECT_EQ(t.im_abs, 4.8);
  // n = 0: two entries each.
  const Scales<double> u(0, 0.5, Complex<double>{1.5, 0.0});
  EXPECT_EQ(u.outgoing, (std::vector<double>{2.0, std::hypot(2.0, -1.0)}));
  EXPECT_EQ(u.regular, (std::vector<double>{1.0 / 1.5, 0.5}));
  // Far above x the outgoing scales approach (2k - 1)/x.
  const Scales<double> v(400, 2.0, Complex<double>{1.0, 0.0});
  EXPECT_NEAR(v.outgoing[401] / (801.0 / 2.0), 1.0, 1e-5);
}

TEST(ScalesF64, DegenerateArguments) {
  const Scales<double> zero_z(2, 1.0, Complex<double>{0.0, 0.0});
  EXPECT_EQ(zero_z.regular[0], INFINITY);
  EXPECT_EQ(zero_z.regular[1], 0.0);
  const Scales<double> nan_z(2, 1.0, Complex<double>{NAN, 1.0});
  EXPECT_TRUE(std::isnan(nan_z.regular[0]));
  EXPECT_EQ(nan_z.regular[1], 1.0);
  EXPECT_EQ(nan_z.regular[3], 1.0);
  const Scales<double> zero_x(2, 0.0, Complex<double>{1.0, 0.0});
  EXPECT_EQ(zero_x.outgoing[0], INFINITY);
  EXPECT_FALSE(std::isfinite(zero_x.outgoing[2]));
  const Scales<double> nan_x(2, NAN, Complex<double>{1.0, 0.0});
  for (double a : nan_x.outgoing) EXPECT_TRUE(std::isnan(a));
}

TEST(AngularF64, SpotValuesAndCompanions) {
  Angular<double> ang;
  ang.compute(2, 3, 0.6, 0.8);
  EXPECT_NEAR(ang.d0m[3], 0.52581366, 5e-9);
  EXPECT_NEAR(ang.tau_mn[2], 0.58787754, 5e-9);
  // m = n_max: only the diagonal entry; tau = m c d / s.
  ang.compute(3, 3, 0.6, 0.8);
  EXPECT_EQ(ang.d0m[2], 0.0);
  EXPECT_EQ(ang.tau_mn[3], ((3.0 * 0.6) * ang.d0m[3] - 0.0 * 0.0) * (1.0 / 0.8));
  EXPECT_EQ(ang.pi_mn[3], (ang.d0m[3] * 3.0) * (1.0 / 0.8));
  // Underflow of the start value for tiny s and large m is left alone.
  ang.compute(200, 210, 1.0, 1e-5);
  EXPECT_EQ(ang.d0m[200], 0.0);
  EXPECT_EQ(ang.d0m[210], 0.0);
}

TEST(ExpsScaledF64, EdgeCases) {
  // y = s = 0: (cos x, +-sin x) exactly.
  auto [ep, em] = exps_scaled(Complex<double>{0.7, 0.0}, 0.0);
  EXPECT_EQ(ep.re, std::cos(0.7));
  EXPECT_EQ(ep.im, std::sin(0.7));
  EXPECT_EQ(em.re, std::cos(0.7));
  EXPECT_EQ(em.im, -std::sin(0.7));
  // y = s = 400: |E-| = 1, E+ underflows to exactly 0 (not NaN).
  std::tie(ep, em) = exps_scaled(Complex<double>{1.25, 400.0}, 400.0);
  EXPECT_EQ(ep.re, 0.0);
  EXPECT_EQ(ep.im, 0.0);
  EXPECT_NEAR(std::hypot(em.re, em.im), 1.0, 2e-16);
}

}  // namespace
