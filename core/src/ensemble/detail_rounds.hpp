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
/// error of the lowest wavelength whose first pass failed or whose second
/// pass was refused for the whole budget (memory::Refused), else that of the
/// lowest whose second pass failed; the work that cannot change which one it
/// is stops (rounds.cpp). The wavelengths run in rounds within the work
/// budget (detail_work.hpp).
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
