// The weight columns of a group's panels in the second pass: per part the
// value column n(r), a column dn/dp per requested distribution parameter and,
// with particle parameters, an n(r) column among the particle weights, whose
// products come from each particle slot's own quantity matrix; and the rows of
// the weight matrices at a node.
#include "ensemble/detail_second_pass_group.hpp"

#include <algorithm>
#include <tuple>

namespace vantok::ensemble::engine::pass2 {

namespace {

// The complex (per layer) and real (per radius fraction) parameter blocks of
// a particle.
std::pair<std::size_t, std::size_t> parameter_blocks(const Particle& particle) {
  if (const auto* layered = particle.get_if<LayeredSphere>()) {
    return {layered->layers.size(), layered->radius_fractions.size()};
  }
  return {1, 0};
}

}  // namespace

GroupPlan plan_group(std::span<const Part> parts, const std::vector<std::size_t>& group,
                     const particle::Optics& optics, const mie::SolveOptions& options, const Layout& layout,
                     double wavelength) {
  GroupPlan plan;
  plan.optics = &optics;
  plan.options = options;
  plan.layout = &layout;
  plan.wavelength = wavelength;
  const Part& first = parts[group.front()];
  const bool particle = std::any_of(first.particle_params.begin(), first.particle_params.end(),
                                    [](const std::optional<std::size_t>& p) { return p.has_value(); });
  if (particle) {
    plan.slots = first.particle_params.size();
    std::tie(plan.complex_blocks, plan.real_blocks) = parameter_blocks(first.component->particle);
    VANTOK_ASSERT(plan.slots == 2 * plan.complex_blocks + plan.real_blocks);
  }
  for (const std::size_t p : group) {
    const Part& part = parts[p];
    plan.parts.push_back(&part);
    plan.densities.emplace_back(*part.distribution);
    plan.density_slots = std::max(plan.density_slots, part.distribution->parameter_names().size());
    for (const auto& entry : part.dist_params) VANTOK_ASSERT(entry.second < part.distribution->parameter_names().size());
    PartColumns cols{plan.kronrod_columns, part.dist_params.size(), std::nullopt};
    plan.kronrod_columns += 1 + cols.distribution;
    if (particle) cols.particle = plan.particle_columns++;
    plan.columns.push_back(cols);
  }
  return plan;
}

void node_weights(Scratch& s, const GroupPlan& plan, std::size_t j, const detail::KronrodNode& node, double r) {
  const std::size_t c_kronrod = plan.kronrod_columns;
  const std::size_t c_particle = plan.particle_columns;
  const double kronrod_r = node.kronrod * r;
  const double gauss_r = node.gauss * r;
  for (std::size_t i = 0; i < plan.parts.size(); ++i) {
    const Part& part = *plan.parts[i];
    const PartColumns& cols = plan.columns[i];
    const double density = plan.densities[i].eval(r, s.dn);
    s.weights(j, cols.first) = kronrod_r * density;
    s.weights(j, c_kronrod + cols.first) = gauss_r * density;
    for (std::size_t d = 0; d < cols.distribution; ++d) {
      const double dn = s.dn[part.dist_params[d].second];
      s.weights(j, cols.first + 1 + d) = kronrod_r * dn;
      s.weights(j, c_kronrod + cols.first + 1 + d) = gauss_r * dn;
    }
    if (cols.particle) {
      s.particle_weights(j, *cols.particle) = kronrod_r * density;
      s.particle_weights(j, c_particle + *cols.particle) = gauss_r * density;
    }
  }
}

}  // namespace vantok::ensemble::engine::pass2
