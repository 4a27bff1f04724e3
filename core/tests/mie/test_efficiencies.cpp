// Efficiencies and their Jacobian: reference values from the textbook series
// at high precision (gen_mie_reference.py), the optical theorem, limits, and
// central differences.
#include "vantok/mie/efficiencies.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "support/compare.hpp"
#include "support/table.hpp"
#include "vantok/mie/mie.hpp"

using vantok::Complex;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::mie::efficiencies::from_sums;
using vantok::mie::efficiencies::value_sums;
using vantok::test::rel_err;
namespace eff = vantok::mie::efficiencies;

namespace {

std::array<double, 5> solve_eff(Mie& mie, double x, Complex<double> m, bool allow = false) {
  auto r = mie.solve(SolveOptions{std::nullopt, allow}, false, x, m);
  EXPECT_TRUE(r.has_value());
  return (*r)->coefficients().efficiencies();
}

}  // namespace

TEST(MieEfficiencies, MatchReferenceTable) {
  const auto cases =
      vantok::test::blocks(vantok::test::read_table("mie_reference.txt"), "case");
  ASSERT_EQ(cases.size(), 20u);
  Mie mie;
  for (const auto& block : cases) {
    const double x = block[0].num(0);
    const Complex<double> m{block[0].num(1), block[0].num(2)};
    const auto got = solve_eff(mie, x, m, block[0].fields[4] == "1");
    const auto& ref = block[1];
    ASSERT_EQ(ref.tag, "eff");
    const std::string name = "x = " + std::to_string(x) + ", m = " + std::to_string(m.re) + " + " +
                             std::to_string(m.im) + "i";
    // Q_ext, Q_sca and g are well conditioned (1e-13 up to x = 100, the
    // accumulated rounding of ~1e4 terms beyond). Q_abs comes from the surface
    // fields and is compared with Q_ext - Q_sca of the reference, relative to
    // Q_ext (a weakly absorbing large sphere has Q_abs << Q_ext). Q_back is an
    // alternating sum that cancels at large x.
    // Near m = 1 the coefficients are proportional to m - 1 but formed from
    // O(1) differences below the cut order: relative errors grow as eps/|m - 1|.
    const double contrast = 0x1p-52 / std::hypot(m.re - 1.0, m.im);
    const double big = std::max(x > 150.0 ? 1e-11 : 1e-13, 8.0 * contrast);
    for (std::size_t k : {eff::Q_EXT, eff::Q_SCA, eff::G}) {
      EXPECT_LT(rel_err(got[k], ref.num(k)), big) << name << ", efficiency " << k;
    }
    if (m.im == 0.0) {
      EXPECT_EQ(got[eff::Q_ABS], 0.0) << name;
    } else {
      EXPECT_LT(std::fabs(got[eff::Q_ABS] - ref.num(eff::Q_ABS)) / ref.num(eff::Q_EXT), 1e-13)
          << name;
    }
    EXPECT_LT(rel_err(got[eff::Q_BACK], ref.num(eff::Q_BACK)),
              std::max(x >= 100.0 ? 1e-10 : 1e-12, 16.0 * contrast))
        << name;
  }
}

TEST(MieEfficiencies, OpticalTheorem) {
  // Q_abs + Q_sca (absorption from the surface fields) equals the extinction
  // series (2/x^2) sum (2n+1) Re(a_n + b_n) across the regimes.
  Mie mie;
  const struct {
    double x;
    Complex<double> m;
  } cases[] = {{1e-6, {1.5, 0.01}}, {0.7, {1.33, 1e-3}}, {3.0, {1.5, 1.0}}, {25.0, {2.0, 0.5}},
               {100.0, {1.33, 1e-3}}, {800.0, {1.5, 0.01}}, {5000.0, {1.5, 0.001}},
               {20000.0, {1.5, 0.01}}, {40.0, {10.0, 10.0}}, {60.0, {1.0001, 1e-4}}};
  for (const auto& c : cases) {
    auto r = mie.solve(SolveOptions{}, false, c.x, c.m);
    ASSERT_TRUE(r.has_value());
    const auto view = (*r)->coefficients();
    const auto q = view.efficiencies();
    double ext = 0.0;
    for (std::size_t i = 0; i < view.a.size(); ++i) {
      ext += (2.0 * static_cast<double>(i + 1) + 1.0) * (view.a[i].re + view.b[i].re);
    }
    ext *= 2.0 / (c.x * c.x);
    EXPECT_LT(rel_err(q[eff::Q_EXT], ext), c.x > 1000.0 ? 1e-11 : 1e-13) << c.x;
  }
}

TEST(MieEfficiencies, RealIndexAbsorbsNothing) {
  Mie mie;
  for (double x : {1e-6, 0.5, 7.0, 150.0, 3000.0}) {
    for (double mr : {0.75, 1.0, 1.33, 3.0}) {
      const auto q = solve_eff(mie, x, {mr, 0.0});
      EXPECT_EQ(q[eff::Q_ABS], 0.0) << x << " " << mr;
      EXPECT_EQ(q[eff::Q_EXT], q[eff::Q_SCA]);
    }
  }
}

TEST(MieEfficiencies, RayleighLimit) {
  // x = 1e-3: Q_sca ~ (8/3) x^4 |L|^2, Q_abs ~ 4 x Im L, L = (m^2-1)/(m^2+2);
  // the relative corrections are O(x^2).
  Mie mie;
  const double x = 1e-3;
  const auto q = solve_eff(mie, x, {1.5, 0.0});
  const double lr = (2.25 - 1.0) / (2.25 + 2.0);
  EXPECT_LT(rel_err(q[eff::Q_SCA], 8.0 / 3.0 * std::pow(x, 4) * lr * lr), 1e-5);
  // m = 1.5 + 0.1i: m^2 = 2.24 + 0.3i.
  const auto qa = solve_eff(mie, x, {1.5, 0.1});
  const double nr = 1.24, ni = 0.3, dr = 4.24, di = 0.3;
  const double im_l = (ni * dr - nr * di) / (dr * dr + di * di);
  EXPECT_LT(rel_err(qa[eff::Q_ABS], 4.0 * x * im_l), 1e-5);
}

TEST(ValueSums, SmallCases) {
  const auto zero = value_sums({}, {});
  EXPECT_EQ(zero.scattering, 0.0);
  EXPECT_EQ(zero.asymmetry, 0.0);
  EXPECT_EQ(zero.backscatter.re, 0.0);
  const auto q0 = from_sums(zero, 0.0, 2.0);
  EXPECT_EQ(q0[eff::G], 0.0);
  EXPECT_EQ(q0[eff::Q_BACK], 0.0);
  // N = 1: no neighbour term; S_asy = (3/2) Re(a_1 conj(b_1)).
  const Complex<double> a[1] = {{0.25, -0.5}};
  const Complex<double> b[1] = {{0.125, 0.75}};
  const auto one = value_sums(a, b);
  EXPECT_EQ(one.asymmetry, 1.5 * (0.25 * 0.125 - 0.5 * 0.75));
  EXPECT_EQ(one.scattering, 3.0 * (0.3125 + 0.578125));
  EXPECT_EQ(one.backscatter.re, -3.0 * (0.25 - 0.125));
  // A NaN S_sca propagates into g rather than reading as zero.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto q = from_sums({{0.0, 0.0}, nan, 1.0}, 0.0, 1.0);
  EXPECT_TRUE(std::isnan(q[eff::G]));
}

TEST(MieJacobian, CentralDifferences) {
  Mie mie, probe;
  const struct {
    double x;
    Complex<double> m;
  } cases[] = {{0.3, {1.2, 0.05}}, {1.0, {1.5, 0.1}}, {5.5, {1.33, 0.01}}, {12.0, {2.0, 0.5}},
               {40.0, {1.5, 1e-3}}, {30.0, {3.0, 2.0}}};
  for (const auto& c : cases) {
    auto r = mie.compute_with_derivatives(SolveOptions{}, c.x, c.m);
    ASSERT_TRUE(r.has_value());
    const auto jac = (*r)->coefficients().efficiencies_jacobian((*r)->coefficient_derivatives());
    // The term count stays fixed across the steps (n_max = default at x).
    const std::size_t n_terms = (*r)->a.size();
    auto at = [&](double x, Complex<double> m) {
      auto s = probe.solve(SolveOptions{n_terms, true}, false, x, m);
      EXPECT_TRUE(s.has_value());
      return (*s)->coefficients().efficiencies();
    };
    const double hx = 1e-6 * c.x;
    const double hm = 1e-6;
    const std::array<double, 5> plus[3] = {at(c.x + hx, c.m), at(c.x, {c.m.re + hm, c.m.im}),
                                           at(c.x, {c.m.re, c.m.im + hm})};
    const std::array<double, 5> minus[3] = {at(c.x - hx, c.m), at(c.x, {c.m.re - hm, c.m.im}),
                                            at(c.x, {c.m.re, c.m.im - hm})};
    const double h[3] = {hx, hm, hm};
    for (int p = 0; p < 3; ++p) {
      for (int k = 0; k < 5; ++k) {
        const double fd = (plus[p][k] - minus[p][k]) / (2.0 * h[p]);
        const double got = jac[5 * p + k];
        // Truncation O(h^2) and rounding ~1e-16/h: rtol 1e-6 with an absolute
        // floor for entries that vanish (Q_abs of a real index).
        EXPECT_LE(std::fabs(got - fd), 1e-6 * std::fabs(fd) + 1e-8)
            << "x = " << c.x << ", row " << p << ", column " << k << ": " << got << " vs " << fd;
      }
    }
    for (int p = 0; p < 3; ++p) EXPECT_EQ(jac[5 * p], jac[5 * p + 1] + jac[5 * p + 2]);
  }
}

TEST(MieJacobian, ImaginaryRowIsRotatedRealRow) {
  Mie mie;
  auto r = mie.compute_with_derivatives(SolveOptions{}, 7.5, {1.6, 0.2});
  ASSERT_TRUE(r.has_value());
  const auto view = (*r)->coefficients();
  const auto d = (*r)->coefficient_derivatives();
  const auto jac = view.efficiencies_jacobian(d);
  std::vector<Complex<double>> ia, ib;
  for (auto v : d.da_dm) ia.push_back(vantok::complex::times_i(v));
  for (auto v : d.db_dm) ib.push_back(vantok::complex::times_i(v));
  CoefficientDerivatives rotated = d;
  rotated.da_dm = ia;
  rotated.db_dm = ib;
  const auto jr = view.efficiencies_jacobian(rotated);
  for (std::size_t k : {eff::Q_SCA, eff::Q_BACK, eff::G}) EXPECT_EQ(jr[5 + k], jac[10 + k]) << k;
}

TEST(MieJacobian, InnerLayerViewHasNoExplicitTerms) {
  Mie mie;
  auto r = mie.compute_with_derivatives(SolveOptions{}, 4.0, {1.5, 0.05});
  ASSERT_TRUE(r.has_value());
  const auto view = (*r)->coefficients();
  auto d = (*r)->coefficient_derivatives();
  const auto outer = view.efficiencies_jacobian(d);
  d.outer = false;
  const auto inner = view.efficiencies_jacobian(d);
  const double u = 1.0 / view.x;
  const double s = u * u + u * u;
  const auto sums = value_sums(view.a, view.b);
  EXPECT_EQ(inner[eff::Q_SCA] - 2.0 * u * s * sums.scattering, outer[eff::Q_SCA]);
  EXPECT_EQ(inner[eff::Q_ABS], s * d.dabs_dx);
  EXPECT_EQ(inner[eff::G], outer[eff::G]);
  for (int k = 5; k < 15; ++k) EXPECT_EQ(inner[k], outer[k]);
}

TEST(MieJacobian, ZeroCoefficientsGiveZeroG) {
  const Complex<double> zeros[3] = {};
  const Coefficients view{zeros, zeros, 2.0, 0.0};
  const CoefficientDerivatives d{zeros, zeros, zeros, zeros, 0.0, 0.0, 0.0, true};
  const auto jac = view.efficiencies_jacobian(d);
  for (int p = 0; p < 3; ++p) EXPECT_EQ(jac[5 * p + eff::G], 0.0);
  EXPECT_EQ(view.efficiencies()[eff::G], 0.0);
}
