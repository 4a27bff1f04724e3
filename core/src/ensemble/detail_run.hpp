#pragma once
// One wavelength of the ensemble engine from its first pass to its outputs,
// outside a run's rounds.

#include <cstddef>
#include <span>
#include <vector>

#include "ensemble/detail_parts.hpp"
#include "ensemble/detail_second_pass.hpp"
#include "vantok/ensemble/ensemble.hpp"
#include "vantok/ensemble/result.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble::engine {

/// The outputs of one wavelength (index `index` of the run, which selects the
/// refractive indices): the first pass of every group, the second pass, then
/// one result per unit, in unit order. The first error ends it.
Result<std::vector<EnsembleResult>> wavelength(std::span<const Part> parts,
                                               std::span<const std::vector<std::size_t>> groups,
                                               std::span<const Unit> units, double lambda, std::size_t index,
                                               const EnsembleOptions& options);

}  // namespace vantok::ensemble::engine
