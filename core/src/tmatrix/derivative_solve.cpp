// The derivative solve at a converged truncation: the T blocks of modes
// 0..m_max with their partials with respect to x, the aspect ratio, Re m and
// Im m. "f64" and "auto" run the derivative kernel (f64 duals, "auto" refining
// flagged modes in dual double-double); "double-double", and "auto" when the
// kernel's error bound still misses rtol / 10 of the largest |T_ij|, run the
// whole solve over Dual<DoubleDouble, 4> and round once at the end.

#include "tmatrix/detail_derivative_solve.hpp"

#include <cmath>
#include <limits>

#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_scaled_solve.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::driver {

namespace {

using CDual = Complex<DualDD>;
using scalar::DualF64;

/// The leading parts of the value and of every partial.
DualF64 leading(const DualDD& v) {
  DualF64 out = DualF64::constant(v.value.hi);
  for (std::size_t p = 0; p < 4; ++p) out.partials[p] = v.partials[p].hi;
  return out;
}

/// d/dp of the log scales L[k] = ln o_0 + ... + ln o_k: the running sums of
/// (d o_l / dp) / o_l in double-double, one array of partials per order.
std::vector<std::array<DoubleDouble, 4>> log_scale_partials(std::span<const DualDD> outgoing) {
  std::vector<std::array<DoubleDouble, 4>> out;
  out.reserve(outgoing.size());
  std::array<DoubleDouble, 4> acc{};
  for (const DualDD& o : outgoing) {
    for (std::size_t p = 0; p < 4; ++p) acc[p] = acc[p] + DoubleDouble::div_dd(o.partials[p], o.value);
    out.push_back(acc);
  }
  return out;
}

/// The physical T = T_s exp(L_i - L_j) depends on the parameters through the
/// scale factors too: after the f64 factor has been applied, every partial
/// gains T (dL_i - dL_j). A direction whose factor derivative is exactly zero
/// adds nothing (never 0 inf).
void add_scale_partials(std::vector<CDual>& t, std::span<const Row> rows,
                        const std::vector<std::array<DoubleDouble, 4>>& dl) {
  const std::size_t k = rows.size();
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      CDual& z = t[i * k + j];
      for (std::size_t p = 0; p < 4; ++p) {
        const DoubleDouble d = dl[rows[i].second][p] - dl[rows[j].second][p];
        if (d.hi == 0.0 && d.lo == 0.0) continue;
        z.re.partials[p] = z.re.partials[p] + z.re.value * d;
        z.im.partials[p] = z.im.partials[p] + z.im.value * d;
      }
    }
  }
}

/// The whole derivative solve over Dual<DoubleDouble, 4> at the truncation:
/// modes 0..=m_max (m_max <= N), each a k x k block per parity rounded to
/// Dual<double, 4>; m_max + 1 codes "double-double"; err = 4 2^-52 max |T_ij|.
Result<DerivativeSolved> solve_double_double_derivatives(const Spheroid& spheroid, const Truncation& truncation) {
  const std::size_t n = truncation.n_terms;
  const std::size_t n_theta = truncation.n_theta;
  VANTOK_ASSERT(n < std::numeric_limits<std::size_t>::max() - 2);
  const std::size_t m_top = std::min(truncation.m_max, n);
  const auto seed = [](double v, std::size_t slot) { return DualDD::variable(DoubleDouble(v), slot); };

  const auto axes = kernel::Axes<DualDD>::create(seed(spheroid.x, 0), seed(spheroid.eps, 1));
  const auto [r_min, r_max] = axes.min_max();
  const CDual m{seed(spheroid.m.re, 2), seed(spheroid.m.im, 3)};
  std::vector<double> l;
  std::vector<std::array<DoubleDouble, 4>> dl;
  {
    const functions::Scales<DualDD> scales(n, r_min, CDual{m.re * r_max, m.im * r_max});
    std::vector<DoubleDouble> values;
    values.reserve(scales.outgoing.size());
    for (const DualDD& o : scales.outgoing) values.push_back(o.value);
    l = log_scales(std::span<const DoubleDouble>(values));
    dl = log_scale_partials(scales.outgoing);
  }

  std::vector<std::optional<std::size_t>> mask(n + 1);
  for (std::size_t mode = 0; mode <= m_top; ++mode) mask[mode] = 0;
  VANTOK_TRY(matrices, kernel::all_modes_masked(axes, m, n, n_theta, mask, nullptr));
  VANTOK_ASSERT(matrices.size() == n + 1);
  // The LU and solution over dual double-double and the dual f64 block.
  const std::size_t matrices_bytes = kernel::matrices_bytes<DualDD>(matrices);
  const memory::Lease held = work::hold(matrices_bytes);

  DerivativeSolved out;
  out.modes.n_terms = n;
  out.modes.modes.resize(m_top + 1);
  // The blocks in parallel, each with its scale partials, rounded into its
  // own mode's slot.
  const BlockDone<DualDD> round = [&](std::size_t mode, std::size_t p, std::vector<CDual>& t) -> Result<void> {
    const std::vector<Row>& rows = matrices[mode].rows[p];
    add_scale_partials(t, rows, dl);
    VANTOK_CHECK(require_finite<DualDD>(rows.size(), {t}));
    std::vector<Complex<DualF64>>& block = out.modes.modes[mode].t[p];
    block.reserve(t.size());
    for (const CDual& z : t) block.push_back({leading(z.re), leading(z.im)});
    return {};
  };
  VANTOK_CHECK(solve_blocks<DualDD>(matrices, m_top, l, 2 * sizeof(CDual), sizeof(Complex<DualF64>),
                                    "the dual double-double LU", round));
  // The largest |T_ij| in mode, block and element order.
  double top = 0.0;
  for (std::size_t mode = 0; mode <= m_top; ++mode) {
    SolvedMode<DualF64>& solved = out.modes.modes[mode];
    for (const auto& block : solved.t) {
      for (const Complex<DualF64>& z : block) top = run_max_modulus(top, z.re.value, z.im.value);
    }
    solved.rows = std::move(matrices[mode].rows);
    matrices[mode] = kernel::ModeMatrices<DualDD>{};
  }
  matrices.clear();
  work::release_freed(matrices_bytes);
  out.paths.assign(m_top + 1, PrecisionPath::DoubleDouble);
  // Each element is rounded once to f64 from a double-double result.
  out.err = top * 4.0 * 0x1p-52;
  return out;
}

}  // namespace

Result<DerivativeSolved> solve_derivatives(const Spheroid& spheroid, const Truncation& truncation,
                                           Precision precision, double rtol) {
  return solve_derivatives(derivative::tmatrix_derivatives, spheroid, truncation, precision, rtol);
}

Result<DerivativeSolved> solve_derivatives(const DerivativeKernelFn& derivative_kernel, const Spheroid& spheroid,
                                           const Truncation& truncation, Precision precision, double rtol) {
  if (precision == Precision::DoubleDouble) return solve_double_double_derivatives(spheroid, truncation);
  const double tol = precision == Precision::F64 ? std::numeric_limits<double>::infinity() : rtol / 10.0;
  DerivativeSolved out;
  {
    VANTOK_TRY(d, derivative_kernel(spheroid, truncation, tol));
    // A mode is "refined" when either of its blocks took refinement sweeps.
    const std::size_t codes = std::min(d.modes.modes.size(), d.refine_sweeps.size());
    out.paths.reserve(codes);
    for (std::size_t mode = 0; mode < codes; ++mode) {
      const auto [s0, s1] = d.refine_sweeps[mode];
      out.paths.push_back(s0 + s1 != 0 ? PrecisionPath::Refined : PrecisionPath::F64);
    }
    for (const auto& [e0, e1] : d.block_errors) out.err = run_max(run_max(out.err, e0), e1);
    out.modes = std::move(d.modes);
  }
  // "auto": a bound above tol max |T_ij| (strictly; NaN never) falls back to
  // double-double throughout.
  if (precision == Precision::Auto && out.err > tol * largest_element(out.modes.values())) {
    out = DerivativeSolved{};
    return solve_double_double_derivatives(spheroid, truncation);
  }
  return out;
}

}  // namespace vantok::tmatrix::driver
