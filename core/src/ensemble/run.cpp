// The entry points of an ensemble computation: the whole request checked, in
// the order and with the messages of ensemble.hpp's checks, before the engine
// (rounds.cpp) sees it.
#include "vantok/ensemble/run.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "ensemble/detail_rounds.hpp"
#include "vantok/complex.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"

namespace vantok::ensemble {

Result<std::vector<EnsembleResult>> compute(std::span<const Component> components, std::span<const double> wavelengths,
                                            const EnsembleOptions& options) {
  const std::vector<EnsembleParam> all = mixture_parameters(components);
  VANTOK_CHECK(validate(components, wavelengths, options, all));
  return engine::run(components, wavelengths, options);
}

Result<std::vector<std::vector<EnsembleResult>>> compute_batch(std::vector<SizeDistribution> distributions,
                                                               const Particle& particle,
                                                               std::span<const double> wavelengths,
                                                               const EnsembleOptions& options) {
  const ParticleShape shape = particle.shape();
  VANTOK_CHECK(validate_batch(distributions.size(), shape, wavelengths.size()));
  for (std::size_t k = 0; k < distributions.size(); ++k) {
    if (auto checked = distributions[k].validate(); !checked) {
      return std::unexpected(Error::invalid_input("distribution " + fmt::plain(static_cast<std::uint64_t>(k)) + ": " +
                                                  checked.error().to_string()));
    }
  }
  const std::size_t particle_values = shape.layers ? sat_mul(*shape.layers, shape.index_count) : shape.index_count;
  memory::require_work(sat_mul(particle_values, distributions.size()), sizeof(Complex<double>),
                       "the refractive indices of the batch's components");
  std::vector<Component> components;
  components.reserve(distributions.size());
  for (SizeDistribution& d : distributions) components.push_back(Component{particle, std::move(d), 1.0});
  VANTOK_CHECK(validate(components, wavelengths, options, {}));
  return engine::run_batch(components, wavelengths, options);
}

}  // namespace vantok::ensemble
