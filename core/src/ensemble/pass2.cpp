// The second pass of the wavelength engine: the groups' final panels
// integrated once more for every quantity of the outputs, summed in chunks of
// four panels; the part averages with their errors; and the mixture sums of
// every output distribution.
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

#include "ensemble/detail_kronrod.hpp"
#include "ensemble/detail_workers.hpp"
#include "vantok/ensemble/distribution.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/memory.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>

namespace vantok::ensemble::engine {

namespace {

using detail::KRONROD_NODES;
using matrix::Mat;
using PartSums = std::vector<RangeSums>;

constexpr double FOUR_PI = 12.566370614359172;

// Where a part's weight columns lie: its value and distribution-parameter
// columns in W' (Kronrod at `first`, Gauss at C + `first`), and its n(r)
// column among the particle weights when it has requested particle
// parameters.
struct PartColumns {
  std::size_t first;
  std::size_t distribution;
  std::optional<std::size_t> particle;
};

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

// What the panels of one group share, read-only.
struct GroupPlan {
  std::vector<const Part*> parts;
  std::vector<Density> densities;
  std::vector<PartColumns> columns;
  // C: the value and distribution columns of all parts; C_p: the parts with
  // particle columns.
  std::size_t kronrod_columns = 0;
  std::size_t particle_columns = 0;
  // Particle slots per node (0 when no particle parameter is requested), and
  // the fast products' complex and real blocks.
  std::size_t slots = 0;
  std::size_t complex_blocks = 0;
  std::size_t real_blocks = 0;
  std::size_t density_slots = 0;
  const particle::Optics* optics = nullptr;
  mie::SolveOptions options;
  const Layout* layout = nullptr;
  double wavelength = 0.0;

  std::size_t weight_columns(std::size_t j) const {
    return 1 + columns[j].distribution + (columns[j].particle ? slots : 0);
  }
};


}  // namespace

namespace pass2 {

/// Panels per chunk: a chunk's panels are summed in order before the chunk's
/// sums join the totals.
constexpr std::size_t CHUNK_PANELS = 4;

/// One worker's buffers, kept from panel to panel: the node evaluation, the
/// node vectors, the transposed quantity matrices (quantity x node) of the
/// values and of each particle slot, the weight matrices (node x column), the
/// products and the fast phase products.
struct Scratch {
  NodeScratch node;
  std::vector<double> q;
  std::vector<std::vector<double>> slot_q;
  std::vector<std::span<double>> slot_views;
  std::vector<std::span<double>> slot_blocks;
  Mat values;
  std::vector<Mat> slot_values;
  Mat weights;
  Mat particle_weights;
  Mat sums;
  Mat slot_sums;
  fast::PanelProducts products;
  std::vector<double> dn;
};

/// One panel's Kronrod and Gauss estimates: column c of `values` (and of each
/// particle slot's matrix) is the Kronrod estimate of weight column c for
/// every entry of the base range (rows [0, base)) and of the band range
/// (rows from base on, entries [band_lo, band_hi)); column C + c the Gauss
/// estimate.
struct PanelSums {
  std::size_t base = 0;
  std::size_t band_lo = 0;
  std::size_t band_hi = 0;
  Mat values;
  std::vector<Mat> slots;
};

/// Sizes the worker's node buffers for the plan's quantities and slots.
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

/// Row j of the weight matrices: h w r n(r) and h w r dn/dp (dr = r dt) of
/// every part, Kronrod columns then Gauss columns.
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

/// The band's phase matrix at all its cosines for every node, from the two
/// products, with the weight 4π r²/x² (π r² times the factor 4/x²).
void band_phase(Scratch& s, const GroupPlan& plan, const Band& band, std::size_t n_panel,
                const std::array<double, KRONROD_NODES>& radii, std::size_t base) {
  const std::size_t n = band.n_nodes;
  s.products.multiply(band, n_panel);
  for (std::size_t j = 0; j < KRONROD_NODES; ++j) {
    const double r = radii[j];
    const double x = size_parameter(r, plan.wavelength);
    const double omega = FOUR_PI * (r * r) / (x * x);
    for (std::size_t sl = 0; sl < plan.slots; ++sl) {
      s.slot_blocks[sl] = s.slot_values[sl].column(j).subspan(base, 4 * n);
    }
    s.products.node_phase(band, j, omega, s.values.column(j).subspan(base, 4 * n), s.slot_blocks);
  }
}

/// Kronrod K and Gauss G of every entry and weight column.
PanelSums estimates(Scratch& s, const GroupPlan& plan, const Band* band, std::size_t base) {
  PanelSums out;
  out.base = base;
  if (band != nullptr) {
    out.band_lo = band->offset;
    out.band_hi = band->offset + 4 * band->n_nodes;
  }
  matrix::matmul(out.values, s.values, s.weights, KRONROD_NODES);
  out.slots.resize(plan.slots);
  for (std::size_t sl = 0; sl < plan.slots; ++sl) {
    matrix::matmul(out.slots[sl], s.slot_values[sl], s.particle_weights, KRONROD_NODES);
  }
  return out;
}

/// The estimates of one panel, or its first error.
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
  const std::size_t rows = base + 4 * (band != nullptr ? band->n_nodes : 0);
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

/// Adds one panel's estimates to a chunk's sums: each part's sums gain K and
/// its errors |K - G|, per range (the base range, then the band range).
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

}  // namespace pass2

// With the part's mass M0 (error e0) and the tail allowance τ (0.2 rtol for a
// smooth part): v = Σ/M0, err = (E + e0 |v|)/M0 + τ|v|; per distribution
// parameter (dM0/dp = D with error δ) d = (Σ_p - v D)/M0 and
//   err_d = (E_p + |v| δ + |d| e0 + |D| err)/M0 + τ|d|,
// the error of v entering with its tail allowance, as in the moments' own
// derivative errors; per particle slot d = Σ_s/M0, err_d = (E_s + e0 |d|)/M0 + τ|d|.
PartAverages part_averages(const Part& part, std::span<const RangeSums> sums, std::size_t n_quantities,
                           std::size_t slots, double rtol) {
  VANTOK_ASSERT(part.averages.has_value());
  const moments::Averages& m = *part.averages;
  const double m0 = m.m0;
  const double e0 = m.m0_err;
  const double tau = std::holds_alternative<support::Smooth>(part.support) ? 0.2 * rtol : 0.0;
  const std::size_t n_d = part.dist_params.size();
  VANTOK_ASSERT(m.m0_derivatives.size() == n_d && m.m0_derivative_errors.size() == n_d);
  PartAverages out;
  out.values.assign(n_quantities, 0.0);
  out.errors.assign(n_quantities, 0.0);
  auto derivative = [&](std::size_t index) -> PartAverages::Derivative& {
    out.derivatives.push_back({index, std::vector<double>(n_quantities, 0.0), std::vector<double>(n_quantities, 0.0)});
    return out.derivatives.back();
  };
  for (std::size_t d = 0; d < n_d; ++d) derivative(part.dist_params[d].first);
  const bool particle = std::any_of(part.particle_params.begin(), part.particle_params.end(),
                                    [](const std::optional<std::size_t>& p) { return p.has_value(); });
  std::vector<std::size_t> slot_of;
  for (std::size_t sl = 0; sl < part.particle_params.size(); ++sl) {
    if (!part.particle_params[sl]) continue;
    derivative(*part.particle_params[sl]);
    slot_of.push_back(sl);
  }
  for (const RangeSums& r : sums) {
    const std::size_t len = r.hi - r.lo;
    VANTOK_ASSERT(r.hi <= n_quantities && r.sums.size() == len * (1 + n_d + (particle ? slots : 0)));
    for (std::size_t k = 0; k < len; ++k) {
      const std::size_t at = r.lo + k;
      const double v = r.sums[k] / m0;
      const double err = (r.errors[k] + e0 * std::fabs(v)) / m0 + tau * std::fabs(v);
      out.values[at] = v;
      out.errors[at] = err;
      for (std::size_t d = 0; d < n_d; ++d) {
        const double big_d = m.m0_derivatives[d];
        const double delta = m.m0_derivative_errors[d];
        const std::size_t i = (1 + d) * len + k;
        const double dv = (r.sums[i] - v * big_d) / m0;
        out.derivatives[d].values[at] = dv;
        out.derivatives[d].errors[at] =
            (r.errors[i] + std::fabs(v) * delta + std::fabs(dv) * e0 + std::fabs(big_d) * err) / m0 +
            tau * std::fabs(dv);
      }
      for (std::size_t j = 0; j < slot_of.size(); ++j) {
        const std::size_t i = (1 + n_d + slot_of[j]) * len + k;
        const double dv = r.sums[i] / m0;
        out.derivatives[n_d + j].values[at] = dv;
        out.derivatives[n_d + j].errors[at] = (r.errors[i] + e0 * std::fabs(dv)) / m0 + tau * std::fabs(dv);
      }
    }
  }
  return out;
}

namespace {

// A monodisperse part: the one particle's quantities, exact (zero errors); its
// radius derivative is the radius slot, each particle parameter its slot.
Result<PartAverages> point_averages(const Part& part, std::size_t n_terms, NodeScratch& scratch,
                                    const particle::Optics& optics, const mie::SolveOptions& options,
                                    const Layout& layout, double wavelength) {
  const auto* point = std::get_if<support::Point>(&part.support);
  VANTOK_ASSERT(point != nullptr);
  const std::size_t n_quantities = layout.n_quantities;
  const bool particle = std::any_of(part.particle_params.begin(), part.particle_params.end(),
                                    [](const std::optional<std::size_t>& p) { return p.has_value(); });
  std::vector<std::vector<double>> slots(particle ? part.particle_params.size() : 0,
                                         std::vector<double>(n_quantities, 0.0));
  std::vector<std::span<double>> slot_views(slots.begin(), slots.end());
  std::vector<double> radius(part.dist_params.empty() ? 0 : n_quantities, 0.0);
  PartAverages out;
  out.values.assign(n_quantities, 0.0);
  VANTOK_CHECK(quantities2(scratch, optics, options, layout, out.values, slot_views, radius, n_terms, {},
                           point->radius, wavelength));
  out.errors.assign(n_quantities, 0.0);
  for (const auto& [index, slot] : part.dist_params) {
    VANTOK_ASSERT(slot == 0);
    out.derivatives.push_back({index, radius, std::vector<double>(n_quantities, 0.0)});
  }
  for (std::size_t sl = 0; sl < slots.size(); ++sl) {
    if (!part.particle_params[sl]) continue;
    out.derivatives.push_back({*part.particle_params[sl], std::move(slots[sl]), std::vector<double>(n_quantities, 0.0)});
  }
  return out;
}

// The complex (per layer) and real (per radius fraction) parameter blocks of
// a particle.
std::pair<std::size_t, std::size_t> parameter_blocks(const Particle& particle) {
  if (const auto* layered = particle.get_if<LayeredSphere>()) {
    return {layered->layers.size(), layered->radius_fractions.size()};
  }
  return {1, 0};
}

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

}  // namespace

std::size_t batch_panels(std::size_t columns, std::size_t n_mu, std::size_t largest_band_nodes) {
  using U = std::uint64_t;
  constexpr U LIMIT = U{1} << 26;
  const U per_entry = sat_add<U>(sat_add<U>(8, sat_mul<U>(4, n_mu)), sat_mul<U>(16, largest_band_nodes));
  const U bytes = sat_mul<U>(sat_mul<U>(16, columns), per_entry);
  if (bytes > LIMIT) return 4;
  return 4 * static_cast<std::size_t>(std::min<U>(32, LIMIT / bytes));
}

DistributionSums distribution_sums(std::span<const Part> parts, const Unit& unit,
                                   std::span<const PartAverages> averages, std::span<const EnsembleParam> params,
                                   std::size_t n_quantities) {
  const std::size_t p_count = params.size();
  DistributionSums out;
  out.values.assign(n_quantities, 0.0);
  out.errors.assign(n_quantities, 0.0);
  out.d.assign(p_count, std::vector<double>(n_quantities, 0.0));
  out.d_errors.assign(p_count, std::vector<double>(n_quantities, 0.0));
  const double total = unit.weight;
  for (const std::size_t p : unit.parts) {
    const Part& part = parts[p];
    const PartAverages& avg = averages[p];
    VANTOK_ASSERT(avg.values.size() == n_quantities && avg.errors.size() == n_quantities);
    const double f = ((part.weight / total) * part.mode_weight) / part.mode_weight_sum;
    for (std::size_t k = 0; k < n_quantities; ++k) {
      out.values[k] += f * avg.values[k];
      out.errors[k] += f * avg.errors[k];
    }
    for (const PartAverages::Derivative& d : avg.derivatives) {
      VANTOK_ASSERT(d.index < p_count);
      for (std::size_t k = 0; k < n_quantities; ++k) {
        out.d[d.index][k] += f * d.values[k];
        out.d_errors[d.index][k] += f * d.errors[k];
      }
    }
  }
  // Weights: for the mixture weight w_c of component c,
  //   g = (δ_c mw/mws - w mw/(mws W))/W;
  // for the weight mw_m of mode m of component c (parts of c only),
  //   g = (w/W)(δ_m - mw/mws)/mws.
  for (std::size_t index = 0; index < p_count; ++index) {
    const EnsembleParam& param = params[index];
    if (!std::holds_alternative<param::Weight>(param.kind)) continue;
    for (const std::size_t p : unit.parts) {
      const Part& part = parts[p];
      const double w = part.weight;
      const double mw = part.mode_weight;
      const double mws = part.mode_weight_sum;
      const bool in_component = part.component_index == param.component;
      double g = 0.0;
      if (param.mode) {
        if (!in_component) continue;
        const double delta = part.mode == param.mode ? 1.0 : 0.0;
        g = ((w / total) * (delta - mw / mws)) / mws;
      } else {
        const double delta = in_component ? 1.0 : 0.0;
        g = ((delta * mw) / mws - (w * mw) / (mws * total)) / total;
      }
      const PartAverages& avg = averages[p];
      for (std::size_t k = 0; k < n_quantities; ++k) {
        out.d[index][k] += g * avg.values[k];
        out.d_errors[index][k] += std::fabs(g) * avg.errors[k];
      }
    }
  }
  return out;
}

namespace pass2 {

/// The sums of every part of a group over the group's panels: the panels of a
/// batch in parallel, then, chunk after chunk, its four panels' estimates
/// summed in order and the chunk's sums merged. The first failing panel, in
/// panel order, ends the wavelength.
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

}  // namespace pass2

namespace {

// The per-group sizes of the second pass: a worker's scratch, one panel's
// estimates in a batch, and the group's sums over its panels.
struct GroupBytes {
  std::size_t worker = 0;
  std::size_t panel = 0;
  std::size_t sums = 0;
};

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
  out.panel = sat_mul(sat_mul(dim.rows, 2 * (plan.kronrod_columns + slots * plan.particle_columns)), D);
  // Every part's sums and errors over the quantity vector, for the totals and
  // a chunk's.
  std::size_t weight_columns = 0;
  for (std::size_t j = 0; j < plan.parts.size(); ++j) weight_columns = sat_add(weight_columns, plan.weight_columns(j));
  out.sums = sat_mul(sat_mul(dim.quantities, weight_columns), 4 * D);
  return out;
}

// The bytes the projection and the outputs of R = U (P + 1) stacked rows take:
// per band its tables (11 R n), its products and series (24 R (L_b + 1)) and
// the sums of its blocked product (36 R (L_b + 1)); the Greek series as Lin
// values; the outputs' records.
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

}  // namespace

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
  for (const Pass1& record : records) {
    const double x = size_parameter(record.range.second, wavelength);
    dim.terms = std::max(dim.terms, static_cast<std::size_t>(std::min<std::uint64_t>(mie::default_terms(x),
                                                                                      MAX_MIE_ORDER)));
  }

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
    std::size_t columns = 0;
    for (std::size_t j = 0; j < groups[k].size(); ++j) columns += group_plan.weight_columns(j);
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
    std::size_t columns = 0;
    for (std::size_t j = 0; j < group.size(); ++j) columns += group_plan.weight_columns(j);
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
