// The mixture sums of one output distribution: each part's averages weighed
// by its component's and its mode's share, and the derivatives with respect
// to the requested component and mode weights.
#include "ensemble/detail_second_pass.hpp"

#include <cmath>

namespace vantok::ensemble::engine {

DistributionSums distribution_sums(std::span<const Part> parts, const Unit& unit,
                                   std::span<const PartAverages> averages, std::span<const EnsembleParam> params,
                                   std::size_t n_quantities) {
  const std::size_t p_count = params.size();
  DistributionSums out;
  out.values.assign(n_quantities, 0.0);
  out.errors.assign(n_quantities, 0.0);
  out.d.assign(p_count, std::vector<double>(n_quantities, 0.0));
  out.d_errors.assign(p_count, std::vector<double>(n_quantities, 0.0));
  const double total = unit.weight;
  for (const std::size_t p : unit.parts) {
    const Part& part = parts[p];
    const PartAverages& avg = averages[p];
    VANTOK_ASSERT(avg.values.size() == n_quantities && avg.errors.size() == n_quantities);
    const double f = ((part.weight / total) * part.mode_weight) / part.mode_weight_sum;
    for (std::size_t k = 0; k < n_quantities; ++k) {
      out.values[k] += f * avg.values[k];
      out.errors[k] += f * avg.errors[k];
    }
    for (const PartAverages::Derivative& d : avg.derivatives) {
      VANTOK_ASSERT(d.index < p_count);
      for (std::size_t k = 0; k < n_quantities; ++k) {
        out.d[d.index][k] += f * d.values[k];
        out.d_errors[d.index][k] += f * d.errors[k];
      }
    }
  }
  // Weights: for the mixture weight w_c of component c,
  //   g = (δ_c mw/mws - w mw/(mws W))/W;
  // for the weight mw_m of mode m of component c (parts of c only),
  //   g = (w/W)(δ_m - mw/mws)/mws.
  for (std::size_t index = 0; index < p_count; ++index) {
    const EnsembleParam& param = params[index];
    if (!std::holds_alternative<param::Weight>(param.kind)) continue;
    for (const std::size_t p : unit.parts) {
      const Part& part = parts[p];
      const double w = part.weight;
      const double mw = part.mode_weight;
      const double mws = part.mode_weight_sum;
      const bool in_component = part.component_index == param.component;
      double g = 0.0;
      if (param.mode) {
        if (!in_component) continue;
        const double delta = part.mode == param.mode ? 1.0 : 0.0;
        g = ((w / total) * (delta - mw / mws)) / mws;
      } else {
        const double delta = in_component ? 1.0 : 0.0;
        g = ((delta * mw) / mws - (w * mw) / (mws * total)) / total;
      }
      const PartAverages& avg = averages[p];
      for (std::size_t k = 0; k < n_quantities; ++k) {
        out.d[index][k] += g * avg.values[k];
        out.d_errors[index][k] += std::fabs(g) * avg.errors[k];
      }
    }
  }
  return out;
}

}  // namespace vantok::ensemble::engine
