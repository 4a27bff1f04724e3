// One solve of a spheroid's T-matrix at fixed N and quadrature size along the
// precision paths. The EBCM matrices of every mode are computed in f64 and each
// parity block is solved with an a-posteriori error bound (random-sign probes
// of the first-order perturbation by the f64 rounding of Q and RgQ, relative
// size u1 = 2N 2^-53 per element). A mode whose bound exceeds the threshold
// tau Tmax has the rows its error comes from recomputed in double-double and
// its blocks refined with double-double residuals; rows whose regular part is
// negligible take it from the f64 pass. Under "auto" a result that still
// misses the tolerance is replaced by the solve in double-double throughout.

#include "tmatrix/detail_one_solve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "tmatrix/detail_dd_solve.hpp"
#include "tmatrix/detail_error_estimate.hpp"
#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_refine.hpp"
#include "tmatrix/detail_scaled_solve.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::driver {

namespace {

using CDD = Complex<DoubleDouble>;
using kernel::ModeMatrices;

CDD widen(const Complex<double>& z) { return {DoubleDouble(z.re), DoubleDouble(z.im)}; }

/// ls[n_i] for the rows of a block.
std::vector<double> row_scales(const std::vector<Row>& rows, const std::vector<double>& ls) {
  std::vector<double> l;
  l.reserve(rows.size());
  for (const Row& r : rows) {
    VANTOK_ASSERT(r.second < ls.size());
    l.push_back(ls[r.second]);
  }
  return l;
}

/// Unscales a block solved in the kernel's basis and returns its largest
/// |T_ij| (from 0, NaN skipped).
double unscale_block(std::vector<Complex<double>>& t, std::span<const double> l, std::size_t k) {
  double top = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      Complex<double>& v = t[i * k + j];
      v = unscale(v, l[i] - l[j]);
      top = run_max_modulus(top, v.re, v.im);
    }
  }
  return top;
}

/// The per-mode working values of the f64 pass: T blocks, block bounds, row
/// bounds and refinement sweeps.
struct ModeWork {
  Blocks<double> t;
  std::pair<double, double> errors{0.0, 0.0};
  std::array<std::vector<double>, 2> row_errors;
  std::array<std::size_t, 2> sweeps{0, 0};
  /// The largest |T_ij| of each T block as it stands (from the f64 pass or
  /// the refinement).
  std::array<double, 2> tops{0.0, 0.0};

  /// The error bound of block p.
  double& error(std::size_t p) { return p == 0 ? errors.first : errors.second; }
  double error(std::size_t p) const { return p == 0 ? errors.first : errors.second; }
};

}  // namespace

struct ModeZeroCarry::Entry {
  std::size_t n_terms = 0;
  std::size_t n_theta = 0;
  ModeMatrices<double> matrices;
  /// The f64 pass's T blocks and bounds, before any refinement.
  ModeWork work;
  memory::Lease held;
};

namespace {

struct Refinement {
  const Spheroid& spheroid;
  std::size_t n, n_theta;
  double u1, u2;
  const std::vector<double>& ls;
  /// Bytes of the f64 pass the solve keeps alive meanwhile.
  std::size_t held;
  SolveProfile* profile;
};

/// Work bytes per element of a k x k block: of its f64 solve (the LU and
/// solution, the magnitude bounds), beside the T block it keeps; and of its
/// refinement (the mixed Q and RgQ with their bounds, the system assembled
/// from them and its solution X in double-double, the f64 roundings or the
/// LU and first solution, and the rounded T).
constexpr std::size_t F64_BLOCK_BYTES = 2 * sizeof(Complex<double>) + 2 * sizeof(double);
constexpr std::size_t REFINE_BLOCK_BYTES = 5 * sizeof(CDD) + 4 * sizeof(Complex<double>) + 2 * sizeof(double);

/// The elements of the blocks of modes 0..=m_max.
std::size_t block_elements(const std::vector<ModeMatrices<double>>& modes, std::size_t m_max) {
  std::size_t elements = 0;
  for (std::size_t mode = 0; mode <= m_max; ++mode) {
    for (const auto& rows : modes[mode].rows) elements = sat_add(elements, rows.size() * rows.size());
  }
  return elements;
}

/// The largest row count k of the blocks.
std::size_t largest_block(const std::vector<ModeMatrices<double>>& modes,
                          const std::vector<std::pair<std::size_t, std::size_t>>& blocks) {
  std::size_t out = 0;
  for (const auto& [m, p] : blocks) out = std::max(out, modes[m].rows[p].size());
  return out;
}

/// The f64 solve of block p of one mode: T with its bound, per-row bounds and
/// largest |T_ij| into the mode's work entries; that largest |T_ij|.
Result<double> solve_block(const ModeMatrices<double>& f64, std::size_t p, double u1,
                           const std::vector<double>& ls, ModeWork& work) {
  const std::size_t k = f64.rows[p].size();
  const std::vector<Complex<double>>& q = f64.q[p];
  const std::vector<Complex<double>>& rg = f64.rg[p];
  VANTOK_CHECK(require_finite<double>(k, {q, rg}));
  VANTOK_TRY(solved, solve::solve_f64(q, rg, k));
  const std::vector<double> l = row_scales(f64.rows[p], ls);
  std::vector<double> qb(k * k), rb(k * k);
  for (std::size_t e = 0; e < k * k; ++e) {
    qb[e] = f64.q_mag[p][e] * u1;
    rb[e] = f64.rg_mag[p][e] * u1;
  }
  auto [e, rows] = solve::error_estimate_rows(solved, solved.solution, qb, rb, l, k);
  work.error(p) = e;
  work.row_errors[p] = std::move(rows);
  std::vector<Complex<double>>& t = solved.solution;
  const double top = unscale_block(t, l, k);
  VANTOK_CHECK(require_finite<double>(k, {t}));
  work.t[p] = std::move(t);
  work.tops[p] = top;
  return top;
}

/// Block p of a mode solved before: its T, bounds and largest |T_ij| copied
/// into the mode's work entries; that largest |T_ij|.
double take_block(const ModeWork& solved, std::size_t p, ModeWork& work) {
  work.t[p] = solved.t[p];
  work.error(p) = solved.error(p);
  work.row_errors[p] = solved.row_errors[p];
  work.tops[p] = solved.tops[p];
  return solved.tops[p];
}

/// Every non-empty block of modes 0..=m_max solved in f64, the blocks in
/// parallel (each writes only its own mode's entries), those of mode 0 taken
/// from `kept` when given; the first failure in mode and block order is the
/// result, else the largest |T_ij| of all. The T blocks and each thread's
/// block work fit the budget beside `held` bytes.
Result<double> solve_blocks(const std::vector<ModeMatrices<double>>& f64, std::size_t m_max, double u1,
                            const std::vector<double>& ls, std::size_t held, std::vector<ModeWork>& work,
                            const ModeZeroCarry::Entry* kept) {
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  for (std::size_t mode = 0; mode <= m_max; ++mode) {
    for (std::size_t p = 0; p < 2; ++p) {
      if (!f64[mode].rows[p].empty()) blocks.emplace_back(mode, p);
    }
  }
  const std::size_t elements = block_elements(f64, m_max);
  const std::size_t k = largest_block(f64, blocks);
  const std::size_t scratch = sat_mul(sat_mul<std::size_t>(pool::thread_count() + 1, k * k), F64_BLOCK_BYTES);
  memory::require_bytes(elements, sat_add(held, sat_add(sat_mul(elements, sizeof(Complex<double>)), scratch)),
                        "the f64 T blocks of " + fmt::plain(m_max + 1) + " modes (N = " +
                            fmt::plain(f64.size() - 1) + ")");
  std::vector<Result<double>> tops(blocks.size(), 0.0);
  work::parallel(blocks.size(), [&](std::size_t index) {
    const auto [mode, p] = blocks[index];
    tops[index] = mode == 0 && kept != nullptr ? take_block(kept->work, p, work[0])
                                               : solve_block(f64[mode], p, u1, ls, work[mode]);
  }, pool::Grain::One);
  double t_max = 0.0;
  for (Result<double>& top : tops) {
    if (!top) return std::unexpected(std::move(top).error());
    t_max = run_max(t_max, *top);
  }
  return t_max;
}

/// The refinement of block p of one flagged mode (rows of order >= n_from
/// recomputed in double-double), into the mode's work entries.
Result<void> refine_block(const Refinement& r, const ModeMatrices<double>& f64,
                          const ModeMatrices<DoubleDouble>& dd, std::size_t p, std::size_t n_from,
                          std::size_t p_neg, ModeWork& work) {
  const std::vector<Row>& rows = f64.rows[p];
  const std::size_t k = rows.size();
  const std::vector<double> l = row_scales(rows, r.ls);
  const std::vector<Complex<double>>& q64 = f64.q[p];
  const std::vector<Complex<double>>& rg64 = f64.rg[p];
  const std::vector<double>& q_mag = f64.q_mag[p];
  const std::vector<double>& rg_mag = f64.rg_mag[p];
  const std::vector<CDD>& q_dd = dd.q[p];
  const std::vector<CDD>& rg_dd = dd.rg[p];

  // Rows of order >= n_from were recomputed in double-double; rows of
  // order >= p_neg came without their regular part, which is added back
  // from the f64 pass (it is below 1e-12 of the row there).
  const auto recomputed = std::make_unique<bool[]>(k);
  std::vector<CDD> q2(k * k), rg2(k * k);
  std::vector<double> qb(k * k), rb(k * k);
  for (std::size_t i = 0; i < k; ++i) {
    const bool f = rows[i].second >= n_from;
    const bool g = rows[i].second >= p_neg;
    recomputed[i] = f;
    for (std::size_t j = 0; j < k; ++j) {
      const std::size_t e = i * k + j;
      rg2[e] = g ? widen(rg64[e]) : rg_dd[e];
      q2[e] = g ? q_dd[e] + rg2[e] : q_dd[e];
      qb[e] = f ? (g ? q_mag[e] * r.u2 + rg_mag[e] * r.u1 : q_mag[e] * r.u2) : q_mag[e] * r.u1;
      rb[e] = f && !g ? rg_mag[e] * r.u2 : rg_mag[e] * r.u1;
    }
  }
  VANTOK_CHECK(require_finite<DoubleDouble>(k, {q2, rg2}));
  VANTOK_TRY(refined, solve::refine(q64, rg64, q2, rg2, std::span<const bool>(recomputed.get(), k),
                                    l, k));
  q2 = {};
  rg2 = {};
  const double e_rows = solve::error_estimate_rows(refined.factors, refined.t, qb, rb, l, k).first;
  std::vector<Complex<double>>& t = refined.t;
  const double t_b = unscale_block(t, l, k);
  VANTOK_CHECK(require_finite<double>(k, {t}));
  // The refinement's own last correction, the input errors left, and the
  // rounding of the refined block to f64.
  work.t[p] = std::move(t);
  work.tops[p] = t_b;
  work.error(p) = (refined.correction + e_rows) + 0x1p-50 * t_b;
  work.sweeps[p] = refined.sweeps;
  return {};
}

/// The double-double pass over the flagged modes and the refinement of both
/// blocks of each.
Result<void> refine_flagged(const Refinement& r, const std::vector<ModeMatrices<double>>& f64,
                            const std::vector<std::optional<std::size_t>>& mask,
                            std::vector<ModeWork>& work) {
  const auto axes = kernel::Axes<DoubleDouble>::create(r.spheroid.x, r.spheroid.eps);
  const kernel::Choice choice = kernel::Choice::of<double>(f64, r.n);
  const std::size_t p_neg = kernel::p_negligible_from(f64, r.n);
  // The refinement bounds its blocks with the f64 pass's magnitude sums, so
  // this pass leaves its own out.
  Result<std::vector<ModeMatrices<DoubleDouble>>> dd_result = [&] {
    const PhaseTimer timer(r.profile != nullptr ? &r.profile->refinement_kernel : nullptr);
    return kernel::all_modes_masked(axes, CDD{DoubleDouble(r.spheroid.m.re), DoubleDouble(r.spheroid.m.im)}, r.n,
                                    r.n_theta, mask, &choice, p_neg, r.held, /*magnitudes=*/false);
  }();
  VANTOK_TRY(dd, std::move(dd_result));
  VANTOK_ASSERT(dd.size() == f64.size());
  const std::size_t dd_bytes = kernel::matrices_bytes<DoubleDouble>(dd);
  const memory::Lease dd_held = work::hold(dd_bytes);

  // The flagged blocks are independent: refined in parallel (as many at once
  // as the budget covers), each writing only its own mode's entries; the
  // first failure in mode and block order is the result.
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  for (std::size_t m = 0; m < mask.size(); ++m) {
    if (!mask[m]) continue;
    for (std::size_t p = 0; p < 2; ++p) {
      if (!f64[m].rows[p].empty()) blocks.emplace_back(m, p);
    }
  }
  const std::size_t k = largest_block(f64, blocks);
  std::vector<Result<void>> outcomes(blocks.size());
  work::for_each_leased(blocks.size(), k * k, sat_mul(k * k, REFINE_BLOCK_BYTES), sat_add(r.held, dd_bytes),
                        "the double-double refinement of a block of " + fmt::plain(k) + " rows (N = " +
                            fmt::plain(r.n) + ")",
                        [&](std::size_t index) {
    const auto [m, p] = blocks[index];
    outcomes[index] = refine_block(r, f64[m], dd[m], p, *mask[m], p_neg, work[m]);
  });
  for (Result<void>& o : outcomes) VANTOK_CHECK(std::move(o));
  return {};
}

/// The solve's result from the per-mode work (T blocks, codes, the largest
/// error bound) and the row lists of the f64 matrices, which it frees.
Solved collect(std::vector<ModeWork>&& mode_work, std::vector<ModeMatrices<double>>&& f64, std::size_t n_theta) {
  const std::size_t n = mode_work.size() - 1;
  Solved out;
  std::vector<Blocks<double>> blocks(n + 1);
  out.paths.reserve(n + 1);
  for (std::size_t mode = 0; mode <= n; ++mode) {
    ModeWork& w = mode_work[mode];
    blocks[mode] = std::move(w.t);
    out.paths.push_back(w.sweeps[0] + w.sweeps[1] != 0 ? PrecisionPath::Refined : PrecisionPath::F64);
    out.err = run_max(run_max(out.err, w.errors.first), w.errors.second);
  }
  out.modes.modes = kernel::collect_modes(std::move(blocks), std::move(f64));
  out.modes.n_terms = n;
  out.n_theta = n_theta;
  return out;
}

/// Mode 0's f64 pass at (N, n_theta), copied for the carry: the matrices and
/// the T blocks with their bounds, holding their bytes of the work budget.
std::shared_ptr<const ModeZeroCarry::Entry> mode_zero_entry(std::size_t n, std::size_t n_theta,
                                                            const ModeMatrices<double>& matrices,
                                                            const ModeWork& work) {
  auto entry = std::make_shared<ModeZeroCarry::Entry>();
  entry->n_terms = n;
  entry->n_theta = n_theta;
  entry->matrices = matrices;
  entry->work = work;
  std::size_t bytes = kernel::matrices_bytes<double>(std::span<const ModeMatrices<double>>(&matrices, 1));
  for (const auto& block : work.t) bytes = sat_add(bytes, block.size() * sizeof(Complex<double>));
  entry->held = work::hold(bytes);
  return entry;
}

}  // namespace

void ModeZeroCarry::offer(std::shared_ptr<const Entry> entry) {
  const std::lock_guard<std::mutex> lock(mutex_);
  newest_[1] = std::move(newest_[0]);
  newest_[0] = std::move(entry);
}

std::shared_ptr<const ModeZeroCarry::Entry> ModeZeroCarry::find(std::size_t n_terms, std::size_t n_theta) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : newest_) {
    if (entry && entry->n_terms == n_terms && entry->n_theta == n_theta) return entry;
  }
  return nullptr;
}

Result<Solved> OneSolve::operator()(const Truncation& truncation, ModeZeroCarry* carry) const {
  if (precision == Precision::DoubleDouble) return solve_double_double(spheroid, truncation, profile);
  const auto& [x, eps, m] = spheroid;
  const auto& [n_terms, n_theta, m_max] = truncation;
  const std::size_t n = n_terms;
  VANTOK_ASSERT(n < std::numeric_limits<std::size_t>::max() && m_max <= n);

  // The convergence stages solve mode 0 alone, against a looser tolerance.
  const double tol = m_max == 0 ? rtol * 5.0 : rtol;
  const double tau = precision == Precision::F64 ? std::numeric_limits<double>::infinity() : tol / 10.0;
  const double u1 = (2.0 * static_cast<double>(n)) * 0x1p-53;
  const double u2 = u1 * 0x1p-53;
  const SemiAxes axes = semi_axes(x, eps);
  const std::vector<double> ls = log_scales(
      functions::Scales<double>(n, axes.r_min, Complex<double>{m.re * axes.r_max, m.im * axes.r_max})
          .outgoing);

  // Mode 0 from a solve of it alone at this truncation, when one was kept.
  const std::shared_ptr<const ModeZeroCarry::Entry> kept =
      carry != nullptr && m_max > 0 ? carry->find(n, n_theta) : nullptr;
  std::vector<std::optional<std::size_t>> first_pass(n + 1);
  for (std::size_t mode = kept ? 1 : 0; mode <= m_max; ++mode) first_pass[mode] = 0;
  Result<std::vector<ModeMatrices<double>>> kernel_result = [&] {
    const PhaseTimer timer(profile != nullptr ? &profile->kernel : nullptr);
    return kernel::all_modes_masked(kernel::Axes<double>::create(x, eps), n, n_theta,
                                    first_pass, m.re, m.im);
  }();
  if (!kernel_result) return std::unexpected(std::move(kernel_result).error());
  std::vector<ModeMatrices<double>>& f64 = *kernel_result;
  VANTOK_ASSERT(f64.size() == n + 1);
  if (kept) f64[0] = kept->matrices;
  // The f64 matrices stay alive (and held) until their blocks are collected.
  const std::size_t f64_bytes = kernel::matrices_bytes<double>(f64);
  memory::Lease f64_held = work::hold(f64_bytes);

  // Every block in f64, with its bound and per-row bounds.
  std::vector<ModeWork> mode_work(n + 1);
  double t_max = 0.0;
  {
    const PhaseTimer timer(profile != nullptr ? &profile->lu : nullptr);
    VANTOK_TRY(top, solve_blocks(f64, m_max, u1, ls, f64_bytes, mode_work, kept.get()));
    t_max = top;
  }
  if (carry != nullptr && m_max == 0) carry->offer(mode_zero_entry(n, n_theta, f64[0], mode_work[0]));
  const std::size_t t_bytes = sat_mul(block_elements(f64, m_max), sizeof(Complex<double>));
  const memory::Lease t_held = work::hold(t_bytes);

  // Which modes to refine, and from which order on.
  std::vector<std::pair<double, double>> block_errors(n + 1);
  std::vector<std::array<std::vector<double>, 2>> row_errors(n + 1);
  for (std::size_t mode = 0; mode <= n; ++mode) {
    block_errors[mode] = mode_work[mode].errors;
    row_errors[mode] = std::move(mode_work[mode].row_errors);
  }
  const std::vector<std::optional<std::size_t>> mask = kernel::refinement_masks(
      {block_errors, row_errors, f64, m_max, tau, t_max, n});
  row_errors = {};
  bool any = false;
  for (const auto& entry : mask) any = any || entry.has_value();
  if (any) {
    const PhaseTimer timer(profile != nullptr ? &profile->refinement : nullptr);
    VANTOK_CHECK(refine_flagged({spheroid, n, n_theta, u1, u2, ls, sat_add(f64_bytes, t_bytes), profile}, f64,
                                mask, mode_work));
  }

  // The largest |T_ij| of the result: that of its blocks, each kept with
  // its T block.
  double top = 0.0;
  for (const ModeWork& w : mode_work) top = run_max(run_max(top, w.tops[0]), w.tops[1]);
  Solved out = collect(std::move(mode_work), std::move(f64), n_theta);
  f64_held = memory::Lease();
  work::release_freed(f64_bytes);

  // Under "auto" a bound that still misses the tolerance hands the solve to
  // double-double throughout (a NaN comparison keeps the result).
  if (precision == Precision::Auto && out.err > (tol / 10.0) * top) {
    return solve_double_double(spheroid, truncation, profile);
  }
  return out;
}

}  // namespace vantok::tmatrix::driver
