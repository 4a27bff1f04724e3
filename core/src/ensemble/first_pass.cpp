// The first pass of the wavelength engine: set-up of each group (breakpoints,
// range, size-parameter limit, start layout), then the iteration of
// evaluation (first_pass_evaluate.cpp), per-part status, and either bisection
// (while some integral misses its tolerance) or extension of the open range
// ends (while a tail is not negligible), within max_panels; the decision steps
// are in first_pass_steps.cpp.
#include "ensemble/detail_first_pass.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "ensemble/detail_first_pass_steps.hpp"
#include "vantok/ensemble/distribution.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

namespace vantok::ensemble::engine {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
using detail::total_order_key;

}  // namespace

namespace {

using detail::PartShape;

struct EndRequest {
  double length = INF;
  double width = INF;
};

// An extension request of one end: the parts that are open and fail that
// end's tail test, taking the shortest extension and the narrowest window.
std::optional<EndRequest> end_request(std::span<const PartShape> shapes, std::span<const PartStatus> statuses,
                                      bool low, std::size_t extensions) {
  if (extensions >= MAX_END_EXTENSIONS) return std::nullopt;
  std::optional<EndRequest> request;
  for (std::size_t j = 0; j < shapes.size(); ++j) {
    if (!shapes[j].open || (low ? statuses[j].low_ok : statuses[j].high_ok)) continue;
    if (!request) request.emplace();
    request->length = std::fmin(request->length, shapes[j].tail_length);
    request->width = std::fmin(request->width, shapes[j].window_width);
  }
  return request;
}

std::vector<Panel> unevaluated(const std::vector<std::pair<double, double>>& bounds) {
  std::vector<Panel> out;
  out.reserve(bounds.size());
  for (const auto& [a, b] : bounds) out.push_back({a, b, std::nullopt});
  return out;
}

// The breakpoints of breakpoints_of, repeats counted.
std::size_t breakpoint_count(std::span<const Part* const> parts) {
  std::size_t points = 0;
  for (const Part* part : parts) {
    if (std::holds_alternative<support::Bounded>(part->support)) points += 2;
    if (const auto* table = part->distribution->get_if<Tabulated>()) points = sat_add(points, table->radii.size());
  }
  return points;
}

// Breakpoints: the ends of bounded supports and the tabulated radii, in the
// total order of doubles, without repeats.
std::vector<double> breakpoints_of(std::span<const Part* const> parts) {
  std::vector<double> breakpoints;
  for (const Part* part : parts) {
    if (const auto* bounded = std::get_if<support::Bounded>(&part->support)) {
      breakpoints.push_back(bounded->lo);
      breakpoints.push_back(bounded->hi);
    }
    if (const auto* table = part->distribution->get_if<Tabulated>()) {
      breakpoints.insert(breakpoints.end(), table->radii.begin(), table->radii.end());
    }
  }
  std::sort(breakpoints.begin(), breakpoints.end(),
            [](double x, double y) { return total_order_key(x) < total_order_key(y); });
  breakpoints.erase(std::unique(breakpoints.begin(), breakpoints.end()), breakpoints.end());
  return breakpoints;
}

// The integration range in t = ln r and the extensions made at each end.
struct Ends {
  double t_lo;
  double t_hi;
  std::size_t low_extensions;
  std::size_t high_extensions;
};

// Extends the requested ends by unevaluated panels, low end first; false when
// an extension would pass the panel limit (a low extension already made stays).
bool extend_ends(std::vector<Panel>& panels, const std::optional<EndRequest>& low,
                 const std::optional<EndRequest>& high, Ends& ends, std::size_t max_panels, double wavelength) {
  if (low) {
    const auto added = initial_panels({}, [w = low->width](double) { return w; }, max_panels,
                                      ends.t_lo - low->length, ends.t_lo, wavelength);
    if (panels.size() + added.size() > max_panels) return false;
    std::vector<Panel> extended = unevaluated(added);
    extended.insert(extended.end(), std::make_move_iterator(panels.begin()), std::make_move_iterator(panels.end()));
    panels = std::move(extended);
    ++ends.low_extensions;
    ends.t_lo = ends.t_lo - low->length;
  }
  if (high) {
    const auto added = initial_panels({}, [w = high->width](double) { return w; }, max_panels, ends.t_hi,
                                      ends.t_hi + high->length, wavelength);
    if (panels.size() + added.size() > max_panels) return false;
    for (const auto& [a, b] : added) panels.push_back({a, b, std::nullopt});
    ++ends.high_extensions;
    ends.t_hi = ends.t_hi + high->length;
  }
  return true;
}

}  // namespace

std::size_t panel_bytes(std::span<const Part* const> parts, std::size_t n_q) {
  // The panel's record, twice while a bisection rebuilds the list; per part
  // its Sums1: four vectors of (1 + D) Q entries, Q absolute values and D Q
  // absolute derivatives, with each vector's allocation overhead.
  std::size_t bytes = 2 * sizeof(Panel);
  for (const Part* part : parts) {
    const std::size_t d = part->dist_params.size();
    const std::size_t entries = sat_add(sat_mul(sat_mul<std::size_t>(4, 1 + d), n_q), sat_mul(1 + d, n_q));
    bytes = sat_add(bytes, sat_add(sizeof(Sums1) + 6 * 2 * sizeof(void*), sat_mul(entries, sizeof(double))));
  }
  return bytes;
}

Result<Pass1Run> pass1(std::span<const Part* const> parts, const particle::Optics& optics, double wavelength,
                       const EnsembleOptions& options, const FirstPassLayout& layout,
                       const std::shared_ptr<SolutionBudget>& budget, const Claim& claim) {
  VANTOK_ASSERT(!parts.empty());
  // A tabulated distribution puts a breakpoint at each radius, and a panel
  // boundary at each breakpoint: the breakpoints, the start layout and its
  // panels are leased before they are laid out (with the panels' sums, the
  // lease is taken anew before each evaluation below).
  const std::size_t per_panel = panel_bytes(parts, layout.size());
  auto what = [&] { return "the first pass's panel sums at wavelength " + fmt::exp(wavelength); };
  const std::size_t layout_bytes = sat_mul(breakpoint_count(parts), sat_add(4 * sizeof(double), per_panel));
  memory::Lease sums = claim.take(layout_bytes, layout_bytes, what);
  const std::vector<double> breakpoints = breakpoints_of(parts);
  double r_lo = INF;
  double r_hi = 0.0;
  for (const Part* part : parts) {
    r_lo = std::fmin(r_lo, part->range.first);
    r_hi = std::fmax(r_hi, part->range.second);
  }
  const double x_max = size_parameter(r_hi, wavelength);
  if (x_max > MAX_SIZE_PARAMETER) {
    return std::unexpected(context(Error::invalid_input("the integration range reaches size parameter " +
                                                        fmt::exp(x_max) + ", above the accepted " +
                                                        fmt::exp(MAX_SIZE_PARAMETER)),
                                   wavelength, r_hi));
  }
  Ends ends{std::log(r_lo), std::log(r_hi), 0, 0};

  std::vector<PartShape> shapes;
  for (const Part* part : parts) shapes.push_back(detail::part_shape(*part));
  // The widest start panel at t: 0.5, narrowed to the window of every part
  // whose range holds t.
  const auto width = [&](double t) {
    double w = 0.5;
    for (const PartShape& shape : shapes) {
      if (shape.window_lo <= t && t < shape.window_hi) w = std::fmin(w, shape.window_width);
    }
    return w;
  };
  std::vector<Panel> panels =
      unevaluated(initial_panels(breakpoints, width, options.max_panels, ends.t_lo, ends.t_hi, wavelength));
  VANTOK_ASSERT(!panels.empty());

  const mie::SolveOptions solve_options{std::nullopt, options.allow_unvalidated};
  std::vector<PartStatus> statuses(parts.size());
  for (;;) {
    // Every panel's sums live until the pass ends: leased, for the panels as
    // they are now, before the pending ones are evaluated.
    sums = memory::Lease{};
    const std::size_t bytes = sat_mul(panels.size(), per_panel);
    sums = claim.take(bytes, bytes, what);
    for (auto& result : pass1_evaluate(panels, parts, wavelength, optics, solve_options, layout,
                                       budget, claim)) {
      if (!result) return std::unexpected(std::move(result).error());
    }
    for (std::size_t j = 0; j < parts.size(); ++j) {
      statuses[j] =
          detail::part_status(panels, j, layout, options.rtol, options.refine_backscatter, shapes[j].tail_length);
    }
    const bool interior_ok =
        std::all_of(statuses.begin(), statuses.end(), [](const PartStatus& s) { return s.interior_ok; });
    if (!interior_ok) {
      const std::vector<std::size_t> chosen = detail::choose_bisections(panels, statuses, options.max_panels);
      if (chosen.empty()) break;
      detail::bisect(panels, chosen);
      continue;
    }
    // Both requests come from this iteration's statuses, before either end moves.
    const auto low = end_request(shapes, statuses, true, ends.low_extensions);
    const auto high = end_request(shapes, statuses, false, ends.high_extensions);
    if (!low && !high) break;
    if (!extend_ends(panels, low, high, ends, options.max_panels, wavelength)) break;
  }
  std::vector<bool> converged;
  for (std::size_t j = 0; j < parts.size(); ++j) {
    const PartStatus& s = statuses[j];
    converged.push_back(s.interior_ok && (!shapes[j].open || (s.low_ok && s.high_ok)));
  }
  return Pass1Run{std::move(panels), std::move(statuses), std::move(converged), ends.t_lo, ends.t_hi};
}

Pass1 finish(std::vector<Panel> panels, std::vector<bool> converged, double t_lo, double t_hi) {
  Pass1 out;
  out.panels.reserve(panels.size());
  for (Panel& panel : panels) {
    out.panels.emplace_back(panel.a, panel.b);
    out.solutions.push_back(std::move(panel.solutions));
    if (panel.sums && !panel.sums->empty()) out.max_terms = std::max(out.max_terms, panel.sums->front().max_terms);
  }
  out.converged = std::move(converged);
  out.range = {std::exp(t_lo), std::exp(t_hi)};
  return out;
}

Result<std::vector<Pass1>> first_pass(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups,
                                      double wavelength, std::size_t index, const EnsembleOptions& options,
                                      const Claim& claim) {
  std::vector<Pass1> records;
  records.reserve(groups.size());
  const auto budget = std::make_shared<SolutionBudget>(SOLUTION_BUDGET);
  for (const std::vector<std::size_t>& group : groups) {
    stop::check();
    VANTOK_ASSERT(!group.empty());
    std::vector<const Part*> members;
    for (std::size_t i : group) {
      VANTOK_ASSERT(i < parts.size());
      members.push_back(&parts[i]);
    }
    const Part& first = *members.front();
    // The optics and the particle parameters of the first part stand for the group.
    for (const Part* member : members) VANTOK_ASSERT(member->particle_params == first.particle_params);
    const particle::Optics optics = particle::Optics::at(first.component->particle, index);

    if (const auto* point = std::get_if<support::Point>(&first.support)) {
      const double r = point->radius;
      auto n_terms = optics.n_terms({std::nullopt, options.allow_unvalidated}, size_parameter(r, wavelength));
      if (!n_terms) return std::unexpected(context(std::move(n_terms).error(), wavelength, r));
      records.push_back(Pass1{{}, {true}, *n_terms, {r, r}, {}});
      continue;
    }
    std::size_t requested = 0;
    for (const auto& slot : first.particle_params) requested += slot.has_value() ? 1 : 0;
    const FirstPassLayout layout(options.refine_order, requested);
    VANTOK_TRY(run, pass1(members, optics, wavelength, options, layout, budget, claim));
    records.push_back(finish(std::move(run.panels), std::move(run.converged), run.t_lo, run.t_hi));
  }
  return records;
}

}  // namespace vantok::ensemble::engine
