// The double-double mode kernel: its EBCM sums against the mpmath integrand
// and its sphere limit against mpmath Mie coefficients to double-double
// accuracy, agreement with the f64 kernel within the f64 magnitude bounds, the
// refinement road (masked rows, a variant record, no regular part from p on)
// against the full pass, bit identity across thread counts, its Gauss-Legendre
// rule, its ratio recurrences and its spheroid.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "support/expect_error.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/kernel_support.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/solve.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::scalar::DoubleDouble;
using vantok::test::mask_of;
using vantok::test::mask_upto;
using vantok::test::RefValue;
using vantok::test::identical;
using vantok::test::uniform_choice;
using namespace vantok::tmatrix::kernel;
namespace solve = vantok::tmatrix::solve;

using CDD = Complex<DoubleDouble>;
using ModesDD = std::vector<ModeMatrices<DoubleDouble>>;
constexpr std::size_t ALL_ROWS = std::numeric_limits<std::size_t>::max();

ModesDD run_dd(double eps, double x, Complex<double> m, std::size_t nmax, std::size_t ngauss,
               const std::vector<std::optional<std::size_t>>& mask, const Choice* choice = nullptr,
               std::size_t p = ALL_ROWS) {
  const CDD mdd{DoubleDouble(m.re), DoubleDouble(m.im)};
  auto r = all_modes_masked(Spheroid<DoubleDouble>::create(x, eps), mdd, nmax, ngauss, mask, choice, p);
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : ModesDD{};
}

/// |got - want| with both values read as hi + lo.
double dd_dist(const CDD& got, const RefValue& want) {
  const double re = (got.re.hi - want.re.hi) + (got.re.lo - want.re.lo);
  const double im = (got.im.hi - want.im.hi) + (got.im.lo - want.im.lo);
  return std::hypot(re, im);
}

double dd_abs(const CDD& z) { return std::hypot(z.re.hi, z.im.hi); }

TEST(KernelDD, SumsMatchMpmathIntegrand) {
  for (const auto& c : vantok::test::ebcm_cases()) {
    const Choice direct = uniform_choice(c.nmax, 0);
    const ModesDD got = run_dd(c.eps, c.x, {c.m_re, c.m_im}, c.nmax, c.ngauss,
                               mask_of(c.nmax, {0, 1, 2, 6}), &direct);
    for (const auto& [key, ref] : c.blocks) {
      const auto [mode, p] = key;
      double scale = 0.0;
      for (const auto& v : ref.q) scale = std::fmax(scale, std::hypot(v.re.hi, v.im.hi));
      for (std::size_t e = 0; e < ref.k * ref.k; ++e) {
        EXPECT_LE(dd_dist(got[mode].q[p][e], ref.q[e]), 1e-28 * scale)
            << "eps " << c.eps << " x " << c.x << " mode " << mode << " block " << p << " e " << e;
        EXPECT_LE(dd_dist(got[mode].rg[p][e], ref.rg[e]), 1e-28 * scale)
            << "eps " << c.eps << " x " << c.x << " mode " << mode << " block " << p << " e " << e;
      }
    }
  }
}

// eps = 1: the solved diagonal reproduces -b_n (kind 0) and -a_n (kind 1) of
// the mpmath Mie coefficients to double-double accuracy.
TEST(KernelDD, SphereLimitGivesMieCoefficients) {
  for (const auto& block : vantok::test::blocks(vantok::test::read_table("tmatrix_kernel.txt"), "mie")) {
    const double x = block[0].num(0);
    const Complex<double> m{block[0].num(1), block[0].num(2)};
    const std::size_t nmax = block[0].count(3);
    const ModesDD modes = run_dd(1.0, x, m, nmax, nmax + 2, mask_of(nmax, {0, 2, nmax}));
    for (const std::size_t mode : {std::size_t{0}, std::size_t{2}, nmax}) {
      for (std::size_t p = 0; p < 2; ++p) {
        const auto& rows = modes[mode].rows[p];
        const std::size_t k = rows.size();
        auto t = solve::solve_block<DoubleDouble>(modes[mode].q[p], modes[mode].rg[p], k);
        ASSERT_TRUE(t.has_value());
        for (std::size_t i = 0; i < k; ++i) {
          const auto [kind, n] = rows[i];
          const auto& ab = block[n];  // record "ab n a_re a_im b_re b_im"
          ASSERT_EQ(ab.count(0), n);
          const std::size_t at = kind == 0 ? 5 : 1;  // -b_n or -a_n
          const RefValue want{{-ab.num(at), -ab.num(at + 1)}, {-ab.num(at + 2), -ab.num(at + 3)}};
          EXPECT_LE(dd_dist(t->solution[i * k + i], want), 1e-27)
              << "x " << x << " mode " << mode << " n " << n << " kind " << kind;
          for (std::size_t j = 0; j < k; ++j) {
            if (j != i) {
              EXPECT_LE(dd_abs(t->solution[i * k + j]), 1e-28);
            }
          }
        }
      }
    }
  }
}

// Given the f64 pass's variants, the two kernels agree within the f64 bound
// kappa 2N 2^-53 q_mag of every element.
TEST(KernelDD, AgreesWithF64WithinItsBounds) {
  const std::size_t nmax = 14;
  const auto mask = mask_upto(nmax, 3);
  for (const double eps : {0.5, 2.0}) {
    auto f = all_modes_masked(Spheroid<double>::create(6.0, eps), nmax, 30, mask, 1.5, 0.02);
    ASSERT_TRUE(f.has_value());
    const Choice choice = Choice::of<double>(*f, nmax);
    const ModesDD d = run_dd(eps, 6.0, {1.5, 0.02}, nmax, 30, mask, &choice);
    const double u1 = 2.0 * static_cast<double>(nmax) * 0x1p-53;
    double worst = 0.0;
    for (std::size_t m = 0; m <= 3; ++m) {
      for (std::size_t p = 0; p < 2; ++p) {
        for (std::size_t e = 0; e < d[m].q[p].size(); ++e) {
          const RefValue want{d[m].q[p][e].re, d[m].q[p][e].im};
          const CDD got{{(*f)[m].q[p][e].re, 0.0}, {(*f)[m].q[p][e].im, 0.0}};
          worst = std::fmax(worst, dd_dist(got, want) / (u1 * (*f)[m].q_mag[p][e]));
          EXPECT_EQ(d[m].choice[p][e], (*f)[m].choice[p][e]);
        }
      }
    }
    EXPECT_LE(worst, 1.0) << "eps " << eps;
  }
}

// The refinement road: flagged modes from their n_from, the first pass's
// record, no regular part from p on. Every refined row equals the full
// double-double pass with the same record bit for bit; rows from p on hold
// the variant alone.
TEST(KernelDD, RefinedPassEqualsFullPassOnItsRows) {
  const std::size_t nmax = 10;
  const auto all = mask_upto(nmax, nmax);
  auto f = all_modes_masked(Spheroid<double>::create(4.0, 2.0), nmax, 16, all, 1.5, 0.02);
  ASSERT_TRUE(f.has_value());
  const Choice choice = Choice::of<double>(*f, nmax);
  std::vector<std::optional<std::size_t>> mask(nmax + 1);
  mask[0] = 4;
  mask[2] = 7;
  mask[5] = 5;
  const std::size_t p = 8;
  const ModesDD refined = run_dd(2.0, 4.0, {1.5, 0.02}, nmax, 16, mask, &choice, p);
  const ModesDD full = run_dd(2.0, 4.0, {1.5, 0.02}, nmax, 16, all, &choice, p);
  const ModesDD with_rg = run_dd(2.0, 4.0, {1.5, 0.02}, nmax, 16, all, &choice);
  for (std::size_t m = 0; m <= nmax; ++m) {
    for (std::size_t b = 0; b < 2; ++b) {
      EXPECT_EQ(refined[m].choice[b], choice.per_mode[m][b]);
      const auto& rows = refined[m].rows[b];
      const std::size_t k = rows.size();
      for (std::size_t i = 0; i < k; ++i) {
        const std::size_t n = rows[i].second;
        const bool accumulated = mask[m] && n >= *mask[m];
        for (std::size_t j = 0; j < k; ++j) {
          const std::size_t e = i * k + j;
          if (accumulated) {
            EXPECT_EQ(std::memcmp(&refined[m].q[b][e], &full[m].q[b][e], sizeof(CDD)), 0);
            EXPECT_EQ(std::memcmp(&refined[m].q_mag[b][e], &full[m].q_mag[b][e], sizeof(DoubleDouble)), 0);
            EXPECT_EQ(std::memcmp(&refined[m].rg[b][e], &full[m].rg[b][e], sizeof(CDD)), 0);
          } else {
            EXPECT_EQ(refined[m].q_mag[b][e], DoubleDouble(0.0));
          }
          if (n >= p) {
            EXPECT_EQ(full[m].rg[b][e], (CDD{DoubleDouble(0.0), DoubleDouble(0.0)}));
            EXPECT_EQ(full[m].rg_mag[b][e], DoubleDouble(0.0));
            // q without its regular part: q(full) + rg(with rg) = q(with rg).
            const CDD sum = full[m].q[b][e] + with_rg[m].rg[b][e];
            const RefValue want{with_rg[m].q[b][e].re, with_rg[m].q[b][e].im};
            EXPECT_LE(dd_dist(sum, want), 1e-30 * with_rg[m].q_mag[b][e].hi);
          } else {
            EXPECT_EQ(std::memcmp(&full[m].rg[b][e], &with_rg[m].rg[b][e], sizeof(CDD)), 0);
            EXPECT_EQ(std::memcmp(&full[m].q[b][e], &with_rg[m].q[b][e], sizeof(CDD)), 0);
          }
        }
      }
    }
  }
  // p = 1: no row keeps a regular part.
  const ModesDD none = run_dd(2.0, 4.0, {1.5, 0.02}, nmax, 16, mask, &choice, 1);
  for (const auto& mode : none) {
    for (std::size_t b = 0; b < 2; ++b) {
      for (const auto& v : mode.rg_mag[b]) EXPECT_EQ(v, DoubleDouble(0.0));
    }
  }
}

// Forcing every element to variant 0 instead of the variant chosen by
// magnitude changes Q only by the quadrature error of terms whose integral
// vanishes: at a converged rule, within 1e-25 of q_mag.
TEST(KernelDD, VariantChoiceIsNeutral) {
  const std::size_t nmax = 8;
  const auto mask = mask_upto(nmax, 1);
  const ModesDD chosen = run_dd(2.0, 3.0, {1.5, 0.02}, nmax, 60, mask);
  const Choice zero = uniform_choice(nmax, 0);
  const ModesDD direct = run_dd(2.0, 3.0, {1.5, 0.02}, nmax, 60, mask, &zero);
  std::size_t non_zero_codes = 0;
  for (std::size_t m = 0; m <= 1; ++m) {
    for (std::size_t b = 0; b < 2; ++b) {
      for (std::size_t e = 0; e < chosen[m].q[b].size(); ++e) {
        non_zero_codes += chosen[m].choice[b][e] != 0;
        const RefValue want{chosen[m].q[b][e].re, chosen[m].q[b][e].im};
        EXPECT_LE(dd_dist(direct[m].q[b][e], want), 1e-25 * chosen[m].q_mag[b][e].hi)
            << "mode " << m << " block " << b << " e " << e;
      }
    }
  }
  EXPECT_GT(non_zero_codes, 0u);
}

TEST(KernelDD, ThreadsKeepTheBits) {
  const std::size_t nmax = 6;
  const auto mask = mask_upto(nmax, nmax);
  for (const std::size_t ngauss : {std::size_t{9}, std::size_t{17}}) {
    const auto one = vantok::pool::with_threads(1, [&] { return run_dd(0.5, 3.0, {1.5, 0.02}, nmax, ngauss, mask); });
    const auto many = vantok::pool::with_threads(8, [&] { return run_dd(0.5, 3.0, {1.5, 0.02}, nmax, ngauss, mask); });
    EXPECT_TRUE(identical(one, many)) << "ngauss " << ngauss;
  }
}

TEST(KernelDD, RefusesRuleSizes) {
  const auto sph = Spheroid<DoubleDouble>::create(1.0, 2.0);
  const CDD m{DoubleDouble(1.5), DoubleDouble(0.0)};
  const auto mask = mask_upto(2, 2);
  using K = Error::Kind;
  vantok::test::expect_error(all_modes_masked(sph, m, 2, 0, mask, nullptr, ALL_ROWS), K::InvalidInput,
                             "Gauss-Legendre rule needs n >= 1");
  vantok::test::expect_error(all_modes_masked(sph, m, 2, 65537, mask, nullptr, ALL_ROWS),
                             K::InvalidInput, "Gauss-Legendre rule needs n <= 131072, got 131074");
  vantok::test::expect_error(
      all_modes_masked(sph, m, 2, (std::size_t{1} << 63) + 1, mask, nullptr, ALL_ROWS),
      K::InvalidInput, "Gauss-Legendre rule needs n <= 131072, got 18446744073709551615");
}

TEST(KernelDD, GaussLegendreRule) {
  using vantok::tmatrix::kernel::detail::gauss_legendre_dd;
  for (const std::size_t n : {std::size_t{2}, std::size_t{10}, std::size_t{200}, std::size_t{1000}}) {
    auto rule = gauss_legendre_dd(n);
    ASSERT_TRUE(rule.has_value());
    const auto& [x, w] = *rule;
    DoubleDouble sum(0.0);
    for (std::size_t i = 0; i < n; ++i) {
      sum = sum + w[i];
      EXPECT_EQ(x[i].hi, -x[n - 1 - i].hi);
      EXPECT_EQ(x[i].lo, -x[n - 1 - i].lo);
      EXPECT_TRUE(w[i] == w[n - 1 - i]);
      if (i > 0) {
        EXPECT_TRUE(x[i - 1] < x[i]);
      }
    }
    EXPECT_LE(std::fabs((sum.hi - 2.0) + sum.lo), 1e-30) << n;
    // Exact for x^(2k), 2k <= 2n - 1: sum w x^(2k) = 2/(2k+1).
    for (const std::size_t k : {std::size_t{1}, n / 2}) {
      DoubleDouble moment(0.0);
      for (std::size_t i = 0; i < n; ++i) {
        moment = moment + w[i] * DoubleDouble::powi(x[i], static_cast<std::int32_t>(2 * k));
      }
      const DoubleDouble want =
          DoubleDouble::div_dd(DoubleDouble(2.0), DoubleDouble(static_cast<double>(2 * k + 1)));
      EXPECT_LE(std::fabs((moment.hi - want.hi) + (moment.lo - want.lo)), 1e-29) << n << " " << k;
    }
    // The leading parts are the f64 rule's Newton roots (n <= 100), within an ulp.
    if (n <= 100) {
      auto f64 = vantok::special::gauss_legendre::gauss_legendre<double>(n);
      ASSERT_TRUE(f64.has_value());
      for (std::size_t i = 0; i < n; ++i) {
        const double ulp = std::nextafter(std::fabs(x[i].hi), INFINITY) - std::fabs(x[i].hi);
        EXPECT_LE(std::fabs(f64->first[i] - x[i].hi), ulp) << n << " " << i;
      }
    }
  }
  for (const auto& block : vantok::test::blocks(vantok::test::read_table("tmatrix_kernel.txt"), "rule")) {
    const std::size_t n = block[0].count(0);
    auto rule = gauss_legendre_dd(n);
    ASSERT_TRUE(rule.has_value());
    for (std::size_t r = 1; r < block.size(); ++r) {
      const std::size_t i = block[r].count(0);
      const DoubleDouble& x = rule->first[n - 1 - i];
      const DoubleDouble& w = rule->second[n - 1 - i];
      EXPECT_LE(std::fabs((x.hi - block[r].num(1)) + (x.lo - block[r].num(2))), 1e-31) << n << " " << i;
      EXPECT_LE(std::fabs((w.hi - block[r].num(3)) + (w.lo - block[r].num(4))), 1e-31) << n << " " << i;
    }
  }
}

// The kept rules are the computed ones, whatever the order of sizes asked
// (more sizes than are kept), and a refused size stays refused.
TEST(KernelDD, GaussLegendreRulesKept) {
  using vantok::tmatrix::kernel::detail::gauss_legendre_dd;
  using vantok::tmatrix::kernel::detail::gauss_legendre_dd_cached;
  for (const std::size_t n : {6, 9, 6, 20, 31, 44, 9, 6, 20}) {
    const auto kept = gauss_legendre_dd_cached(n);
    const auto fresh = gauss_legendre_dd(n);
    ASSERT_TRUE(kept.has_value() && fresh.has_value());
    EXPECT_TRUE(vantok::test::same_bytes(kept->first, fresh->first) &&
                vantok::test::same_bytes(kept->second, fresh->second))
        << n;
  }
  EXPECT_FALSE(gauss_legendre_dd_cached(0).has_value());
  EXPECT_FALSE(gauss_legendre_dd_cached(0).has_value());
}

TEST(KernelDD, RatioRecurrences) {
  for (const auto& block : vantok::test::blocks(vantok::test::read_table("tmatrix_kernel.txt"), "ratios")) {
    const double zr = block[0].num(0);
    const double zi = block[0].num(1);
    const std::size_t n = block[0].count(2);
    std::vector<CDD> got;
    if (zi == 0.0) {
      std::vector<DoubleDouble> real;
      vantok::mie::kernel::ratios_real(real, n, DoubleDouble(zr));
      for (const auto& r : real) got.push_back({r, DoubleDouble(0.0)});
    } else {
      vantok::mie::kernel::ratios_complex(got, n, CDD{DoubleDouble(zr), DoubleDouble(zi)});
    }
    ASSERT_EQ(got.size(), n + 2);
    for (std::size_t r = 1; r < block.size(); ++r) {
      const std::size_t k = block[r].count(0);
      const RefValue want{{block[r].num(1), block[r].num(2)}, {block[r].num(3), block[r].num(4)}};
      // Orders far below |z| sit near zeros of psi_(k-1), which amplify the
      // double-double rounding by a few thousand.
      EXPECT_LE(dd_dist(got[k], want), 1e-29 * std::hypot(want.re.hi, want.im.hi))
          << zr << " " << zi << " " << k;
    }
  }
}

TEST(KernelDD, Spheroid) {
  const auto s = Spheroid<DoubleDouble>::create(3.5, 1.0);
  EXPECT_TRUE(s.a == DoubleDouble(3.5) && s.b == DoubleDouble(3.5));
  // a^2 b = r^3 to double-double accuracy.
  const auto t = Spheroid<DoubleDouble>::create(2.0, 3.0);
  const DoubleDouble v = (t.a * t.a) * t.b;
  EXPECT_LE(std::fabs((v.hi - 8.0) + v.lo), 1e-30);
  const DoubleDouble ratio = t.a - DoubleDouble(3.0) * t.b;
  EXPECT_LE(std::fabs(ratio.hi + ratio.lo), 1e-30);
  const auto n = Spheroid<DoubleDouble>::create(2.0, std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(std::isnan(n.a.hi) && std::isnan(n.b.hi));
}

}  // namespace
