#pragma once
// The runs of the ensemble engine over many wavelengths, in parallel and in
// rounds within the work budget, for one mixture (`run`) or for a batch of
// distributions of one particle sharing their size nodes (`run_batch`), and
// one wavelength alone from its first pass to its outputs. They take input the
// whole-request check has passed (run.hpp checks, then calls them).

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

/// One mixture of validated components at every wavelength: one result per
/// wavelength, in order. Every part has its own panels. A failure returns the
/// error of the lowest failing wavelength (the wavelengths above a failure
/// seen are stopped). The wavelengths run in rounds within the work budget
/// (detail_work.hpp); one whose work memory exceeds the whole budget is
/// refused with memory::Refused when it is the lowest failing one, and once
/// one is refused after its first pass, no second pass runs (the wavelengths
/// below it are evaluated through their first passes only).
Result<std::vector<EnsembleResult>> run(std::span<const Component> components, std::span<const double> wavelengths,
                                        const EnsembleOptions& options);

/// Each component as a distribution of its own, all evaluated at shared size
/// nodes (monodisperse parts apart): per component, one result per
/// wavelength. Every component must have the same particle and the options no
/// particle parameter (an internal failure otherwise).
Result<std::vector<std::vector<EnsembleResult>>> run_batch(std::span<const Component> components,
                                                           std::span<const double> wavelengths,
                                                           const EnsembleOptions& options);

}  // namespace vantok::ensemble::engine
