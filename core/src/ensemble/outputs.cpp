// The ensemble outputs of one wavelength from the second pass's sums. The
// ratios (albedo C_sca/C_ext, asymmetry parameter <C_sca g>/C_sca, lidar ratio
// 4π C_ext/C_back, effective radius <r³>/<r²>) carry their errors and
// derivatives to first order (detail_lin.hpp); normalised Greek coefficients are
// divided by alpha1_0 and the phase matrix by C_sca.
#include "ensemble/detail_outputs.hpp"

#include "vantok/constants.hpp"
#include "vantok/format.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace vantok::ensemble::engine {

using lin::Lin;

namespace {

using constants::FOUR_PI;
using constants::FOUR_PI_OVER_THREE;
using constants::PI;

// Entry k of every column of a distribution's sums.
Lin entry(const DistributionSums& s, std::size_t k) {
  Lin out{s.values.at(k), s.errors.at(k), {}, {}};
  out.d.reserve(s.d.size());
  out.d_err.reserve(s.d.size());
  for (std::size_t j = 0; j < s.d.size(); ++j) {
    out.d.push_back(s.d[j].at(k));
    out.d_err.push_back(s.d_errors.at(j).at(k));
  }
  return out;
}

// The ratios divide by C_ext, C_sca and C_back: each must be finite and
// non-zero.
Result<void> check_denominator(const Lin& v, const char* label) {
  if (v.value != 0.0 && std::isfinite(v.value)) return {};
  return std::unexpected(Error::invalid_input(std::string("the ensemble's ") + label + " is " + fmt::plain(v.value) +
                                              ", so its ratios (albedo, asymmetry parameter, lidar ratio) are "
                                              "undefined (does m = 1?)"));
}

double select(const Lin& v, LinOutputs::Field field, std::size_t k) {
  switch (field) {
    case LinOutputs::Field::Value:
      return v.value;
    case LinOutputs::Field::Error:
      return v.err;
    case LinOutputs::Field::Derivative:
      return v.d.at(k);
    case LinOutputs::Field::DerivativeError:
      return v.d_err.at(k);
  }
  return v.value;
}

}  // namespace

Outputs LinOutputs::pick(Field field, std::size_t k) const {
  Outputs out;
  for (std::size_t i = 0; i < OUTPUT_COUNT; ++i) out.values[i] = select(values[i], field, k);
  if (greek) {
    mie::greek::GreekCoefficients<double> g;
    const auto series = g.vectors();
    for (std::size_t s = 0; s < 6; ++s) {
      for (const Lin& v : (*greek)[s]) series[s]->push_back(select(v, field, k));
    }
    g.pad(order_limit + 1);
    out.greek = std::move(g);
  }
  if (phase) {
    std::array<std::vector<double>, 4> elements;
    for (std::size_t t = 0; t < 4; ++t) {
      for (const Lin& v : (*phase)[t]) elements[t].push_back(select(v, field, k));
    }
    out.phase = std::move(elements);
  }
  return out;
}

namespace {

// The outputs of one distribution as linear forms (value, error and the
// derivatives carried together): the efficiencies' cross sections and ratios,
// the Greek coefficients (normalized by alpha1 at order 0 unless unnormalized)
// and the phase matrix at the cosines (normalized by <C_sca>).
Result<LinOutputs> lin_outputs(const DistributionSums& s, const GreekSet* greek, const EnsembleOptions& options,
                               std::size_t order_limit) {
  const bool normalized = !options.unnormalized;
  const std::size_t n_mu = options.mu.size();
  const std::size_t p = s.d.size();
  std::array<Lin, quantity2::SCALARS> integral;
  for (std::size_t k = quantity2::EXTINCTION; k < quantity2::SCALARS; ++k) integral[k] = entry(s, k);
  const Lin& c_ext = integral[quantity2::EXTINCTION];
  const Lin& c_sca = integral[quantity2::SCATTERING];
  const Lin& c_back = integral[quantity2::BACKSCATTER];
  VANTOK_CHECK(check_denominator(c_ext, "<C_ext>"));
  VANTOK_CHECK(check_denominator(c_sca, "<C_sca>"));
  VANTOK_CHECK(check_denominator(c_back, "<C_back>"));

  LinOutputs lin;
  const Lin& r2 = integral[quantity2::R2];
  const Lin& r3 = integral[quantity2::R3];
  lin.values[output::EXTINCTION] = c_ext;
  lin.values[output::SCATTERING] = c_sca;
  lin.values[output::ABSORPTION] = integral[quantity2::ABSORPTION];
  lin.values[output::BACKSCATTER] = c_back;
  lin.values[output::ALBEDO] = c_sca.div(c_ext);
  lin.values[output::ASYMMETRY] = integral[quantity2::ASYMMETRY].div(c_sca);
  lin.values[output::LIDAR_RATIO] = c_ext.div(c_back).scale(FOUR_PI);
  lin.values[output::ZERO] = Lin::constant(0.0, p);
  lin.values[output::EFFECTIVE_RADIUS] = r3.div(r2);
  lin.values[output::GEOMETRIC_CROSS_SECTION] = r2.scale(PI);
  lin.values[output::VOLUME] = r3.scale(FOUR_PI_OVER_THREE);
  if (greek != nullptr) {
    GreekSet set = *greek;
    if (normalized) {
      const Lin alpha10 = set.at(0).at(0);
      for (std::vector<Lin>& series : set) {
        for (Lin& v : series) v = v.div(alpha10);
      }
      set[0][0] = Lin::constant(1.0, p);
    }
    lin.greek = std::move(set);
    lin.order_limit = order_limit;
  }
  if (n_mu >= 1) {
    const PhaseBlock block = requested_phase(n_mu);
    std::array<std::vector<Lin>, PHASE_ELEMENTS> phase;
    for (std::size_t t = 0; t < PHASE_ELEMENTS; ++t) {
      phase[t].reserve(n_mu);
      for (std::size_t i = 0; i < n_mu; ++i) {
        Lin f = entry(s, block.at(t, i));
        phase[t].push_back(normalized ? f.div(c_sca) : std::move(f));
      }
    }
    lin.phase = std::move(phase);
  }
  return lin;
}

// The result of one unit: the picked fields, then the convergence, ranges and
// panel count of the groups its parts were integrated in.
EnsembleResult unit_result(const LinOutputs& lin, std::size_t p, const Unit& unit, std::span<const Pass1> records,
                           std::span<const std::pair<std::size_t, std::size_t>> part_groups,
                           const EnsembleOptions& options) {
  EnsembleResult result;
  result.value = lin.pick(LinOutputs::Field::Value);
  result.error = lin.pick(LinOutputs::Field::Error);
  for (std::size_t k = 0; k < p; ++k) {
    result.d.push_back(lin.pick(LinOutputs::Field::Derivative, k));
    result.d_errors.push_back(lin.pick(LinOutputs::Field::DerivativeError, k));
  }
  std::vector<std::size_t> unit_groups;
  for (const std::size_t part : unit.parts) {
    VANTOK_ASSERT(part < part_groups.size());
    const auto [group, position] = part_groups[part];
    VANTOK_ASSERT(group < records.size());
    const Pass1& record = records[group];
    result.converged = result.converged && record.converged.at(position);
    result.ranges.push_back(record.range);
    unit_groups.push_back(group);
  }
  std::sort(unit_groups.begin(), unit_groups.end());
  unit_groups.erase(std::unique(unit_groups.begin(), unit_groups.end()), unit_groups.end());
  for (const std::size_t group : unit_groups) result.panels += records[group].panels.size();
  result.params = options.params;
  return result;
}

}  // namespace

Result<std::vector<EnsembleResult>> outputs(std::span<const Unit> units, std::span<const DistributionSums> sums,
                                            const std::optional<std::vector<GreekSet>>& greek,
                                            std::span<const Pass1> records,
                                            std::span<const std::pair<std::size_t, std::size_t>> part_groups,
                                            const EnsembleOptions& options, std::size_t order_limit) {
  const std::size_t count = std::min(units.size(), sums.size());
  std::vector<EnsembleResult> results;
  results.reserve(count);
  for (std::size_t q = 0; q < count; ++q) {
    VANTOK_TRY(lin, lin_outputs(sums[q], greek ? &greek->at(q) : nullptr, options, order_limit));
    results.push_back(unit_result(lin, sums[q].d.size(), units[q], records, part_groups, options));
  }
  return results;
}

}  // namespace vantok::ensemble::engine
