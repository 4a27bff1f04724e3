// The derivative kernels and solve. Kernels over Dual<double, 4> and
// Dual<DoubleDouble, 4>: value parts against the f64 kernel, zero seeds, the
// dual ratio zero guard, the memory refusal. Solve: continuity through the
// sphere, the unrefined tables, central differences of the refined and
// "double-double" solves, the refinement mask. (The unrefined solve's values
// and partials are checked through the outputs of an "f64" run.)
#include <gtest/gtest.h>

#include <cmath>
#include <new>

#include "spherical/ratios.hpp"
#include "support/central_difference.hpp"
#include "tmatrix/detail_derivative_f64_solve.hpp"
#include "tmatrix/detail_derivative_solve.hpp"
#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_refine.hpp"
#include "tmatrix/kernel_support.hpp"
#include "vantok/memory.hpp"
#include "vantok/mie/ratios.hpp"
#include "vantok/pool.hpp"

namespace {

using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::test::central_difference_dd;
using vantok::test::mask_upto;
using vantok::test::ModeMask;
using vantok::test::run_kernel;
using namespace vantok::tmatrix::kernel;
using namespace vantok::tmatrix::derivative;
using vantok::tmatrix::TMatrixModes;
namespace solve = vantok::tmatrix::solve;
using Flat = std::vector<DoubleDouble>;

struct Params {
  double x, eps;
  Complex<double> m;
  /// These parameters with x, eps, Re m or Im m (k = 0..3) moved by h.
  Params shifted(std::size_t k, double h) const {
    Params p = *this;
    (k == 0 ? p.x : k == 1 ? p.eps : k == 2 ? p.m.re : p.m.im) += h;
    return p;
  }
};

/// The dual kernel with x, eps, Re m, Im m in partials 0..3 (or constants).
template <class D>
std::vector<ModeMatrices<D>> run_dual(const Params& p, std::size_t nmax, std::size_t ngauss, const ModeMask& mask,
                                      bool seeded = true) {
  using R = typename vantok::scalar::ScalarTraits<D>::Real;
  const auto v = [&](double value, std::size_t slot) { return seeded ? D::variable(R(value), slot) : D::constant(R(value)); };
  auto r = detail::run_kernel(detail::kernel_call(Axes<D>::create(v(p.x, 0), v(p.eps, 1)), Complex<D>{v(p.m.re, 2), v(p.m.im, 3)},
                                                  nmax, ngauss, mask));
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : std::vector<ModeMatrices<D>>{};
}

/// A real of any scalar as a double-double: the value (part -1) or a partial.
template <class T>
DoubleDouble part_of(const T& d, int part) {
  if constexpr (vantok::scalar::DualScalar<T>) return DoubleDouble(part < 0 ? d.value : d.partials[static_cast<std::size_t>(part)]);
  else return DoubleDouble(d);
}

/// Real and imaginary parts of every element of some blocks, in one list.
template <class Z>
void append(Flat& out, const std::vector<Z>& block, int part) {
  for (const auto& z : block) {
    out.push_back(part_of(z.re, part));
    out.push_back(part_of(z.im, part));
  }
}

/// q and rg of every mode.
template <class T>
Flat flatten(const std::vector<ModeMatrices<T>>& modes, int part = -1) {
  Flat out;
  for (const auto& mm : modes) {
    for (std::size_t p = 0; p < 2; ++p) {
      append(out, mm.q[p], part);
      append(out, mm.rg[p], part);
    }
  }
  return out;
}

/// Every element of every T block.
Flat flatten(const TMatrixModes<DualF64>& t, int part) {
  Flat out;
  for (const auto& mode : t.modes) {
    for (const auto& block : mode.t) append(out, block, part);
  }
  return out;
}

double largest(const Flat& v) {
  double s = 0.0;
  for (const auto& d : v) s = std::fmax(s, std::fabs(d.hi));
  return s;
}

/// Fourth-order central differences in double-double of f(shifted p) for
/// partial k, against `got`: the largest error relative to the largest |got|.
/// h = 2^-27 is a power of two, so that every shifted input is exact
/// (truncation ~h^4, rounding ~1e-32/h).
template <class F>
double worst_against_differences(F f, const Params& p, std::size_t k, const Flat& got) {
  const double h = 0x1p-27;
  const auto p1 = f(p.shifted(k, h)), m1 = f(p.shifted(k, -h)), p2 = f(p.shifted(k, 2 * h)), m2 = f(p.shifted(k, -2 * h));
  double worst = 0.0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    worst = std::fmax(worst, std::fabs((got[i] - central_difference_dd(p1[i], m1[i], p2[i], m2[i], h)).hi));
  }
  return worst / largest(got);
}

TMatrixDerivatives derivatives(const Params& p, std::size_t n, std::size_t n_theta, double tol, std::size_t m_max) {
  auto r = tmatrix_derivatives({.x = p.x, .eps = p.eps, .m = p.m}, {n, n_theta, m_max}, tol);
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : TMatrixDerivatives{};
}

/// The physical T-matrix of every mode from the plain double-double kernel
/// and solve, unscaled by the ratio P_i / P_j of the products of the outgoing
/// scales.
Flat plain_solve(const Params& p, std::size_t n, std::size_t n_theta) {
  using T = DoubleDouble;
  const auto sph = Axes<T>::create(p.x, p.eps);
  const T rmin = sph.a < sph.b ? sph.a : sph.b, rmax = sph.a < sph.b ? sph.b : sph.a;
  const vantok::tmatrix::functions::Scales<T> sc(n, rmin, {T(p.m.re) * rmax, T(p.m.im) * rmax});
  std::vector<T> scale{sc.outgoing[0]};
  for (std::size_t l = 1; l <= n; ++l) scale.push_back(scale.back() * sc.outgoing[l]);
  Flat out;
  for (const auto& mm : run_kernel<T>(p.eps, p.x, p.m, n, n_theta, mask_upto(n, n))) {
    for (std::size_t b = 0; b < 2; ++b) {
      const std::size_t k = mm.rows[b].size();
      if (k == 0) continue;
      const auto t = solve::solve_block<T>(mm.q[b], mm.rg[b], k)->solution;
      for (std::size_t e = 0; e < k * k; ++e) {
        const T f = DoubleDouble::div_dd(scale[mm.rows[b][e / k].second], scale[mm.rows[b][e % k].second]);
        out.push_back(t[e].re * f);
        out.push_back(t[e].im * f);
      }
    }
  }
  return out;
}

const Params PROLATE{3.0, 2.0, {1.5, 0.02}};

// Over f64 the dual kernel runs the f64 kernel's operations: every value
// part, magnitude and code is the f64 kernel's, whatever the seeds and masks;
// constants carry no partials.
TEST(KernelDual, F64ValuesAndZeroSeeds) {
  const std::size_t nmax = 8;
  ModeMask mask(nmax + 1);
  mask[0] = 0;
  mask[2] = 3;
  mask[5] = 0;
  for (const double eps : {0.5, 1.0, 2.0}) {
    const Params p{3.0, eps, {1.5, 0.02}};
    const auto plain = run_kernel<double>(eps, 3.0, {1.5, 0.02}, nmax, 12, mask);
    const auto dual = run_dual<DualF64>(p, nmax, 12, mask);
    EXPECT_EQ(flatten(plain), flatten(dual)) << eps;
    for (std::size_t m = 0; m <= nmax; ++m) {
      for (std::size_t b = 0; b < 2; ++b) {
        EXPECT_EQ(plain[m].choice[b], dual[m].choice[b]);
        for (std::size_t e = 0; e < plain[m].q_mag[b].size(); ++e) {
          EXPECT_EQ(plain[m].q_mag[b][e], dual[m].q_mag[b][e].value);
          EXPECT_EQ(plain[m].rg_mag[b][e], dual[m].rg_mag[b][e].value);
        }
      }
    }
  }
  const auto d64 = run_dual<DualF64>(PROLATE, 6, 8, mask_upto(6, 6), false);
  const auto ddd = run_dual<DualDD>(PROLATE, 3, 4, mask_upto(3, 3), false);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(largest(flatten(d64, k)), 0.0) << k;
    for (const DoubleDouble& d : flatten(ddd, k)) {
      EXPECT_EQ(d.hi, 0.0) << k;
      EXPECT_EQ(d.lo, 0.0) << k;
    }
  }
}

// nmax = 2000 in dual double-double: about 5e9 elements of 481 bytes,
// refused before anything is allocated.
TEST(KernelDual, WorkingSetBeyondMemory) {
  if (vantok::memory::physical_bytes() > (std::size_t{1} << 42)) GTEST_SKIP();
  EXPECT_THROW((void)run_dual<DualDD>(PROLATE, 2000, 10, mask_upto(2000, 2000)), std::bad_alloc);
}

// The dual ratio recurrences' zero guard 2^-52 (|t| + |r|) carries the
// partials of t and r (their values and partials elsewhere are checked through
// the kernel: values as f64, partials against differences of the solve).
TEST(KernelDual, RatioZeroGuard) {
  namespace mk = vantok::mie::kernel;
  // t = 3 (1/2) meets r = 1.5: d = 2^-52 (|r| + |t|), partials 2^-52 (r' + t').
  const DualF64 got = mk::detail::ratio_step(3.0, DualF64::variable(0.5, 0), DualF64::variable(1.5, 1));
  const double d = 3.0 * 0x1p-52;
  EXPECT_EQ(got.value, 1.0 / d);
  EXPECT_EQ(got.partials[0], -((3.0 * 0x1p-52) * (1.0 / d)) * (1.0 / d));
  EXPECT_EQ(got.partials[1], -((1.0 * 0x1p-52) * (1.0 / d)) * (1.0 / d));
  const DualDD got_dd = mk::detail::ratio_step(3.0, DualDD::variable(DoubleDouble(0.5), 0), DualDD::variable(DoubleDouble(1.5), 1));
  const double d_dd = 3.0 * 0x1p-104;
  EXPECT_EQ(got_dd.value.hi, 1.0 / d_dd);
  EXPECT_NEAR(got_dd.partials[1].hi, -(1.0 / 3.0) / d_dd, 1e-30 / d_dd);
}

// At eps = 1 (where the outputs' partials are checked against the Mie
// derivatives) the partials are continuous: rmin changes from b to a there,
// and the double-double pass that refines them must take the same semi-axis.
TEST(DerivativeSolve, ContinuousThroughTheSphere) {
  const Params sphere{2.0, 1.0, {1.5, 0.02}};
  const std::size_t n = 6;
  const auto got = derivatives(sphere, n, n + 2, INFINITY, n);
  ASSERT_EQ(got.modes.modes.size(), n + 1);
  const auto at_one = flatten(got.modes, 1);
  for (const auto& [eps, tol] : {std::pair{1.0 - 1e-9, INFINITY}, {1.0 + 1e-9, INFINITY}, {1.0, 1e-300}}) {
    const auto near_one = flatten(derivatives({sphere.x, eps, sphere.m}, n, n + 2, tol, n).modes, 1);
    for (std::size_t i = 0; i < at_one.size(); ++i) {
      EXPECT_LE(std::fabs((near_one[i] - at_one[i]).hi), 1e-7 * largest(at_one)) << eps << " " << i;
    }
  }
}

// Unrefined (tol = inf; its values and partials are checked through the
// outputs of an "f64" run): nothing is refined; modes above m_max are dropped
// while the tables keep N + 1 entries.
TEST(DerivativeSolve, UnrefinedKeepsEveryTable) {
  for (const auto& s : derivatives({3.0, 2.0, {1.5, 0.02}}, 8, 16, INFINITY, 8).refine_sweeps) EXPECT_EQ(s[0] + s[1], 0u);
  const auto cut = derivatives({2.0, 0.5, {1.5, 0.02}}, 6, 8, INFINITY, 2);
  EXPECT_EQ(cut.modes.modes.size(), 3u);
  EXPECT_EQ(cut.modes.n_terms, 6u);
  ASSERT_EQ(cut.block_errors.size(), 7u);
  ASSERT_EQ(cut.refine_sweeps.size(), 7u);
  for (std::size_t m = 3; m <= 6; ++m) EXPECT_EQ(cut.block_errors[m], (std::array<double, 2>{0.0, 0.0}));
  const TMatrixModes<double> values = cut.modes.values();
  ASSERT_EQ(values.modes.size(), 3u);
  EXPECT_EQ(values.modes[2].rows, cut.modes.modes[2].rows);
  EXPECT_EQ(values.modes[2].t[1][3].im, cut.modes.modes[2].t[1][3].im.value);
}

// A tiny tolerance refines every mode from its first order: the values move
// within the unrefined error estimates, every refined block reports 1 to 4
// sweeps, one thread gives the same bits. "double-double" runs the whole solve
// over Dual<DoubleDouble, 4>: m_max + 1 codes, err 4 2^-52 max |T_ij|. Both
// reach the double-double central differences of the plain double-double
// solve to the last bit of f64, the x and aspect-ratio partials included
// (they carry the derivatives of the order scaling).
TEST(DerivativeSolve, RefinedAndDoubleDoublePathsReachDoubleDoubleDerivatives) {
  const Params p{2.0, 2.0, {1.5, 0.02}};
  const std::size_t n = 6;
  const auto plain = derivatives(p, n, 8, INFINITY, n);
  const auto refined = derivatives(p, n, 8, 1e-300, n);
  const auto one = vantok::pool::with_threads(1, [&] { return derivatives(p, n, 8, 1e-300, n); });
  namespace driver = vantok::tmatrix::driver;
  using vantok::tmatrix::PrecisionPath;
  auto dd = driver::solve_derivatives({.x = p.x, .eps = p.eps, .m = p.m}, {n, 8, n}, vantok::tmatrix::Precision::DoubleDouble, 1e-6);
  ASSERT_TRUE(dd.has_value());
  EXPECT_EQ(dd->paths, std::vector<PrecisionPath>(n + 1, PrecisionPath::DoubleDouble));
  EXPECT_EQ(dd->err, vantok::tmatrix::largest_element(dd->modes.values()) * 4.0 * 0x1p-52);
  double plain_error = 0.0;
  for (std::size_t m = 0; m <= n; ++m) {
    for (std::size_t b = 0; b < 2; ++b) {
      plain_error = std::fmax(plain_error, plain.block_errors[m][b]);
      const std::size_t sweeps = refined.refine_sweeps[m][b];
      EXPECT_EQ(sweeps >= 1 && sweeps <= 4, !refined.modes.modes[m].rows[b].empty());
      EXPECT_LE(refined.block_errors[m][b], plain.block_errors[m][b]);
    }
  }
  const auto v0 = flatten(plain.modes, -1), v1 = flatten(refined.modes, -1);
  for (std::size_t i = 0; i < v0.size(); ++i) EXPECT_LE(std::fabs((v1[i] - v0[i]).hi), plain_error);
  EXPECT_EQ(flatten(one.modes, -1), v1);
  const auto f = [&](const Params& q) { return plain_solve(q, n, 8); };
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(flatten(one.modes, static_cast<int>(k)), flatten(refined.modes, static_cast<int>(k)));
    for (const Flat& got : {flatten(refined.modes, static_cast<int>(k)), flatten(dd->modes, static_cast<int>(k))}) {
      EXPECT_LE(worst_against_differences(f, p, k, got), 4e-16) << k;
    }
  }
}

// The derivative solve's refinement mask: blocks above thr, the smallest
// order of a row above thr / (2 k), the default 1 + N/4 without such a row,
// no cut-off above a mode limit, nothing for thr NaN, every erring row for
// thr 0.
TEST(DerivativePieces, RefinementMask) {
  const std::size_t n = 10;
  std::vector<ModeMatrices<DualF64>> modes(n + 1);
  std::vector<std::array<std::vector<double>, 2>> rows(n + 1);
  for (std::size_t m = 0; m <= n; ++m) {
    modes[m].rows = row_lists(m, n);
    rows[m] = {std::vector<double>(modes[m].rows[0].size()), std::vector<double>(modes[m].rows[1].size())};
  }
  std::vector<std::array<double, 2>> errors(n + 1, {0.0, 0.0});
  const auto mask = [&](std::size_t m, double tol, double t_max) { return derivative_refinement_mask(m, errors, tol, t_max, n, modes, rows); };
  EXPECT_EQ(mask(0, 1e-3, 2.0), std::nullopt);
  errors[0] = {NAN, 2e-3};
  EXPECT_EQ(mask(0, 1e-3, 2.0), std::nullopt);  // exactly thr
  errors[0] = {NAN, 1e-2};
  errors[9] = {1e-2, 0.0};
  EXPECT_EQ(mask(0, 1e-3, 2.0), 3u);
  EXPECT_EQ(mask(9, 1e-3, 2.0), 9u);
  const double limit = 2e-3 / (2.0 * static_cast<double>(modes[0].rows[0].size()));
  rows[0][0][0] = limit;        // block 0 row 0, (0, 2): at the limit, not above
  rows[0][1][3] = 2.0 * limit;  // block 1 row 3: (0, 7)
  rows[0][0][6] = 2.0 * limit;  // block 0 row 6: (1, 3)
  EXPECT_EQ(mask(0, 1e-3, 2.0), 3u);
  EXPECT_EQ(mask(0, INFINITY, 0.0), std::nullopt);
  EXPECT_EQ(mask(0, INFINITY, 2.0), std::nullopt);
  EXPECT_EQ(mask(0, 1e-3, 0.0), 2u);
}

}  // namespace
