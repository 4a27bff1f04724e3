#pragma once
// What one ensemble run gives per output distribution and wavelength: the
// eleven size-averaged outputs, the Greek coefficients and the phase matrix,
// each with absolute error estimates and derivatives with respect to the
// requested parameters.

#include <array>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "vantok/ensemble/ensemble.hpp"
#include "vantok/mie/greek.hpp"

namespace vantok::ensemble {

/// The number of scalar outputs.
inline constexpr std::size_t OUTPUT_COUNT = 11;

/// Positions of the scalar outputs.
namespace output {
inline constexpr std::size_t EXTINCTION = 0;
inline constexpr std::size_t SCATTERING = 1;
inline constexpr std::size_t ABSORPTION = 2;
inline constexpr std::size_t BACKSCATTER = 3;
inline constexpr std::size_t ALBEDO = 4;
inline constexpr std::size_t ASYMMETRY = 5;
inline constexpr std::size_t LIDAR_RATIO = 6;
/// Always 0, with zero error and derivatives.
inline constexpr std::size_t ZERO = 7;
/// <r³>/<r²>.
inline constexpr std::size_t EFFECTIVE_RADIUS = 8;
/// π<r²>.
inline constexpr std::size_t GEOMETRIC_CROSS_SECTION = 9;
/// (4π/3)<r³>.
inline constexpr std::size_t VOLUME = 10;
}  // namespace output

/// One set of plain numbers: values, errors, one derivative or one
/// derivative's errors.
struct Outputs {
  /// alpha1 .. beta2, each of exactly L + 1 entries (L the run's Greek order
  /// limit), when Greek coefficients are requested.
  std::optional<mie::greek::GreekCoefficients<double>> greek;
  /// F11, F12, F33, F34 at the run's cosines, when it has any.
  std::optional<std::array<std::vector<double>, 4>> phase;
  std::array<double, OUTPUT_COUNT> values{};
};

/// The outputs of one distribution at one wavelength. All four kinds of
/// Outputs have the same shape.
struct EnsembleResult {
  Outputs value;
  /// Absolute error estimates of `value`.
  Outputs error;
  /// One per requested parameter, in request order.
  std::vector<Outputs> d;
  std::vector<Outputs> d_errors;
  /// The size panels that served this distribution (0 for monodisperse).
  std::size_t panels = 0;
  /// Every part of the distribution met its tolerance.
  bool converged = true;
  /// The run's requested parameters.
  std::vector<EnsembleParam> params;
  /// Per part, in part order: the radius range integrated.
  std::vector<std::pair<double, double>> ranges;
};

}  // namespace vantok::ensemble
