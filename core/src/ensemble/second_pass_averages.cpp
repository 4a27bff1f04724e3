// The size averages of one part from its sums over the panels, with the
// propagation of their errors: the part's mass M0 and its error divide the
// sums, the distribution-parameter derivatives take the quotient rule's dM0
// term, and a smooth part adds its tail allowance and takes its mean powers
// <r²>, <r³> from its moments; a monodisperse part's averages are its one
// particle's quantities, exact.
#include "ensemble/detail_second_pass.hpp"

#include <algorithm>
#include <cmath>

#include "ensemble/detail_second_pass_group.hpp"

namespace vantok::ensemble::engine {

namespace {

// The mean powers <r²> and <r³> of a smooth part, from its moments rather than
// from the panels. The engine's range is cut where the tail weighted by r²
// falls below rtol/10, which leaves out more of the r³ weight the broader the
// distribution: for a lognormal of width 4 a thousandth of <r³> at rtol 1e-3.
// The moments integrate r⁰, r² and r³ over a range cut for all three at a
// thousandth of rtol, to rtol, and divide by the same mass M0 as every other
// average of the part, so <r²> and <r³> are those of the whole distribution,
// with their errors (the tail allowance included) and their derivatives with
// respect to the distribution's parameters. No particle parameter moves them.
void take_mean_powers(const moments::Averages& m, std::size_t n_d, PartAverages& out) {
  const std::size_t entry[2] = {quantity2::R2, quantity2::R3};
  for (std::size_t k = 0; k < 2; ++k) {
    const std::size_t at = entry[k];
    VANTOK_ASSERT(at < out.values.size());
    out.values[at] = m.means[k];
    out.errors[at] = m.mean_errors[k];
    for (std::size_t d = 0; d < n_d; ++d) {
      out.derivatives[d].values[at] = m.mean_derivatives[d][k];
      out.derivatives[d].errors[at] = m.mean_derivative_errors[d][k];
    }
  }
}

}  // namespace

// With the part's mass M0 (error e0) and the tail allowance τ (0.2 rtol for a
// smooth part): v = Σ/M0, err = (E + e0 |v|)/M0 + τ|v|; per distribution
// parameter (dM0/dp = D with error δ) d = (Σ_p - v D)/M0 and
//   err_d = (E_p + |v| δ + |d| e0 + |D| err)/M0 + τ|d|,
// the error of v entering with its tail allowance, as in the moments' own
// derivative errors; per particle slot d = Σ_s/M0, err_d = (E_s + e0 |d|)/M0 + τ|d|.
PartAverages part_averages(const Part& part, std::span<const RangeSums> sums, std::size_t n_quantities,
                           std::size_t slots, double rtol) {
  VANTOK_ASSERT(part.averages.has_value());
  const moments::Averages& m = *part.averages;
  const double m0 = m.m0;
  const double e0 = m.m0_err;
  const bool smooth = std::holds_alternative<support::Smooth>(part.support);
  const double tau = smooth ? tail_allowance(rtol) : 0.0;
  const std::size_t n_d = part.dist_params.size();
  VANTOK_ASSERT(m.m0_derivatives.size() == n_d && m.m0_derivative_errors.size() == n_d &&
                m.mean_derivatives.size() == n_d && m.mean_derivative_errors.size() == n_d);
  PartAverages out;
  out.values.assign(n_quantities, 0.0);
  out.errors.assign(n_quantities, 0.0);
  auto derivative = [&](std::size_t index) -> PartAverages::Derivative& {
    out.derivatives.push_back({index, std::vector<double>(n_quantities, 0.0), std::vector<double>(n_quantities, 0.0)});
    return out.derivatives.back();
  };
  for (std::size_t d = 0; d < n_d; ++d) derivative(part.dist_params[d].first);
  const bool particle = std::any_of(part.particle_params.begin(), part.particle_params.end(),
                                    [](const std::optional<std::size_t>& p) { return p.has_value(); });
  std::vector<std::size_t> slot_of;
  for (std::size_t sl = 0; sl < part.particle_params.size(); ++sl) {
    if (!part.particle_params[sl]) continue;
    derivative(*part.particle_params[sl]);
    slot_of.push_back(sl);
  }
  for (const RangeSums& r : sums) {
    const std::size_t len = r.hi - r.lo;
    VANTOK_ASSERT(r.hi <= n_quantities && r.sums.size() == len * (1 + n_d + (particle ? slots : 0)));
    for (std::size_t k = 0; k < len; ++k) {
      const std::size_t at = r.lo + k;
      const double v = r.sums[k] / m0;
      const double err = (r.errors[k] + e0 * std::fabs(v)) / m0 + tau * std::fabs(v);
      out.values[at] = v;
      out.errors[at] = err;
      for (std::size_t d = 0; d < n_d; ++d) {
        const double big_d = m.m0_derivatives[d];
        const double delta = m.m0_derivative_errors[d];
        const std::size_t i = (1 + d) * len + k;
        const double dv = (r.sums[i] - v * big_d) / m0;
        out.derivatives[d].values[at] = dv;
        out.derivatives[d].errors[at] =
            (r.errors[i] + std::fabs(v) * delta + std::fabs(dv) * e0 + std::fabs(big_d) * err) / m0 +
            tau * std::fabs(dv);
      }
      for (std::size_t j = 0; j < slot_of.size(); ++j) {
        const std::size_t i = (1 + n_d + slot_of[j]) * len + k;
        const double dv = r.sums[i] / m0;
        out.derivatives[n_d + j].values[at] = dv;
        out.derivatives[n_d + j].errors[at] = (r.errors[i] + e0 * std::fabs(dv)) / m0 + tau * std::fabs(dv);
      }
    }
  }
  if (smooth) take_mean_powers(m, n_d, out);
  return out;
}

namespace pass2 {

Result<PartAverages> point_averages(const Part& part, std::size_t n_terms, NodeScratch& scratch,
                                    const particle::Optics& optics, const mie::SolveOptions& options,
                                    const Layout& layout, double wavelength) {
  const auto* point = std::get_if<support::Point>(&part.support);
  VANTOK_ASSERT(point != nullptr);
  const std::size_t n_quantities = layout.n_quantities;
  const bool particle = std::any_of(part.particle_params.begin(), part.particle_params.end(),
                                    [](const std::optional<std::size_t>& p) { return p.has_value(); });
  std::vector<std::vector<double>> slots(particle ? part.particle_params.size() : 0,
                                         std::vector<double>(n_quantities, 0.0));
  std::vector<std::span<double>> slot_views(slots.begin(), slots.end());
  std::vector<double> radius(part.dist_params.empty() ? 0 : n_quantities, 0.0);
  PartAverages out;
  out.values.assign(n_quantities, 0.0);
  VANTOK_CHECK(quantities2(scratch, optics, options, layout, out.values, slot_views, radius, n_terms, {},
                           point->radius, wavelength));
  out.errors.assign(n_quantities, 0.0);
  for (const auto& [index, slot] : part.dist_params) {
    VANTOK_ASSERT(slot == 0);
    out.derivatives.push_back({index, radius, std::vector<double>(n_quantities, 0.0)});
  }
  for (std::size_t sl = 0; sl < slots.size(); ++sl) {
    if (!part.particle_params[sl]) continue;
    out.derivatives.push_back({*part.particle_params[sl], std::move(slots[sl]), std::vector<double>(n_quantities, 0.0)});
  }
  return out;
}

}  // namespace pass2

}  // namespace vantok::ensemble::engine
