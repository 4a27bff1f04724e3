// The derivative T-matrix solve: the sphere limit against the Mie
// coefficients and their derivatives, the volume-preserving identity of the
// aspect-ratio partial at eps = 1, values and partials against f64 and
// double-double solves at shifted inputs, refinement, and the refinement
// mask and block helpers.
#include <gtest/gtest.h>

#include <cmath>

#include "support/central_difference.hpp"
#include "support/expect_error.hpp"
#include "tmatrix/kernel_support.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/functions.hpp"
#include "vantok/tmatrix/derivative.hpp"
#include "vantok/tmatrix/solve.hpp"

namespace {

using vantok::Complex;
using vantok::scalar::DoubleDouble;
using vantok::scalar::DualF64;
using namespace vantok::tmatrix::kernel;
namespace solve = vantok::tmatrix::solve;

using CDD = Complex<DoubleDouble>;

TMatrixDerivatives derivatives(std::size_t n, std::size_t n_theta, double x, double eps,
                               Complex<double> m, double tol, std::size_t m_max) {
  auto r = tmatrix_derivatives(n, n_theta, m_max, x, eps, m.re, m.im, tol);
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : TMatrixDerivatives{};
}

/// Every element of every block, real then imaginary part, of the value
/// (part -1) or of partial `part`.
std::vector<double> flatten(const TMatrixModes<DualF64>& t, int part) {
  std::vector<double> out;
  for (const auto& mode : t.modes) {
    for (const auto& block : mode.t) {
      for (const auto& z : block) {
        out.push_back(part < 0 ? z.re.value : z.re.partials[static_cast<std::size_t>(part)]);
        out.push_back(part < 0 ? z.im.value : z.im.partials[static_cast<std::size_t>(part)]);
      }
    }
  }
  return out;
}

/// The physical T-matrix of every mode solved in T (double or DoubleDouble)
/// from the plain kernel, flattened like `flatten`: the f64 solve unscaled by
/// exp(L_i - L_j) as the derivative solve does, the double-double one by the
/// double-double ratio P_i / P_j of the products of the outgoing scales.
template <class T>
std::vector<T> plain_solve(double x, double eps, Complex<double> m, std::size_t n,
                           std::size_t n_theta) {
  const auto mask = vantok::test::mask_upto(n, n);
  std::vector<ModeMatrices<T>> modes;
  std::vector<T> scale;  // per order: exp(L_n), or P_n
  if constexpr (std::is_same_v<T, double>) {
    const auto sph = Spheroid<double>::create(x, eps);
    modes = *all_modes_masked(sph, n, n_theta, mask, m.re, m.im);
    const double rmax = std::fmax(sph.a, sph.b);
    scale = vantok::test::log_scales(std::fmin(sph.a, sph.b), {m.re * rmax, m.im * rmax}, n);
  } else {
    const auto sph = Spheroid<DoubleDouble>::create(x, eps);
    modes = *all_modes_masked(sph, CDD{T(m.re), T(m.im)}, n, n_theta, mask, nullptr, SIZE_MAX);
    const T rmin = sph.a < sph.b ? sph.a : sph.b;
    const T rmax = sph.a < sph.b ? sph.b : sph.a;
    const vantok::tmatrix::functions::Scales<T> sc(n, rmin, CDD{T(m.re) * rmax, T(m.im) * rmax});
    T prod(1.0);
    for (std::size_t l = 0; l <= n; ++l) scale.push_back(prod = prod * sc.outgoing[l]);
  }
  std::vector<T> out;
  for (const auto& mm : modes) {
    for (std::size_t p = 0; p < 2; ++p) {
      const std::size_t k = mm.rows[p].size();
      if (k == 0) continue;
      std::vector<Complex<T>> t;
      if constexpr (std::is_same_v<T, double>) {
        t = solve::solve_f64(mm.q[p], mm.rg[p], k)->solution;
      } else {
        t = solve::solve_block<T>(mm.q[p], mm.rg[p], k)->solution;
      }
      for (std::size_t e = 0; e < k * k; ++e) {
        const std::size_t ni = mm.rows[p][e / k].second;
        const std::size_t nj = mm.rows[p][e % k].second;
        T f;
        if constexpr (std::is_same_v<T, double>) {
          f = std::exp(scale[ni] - scale[nj]);
        } else {
          f = DoubleDouble::div_dd(scale[ni], scale[nj]);
        }
        out.push_back(t[e].re * f);
        out.push_back(t[e].im * f);
      }
    }
  }
  return out;
}

double largest(const std::vector<double>& v) {
  double s = 0.0;
  for (const double d : v) s = std::fmax(s, std::fabs(d));
  return s;
}

// eps = 1: T(kind 0, n) = -b_n and T(kind 1, n) = -a_n in every mode, with
// the x and m partials of the Mie derivatives (d/dIm m = i d/dm); and the
// aspect-ratio partial of a first-order volume-preserving deformation leaves
// every orientation-averaged trace unchanged: sum_m w_m dT_ii(m)/deps = 0.
TEST(DerivativeSolve, SphereLimit) {
  const double x = 2.0;
  const Complex<double> mi{1.5, 0.02};
  const std::size_t n = 8;
  vantok::mie::Mie mie;
  ASSERT_TRUE(mie.solve({n, true}, true, x, mi).has_value());
  const auto coef = mie.coefficients();
  const auto dmie = mie.derivatives();
  const auto got = derivatives(n, n + 2, x, 1.0, mi, INFINITY, n);
  ASSERT_EQ(got.modes.modes.size(), n + 1);
  std::vector<std::array<Complex<double>, 2>> trace(n + 1);  // per (n, kind)
  std::vector<std::array<double, 2>> size(n + 1);
  for (std::size_t m = 0; m <= n; ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      const auto& rows = got.modes.modes[m].rows[p];
      const auto& t = got.modes.modes[m].t[p];
      const std::size_t k = rows.size();
      for (std::size_t i = 0; i < k; ++i) {
        const auto [kind, order] = rows[i];
        const auto& z = t[i * k + i];
        const Complex<double> c = kind == 0 ? coef.b[order - 1] : coef.a[order - 1];
        const Complex<double> dx = kind == 0 ? dmie.db_dx[order - 1] : dmie.da_dx[order - 1];
        const Complex<double> dm = kind == 0 ? dmie.db_dm[order - 1] : dmie.da_dm[order - 1];
        const auto near = [&](double got_v, double want, const char* what) {
          EXPECT_NEAR(got_v, want, 1e-12 * (1.0 + std::fabs(want))) << what << " mode " << m << " n " << order;
        };
        near(z.re.value, -c.re, "value");
        near(z.im.value, -c.im, "value");
        near(z.re.partials[0], -dx.re, "d/dx");
        near(z.im.partials[0], -dx.im, "d/dx");
        near(z.re.partials[2], -dm.re, "d/dRe m");
        near(z.im.partials[2], -dm.im, "d/dRe m");
        near(z.re.partials[3], dm.im, "d/dIm m");
        near(z.im.partials[3], -dm.re, "d/dIm m");
        const double w = m == 0 ? 1.0 : 2.0;
        trace[order][kind].re += w * z.re.partials[1];
        trace[order][kind].im += w * z.im.partials[1];
        size[order][kind] += w * std::hypot(z.re.partials[1], z.im.partials[1]);
      }
    }
  }
  for (std::size_t order = 1; order <= n; ++order) {
    for (std::size_t kind = 0; kind < 2; ++kind) {
      EXPECT_GT(size[order][kind], 0.0);
      EXPECT_LE(std::hypot(trace[order][kind].re, trace[order][kind].im), 1e-12 * size[order][kind])
          << "n " << order << " kind " << kind;
    }
  }
  // The partials are continuous through eps = 1, where rmin changes from b
  // to a: both passes take a on the tie.
  const auto at_one = flatten(got.modes, 1);
  for (const double eps : {1.0 - 1e-9, 1.0 + 1e-9}) {
    const auto near_one = flatten(derivatives(n, n + 2, x, eps, mi, INFINITY, n).modes, 1);
    for (std::size_t i = 0; i < at_one.size(); ++i) {
      EXPECT_NEAR(near_one[i], at_one[i], 1e-7 * largest(at_one)) << eps << " " << i;
    }
  }
}

// Unrefined (tol = inf): values are the f64 solve's bit for bit, partials its
// central differences, and no block is refined.
TEST(DerivativeSolve, MatchesCentralDifferencesOfF64Solve) {
  const std::size_t n = 8;
  const std::size_t n_theta = 16;
  const Complex<double> mi{1.5, 0.02};
  for (const double eps : {1.2, 2.0}) {
    const double x = 3.0;
    const auto got = derivatives(n, n_theta, x, eps, mi, INFINITY, n);
    EXPECT_EQ(flatten(got.modes, -1), plain_solve<double>(x, eps, mi, n, n_theta)) << eps;
    for (const auto& s : got.refine_sweeps) EXPECT_EQ(s[0] + s[1], 0u);
    for (std::size_t k = 0; k < 4; ++k) {
      const auto fd = vantok::test::central_difference(
          [&](double h) {
            return plain_solve<double>(x + (k == 0 ? h : 0.0), eps + (k == 1 ? h : 0.0),
                                       {mi.re + (k == 2 ? h : 0.0), mi.im + (k == 3 ? h : 0.0)}, n,
                                       n_theta);
          },
          0x1p-10);
      const auto partial = flatten(got.modes, static_cast<int>(k));
      const double tol = 1e-8 * largest(partial);
      for (std::size_t i = 0; i < fd.size(); ++i) {
        EXPECT_NEAR(partial[i], fd[i], tol) << "eps " << eps << " partial " << k << " " << i;
      }
    }
  }
}

// A tiny tolerance refines every mode from its first order: the values move
// within the unrefined error estimates, the partials reach the double-double
// central differences far below the f64 level, and every refined block
// reports 1 to 4 sweeps. The same bits on one thread.
TEST(DerivativeSolve, ForcedRefinementReachesDoubleDoubleDerivatives) {
  const std::size_t n = 6;
  const std::size_t n_theta = 8;
  const double x = 2.0;
  const double eps = 2.0;
  const Complex<double> mi{1.5, 0.02};
  const auto plain = derivatives(n, n_theta, x, eps, mi, INFINITY, n);
  const auto refined = derivatives(n, n_theta, x, eps, mi, 1e-300, n);
  const auto one = vantok::pool::with_threads(1, [&] { return derivatives(n, n_theta, x, eps, mi, 1e-300, n); });
  for (int part = -1; part < 4; ++part) EXPECT_EQ(flatten(one.modes, part), flatten(refined.modes, part));
  double plain_error = 0.0;
  for (std::size_t m = 0; m <= n; ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      plain_error = std::fmax(plain_error, plain.block_errors[m][p]);
      const bool has_rows = !refined.modes.modes[m].rows[p].empty();
      EXPECT_EQ(refined.refine_sweeps[m][p] >= 1 && refined.refine_sweeps[m][p] <= 4, has_rows);
      EXPECT_LE(refined.block_errors[m][p], plain.block_errors[m][p]);
    }
  }
  const auto v0 = flatten(plain.modes, -1);
  const auto v1 = flatten(refined.modes, -1);
  for (std::size_t i = 0; i < v0.size(); ++i) EXPECT_NEAR(v1[i], v0[i], plain_error);

  const double h = 0x1p-27;  // every shifted input exact
  for (std::size_t k = 0; k < 4; ++k) {
    const auto at = [&](double s) {
      const double d = s * h;
      return plain_solve<DoubleDouble>(x + (k == 0 ? d : 0.0), eps + (k == 1 ? d : 0.0),
                                       {mi.re + (k == 2 ? d : 0.0), mi.im + (k == 3 ? d : 0.0)}, n, n_theta);
    };
    const auto p1 = at(1), m1 = at(-1), p2 = at(2), m2 = at(-2);
    const auto got = flatten(refined.modes, static_cast<int>(k));
    const auto f64 = flatten(plain.modes, static_cast<int>(k));
    const double scale = largest(got);
    double refined_err = 0.0;
    double plain_err = 0.0;
    for (std::size_t i = 0; i < got.size(); ++i) {
      const DoubleDouble fd = vantok::test::central_difference_dd(p1[i], m1[i], p2[i], m2[i], h);
      refined_err = std::fmax(refined_err, std::fabs((DoubleDouble(got[i]) - fd).hi));
      plain_err = std::fmax(plain_err, std::fabs((DoubleDouble(f64[i]) - fd).hi));
    }
    EXPECT_LE(refined_err, 4e-16 * scale) << "partial " << k;
    EXPECT_LE(plain_err, 1e-11 * scale) << "partial " << k;
  }
}

TEST(DerivativeSolve, ModesAboveMmaxAndErrors) {
  const auto got = derivatives(6, 8, 2.0, 0.5, {1.5, 0.02}, INFINITY, 2);
  EXPECT_EQ(got.modes.modes.size(), 3u);
  EXPECT_EQ(got.modes.n_terms, 6u);
  ASSERT_EQ(got.block_errors.size(), 7u);
  ASSERT_EQ(got.refine_sweeps.size(), 7u);
  for (std::size_t m = 3; m <= 6; ++m) EXPECT_EQ(got.block_errors[m], (std::array<double, 2>{0.0, 0.0}));
  // The plain T-matrix of the dual one.
  const TMatrixModes<double> values = got.modes.values();
  ASSERT_EQ(values.modes.size(), 3u);
  EXPECT_EQ(values.modes[2].rows, got.modes.modes[2].rows);
  EXPECT_EQ(values.modes[2].t[1][3].im, got.modes.modes[2].t[1][3].im.value);
  vantok::test::expect_error(tmatrix_derivatives(6, 0, 2, 2.0, 0.5, 1.5, 0.02, INFINITY),
                             vantok::Error::Kind::InvalidInput, "Gauss-Legendre rule needs n >= 1");
}

TEST(DerivativePieces, RefinementMask) {
  const std::size_t n = 10;
  std::vector<ModeMatrices<DualF64>> modes(n + 1);
  std::vector<std::array<std::vector<double>, 2>> rows(n + 1);
  for (std::size_t m = 0; m <= n; ++m) {
    modes[m].rows = row_lists(m, n);
    rows[m] = {std::vector<double>(modes[m].rows[0].size()), std::vector<double>(modes[m].rows[1].size())};
  }
  std::vector<std::array<double, 2>> errors(n + 1, {0.0, 0.0});
  const auto mask = [&](std::size_t m, double tol, double t_max) {
    return derivative_refinement_mask(m, errors, tol, t_max, n, modes, rows);
  };
  EXPECT_EQ(mask(0, 1e-3, 2.0), std::nullopt);
  errors[0] = {NAN, 2e-3};
  EXPECT_EQ(mask(0, 1e-3, 2.0), std::nullopt);  // exactly thr
  errors[0] = {NAN, 1e-2};
  EXPECT_EQ(mask(0, 1e-3, 2.0), 3u);  // no row: 1 + 10 / 4
  errors[9] = {1e-2, 0.0};
  EXPECT_EQ(mask(9, 1e-3, 2.0), 9u + 2u / 4u);  // no cut-off above a mode limit
  const double limit = 2e-3 / (2.0 * static_cast<double>(modes[0].rows[0].size()));
  rows[0][0][0] = limit;        // block 0 row 0: (0, 2), at the limit, not above
  rows[0][1][3] = 2.0 * limit;  // block 1 row 3: (0, 7)
  rows[0][0][6] = 2.0 * limit;  // block 0 row 6: (1, 3)
  EXPECT_EQ(mask(0, 1e-3, 2.0), 3u);
  rows[0][1][3] = 2.0 * limit;
  rows[0][0][6] = 0.0;
  EXPECT_EQ(mask(0, 1e-3, 2.0), 7u);
  EXPECT_EQ(mask(0, INFINITY, 0.0), std::nullopt);  // thr NaN
  EXPECT_EQ(mask(0, INFINITY, 2.0), std::nullopt);
  EXPECT_EQ(mask(0, 1e-3, 0.0), 2u);  // thr 0: every row with an error above 0
}

TEST(DerivativePieces, PartialsAndMergedRows) {
  Complex<DualF64> z{DualF64::constant(1.0), DualF64::constant(2.0)};
  z.re.partials = {3.0, 4.0, 5.0, 6.0};
  z.im.partials = {7.0, 8.0, 9.0, 10.0};
  const std::vector<Complex<DualF64>> block{z, z};
  const auto p2 = partial_matrix<double>(block, 2);
  EXPECT_EQ(p2, (std::vector<Complex<double>>{{5.0, 9.0}, {5.0, 9.0}}));
  EXPECT_TRUE(partial_matrix<double>(std::span<const Complex<DualF64>>{}, 3).empty());

  const CDD r{DoubleDouble(1.0, 1e-20), DoubleDouble(2.0, -1e-20)};
  const std::vector<std::uint8_t> flags{0, 1};
  const auto merged = merge_refined_rows(2, flags, std::vector<CDD>(4, r),
                                         std::vector<Complex<double>>(4, {5.0, 6.0}));
  ASSERT_EQ(merged.size(), 4u);
  for (std::size_t e = 0; e < 4; ++e) {
    const CDD want = e < 2 ? CDD{DoubleDouble(5.0), DoubleDouble(6.0)} : r;
    EXPECT_TRUE(merged[e].re == want.re && merged[e].im == want.im) << e;
  }
}

}  // namespace
