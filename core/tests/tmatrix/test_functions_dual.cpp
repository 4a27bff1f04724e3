// The dual members of the per-node functions: value parts identical to the
// f64 and double-double members, partials against identities (d/dt d = tau,
// d/dx of exp(+-i z) = +-i E) and against central differences of the
// double-double member; and the double-double edge cases of the exponentials.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/scalar_compare.hpp"
#include "vantok/tmatrix/functions.hpp"
#include "vantok/tmatrix/regular.hpp"

namespace {

using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::scalar::Dual;
using vantok::scalar::DualDD;
using vantok::scalar::DualF64;
using vantok::test::same_real;
using namespace vantok::tmatrix::functions;

template <class D>
class DualFunctions : public ::testing::Test {};
using DualTypes = ::testing::Types<DualF64, DualDD>;
TYPED_TEST_SUITE(DualFunctions, DualTypes);

template <class R>
R real(double v) {
  return vantok::scalar::constant<R>(v);
}
template <class R>
double lead(const R& x) {
  return vantok::scalar::ScalarTraits<R>::value_f64(x);
}
template <class R>
double tol_u() {
  return std::is_same_v<R, double> ? 0x1p-53 : 0x1p-104;
}

TYPED_TEST(DualFunctions, ScalesValuesEqualRealMemberAndPartialsMatchDifferences) {
  using D = TypeParam;
  using R = typename vantok::scalar::ScalarTraits<D>::Real;
  const std::size_t n = 20;
  const double x0 = 0.8, zr0 = 2.3, zi0 = -0.4;
  // Slots as the derivative kernel seeds them: x on 0, Re z on 2, Im z on 3.
  const D x = D::variable(real<R>(x0), 0);
  const Complex<D> z{D::variable(real<R>(zr0), 2), D::variable(real<R>(zi0), 3)};
  const Scales<D> s(n, x, z);
  const Scales<R> plain(n, real<R>(x0), Complex<R>{real<R>(zr0), real<R>(zi0)});
  for (std::size_t k = 0; k <= n + 1; ++k) {
    EXPECT_TRUE(same_real(s.outgoing[k].value, plain.outgoing[k])) << k;
    EXPECT_TRUE(same_real(s.regular[k].value, plain.regular[k])) << k;
  }
  EXPECT_TRUE(same_real(s.im_abs.value, plain.im_abs));
  // |Im z| with Im z < 0: the partial flips sign with the value.
  EXPECT_EQ(lead(s.im_abs.partials[3]), -1.0);

  // Central differences of the double-double member (step h, truncation h^2).
  const double h = 0x1p-24;
  auto at = [&](double dx, double dzr, double dzi) {
    return Scales<DoubleDouble>(n, DoubleDouble{x0, 0.0} + dx,
                                Complex<DoubleDouble>{DoubleDouble{zr0, 0.0} + dzr, DoubleDouble{zi0, 0.0} + dzi});
  };
  const auto xp = at(h, 0, 0), xm = at(-h, 0, 0), rp = at(0, h, 0), rm = at(0, -h, 0), ip = at(0, 0, h),
             im = at(0, 0, -h);
  for (std::size_t k = 0; k <= n + 1; ++k) {
    const double fx = ((xp.outgoing[k] - xm.outgoing[k]) / DoubleDouble{2 * h, 0.0}).hi;
    EXPECT_NEAR(lead(s.outgoing[k].partials[0]), fx, 1e-9 * std::fabs(fx) + 1e-300) << k;
    EXPECT_EQ(lead(s.outgoing[k].partials[2]), 0.0);
    const double fr = ((rp.regular[k] - rm.regular[k]) / DoubleDouble{2 * h, 0.0}).hi;
    const double fi = ((ip.regular[k] - im.regular[k]) / DoubleDouble{2 * h, 0.0}).hi;
    EXPECT_NEAR(lead(s.regular[k].partials[2]), fr, 1e-9 * std::fabs(fr) + 1e-12) << k;
    EXPECT_NEAR(lead(s.regular[k].partials[3]), fi, 1e-9 * std::fabs(fi) + 1e-12) << k;
  }
  // b_1 = min(|z|/3, 1) < 1 carries partials; with |z| > 3 it is the constant 1.
  EXPECT_NE(lead(s.regular[1].partials[2]), 0.0);
  const Scales<D> big(2, x, Complex<D>{D::variable(real<R>(5.0), 2), D::variable(real<R>(0.0), 3)});
  EXPECT_EQ(lead(big.regular[1].value), 1.0);
  EXPECT_EQ(lead(big.regular[1].partials[2]), 0.0);
  // |z| = 3 exactly: the value 1 keeps the partials of |z|/3.
  const Scales<D> edge(1, x, Complex<D>{D::variable(real<R>(3.0), 2), D::variable(real<R>(0.0), 3)});
  EXPECT_EQ(lead(edge.regular[1].value), 1.0);
  EXPECT_NEAR(lead(edge.regular[1].partials[2]), 1.0 / 3.0, 1e-15);
}

TYPED_TEST(DualFunctions, AngularPartialInTIsTau) {
  using D = TypeParam;
  using R = typename vantok::scalar::ScalarTraits<D>::Real;
  // c = cos t, s = sin t as duals of t: the t-partial of d^n_0m is tau_mn.
  const D t = D::variable(real<R>(0.7), 1);
  const auto [s, c] = vantok::scalar::sin_cos(t);
  Angular<D> ang;
  Angular<R> plain;
  for (std::size_t m : {std::size_t{0}, std::size_t{1}, std::size_t{4}}) {
    ang.compute(m, 25, c, s);
    plain.compute(m, 25, c.value, s.value);
    for (std::size_t n = std::max<std::size_t>(m, 1); n <= 25; ++n) {
      EXPECT_TRUE(same_real(ang.d0m[n].value, plain.d0m[n])) << m << " " << n;
      EXPECT_TRUE(same_real(ang.tau_mn[n].value, plain.tau_mn[n]));
      EXPECT_TRUE(same_real(ang.pi_mn[n].value, plain.pi_mn[n]));
      const double want = lead(ang.tau_mn[n].value);
      EXPECT_NEAR(lead(ang.d0m[n].partials[1]), want, 64.0 * 25 * tol_u<R>() * 4.0) << m << " " << n;
      EXPECT_EQ(lead(ang.d0m[n].partials[0]), 0.0);
    }
  }
}

TYPED_TEST(DualFunctions, ExponentialPartialsFollowTheChainRule) {
  using D = TypeParam;
  using R = typename vantok::scalar::ScalarTraits<D>::Real;
  const Complex<D> z{D::variable(real<R>(1.3), 0), D::variable(real<R>(-2.0), 1)};
  const D s = D::variable(real<R>(2.5), 2);
  const auto [ep, em] = exps_scaled(z, s);
  const auto [pp, pm] = exps_scaled(Complex<R>{real<R>(1.3), real<R>(-2.0)}, real<R>(2.5));
  EXPECT_TRUE(same_real(ep.re.value, pp.re));
  EXPECT_TRUE(same_real(em.im.value, pm.im));
  // dE+/dx = i E+, dE+/dy = -E+, dE+/ds = -E+; dE-/dx = -i E-, dE-/dy = E-.
  const double e = 8 * tol_u<R>();
  const double epr = lead(ep.re.value), epi = lead(ep.im.value), emr = lead(em.re.value), emi = lead(em.im.value);
  EXPECT_NEAR(lead(ep.re.partials[0]), -epi, e);
  EXPECT_NEAR(lead(ep.im.partials[0]), epr, e);
  EXPECT_NEAR(lead(ep.re.partials[1]), -epr, e);
  EXPECT_NEAR(lead(ep.im.partials[2]), -epi, e);
  EXPECT_NEAR(lead(em.re.partials[0]), emi, e);
  EXPECT_NEAR(lead(em.im.partials[0]), -emr, e);
  EXPECT_NEAR(lead(em.re.partials[1]), emr, e);
  EXPECT_NEAR(lead(em.im.partials[2]), -emi, e);
  EXPECT_EQ(lead(ep.re.partials[3]), 0.0);
}

TEST(ExpsScaledDoubleDouble, EdgeCases) {
  // y = s with 2s beyond the range of exp: E+ is exactly 0, |E-| = 1.
  const auto [ep, em] = exps_scaled(Complex<DoubleDouble>{{0.5, 0.0}, {600.0, 0.0}}, DoubleDouble{600.0, 0.0});
  EXPECT_TRUE(same_real(ep.re, DoubleDouble{0.0, 0.0}));
  EXPECT_TRUE(same_real(ep.im, DoubleDouble{0.0, 0.0}));
  const DoubleDouble mod = DoubleDouble::hypot(em.re, em.im);
  EXPECT_NEAR((mod - 1.0).hi, 0.0, 1e-31);
  // A real part beyond the reduction limit |x| < 2^50: every component NaN.
  const auto [np, nm] = exps_scaled(Complex<DoubleDouble>{{0x1p51, 0.0}, {0.0, 0.0}}, DoubleDouble{0.0, 0.0});
  for (const DoubleDouble& v : {np.re, np.im, nm.re, nm.im}) EXPECT_TRUE(std::isnan(v.hi));
}

TEST(RegularSeriesWide, DoubleDoubleComparisonSeesLoParts) {
  using vantok::tmatrix::regular::sums;
  using vantok::tmatrix::regular::suffix;
  using vantok::tmatrix::regular::tail;
  // Same construction as the f64 tie (direct bound 1, complement bound 1 +
  // ||v||), with v = (0, 0): a tie goes direct. A complement bound larger by
  // a lo part only also goes direct; smaller by a lo part goes to the
  // complement.
  using CDD = Complex<DoubleDouble>;
  const std::vector<DoubleDouble> alpha{{1.0, 0.0}};
  const auto sa = suffix<DoubleDouble>(alpha, 1);
  for (double lo : {0.0, 0x1p-70, -0x1p-70}) {
    const std::vector<CDD> beta{{{1.0, lo}, {0.0, 0.0}}, {{1.0, 0.0}, {0.0, 0.0}}};
    const auto j = sums<DoubleDouble>(0, beta);
    const auto [val, bound] = tail<DoubleDouble>(j, 0, 0, alpha, {1.0, 0.0}, sa, 0, CDD{});
    if (lo >= 0.0) {
      EXPECT_TRUE(same_real(bound, DoubleDouble{1.0, 0.0})) << lo;  // direct
    } else {
      EXPECT_TRUE(same_real(bound, DoubleDouble{1.0, lo})) << lo;  // complement
      EXPECT_EQ(val.re.hi, -1.0);
    }
  }
}

TEST(RegularSeriesWide, DualBoundsCarryPartials) {
  using vantok::tmatrix::regular::sums;
  using vantok::tmatrix::regular::suffix;
  // ||beta|| = |Re| + |Im|: the partials of a negative part flip sign.
  std::vector<Complex<DualF64>> beta{{DualF64::variable(-2.0, 0), DualF64::variable(0.5, 1)}};
  const auto j = sums<DualF64>(0, beta);
  EXPECT_EQ(j.prefix_bounds[0].value, 2.5);
  EXPECT_EQ(j.prefix_bounds[0].partials[0], -1.0);
  EXPECT_EQ(j.prefix_bounds[0].partials[1], 1.0);
  const std::vector<DualF64> a{DualF64::variable(-0.0, 2), DualF64::variable(3.0, 3)};
  const auto sx = suffix<DualF64>(a, 2);
  // |-0.0| = 0 with its partial negated (sign bit set).
  EXPECT_EQ(sx.bounds[0].value, 3.0);
  EXPECT_EQ(sx.bounds[0].partials[2], -1.0);
  EXPECT_EQ(sx.bounds[0].partials[3], 1.0);
}

}  // namespace
