// Particles of an ensemble: the checks of a layered sphere.
#include "vantok/ensemble/particle.hpp"

#include <cstdint>

#include "vantok/format.hpp"
#include "vantok/limits.hpp"

namespace vantok::ensemble {

namespace {

std::string count(std::size_t n) { return fmt::plain(static_cast<std::uint64_t>(n)); }

std::expected<void, std::string> check_layered(const LayeredSphere& p) {
  const std::size_t n = p.layers.size();
  if (n < 1 || n > MAX_LAYERS) {
    return std::unexpected("a layered sphere needs 1 to " + count(MAX_LAYERS) + " layers, got " + count(n));
  }
  const std::vector<double>& f = p.radius_fractions;
  if (f.size() != n - 1) {
    return std::unexpected("a layered sphere of " + count(n) + " layers needs " + count(n - 1) +
                           " radius fractions, got " + count(f.size()));
  }
  for (std::size_t k = 0; k < f.size(); ++k) {
    if (!(f[k] > 0.0 && f[k] <= 1.0)) {
      return std::unexpected("radius fraction " + count(k) + " must be in (0, 1], got " + fmt::plain(f[k]));
    }
  }
  for (std::size_t k = 0; k + 1 < f.size(); ++k) {
    if (f[k] > f[k + 1]) {
      return std::unexpected("the radius fractions must be nondecreasing from the core out, but fraction " +
                             count(k + 1) + " is " + fmt::plain(f[k + 1]) + " < " + fmt::plain(f[k]));
    }
  }
  const std::size_t core = p.layers[0].size();
  for (std::size_t l = 1; l < n; ++l) {
    if (p.layers[l].size() != core) {
      return std::unexpected("layer " + count(l) + " has " + count(p.layers[l].size()) +
                             " refractive indices and the core " + count(core) + ": one per wavelength");
    }
  }
  return {};
}

}  // namespace

std::expected<void, std::string> Particle::validate() const {
  if (const auto* layered = get_if<LayeredSphere>()) return check_layered(*layered);
  return {};
}

std::size_t Particle::index_count() const {
  if (const auto* sphere = get_if<Sphere>()) return sphere->m.size();
  const auto& layers = std::get<LayeredSphere>(kind).layers;
  return layers.empty() ? 0 : layers.front().size();
}

}  // namespace vantok::ensemble
