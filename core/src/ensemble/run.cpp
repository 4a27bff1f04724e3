// The ensemble engine's entry points: one wavelength from the first pass to
// the outputs, and the parallel runs over wavelengths. Wavelengths are
// evaluated as one pool task each, into their own slots; the outcomes are
// gathered in wavelength order afterwards, so no result depends on which
// wavelength finished first.
//
// The wavelengths run in rounds, each in two steps: the first passes of the
// round's wavelengths (with their second passes' plans), then their second
// passes. Every step leases its work memory (work.hpp). In each step the
// lowest wavelength runs first, alone, and may exceed what other calls leave
// free by its least piece; the others then run in parallel, each giving way
// when its least piece does not fit in what is free, and keeping its first
// pass (if done) for a later round. Between the steps, a wavelength whose
// second pass would exceed the whole budget is refused; wavelengths above the
// lowest failed one are not evaluated further (that one's error is the run's
// whatever they give).
#include "vantok/ensemble/run.hpp"

#include "vantok/ensemble/engine.hpp"
#include "vantok/ensemble/outputs.hpp"
#include "vantok/ensemble/work.hpp"
#include "vantok/pool.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <utility>

namespace vantok::ensemble::engine {

namespace {

// Wavelengths per round and thread of the pool: the first passes of a round
// are kept while its second passes run.
constexpr std::size_t ROUND_PER_THREAD = 16;

// The second pass and the outputs of a wavelength whose first pass is done.
Result<std::vector<EnsembleResult>> finish(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups,
                                           std::span<const Unit> units, std::span<const Pass1> records, double lambda,
                                           std::size_t index, const EnsembleOptions& options, const Claim& claim) {
  VANTOK_TRY(second, second_pass(parts, groups, records, units, lambda, index, options, claim));
  constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();
  std::vector<std::pair<std::size_t, std::size_t>> part_groups(parts.size(), {NONE, 0});
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (std::size_t position = 0; position < groups[g].size(); ++position) {
      part_groups.at(groups[g][position]) = {g, position};
    }
  }
  return outputs(units, second.sums, second.greek, records, part_groups, options, second.order_limit);
}

// Where one wavelength of a run stands.
struct Slot {
  // Its outputs or its error, once evaluated.
  std::optional<Result<std::vector<EnsembleResult>>> outcome;
  // Its refusal (memory::Refused), when its work memory exceeds the budget.
  std::exception_ptr refusal;
  // Its first pass, while its second pass waits.
  std::optional<std::vector<Pass1>> records;

  bool failed() const { return refusal || (outcome && !*outcome); }
  bool done() const { return outcome || refusal; }
};

// body(indices[k], claim) for every k of the ascending indices: the first
// alone, with the claim that may exceed what is free, then, unless it failed
// (the others lie above it), the others in parallel with claims that give
// way.
template <class Body>
void step(std::span<const std::size_t> indices, std::span<const Slot> slots, Body&& body) {
  if (indices.empty()) return;
  pool::for_each_index(1, [&](std::size_t) { body(indices.front(), Claim(true)); });
  if (slots[indices.front()].failed()) return;
  pool::for_each_index(
      indices.size() - 1, [&](std::size_t k) { body(indices[k + 1], Claim(false)); }, pool::Grain::One);
}

// Every wavelength, in rounds of two steps; the lowest failing index gives
// the error.
Result<std::vector<std::vector<EnsembleResult>>> over_wavelengths(std::span<const Part> parts,
                                                                  std::span<const std::vector<std::size_t>> groups,
                                                                  std::span<const Unit> units,
                                                                  std::span<const double> wavelengths,
                                                                  const EnsembleOptions& options) {
  const std::size_t n = wavelengths.size();
  std::vector<Slot> slots(n);
  std::size_t lowest_failure = n;
  auto note_failures = [&](std::span<const std::size_t> indices) {
    for (const std::size_t i : indices) {
      if (slots[i].failed()) lowest_failure = std::min(lowest_failure, i);
    }
  };
  const std::size_t round_size = std::max<std::size_t>(1, ROUND_PER_THREAD * pool::thread_count());
  std::size_t next = 0;              // the first wavelength no round has taken
  std::vector<std::size_t> waiting;  // taken, not done, in order
  while (next < n || !waiting.empty()) {
    std::vector<std::size_t> round;
    for (const std::size_t i : waiting) {
      if (i < lowest_failure) round.push_back(i);
    }
    while (round.size() < round_size && next < std::min(n, lowest_failure)) round.push_back(next++);
    if (round.empty()) break;

    // The first passes, and the refusal of a second pass beyond the budget.
    std::vector<std::size_t> first;
    for (const std::size_t i : round) {
      if (!slots[i].records) first.push_back(i);
    }
    step(first, slots, [&](std::size_t i, const Claim& claim) {
      Slot& slot = slots[i];
      try {
        auto records = first_pass(parts, groups, wavelengths[i], i, options, claim);
        if (!records) {
          slot.outcome = std::unexpected(std::move(records).error());
          return;
        }
        auto plan = plan_second_pass(parts, groups, *records, units, wavelengths[i], i, options);
        if (!plan) {
          slot.outcome = std::unexpected(std::move(plan).error());
          return;
        }
        require_bytes(plan->bytes, plan->what(wavelengths[i]));
        slot.records = std::move(*records);
      } catch (const GiveWay&) {
        // Its first pass again in a later round.
      } catch (const memory::Refused&) {
        slot.refusal = std::current_exception();
      }
    });
    note_failures(first);

    // The second passes of the round's wavelengths below the lowest failure.
    std::vector<std::size_t> second;
    for (const std::size_t i : round) {
      if (slots[i].records && !slots[i].done() && i < lowest_failure) second.push_back(i);
    }
    step(second, slots, [&](std::size_t i, const Claim& claim) {
      Slot& slot = slots[i];
      try {
        slot.outcome = finish(parts, groups, units, *slot.records, wavelengths[i], i, options, claim);
        slot.records.reset();
      } catch (const GiveWay&) {
        // Waits for a later round with its first pass, without the node
        // solutions it kept (the second pass solves those nodes again).
        for (Pass1& record : *slot.records) record.solutions.clear();
      } catch (const memory::Refused&) {
        slot.refusal = std::current_exception();
        slot.records.reset();
      }
    });
    note_failures(second);

    waiting.clear();
    for (const std::size_t i : round) {
      if (!slots[i].done()) waiting.push_back(i);
    }
  }

  std::vector<std::vector<EnsembleResult>> out;
  out.reserve(n);
  for (Slot& slot : slots) {
    if (slot.refusal) std::rethrow_exception(slot.refusal);
    VANTOK_ASSERT(slot.outcome.has_value());
    if (!*slot.outcome) return std::unexpected(std::move(*slot.outcome).error());
    out.push_back(std::move(**slot.outcome));
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
  return finish(parts, groups, units, records, lambda, index, options, Claim{});
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
