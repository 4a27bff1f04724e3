// The ensemble engine's entry points: one wavelength from the first pass to
// the outputs, and the parallel runs over wavelengths. Wavelengths are
// evaluated as one pool task each, into their own slots; the outcomes are
// gathered in wavelength order afterwards, so no result depends on which
// wavelength finished first.
//
// The wavelengths run in rounds, each in two steps: the first passes of the
// round's wavelengths (with their second passes' plans), then their second
// passes. Every step leases its work memory (detail_work.hpp). In each step the
// lowest wavelength may exceed what is free by its least piece; every other
// one gives way when its least piece does not fit in what is free, keeping
// its first pass (if done) for a later round. When the second passes of a
// step may not fit the budget together, the lowest runs first and alone, so
// that the others cannot take what is free before it takes its part.
//
// A failing run reports the lowest wavelength whose first pass failed or
// whose second pass was refused for the whole budget (both are known after
// the first pass), and only when there is none the lowest wavelength whose
// second pass or outputs failed (m = 1 makes C_back 0). Both are found in
// full whatever the rounds and the pool's size, so the error does not depend
// on them: once a first pass fails, no second pass starts (its outcome could
// not be the run's) and the wavelengths above it are not evaluated further;
// once a second pass fails, the second passes above it are not run, while the
// first passes above it still are, to find such a failure. Each wavelength of
// a step runs under a stop token of its own, nested in the caller's, which a
// failure below it requests, so that those running stop at their next check.
// A second pass that would exceed the whole budget is thus refused after the
// first passes below it, without any second pass run only to be discarded.
#include "ensemble/detail_rounds.hpp"

#include "ensemble/detail_first_pass.hpp"
#include "ensemble/detail_outputs.hpp"
#include "ensemble/detail_work.hpp"
#include "vantok/format.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace vantok::ensemble::engine {

namespace {

// Wavelengths per round and thread of the pool: the first passes of a round
// are kept while its second passes run.
constexpr std::size_t ROUND_PER_THREAD = 16;

// The second pass (of the given plan, if any) and the outputs of a wavelength
// whose first pass is done.
Result<std::vector<EnsembleResult>> finish(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups,
                                           std::span<const Unit> units, std::span<const Pass1> records, double lambda,
                                           std::size_t index, const EnsembleOptions& options, const Claim& claim,
                                           const SecondPassPlan* plan = nullptr) {
  VANTOK_TRY(second, second_pass(parts, groups, records, units, lambda, index, options, claim, plan));
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
  // Its first pass and its second pass's plan, while the second pass waits.
  std::optional<std::vector<Pass1>> records;
  std::optional<SecondPassPlan> plan;
  // Its first pass ended without a failure.
  bool passed = false;

  bool failed() const { return refusal || (outcome && !*outcome); }
  bool done() const { return outcome || refusal; }
  // Its failure was found with its first pass (an error of the first pass or
  // of its second pass's plan, or a refusal of the second pass for the whole
  // budget).
  bool failed_first() const { return failed() && !passed; }
};

// The stop token of one wavelength's work in a step, nested in the caller's:
// requested when a wavelength below it fails.
class Dropped final : public stop::Token {
 public:
  explicit Dropped(stop::Token* call) noexcept : stop::Token(call) {}
  bool poll() override { return false; }
  // Whether the stop is the caller's (the whole call ends), not this token's.
  bool call_stopped() const noexcept { return parent() != nullptr && parent()->requested(); }
};

// The doubles the outputs of one wavelength hold.
std::size_t output_values(std::span<const EnsembleResult> results) {
  std::size_t count = 0;
  auto add = [&](const Outputs& o) {
    count += OUTPUT_COUNT;
    if (o.greek) {
      for (const std::vector<double>* series : std::as_const(*o.greek).vectors()) count += series->size();
    }
    if (o.phase) {
      for (const std::vector<double>& element : *o.phase) count += element.size();
    }
  };
  for (const EnsembleResult& r : results) {
    add(r.value);
    add(r.error);
    for (const Outputs& d : r.d) add(d);
    for (const Outputs& d : r.d_errors) add(d);
  }
  return count;
}

// The wavelengths of a run, in rounds of two steps; the lowest failing index
// gives the error. The outputs of the evaluated wavelengths are held (and
// leased) until the run ends; once they exceed the work budget, they are
// dropped as they come, and the run, when no wavelength fails, is refused
// for them.
class Rounds {
 public:
  Rounds(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups, std::span<const Unit> units,
         std::span<const double> wavelengths, const EnsembleOptions& options)
      : parts_(parts), groups_(groups), units_(units), wavelengths_(wavelengths), options_(options),
        slots_(wavelengths.size()), lowest_failure_(wavelengths.size()), lowest_first_failure_(wavelengths.size()) {}

  Result<std::vector<std::vector<EnsembleResult>>> run() {
    const std::size_t n = wavelengths_.size();
    const std::size_t round_size = std::max<std::size_t>(1, ROUND_PER_THREAD * pool::thread_count());
    std::size_t next = 0;              // the first wavelength no round has taken
    std::vector<std::size_t> waiting;  // taken, not done, in order
    for (;;) {
      std::vector<std::size_t> round;
      for (const std::size_t i : waiting) {
        if (pending(i)) round.push_back(i);
      }
      while (round.size() < round_size && next < std::min(n, lowest_first_failure_.load())) round.push_back(next++);
      if (round.empty()) break;
      // The first passes where they are not done yet, then the second passes
      // that may still give the run's outcome.
      std::vector<std::size_t> first;
      for (const std::size_t i : round) {
        if (!slots_[i].passed) first.push_back(i);
      }
      step(first, &Rounds::first_pass_of, Together::Always);
      std::vector<std::size_t> second;
      std::size_t most = 0;  // the work memory of every second pass with all its workers
      for (const std::size_t i : round) {
        if (!slots_[i].passed || slots_[i].done()) continue;
        if (!pending(i)) {
          slots_[i].records.reset();
          slots_[i].plan.reset();
          continue;
        }
        second.push_back(i);
        most = sat_add(most, slots_[i].plan->most_bytes);
      }
      step(second, &Rounds::second_pass_of, most <= memory::work_free() ? Together::Always : Together::AfterFirst);
      waiting.clear();
      for (const std::size_t i : round) {
        if (pending(i)) waiting.push_back(i);
      }
    }
    if (const std::optional<Result<std::vector<std::vector<EnsembleResult>>>> failure = failure_of_run()) {
      return std::move(*failure);
    }
    std::vector<std::vector<EnsembleResult>> out;
    out.reserve(n);
    for (Slot& slot : slots_) {
      VANTOK_ASSERT(slot.outcome.has_value());
      out.push_back(std::move(**slot.outcome));
    }
    if (outputs_dropped_) {
      require_bytes(sat_mul(outputs_.load(), sizeof(double)),
                    "the outputs of " + fmt::plain(static_cast<std::uint64_t>(n)) + " wavelengths");
    }
    return out;
  }

 private:
  // Whether the first wavelength of a step runs beside the others from the
  // start, or first and alone (when their work may not fit the budget
  // together: the others could take what is free before it takes its least
  // piece, which it then takes beyond the budget).
  enum class Together : std::uint8_t { Always, AfterFirst };

  // of(indices[k], claim) for every k of the ascending indices, in parallel:
  // the first with the claim that may exceed what is free, the others with
  // claims that give way; with AfterFirst, the first alone before the others.
  // Each under a token of its own: a wavelength stopped because one below it
  // failed drops its work (its leases are given back) and is not evaluated
  // further.
  void step(std::span<const std::size_t> indices, void (Rounds::*of)(std::size_t, const Claim&), Together together) {
    if (indices.empty()) return;
    std::deque<Dropped> tokens;
    for (std::size_t k = 0; k < indices.size(); ++k) tokens.emplace_back(stop::current());
    // Read by note() in the step's work, which the loops below start and end.
    running_ = {indices, &tokens};
    const auto one = [&](std::size_t k, bool first) {
      try {
        const stop::Scope scope(tokens[k]);
        (this->*of)(indices[k], Claim(first));
      } catch (const stop::Stopped&) {
        if (tokens[k].call_stopped()) throw;
        slots_[indices[k]].records.reset();
        slots_[indices[k]].plan.reset();
      }
    };
    const bool first_alone = together == Together::AfterFirst;
    if (first_alone) pool::for_each_index(1, [&](std::size_t) { one(0, true); });
    const std::size_t from = first_alone ? 1 : 0;
    pool::for_each_index(
        indices.size() - from, [&](std::size_t k) { one(from + k, !first_alone && k == 0); }, pool::Grain::One);
    running_ = {};
    // The outputs held now, leased; all of them dropped once they exceed the
    // budget.
    held_ = memory::Lease{};
    if (outputs_dropped_) {
      for (Slot& slot : slots_) {
        if (slot.outcome && *slot.outcome) (*slot.outcome)->clear();
      }
    } else {
      const std::size_t bytes = sat_mul(outputs_.load(), sizeof(double));
      held_ = memory::lease(bytes, bytes);
    }
  }

  // Whether wavelength i has work left that may give the run's outcome: its
  // first pass, below the lowest first-pass failure; its second pass, while
  // no first pass failed and no second pass below it did.
  bool pending(std::size_t i) const {
    const Slot& slot = slots_[i];
    if (slot.done() || i >= lowest_first_failure_.load()) return false;
    return !slot.passed || (lowest_first_failure_.load() == slots_.size() && i < lowest_failure_.load());
  }

  // The run's error, when a wavelength failed: the refusal or error of the
  // lowest failing first pass, else of the lowest failing second pass.
  std::optional<Result<std::vector<std::vector<EnsembleResult>>>> failure_of_run() {
    const std::size_t first = lowest_first_failure_.load();
    const std::size_t any = lowest_failure_.load();
    if (any == slots_.size()) return std::nullopt;
    Slot& slot = slots_[first < slots_.size() ? first : any];
    if (slot.refusal) std::rethrow_exception(slot.refusal);
    return std::unexpected(std::move(*slot.outcome).error());
  }

  // lowest_index = min(lowest_index, i), as other wavelengths may lower it too.
  static void lower_to(std::atomic<std::size_t>& lowest_index, std::size_t i) {
    std::size_t lowest = lowest_index.load();
    while (i < lowest && !lowest_index.compare_exchange_weak(lowest, i)) {
    }
  }

  // Lowers the lowest failing index (and, for a failure found with the first
  // pass, the lowest such index) to i when wavelength i failed, and stops the
  // wavelengths above it that run now.
  void note(std::size_t i) {
    if (!slots_[i].failed()) return;
    lower_to(lowest_failure_, i);
    if (slots_[i].failed_first()) lower_to(lowest_first_failure_, i);
    for (std::size_t k = 0; k < running_.indices.size(); ++k) {
      if (running_.indices[k] > i) (*running_.tokens)[k].request();
    }
  }

  // The first pass of wavelength i, its second pass's plan, and the refusal
  // of a second pass beyond the whole budget; nothing when a lower wavelength
  // has failed already.
  void first_pass_of(std::size_t i, const Claim& claim) {
    if (i > lowest_first_failure_.load()) return;
    Slot& slot = slots_[i];
    const double lambda = wavelengths_[i];
    try {
      auto records = first_pass(parts_, groups_, lambda, i, options_, claim);
      if (!records) {
        slot.outcome = std::unexpected(std::move(records).error());
      } else if (auto plan = plan_second_pass(parts_, groups_, *records, units_, lambda, i, options_); !plan) {
        slot.outcome = std::unexpected(std::move(plan).error());
      } else {
        require_bytes(plan->bytes, plan->what(lambda));
        slot.records = std::move(*records);
        slot.plan = std::move(*plan);
        slot.passed = true;
      }
    } catch (const GiveWay&) {
      // Its first pass again in a later round.
    } catch (const memory::Refused&) {
      slot.refusal = std::current_exception();
    }
    note(i);
  }

  // The second pass and the outputs of wavelength i; nothing when a lower
  // wavelength has failed already.
  void second_pass_of(std::size_t i, const Claim& claim) {
    if (i > lowest_failure_.load()) return;
    Slot& slot = slots_[i];
    try {
      slot.outcome = finish(parts_, groups_, units_, *slot.records, wavelengths_[i], i, options_, claim, &*slot.plan);
      slot.records.reset();
      slot.plan.reset();
      if (*slot.outcome) {
        const std::size_t values = output_values(**slot.outcome);
        const std::size_t total = outputs_.fetch_add(values) + values;
        if (sat_mul(total, sizeof(double)) > memory::work_budget()) outputs_dropped_ = true;
        if (outputs_dropped_) (*slot.outcome)->clear();
      }
    } catch (const GiveWay&) {
      // Waits for a later round with its first pass, without the node
      // solutions it kept (the second pass solves those nodes again).
      for (Pass1& record : *slot.records) record.solutions.clear();
    } catch (const memory::Refused&) {
      slot.refusal = std::current_exception();
      slot.records.reset();
      slot.plan.reset();
    }
    note(i);
  }

  std::span<const Part> parts_;
  std::span<const std::vector<std::size_t>> groups_;
  std::span<const Unit> units_;
  std::span<const double> wavelengths_;
  const EnsembleOptions& options_;
  std::vector<Slot> slots_;
  // The lowest failing wavelength seen, and the lowest whose failure was
  // found with its first pass (the count of wavelengths when none).
  std::atomic<std::size_t> lowest_failure_;
  std::atomic<std::size_t> lowest_first_failure_;
  // The wavelengths of the step that runs, and their tokens.
  struct Running {
    std::span<const std::size_t> indices;
    std::deque<Dropped>* tokens = nullptr;
  } running_;
  // The doubles of the outputs of every wavelength evaluated, and their lease.
  std::atomic<std::size_t> outputs_{0};
  std::atomic<bool> outputs_dropped_{false};
  memory::Lease held_;
};

bool has_particle_parameters(std::span<const EnsembleParam> params) {
  for (const EnsembleParam& p : params) {
    if (!std::holds_alternative<param::Distribution>(p.kind) && !std::holds_alternative<param::Weight>(p.kind)) {
      return true;
    }
  }
  return false;
}

// Bit for bit: the batch gives every component a copy of one particle, and a
// NaN among its refractive indices (refused where the particle is first
// evaluated, as in any run) is the same NaN in every copy, though it compares
// unequal to itself.
bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_bits(const Complex<double>& a, const Complex<double>& b) {
  return same_bits(a.re, b.re) && same_bits(a.im, b.im);
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return std::ranges::equal(a, b, [](const T& x, const T& y) { return same_bits(x, y); });
}

bool same_particle(const Particle& a, const Particle& b) {
  const auto* sa = a.get_if<Sphere>();
  const auto* sb = b.get_if<Sphere>();
  if (sa != nullptr || sb != nullptr) return sa != nullptr && sb != nullptr && same_bits(sa->m, sb->m);
  const auto& la = std::get<LayeredSphere>(a.kind);
  const auto& lb = std::get<LayeredSphere>(b.kind);
  return same_bits(la.radius_fractions, lb.radius_fractions) && same_bits(la.layers, lb.layers);
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
  VANTOK_TRY(per_wavelength, Rounds(all, groups, units, wavelengths, options).run());
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
  // One pass over the parts (each unit's parts in increasing order): a scan
  // of every part per component would take time quadratic in the number of
  // distributions.
  std::vector<Unit> units;
  units.reserve(components.size());
  for (const Component& c : components) units.push_back(Unit{{}, c.weight});
  for (std::size_t p = 0; p < all.size(); ++p) units[all[p].component_index].parts.push_back(p);
  VANTOK_TRY(per_wavelength, Rounds(all, groups, units, wavelengths, options).run());
  // Component-major: sequence k holds every wavelength's k-th result.
  std::vector<std::vector<EnsembleResult>> out(components.size());
  for (std::vector<EnsembleResult>& results : per_wavelength) {
    VANTOK_ASSERT(results.size() <= components.size());
    for (std::size_t k = 0; k < results.size(); ++k) out[k].push_back(std::move(results[k]));
  }
  return out;
}

}  // namespace vantok::ensemble::engine
