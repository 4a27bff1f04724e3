// The second pass's products over one panel: the node quantities of the 15
// G7-K15 nodes as the columns of a matrix Q' (quantity x node), the
// quadrature weights of every weight column as the columns of W' (node x
// column), one product Q' W' for every Kronrod and Gauss estimate (per
// particle slot its own Q' with the n(r) weights), the band's phase matrix
// from the fast products; then the group's sums over its panels, a batch of
// panels in parallel, summed in chunks of four in panel order.
#include "ensemble/detail_second_pass_group.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "ensemble/detail_workers.hpp"
#include "vantok/constants.hpp"

namespace vantok::ensemble::engine::pass2 {

using ensemble::detail::KRONROD_NODES;
using matrix::Mat;

using constants::FOUR_PI;

namespace {

// The entry of a range, appended (zeroed) when met for the first time.
RangeSums& range_of(PartSums& sums, std::size_t lo, std::size_t hi, std::size_t columns) {
  for (RangeSums& r : sums) {
    if (r.lo == lo && r.hi == hi) return r;
  }
  const std::size_t size = (hi - lo) * columns;
  sums.push_back({lo, hi, std::vector<double>(size, 0.0), std::vector<double>(size, 0.0)});
  return sums.back();
}

void merge(PartSums& into, const PartSums& from) {
  for (const RangeSums& r : from) {
    RangeSums& target = range_of(into, r.lo, r.hi, r.sums.size() / (r.hi - r.lo));
    VANTOK_ASSERT(target.sums.size() == r.sums.size());
    for (std::size_t i = 0; i < r.sums.size(); ++i) {
      target.sums[i] += r.sums[i];
      target.errors[i] += r.errors[i];
    }
  }
}

// The band's phase matrix at all its cosines for every node, from the two
// products, with the weight 4π r²/x² (π r² times the factor 4/x²).
void band_phase(Scratch& s, const GroupPlan& plan, const Band& band, std::size_t n_panel,
                const std::array<double, KRONROD_NODES>& radii, std::size_t base) {
  // The band's rows of the panel's quantity matrices, after the base range.
  const PhaseBlock rows{base, band.n_nodes};
  s.products.multiply(band, n_panel);
  for (std::size_t j = 0; j < KRONROD_NODES; ++j) {
    const double r = radii[j];
    const double x = size_parameter(r, plan.wavelength);
    const double omega = FOUR_PI * (r * r) / (x * x);
    for (std::size_t sl = 0; sl < plan.slots; ++sl) {
      s.slot_blocks[sl] = rows.of(s.slot_values[sl].column(j));
    }
    s.products.node_phase(band, j, omega, rows.of(s.values.column(j)), s.slot_blocks);
  }
}

// Kronrod K and Gauss G of every entry and weight column.
PanelSums estimates(Scratch& s, const GroupPlan& plan, const Band* band, std::size_t base) {
  PanelSums out;
  out.base = base;
  if (band != nullptr) {
    out.band_lo = band->phase().offset;
    out.band_hi = band->phase().end();
  }
  matrix::matmul(out.values, s.values, s.weights, KRONROD_NODES);
  out.slots.resize(plan.slots);
  for (std::size_t sl = 0; sl < plan.slots; ++sl) {
    matrix::matmul(out.slots[sl], s.slot_values[sl], s.particle_weights, KRONROD_NODES);
  }
  return out;
}

}  // namespace

Result<PanelSums> panel(Scratch& s, const GroupPlan& plan, double a, double b, const PanelSolutions* kept) {
  const Layout& layout = *plan.layout;
  const std::size_t base = base_quantities(layout.mu.size());
  size_buffers(s, plan);
  const Band* band = nullptr;
  std::size_t n_panel = 0;
  if (!layout.bands.empty()) {
    VANTOK_TRY(terms, panel_terms(*plan.optics, plan.options, a, b, plan.wavelength));
    n_panel = terms;
    band = layout.band(band_key(n_panel));
    if (band == nullptr) return std::unexpected(no_band(n_panel));
    s.products.prepare(*band, plan.complex_blocks, plan.real_blocks, n_panel);
  }
  const std::size_t rows = base + (band != nullptr ? band->phase().size() : 0);
  s.values.reshape(rows, KRONROD_NODES);
  for (Mat& m : s.slot_values) m.reshape(rows, KRONROD_NODES);
  s.weights.reshape(KRONROD_NODES, 2 * plan.kronrod_columns);
  s.particle_weights.reshape(KRONROD_NODES, 2 * plan.particle_columns);

  const detail::PanelRule rule(a, b);
  std::array<double, KRONROD_NODES> radii{};
  std::array<double, KRONROD_NODES> xs{};
  for (std::size_t j = 0; j < KRONROD_NODES; ++j) {
    radii[j] = std::exp(rule.node(j).t);
    xs[j] = size_parameter(radii[j], plan.wavelength);
  }
  // The first pass's solutions when it kept them, else the 15 nodes solved
  // side by side; a node that fails its checks ends the panel when it is
  // reached, after the nodes before it.
  VANTOK_ASSERT(kept == nullptr || kept->size() == KRONROD_NODES);
  std::optional<particle::Solver::NodeFailure> failure;
  if (kept == nullptr) failure = s.node.solver.solve_nodes(*plan.optics, plan.options, plan.slots > 0, xs);
  for (std::size_t j = 0; j < KRONROD_NODES; ++j) {
    const double r = radii[j];
    if (failure && failure->node == j) return std::unexpected(context(std::move(failure->error), plan.wavelength, r));
    const ProductsAt at = band != nullptr ? ProductsAt{&s.products, j} : ProductsAt{};
    const particle::NodeSolution given = kept != nullptr ? kept->node(j) : s.node.solver.node(j);
    VANTOK_CHECK(quantities2(s.node, *plan.optics, plan.options, layout, s.q, s.slot_views, {}, n_panel, at, r,
                             plan.wavelength, &given));
    std::copy_n(s.q.begin(), base, s.values.column(j).begin());
    for (std::size_t sl = 0; sl < plan.slots; ++sl) {
      std::copy_n(s.slot_q[sl].begin(), base, s.slot_values[sl].column(j).begin());
    }
    node_weights(s, plan, j, rule.node(j), r);
  }
  if (band != nullptr) band_phase(s, plan, *band, n_panel, radii, base);
  return estimates(s, plan, band, base);
}

void add_panel(std::vector<PartSums>& out, const GroupPlan& plan, const PanelSums& p) {
  const std::size_t c_kronrod = plan.kronrod_columns;
  const std::size_t c_particle = plan.particle_columns;
  struct Range {
    std::size_t lo;
    std::size_t hi;
    std::size_t row;
  };
  const std::array<Range, 2> ranges{Range{0, p.base, 0}, Range{p.band_lo, p.band_hi, p.base}};
  auto add = [](RangeSums& target, std::size_t c, std::size_t len, const Mat& m, std::size_t row,
                std::size_t k_col, std::size_t g_col) {
    for (std::size_t k = 0; k < len; ++k) {
      const double kronrod = m(row + k, k_col);
      const double gauss = m(row + k, g_col);
      target.sums[c * len + k] += kronrod;
      target.errors[c * len + k] += std::fabs(kronrod - gauss);
    }
  };
  for (std::size_t i = 0; i < plan.parts.size(); ++i) {
    const PartColumns& cols = plan.columns[i];
    const std::size_t columns = plan.weight_columns(i);
    for (const Range& range : ranges) {
      if (range.hi == range.lo) continue;
      RangeSums& target = range_of(out[i], range.lo, range.hi, columns);
      const std::size_t len = range.hi - range.lo;
      for (std::size_t c = 0; c < 1 + cols.distribution; ++c) {
        add(target, c, len, p.values, range.row, cols.first + c, c_kronrod + cols.first + c);
      }
    }
  }
  for (std::size_t sl = 0; sl < p.slots.size(); ++sl) {
    for (std::size_t i = 0; i < plan.parts.size(); ++i) {
      const PartColumns& cols = plan.columns[i];
      if (!cols.particle) continue;
      for (const Range& range : ranges) {
        if (range.hi == range.lo) continue;
        RangeSums& target = range_of(out[i], range.lo, range.hi, plan.weight_columns(i));
        add(target, 1 + cols.distribution + sl, range.hi - range.lo, p.slots[sl], range.row, *cols.particle,
            c_particle + *cols.particle);
      }
    }
  }
}

Result<std::vector<PartSums>> group_totals(const GroupPlan& plan, const Pass1& record, std::size_t n_parts,
                                           std::size_t batch, std::vector<Scratch>& scratch) {
  const std::span<const std::pair<double, double>> panels = record.panels;
  VANTOK_ASSERT(record.solutions.empty() || record.solutions.size() == panels.size());
  VANTOK_ASSERT(batch % CHUNK_PANELS == 0);
  std::vector<PartSums> totals(n_parts);
  for (std::size_t start = 0; start < panels.size(); start += batch) {
    const std::size_t end = std::min(panels.size(), start + batch);
    std::vector<std::optional<Result<PanelSums>>> results(end - start);
    ensemble::detail::by_workers(end - start, scratch, [&](std::size_t k, Scratch& s) {
      const std::size_t i = start + k;
      const PanelSolutions* kept = record.solutions.empty() ? nullptr : record.solutions[i].get();
      results[k] = panel(s, plan, panels[i].first, panels[i].second, kept);
    });
    for (std::size_t first = 0; first < results.size(); first += CHUNK_PANELS) {
      std::vector<PartSums> chunk(n_parts);
      for (std::size_t k = first; k < std::min(results.size(), first + CHUNK_PANELS); ++k) {
        VANTOK_ASSERT(results[k].has_value());
        if (!*results[k]) return std::unexpected(std::move(*results[k]).error());
        add_panel(chunk, plan, **results[k]);
        results[k].reset();
      }
      for (std::size_t j = 0; j < n_parts; ++j) merge(totals[j], chunk[j]);
    }
  }
  return totals;
}

}  // namespace vantok::ensemble::engine::pass2
