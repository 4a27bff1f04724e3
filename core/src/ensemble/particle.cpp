// Particles of an ensemble: their form and the checks of a layered sphere.
#include "vantok/ensemble/particle.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "vantok/error.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"

namespace vantok::ensemble {

namespace {

std::string count(std::size_t n) { return fmt::plain(static_cast<std::uint64_t>(n)); }

Result<void> invalid(std::string message) { return std::unexpected(Error::invalid_input(std::move(message))); }

}  // namespace

Result<void> ParticleShape::validate() const {
  if (!layers) return {};
  const std::size_t n = *layers;
  if (n < 1 || n > MAX_LAYERS) {
    return invalid("a layered sphere needs 1 to " + count(MAX_LAYERS) + " layers, got " + count(n));
  }
  if (fraction_count != n - 1) {
    return invalid("a layered sphere of " + count(n) + " layers needs " + count(n - 1) +
                           " radius fractions, got " + count(fraction_count));
  }
  const std::span<const double> f = radius_fractions;
  VANTOK_ASSERT(f.size() == fraction_count);
  for (std::size_t k = 0; k < f.size(); ++k) {
    if (!(f[k] > 0.0 && f[k] <= 1.0)) {
      return invalid("radius fraction " + count(k) + " must be in (0, 1], got " + fmt::plain(f[k]));
    }
  }
  for (std::size_t k = 0; k + 1 < f.size(); ++k) {
    if (f[k] > f[k + 1]) {
      return invalid("the radius fractions must be nondecreasing from the core out, but fraction " +
                             count(k + 1) + " is " + fmt::plain(f[k + 1]) + " < " + fmt::plain(f[k]));
    }
  }
  if (uneven_layer) {
    return invalid("layer " + count(uneven_layer->first) + " has " + count(uneven_layer->second) +
                           " refractive indices and the core " + count(index_count) + ": one per wavelength");
  }
  return {};
}

ParticleShape Particle::shape() const {
  const auto* layered = get_if<LayeredSphere>();
  if (layered == nullptr) return {std::nullopt, 0, {}, index_count(), std::nullopt};
  ParticleShape out{layered->layers.size(), layered->radius_fractions.size(), layered->radius_fractions,
                    index_count(), std::nullopt};
  for (std::size_t l = 1; l < layered->layers.size(); ++l) {
    if (layered->layers[l].size() != out.index_count) {
      out.uneven_layer = std::pair{l, layered->layers[l].size()};
      break;
    }
  }
  return out;
}

Result<void> Particle::validate() const { return shape().validate(); }

std::size_t Particle::index_count() const {
  if (const auto* sphere = get_if<Sphere>()) return sphere->m.size();
  const auto& layers = std::get<LayeredSphere>(kind).layers;
  return layers.empty() ? 0 : layers.front().size();
}

}  // namespace vantok::ensemble
