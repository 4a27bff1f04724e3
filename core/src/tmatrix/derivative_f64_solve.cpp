// The derivative T-matrix solve at fixed truncation along the f64 path.
//
// Differentiating T Q = -Rg gives dT Q = -(dRg + T dQ): the four derivative
// blocks of a parity block are four more sets of right-hand sides on the LU
// factors of the value solve. Where the f64 error bound of a mode is too
// large, its rows from the first order that needs it are recomputed in dual
// double-double; the values are refined by `refine`, and each derivative block
// by the same mixed-precision scheme: a right-hand side formed once in
// double-double, an f64 first solution on the factors of the mixed matrix,
// then at most three sweeps of double-double residual corrections.
//
// The kernels work in a log-scaled basis (row order n scaled by exp(-L_n),
// L_n = sum_{l <= n} ln|h_l(rmin)/h_{l-1}(rmin)|); the result is unscaled by
// exp(L_{n_i} - L_{n_j}) in dual arithmetic, which adds the derivatives of the
// scaling itself.

#include "tmatrix/detail_derivative_f64_solve.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "tmatrix/detail_error_estimate.hpp"
#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_refine.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::derivative {

using kernel::all_modes_masked;
using kernel::Choice;
using kernel::matrices_bytes;
using kernel::Axes;

namespace {

using CD = Complex<double>;
using CDD = Complex<DoubleDouble>;

/// The derivative sweeps stop once their largest correction is at most
/// 2^-60 max |X0|, or after the third.
constexpr double SWEEP_THRESHOLD = 0x1p-60;
constexpr std::size_t MAX_DERIVATIVE_SWEEPS = 3;

/// A solved parity block: T and its four partial blocks in the scaled basis,
/// and the f64 factors of Q.
struct BlockRecord {
  std::array<std::vector<CD>, 5> t;
  solve::F64Solve factors;
};

/// One block solve of a pass, written by its own pool index.
struct BlockSlot {
  BlockSlot(std::size_t mode, std::size_t block) : m(mode), p(block) {}
  std::size_t m = 0;
  std::size_t p = 0;
  std::optional<Error> error;
  BlockRecord record;
  double block_error = 0.0;
  std::vector<double> row_errors;
  double t_max = 0.0;
  std::size_t sweeps = 0;
};

/// The value parts of a block of complex duals.
template <class R>
std::vector<Complex<R>> value_matrix(std::span<const Complex<scalar::Dual<R, 4>>> block) {
  std::vector<Complex<R>> out;
  out.reserve(block.size());
  for (const auto& z : block) out.push_back({z.re.value, z.im.value});
  return out;
}

/// value(mag[e]) u_e with u_e = u_flagged on the rows flagged, u elsewhere.
std::vector<double> magnitude_bounds(const std::vector<DualF64>& mag, std::size_t k, double u,
                                     std::span<const std::uint8_t> flags, double u_flagged) {
  std::vector<double> out(mag.size());
  for (std::size_t e = 0; e < mag.size(); ++e) {
    const bool flagged = !flags.empty() && flags[e / k] != 0;
    out[e] = mag[e].value * (flagged ? u_flagged : u);
  }
  return out;
}

/// max |T_ij| exp(s_i - s_j) over the block, NaN ignored, 0 when empty.
double largest_unscaled(const std::vector<CD>& t, const std::vector<double>& s, std::size_t k) {
  double out = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      out = std::fmax(out, complex::abs(t[i * k + j]) * std::exp(s[i] - s[j]));
    }
  }
  return out;
}

/// Row c of dT: the solution of dT_c Q = v, v_j = -(dRg_cj + sum_l T_cl dQ_lj),
/// the products added onto dRg_cj in increasing l; every row on the factors
/// of Q.
std::vector<CD> derivative_block(const solve::F64Solve& f, const std::vector<CD>& t,
                                 const std::vector<CD>& dq, const std::vector<CD>& drg,
                                 std::size_t k) {
  std::vector<CD> out(k * k);
  for (std::size_t c = 0; c < k; ++c) {
    stop::check();
    const std::span<CD> v(out.data() + c * k, k);
    for (std::size_t j = 0; j < k; ++j) v[j] = drg[c * k + j];
    for (std::size_t l = 0; l < k; ++l) {
      const CD tcl = t[c * k + l];
      const CD* row = dq.data() + l * k;
      for (std::size_t j = 0; j < k; ++j) v[j] = v[j] + tcl * row[j];
    }
    for (std::size_t j = 0; j < k; ++j) v[j] = -v[j];
    solve::lu_solve(f.lu, f.perm, k, v);
  }
  return out;
}

CD leading(const CDD& z) { return {z.re.hi, z.im.hi}; }
CDD widen(const CD& z) { return {DoubleDouble(z.re), DoubleDouble(z.im)}; }

/// The refined derivative block of one partial: B = -dRg_mix - T_dd dQ_mix in
/// double-double (formed once), X0 from the f64 factors of the mixed matrix,
/// then sweeps X += solve(B - X Q_mix) until the largest correction is at most
/// 2^-60 max |X0| or three sweeps are done. Returns the leading parts of X.
std::vector<CD> refined_derivative_block(const solve::Refined& r, const std::vector<CDD>& dq,
                                         const std::vector<CDD>& drg, std::size_t k) {
  const solve::F64Solve& f = r.factors;
  std::vector<CDD> b(k * k);
  for (std::size_t c = 0; c < k; ++c) {
    stop::check();
    CDD* row_b = b.data() + c * k;
    for (std::size_t j = 0; j < k; ++j) row_b[j] = -drg[c * k + j];
    for (std::size_t l = 0; l < k; ++l) {
      const CDD& tcl = r.t_dd[c * k + l];
      const CDD* row = dq.data() + l * k;
      for (std::size_t j = 0; j < k; ++j) row_b[j] = row_b[j] - tcl * row[j];
    }
  }

  std::vector<CDD> x(k * k);
  std::vector<CD> v(k);
  double x_max = 0.0;
  for (std::size_t c = 0; c < k; ++c) {
    for (std::size_t j = 0; j < k; ++j) v[j] = leading(b[c * k + j]);
    solve::lu_solve(f.lu, f.perm, k, v);
    for (std::size_t j = 0; j < k; ++j) {
      x[c * k + j] = widen(v[j]);
      x_max = std::fmax(x_max, complex::abs(v[j]));
    }
  }
  const double threshold = SWEEP_THRESHOLD * x_max;

  std::vector<CDD> acc(k);
  for (std::size_t sweep = 0; sweep < MAX_DERIVATIVE_SWEEPS; ++sweep) {
    double largest = 0.0;
    for (std::size_t c = 0; c < k; ++c) {
      stop::check();
      // r_j = B_cj - sum_l X_cl Q_mix_lj, l ascending for every j.
      for (std::size_t j = 0; j < k; ++j) acc[j] = b[c * k + j];
      for (std::size_t l = 0; l < k; ++l) {
        const CDD& xcl = x[c * k + l];
        const CDD* row = r.a_dd.data() + l * k;
        for (std::size_t j = 0; j < k; ++j) acc[j] = acc[j] - xcl * row[j];
      }
      for (std::size_t j = 0; j < k; ++j) v[j] = leading(acc[j]);
      solve::lu_solve(f.lu, f.perm, k, v);
      for (std::size_t j = 0; j < k; ++j) {
        largest = std::fmax(largest, complex::abs(v[j]));
        CDD& xcj = x[c * k + j];
        xcj.re = xcj.re + v[j].re;
        xcj.im = xcj.im + v[j].im;
      }
    }
    if (threshold >= largest) break;
  }
  std::vector<CD> out(k * k);
  for (std::size_t e = 0; e < k * k; ++e) out[e] = leading(x[e]);
  return out;
}

}  // namespace

template <class R>
std::vector<Complex<R>> partial_matrix(std::span<const Complex<scalar::Dual<R, 4>>> block,
                                       std::size_t k) {
  VANTOK_ASSERT(k < 4);
  std::vector<Complex<R>> out;
  out.reserve(block.size());
  for (const auto& z : block) out.push_back({z.re.partials[k], z.im.partials[k]});
  return out;
}

template std::vector<Complex<double>> partial_matrix<double>(std::span<const Complex<DualF64>>,
                                                             std::size_t);
template std::vector<Complex<DoubleDouble>> partial_matrix<DoubleDouble>(
    std::span<const Complex<DualDD>>, std::size_t);

std::vector<Complex<DoubleDouble>> merge_refined_rows(std::size_t n,
                                                      std::span<const std::uint8_t> flags,
                                                      std::vector<Complex<DoubleDouble>>&& refined,
                                                      std::vector<Complex<double>>&& plain) {
  const std::size_t n2 = n * n;
  VANTOK_ASSERT(flags.size() >= n && refined.size() >= n2 && plain.size() >= n2);
  std::vector<Complex<DoubleDouble>> out(n2);
  for (std::size_t idx = 0; idx < n2; ++idx) {
    out[idx] = flags[idx / n] != 0 ? refined[idx] : widen(plain[idx]);
  }
  refined = {};
  plain = {};
  return out;
}

std::optional<std::size_t> derivative_refinement_mask(
    std::size_t m, std::span<const std::array<double, 2>> block_errors, double tol, double t_max,
    std::size_t nmax, std::span<const ModeMatrices<DualF64>> modes,
    std::span<const std::array<std::vector<double>, 2>> row_errors) {
  VANTOK_ASSERT(m < block_errors.size());
  const auto [e0, e1] = block_errors[m];
  const double thr = tol * t_max;
  if (!(std::fmax(e0, e1) > thr)) return std::nullopt;
  VANTOK_ASSERT(m < modes.size() && m < row_errors.size());
  return kernel::refinement_entry(m, e0, e1, thr, modes[m].rows, row_errors[m], nmax);
}

namespace {

/// L_n = sum_{l <= n} ln o_l over the outgoing scales of the dual spheroid,
/// as duals and as their values, n = 0..N+1.
struct LogScales {
  std::vector<DualF64> duals;
  std::vector<double> values;

  LogScales(std::size_t big_n, const DualF64& rmin, const DualF64& rmax, const Complex<DualF64>& m_d) {
    const functions::Scales<DualF64> scales(big_n, rmin, complex::scale(m_d, rmax));
    duals.reserve(big_n + 2);
    values.reserve(big_n + 2);
    for (std::size_t n = 0; n < big_n + 2; ++n) {
      const DualF64 l = scalar::dual::ln(scales.outgoing[n]);
      duals.push_back(n == 0 ? l : duals.back() + l);
      values.push_back(duals.back().value);
    }
  }

  /// L[n_i] of a block's rows.
  std::vector<double> of(const std::vector<Row>& rows) const {
    std::vector<double> s;
    s.reserve(rows.size());
    for (const Row& row : rows) s.push_back(values[row.second]);
    return s;
  }
};

/// One block of the first pass: the f64 solve, its error estimate and the
/// four derivative blocks on its factors, into the block's slot.
void first_pass_block(const ModeMatrices<DualF64>& mm, double u, const LogScales& ls, BlockSlot& slot) {
  const std::size_t p = slot.p;
  const std::size_t k = mm.rows[p].size();
  auto solved = solve::solve_f64(value_matrix<double>(mm.q[p]), value_matrix<double>(mm.rg[p]), k);
  if (!solved) {
    slot.error = std::move(solved).error();
    return;
  }
  const std::vector<double> s = ls.of(mm.rows[p]);
  const std::vector<double> bq = magnitude_bounds(mm.q_mag[p], k, u, {}, u);
  const std::vector<double> br = magnitude_bounds(mm.rg_mag[p], k, u, {}, u);
  auto [e_block, rows] = solve::error_estimate_rows(*solved, solved->solution, bq, br, s, k);
  slot.block_error = e_block;
  slot.row_errors = std::move(rows);
  slot.t_max = largest_unscaled(solved->solution, s, k);
  BlockRecord& rec = slot.record;
  for (std::size_t d = 0; d < 4; ++d) {
    rec.t[1 + d] = derivative_block(*solved, solved->solution, partial_matrix<double>(mm.q[p], d),
                                    partial_matrix<double>(mm.rg[p], d), k);
  }
  rec.t[0] = std::move(solved->solution);
  rec.factors = std::move(*solved);
}

/// One flagged block refined from its rows of order n_from on: refined
/// values, derivatives and error bound into the block's record and slot.
void refined_block(const ModeMatrices<DualF64>& mm, const ModeMatrices<DualDD>& dd, std::size_t n_from, double u,
                   double u_dd, const LogScales& ls, BlockRecord& rec, BlockSlot& slot) {
  const std::size_t p = slot.p;
  const std::size_t k = mm.rows[p].size();
  std::vector<std::uint8_t> flags(k);
  const auto row_flags = std::make_unique<bool[]>(k);
  for (std::size_t r = 0; r < k; ++r) {
    row_flags[r] = n_from <= mm.rows[p][r].second;
    flags[r] = row_flags[r] ? 1 : 0;
  }
  const std::vector<double> s = ls.of(mm.rows[p]);
  auto r = solve::refine(value_matrix<double>(mm.q[p]), value_matrix<double>(mm.rg[p]),
                         value_matrix<DoubleDouble>(dd.q[p]), value_matrix<DoubleDouble>(dd.rg[p]),
                         std::span<const bool>(row_flags.get(), k), s, k);
  if (!r) {
    slot.error = std::move(r).error();
    return;
  }
  for (std::size_t d = 0; d < 4; ++d) {
    const std::vector<CDD> dq = merge_refined_rows(k, flags, partial_matrix<DoubleDouble>(dd.q[p], d),
                                                   partial_matrix<double>(mm.q[p], d));
    const std::vector<CDD> drg = merge_refined_rows(k, flags, partial_matrix<DoubleDouble>(dd.rg[p], d),
                                                    partial_matrix<double>(mm.rg[p], d));
    rec.t[1 + d] = refined_derivative_block(*r, dq, drg, k);
  }
  const std::vector<double> bq = magnitude_bounds(mm.q_mag[p], k, u, flags, u_dd);
  const std::vector<double> br = magnitude_bounds(mm.rg_mag[p], k, u, flags, u_dd);
  const double e_block = solve::error_estimate_rows(r->factors, r->t, bq, br, s, k).first;
  const double t_b = largest_unscaled(r->t, s, k);
  slot.block_error = (e_block + r->correction) + t_b * 4.0 * 0x1p-52;
  slot.sweeps = r->sweeps;
  rec.t[0] = std::move(r->t);
}

/// The physical T blocks of one mode: the dual of (T, dT) times the dual
/// factor exp(L_{n_i} - L_{n_j}).
SolvedMode<DualF64> physical_mode(const std::array<std::optional<BlockRecord>, 2>& records, RowLists&& rows,
                                  const LogScales& ls) {
  SolvedMode<DualF64> solved;
  for (std::size_t p = 0; p < 2; ++p) {
    if (!records[p]) continue;
    const BlockRecord& rec = *records[p];
    const std::size_t k = rows[p].size();
    std::vector<Complex<DualF64>>& t = solved.t[p];
    t.reserve(k * k);
    for (std::size_t i = 0; i < k; ++i) {
      for (std::size_t j = 0; j < k; ++j) {
        const std::size_t e = i * k + j;
        Complex<DualF64> z{DualF64::constant(rec.t[0][e].re), DualF64::constant(rec.t[0][e].im)};
        for (std::size_t d = 0; d < 4; ++d) {
          z.re.partials[d] = rec.t[1 + d][e].re;
          z.im.partials[d] = rec.t[1 + d][e].im;
        }
        const DualF64 factor = exp(ls.duals[rows[p][i].second] - ls.duals[rows[p][j].second]);
        t.push_back({z.re * factor, z.im * factor});
      }
    }
  }
  solved.rows = std::move(rows);
  return solved;
}

/// The per-block state of one derivative solve between its passes.
struct DerivativePass {
  std::vector<ModeMatrices<DualF64>> modes;
  std::vector<std::array<std::vector<double>, 2>> row_errors;
  std::vector<std::array<std::optional<BlockRecord>, 2>> records;
  double t_max = 0.0;
};

/// Work bytes per element of a k x k block: kept by the first pass (T, its
/// four partial blocks and the LU); passing through a first-pass solve (the
/// value and partial matrices, the bounds, the solution); and of a refined
/// block (the value matrices in f64 and double-double, the refinement's
/// arrays, the merged partial matrices and their sweeps).
constexpr std::size_t RECORD_BYTES = 6 * sizeof(CD);
constexpr std::size_t FIRST_PASS_BYTES = 7 * sizeof(CD) + 2 * sizeof(double);
constexpr std::size_t REFINED_BYTES = 6 * sizeof(CD) + 10 * sizeof(CDD);

/// The largest row count k of the slots' blocks and the elements of all.
std::pair<std::size_t, std::size_t> block_sizes(const DerivativePass& pass, const std::vector<BlockSlot>& slots) {
  std::size_t k = 0;
  std::size_t elements = 0;
  for (const BlockSlot& slot : slots) {
    const std::size_t rows = pass.modes[slot.m].rows[slot.p].size();
    k = std::max(k, rows);
    elements = sat_add(elements, rows * rows);
  }
  return {k, elements};
}

/// Step 4: every block of modes 0..m_top solved in parallel, the slots merged
/// in (mode, block) order, the first error winning. The records kept and each
/// thread's block work must fit the budget beside the `held` bytes.
Result<void> first_pass(DerivativePass& pass, std::size_t m_top, double u, const LogScales& ls, std::size_t held,
                        TMatrixDerivatives& out) {
  std::vector<BlockSlot> slots;
  for (std::size_t m = 0; m <= m_top; ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      if (!pass.modes[m].rows[p].empty()) slots.emplace_back(m, p);
    }
  }
  const auto [k, elements] = block_sizes(pass, slots);
  memory::require_bytes(elements,
                        sat_add(held, sat_add(sat_mul(elements, RECORD_BYTES),
                                              sat_mul(sat_mul<std::size_t>(pool::thread_count() + 1, k * k),
                                                      FIRST_PASS_BYTES))),
                        "the derivative blocks of " + fmt::plain(m_top + 1) + " modes (N = " +
                            fmt::plain(pass.modes.size() - 1) + ")");
  work::parallel(slots.size(), [&](std::size_t i) { first_pass_block(pass.modes[slots[i].m], u, ls, slots[i]); },
                 pool::Grain::One);
  for (BlockSlot& slot : slots) {
    if (slot.error) return std::unexpected(std::move(*slot.error));
    out.block_errors[slot.m][slot.p] = slot.block_error;
    pass.row_errors[slot.m][slot.p] = std::move(slot.row_errors);
    pass.t_max = std::fmax(pass.t_max, slot.t_max);
    pass.records[slot.m][slot.p] = std::move(slot.record);
  }
  return {};
}

/// Steps 7-8: the flagged modes from their n_from in dual double-double, with
/// the first pass's variant choices, and every flagged block refined.
Result<void> refine_pass(DerivativePass& pass, const std::vector<std::optional<std::size_t>>& mask, std::size_t n_theta,
                         const Spheroid& spheroid, double u, const LogScales& ls, std::size_t held,
                         TMatrixDerivatives& out) {
  const std::size_t big_n = pass.modes.size() - 1;
  const double u_dd = (u * 0x1p-52) * 0.5;
  const auto seed = [](double v, std::size_t slot) { return DualDD::variable(DoubleDouble(v), slot); };
  const Axes<DualDD> spheroid_dd = Axes<DualDD>::create(seed(spheroid.x, 0), seed(spheroid.eps, 1));
  const Complex<DualDD> m_dd{seed(spheroid.m.re, 2), seed(spheroid.m.im, 3)};
  const Choice choice = Choice::of<DualF64>(pass.modes, big_n);
  // The blocks are bounded with the first pass's magnitude sums: none formed here.
  VANTOK_TRY(refined, all_modes_masked(spheroid_dd, m_dd, big_n, n_theta, mask, &choice, held, /*magnitudes=*/false));
  const std::size_t refined_bytes = matrices_bytes<DualDD>(refined);
  const memory::Lease refined_held = work::hold(refined_bytes);

  std::vector<BlockSlot> slots;
  for (std::size_t m = 0; m <= big_n; ++m) {
    if (!mask[m]) continue;
    for (std::size_t p = 0; p < 2; ++p) {
      if (pass.records[m][p]) slots.emplace_back(m, p);
    }
  }
  const std::size_t k = block_sizes(pass, slots).first;
  work::for_each_leased(slots.size(), k * k, sat_mul(k * k, REFINED_BYTES), sat_add(held, refined_bytes),
                        "the dual double-double refinement of a block of " + fmt::plain(k) + " rows (N = " +
                            fmt::plain(big_n) + ")",
                        [&](std::size_t i) {
    BlockSlot& slot = slots[i];
    refined_block(pass.modes[slot.m], refined[slot.m], *mask[slot.m], u, u_dd, ls, *pass.records[slot.m][slot.p],
                  slot);
  });
  for (BlockSlot& slot : slots) {
    if (slot.error) return std::unexpected(std::move(*slot.error));
    out.block_errors[slot.m][slot.p] = slot.block_error;
    out.refine_sweeps[slot.m][slot.p] = slot.sweeps;
  }
  return {};
}

}  // namespace

Result<TMatrixDerivatives> tmatrix_derivatives(const Spheroid& spheroid, const Truncation& truncation, double tol) {
  const std::size_t big_n = truncation.n_terms;
  const std::size_t n_theta = truncation.n_theta;
  VANTOK_ASSERT(big_n < std::numeric_limits<std::size_t>::max() - 2);
  const std::size_t m_top = std::min(truncation.m_max, big_n);
  // u = 2N 2^-53 turns a magnitude sum into the bound of its f64 rounding
  // error; u 2^-53 is the same for an element summed in double-double.
  const double u = (2.0 * static_cast<double>(big_n)) * 0x1p-53;

  // 1. Seeds: x, eps, Re m, Im m carry the unit partials 0 to 3.
  const DualF64 x_d = DualF64::variable(spheroid.x, 0);
  const DualF64 eps_d = DualF64::variable(spheroid.eps, 1);
  const Complex<DualF64> m_d{DualF64::variable(spheroid.m.re, 2), DualF64::variable(spheroid.m.im, 3)};
  const Axes<DualF64> axes = Axes<DualF64>::create(x_d, eps_d);
  const auto [rmin, rmax] = axes.min_max();

  // 2. Log scales.
  const LogScales ls(big_n, rmin, rmax, m_d);

  // 3. First pass over modes 0..m_max.
  std::vector<std::optional<std::size_t>> first_mask(big_n + 1);
  for (std::size_t m = 0; m <= m_top; ++m) first_mask[m] = 0;
  DerivativePass pass;
  VANTOK_TRY(modes, all_modes_masked(axes, m_d, big_n, n_theta, first_mask));
  pass.modes = std::move(modes);
  pass.row_errors.resize(big_n + 1);
  pass.records.resize(big_n + 1);
  // The first pass's matrices and block records stay alive to the end.
  const std::size_t modes_bytes = matrices_bytes<DualF64>(pass.modes);
  const memory::Lease modes_held = work::hold(modes_bytes);

  TMatrixDerivatives out;
  out.block_errors.assign(big_n + 1, {0.0, 0.0});
  out.refine_sweeps.assign(big_n + 1, {0, 0});
  VANTOK_CHECK(first_pass(pass, m_top, u, ls, modes_bytes, out));
  std::size_t records_bytes = 0;
  for (const auto& records : pass.records) {
    for (const auto& record : records) {
      if (record) records_bytes = sat_add(records_bytes, record->t[0].size() * RECORD_BYTES);
    }
  }
  const memory::Lease records_held = work::hold(records_bytes);

  // 5.-6. The refinement mask over every mode; nothing to refine ends here.
  std::vector<std::optional<std::size_t>> mask(big_n + 1);
  bool any = false;
  for (std::size_t m = 0; m <= big_n; ++m) {
    mask[m] = derivative_refinement_mask(m, out.block_errors, tol, pass.t_max, big_n, pass.modes, pass.row_errors);
    any = any || mask[m].has_value();
  }
  if (any) {
    VANTOK_CHECK(refine_pass(pass, mask, n_theta, spheroid, u, ls, sat_add(modes_bytes, records_bytes), out));
  }

  // 9. Physical T blocks of modes 0..m_max.
  out.modes.n_terms = big_n;
  out.modes.modes.reserve(m_top + 1);
  for (std::size_t m = 0; m <= m_top; ++m) {
    out.modes.modes.push_back(physical_mode(pass.records[m], std::move(pass.modes[m].rows), ls));
  }
  pass = DerivativePass{};
  work::release_freed(sat_add(modes_bytes, records_bytes));
  return out;
}

}  // namespace vantok::tmatrix::derivative
