// One interface step of the layered recursion on synthetic, self-consistent
// data, against the defining formula H = (G2 D1(z2) - Q G1 D2(z2)) / (G2 - Q G1),
// G1 = mu1 H' - mu2 D1(z1), G2 = mu1 H' - mu2 D2(z1), Q = Qs/P: the correction
// form H = D1(z2) - c away from a zero of H, the direct form near one, where
// D1(z2) - c would cancel.
#include "vantok/layered/kernel.hpp"

#include <gtest/gtest.h>

using namespace vantok::layered::kernel;
using vantok::complex::inv;
using C = vantok::Complex<double>;

TEST(LayeredSide, FormOfTheStepAwayFromAndNearAZeroOfH) {
  const std::size_t n = 3;
  const Arg a1{false, C{2.1, 0.3}}, a2{false, C{3.5, 0.5}};
  const C mu_l{1.5, 0.1}, mu_p{1.33, 0.0}, r_z1{0.4, 0.1}, r_z2{0.3, 0.2}, p_s{0.8, 0.6};
  const C d1_z2 = vantok::complex::scale(4.0, a2.inv_z) - r_z2;
  // D2 - D1 = K/P with K = i for the xi form.
  const SideData data{C{0.25, -0.05}, r_z1, vantok::complex::scale(4.0, a1.inv_z) - r_z1, C{0.2, -0.7}, d1_z2,
                      d1_z2 + vantok::complex::times_i(inv(p_s)), p_s, inv(p_s), C{0.5, -0.2}, false, n, r_z2,
                      C{0.9, 0.1}, &a1, &a2, false};
  const C q = data.q_s * inv(data.p_s);
  auto defined = [&](C h_prev) {
    const C g1 = mu_l * h_prev - mu_p * data.d1_z1, g2 = mu_l * h_prev - mu_p * data.d2_z1;
    return (g2 * data.d1_z2 - q * g1 * data.d2_z2) * inv(g2 - q * g1);
  };
  // H' for which H vanishes: mu1 H' (D1 - Q D2) = mu2 (D2(z1) D1 - Q D1(z1) D2).
  const C h0 = mu_p * (data.d2_z1 * data.d1_z2 - q * data.d1_z1 * data.d2_z2) * inv(mu_l * (data.d1_z2 - q * data.d2_z2));
  const std::pair<C, SurfaceTerm::Kind> cases[] = {{C{0.7, 0.2}, SurfaceTerm::Kind::Shift},
                                                   {h0 + C{1e-3, 0.0}, SurfaceTerm::Kind::Replace}};
  for (const auto& [h_prev, kind] : cases) {
    const auto r = side(SurfaceTerm::replace(h_prev), h_prev, data, true, mu_l, mu_p, C{});
    EXPECT_EQ(r.term.kind, kind);
    const C want = defined(h_prev);
    EXPECT_LE(abs(r.h - want), 1e-15 * (abs(want) + 1.0)) << r.h.re << " " << r.h.im;
    EXPECT_LE(abs(kind == SurfaceTerm::Kind::Shift ? r.term.v - (r.h - d1_z2) : r.term.v - r.h), 1e-15 * abs(r.h) + 1e-16);
  }
}
