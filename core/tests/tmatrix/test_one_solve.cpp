// One T-matrix solve at fixed N and quadrature size: the precision paths and
// their codes, "auto" refining what f64 cannot resolve (against the
// double-double solve within both bounds), the unscaling that keeps
// finite values finite, the refusal of non-finite blocks, once-cells, and the
// records' derived counts at their edges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_one_solve.hpp"
#include "tmatrix/detail_refine.hpp"
#include "tmatrix/detail_scaled_solve.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "tmatrix/kernel_support.hpp"
#include "vantok/memory.hpp"
#include "vantok/pool.hpp"

namespace {

using vantok::Complex;
using vantok::Error;
using vantok::Result;
using vantok::scalar::DoubleDouble;
using namespace vantok::tmatrix;
using driver::OneSolve;
using vantok::test::expect_error;

using CDD = Complex<DoubleDouble>;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

OneSolve solver(double x, double eps, Complex<double> m, Precision precision, double rtol = 1e-6) {
  return OneSolve{{.x = x, .eps = eps, .m = m}, rtol, precision, nullptr};
}

Solved solved(const Result<Solved>& r) {
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().to_string());
  return r ? *r : Solved{};
}

/// The largest |a - b| over the elements of every T block.
double worst_difference(const Solved& a, const Solved& b) {
  double worst = 0.0;
  for (std::size_t m = 0; m < a.modes.modes.size(); ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      const auto& x = a.modes.modes[m].t[p];
      const auto& y = b.modes.modes[m].t[p];
      EXPECT_EQ(x.size(), y.size());
      for (std::size_t e = 0; e < x.size() && e < y.size(); ++e) worst = std::fmax(worst, vantok::test::cdist(x[e], y[e]));
    }
  }
  return worst;
}

// --- records -------------------------------------------------------------

// The counts of the worked spheroids are checked through the plan's caps.
// N_W: NaN and negatives count 0 (+ 2), past 2^64 the maximum instead of
// wrapping through + 2; N_f: a sphere needs no floor, near-degenerate shapes
// saturate (ln((e + 1)/(e - 1)) rounds to 0 from about e = 1e16 on). The
// largest element skips NaN.
TEST(Records, CountsSaturateAtTheirEdges) {
  for (const auto& [v, want] : {std::pair{NaN, std::uint64_t{2}}, {-5.0, 2}, {0.0, 2}, {1e300, U64_MAX}, {INF, U64_MAX}, {0x1p64, U64_MAX}}) {
    EXPECT_EQ(n_w(v), want) << v;
  }
  for (const auto& [e, want] : {std::pair{1.0, std::uint64_t{0}}, {1e17, U64_MAX}, {1e-17, U64_MAX}, {NaN, 0}}) EXPECT_EQ(n_f(e, 1e-6), want) << e;
  const SemiAxes nan_b = semi_axes(2.0, INF);  // b = inf / inf
  EXPECT_TRUE(std::isnan(nan_b.b));
  EXPECT_EQ(nan_b.r_min, nan_b.a);
  EXPECT_EQ(nan_b.r_max, nan_b.a);
  TMatrixModes<double> modes;
  modes.modes.resize(2);
  modes.modes[0].t[0] = {{NaN, 0.0}, {3.0, 4.0}};
  modes.modes[1].t[1] = {{0.0, NaN}, {-1.0, 0.0}};
  EXPECT_EQ(largest_element(modes), 5.0);
  modes.modes[0].t[0] = {{NaN, NaN}};
  modes.modes[1].t[1] = {};
  EXPECT_EQ(largest_element(modes), 0.0);
  EXPECT_EQ(run_max(0.0, NaN), 0.0);
  EXPECT_EQ(run_max(1.0, 2.0), 2.0);
}

// The running largest modulus that spares hypot where it cannot win is the
// plain running maximum of hypot, bit for bit: moduli a few ulps apart,
// tiny and subnormal ones (whose squares underflow), huge ones (whose squares
// overflow), NaN (skipped) and infinite parts (hypot(inf, NaN) = inf).
TEST(Records, LargestModulusSkipsOnlyWhatCannotWin) {
  std::vector<double> parts = {0.0, -0.0, 1.0, -1.0, 3.0, 4.0, 0x1p-1074, 0x1p-1022, 0x1p-520, 0x1p-400, 0x1p-390,
                               0x1p511, 0x1p512, 0x1p600, 1.7976931348623157e308, NaN, INF, -INF};
  for (double v : {1.0, 0.6, 0x1p-399, 0x1p512}) {
    for (int ulps = -3; ulps <= 3; ++ulps) parts.push_back(v + ulps * std::ldexp(std::numeric_limits<double>::epsilon(), std::ilogb(v)));
  }
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, parts.size() - 1);
  for (int run = 0; run < 2000; ++run) {
    double plain = 0.0;
    double spared = 0.0;
    for (int e = 0; e < 12; ++e) {
      const double re = parts[pick(rng)];
      const double im = parts[pick(rng)];
      plain = run_max(plain, std::hypot(re, im));
      spared = run_max_modulus(spared, re, im);
      ASSERT_EQ(std::memcmp(&plain, &spared, sizeof(double)), 0) << re << " " << im;
    }
  }
  // A modulus a rounding above the running maximum still replaces it.
  const double top = std::hypot(0.6, 0.8);
  EXPECT_EQ(run_max_modulus(top, 0.6, std::nextafter(0.8, 1.0)), std::hypot(0.6, std::nextafter(0.8, 1.0)));
}

// An error is cached and returned again; a throwing initialiser stores
// nothing; under contention the initialiser runs once.
TEST(OnceCell, CachesAnErrorAndRunsOnceUnderContention) {
  OnceCell<Result<int>> cell;
  int calls = 0;
  const Result<int>& first = cell.get_or_init([&] {
    ++calls;
    return Result<int>(std::unexpected(Error::not_converged(1.0, 2.0)));
  });
  const Result<int>& second = cell.get_or_init([] { return Result<int>(7); });
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(cell.filled());
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(second.error(), Error::not_converged(1.0, 2.0));
  OnceCell<int> retried;
  EXPECT_THROW(retried.get_or_init([]() -> int { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_FALSE(retried.filled());
  EXPECT_EQ(retried.get_or_init([] { return 3; }), 3);
  OnceCell<int> shared;
  std::atomic<int> runs{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([&] { EXPECT_EQ(shared.get_or_init([&] { return ++runs, 42; }), 42); });
  for (auto& th : threads) th.join();
  EXPECT_EQ(runs.load(), 1);
}

// --- unscaling and the finite-block rule ------------------------------------

CDD dd(double re, double im = 0.0) { return {DoubleDouble(re), DoubleDouble(im)}; }

TEST(Unscale, KeepsFiniteValuesFinite) {
  // 0 * exp(1500) would be 0 * inf = NaN, also in halves: an exact zero
  // stays zero, with its signs.
  const Complex<double> z = driver::unscale(Complex<double>{0.0, -0.0}, 1500.0);
  EXPECT_EQ(z.re, 0.0);
  EXPECT_FALSE(std::signbit(z.re));
  EXPECT_TRUE(std::signbit(z.im));
  const CDD z_dd = driver::unscale(dd(0.0, -0.0), 1500.0);
  EXPECT_EQ(z_dd.re.hi, 0.0);
  EXPECT_EQ(z_dd.im.hi, 0.0);
  EXPECT_EQ(z_dd.im.lo, 0.0);
  // 1e-300 e^800 = e^109.2: finite, formed in two halves.
  const Complex<double> big = driver::unscale(Complex<double>{1e-300, -2e-300}, 800.0);
  EXPECT_NEAR(big.re, std::exp(800.0 + std::log(1e-300)), 1e-13 * big.re);
  EXPECT_NEAR(big.im, -2.0 * big.re, 1e-13 * big.re);
  const CDD big_dd = driver::unscale(dd(1e-300), 800.0);
  EXPECT_NEAR(big_dd.re.hi, big.re, 1e-13 * big.re);
  // Within range the factor is applied once, exactly as a product.
  EXPECT_EQ(driver::unscale(Complex<double>{3.0, 1.0}, -2.5).re, 3.0 * std::exp(-2.5));
  EXPECT_EQ(driver::unscale(dd(3.0), 1.5).re.hi, (DoubleDouble(3.0) * std::exp(1.5)).hi);
}

TEST(RequireFinite, NamesTheFirstColumnWithANonFiniteElement) {
  const std::vector<Complex<double>> ok(9, {1.0, 1.0});
  std::vector<Complex<double>> bad(9, {1.0, 0.0});
  bad[2 * 3 + 1] = {0.0, NaN};  // (2, 1)
  bad[0 * 3 + 2] = {INF, 0.0};  // (0, 2)
  EXPECT_EQ(driver::non_finite_column<double>(bad, 3), 1u);
  EXPECT_FALSE(driver::non_finite_column<double>(ok, 3).has_value());
  expect_error(driver::require_finite<double>(3, {ok, bad}),
               Error::Kind::InvalidInput, "the EBCM matrix is singular or not finite at column 1");
  std::vector<CDD> dd_bad(1, dd(1.0));
  dd_bad[0].im = DoubleDouble(-INF);
  EXPECT_EQ(driver::non_finite_column<DoubleDouble>(dd_bad, 1), 0u);
}

// The block solves of a double-double pass run in parallel: every non-empty
// block of modes 0..=m_max is handed over once, solved as lu_factor_solve
// solves it alone, and of several failing blocks the first in mode and
// block order is the result (its column named), for any number of threads.
TEST(SolveBlocks, EveryBlockOnceAndTheFirstFailureInOrder) {
  const auto block = [](std::size_t k, double shift) {
    std::vector<CDD> b(k * k);
    for (std::size_t i = 0; i < k; ++i) {
      for (std::size_t j = 0; j < k; ++j) b[i * k + j] = dd((i == j ? 4.0 : 0.0) + shift + 0.1 * static_cast<double>(i + 2 * j));
    }
    return b;
  };
  const auto rows = [](std::size_t k) {
    std::vector<Row> r;
    for (std::size_t i = 0; i < k; ++i) r.push_back({i % 2, i + 1});
    return r;
  };
  std::vector<kernel::ModeMatrices<DoubleDouble>> matrices(5);
  for (std::size_t m = 0; m < 5; ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t k = m == 2 && p == 1 ? 0 : 6 - m;
      matrices[m].rows[p] = rows(k);
      matrices[m].q[p] = block(k, 0.25 * static_cast<double>(m + p));
      matrices[m].rg[p] = block(k, -1.0);
    }
  }
  const std::vector<double> l(8, 0.0);
  for (const std::size_t threads : {1, 3, 8}) {
    vantok::pool::with_threads(threads, [&] {
      std::vector<std::vector<int>> seen(5, std::vector<int>(2, 0));
      std::vector<std::vector<std::vector<CDD>>> got(5, std::vector<std::vector<CDD>>(2));
      const driver::BlockDone<DoubleDouble> keep = [&](std::size_t m, std::size_t p, std::vector<CDD>& t) {
        ++seen[m][p];
        got[m][p] = t;
        return Result<void>{};
      };
      ASSERT_TRUE(driver::solve_blocks<DoubleDouble>(matrices, 3, l, 64, 16, "the test LU", keep).has_value());
      for (std::size_t m = 0; m < 5; ++m) {
        for (std::size_t p = 0; p < 2; ++p) {
          const std::size_t k = matrices[m].rows[p].size();
          EXPECT_EQ(seen[m][p], m <= 3 && k > 0 ? 1 : 0) << m << " " << p;
          if (m > 3 || k == 0) continue;
          const auto alone = driver::lu_factor_solve<DoubleDouble>(k, matrices[m].q[p], matrices[m].rg[p],
                                                                   matrices[m].rows[p], l);
          ASSERT_TRUE(alone.has_value());
          EXPECT_EQ(std::memcmp(alone->data(), got[m][p].data(), k * k * sizeof(CDD)), 0) << m << " " << p;
        }
      }
      // A zero row c of Q is a zero column c of Q^T: singular at column 2 in
      // mode 3 (3 rows) and at column 0 in mode 1, block 1 (5 rows); mode 1
      // is first.
      auto failing = matrices;
      for (std::size_t j = 0; j < 3; ++j) failing[3].q[0][2 * 3 + j] = dd(0.0);
      for (std::size_t j = 0; j < 5; ++j) failing[1].q[1][0 * 5 + j] = dd(0.0);
      expect_error(driver::solve_blocks<DoubleDouble>(failing, 3, l, 64, 16, "the test LU", keep),
                   Error::Kind::InvalidInput, "the EBCM matrix is singular or not finite at column 0");
    });
  }
}

// --- one solve ------------------------------------------------------------

// Modes up to m_max: still N + 1 entries, row lists and codes, empty blocks
// above; "f64" codes all 0, "double-double" codes all 2 with the error term
// 4 2^-52 max |T_ij|, "auto" codes 0 above the modes it solved.
TEST(OneSolve, ModesUpToMMaxKeepEveryEntry) {
  const std::size_t n = 9;
  for (const Precision pr : {Precision::Auto, Precision::F64, Precision::DoubleDouble}) {
    for (const std::size_t m_max : {0, 2}) {
      const Solved s = solved(solver(2.0, 0.5, {1.4, 0.0}, pr)({n, 18, m_max}));
      ASSERT_EQ(s.modes.modes.size(), n + 1);
      ASSERT_EQ(s.paths.size(), n + 1);
      ASSERT_EQ(s.modes.n_terms, n);
      ASSERT_EQ(s.n_theta, 18u);
      for (std::size_t m = 0; m <= n; ++m) {
        const auto rows = kernel::row_lists(m, n);
        EXPECT_EQ(s.modes.modes[m].rows, rows);
        for (std::size_t p = 0; p < 2; ++p) EXPECT_EQ(s.modes.modes[m].t[p].size(), m <= m_max ? rows[p].size() * rows[p].size() : 0u);
        const PrecisionPath want = pr == Precision::DoubleDouble ? PrecisionPath::DoubleDouble : PrecisionPath::F64;
        EXPECT_TRUE(s.paths[m] == want || (pr == Precision::Auto && m <= m_max)) << m;
      }
      EXPECT_TRUE(pr != Precision::DoubleDouble || s.err == largest_element(s.modes) * 4.0 * 0x1p-52);
    }
  }
}

// A hard case for f64 (eps = 5, x = 6): under "auto" the flagged modes are
// refined or the solve falls back; the result agrees with double-double
// within the bounds and is the same on one thread and on many.
TEST(OneSolve, AutoRefinesTheModesF64CannotResolve) {
  const std::size_t n = 20;
  const OneSolve automatic = solver(6.0, 5.0, {1.5, 0.01}, Precision::Auto, 1e-10);
  const Solved a = solved(automatic({n, 40, n}));
  const Solved d = solved(solver(6.0, 5.0, {1.5, 0.01}, Precision::DoubleDouble)({n, 40, n}));
  const Solved f = solved(solver(6.0, 5.0, {1.5, 0.01}, Precision::F64)({n, 40, n}));
  std::size_t refined = 0;
  for (const PrecisionPath c : a.paths) refined += c != PrecisionPath::F64 ? 1 : 0;
  EXPECT_GT(refined, 0u);
  const double top = largest_element(d.modes);
  EXPECT_LE(a.err, 1e-11 * top);
  EXPECT_GT(f.err, a.err);
  EXPECT_LE(worst_difference(a, d), a.err + d.err);
  const Solved one = solved(vantok::pool::with_threads(1, [&] { return automatic({n, 40, n}); }));
  // The rest of the work budget held by other calls: one chunk and one
  // refined block at a time.
  const vantok::memory::Lease others = vantok::memory::lease(0, vantok::memory::work_free());
  const Solved squeezed = solved(automatic({n, 40, n}));
  for (const Solved* s : {&one, &squeezed}) {
    EXPECT_EQ(s->paths, a.paths);
    EXPECT_EQ(s->err, a.err);
    for (std::size_t m = 0; m <= n; ++m) {
      for (std::size_t p = 0; p < 2; ++p) EXPECT_TRUE(vantok::test::same_bytes(s->modes.modes[m].t[p], a.modes.modes[m].t[p]));
    }
  }
}

// Rows whose regular part is at most 1e-12 of Q are recomputed without it,
// which the refinement adds back from the f64 pass. Absorbing oblate
// spheroids at the tightest tolerance refine modes with such rows (negligible
// from an order p <= N); the refined blocks agree with the double-double
// solve within both error bounds, and would miss them by far without those
// regular parts.
TEST(OneSolve, RefinementAddsTheRegularPartsOfNegligibleRows) {
  const Complex<double> m{3.0, 0.5};
  for (const auto& [x, eps, n] : {std::tuple{1.0, 0.3, std::size_t{19}}, {2.0, 0.2, std::size_t{28}}}) {
    const auto f64 = kernel::all_modes_masked(kernel::Axes<double>::create(x, eps), n, 2 * n,
                                              vantok::test::mask_upto(n, n), m.re, m.im);
    ASSERT_TRUE(f64.has_value());
    EXPECT_LE(kernel::p_negligible_from(*f64, n), n) << x;
    const Solved a = solved(solver(x, eps, m, Precision::Auto, 1e-12)({n, 2 * n, n}));
    const Solved d = solved(solver(x, eps, m, Precision::DoubleDouble, 1e-12)({n, 2 * n, n}));
    double worst = 0.0;
    std::size_t refined = 0;
    for (std::size_t mode = 0; mode <= n; ++mode) {
      if (a.paths[mode] != PrecisionPath::Refined) continue;
      ++refined;
      for (std::size_t p = 0; p < 2; ++p) {
        const auto& u = a.modes.modes[mode].t[p];
        const auto& v = d.modes.modes[mode].t[p];
        ASSERT_EQ(u.size(), v.size());
        for (std::size_t e = 0; e < u.size(); ++e) worst = std::fmax(worst, vantok::test::cdist(u[e], v[e]));
      }
    }
    EXPECT_GT(refined, 0u) << x;
    EXPECT_LE(worst, a.err + d.err) << x;
  }
}

// A solve of several modes takes mode 0's f64 pass from a solve of mode 0
// alone at its truncation, kept in the carry, and gives the bits of the solve
// that forms it anew: the T blocks, codes and error bound, with modes refined
// (mode 0 among them) or not. The carry's newer entry, of another quadrature
// size, must not serve.
TEST(OneSolve, ModeZeroKeptFromAnEarlierSolveKeepsEveryBit) {
  struct Case {
    double x, eps;
    Complex<double> m;
    Precision precision;
    double rtol;
    std::size_t n, n_theta, m_max;
  };
  int refined_in_both = 0;
  int refined_later = 0;
  for (const Case& c : {Case{6.0, 5.0, {1.5, 0.01}, Precision::Auto, 1e-10, 20, 40, 20},
                        Case{6.0, 5.0, {1.5, 0.01}, Precision::Auto, 1e-10, 20, 40, 12},
                        Case{5.0, 0.5, {1.33, 0.001}, Precision::F64, 1e-6, 14, 30, 9},
                        Case{8.0, 2.0, {1.5, 0.02}, Precision::Auto, 1e-9, 24, 48, 24}}) {
    const OneSolve s = solver(c.x, c.eps, c.m, c.precision, c.rtol);
    driver::ModeZeroCarry carry;
    const Solved zero = solved(s({c.n, c.n_theta, 0}, &carry));
    (void)solved(s({c.n, c.n_theta + 2, 0}, &carry));
    ASSERT_NE(carry.find(c.n, c.n_theta), nullptr);
    EXPECT_EQ(carry.find(c.n + 1, c.n_theta), nullptr);
    const Solved kept = solved(s({c.n, c.n_theta, c.m_max}, &carry));
    const Solved fresh = solved(s({c.n, c.n_theta, c.m_max}));
    EXPECT_EQ(kept.paths, fresh.paths) << c.x;
    EXPECT_TRUE(vantok::test::same_bits(kept.err, fresh.err)) << c.x;
    for (std::size_t m = 0; m <= c.n; ++m) {
      for (std::size_t p = 0; p < 2; ++p) {
        EXPECT_TRUE(vantok::test::same_bytes(kept.modes.modes[m].t[p], fresh.modes.modes[m].t[p])) << m << " " << p;
      }
    }
    // Cover mode 0 refined after its kept pass, in both solves or in the
    // solve of several modes only (its tolerance is tighter).
    refined_in_both += zero.paths[0] == PrecisionPath::Refined && fresh.paths[0] == PrecisionPath::Refined;
    refined_later += zero.paths[0] == PrecisionPath::F64 && fresh.paths[0] == PrecisionPath::Refined;
  }
  EXPECT_GT(refined_in_both, 0);
  EXPECT_GT(refined_later, 0);
}

// Far more terms than the spheroid needs: L[n] grows past 709 between the
// lowest and highest orders, and exp(L[n_i] - L[n_j]) overflows where the
// scaled element has underflowed to 0. The cross sections stay finite and
// agree with a modest N.
TEST(OneSolve, UnneededTermsKeepCrossSectionsFinite) {
  const OneSolve s = solver(0.3, 5.0, {1.5, 0.01}, Precision::F64);
  const Solved big = solved(s({110, 100, 0}));
  const Solved small = solved(s({30, 100, 0}));
  const auto [ext_big, sca_big] = big.modes.cross_sections();
  const auto [ext_small, sca_small] = small.modes.cross_sections();
  ASSERT_TRUE(std::isfinite(ext_big));
  ASSERT_TRUE(std::isfinite(sca_big));
  EXPECT_NEAR(ext_big, ext_small, 1e-6 * ext_small);
  EXPECT_NEAR(sca_big, sca_small, 1e-6 * sca_small);
}

}  // namespace
