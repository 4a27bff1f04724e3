// The ensemble engine's entry points: one wavelength from the first pass to
// the outputs, and the parallel runs over wavelengths. Wavelengths are
// evaluated as one pool task each, into their own slots; the outcomes are
// gathered in wavelength order afterwards, so no result depends on which
// wavelength finished first.
#include "vantok/ensemble/run.hpp"

#include "vantok/ensemble/engine.hpp"
#include "vantok/ensemble/outputs.hpp"
#include "vantok/pool.hpp"

#include <limits>
#include <optional>
#include <utility>

namespace vantok::ensemble::engine {

namespace {

// Every wavelength in parallel; all are evaluated, and the lowest failing
// index gives the error.
Result<std::vector<std::vector<EnsembleResult>>> over_wavelengths(std::span<const Part> parts,
                                                                  std::span<const std::vector<std::size_t>> groups,
                                                                  std::span<const Unit> units,
                                                                  std::span<const double> wavelengths,
                                                                  const EnsembleOptions& options) {
  std::vector<std::optional<Result<std::vector<EnsembleResult>>>> slots(wavelengths.size());
  pool::for_each_index(
      wavelengths.size(),
      [&](std::size_t i) { slots[i] = wavelength(parts, groups, units, wavelengths[i], i, options); },
      pool::Grain::One);
  std::vector<std::vector<EnsembleResult>> out;
  out.reserve(slots.size());
  for (auto& slot : slots) {
    VANTOK_ASSERT(slot.has_value());
    if (!*slot) return std::unexpected(std::move(*slot).error());
    out.push_back(std::move(**slot));
  }
  return out;
}

bool has_particle_parameters(std::span<const EnsembleParam> params) {
  for (const EnsembleParam& p : params) {
    if (!std::holds_alternative<param::Distribution>(p.kind) && !std::holds_alternative<param::Weight>(p.kind)) {
      return true;
    }
  }
  return false;
}

bool same_particle(const Particle& a, const Particle& b) {
  const auto* sa = a.get_if<Sphere>();
  const auto* sb = b.get_if<Sphere>();
  if (sa != nullptr || sb != nullptr) return sa != nullptr && sb != nullptr && sa->m == sb->m;
  const auto& la = std::get<LayeredSphere>(a.kind);
  const auto& lb = std::get<LayeredSphere>(b.kind);
  return la.radius_fractions == lb.radius_fractions && la.layers == lb.layers;
}

}  // namespace

Result<std::vector<EnsembleResult>> wavelength(std::span<const Part> parts,
                                               std::span<const std::vector<std::size_t>> groups,
                                               std::span<const Unit> units, double lambda, std::size_t index,
                                               const EnsembleOptions& options) {
  VANTOK_TRY(records, first_pass(parts, groups, lambda, index, options));
  VANTOK_TRY(second, second_pass(parts, groups, records, units, lambda, index, options));
  constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();
  std::vector<std::pair<std::size_t, std::size_t>> part_groups(parts.size(), {NONE, 0});
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (std::size_t position = 0; position < groups[g].size(); ++position) {
      part_groups.at(groups[g][position]) = {g, position};
    }
  }
  return outputs(units, second.sums, second.greek, records, part_groups, options, second.order_limit);
}

Result<std::vector<EnsembleResult>> run(std::span<const Component> components, std::span<const double> wavelengths,
                                        const EnsembleOptions& options) {
  VANTOK_TRY(all, parts(components, options.params, options.rtol));
  double total = 0.0;
  for (const Component& c : components) total += c.weight;
  std::vector<std::vector<std::size_t>> groups;
  Unit unit{{}, total};
  for (std::size_t p = 0; p < all.size(); ++p) {
    groups.push_back({p});
    unit.parts.push_back(p);
  }
  const std::vector<Unit> units = {std::move(unit)};
  VANTOK_TRY(per_wavelength, over_wavelengths(all, groups, units, wavelengths, options));
  std::vector<EnsembleResult> out;
  out.reserve(per_wavelength.size());
  for (std::vector<EnsembleResult>& results : per_wavelength) {
    VANTOK_ASSERT(results.size() == 1);
    out.push_back(std::move(results.front()));
  }
  return out;
}

Result<std::vector<std::vector<EnsembleResult>>> run_batch(std::span<const Component> components,
                                                           std::span<const double> wavelengths,
                                                           const EnsembleOptions& options) {
  // The shared group is evaluated with the first part's particle and particle
  // parameters: a batch of other particles, or with particle derivatives,
  // would be silently wrong.
  for (const Component& c : components) {
    if (!same_particle(c.particle, components.front().particle)) {
      throw InternalFailure("run_batch: every component must have the same particle");
    }
  }
  if (has_particle_parameters(options.params)) {
    throw InternalFailure("run_batch: particle parameters cannot be requested");
  }
  VANTOK_TRY(all, parts(components, options.params, options.rtol));
  std::vector<std::vector<std::size_t>> groups;
  std::vector<std::size_t> shared;
  for (std::size_t p = 0; p < all.size(); ++p) {
    if (std::holds_alternative<support::Point>(all[p].support)) {
      groups.push_back({p});
    } else {
      shared.push_back(p);
    }
  }
  if (!shared.empty()) groups.push_back(std::move(shared));
  std::vector<Unit> units;
  for (std::size_t c = 0; c < components.size(); ++c) {
    Unit unit{{}, components[c].weight};
    for (std::size_t p = 0; p < all.size(); ++p) {
      if (all[p].component_index == c) unit.parts.push_back(p);
    }
    units.push_back(std::move(unit));
  }
  VANTOK_TRY(per_wavelength, over_wavelengths(all, groups, units, wavelengths, options));
  // Component-major: sequence k holds every wavelength's k-th result.
  std::vector<std::vector<EnsembleResult>> out(components.size());
  for (std::vector<EnsembleResult>& results : per_wavelength) {
    VANTOK_ASSERT(results.size() <= components.size());
    for (std::size_t k = 0; k < results.size(); ++k) out[k].push_back(std::move(results[k]));
  }
  return out;
}

}  // namespace vantok::ensemble::engine
