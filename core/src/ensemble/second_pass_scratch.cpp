// The second pass's scratch buffers and the work memory they take: a
// worker's node buffers sized for its group, the bytes of a worker, of one
// panel's estimates and of a group's sums, the bytes of the projection and the
// outputs, and the most panels of a batch.
#include "ensemble/detail_second_pass_group.hpp"

#include <algorithm>
#include <cstdint>

#include "vantok/numeric.hpp"

namespace vantok::ensemble::engine::pass2 {

using ensemble::detail::KRONROD_NODES;

void size_buffers(Scratch& s, const GroupPlan& plan) {
  const std::size_t n_quantities = plan.layout->n_quantities;
  s.q.resize(n_quantities);
  s.slot_q.resize(plan.slots);
  s.slot_views.clear();
  for (std::vector<double>& v : s.slot_q) {
    v.resize(n_quantities);
    s.slot_views.emplace_back(v);
  }
  s.slot_values.resize(plan.slots);
  s.slot_blocks.resize(plan.slots);
  s.dn.resize(plan.density_slots);
}

GroupBytes group_bytes(const GroupPlan& plan, const SecondPassPlan::Sizes& dim, const particle::Optics& optics,
                       std::size_t n_mu) {
  constexpr std::size_t D = sizeof(double);
  const std::size_t slots = plan.slots;
  const std::size_t columns = plan.kronrod_columns + plan.particle_columns;
  const std::size_t block = 4 + 4 * (plan.complex_blocks + plan.real_blocks);
  const std::size_t layers = plan.complex_blocks;
  GroupBytes out;
  // A worker: its particle solver; the node vectors and quantity matrices of
  // the values and of each slot; the weight matrices; the fast products; the
  // amplitude sums and phase derivatives of one node's cosines.
  const std::size_t cosines = std::max(n_mu, dim.largest_nodes);
  std::size_t values = sat_mul(sat_add(dim.quantities, sat_mul(KRONROD_NODES, dim.rows)), 1 + slots);
  values = sat_add(values, sat_mul(2 * KRONROD_NODES, columns));
  values = sat_add(values, sat_mul(sat_mul(KRONROD_NODES, block), sat_add(dim.largest_key, 2 * dim.largest_half)));
  values = sat_add(values, sat_mul(cosines, 2 * (2 + 4 * layers) + 12 * layers));
  out.worker = sat_add(particle::Solver::bytes(optics, dim.terms, slots > 0, KRONROD_NODES), sat_mul(values, D));
  // One panel's Kronrod and Gauss estimates of every column.
  out.panel = sat_mul(sat_mul(dim.rows, 2 * plan.total_weight_columns()), D);
  // Every part's sums and errors over the quantity vector, for the totals and
  // a chunk's.
  out.sums = sat_mul(sat_mul(dim.quantities, plan.total_weight_columns()), 4 * D);
  return out;
}

std::size_t projection_bytes(std::span<const std::size_t> keys, std::size_t order_limit, std::size_t units,
                             std::size_t params, std::size_t n_mu) {
  constexpr std::size_t D = sizeof(double);
  const std::size_t rows = sat_mul(units, params + 1);
  std::size_t values = 0;
  std::size_t orders = 1;
  for (const std::size_t key : keys) {
    const std::size_t order = std::min(sat_mul<std::size_t>(2, key), order_limit);
    orders = std::max(orders, sat_add<std::size_t>(order, 1));
    values = sat_add(values, sat_mul(rows, sat_add(sat_mul<std::size_t>(11, band_nodes(key, order_limit)),
                                                   sat_mul<std::size_t>(60, sat_add<std::size_t>(order, 1)))));
  }
  std::size_t bytes = sat_mul(values, D);
  // Greek series: six of L + 1 Lin values per unit, each with 2P derivatives.
  const std::size_t lin = sizeof(lin::Lin) + 2 * 2 * sizeof(void*) + 2 * params * D;
  bytes = sat_add(bytes, sat_mul(sat_mul(sat_mul<std::size_t>(6, orders), units), lin));
  // The outputs of each unit: 2 + 2P records of 11 values, 6 (L + 1) Greek
  // coefficients and 4 n_mu phase values, as Lin values and then as numbers.
  const std::size_t per_record = sat_add(sat_add<std::size_t>(11, sat_mul<std::size_t>(6, orders)), 4 * n_mu);
  bytes = sat_add(bytes, sat_mul(sat_mul(sat_mul(per_record, units), 2 + 2 * params), 2 * D + lin));
  return bytes;
}

}  // namespace vantok::ensemble::engine::pass2

namespace vantok::ensemble::engine {

std::size_t batch_panels(std::size_t columns, std::size_t n_mu, std::size_t largest_band_nodes) {
  using U = std::uint64_t;
  constexpr U LIMIT = U{1} << 26;
  const U per_entry = sat_add<U>(sat_add<U>(8, sat_mul<U>(4, n_mu)), sat_mul<U>(16, largest_band_nodes));
  const U bytes = sat_mul<U>(sat_mul<U>(16, columns), per_entry);
  if (bytes > LIMIT) return 4;
  return 4 * static_cast<std::size_t>(std::min<U>(32, LIMIT / bytes));
}

}  // namespace vantok::ensemble::engine
