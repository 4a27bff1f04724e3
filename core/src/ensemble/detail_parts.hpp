#pragma once
// The integration parts of a run: one per component, or per mode of a
// multimodal component, each with its radius support and integration range,
// its moments, and the mapping of the requested parameters onto its
// distribution and particle parameters.

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "ensemble/detail_moments.hpp"
#include "vantok/ensemble/ensemble.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble::engine {

namespace support {
/// power_law and tabulated: the distribution's own ends.
struct Bounded {
  double lo;
  double hi;
};
/// lognormal, gamma, modified_gamma: a peak around `centre`, tails cut.
struct Smooth {
  double centre;
};
/// monodisperse: one radius, never integrated.
struct Point {
  double radius;
};
}  // namespace support

using Support = std::variant<support::Bounded, support::Smooth, support::Point>;

/// One integration part. It borrows its component and distribution from the
/// run's component list, which must outlive it.
struct Part {
  std::optional<std::size_t> mode;
  Support support;
  /// The radii the engine integrates over.
  std::pair<double, double> range;
  /// (index into the run's parameters, slot in the kind's table) per requested
  /// parameter of this part's distribution, in request order.
  std::vector<std::pair<std::size_t, std::size_t>> dist_params;
  /// Per particle-parameter slot (sphere: m_real, m_imag; layered: m_real,
  /// m_imag of each layer core first, then each radius fraction), the index of
  /// the run's parameter when requested.
  std::vector<std::optional<std::size_t>> particle_params;
  /// Absent for a monodisperse part.
  std::optional<moments::Averages> averages;
  const SizeDistribution* distribution;
  const Component* component;
  std::size_t component_index;
  double weight;
  /// The mode's weight (1 for a plain distribution) and the sum of the
  /// component's mode weights (1 likewise): the part weighs weight * mode_weight
  /// / mode_weight_sum.
  double mode_weight;
  double mode_weight_sum;
};

/// The relative allowance 0.2 rtol for the tails of a smooth part's
/// distribution that the engine's range leaves out: the moments add it to
/// their errors, and the second pass to the part averages'.
inline double tail_allowance(double rtol) { return 0.2 * rtol; }

/// The parts of validated components, in component order and, within a
/// multimodal component, in mode order.
Result<std::vector<Part>> parts(std::span<const Component> components,
                                std::span<const EnsembleParam> params, double rtol);

}  // namespace vantok::ensemble::engine
