// One interface step of the layered recursion on synthetic, self-consistent
// data: both variants (Shift and Replace) and both forms of the inner-surface
// term agree with the defining formulas
//   H = (G2 D1(z2) - Q G1 D2(z2)) / (G2 - Q G1),  phi = F(z2; H),
//   omega = H + z2 phi,  nu = s W - z1 F(z1; W),  F(z; y) = n(n+1)/z^2 - 1 - y^2.
#include "vantok/layered/kernel.hpp"

#include <gtest/gtest.h>

#include <cmath>

using vantok::Complex;
using vantok::complex::inv;
using vantok::complex::scale;
using vantok::complex::times_i;
using vantok::layered::kernel::Arg;
using vantok::layered::kernel::side;
using vantok::layered::kernel::SideData;
using vantok::layered::kernel::SurfaceTerm;
using C = Complex<double>;
using vantok::complex::abs;

namespace {

struct Fixture {
  std::size_t n = 3;
  Arg a1{false, C{2.1, 0.3}};
  Arg a2{false, C{3.5, 0.5}};
  C mu_l{1.5, 0.1};
  C mu_p{1.33, 0.0};
  SideData data;

  Fixture() {
    const double n1 = static_cast<double>(n) + 1.0;
    const C r_z1{0.4, 0.1};
    const C r_z2{0.3, 0.2};
    const C p_s{0.8, 0.6};
    const C d1_z2 = scale(n1, a2.inv_z) - r_z2;
    // D2 - D1 = K/P with K = i for the xi form.
    data = SideData{C{0.25, -0.05}, r_z1, scale(n1, a1.inv_z) - r_z1, C{0.2, -0.7}, d1_z2,
                    d1_z2 + times_i(inv(p_s)), p_s, inv(p_s), C{0.5, -0.2}, false, n, r_z2, C{0.9, 0.1},
                    &a1, &a2, true};
  }

  double nn1() const { return static_cast<double>(n * (n + 1)); }
  C f(C z, C y) const { return scale(nn1(), inv(z * z)) - C{1.0, 0.0} - y * y; }

  // The published form of the step, for the a side (mu1 = m_l, mu2 = m_{l-1}).
  C published(C h_prev) const {
    const C g1 = mu_l * h_prev - mu_p * data.d1_z1;
    const C g2 = mu_l * h_prev - mu_p * data.d2_z1;
    const C q = data.q_s * inv(data.p_s);
    return (g2 * data.d1_z2 - q * g1 * data.d2_z2) * inv(g2 - q * g1);
  }
};

void expect_near(C got, C want, double tol, const char* what) {
  EXPECT_LE(abs(got - want), tol * (abs(want) + 1.0)) << what << ": (" << got.re << ", " << got.im
                                                        << ") vs (" << want.re << ", " << want.im << ")";
}

}  // namespace

TEST(LayeredSide, ShiftVariant) {
  Fixture fx;
  const C h_prev{0.7, 0.2};
  const auto r = side(SurfaceTerm::replace(h_prev), h_prev, fx.data, true, fx.mu_l, fx.mu_p, C{});
  ASSERT_EQ(r.term.kind, SurfaceTerm::Kind::Shift);
  expect_near(r.h, fx.published(h_prev), 1e-14, "H");
  expect_near(r.term.v, r.h - fx.data.d1_z2, 1e-14, "correction");
  ASSERT_TRUE(r.d.has_value());
  expect_near(r.d->phi, fx.f(fx.a2.z, r.h), 1e-13, "phi");
  expect_near(r.d->omega, r.h + fx.a2.z * r.d->phi, 1e-13, "omega");
  // First form of nu (W not small).
  const C w = fx.mu_l * h_prev * inv(fx.mu_p);
  expect_near(r.d->nu, w - fx.a1.z * fx.f(fx.a1.z, w), 1e-13, "nu");
  EXPECT_EQ(r.d->h, r.h);
}

TEST(LayeredSide, ReplaceVariantNearAZeroOfH) {
  Fixture fx;
  // h_prev for which H vanishes: mu1 h (D1 - Q D2) = mu2 (D2(z1) D1 - Q D1(z1) D2).
  const C q = fx.data.q_s * inv(fx.data.p_s);
  const C h0 = fx.mu_p * (fx.data.d2_z1 * fx.data.d1_z2 - q * fx.data.d1_z1 * fx.data.d2_z2) *
               inv(fx.mu_l * (fx.data.d1_z2 - q * fx.data.d2_z2));
  const C h_prev = h0 + C{1e-3, 0.0};
  const auto r = side(SurfaceTerm::replace(h_prev), h_prev, fx.data, true, fx.mu_l, fx.mu_p, C{});
  ASSERT_EQ(r.term.kind, SurfaceTerm::Kind::Replace);
  EXPECT_EQ(r.term.v, r.h);
  expect_near(r.h, fx.published(h_prev), 1e-12, "H");
  EXPECT_LT(abs(r.h), 0.1);
  expect_near(r.d->phi, fx.f(fx.a2.z, r.h), 1e-13, "phi");
  expect_near(r.d->omega, r.h + fx.a2.z * r.d->phi, 1e-13, "omega");
}

TEST(LayeredSide, SecondFormOfNu) {
  // A small W takes nu = s W - z1 F(z1; W) directly; the b side has s = -1.
  Fixture fx;
  const C h_prev{1e-3, -2e-3};
  const auto r = side(SurfaceTerm::replace(h_prev), h_prev, fx.data, false, fx.mu_p, fx.mu_l, C{});
  const C w = fx.mu_p * h_prev * inv(fx.mu_l);
  expect_near(r.d->nu, -w - fx.a1.z * fx.f(fx.a1.z, w), 1e-13, "nu");
}

TEST(LayeredSide, ShiftPredecessorCombinesTheOrderTerms) {
  // After a Shift(c) step, G1 is formed from the ratios with the (n+1)/x terms
  // combined into extra = c_l (n+1)/x_{l-1}; it must equal the direct form
  // mu1 H - mu2 D1(z1) for H = D1(m_{l-1} x_{l-1}) + c.
  Fixture fx;
  const double x_prev = 1.4;
  const C m_l = fx.mu_l, m_p = fx.mu_p;
  // z1 = m_l x_{l-1} and the previous argument m_{l-1} x_{l-1} share x_{l-1}.
  Arg z1{false, C{m_l.re * x_prev, m_l.im * x_prev}};
  fx.data.arg_z1 = &z1;
  const double n1 = static_cast<double>(fx.n) + 1.0;
  fx.data.d1_z1 = scale(n1, z1.inv_z) - fx.data.r_z1;
  const C z_prev{m_p.re * x_prev, m_p.im * x_prev};
  const C d1_prev = scale(n1, inv(z_prev)) - fx.data.r_prev;
  const C c{0.05, -0.02};
  const C contrast = (m_l - m_p) * (m_l + m_p) * inv(m_l * m_p);
  const C extra = scale(contrast, n1 / x_prev);
  const auto shifted = side(SurfaceTerm::shift(c), d1_prev + c, fx.data, true, m_l, m_p, extra);
  const auto direct = side(SurfaceTerm::replace(d1_prev + c), d1_prev + c, fx.data, true, m_l, m_p, C{});
  expect_near(shifted.h, direct.h, 1e-13, "H");
  expect_near(shifted.d->nu, direct.d->nu, 1e-12, "nu");
}

TEST(LayeredSide, NoDerivativePartsWithoutTheFlag) {
  Fixture fx;
  fx.data.derivatives = false;
  const auto r = side(SurfaceTerm::replace(C{0.7, 0.2}), C{0.7, 0.2}, fx.data, true, fx.mu_l, fx.mu_p, C{});
  EXPECT_FALSE(r.d.has_value());
}
