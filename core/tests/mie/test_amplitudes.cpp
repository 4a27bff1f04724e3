// Scattering amplitudes: the textbook sums at 40 digits (gen_mie_amplitudes.py),
// the forward and backward identities, the optical theorem, the table path
// against the recurrence path bit for bit, the refusals, and the derivatives
// against central differences.
#include "vantok/mie/amplitudes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "mie/reference_amplitudes.hpp"
#include "mie/sphere_differences.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "support/sanitizer.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/mie/mie.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;
using vantok::mie::amplitudes::AmplitudeBuffers;
using vantok::mie::amplitudes::AngularTable;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::test::bits;
using vantok::test::expect_error;
using C = Complex<double>;
using vantok::complex::abs;

struct Amplitudes {
  std::vector<C> s1, s2;
  explicit Amplitudes(std::size_t n) : s1(n, C{0.0, 0.0}), s2(n, C{0.0, 0.0}) {}
  AmplitudeBuffers buffers() { return {s1, s2}; }
};

Amplitudes amplitudes_at(double x, C m, const std::vector<double>& mu) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, false, x, m);
  EXPECT_TRUE(st.has_value());
  Amplitudes out(mu.size());
  EXPECT_TRUE((*st)->coefficients().amplitudes(mu, out.buffers()).has_value());
  return out;
}


bool same(const C& a, const C& b) { return bits(a.re) == bits(b.re) && bits(a.im) == bits(b.im); }

const std::vector<double> COSINES = {-1.0, -0.95, -0.7, -0.3, -0.0, 0.0, 0.25, 0.6, 0.9, 0.99, 1.0};

// Against the textbook sums. The coefficients carry errors of a few ulps
// relative to the largest terms, which the sums accumulate over N terms: the
// error is bounded relative to the forward amplitude |S(1)|, the largest
// value, at 1e-14 (the measured worst case is 1.1e-15, at x = 100).
TEST(MieAmplitudes, MatchTextbookSums) {
  const auto spheres = vantok::test::reference_amplitudes();
  ASSERT_EQ(spheres.size(), 8u);
  for (const auto& sphere : spheres) {
    const std::vector<double> mu = sphere.cosines();
    const Amplitudes got = amplitudes_at(sphere.x, sphere.m, mu);
    const double scale = abs(amplitudes_at(sphere.x, sphere.m, {1.0}).s1[0]);
    for (std::size_t j = 0; j < mu.size(); ++j) {
      const auto& want = sphere.amplitudes[j];
      EXPECT_LE(abs(got.s1[j] - want.s1), 1e-14 * scale)
          << "x=" << sphere.x << " m=" << sphere.m.re << "+" << sphere.m.im << "i mu=" << mu[j];
      EXPECT_LE(abs(got.s2[j] - want.s2), 1e-14 * scale)
          << "x=" << sphere.x << " m=" << sphere.m.re << "+" << sphere.m.im << "i mu=" << mu[j];
    }
  }
}

// At mu = 1, pi_n = tau_n = n(n+1)/2 exactly, so S1 and S2 take the same
// sequence of operations; at mu = -1, tau_n = -pi_n and S1 = -S2.
TEST(MieAmplitudes, ForwardAndBackwardIdentities) {
  for (auto [x, m] : {std::pair{0.3, C{1.5, 0.0}}, {2.0, C{1.33, 0.001}}, {25.0, C{1.5, 0.2}},
                      {300.0, C{1.1, 0.0}}}) {
    const Amplitudes s = amplitudes_at(x, m, {1.0, -1.0});
    EXPECT_TRUE(same(s.s1[0], s.s2[0])) << x;
    EXPECT_EQ(s.s1[1].re, -s.s2[1].re) << x;
    EXPECT_EQ(s.s1[1].im, -s.s2[1].im) << x;
  }
}

// Optical theorem Q_ext = (4/x^2) Re S(1), and Q_back = (4/x^2) |S1(-1)|^2.
// Q_ext comes from the absorption and scattering sums, an independent route:
// they agree to rounding (1e-13 relative).
TEST(MieAmplitudes, OpticalTheoremAndBackscatter) {
  for (auto [x, m] : {std::pair{0.1, C{1.5, 0.01}}, {1.0, C{1.33, 0.0}}, {7.5, C{2.0, 1.0}},
                      {60.0, C{1.2, 0.001}}, {400.0, C{1.5, 0.0}}}) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, false, x, m);
    ASSERT_TRUE(st.has_value());
    const Coefficients c = (*st)->coefficients();
    const auto q = c.efficiencies();
    Amplitudes s(2);
    const std::vector<double> mu{1.0, -1.0};
    ASSERT_TRUE(c.amplitudes(mu, s.buffers()).has_value());
    const double k = 4.0 / (x * x);
    EXPECT_LE(vantok::test::rel_err(k * s.s1[0].re, q[0]), 1e-13) << x;
    EXPECT_LE(vantok::test::rel_err(k * (s.s1[1].re * s.s1[1].re + s.s1[1].im * s.s1[1].im), q[3]),
              1e-13)
        << x;
  }
}

// The table stores the very products the recurrence forms, and both sum in
// ascending n: the two paths agree bit for bit, with and without derivatives,
// also when the table holds more orders than the sphere needs.
TEST(MieAmplitudes, TableEqualsRecurrenceBitForBit) {
  std::vector<double> mu;
  for (int j = 0; j <= 40; ++j) mu.push_back(-1.0 + j * 0.05);
  mu.push_back(0.123456789);
  for (auto [x, m] : {std::pair{0.7, C{1.5, 0.0}}, {12.0, C{1.33, 0.05}}, {85.0, C{1.6, 0.3}}}) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, true, x, m);
    ASSERT_TRUE(st.has_value());
    const Coefficients c = (*st)->coefficients();
    const CoefficientDerivatives d = (*st)->coefficient_derivatives();
    for (std::size_t extra : {0u, 17u}) {
      auto table = AngularTable::create(mu, c.a.size() + extra);
      ASSERT_TRUE(table.has_value());
      Amplitudes r(mu.size()), t(mu.size());
      ASSERT_TRUE(c.amplitudes(mu, r.buffers()).has_value());
      ASSERT_TRUE(c.amplitudes_from_table(*table, t.buffers()).has_value());
      Amplitudes rv(mu.size()), rx(mu.size()), rm(mu.size()), tv(mu.size()), tx(mu.size()), tm(mu.size());
      ASSERT_TRUE(c.amplitudes_with_derivatives(d, mu, rv.buffers(), rx.buffers(), rm.buffers()).has_value());
      ASSERT_TRUE(c.amplitudes_with_derivatives_from_table(d, *table, tv.buffers(), tx.buffers(), tm.buffers())
                      .has_value());
      for (std::size_t j = 0; j < mu.size(); ++j) {
        EXPECT_TRUE(same(r.s1[j], t.s1[j]) && same(r.s2[j], t.s2[j])) << x << " " << mu[j];
        EXPECT_TRUE(same(r.s1[j], rv.s1[j]) && same(r.s2[j], rv.s2[j])) << x << " " << mu[j];
        EXPECT_TRUE(same(rv.s1[j], tv.s1[j]) && same(rv.s2[j], tv.s2[j])) << x << " " << mu[j];
        EXPECT_TRUE(same(rx.s1[j], tx.s1[j]) && same(rx.s2[j], tx.s2[j])) << x << " " << mu[j];
        EXPECT_TRUE(same(rm.s1[j], tm.s1[j]) && same(rm.s2[j], tm.s2[j])) << x << " " << mu[j];
      }
    }
  }
}

// Derivatives against fourth-order central differences of the values, in x
// and along Re m and Im m (d/d(Im m) = i dS/dm). Steps of 1e-4 leave about
// 1e-11 of the amplitude scale; checked to 1e-8 of max |S|.
TEST(MieAmplitudes, DerivativesMatchCentralDifferences) {
  const std::vector<double> mu{-1.0, -0.4, 0.0, 0.5, 0.97, 1.0};
  for (auto [x, m] : {std::pair{0.8, C{1.5, 0.01}}, {4.0, C{1.33, 0.001}}, {15.0, C{1.7, 0.4}}}) {
    Mie mie;
    auto st = mie.solve(SolveOptions{}, true, x, m);
    ASSERT_TRUE(st.has_value());
    const std::size_t n_terms = (*st)->a.size();
    Amplitudes v(mu.size()), dx(mu.size()), dm(mu.size());
    ASSERT_TRUE((*st)->coefficients()
                    .amplitudes_with_derivatives((*st)->coefficient_derivatives(), mu, v.buffers(),
                                                 dx.buffers(), dm.buffers())
                    .has_value());
    // Differences of (Re S1, Im S1, Re S2, Im S2) per cosine.
    const auto [fx, fre, fim] = vantok::test::sphere_differences(x, m, n_terms, 1e-4, [&](const Coefficients& c) {
      Amplitudes out(mu.size());
      EXPECT_TRUE(c.amplitudes(mu, out.buffers()).has_value());
      std::vector<double> flat;
      for (std::size_t j = 0; j < mu.size(); ++j) {
        flat.insert(flat.end(), {out.s1[j].re, out.s1[j].im, out.s2[j].re, out.s2[j].im});
      }
      return flat;
    });
    double scale = 0.0;
    for (std::size_t j = 0; j < mu.size(); ++j) scale = std::max({scale, abs(v.s1[j]), abs(v.s2[j])});
    const double tol = 1e-8 * scale;
    auto check = [&](const C& got1, const C& got2, const std::vector<double>& fd, std::size_t j,
                     const char* what) {
      EXPECT_LE(abs(got1 - C{fd[4 * j], fd[4 * j + 1]}), tol) << what << " x=" << x << " mu=" << mu[j];
      EXPECT_LE(abs(got2 - C{fd[4 * j + 2], fd[4 * j + 3]}), tol) << what << " x=" << x << " mu=" << mu[j];
    };
    for (std::size_t j = 0; j < mu.size(); ++j) {
      check(dx.s1[j], dx.s2[j], fx, j, "x");
      check(dm.s1[j], dm.s2[j], fre, j, "Re m");
      check(vantok::complex::times_i(dm.s1[j]), vantok::complex::times_i(dm.s2[j]), fim, j, "Im m");
    }
  }
}

TEST(MieAmplitudes, RefusesBadBuffersAndCosines) {
  Mie mie;
  auto st = mie.solve(SolveOptions{}, true, 3.0, C{1.5, 0.0});
  ASSERT_TRUE(st.has_value());
  const Coefficients c = (*st)->coefficients();
  const CoefficientDerivatives d = (*st)->coefficient_derivatives();
  const C marker{7.0, 7.0};
  std::vector<C> s1(3, marker), s2(2, marker), t1(3, marker), t2(3, marker);
  // Buffers are checked before any cosine.
  const std::vector<double> bad_mu{0.5, std::nan(""), 0.1};
  auto r = c.amplitudes(bad_mu, {s1, s2});
  expect_error(r, Error::Kind::InvalidInput,
               "the amplitude buffers must have one value per cosine (3), got 3 and 2");
  const std::string cosine =
      "a cosine of the scattering angle must be finite and in [-1, 1], and for dual numbers have "
      "finite derivative parts, got ";
  for (const auto& [value, text] : {std::pair{1.0000000001, "1.0000000001"}, {std::nan(""), "NaN"},
                                    {INFINITY, "inf"}, {-2.0, "-2"}}) {
    const std::vector<double> mu{0.0, value, 0.5};
    r = c.amplitudes(mu, {s1, t2});
    expect_error(r, Error::Kind::InvalidInput, cosine + text);
  }
  // The derivative groups: values first, then dx, then dm.
  std::vector<C> u1(3, marker), u2(3, marker), w1(3, marker), w2(4, marker);
  const std::vector<double> mu{0.0, 0.2, 0.5};
  r = c.amplitudes_with_derivatives(d, mu, {s1, t2}, {u1, u2}, {w1, w2});
  expect_error(r, Error::Kind::InvalidInput,
               "the derivative buffers must have one value per cosine (3), got 3 and 4");
  r = c.amplitudes_with_derivatives(d, mu, {s1, s2}, {u1, u2}, {w1, w2});
  expect_error(r, Error::Kind::InvalidInput,
               "the amplitude buffers must have one value per cosine (3), got 3 and 2");
  // Nothing was written by any refused call.
  for (const auto* v : {&s1, &s2, &t1, &t2, &u1, &u2, &w1, &w2}) {
    for (const C& z : *v) EXPECT_TRUE(same(z, marker));
  }
}

TEST(MieAmplitudes, AngularTableRefusals) {
  const std::vector<double> mu{-0.5, 0.5};
  auto t = AngularTable::create(mu, 0);
  expect_error(t, Error::Kind::InvalidInput, "the number of orders must be in [1, 1048576], got 0");
  t = AngularTable::create(mu, 1048577);
  expect_error(t, Error::Kind::InvalidInput, "the number of orders must be in [1, 1048576], got 1048577");
  // The cosine is reported before the order count.
  const std::vector<double> bad{0.5, 1.5};
  t = AngularTable::create(bad, 0);
  expect_error(t, Error::Kind::InvalidInput,
               "a cosine of the scattering angle must be finite and in [-1, 1], and for dual numbers have "
               "finite derivative parts, got 1.5");
  // 2^20 orders at 2^24 cosines would take 2^47 bytes per table (the address
  // sanitizer ends the process at such a request instead of failing it).
  if (!vantok::test::ADDRESS_SANITIZER) {
    const std::vector<double> many(std::size_t{1} << 24, 0.0);
    t = AngularTable::create(many, 1048576);
    expect_error(t, Error::Kind::InvalidInput,
                 "an angular table of 1048576 orders at 16777216 cosines is too large to allocate");
  }

  // A table must hold the sphere's orders; exactly N is enough.
  Mie mie;
  auto st = mie.solve(SolveOptions{}, true, 1.0, C{1.5, 0.0});
  ASSERT_TRUE(st.has_value());
  const Coefficients c = (*st)->coefficients();
  ASSERT_EQ(c.a.size(), 10u);
  auto small = AngularTable::create(mu, 9);
  ASSERT_TRUE(small.has_value());
  std::vector<C> s1(2), s2(2), u1(2), u2(2), w1(2), w2(2);
  auto r = c.amplitudes_from_table(*small, {s1, s2});
  expect_error(r, Error::Kind::InvalidInput,
               "the solution has 10 terms, more than the 9 orders of the angular table");
  r = c.amplitudes_with_derivatives_from_table((*st)->coefficient_derivatives(), *small, {s1, s2},
                                               {u1, u2}, {w1, w2});
  expect_error(r, Error::Kind::InvalidInput,
               "the solution has 10 terms, more than the 9 orders of the angular table");
  auto exact = AngularTable::create(mu, 10);
  ASSERT_TRUE(exact.has_value());
  EXPECT_TRUE(c.amplitudes_from_table(*exact, {s1, s2}).has_value());
}

TEST(MieAmplitudes, EmptyCosinesAndEmptySolution) {
  const std::vector<C> none;
  const Coefficients empty{none, none, 2.0, 0.0};
  std::vector<double> mu{0.3, -1.0};
  std::vector<C> s1(2, C{5.0, 5.0}), s2(2, C{5.0, 5.0});
  ASSERT_TRUE(empty.amplitudes(mu, {s1, s2}).has_value());
  for (std::size_t j = 0; j < 2; ++j) {
    EXPECT_TRUE(same(s1[j], C{0.0, 0.0}));
    EXPECT_TRUE(same(s2[j], C{0.0, 0.0}));
  }
  std::vector<C> e1, e2;
  EXPECT_TRUE(empty.amplitudes({}, {e1, e2}).has_value());
  auto table = AngularTable::create({}, 4);
  ASSERT_TRUE(table.has_value());
  EXPECT_TRUE(table->pi.empty());
  EXPECT_TRUE(empty.amplitudes_from_table(*table, {e1, e2}).has_value());
}

}  // namespace
