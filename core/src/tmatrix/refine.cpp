// Iterative refinement of a solved EBCM block X A = -B with double-double
// residuals.
//
// A and B are assembled from f64 rows and double-double rows; their f64
// rounding is factorised once. Each sweep forms the residual R = -B - X A in
// double-double (where the cancellation happens), rounds it, solves dX A0 = R
// with the f64 factors, and adds dX to the double-double X. Classical mixed-
// precision refinement: the error contracts by about cond(A) u per sweep,
// down to the level of the double-double residual.

#include "tmatrix/detail_refine.hpp"

#include <cmath>

#include "tmatrix/detail_dd_lanes.hpp"
#include "tmatrix/detail_lanes8.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::solve {

namespace {

constexpr int MAX_SWEEPS = 4;
constexpr double THRESHOLD = 0x1p-60;  // 8.673617379884035e-19

using CDD = Complex<DoubleDouble>;

CDD widen(const Complex<double>& z) { return {{z.re, 0.0}, {z.im, 0.0}}; }

Complex<double> leading(const CDD& z) { return {z.re.hi, z.im.hi}; }

/// acc_j = -b_j - sum_k x_k a_kj for one row: for each j the products in
/// ascending k, each subtracted as it is formed.
void residual_row(const CDD* b, const CDD* x, const CDD* a, std::size_t n, CDD* acc) {
  for (std::size_t j = 0; j < n; ++j) acc[j] = -b[j];
  for (std::size_t k = 0; k < n; ++k) {
    const CDD& xk = x[k];
    const CDD* arow = a + k * n;
    // The loops are interchanged only so that A is read along its rows.
    for (std::size_t j = 0; j < n; ++j) acc[j] = acc[j] - xk * arow[j];
  }
}

/// acc_j = -b_j - sum_k x_k a_kj for one column j, k ascending.
CDD residual_element(const CDD* b, const CDD* x, const CDD* a, std::size_t n, std::size_t j) {
  CDD s = -b[j];
  for (std::size_t k = 0; k < n; ++k) s = s - x[k] * a[k * n + j];
  return s;
}

/// The rows of A in the lanes' layout: the columns from 8 * blocks8 on in
/// blocks of four (the first 8 * blocks8 in blocks of eight where the lanes
/// are eight wide). A block of w columns holds their re.hi, re.lo, im.hi and
/// im.lo, w of each; block c of row k sits at (k blocks + c) 4 w, so that the
/// residual loads the columns' parts as they are (no transposition per
/// product). The last n mod 4 columns are summed by the scalar steps.
struct LaneRows {
  std::size_t blocks8 = 0, blocks4 = 0;
  std::vector<double> eight, four;

  LaneRows() = default;
  LaneRows(const std::vector<CDD>& a, std::size_t n, std::size_t b8)
      : blocks8(b8), blocks4((n - 8 * b8) / 4), eight(n * b8 * 32), four(n * blocks4 * 16) {
    for (std::size_t k = 0; k < n; ++k) {
      for (std::size_t c = 0; c < blocks8; ++c) place(a.data() + k * n + 8 * c, 8, eight.data() + (k * blocks8 + c) * 32);
      for (std::size_t c = 0; c < blocks4; ++c) {
        place(a.data() + k * n + 8 * blocks8 + 4 * c, 4, four.data() + (k * blocks4 + c) * 16);
      }
    }
  }

  static void place(const CDD* z, std::size_t w, double* p) {
    for (std::size_t l = 0; l < w; ++l) {
      p[l] = z[l].re.hi;
      p[w + l] = z[l].re.lo;
      p[2 * w + l] = z[l].im.hi;
      p[3 * w + l] = z[l].im.lo;
    }
  }
};

}  // namespace

VANTOK_WIDEST_BEGIN
namespace {

/// residual_row with four columns j in lanes, each lane's sum kept in
/// registers over k: the same operations in the same order per element. The
/// lanes are unchecked: a column whose sum comes out not finite (as any with
/// a non-finite step does) is formed again by the scalar operations, which
/// own the rules for infinities and NaN.
void residual_row_lanes(const CDD* b, const CDD* x, const CDD* a, const LaneRows& rows, std::size_t n, CDD* acc) {
  using L = kernel::detail::lanes::Lane<DoubleDouble, false>;
  using S = L::S;
  using C4 = Complex<S>;
  const std::size_t blocks = rows.blocks4;
  const std::size_t first = 8 * rows.blocks8;
  const double* a_lanes = rows.four.data();
  for (std::size_t c = 0; c < blocks; ++c) {
    const std::size_t j0 = first + 4 * c;
    const CDD* bp[4] = {b + j0, b + j0 + 1, b + j0 + 2, b + j0 + 3};
    C4 sum = -L::gather(bp);
    for (std::size_t k = 0; k < n; ++k) {
      const C4 xk{L::splat(x[k].re), L::splat(x[k].im)};
      const double* p = a_lanes + (k * blocks + c) * 16;
      const C4 ak{S{_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)}, S{_mm256_loadu_pd(p + 8), _mm256_loadu_pd(p + 12)}};
      sum = sum - xk * ak;
    }
    CDD* out[4] = {acc + j0, acc + j0 + 1, acc + j0 + 2, acc + j0 + 3};
    L::scatter(sum, out, 4);
    const int bad = (L::finite(sum.re) & L::finite(sum.im)) ^ 15;
    for (std::size_t l = 0; l < 4; ++l) {
      if (((bad >> l) & 1) != 0) acc[j0 + l] = residual_element(b, x, a, n, j0 + l);
    }
  }
  // The last columns one by one, as in residual_row.
  for (std::size_t j = first + 4 * blocks; j < n; ++j) acc[j] = residual_element(b, x, a, n, j);
}

}  // namespace
VANTOK_WIDEST_END

VANTOK_WIDEST512_BEGIN
namespace {

/// residual_row_lanes with the first 8 * blocks8 columns eight at a time in
/// AVX-512 lanes (each lane the same steps of the scalar code, unchecked as
/// there), the rest as residual_row_lanes takes them.
void residual_row_lanes8(const CDD* b, const CDD* x, const CDD* a, const LaneRows& rows, std::size_t n,
                         CDD* acc) {
  using L = kernel::detail::lanes::Lane8DD;
  using S = L::S;
  using C8 = Complex<S>;
  const std::size_t blocks = rows.blocks8;
  for (std::size_t c = 0; c < blocks; ++c) {
    const std::size_t j0 = 8 * c;
    const CDD* bp[8];
    CDD* out[8];
    for (std::size_t l = 0; l < 8; ++l) {
      bp[l] = b + j0 + l;
      out[l] = acc + j0 + l;
    }
    C8 sum = -L::gather(bp);
    for (std::size_t k = 0; k < n; ++k) {
      const C8 xk{L::splat(x[k].re), L::splat(x[k].im)};
      const double* p = rows.eight.data() + (k * blocks + c) * 32;
      const C8 ak{S{_mm512_loadu_pd(p), _mm512_loadu_pd(p + 8)}, S{_mm512_loadu_pd(p + 16), _mm512_loadu_pd(p + 24)}};
      sum = sum - xk * ak;
    }
    L::scatter(sum, out, 8);
    const int bad = (L::finite(sum.re) & L::finite(sum.im)) ^ 0xFF;
    for (std::size_t l = 0; l < 8; ++l) {
      if (((bad >> l) & 1) != 0) acc[j0 + l] = residual_element(b, x, a, n, j0 + l);
    }
  }
  residual_row_lanes(b, x, a, rows, n, acc);
}

}  // namespace
VANTOK_WIDEST512_END

namespace {

/// The arrays of one row of a sweep: the double-double residual and its
/// f64 rounding, solved in place.
struct RowWork {
  std::vector<CDD> acc;
  std::vector<Complex<double>> r;
};

/// The sweeps of one refinement: per row of a sweep its largest correction
/// and largest unscaled one. The rows are independent (row i of X reads only
/// row i of X and B), so they run in parallel and the maxima are taken in row
/// order after. Each thread keeps its row arrays over the rows and sweeps it
/// takes.
struct Sweeps {
  const std::vector<CDD>& a;
  const std::vector<CDD>& b;
  std::vector<CDD>& x;
  const F64Solve& factors;
  std::span<const double> ls;
  std::size_t n;
  bool wide, wide8;
  /// A in the lanes' layout (with `wide`).
  LaneRows a_lanes;
  std::vector<double> row_d, row_w;
  pool::PerThread<RowWork> row_work;

  /// Row i's residual, its correction solved with the f64 factors and added
  /// to X, and its maxima.
  void row(std::size_t i) {
    auto& [acc, r] = row_work.local();
    acc.resize(n);
    r.resize(n);
    // acc_j = -B_ij - sum_k X_ik A_kj, k ascending for every j.
    if (wide8) {
      residual_row_lanes8(b.data() + i * n, x.data() + i * n, a.data(), a_lanes, n, acc.data());
    } else if (wide) {
      residual_row_lanes(b.data() + i * n, x.data() + i * n, a.data(), a_lanes, n, acc.data());
    } else {
      residual_row(b.data() + i * n, x.data() + i * n, a.data(), n, acc.data());
    }
    for (std::size_t j = 0; j < n; ++j) r[j] = leading(acc[j]);
    lu_solve(factors.lu, factors.perm, n, r);
    double d_row = 0.0;
    double w_row = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      const double d = abs(r[j]);
      d_row = std::fmax(d_row, d);
      w_row = std::fmax(w_row, d * std::exp(ls[i] - ls[j]));
      CDD& xij = x[i * n + j];
      xij.re = xij.re + r[j].re;
      xij.im = xij.im + r[j].im;
    }
    row_d[i] = d_row;
    row_w[i] = w_row;
  }
};

}  // namespace

Result<Refined> refine(std::span<const Complex<double>> a64, std::span<const Complex<double>> b64,
                       std::span<const Complex<DoubleDouble>> add,
                       std::span<const Complex<DoubleDouble>> bdd, std::span<const bool> row_flags,
                       std::span<const double> ls, std::size_t n) {
  const std::size_t n2 = square(n);
  VANTOK_ASSERT(a64.size() >= n2 && b64.size() >= n2 && row_flags.size() >= n && ls.size() >= n);

  // A and B by row flag: f64 rows widened, flagged rows in double-double.
  std::vector<CDD> a(n2), b(n2);
  for (std::size_t i = 0; i < n; ++i) {
    if (row_flags[i]) VANTOK_ASSERT(add.size() >= (i + 1) * n && bdd.size() >= (i + 1) * n);
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t e = i * n + j;
      a[e] = row_flags[i] ? add[e] : widen(a64[e]);
      b[e] = row_flags[i] ? bdd[e] : widen(b64[e]);
    }
  }
  std::vector<Complex<double>> a0(n2), b0(n2);
  for (std::size_t e = 0; e < n2; ++e) {
    a0[e] = leading(a[e]);
    b0[e] = leading(b[e]);
  }
  VANTOK_TRY(factors, solve_f64(a0, b0, n));
  a0 = {};
  b0 = {};

  std::vector<CDD> x(n2);
  double xmax = 0.0;
  for (std::size_t e = 0; e < n2; ++e) {
    x[e] = widen(factors.solution[e]);
    xmax = std::fmax(xmax, abs(factors.solution[e]));
  }
  const double thresh = xmax * THRESHOLD;

  const bool wide = kernel::detail::widest_available();
  const bool wide8 = kernel::detail::widest512_available();
  // A in the lanes' layout, in the place of the f64 rounding just freed.
  Sweeps sweeps{a, b, x, factors, ls, n, wide, wide8, wide ? LaneRows(a, n, wide8 ? n / 8 : 0) : LaneRows(),
                std::vector<double>(n), std::vector<double>(n), {}};
  int s = 0;
  double wmax = 0.0;
  for (;; ++s) {
    work::parallel(n, [&](std::size_t i) { sweeps.row(i); });
    double dmax = 0.0;
    wmax = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      dmax = std::fmax(dmax, sweeps.row_d[i]);
      wmax = std::fmax(wmax, sweeps.row_w[i]);
    }
    // Stop once the largest correction is at most 2^-60 max|X0| (a NaN dmax
    // stops as well), or after the fourth sweep.
    if (!(thresh < dmax) || s + 1 == MAX_SWEEPS) break;
  }

  sweeps.a_lanes = {};
  Refined out;
  out.t.resize(n2);
  for (std::size_t e = 0; e < n2; ++e) out.t[e] = leading(x[e]);
  out.t_dd = std::move(x);
  out.a_dd = std::move(a);
  out.factors = std::move(factors);
  out.sweeps = static_cast<std::size_t>(s + 1);
  out.correction = wmax;
  return out;
}

}  // namespace vantok::tmatrix::solve
