// The f64 and double-double mode kernels: the EBCM sums against an mpmath
// evaluation of the integrand (which also checks the double-double ratio
// recurrences they use; the sphere limit is checked through the run), energy
// conservation for a real index, the variants against each other, the
// refinement road against the full pass, bit identity across thread counts and
// memory budgets, refusals; and the pieces around the quadrature (variant
// record, negligible orders, refinement mask, the double-double rule).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "support/expect_error.hpp"
#include "support/process_pool.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_one_solve.hpp"
#include "tmatrix/detail_widest.hpp"
#include "tmatrix/kernel_support.hpp"
#include "vantok/memory.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::scalar::DoubleDouble;
using namespace vantok::test;
using namespace vantok::tmatrix::kernel;

template <class T>
class Kernel : public ::testing::Test {};
using KernelTypes = ::testing::Types<double, DoubleDouble>;
TYPED_TEST_SUITE(Kernel, KernelTypes);

double hi(double v) { return v; }
double hi(const DoubleDouble& v) { return v.hi; }

// Against the integrand summed at 50 digits, with every element forced to
// variant 0 (the direct evaluation with h_n in place of j_n); the regular part
// does not depend on the variant record.
TYPED_TEST(Kernel, SumsMatchMpmathIntegrand) {
  using T = TypeParam;
  const double tol = std::is_same_v<T, double> ? 1e-13 : 1e-28;
  for (const auto& c : ebcm_cases()) {
    const auto mask = mask_of(c.nmax, {0, 1, 2, 6});
    const Choice zero = uniform_choice(c.nmax, 0);
    const auto direct = run_kernel<T>(c.eps, c.x, {c.m_re, c.m_im}, c.nmax, c.ngauss, mask, &zero);
    const auto chosen = run_kernel<T>(c.eps, c.x, {c.m_re, c.m_im}, c.nmax, c.ngauss, mask);
    for (const auto& [key, ref] : c.blocks) {
      const auto [mode, p] = key;
      double scale = 0.0;
      for (const auto& v : ref[0]) scale = std::fmax(scale, std::hypot(v.re.hi, v.im.hi));
      ASSERT_EQ(direct[mode].q[p].size(), ref[0].size());
      for (std::size_t e = 0; e < ref[0].size(); ++e) {
        EXPECT_LE(dd_dist(direct[mode].q[p][e], ref[0][e]), tol * scale) << c.eps << " " << c.x << " " << mode << " " << e;
        EXPECT_LE(dd_dist(direct[mode].rg[p][e], ref[1][e]), tol * scale) << c.eps << " " << c.x << " " << mode << " " << e;
      }
      EXPECT_TRUE(same_bytes(direct[mode].rg[p], chosen[mode].rg[p]));
      EXPECT_TRUE(same_bytes(direct[mode].rg_mag[p], chosen[mode].rg_mag[p]));
    }
  }
}

// Variants 1 and 2 leave out series terms whose integrals vanish: with enough
// nodes every code gives variant 0's Q within its magnitude bound (variant 1
// only where the chooser allows it, orders three or more apart).
TYPED_TEST(Kernel, VariantsIntegrateToTheSameQ) {
  using T = TypeParam;
  const double tol = std::is_same_v<T, double> ? 1e-12 : 1e-25;
  const std::size_t nmax = 8;
  const auto mask = mask_upto(nmax, 2);
  const Choice zero = uniform_choice(nmax, 0);
  const auto v0 = run_kernel<T>(2.0, 3.0, {1.5, 0.02}, nmax, 60, mask, &zero);
  for (const std::uint8_t code : {std::uint8_t{1}, std::uint8_t{2}}) {
    const Choice forced = uniform_choice(nmax, code);
    const auto vc = run_kernel<T>(2.0, 3.0, {1.5, 0.02}, nmax, 60, mask, &forced);
    for (std::size_t mode = 0; mode <= 2; ++mode) {
      for (std::size_t p = 0; p < 2; ++p) {
        const auto& rows = v0[mode].rows[p];
        const std::size_t k = rows.size();
        for (std::size_t e = 0; e < k * k; ++e) {
          EXPECT_EQ(vc[mode].choice[p][e], code);
          const std::size_t ni = rows[e / k].second, nj = rows[e % k].second;
          if (code == 1 && (ni > nj ? ni - nj : nj - ni) < 3) continue;
          const auto d = vc[mode].q[p][e] - v0[mode].q[p][e];
          EXPECT_LE(std::hypot(hi(d.re), hi(d.im)), tol * hi(v0[mode].q_mag[p][e])) << int{code} << " " << mode << " " << e;
        }
      }
    }
  }
}

TYPED_TEST(Kernel, ThreadsAndMemoryBudgetKeepTheBits) {
  using T = TypeParam;
  const std::size_t nmax = std::is_same_v<T, double> ? 10 : 6;
  const auto mask = mask_upto(nmax, nmax);
  for (const std::size_t ngauss : {1, 9, 17}) {
    auto call = detail::kernel_call(Axes<T>::create(5.0, 0.5), Complex<T>{T(1.5), T(0.02)}, nmax, ngauss, mask);
    const auto one = vantok::pool::with_threads(1, [&] { return detail::run_kernel(call); });
    const auto many = vantok::pool::with_threads(8, [&] { return detail::run_kernel(call); });
    call.partial_budget = 1;  // one chunk at a time
    const auto tight = vantok::pool::with_threads(8, [&] { return detail::run_kernel(call); });
    call.partial_budget = 0;
    // The rest of the work budget held by other calls: one chunk at a time too.
    const vantok::memory::Lease others = vantok::memory::lease(0, vantok::memory::work_free());
    const auto shared = vantok::pool::with_threads(8, [&] { return detail::run_kernel(call); });
    ASSERT_TRUE(one);
    ASSERT_TRUE(many);
    ASSERT_TRUE(tight);
    ASSERT_TRUE(shared);
    EXPECT_TRUE(identical(*one, *many)) << ngauss;
    EXPECT_TRUE(identical(*one, *tight)) << ngauss;
    EXPECT_TRUE(identical(*one, *shared)) << ngauss;
  }
}

// Enough modes that one chunk's pieces keep two threads busy: the chunk sums
// are then added to the totals as each chunk is summed (one or two threads)
// or kept as partial sums and added afterwards (eight); with and without a
// variant record.
TYPED_TEST(Kernel, ChunkSumsAddedOrKeptKeepTheBits) {
  using T = TypeParam;
  const std::size_t nmax = 30;
  const auto mask = mask_upto(nmax, nmax);
  const auto f64 = detail::kernel_call(Axes<double>::create(9.0, 1.4), Complex<double>{1.5, 0.02}, nmax, 9, mask);
  const Choice choice = Choice::of<double>(*detail::run_kernel(f64), nmax);
  auto call = detail::kernel_call(Axes<T>::create(9.0, 1.4), Complex<T>{T(1.5), T(0.02)}, nmax, 9, mask);
  for (const Choice* record : {static_cast<const Choice*>(nullptr), &choice}) {
    call.choice = record;
    const auto one = vantok::pool::with_threads(1, [&] { return detail::run_kernel(call); });
    const auto two = vantok::pool::with_threads(2, [&] { return detail::run_kernel(call); });
    const auto eight = vantok::pool::with_threads(8, [&] { return detail::run_kernel(call); });
    ASSERT_TRUE(one);
    ASSERT_TRUE(two);
    ASSERT_TRUE(eight);
    EXPECT_TRUE(identical(*one, *two)) << (record != nullptr);
    EXPECT_TRUE(identical(*one, *eight)) << (record != nullptr);
  }
}

// The process-wide pool reached as the bindings reach it (with a pool of one
// thread in its own registration), against an arena of one thread.
TYPED_TEST(Kernel, ProcessPoolKeepsTheBits) {
  using T = TypeParam;
  const std::size_t nmax = std::is_same_v<T, double> ? 10 : 6;
  const auto mask = mask_upto(nmax, nmax);
  const auto call = detail::kernel_call(Axes<T>::create(5.0, 0.5), Complex<T>{T(1.5), T(0.02)}, nmax, 17, mask);
  const auto pooled = on_process_pool([&] { return detail::run_kernel(call); });
  const auto one = vantok::pool::with_threads(1, [&] { return detail::run_kernel(call); });
  ASSERT_TRUE(pooled);
  ASSERT_TRUE(one);
  EXPECT_TRUE(identical(*one, *pooled)) << vantok::pool::threads();
}

// 2 ngauss would wrap to 2 points: saturated instead.
TYPED_TEST(Kernel, RefusesRuleSizes) {
  using T = TypeParam;
  const auto call = [](std::size_t ngauss) {
    const auto sph = Axes<T>::create(1.0, 2.0);
    if constexpr (std::is_same_v<T, double>) return all_modes_masked(sph, 2, ngauss, mask_upto(2, 2), 1.5, 0.0);
    else return all_modes_masked(sph, CDD{T(1.5), T(0.0)}, 2, ngauss, mask_upto(2, 2), nullptr, SIZE_MAX);
  };
  const std::string most = "Gauss-Legendre rule needs n <= 131072, got ";
  expect_error(call(0), Error::Kind::InvalidInput, "Gauss-Legendre rule needs n >= 1");
  expect_error(call(65537), Error::Kind::InvalidInput, most + "131074");
  expect_error(call((std::size_t{1} << 63) + 1), Error::Kind::InvalidInput, most + "18446744073709551615");
  EXPECT_TRUE(all_modes_masked(Axes<double>::create(1.0, 2.0), 1, 65536, ModeMask(2), 1.5, 0.0).has_value());
}

// A real index conserves energy: S = 1 + 2T is unitary, T + T^H + 2 T^H T = 0
// for every unscaled block, and C_ext = C_sca. Truncation: the identity holds
// to 3e-6 at N = 12, 5e-13 at 20.
TEST(KernelF64, RealIndexConservesEnergy) {
  for (const double eps : {0.5, 2.0}) {
    const auto solved = vantok::tmatrix::driver::OneSolve{{.x = 3.0, .eps = eps, .m = {1.5, 0.0}}, 1e-6, vantok::tmatrix::Precision::F64, nullptr}({20, 60, 20});
    ASSERT_TRUE(solved.has_value());
    for (std::size_t m = 0; m <= 20; ++m) {
      for (std::size_t p = 0; p < 2; ++p) {
        const auto& u = solved->modes.modes[m].t[p];
        const std::size_t k = solved->modes.modes[m].rows[p].size();
        double worst = 0.0;
        for (std::size_t i = 0; i < k; ++i) {
          for (std::size_t j = 0; j < k; ++j) {
            Complex<double> acc = u[i * k + j] + vantok::complex::conj(u[j * k + i]);
            for (std::size_t l = 0; l < k; ++l) {
              const Complex<double> prod = vantok::complex::conj(u[l * k + i]) * u[l * k + j];
              acc = acc + Complex<double>{2.0 * prod.re, 2.0 * prod.im};
            }
            worst = std::fmax(worst, std::hypot(acc.re, acc.im));
          }
        }
        EXPECT_LE(worst, 2e-12) << "eps " << eps << " mode " << m << " block " << p;
      }
    }
    const auto [ext, sca] = solved->modes.cross_sections();
    EXPECT_GT(ext, 0.0);
    EXPECT_NEAR(ext, sca, 2e-12 * ext) << "eps " << eps;
  }
}

// The refinement road: flagged modes from their n_from, the first pass's
// record, no regular part from p on. Every refined row equals the full pass
// bit for bit; rows below n_from stay zero; rows from p on hold Q without its
// regular part.
TEST(KernelDD, RefinedPassEqualsFullPassOnItsRows) {
  const std::size_t nmax = 10, p = 8;
  const auto all = mask_upto(nmax, nmax);
  const Choice choice = Choice::of<double>(run_kernel<double>(2.0, 4.0, {1.5, 0.02}, nmax, 16, all), nmax);
  ModeMask mask(nmax + 1);
  mask[0] = 4;
  mask[2] = 7;
  mask[5] = 5;
  const auto run = [&](const ModeMask& k, std::size_t limit = SIZE_MAX) {
    return run_kernel<DoubleDouble>(2.0, 4.0, {1.5, 0.02}, nmax, 16, k, &choice, limit);
  };
  const auto refined = run(mask, p), full = run(all, p), with_rg = run(all);
  for (std::size_t m = 0; m <= nmax; ++m) {
    for (std::size_t b = 0; b < 2; ++b) {
      EXPECT_EQ(refined[m].choice[b], choice.per_mode[m][b]);
      const std::size_t k = refined[m].rows[b].size();
      for (std::size_t e = 0; e < k * k; ++e) {
        const std::size_t n = refined[m].rows[b][e / k].second;
        if (mask[m] && n >= *mask[m]) {
          EXPECT_EQ(std::memcmp(&refined[m].q[b][e], &full[m].q[b][e], sizeof(CDD)), 0);
          EXPECT_EQ(std::memcmp(&refined[m].rg[b][e], &full[m].rg[b][e], sizeof(CDD)), 0);
        } else {
          EXPECT_EQ(refined[m].q_mag[b][e], DoubleDouble(0.0));
        }
        if (n >= p) {
          EXPECT_EQ(full[m].rg_mag[b][e], DoubleDouble(0.0));
          EXPECT_LE(dd_dist(full[m].q[b][e] + with_rg[m].rg[b][e], with_rg[m].q[b][e]), 1e-30 * with_rg[m].q_mag[b][e].hi);
        } else {
          EXPECT_EQ(std::memcmp(&full[m].q[b][e], &with_rg[m].q[b][e], sizeof(CDD)), 0);
        }
      }
    }
  }
}

// The refinement road without its magnitude sums: the same Q and RgQ bits,
// on the lanes and on the scalar code alike, and no magnitudes.
TEST(KernelDD, RefinedPassWithoutMagnitudes) {
  const std::size_t nmax = 10, p = 8;
  const Choice choice =
      Choice::of<double>(run_kernel<double>(2.0, 4.0, {1.5, 0.02}, nmax, 16, mask_upto(nmax, nmax)), nmax);
  ModeMask mask(nmax + 1);
  mask[1] = 3;
  mask[4] = 6;
  const auto sph = Axes<DoubleDouble>::create(4.0, 2.0);
  const Complex<DoubleDouble> m{DoubleDouble(1.5), DoubleDouble(0.02)};
  const auto with = all_modes_masked(sph, m, nmax, 16, mask, &choice, p);
  const auto without = all_modes_masked(sph, m, nmax, 16, mask, &choice, p, 0, false);
  vantok::tmatrix::kernel::detail::lanes_redo_all = true;
  const auto redone = all_modes_masked(sph, m, nmax, 16, mask, &choice, p, 0, false);
  vantok::tmatrix::kernel::detail::lanes_redo_all = false;
  ASSERT_TRUE(with && without && redone);
  EXPECT_TRUE(identical(*without, *redone));
  for (std::size_t mode = 0; mode <= nmax; ++mode) {
    for (std::size_t b = 0; b < 2; ++b) {
      EXPECT_TRUE(same_bytes((*with)[mode].q[b], (*without)[mode].q[b]));
      EXPECT_TRUE(same_bytes((*with)[mode].rg[b], (*without)[mode].rg[b]));
      for (const auto* mags : {&(*without)[mode].q_mag[b], &(*without)[mode].rg_mag[b]}) {
        for (const DoubleDouble& v : *mags) EXPECT_EQ(v, DoubleDouble(0.0));
      }
    }
  }
}

// The refinement road over several chunks: on eight threads their sums are
// kept as partials that hold only the rows from n_from, on one thread added
// as each chunk is summed. The same bits, and the rows below n_from +0.
TEST(KernelDD, RefinedRowsAlonePartialOrDirect) {
  const std::size_t nmax = 10, ngauss = 60;
  const Choice choice =
      Choice::of<double>(run_kernel<double>(2.0, 4.0, {1.5, 0.02}, nmax, ngauss, mask_upto(nmax, nmax)), nmax);
  ModeMask mask(nmax + 1);
  mask[0] = 4;
  mask[2] = 7;
  mask[5] = 5;
  mask[9] = 10;
  const auto run = [&](std::size_t threads) {
    return vantok::pool::with_threads(
        threads, [&] { return run_kernel<DoubleDouble>(2.0, 4.0, {1.5, 0.02}, nmax, ngauss, mask, &choice); });
  };
  const auto one = run(1), eight = run(8);
  EXPECT_TRUE(identical(one, eight));
  const auto plus_zero = [](const DoubleDouble& v) { return v.hi == 0.0 && !std::signbit(v.hi) && v.lo == 0.0; };
  for (std::size_t m = 0; m <= nmax; ++m) {
    if (!mask[m]) continue;
    for (std::size_t b = 0; b < 2; ++b) {
      const std::size_t k = eight[m].rows[b].size();
      for (std::size_t e = 0; e < k * k; ++e) {
        if (eight[m].rows[b][e / k].second >= *mask[m]) continue;
        for (const CDD* v : {&eight[m].q[b][e], &eight[m].rg[b][e]}) {
          EXPECT_TRUE(plus_zero(v->re) && plus_zero(v->im)) << m << " " << e;
        }
        EXPECT_TRUE(plus_zero(eight[m].q_mag[b][e]) && plus_zero(eight[m].rg_mag[b][e])) << m << " " << e;
      }
    }
  }
}

// Caller faults are internal failures, checked once before any work; a
// working set beyond memory is refused before allocating.
TEST(KernelF64, BrokenInvariantsAndMemory) {
  const auto sph = Axes<double>::create(1.0, 2.0);
  EXPECT_THROW((void)all_modes_masked(sph, 3, 4, mask_upto(2, 2), 1.5, 0.0), vantok::InternalFailure);
  Choice bad = uniform_choice(3, 0);
  bad.per_mode[2][1][0] = 3;
  EXPECT_THROW((void)run_kernel<double>(2.0, 1.0, {1.5, 0.0}, 3, 4, mask_upto(3, 3), &bad), vantok::InternalFailure);
  // nmax = 5000 with every mode: about 8e10 elements, terabytes.
  if (vantok::memory::physical_bytes() < (std::size_t{1} << 42)) {
    EXPECT_THROW((void)all_modes_masked(Axes<double>::create(10.0, 2.0), 5000, 10, mask_upto(5000, 5000), 1.5, 0.0), std::bad_alloc);
  }
}

/// A stop token whose caller has already asked to stop.
class Stopping : public vantok::stop::Token {
 public:
  Stopping() { request(); }
  bool poll() override { return true; }
};

// A vast argument starts the ratio recurrences of the spheroid kernels far
// above N: from beyond 2^52 orders (where 2n + 1 is no longer exact) they
// are refused before they start, and below they stop on request within 2^16
// orders instead of running for hours. (The stop is asked for throughout: a
// recurrence that started would end with Stopped, not run on.)
TEST(KernelRatios, VastArgumentsRefusedOrStopped) {
  namespace mk = vantok::mie::kernel;
  Stopping token;
  const vantok::stop::Scope scope(token);
  std::vector<Complex<double>> out;
  try {
    mk::ratios_complex(out, 10, {1e300, 1.0});
    ADD_FAILURE() << "not refused";
  } catch (const vantok::memory::Refused& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot allocate 18446744073709551615 values for the downward ratio recurrence at |z| = 1e300: its start "
              "order exceeds 4503599627370496, beyond which the orders are not exact doubles");
  }
  std::vector<DoubleDouble> real_dd;
  EXPECT_THROW(mk::ratios_real(real_dd, 10, DoubleDouble(4.6e15)), vantok::memory::Refused);
  EXPECT_LE(mk::checked_start_order(4e15, 10, mk::DD_START), mk::MAX_START_ORDER);
  // 4e15 orders, about a day of steps.
  EXPECT_THROW(mk::ratios_complex(out, 10, {4e15, 1.0}), vantok::stop::Stopped);
  std::vector<vantok::scalar::DualF64> real_dual;
  EXPECT_THROW(mk::ratios_real(real_dual, 10, vantok::scalar::DualF64::variable(4e15, 0)), vantok::stop::Stopped);
}

// Outside the validated domain the series tables end where their bounds stop
// being finite; the call returns instead of running until memory runs out.
TEST(KernelF64, ExtremeAspectRatioReturns) {
  EXPECT_TRUE(all_modes_masked(Axes<double>::create(1.0, 1e-300), 4, 4, mask_upto(4, 4), 1.5, 0.02).has_value());
  const auto s = detail::series_tables<double>(vantok::tmatrix::functions::Scales<double>(4, 1e-100, {1.5e200, 0.02e200}), 4,
                                               1e-100, 1e200, {1.5, 0.02});
  for (std::size_t n = 1; n <= 4; ++n) {
    ASSERT_FALSE(s.irregular[n].empty());
    EXPECT_TRUE(std::isnan(s.irregular[n].back())) << n;
  }
}

// nmax = 0 gives empty blocks; no mode wanted gives zero sums and codes at
// full size (rows from n_from: the refinement road below); the chooser's codes are 0 on the diagonal and never 1 for orders two apart
// or closer, also for a flat spheroid where variant 1 is chosen elsewhere.
TEST(KernelF64, MasksAndCodes) {
  const auto zero = run_kernel<double>(2.0, 1.0, {1.5, 0.02}, 0, 4, mask_upto(0, 0));
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_TRUE(zero[0].q[0].empty());
  EXPECT_TRUE(zero[0].q[1].empty());
  const std::size_t nmax = 6;
  for (const auto& mode : run_kernel<double>(2.0, 2.0, {1.5, 0.02}, nmax, 8, ModeMask(nmax + 1))) {
    for (std::size_t p = 0; p < 2; ++p) {
      EXPECT_EQ(mode.q[p].size(), mode.rows[p].size() * mode.rows[p].size());
      for (std::size_t e = 0; e < mode.q[p].size(); ++e) {
        EXPECT_EQ(mode.q_mag[p][e], 0.0);
        EXPECT_EQ(mode.choice[p][e], 0);
        EXPECT_EQ(mode.q[p][e].re, 0.0);
      }
    }
  }
  std::size_t ones = 0;
  for (const auto& [eps, x] : {std::pair{2.0, 2.0}, {0.2, 3.0}}) {
    for (const auto& mode : run_kernel<double>(eps, x, {1.5, 0.5}, 16, 32, mask_upto(16, 16))) {
      for (std::size_t p = 0; p < 2; ++p) {
        const auto& rows = mode.rows[p];
        const std::size_t k = rows.size();
        for (std::size_t e = 0; e < k * k; ++e) {
          const std::size_t ni = rows[e / k].second, nj = rows[e % k].second, gap = ni > nj ? ni - nj : nj - ni;
          ones += mode.choice[p][e] == 1;
          EXPECT_TRUE(gap > 2 ? true : gap == 0 ? mode.choice[p][e] == 0 : mode.choice[p][e] != 1) << eps << " " << ni << " " << nj;
        }
      }
    }
  }
  EXPECT_GT(ones, 0u);
}

// The record of a pass: per element the code of its mode, per order pair the
// code all modes agree on, 3 where they differ. Rows are negligible from the
// lowest order p whose regular part is at most 1e-12 of Q in every row from p
// on (NaN counted as not negligible), at most nmax + 1.
TEST(KernelPieces, ChoiceRecordAndNegligibleOrders) {
  const std::size_t nmax = 4;
  Modes<double> modes(4);
  for (std::size_t m = 0; m < 4; ++m) {
    modes[m].rows = row_lists(m, nmax);
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t k2 = modes[m].rows[p].size() * modes[m].rows[p].size();
      modes[m].choice[p].assign(k2, 0);
      modes[m].rg_mag[p].assign(k2, 0.0);
      modes[m].q_mag[p].assign(k2, 1.0);
    }
  }
  // Block 0 rows: mode 0 (0,2), (0,4), (1,1), (1,3); mode 2 (0,2), (0,4), (1,3).
  modes[0].choice[0][0 * 4 + 3] = 1;  // orders (2, 3)
  modes[2].choice[0][1 * 3 + 0] = 2;  // orders (4, 2)
  modes[1].choice[0][0 * 4 + 1] = 1;  // orders (2, 4), and 2 in mode 2: 3
  modes[2].choice[0][0 * 3 + 1] = 2;
  modes[1].choice[1].clear();         // a short array contributes nothing
  const Choice c = Choice::of<double>(modes, nmax);
  EXPECT_EQ((std::array{c.grid[2 * 5 + 3], c.grid[4 * 5 + 2], c.grid[2 * 5 + 4], c.grid[3 * 5 + 4]}), (std::array<std::uint8_t, 4>{1, 2, 3, 0}));
  EXPECT_TRUE(c.per_mode[1][1].empty());
  EXPECT_EQ(c.per_mode[2][0], modes[2].choice[0]);
  EXPECT_EQ(p_negligible_from({}, nmax), 1u);
  modes[2].rg_mag[1][0] = 1e-12;  // exactly 1e-12 q_mag does not count
  EXPECT_EQ(p_negligible_from(modes, nmax), 1u);
  modes[2].rg_mag[1][0] = 2e-12;  // row (0, 3) of mode 2 block 1
  modes[0].rg_mag[0][1 * 4 + 2] = NAN;
  EXPECT_EQ(p_negligible_from(modes, nmax), 4u);
  modes[0].rg_mag[0][1 * 4 + 2] = 1.0;  // row (0, 4): p would be 5 = nmax + 1
  EXPECT_EQ(p_negligible_from(modes, 3), 4u);
  EXPECT_EQ(p_negligible_from(modes, nmax), 5u);
}

TEST(KernelPieces, RefinementMask) {
  const std::size_t n = 10;
  Modes<double> modes(n + 1);
  std::vector<std::array<std::vector<double>, 2>> row_errors(n + 1);
  for (std::size_t m = 0; m <= n; ++m) {
    modes[m].rows = row_lists(m, n);
    row_errors[m] = {std::vector<double>(modes[m].rows[0].size(), 0.0), std::vector<double>(modes[m].rows[1].size(), 0.0)};
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

// The double-double rule: roots and weights against mpmath, leading parts the
// f64 rule's (within an ulp); kept rules are the computed ones whatever the
// order of sizes asked, and a refused size stays refused.
TEST(KernelDD, GaussLegendreRule) {
  for (const auto& block : blocks(read_table("tmatrix_kernel.txt"), "rule")) {
    const std::size_t n = block[0].count(0);
    const auto rule = detail::gauss_legendre_dd(n);
    for (std::size_t r = 1; r < block.size(); ++r) {
      const std::size_t i = n - 1 - block[r].count(0);
      EXPECT_LE(std::fabs((rule->first[i].hi - block[r].num(1)) + (rule->first[i].lo - block[r].num(2))), 1e-31) << n << " " << i;
      EXPECT_LE(std::fabs((rule->second[i].hi - block[r].num(3)) + (rule->second[i].lo - block[r].num(4))), 1e-31) << n << " " << i;
    }
    const auto f64 = vantok::special::gauss_legendre::gauss_legendre<double>(n);
    for (std::size_t i = 0; n <= 100 && i < n; ++i) {
      const double x = std::fabs(rule->first[i].hi);
      EXPECT_LE(std::fabs(f64->first[i] - rule->first[i].hi), std::nextafter(x, INFINITY) - x) << n << " " << i;
    }
  }
  for (const std::size_t n : {6, 9, 6, 20, 31, 44, 9, 6, 20}) {
    const auto kept = detail::gauss_legendre_dd_cached(n);
    const auto fresh = detail::gauss_legendre_dd(n);
    EXPECT_TRUE(same_bytes(kept->first, fresh->first)) << n;
    EXPECT_TRUE(same_bytes(kept->second, fresh->second)) << n;
  }
  EXPECT_FALSE(detail::gauss_legendre_dd_cached(0).has_value() || detail::gauss_legendre_dd_cached(0).has_value());
}

}  // namespace
