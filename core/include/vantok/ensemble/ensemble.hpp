#pragma once
// One ensemble request: components (a particle, a size distribution and a
// mixture weight), the options of a run, the differentiable parameters of a
// request with their names, and the whole-request check every run passes
// before anything is integrated.
//
// The stages of a run, in call order (sources in core/src/ensemble/):
//  0. python/src/ensemble.cpp (`ensemble_compute`, `ensemble_compute_batch`):
//     arguments parsed, specs read (ensemble_specs.cpp), then compute /
//     compute_batch (run.hpp, run.cpp) with the interpreter lock released.
//  1. The checks: validate (ensemble.cpp), distribution.cpp, particle.cpp.
//  2. The integration parts, once per run (parts.cpp): radius ranges
//     (range.cpp) and moments (moments.cpp).
//  3. The wavelengths in rounds within the work budget (rounds.cpp, work.cpp),
//     each through 4 to 6:
//  4. First pass, per group of parts (first_pass.cpp): start panels
//     (first_pass_layout.cpp), panels evaluated (first_pass_evaluate.cpp; the
//     particle solved by optics.cpp), tolerances and bisection
//     (first_pass_steps.cpp).
//  5. Second pass (second_pass.cpp): its plan and Greek bands (bands.cpp);
//     per panel the node quantities (node_quantities.cpp), weight columns
//     (second_pass_columns.cpp), band amplitudes (band_amplitudes.cpp) and
//     dense products (second_pass_products.cpp, matrix.cpp,
//     matrix_blocked.cpp) within the scratch (second_pass_scratch.cpp); part
//     averages with their errors (second_pass_averages.cpp; a smooth part's
//     <r²> and <r³> are its moments'); mixture sums (second_pass_mixture.cpp);
//     Greek projection (projection.cpp).
//  6. Outputs with errors and derivatives (outputs.cpp, lin.cpp), in
//     result.hpp's EnsembleResult.
// Shared by the stages: the G7-K15 rule (detail_kronrod.hpp), the quantity
// layouts (detail_layouts.hpp), the size parameter and error context
// (detail_engine.hpp), the workers (detail_workers.hpp).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vantok/ensemble/distribution.hpp"
#include "vantok/ensemble/particle.hpp"
#include "vantok/error.hpp"

namespace vantok::ensemble {

/// The largest Greek order a run may track in its refinement.
inline constexpr std::size_t MAX_REFINE_ORDER = 1024;

/// One member of a mixture. Its index is its position in the request.
struct Component {
  Particle particle;
  SizeDistribution distribution;
  /// Mixture weight, finite and >= 0.
  double weight;
};

/// Which Greek coefficients a run computes.
struct GreekSelection {
  enum class Kind : std::uint8_t { All, UpTo, Off };
  Kind kind = Kind::Off;
  /// The largest order, for UpTo.
  std::size_t order = 0;

  static GreekSelection all() { return {Kind::All, 0}; }
  static GreekSelection up_to(std::size_t order) { return {Kind::UpTo, order}; }
  static GreekSelection off() { return {Kind::Off, 0}; }
};

namespace param {

/// A distribution parameter, by its name in the kind's table.
struct Distribution {
  /// One of the fixed names of the parameter tables; compared by its text.
  std::string_view name;
  friend bool operator==(const Distribution&, const Distribution&) = default;
};
/// Real part of a sphere's refractive index (per wavelength).
struct MReal {
  friend bool operator==(const MReal&, const MReal&) = default;
};
/// Imaginary part of a sphere's refractive index.
struct MImag {
  friend bool operator==(const MImag&, const MImag&) = default;
};
/// Real part of layer `layer`'s refractive index (0 = core).
struct LayerMReal {
  std::size_t layer;
  friend bool operator==(const LayerMReal&, const LayerMReal&) = default;
};
/// Imaginary part of layer `layer`'s refractive index.
struct LayerMImag {
  std::size_t layer;
  friend bool operator==(const LayerMImag&, const LayerMImag&) = default;
};
/// Radius fraction `index` of a layered sphere.
struct RadiusFraction {
  std::size_t index;
  friend bool operator==(const RadiusFraction&, const RadiusFraction&) = default;
};
/// A mode's weight (with a mode) or the component's mixture weight (without).
struct Weight {
  friend bool operator==(const Weight&, const Weight&) = default;
};

}  // namespace param

using ParamKind = std::variant<param::Distribution, param::MReal, param::MImag, param::LayerMReal,
                               param::LayerMImag, param::RadiusFraction, param::Weight>;

/// How a parameter is named: alone ("width") or within a mixture ("c0.width").
enum class Naming : std::uint8_t { Single, Mixture };

/// One differentiable parameter of a request.
struct EnsembleParam {
  /// The mode of a multimodal distribution the parameter belongs to.
  std::optional<std::size_t> mode;
  ParamKind kind;
  std::size_t component;

  /// "c{}." (in a mixture), "mode{}." (for a mode's parameter), then the base
  /// name: "width", "m_real", "layer1.m_imag", "layer0.radius_fraction", "weight".
  std::string name(Naming naming) const;

  friend bool operator==(const EnsembleParam&, const EnsembleParam&) = default;
};

/// The settings of one run.
struct EnsembleOptions {
  /// A Greek order whose coefficients drive the panel refinement (at most
  /// MAX_REFINE_ORDER).
  std::optional<std::size_t> refine_order;
  GreekSelection greek;
  /// Cosines of the scattering angle for the phase matrix.
  std::vector<double> mu;
  /// The requested derivative parameters; the derivatives follow this order.
  std::vector<EnsembleParam> params;
  /// Relative tolerance, in [1e-13, 0.1].
  double rtol = 1e-6;
  /// Limit on the number of size panels, at least 1.
  std::size_t max_panels = 1;
  bool unnormalized = false;
  bool allow_unvalidated = false;
  /// When false, the backscatter sums do not drive the refinement.
  bool refine_backscatter = true;
};

/// Whether a component's own mixture weight is among its parameters.
enum class ComponentWeight : std::uint8_t { Omit, Include };

/// The parameters of one component, in their fixed order: the distribution's
/// (per mode, each mode followed by its weight), the particle's (m_real, m_imag,
/// or per layer m_real, m_imag, then the radius fractions), then the weight;
/// the first `limit` of them.
std::vector<EnsembleParam> component_parameters(std::size_t component,
                                                const SizeDistribution& distribution,
                                                const ParticleShape& particle, ComponentWeight weight,
                                                std::size_t limit = static_cast<std::size_t>(-1));
std::vector<EnsembleParam> component_parameters(std::size_t component,
                                                const SizeDistribution& distribution,
                                                const Particle& particle, ComponentWeight weight);

/// The number of parameters of one component (the length of
/// component_parameters), saturating: a caller checks it before it builds
/// the list.
std::size_t component_parameter_count(const SizeDistribution& distribution, const ParticleShape& particle,
                                      ComponentWeight weight);

/// The parameters of every component in order, each with its weight; with
/// `shapes` (one per component), the particles' forms are read from them. The
/// first `limit` of them.
std::vector<EnsembleParam> mixture_parameters(std::span<const Component> components,
                                              std::span<const ParticleShape> shapes = {},
                                              std::size_t limit = static_cast<std::size_t>(-1));

/// The whole-request check: options, cosines, wavelengths, every component,
/// the mixture weights, then the requested parameters against `available`.
/// The first failure in that order is returned. With `shapes` (one per
/// component), each particle is checked by its shape instead of its own form
/// (a caller that checks before it copies the refractive indices).
Result<void> validate(std::span<const Component> components, std::span<const double> wavelengths,
                      const EnsembleOptions& options, std::span<const EnsembleParam> available,
                      std::span<const ParticleShape> shapes = {});

/// `validate` stage by stage, in its order, for a caller that reads the
/// cosines and the wavelengths where they lie instead of from copies: the
/// options but their cosines; each cosine i; each wavelength i; then every
/// component against `wavelength_count` wavelengths, the mixture weights and
/// the requested parameters (`params`).
Result<void> validate_settings(const EnsembleOptions& options);
Result<void> validate_cosine(std::size_t i, double mu);
Result<void> validate_wavelength(std::size_t i, double wavelength);
Result<void> validate_components(std::span<const Component> components, std::size_t wavelength_count,
                                 std::span<const EnsembleParam> params, std::span<const EnsembleParam> available,
                                 std::span<const ParticleShape> shapes = {});

/// The checks of a batch of distributions of one particle that read no value,
/// in this order: a distribution at least ("a batch needs a distribution"),
/// the particle's form, one refractive index per wavelength.
Result<void> validate_batch(std::size_t distributions, const ParticleShape& particle, std::size_t wavelengths);

}  // namespace vantok::ensemble
