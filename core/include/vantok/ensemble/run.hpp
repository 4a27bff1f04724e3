#pragma once
// The entry points of an ensemble computation (the stages they run through are
// listed in ensemble.hpp): each checks the whole request first, then
// evaluates every wavelength in parallel, for one mixture (`compute`) or for a
// batch of distributions of one particle sharing their size nodes
// (`compute_batch`).

#include <span>
#include <vector>

#include "vantok/ensemble/distribution.hpp"
#include "vantok/ensemble/ensemble.hpp"
#include "vantok/ensemble/particle.hpp"
#include "vantok/ensemble/result.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble {

/// The components at every wavelength: the whole-request check (`validate`)
/// against the parameters and weights of every component, then one result per
/// wavelength, in order. A failure returns the first failed check, or the
/// error of the lowest failing wavelength; a wavelength whose work memory
/// exceeds the whole work budget is refused with memory::Refused.
Result<std::vector<EnsembleResult>> compute(std::span<const Component> components, std::span<const double> wavelengths,
                                            const EnsembleOptions& options);

/// Each distribution of one particle at every wavelength, all evaluated at
/// shared size nodes (monodisperse ones apart): per distribution, one result
/// per wavelength. Checked in this order: the batch's form
/// (`validate_batch`), each distribution ("distribution {}: ..."), then, with
/// one component per distribution (weight 1, each with a copy of the particle,
/// refused with memory::Refused beyond the work budget), the whole request.
/// The options may request no parameter (those of the particle cannot be).
Result<std::vector<std::vector<EnsembleResult>>> compute_batch(std::vector<SizeDistribution> distributions,
                                                               const Particle& particle,
                                                               std::span<const double> wavelengths,
                                                               const EnsembleOptions& options);

}  // namespace vantok::ensemble
