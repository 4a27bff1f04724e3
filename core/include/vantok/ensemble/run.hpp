#pragma once
// The entry points of the ensemble engine: runs over many wavelengths, in
// parallel, for one mixture (`run`) or for a batch of distributions of one
// particle sharing their size nodes (`run_batch`).

#include <cstddef>
#include <span>
#include <vector>

#include "vantok/ensemble/ensemble.hpp"
#include "vantok/ensemble/result.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble::engine {

/// One mixture of validated components at every wavelength: one result per
/// wavelength, in order. Every part has its own panels. A failure returns the
/// error of the lowest failing wavelength (the wavelengths above a failure
/// seen are not evaluated further). The wavelengths run in rounds within the
/// work budget (memory.hpp); one whose work memory exceeds the whole budget is
/// refused with memory::Refused when it is the lowest failing one.
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
