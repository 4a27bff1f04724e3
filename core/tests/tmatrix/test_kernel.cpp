// The f64 mode kernel: the EBCM sums against an mpmath evaluation of the
// integrand, the sphere limit against the Mie coefficients, energy
// conservation for a real index, the variants against each other, bit
// identity across thread counts and memory budgets, refusals, and the small
// pieces around the quadrature (row lists, cross sections, variant record,
// negligible orders, refinement mask, collection).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "support/expect_error.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/kernel_support.hpp"
#include "vantok/memory.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/solve.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::test::cdist;
using vantok::test::mask_of;
using vantok::test::mask_upto;
using vantok::test::identical;
using vantok::test::same_bytes;
using vantok::test::uniform_choice;
using namespace vantok::tmatrix::kernel;
namespace solve = vantok::tmatrix::solve;

using Modes = std::vector<ModeMatrices<double>>;

Modes run(double eps, double x, Complex<double> m, std::size_t nmax, std::size_t ngauss,
          const std::vector<std::optional<std::size_t>>& mask) {
  auto r = all_modes_masked(Spheroid<double>::create(x, eps), nmax, ngauss, mask, m.re, m.im);
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : Modes{};
}

Modes run_with_choice(double eps, double x, Complex<double> m, std::size_t nmax,
                      std::size_t ngauss, const std::vector<std::optional<std::size_t>>& mask,
                      const Choice& choice) {
  detail::KernelCall<double> call;
  call.spheroid = Spheroid<double>::create(x, eps);
  call.eta = m;
  call.nmax = nmax;
  call.ngauss = ngauss;
  call.mask = mask;
  call.choice = &choice;
  auto r = detail::run_kernel(call);
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : Modes{};
}

double block_max(const std::vector<vantok::test::RefValue>& v) {
  double s = 0.0;
  for (const auto& z : v) s = std::fmax(s, std::hypot(z.re.hi, z.im.hi));
  return s;
}

// Against the integrand summed at 50 digits: RgQ as computed, and Q with every
// element forced to variant 0, which is the direct evaluation with h_n in place
// of j_n (regular part plus the Neumann part of the same products).
TEST(KernelF64, SumsMatchMpmathIntegrand) {
  for (const auto& c : vantok::test::ebcm_cases()) {
    const auto mask = mask_of(c.nmax, {0, 1, 2, 6});
    const Complex<double> m{c.m_re, c.m_im};
    const Modes direct =
        run_with_choice(c.eps, c.x, m, c.nmax, c.ngauss, mask, uniform_choice(c.nmax, 0));
    const Modes chosen = run(c.eps, c.x, m, c.nmax, c.ngauss, mask);
    ASSERT_EQ(direct.size(), c.nmax + 1);
    for (const auto& [key, ref] : c.blocks) {
      const auto [mode, p] = key;
      const double scale = block_max(ref.q);
      ASSERT_EQ(direct[mode].rows[p].size(), ref.k);
      for (std::size_t e = 0; e < ref.k * ref.k; ++e) {
        const Complex<double> want_q{ref.q[e].re.hi, ref.q[e].im.hi};
        const Complex<double> want_rg{ref.rg[e].re.hi, ref.rg[e].im.hi};
        EXPECT_LE(cdist(direct[mode].q[p][e], want_q), 1e-13 * scale)
            << "eps " << c.eps << " x " << c.x << " mode " << mode << " block " << p << " e " << e;
        EXPECT_LE(cdist(direct[mode].rg[p][e], want_rg), 1e-13 * scale)
            << "eps " << c.eps << " x " << c.x << " mode " << mode << " block " << p << " e " << e;
      }
      // The regular part does not depend on the variant record.
      EXPECT_TRUE(same_bytes(direct[mode].rg[p], chosen[mode].rg[p]));
      EXPECT_TRUE(same_bytes(direct[mode].rg_mag[p], chosen[mode].rg_mag[p]));
    }
  }
}

// eps = 1: every block is diagonal with T(kind 0, n) = -b_n, T(kind 1, n) = -a_n
// in every mode m <= n.
TEST(KernelF64, SphereLimitGivesMieCoefficients) {
  const std::vector<Complex<double>> indices{{1.5, 0.02}, {1.33, 0.0}, {1.2, 0.5}};
  for (const double x : {0.5, 2.0, 8.0, 30.0}) {
    for (const Complex<double> mi : indices) {
      const auto nmax = static_cast<std::size_t>(x + 4.0 * std::cbrt(x) + 2.0);
      vantok::mie::Mie mie;
      auto solved = mie.solve({nmax, true}, false, x, mi);
      ASSERT_TRUE(solved.has_value());
      const auto coef = (*solved)->coefficients();
      const Modes modes = run(1.0, x, mi, nmax, nmax + 2, mask_of(nmax, {0, 1, nmax / 2, nmax}));
      for (const std::size_t m : {std::size_t{0}, std::size_t{1}, nmax / 2, nmax}) {
        for (std::size_t p = 0; p < 2; ++p) {
          const auto& rows = modes[m].rows[p];
          const std::size_t k = rows.size();
          auto t = solve::solve_f64(modes[m].q[p], modes[m].rg[p], k);
          ASSERT_TRUE(t.has_value());
          for (std::size_t i = 0; i < k; ++i) {
            const auto [kind, n] = rows[i];
            const Complex<double> mie_t = kind == 0 ? coef.b[n - 1] : coef.a[n - 1];
            const Complex<double> want{-mie_t.re, -mie_t.im};
            EXPECT_LE(cdist(t->solution[i * k + i], want), 2e-13)
                << "x " << x << " m " << mi.re << "+" << mi.im << "i mode " << m << " n " << n;
            for (std::size_t j = 0; j < k; ++j) {
              if (j != i) {
                EXPECT_LE(std::hypot(t->solution[i * k + j].re, t->solution[i * k + j].im), 1e-13);
              }
            }
          }
        }
      }
    }
  }
}

// A real index conserves energy: S = 1 + 2T is unitary, T + T^H + 2 T^H T = 0
// for every unscaled block, and C_ext = C_sca.
TEST(KernelF64, RealIndexConservesEnergy) {
  for (const double eps : {0.5, 2.0}) {
    // Truncation: the identity holds to 3e-6 at nmax = 12, 5e-13 at 20.
    const double x = 3.0;
    const std::size_t nmax = 20;
    const auto sph = Spheroid<double>::create(x, eps);
    const double rmin = std::fmin(sph.a, sph.b);
    const double rmax = std::fmax(sph.a, sph.b);
    const auto ls = vantok::test::log_scales(rmin, {1.5 * rmax, 0.0}, nmax);
    const Modes modes = run(eps, x, {1.5, 0.0}, nmax, 60, mask_upto(nmax, nmax));
    TMatrixModes<double> tm;
    tm.n_terms = nmax;
    for (std::size_t m = 0; m <= nmax; ++m) {
      SolvedMode<double> sm;
      sm.rows = modes[m].rows;
      for (std::size_t p = 0; p < 2; ++p) {
        const auto& rows = modes[m].rows[p];
        const std::size_t k = rows.size();
        if (k == 0) continue;
        auto t = solve::solve_f64(modes[m].q[p], modes[m].rg[p], k);
        ASSERT_TRUE(t.has_value());
        std::vector<Complex<double>> u = t->solution;
        for (std::size_t i = 0; i < k; ++i) {
          for (std::size_t j = 0; j < k; ++j) {
            const double f = std::exp(ls[rows[i].second] - ls[rows[j].second]);
            u[i * k + j] = {u[i * k + j].re * f, u[i * k + j].im * f};
          }
        }
        double worst = 0.0;
        for (std::size_t i = 0; i < k; ++i) {
          for (std::size_t j = 0; j < k; ++j) {
            // (T + T^H + 2 T^H T)_ij
            Complex<double> acc = u[i * k + j] + vantok::complex::conj(u[j * k + i]);
            for (std::size_t l = 0; l < k; ++l) {
              const Complex<double> prod = vantok::complex::conj(u[l * k + i]) * u[l * k + j];
              acc = acc + Complex<double>{2.0 * prod.re, 2.0 * prod.im};
            }
            worst = std::fmax(worst, std::hypot(acc.re, acc.im));
          }
        }
        EXPECT_LE(worst, 2e-12) << "eps " << eps << " mode " << m << " block " << p;
        sm.t[p] = std::move(u);
      }
      tm.modes.push_back(std::move(sm));
    }
    const auto [ext, sca] = tm.cross_sections();
    EXPECT_GT(ext, 0.0);
    EXPECT_NEAR(ext, sca, 2e-12 * ext) << "eps " << eps;
  }
}

// Variants 1 and 2 leave out series terms whose integrals vanish: with enough
// nodes every choice gives the same Q within its magnitude bound.
TEST(KernelF64, VariantsIntegrateToTheSameQ) {
  const std::size_t nmax = 8;
  const Complex<double> m{1.5, 0.02};
  const auto mask = mask_upto(nmax, 2);
  const Modes v0 = run_with_choice(2.0, 3.0, m, nmax, 60, mask, uniform_choice(nmax, 0));
  for (const std::uint8_t code : {std::uint8_t{1}, std::uint8_t{2}}) {
    const Modes vc = run_with_choice(2.0, 3.0, m, nmax, 60, mask, uniform_choice(nmax, code));
    for (std::size_t mode = 0; mode <= 2; ++mode) {
      for (std::size_t p = 0; p < 2; ++p) {
        const auto& rows = v0[mode].rows[p];
        const std::size_t k = rows.size();
        for (std::size_t i = 0; i < k; ++i) {
          for (std::size_t j = 0; j < k; ++j) {
            const std::size_t e = i * k + j;
            EXPECT_EQ(vc[mode].choice[p][e], code);
            // Variant 1 is exact only where the chooser allows it.
            const std::size_t gap = rows[i].second > rows[j].second
                                        ? rows[i].second - rows[j].second
                                        : rows[j].second - rows[i].second;
            if (code == 1 && gap < 3) continue;
            EXPECT_LE(cdist(vc[mode].q[p][e], v0[mode].q[p][e]), 1e-12 * v0[mode].q_mag[p][e])
                << "code " << int{code} << " mode " << mode << " block " << p << " e " << e;
          }
        }
      }
    }
  }
}

TEST(KernelF64, ThreadsAndMemoryBudgetKeepTheBits) {
  const Complex<double> m{1.5, 0.02};
  for (const std::size_t ngauss : {std::size_t{1}, std::size_t{9}, std::size_t{40}}) {
    const std::size_t nmax = 10;
    const auto mask = mask_upto(nmax, nmax);
    const auto one = vantok::pool::with_threads(1, [&] { return run(2.0, 5.0, m, nmax, ngauss, mask); });
    const auto many = vantok::pool::with_threads(8, [&] { return run(2.0, 5.0, m, nmax, ngauss, mask); });
    EXPECT_TRUE(identical(one, many)) << ngauss;
    detail::KernelCall<double> call;
    call.spheroid = Spheroid<double>::create(5.0, 2.0);
    call.eta = m;
    call.nmax = nmax;
    call.ngauss = ngauss;
    call.mask = mask;
    call.partial_budget = 1;  // one chunk at a time
    const auto tight = vantok::pool::with_threads(8, [&] { return detail::run_kernel(call); });
    ASSERT_TRUE(tight.has_value());
    EXPECT_TRUE(identical(one, *tight)) << ngauss;
  }
}

TEST(KernelF64, RefusesRuleSizes) {
  const auto sph = Spheroid<double>::create(1.0, 2.0);
  const auto mask = mask_upto(2, 2);
  using K = Error::Kind;
  vantok::test::expect_error(all_modes_masked(sph, 2, 0, mask, 1.5, 0.0), K::InvalidInput,
                             "Gauss-Legendre rule needs n >= 1");
  vantok::test::expect_error(all_modes_masked(sph, 2, 65537, mask, 1.5, 0.0), K::InvalidInput,
                             "Gauss-Legendre rule needs n <= 131072, got 131074");
  // 2 ngauss would wrap to 2 points: saturated instead.
  vantok::test::expect_error(all_modes_masked(sph, 2, (std::size_t{1} << 63) + 1, mask, 1.5, 0.0),
                             K::InvalidInput,
                             "Gauss-Legendre rule needs n <= 131072, got 18446744073709551615");
  const std::vector<std::optional<std::size_t>> none(2);
  EXPECT_TRUE(all_modes_masked(sph, 1, 65536, none, 1.5, 0.0).has_value());
}

// Caller faults are internal failures, checked once before any work.
TEST(KernelF64, BrokenInvariantsAreInternalFailures) {
  const auto sph = Spheroid<double>::create(1.0, 2.0);
  EXPECT_THROW((void)all_modes_masked(sph, 3, 4, mask_upto(2, 2), 1.5, 0.0), vantok::InternalFailure);
  Choice bad = uniform_choice(3, 0);
  bad.per_mode[2][1][0] = 3;
  EXPECT_THROW((void)run_with_choice(2.0, 1.0, {1.5, 0.0}, 3, 4, mask_upto(3, 3), bad),
               vantok::InternalFailure);
  Choice short_record = uniform_choice(3, 0);
  short_record.per_mode.pop_back();
  EXPECT_THROW((void)run_with_choice(2.0, 1.0, {1.5, 0.0}, 3, 4, mask_upto(3, 3), short_record),
               vantok::InternalFailure);
}

TEST(KernelF64, WorkingSetBeyondMemoryIsBadAllocBeforeAllocating) {
  // nmax = 5000 with every mode: about 8e10 elements, terabytes.
  if (vantok::memory::physical_bytes() > (std::size_t{1} << 42)) GTEST_SKIP();
  const std::size_t nmax = 5000;
  const auto mask = mask_upto(nmax, nmax);
  EXPECT_THROW((void)all_modes_masked(Spheroid<double>::create(10.0, 2.0), nmax, 10, mask, 1.5, 0.0),
               std::bad_alloc);
}

// Outside the validated domain the series tables end where their bounds stop
// being finite; the call returns instead of running until memory runs out.
TEST(KernelF64, ExtremeAspectRatioReturns) {
  const auto r = all_modes_masked(Spheroid<double>::create(1.0, 1e-300), 4, 4, mask_upto(4, 4), 1.5, 0.02);
  EXPECT_TRUE(r.has_value());
  const auto s = detail::series_tables<double>(
      vantok::tmatrix::functions::Scales<double>(4, 1e-100, {1.5e200, 0.02e200}), 4, 1e-100, 1e200,
      {1.5, 0.02});
  for (std::size_t n = 1; n <= 4; ++n) {
    ASSERT_FALSE(s.irregular[n].empty());
    EXPECT_TRUE(std::isnan(s.irregular[n].back())) << n;
  }
}

TEST(KernelF64, MasksAndEmptyModes) {
  const Complex<double> m{1.5, 0.02};
  // nmax = 0: one mode, empty blocks.
  const Modes zero = run(2.0, 1.0, m, 0, 4, mask_upto(0, 0));
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_TRUE(zero[0].q[0].empty() && zero[0].q[1].empty());

  // No mode wanted: zero sums, codes 0, every block at full size.
  const std::size_t nmax = 6;
  const Modes none = run(2.0, 2.0, m, nmax, 8, std::vector<std::optional<std::size_t>>(nmax + 1));
  for (const auto& mode : none) {
    for (std::size_t p = 0; p < 2; ++p) {
      EXPECT_EQ(mode.q[p].size(), mode.rows[p].size() * mode.rows[p].size());
      for (std::size_t e = 0; e < mode.q[p].size(); ++e) {
        EXPECT_EQ(mode.q[p][e], (Complex<double>{0.0, 0.0}));
        EXPECT_EQ(mode.q_mag[p][e], 0.0);
        EXPECT_EQ(mode.choice[p][e], 0);
      }
    }
  }

  // Rows below n_from stay zero, every column of the other rows is filled
  // exactly as in a full pass; codes are 0 on the diagonal and 0 or 2 for
  // |n_i - n_j| <= 2.
  std::vector<std::optional<std::size_t>> partial(nmax + 1);
  partial[1] = 4;
  const Modes rows_from = run(2.0, 2.0, m, nmax, 8, partial);
  const Modes full = run(2.0, 2.0, m, nmax, 8, mask_upto(nmax, nmax));
  for (std::size_t p = 0; p < 2; ++p) {
    const auto& rows = full[1].rows[p];
    const std::size_t k = rows.size();
    for (std::size_t i = 0; i < k; ++i) {
      for (std::size_t j = 0; j < k; ++j) {
        const std::size_t e = i * k + j;
        if (rows[i].second < 4) {
          EXPECT_EQ(rows_from[1].q_mag[p][e], 0.0);
        } else {
          EXPECT_EQ(rows_from[1].q[p][e], full[1].q[p][e]);
          EXPECT_NE(full[1].rg_mag[p][e], 0.0);
        }
        const std::size_t gap = rows[i].second > rows[j].second ? rows[i].second - rows[j].second
                                                                : rows[j].second - rows[i].second;
        if (gap == 0) {
          EXPECT_EQ(full[1].choice[p][e], 0);
        }
        if (gap <= 2) {
          EXPECT_NE(full[1].choice[p][e], 1);
        }
      }
    }
  }
}

TEST(KernelPieces, RowLists) {
  const RowLists r = row_lists(2, 3);
  EXPECT_EQ(r[0], (std::vector<Row>{{0, 2}, {1, 3}}));
  EXPECT_EQ(r[1], (std::vector<Row>{{0, 3}, {1, 2}}));
  EXPECT_EQ(row_lists(0, 5), row_lists(1, 5));
  EXPECT_TRUE(row_lists(0, 0)[0].empty() && row_lists(0, 0)[1].empty());
  for (std::size_t m = 0; m <= 7; ++m) {
    const RowLists l = row_lists(m, 7);
    EXPECT_EQ(l[0].size(), l[1].size());
    EXPECT_EQ(l[0].size() + l[1].size(), m <= 7 ? 2 * (7 - std::max<std::size_t>(m, 1) + 1) : 0);
  }
}

TEST(KernelPieces, CrossSections) {
  TMatrixModes<double> tm;
  EXPECT_EQ(tm.cross_sections(), (std::pair{0.0, 0.0}));
  tm.modes.resize(2);
  tm.modes[1].rows = row_lists(1, 1);
  tm.modes[1].t[0] = {{-0.25, 0.5}};
  // Mode 0 unsolved (empty blocks), mode 1 weight 2: C_ext = -4 pi Re t,
  // C_sca = 4 pi |t|^2.
  const auto [ext, sca] = tm.cross_sections();
  EXPECT_DOUBLE_EQ(ext, 4.0 * M_PI * 0.25);
  EXPECT_DOUBLE_EQ(sca, 4.0 * M_PI * (0.0625 + 0.25));
}

TEST(KernelPieces, ChoiceRecordAndNegligibleOrders) {
  const std::size_t nmax = 4;
  Modes modes(4);
  for (std::size_t m = 0; m < 4; ++m) {
    modes[m].rows = row_lists(m, nmax);
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t k2 = modes[m].rows[p].size() * modes[m].rows[p].size();
      modes[m].choice[p].assign(k2, 0);
      modes[m].rg_mag[p].assign(k2, 0.0);
      modes[m].q_mag[p].assign(k2, 1.0);
    }
  }
  // Mode 0 block 0: (0,2), (0,4), (1,1), (1,3); mode 2 block 0: (0,2),
  // (0,4), (1,3); mode 3 block 0: (0,4), (1,3).
  modes[0].choice[0][0 * 4 + 3] = 1;  // orders (2, 3)
  modes[3].choice[0][1 * 2 + 0] = 2;  // orders (3, 4)
  modes[3].choice[0][0 * 2 + 1] = 1;  // orders (4, 3)
  modes[2].choice[0][1 * 3 + 0] = 2;  // orders (4, 2)
  modes[1].choice[1].clear();         // a short array contributes nothing
  const Choice c = Choice::of<double>(modes, nmax);
  EXPECT_EQ(c.grid[2 * 5 + 3], 1);
  EXPECT_EQ(c.grid[3 * 5 + 4], 2);
  EXPECT_EQ(c.grid[4 * 5 + 3], 1);
  EXPECT_EQ(c.grid[4 * 5 + 2], 2);
  EXPECT_EQ(c.grid[2 * 5 + 4], 0);
  ASSERT_EQ(c.per_mode.size(), 4u);
  EXPECT_TRUE(c.per_mode[1][1].empty());
  EXPECT_EQ(c.per_mode[3][0], modes[3].choice[0]);
  // Variant 1 in mode 1 and variant 2 in mode 2 for the orders (2, 4): 3.
  modes[1].choice[0][0 * 4 + 1] = 1;
  modes[2].choice[0][0 * 3 + 1] = 2;
  EXPECT_EQ(Choice::of<double>(modes, nmax).grid[2 * 5 + 4], 3);

  EXPECT_EQ(p_negligible_from({}, nmax), 1u);
  EXPECT_EQ(p_negligible_from(modes, nmax), 1u);
  modes[2].rg_mag[1][0] = 1e-12;  // exactly 1e-12 q_mag does not count
  EXPECT_EQ(p_negligible_from(modes, nmax), 1u);
  modes[2].rg_mag[1][0] = 2e-12;  // row (0, 3) of mode 2 block 1
  EXPECT_EQ(p_negligible_from(modes, nmax), 4u);
  modes[0].rg_mag[0][1 * 4 + 2] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(p_negligible_from(modes, nmax), 4u);
  modes[0].rg_mag[0][1 * 4 + 2] = 1.0;  // row (0, 4): p would be 5 = nmax + 1
  EXPECT_EQ(p_negligible_from(modes, 3), 4u);
  EXPECT_EQ(p_negligible_from(modes, nmax), 5u);
}

TEST(KernelPieces, RefinementMask) {
  const std::size_t n = 10;
  Modes modes(n + 1);
  std::vector<std::array<std::vector<double>, 2>> row_errors(n + 1);
  for (std::size_t m = 0; m <= n; ++m) {
    modes[m].rows = row_lists(m, n);
    row_errors[m] = {std::vector<double>(modes[m].rows[0].size(), 0.0),
                     std::vector<double>(modes[m].rows[1].size(), 0.0)};
  }
  std::vector<std::pair<double, double>> block_errors(n + 1, {0.0, 0.0});
  RefinementInputs in{block_errors, row_errors, modes, 3, 1e-3, 2.0, n};
  EXPECT_EQ(refinement_mask(0, in), std::nullopt);  // errors 0 against 2e-3
  block_errors[0] = {std::numeric_limits<double>::quiet_NaN(), 1e-2};
  EXPECT_EQ(refinement_mask(0, in), 1 + 10 / 4);  // no row: default spacing 3
  block_errors[1] = {1e-2, 0.0};
  EXPECT_EQ(refinement_mask(1, in), 1 + 10 / 4);
  block_errors[5] = {1.0, 1.0};
  EXPECT_EQ(refinement_mask(5, in), std::nullopt);  // above m_max
  // Rows exactly at thr / (2 k) do not qualify; the smallest qualifying order
  // over both blocks is taken.
  const double limit = 2e-3 / (2.0 * static_cast<double>(modes[0].rows[0].size()));
  row_errors[0][0][0] = limit;
  row_errors[0][1][3] = 2.0 * limit;  // block 1 row 3: (0, 7)
  row_errors[0][0][6] = 2.0 * limit;  // block 0 row 6: (1, 3)
  EXPECT_EQ(refinement_mask(0, in), 3u);
  block_errors[2] = {NAN, NAN};
  EXPECT_EQ(refinement_mask(2, in), std::nullopt);
  // tol = inf: nothing is refined, also with scale 0 (thr NaN).
  RefinementInputs off = in;
  off.tol = INFINITY;
  off.scale = 0.0;
  for (const auto& e : refinement_masks(off)) EXPECT_EQ(e, std::nullopt);
  // scale 0 with a finite tol: any positive error refines; mode N defaults to N.
  RefinementInputs zero = in;
  zero.scale = 0.0;
  zero.m_max = n;
  block_errors[n] = {1e-300, 0.0};
  EXPECT_EQ(refinement_mask(n, zero), n);
  EXPECT_EQ(refinement_masks(zero).size(), n + 1);
}

TEST(KernelPieces, CollectModes) {
  Modes modes(3);
  for (std::size_t m = 0; m < 3; ++m) modes[m].rows = row_lists(m, 2);
  std::vector<Blocks<double>> t(2);
  t[1][0] = {{1.0, 2.0}};
  const auto out = collect_modes(std::move(t), std::move(modes));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].t[0], (std::vector<Complex<double>>{{1.0, 2.0}}));
  EXPECT_EQ(out[1].rows, row_lists(1, 2));
  EXPECT_TRUE(collect_modes({}, {}).empty());
}

}  // namespace
