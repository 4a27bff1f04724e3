// The ensemble request: its parameters, their names, and the whole-request
// check. Every check stops at its first failure; messages name the offending
// value and its index (counted from 0).
#include "vantok/ensemble/ensemble.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ensemble/detail_overload.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/numeric.hpp"

namespace vantok::ensemble {

namespace {

std::string count(std::size_t n) { return fmt::plain(static_cast<std::uint64_t>(n)); }

Result<void> invalid(std::string message) { return std::unexpected(Error::invalid_input(std::move(message))); }

using detail::Overload;

// The distribution parameters of a non-multimodal distribution (none for a
// multimodal mode, which validation refuses later).
void append_distribution(std::vector<EnsembleParam>& out, std::size_t component, std::optional<std::size_t> mode,
                         const SizeDistribution& distribution, std::size_t limit) {
  for (std::string_view name : distribution.parameter_names()) {
    if (out.size() < limit) out.push_back({mode, param::Distribution{name}, component});
  }
}

}  // namespace

std::string EnsembleParam::name(Naming naming) const {
  std::string out;
  if (naming == Naming::Mixture) out += "c" + count(component) + ".";
  if (mode) out += "mode" + count(*mode) + ".";
  out += std::visit(Overload{[](const param::Distribution& p) { return std::string(p.name); },
                             [](const param::MReal&) { return std::string("m_real"); },
                             [](const param::MImag&) { return std::string("m_imag"); },
                             [](const param::LayerMReal& p) { return "layer" + count(p.layer) + ".m_real"; },
                             [](const param::LayerMImag& p) { return "layer" + count(p.layer) + ".m_imag"; },
                             [](const param::RadiusFraction& p) {
                               return "layer" + count(p.index) + ".radius_fraction";
                             },
                             [](const param::Weight&) { return std::string("weight"); }},
                    kind);
  return out;
}

std::vector<EnsembleParam> component_parameters(std::size_t component, const SizeDistribution& distribution,
                                                const ParticleShape& particle, ComponentWeight weight,
                                                std::size_t limit) {
  std::vector<EnsembleParam> out;
  // Appends while fewer than `limit` are listed; false once there are.
  auto add = [&](std::optional<std::size_t> mode, ParamKind kind) {
    if (out.size() < limit) out.push_back({mode, kind, component});
    return out.size() < limit;
  };
  if (const auto* multimodal = distribution.get_if<Multimodal>()) {
    for (std::size_t j = 0; j < multimodal->modes.size(); ++j) {
      append_distribution(out, component, j, multimodal->modes[j].distribution, limit);
      add(j, param::Weight{});
    }
  } else {
    append_distribution(out, component, std::nullopt, distribution, limit);
  }
  if (particle.layers) {
    for (std::size_t l = 0; l < *particle.layers; ++l) {
      add(std::nullopt, param::LayerMReal{l});
      if (!add(std::nullopt, param::LayerMImag{l})) break;
    }
    for (std::size_t k = 0; k < particle.fraction_count; ++k) {
      if (!add(std::nullopt, param::RadiusFraction{k})) break;
    }
  } else {
    add(std::nullopt, param::MReal{});
    add(std::nullopt, param::MImag{});
  }
  if (weight == ComponentWeight::Include) add(std::nullopt, param::Weight{});
  return out;
}

std::vector<EnsembleParam> component_parameters(std::size_t component, const SizeDistribution& distribution,
                                                const Particle& particle, ComponentWeight weight) {
  return component_parameters(component, distribution, particle.shape(), weight);
}

std::size_t component_parameter_count(const SizeDistribution& distribution, const ParticleShape& particle,
                                      ComponentWeight weight) {
  std::size_t out = weight == ComponentWeight::Include ? 1 : 0;
  if (const auto* multimodal = distribution.get_if<Multimodal>()) {
    for (const Mode& mode : multimodal->modes) out = sat_add(out, mode.distribution.parameter_names().size() + 1);
  } else {
    out += distribution.parameter_names().size();
  }
  if (!particle.layers) return out + 2;
  return sat_add(out, sat_add(sat_mul<std::size_t>(2, *particle.layers), particle.fraction_count));
}

std::vector<EnsembleParam> mixture_parameters(std::span<const Component> components,
                                              std::span<const ParticleShape> shapes, std::size_t limit) {
  VANTOK_ASSERT(shapes.empty() || shapes.size() == components.size());
  std::vector<EnsembleParam> out;
  for (std::size_t i = 0; i < components.size() && out.size() < limit; ++i) {
    const ParticleShape shape = shapes.empty() ? components[i].particle.shape() : shapes[i];
    auto one = component_parameters(i, components[i].distribution, shape, ComponentWeight::Include,
                                    limit - out.size());
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

namespace {

// The requested parameters: each must be new and available. Names carry the
// component prefix when the request is a mixture, or when the available list
// holds a component weight.
Result<void> check_requested(std::span<const Component> components, std::span<const EnsembleParam> requested,
                             std::span<const EnsembleParam> available) {
  const bool has_component_weight = std::any_of(available.begin(), available.end(), [](const EnsembleParam& p) {
    return !p.mode && std::holds_alternative<param::Weight>(p.kind);
  });
  const Naming naming = components.size() != 1 || has_component_weight ? Naming::Mixture : Naming::Single;
  for (std::size_t i = 0; i < requested.size(); ++i) {
    const EnsembleParam& p = requested[i];
    if (std::find(requested.begin(), requested.begin() + static_cast<std::ptrdiff_t>(i), p) !=
        requested.begin() + static_cast<std::ptrdiff_t>(i)) {
      return invalid("parameter " + p.name(naming) + " requested twice");
    }
    if (std::find(available.begin(), available.end(), p) == available.end()) {
      std::string list = "[";
      for (std::size_t k = 0; k < available.size(); ++k) {
        if (k > 0) list += ", ";
        list += "\"" + available[k].name(naming) + "\"";
      }
      list += "]";
      return invalid("no parameter " + p.name(naming) + " here; the parameters are " + list);
    }
  }
  return {};
}

Result<void> check_component(std::size_t c, const Component& component, const ParticleShape& particle,
                             std::size_t wavelength_count) {
  const std::string index = count(c);
  if (auto r = component.distribution.validate(); !r) {
    return invalid("component " + index + ": " + r.error().to_string());
  }
  const auto* multimodal = component.distribution.get_if<Multimodal>();
  if (multimodal != nullptr && std::any_of(multimodal->modes.begin(), multimodal->modes.end(), [](const Mode& m) {
        return m.distribution.get_if<Multimodal>() != nullptr;
      })) {
    return invalid("component " + index + ": the modes of a multimodal distribution cannot be multimodal");
  }
  // The particle's bare message is embedded.
  if (auto r = particle.validate(); !r) return invalid("component " + index + ": " + r.error().message());
  const std::size_t indices = particle.index_count;
  if (indices != wavelength_count) {
    return invalid("component " + index + " has " + count(indices) + " refractive indices for " +
                   count(wavelength_count) + " wavelengths");
  }
  // -0 counts as 0.
  if (!(std::isfinite(component.weight) && component.weight >= 0.0)) {
    return invalid("the weight of component " + index + " must be finite and >= 0, got " +
                   fmt::plain(component.weight));
  }
  if (multimodal != nullptr) {
    double sum = 0.0;
    for (const Mode& m : multimodal->modes) sum += m.weight;
    if (!std::isfinite(sum)) return invalid("component " + index + ": the mode weights must have a finite sum");
  }
  return {};
}

}  // namespace

Result<void> validate_settings(const EnsembleOptions& options) {
  const double rtol = options.rtol;
  if (!(rtol >= 1e-13 && rtol <= 0.1)) return invalid("rtol must be in [1e-13, 0.1], got " + fmt::plain(rtol));
  if (options.max_panels == 0) return invalid("max_panels must be at least 1");
  if (options.greek.kind == GreekSelection::Kind::UpTo && options.greek.order > MAX_GREEK_ORDER) {
    return invalid("the Greek order must be at most " + count(MAX_GREEK_ORDER) + ", got " + count(options.greek.order));
  }
  if (options.refine_order && *options.refine_order > MAX_REFINE_ORDER) {
    return invalid("refine_order must be at most " + count(MAX_REFINE_ORDER) + ", got " + count(*options.refine_order));
  }
  return {};
}

Result<void> validate_cosine(std::size_t i, double mu) {
  if (std::fabs(mu) <= 1.0) return {};
  return invalid("cosine " + count(i) + " must be in [-1, 1], got " + fmt::plain(mu));
}

Result<void> validate_wavelength(std::size_t i, double wavelength) {
  if (std::isfinite(wavelength) && wavelength > 0.0) return {};
  return invalid("wavelength " + count(i) + " must be finite and > 0, got " + fmt::plain(wavelength));
}

Result<void> validate_components(std::span<const Component> components, std::size_t wavelength_count,
                                 std::span<const EnsembleParam> params, std::span<const EnsembleParam> available,
                                 std::span<const ParticleShape> shapes) {
  VANTOK_ASSERT(shapes.empty() || shapes.size() == components.size());
  double total = 0.0;
  for (std::size_t c = 0; c < components.size(); ++c) {
    const ParticleShape shape = shapes.empty() ? components[c].particle.shape() : shapes[c];
    VANTOK_CHECK(check_component(c, components[c], shape, wavelength_count));
    total += components[c].weight;
  }
  if (!(std::isfinite(total) && total > 0.0)) {
    return invalid("the mixture weights must have a finite, positive sum, got " + fmt::plain(total));
  }
  return check_requested(components, params, available);
}

Result<void> validate(std::span<const Component> components, std::span<const double> wavelengths,
                      const EnsembleOptions& options, std::span<const EnsembleParam> available,
                      std::span<const ParticleShape> shapes) {
  VANTOK_CHECK(validate_settings(options));
  for (std::size_t i = 0; i < options.mu.size(); ++i) VANTOK_CHECK(validate_cosine(i, options.mu[i]));
  for (std::size_t i = 0; i < wavelengths.size(); ++i) VANTOK_CHECK(validate_wavelength(i, wavelengths[i]));
  return validate_components(components, wavelengths.size(), options.params, available, shapes);
}

Result<void> validate_batch(std::size_t distributions, const ParticleShape& particle, std::size_t wavelengths) {
  if (distributions == 0) return invalid("a batch needs a distribution");
  VANTOK_CHECK(particle.validate());
  if (particle.index_count != wavelengths) {
    return invalid(count(particle.index_count) + " refractive indices for " + count(wavelengths) + " wavelengths");
  }
  return {};
}

}  // namespace vantok::ensemble
