// The integration parts of a run, built once per call before any wavelength:
// supports, integration ranges, moments and the parameter mapping.
#include "ensemble/detail_parts.hpp"

#include <cmath>
#include <cstdint>
#include <string>

#include "ensemble/detail_overload.hpp"
#include "ensemble/detail_range.hpp"
#include "vantok/format.hpp"

namespace vantok::ensemble::engine {

namespace {

using detail::Overload;

// The tolerances derived from rtol: the engine's range is cut for the weight
// r² at rtol/10; the moments integrate over a range cut for r⁰, r² and r³ at
// a thousandth of rtol (floored at 1e-16), and allow 0.2·rtol for the tails
// the engine's range leaves out. The moments' range holds the r³ tail, which
// the engine's leaves out of broad distributions: <r²> and <r³> of a smooth
// part come from the moments (second_pass_averages.cpp).
struct Tolerances {
  explicit Tolerances(double run_rtol)
      : rtol(run_rtol),
        range(run_rtol / 10.0),
        moment_range(std::fmax(1e-3 * run_rtol, 1e-16)),
        tail(tail_allowance(run_rtol)) {}
  double rtol;
  double range;
  double moment_range;
  double tail;
};

struct ModeEntry {
  std::optional<std::size_t> mode;
  double weight;
  const SizeDistribution* distribution;
};

std::size_t particle_slot_count(const Particle& particle) {
  if (const auto* layered = particle.get_if<LayeredSphere>()) {
    return 2 * layered->layers.size() + layered->radius_fractions.size();
  }
  return 2;
}

// Records the requested parameters of component c that belong to this part.
void map_parameters(Part& part, std::size_t c, std::span<const EnsembleParam> params) {
  std::size_t layers = 0;
  if (const auto* layered = part.component->particle.get_if<LayeredSphere>()) layers = layered->layers.size();
  part.particle_params.assign(particle_slot_count(part.component->particle), std::nullopt);
  auto set_slot = [&](std::size_t slot, std::size_t global) {
    VANTOK_ASSERT(slot < part.particle_params.size());
    part.particle_params[slot] = global;
  };
  for (std::size_t g = 0; g < params.size(); ++g) {
    const EnsembleParam& p = params[g];
    if (p.component != c) continue;
    std::visit(Overload{[&](const param::Distribution& d) {
                          if (p.mode != part.mode) return;
                          const auto slot = parameter_slot(*part.distribution, d.name);
                          VANTOK_ASSERT(slot.has_value());
                          part.dist_params.emplace_back(g, *slot);
                        },
                        [&](const param::MReal&) { set_slot(0, g); }, [&](const param::MImag&) { set_slot(1, g); },
                        [&](const param::LayerMReal& l) { set_slot(2 * l.layer, g); },
                        [&](const param::LayerMImag& l) { set_slot(2 * l.layer + 1, g); },
                        [&](const param::RadiusFraction& f) { set_slot(2 * layers + f.index, g); },
                        // A weight is differentiated by the engine's outputs, not per part.
                        [](const param::Weight&) {}},
               p.kind);
  }
}

// An InvalidInput of the moments gains the component's index; other kinds
// pass unchanged.
Error in_component(Error error, std::size_t c) {
  if (error.kind() != Error::Kind::InvalidInput) return error;
  return Error::invalid_input("component " + fmt::plain(static_cast<std::uint64_t>(c)) + ": " + error.message());
}

// Support, range and averages of a smooth distribution around `centre`.
Result<void> smooth(Part& part, double centre, std::span<const std::size_t> slots, const Tolerances& tol) {
  const Density density(*part.distribution);
  part.support = support::Smooth{centre};
  static constexpr std::int32_t RANGE_EXPONENTS[] = {2};
  static constexpr std::int32_t MOMENT_EXPONENTS[] = {0, 2, 3};
  VANTOK_TRY(range, range::cutoffs(density, RANGE_EXPONENTS, centre, tol.range));
  part.range = range;
  VANTOK_TRY(moment_range, range::cutoffs(density, MOMENT_EXPONENTS, centre, tol.moment_range));
  auto averages = moments::moments(*part.distribution, slots, {}, moment_range.first, moment_range.second, tol.rtol,
                                   tol.tail);
  if (!averages) return std::unexpected(in_component(std::move(averages).error(), part.component_index));
  part.averages = std::move(*averages);
  return {};
}

// Support, range and averages of a distribution with exact ends.
Result<void> bounded(Part& part, double lo, double hi, std::span<const double> breakpoints,
                     std::span<const std::size_t> slots, const Tolerances& tol) {
  part.support = support::Bounded{lo, hi};
  part.range = {lo, hi};
  auto averages = moments::moments(*part.distribution, slots, breakpoints, lo, hi, tol.rtol, 0.0);
  if (!averages) return std::unexpected(in_component(std::move(averages).error(), part.component_index));
  part.averages = std::move(*averages);
  return {};
}

Result<void> place(Part& part, const Tolerances& tol) {
  std::vector<std::size_t> slots;
  for (const auto& entry : part.dist_params) slots.push_back(entry.second);
  return std::visit(
      Overload{[&](const Lognormal& d) { return smooth(part, d.median_radius, slots, tol); },
               [&](const Gamma& d) { return smooth(part, d.effective_radius, slots, tol); },
               [&](const ModifiedGamma&) { return smooth(part, Density(*part.distribution).reference, slots, tol); },
               [&](const PowerLaw& d) { return bounded(part, d.min_radius, d.max_radius, {}, slots, tol); },
               [&](const Tabulated& d) { return bounded(part, d.radii.front(), d.radii.back(), d.radii, slots, tol); },
               [&](const Monodisperse& d) -> Result<void> {
                 part.support = support::Point{d.radius};
                 part.range = {d.radius, d.radius};
                 return {};
               },
               [](const Multimodal&) -> Result<void> {
                 throw InternalFailure("internal error: entered unreachable code: multimodal modes are refused");
               }},
      part.distribution->kind);
}

}  // namespace

Result<std::vector<Part>> parts(std::span<const Component> components, std::span<const EnsembleParam> params,
                                double rtol) {
  const Tolerances tol(rtol);
  std::vector<Part> out;
  for (std::size_t c = 0; c < components.size(); ++c) {
    const Component& component = components[c];
    std::vector<ModeEntry> entries;
    double mode_weight_sum = 1.0;
    if (const auto* multimodal = component.distribution.get_if<Multimodal>()) {
      mode_weight_sum = 0.0;
      for (std::size_t j = 0; j < multimodal->modes.size(); ++j) {
        const Mode& mode = multimodal->modes[j];
        entries.push_back({j, mode.weight, &mode.distribution});
        mode_weight_sum += mode.weight;
      }
    } else {
      entries.push_back({std::nullopt, 1.0, &component.distribution});
    }
    for (const ModeEntry& entry : entries) {
      Part part{.mode = entry.mode,
                .support = support::Point{0.0},
                .range = {0.0, 0.0},
                .dist_params = {},
                .particle_params = {},
                .averages = std::nullopt,
                .distribution = entry.distribution,
                .component = &component,
                .component_index = c,
                .weight = component.weight,
                .mode_weight = entry.weight,
                .mode_weight_sum = mode_weight_sum};
      map_parameters(part, c, params);
      VANTOK_CHECK(place(part, tol));
      out.push_back(std::move(part));
    }
  }
  return out;
}

}  // namespace vantok::ensemble::engine
