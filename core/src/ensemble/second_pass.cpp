// The second pass of the wavelength engine: its plan (band keys, order limit,
// work memory), then per group the final panels of the first pass integrated
// once more for every quantity of the outputs (second_pass_products.cpp), the
// part averages with their errors (second_pass_averages.cpp), the mixture
// sums of every output distribution (second_pass_mixture.cpp) and, with Greek
// coefficients, the projection.
//
// Per panel, the node quantities of the 15 G7-K15 nodes are the columns of a
// matrix Q' (quantity x node), and the quadrature weights of all weight
// columns of all parts (Kronrod columns, then Gauss columns) the columns of W'
// (node x column), so that one product Q' W' gives every Kronrod and Gauss
// estimate of the panel. A part's weight columns are n(r), then dn/dp per
// requested distribution parameter, then, with particle parameters, one
// column per particle slot, whose products come from the slot's own Q' with
// the n(r) weights. The nodes are those of the first pass's final panels, so
// the particle solutions the first pass kept serve again instead of a second
// solve. The panels of a batch are evaluated in parallel (the heavy panels of
// large particles spread over the threads); results never depend on
// scheduling: on the calling task, each chunk's panels are summed in panel
// order and the chunks' sums merged in chunk order, batch by batch.
#include "ensemble/detail_second_pass.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "ensemble/detail_second_pass_group.hpp"
#include "ensemble/detail_workers.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

namespace vantok::ensemble::engine {

using pass2::GroupBytes;
using pass2::GroupPlan;
using pass2::plan_group;
using pass2::point_averages;
using pass2::projection_bytes;

Result<SecondPassPlan> plan_second_pass(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups,
                                        std::span<const Pass1> records, std::span<const Unit> units,
                                        double wavelength, std::size_t index, const EnsembleOptions& options) {
  VANTOK_ASSERT(groups.size() == records.size());
  SecondPassPlan plan;
  // Bands: one per key of the panels' term counts (and of the monodisperse
  // groups' term counts), only when Greek coefficients are requested.
  const bool greek = options.greek.kind != GreekSelection::Kind::Off;
  std::size_t n_max = 0;
  for (const Pass1& record : records) n_max = std::max(n_max, record.max_terms);
  plan.order_limit = greek_order_limit(options.greek, n_max);
  if (greek) {
    VANTOK_TRY(found, band_keys(parts, groups, records, wavelength, index, options));
    plan.keys = std::move(found);
  }
  VANTOK_TRY(storage, layout_storage(plan.keys, plan.order_limit));

  const std::size_t n_mu = options.mu.size();
  SecondPassPlan::Sizes& dim = plan.sizes;
  dim.quantities = base_quantities(n_mu);
  dim.rows = base_quantities(n_mu);
  for (const std::size_t key : plan.keys) {
    const std::size_t n = band_nodes(key, plan.order_limit);
    dim.quantities = sat_add(dim.quantities, sat_mul<std::size_t>(4, n));
    dim.largest_key = std::max(dim.largest_key, key);
    dim.largest_nodes = std::max(dim.largest_nodes, n);
    dim.largest_half = std::max(dim.largest_half, n - n / 2);
  }
  dim.rows = sat_add(dim.rows, sat_mul<std::size_t>(4, dim.largest_nodes));
  // Every node lies within its group's final range.
  for (const Pass1& record : records) dim.terms = std::max(dim.terms, terms_bound(record.range.second, wavelength));

  constexpr std::size_t D = sizeof(double);
  const std::size_t params = options.params.size();
  std::size_t bytes = sat_mul(storage, D);
  // The unit sums, and every part's averages with their derivatives.
  bytes = sat_add(bytes, sat_mul(sat_mul(dim.quantities, sat_mul(units.size(), 1 + params)), 2 * D));
  for (const Part& part : parts) {
    std::size_t columns = 1 + part.dist_params.size() + part.particle_params.size();
    bytes = sat_add(bytes, sat_mul(sat_mul(dim.quantities, columns), 2 * D));
  }
  bytes = sat_add(bytes, projection_bytes(plan.keys, plan.order_limit, units.size(), params, n_mu));
  // The largest group's sums, with one worker and one chunk of panels; with
  // a worker per thread and the largest batches.
  const mie::SolveOptions solve_options{std::nullopt, options.allow_unvalidated};
  const Layout none;
  std::size_t group_least = 0;
  std::size_t group_most = 0;
  for (std::size_t k = 0; k < groups.size(); ++k) {
    const particle::Optics optics = particle::Optics::at(parts[groups[k].front()].component->particle, index);
    const GroupPlan group_plan = plan_group(parts, groups[k], optics, solve_options, none, wavelength);
    const GroupBytes g = group_bytes(group_plan, dim, optics, n_mu);
    const std::size_t columns = group_plan.total_weight_columns();
    const std::size_t least = sat_add(sat_add(g.sums, g.worker), sat_mul(pass2::CHUNK_PANELS, g.panel));
    const std::size_t workers = std::max<std::size_t>(1, std::min(records[k].panels.size(), pool::thread_count()));
    const std::size_t batch = batch_panels(columns, n_mu, dim.largest_nodes);
    const std::size_t extra = sat_add(sat_mul(workers - 1, g.worker), sat_mul(batch - pass2::CHUNK_PANELS, g.panel));
    group_least = std::max(group_least, least);
    group_most = std::max(group_most, sat_add(least, extra));
  }
  plan.bytes = sat_add(bytes, group_least);
  plan.most_bytes = sat_add(bytes, group_most);
  return plan;
}

std::string SecondPassPlan::what(double wavelength) const {
  return std::string(!keys.empty() ? "the angular tables and sums of the Greek quadrature" : "the second pass's sums") +
         " at wavelength " + fmt::exp(wavelength);
}

Result<SecondPass> second_pass(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups,
                               std::span<const Pass1> records, std::span<const Unit> units, double wavelength,
                               std::size_t index, const EnsembleOptions& options, const Claim& claim,
                               const SecondPassPlan* given) {
  VANTOK_ASSERT(groups.size() == records.size());
  std::optional<SecondPassPlan> own;
  if (given == nullptr) {
    VANTOK_TRY(made, plan_second_pass(parts, groups, records, units, wavelength, index, options));
    own = std::move(made);
  }
  const SecondPassPlan& plan = given != nullptr ? *given : *own;
  SecondPass out;
  out.work = claim.take(plan.bytes, plan.bytes, [&] { return plan.what(wavelength); });
  const mie::SolveOptions solve_options{std::nullopt, options.allow_unvalidated};
  std::vector<particle::Optics> optics;
  optics.reserve(groups.size());
  for (const std::vector<std::size_t>& group : groups) {
    VANTOK_ASSERT(!group.empty());
    for (const std::size_t p : group) VANTOK_ASSERT(p < parts.size());
    optics.push_back(particle::Optics::at(parts[group.front()].component->particle, index));
  }

  const bool greek = options.greek.kind != GreekSelection::Kind::Off;
  out.order_limit = plan.order_limit;
  VANTOK_TRY(bands, layout(plan.keys, out.order_limit, options.mu));
  out.layout = std::move(bands);
  const Layout& lay = out.layout;
  VANTOK_ASSERT(lay.n_quantities == plan.sizes.quantities);
  const std::size_t largest_band = plan.sizes.largest_nodes;
  const std::size_t n_mu = lay.mu.size();

  std::vector<PartAverages> averages(parts.size());
  for (std::size_t g = 0; g < groups.size(); ++g) {
    stop::check();
    const std::vector<std::size_t>& group = groups[g];
    const Pass1& record = records[g];
    if (std::holds_alternative<support::Point>(parts[group.front()].support)) {
      VANTOK_ASSERT(group.size() == 1);
      NodeScratch node;
      VANTOK_TRY(point, point_averages(parts[group.front()], record.max_terms, node, optics[g], solve_options, lay,
                                       wavelength));
      averages[group.front()] = std::move(point);
      continue;
    }
    const GroupPlan group_plan = plan_group(parts, group, optics[g], solve_options, lay, wavelength);
    const std::size_t columns = group_plan.total_weight_columns();
    // The least piece (one worker, one chunk of four panels) is in the plan's
    // lease; more workers and larger batches as the budget has them free.
    const GroupBytes sizes = group_bytes(group_plan, plan.sizes, optics[g], n_mu);
    const std::size_t n_panels = record.panels.size();
    auto what = [&] { return plan.what(wavelength); };
    const memory::Lease workers = ensemble::detail::extra_workers(claim, n_panels, sizes.worker, what);
    std::vector<pass2::Scratch> scratch(ensemble::detail::worker_count(n_panels, sizes.worker, workers));
    const std::size_t most = batch_panels(columns, n_mu, largest_band);
    const memory::Lease panels = claim.take(0, sat_mul(most - pass2::CHUNK_PANELS, sizes.panel), what);
    const std::size_t chunks = sizes.panel == 0 ? most : panels.bytes() / sat_mul(pass2::CHUNK_PANELS, sizes.panel);
    const std::size_t batch = std::min(most, pass2::CHUNK_PANELS * (1 + chunks));
    VANTOK_TRY(totals, pass2::group_totals(group_plan, record, group.size(), batch, scratch));
    for (std::size_t j = 0; j < group.size(); ++j) {
      averages[group[j]] =
          part_averages(parts[group[j]], totals[j], lay.n_quantities, group_plan.slots, options.rtol);
    }
  }

  out.sums.reserve(units.size());
  for (const Unit& unit : units) {
    for (const std::size_t p : unit.parts) VANTOK_ASSERT(p < parts.size());
    out.sums.push_back(distribution_sums(parts, unit, averages, options.params, lay.n_quantities));
  }
  if (greek) out.greek = project(lay.bands, out.order_limit, out.sums);
  return out;
}

}  // namespace vantok::ensemble::engine
