// The T-matrix solve in double-double throughout: semi-axes, order scales,
// the kernel over double-double, and per block the LU solve with unscaling of
// detail_scaled_solve.hpp. Double-double carries about 32 digits through the
// LU, so the T blocks keep full f64 accuracy where Q is too ill-conditioned
// for f64.

#include "tmatrix/detail_dd_solve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_scaled_solve.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "tmatrix/detail_work.hpp"
#include "vantok/pool.hpp"

namespace vantok::tmatrix::driver {

namespace {

using CDD = Complex<DoubleDouble>;

}  // namespace

Result<Solved> solve_double_double(const Spheroid& spheroid, const Truncation& truncation, SolveProfile* profile) {
  const PhaseTimer timer(profile != nullptr ? &profile->double_double : nullptr);
  const std::size_t n = truncation.n_terms;
  const std::size_t n_theta = truncation.n_theta;
  const std::size_t m_max = truncation.m_max;
  const double m_re = spheroid.m.re;
  const double m_im = spheroid.m.im;
  VANTOK_ASSERT(n < std::numeric_limits<std::size_t>::max());

  // Semi-axes and the order scales of the smaller one, all in double-double.
  const auto axes = kernel::Axes<DoubleDouble>::create(spheroid.x, spheroid.eps);
  const auto [r_min, r_max] = axes.min_max();
  const CDD z{r_max * m_re, r_max * m_im};
  const std::vector<double> l = log_scales(functions::Scales<DoubleDouble>(n, r_min, z).outgoing);

  std::vector<std::optional<std::size_t>> mask(n + 1);
  for (std::size_t m = 0; m <= std::min(m_max, n); ++m) mask[m] = 0;
  // No variant record and no negligible orders: every element of Q complete.
  Result<std::vector<kernel::ModeMatrices<DoubleDouble>>> kernel_result = [&] {
    const PhaseTimer kernel_timer(profile != nullptr ? &profile->double_double_kernel : nullptr);
    return kernel::all_modes_masked(axes, CDD{DoubleDouble(m_re), DoubleDouble(m_im)}, n, n_theta, mask, nullptr,
                                    std::numeric_limits<std::size_t>::max());
  }();
  VANTOK_TRY(matrices, std::move(kernel_result));
  VANTOK_ASSERT(matrices.size() == n + 1);
  const std::size_t matrices_bytes = kernel::matrices_bytes<DoubleDouble>(matrices);
  const memory::Lease held = work::hold(matrices_bytes);

  Solved out;
  out.modes.n_terms = n;
  out.modes.modes.resize(n + 1);
  // The blocks in parallel, each rounded to f64 into its own mode's slot.
  const BlockDone<DoubleDouble> round = [&](std::size_t m, std::size_t p, std::vector<CDD>& t) -> Result<void> {
    VANTOK_CHECK(require_finite<DoubleDouble>(matrices[m].rows[p].size(), {t}));
    std::vector<Complex<double>>& block = out.modes.modes[m].t[p];
    block.resize(t.size());
    for (std::size_t e = 0; e < t.size(); ++e) block[e] = {t[e].re.hi, t[e].im.hi};
    return {};
  };
  VANTOK_CHECK(solve_blocks<DoubleDouble>(matrices, m_max, l, 2 * sizeof(CDD), sizeof(Complex<double>),
                                          "the double-double LU", round));
  for (std::size_t m = 0; m <= n; ++m) {
    out.modes.modes[m].rows = std::move(matrices[m].rows);
    matrices[m] = kernel::ModeMatrices<DoubleDouble>{};
  }
  work::release_freed(matrices_bytes);
  out.paths.assign(n + 1, PrecisionPath::DoubleDouble);
  // The T elements are rounded once to f64 from a double-double result.
  out.err = largest_element(out.modes) * 4.0 * 0x1p-52;
  out.n_theta = n_theta;
  return out;
}

}  // namespace vantok::tmatrix::driver
