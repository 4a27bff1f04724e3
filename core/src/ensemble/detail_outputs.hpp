#pragma once
// The ensemble outputs of one wavelength: from each output distribution's
// sums, the eleven outputs (cross sections, albedo, asymmetry parameter,
// lidar ratio, effective radius, mean geometric cross section and volume),
// the normalised Greek coefficients and phase matrix, every one carried as a
// value with an error estimate and derivatives, then unpacked into plain
// numbers.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ensemble/detail_first_pass.hpp"
#include "ensemble/detail_lin.hpp"
#include "ensemble/detail_projection.hpp"
#include "ensemble/detail_second_pass.hpp"
#include "vantok/ensemble/result.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble::engine {

/// The outputs of one distribution, each a value with error and derivatives.
struct LinOutputs {
  std::array<lin::Lin, OUTPUT_COUNT> values;
  /// With Greek coefficients: the six series and the order limit L.
  std::optional<GreekSet> greek;
  std::size_t order_limit = 0;
  /// With cosines: F11, F12, F33, F34, one entry per cosine.
  std::optional<std::array<std::vector<lin::Lin>, 4>> phase;

  /// What a selector picks of one Lin.
  enum class Field { Value, Error, Derivative, DerivativeError };

  /// The plain numbers of one field (derivative fields of parameter k):
  /// every Greek series resized to exactly L + 1 entries (zero-extended or
  /// cut), the phase series as they are.
  Outputs pick(Field field, std::size_t k = 0) const;
};

/// The outputs of every unit, in unit order (as many as both lists hold). A
/// unit whose C_ext, C_sca or C_back (checked in that order) is zero,
/// infinite or NaN fails the whole wavelength. `part_groups` gives each part's
/// (group, position in the group); `greek` one set per unit when Greek
/// coefficients were requested.
Result<std::vector<EnsembleResult>> outputs(std::span<const Unit> units, std::span<const DistributionSums> sums,
                                            const std::optional<std::vector<GreekSet>>& greek,
                                            std::span<const Pass1> records,
                                            std::span<const std::pair<std::size_t, std::size_t>> part_groups,
                                            const EnsembleOptions& options, std::size_t order_limit);

}  // namespace vantok::ensemble::engine
