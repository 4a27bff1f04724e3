#pragma once
// What the files of the second pass share about one group of parts: where
// each part's weight columns lie (second_pass_columns.cpp), a worker's scratch
// buffers and the work memory they take (second_pass_scratch.cpp), the
// estimates of one panel and the group's sums over its panels
// (second_pass_products.cpp), and the averages of a monodisperse part
// (second_pass_averages.cpp).

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ensemble/detail_kronrod.hpp"
#include "ensemble/detail_matrix.hpp"
#include "ensemble/detail_second_pass.hpp"
#include "vantok/ensemble/distribution.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/check.hpp"

namespace vantok::ensemble::engine::pass2 {

/// One part's sums over the ranges of the quantity vector it met.
using PartSums = std::vector<RangeSums>;

/// Where a part's weight columns lie: its value and distribution-parameter
/// columns in W' (Kronrod at `first`, Gauss at C + `first`), and its n(r)
/// column among the particle weights when it has requested particle
/// parameters.
struct PartColumns {
  std::size_t first;
  std::size_t distribution;
  std::optional<std::size_t> particle;
};

/// What the panels of one group share, read-only.
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
  /// The weight columns of all parts: the sum of weight_columns(j).
  std::size_t total_weight_columns() const { return kronrod_columns + slots * particle_columns; }
};

/// The plan of one group of parts: its parts in group order, their densities
/// and weight columns, the particle slots and parameter blocks.
GroupPlan plan_group(std::span<const Part> parts, const std::vector<std::size_t>& group,
                     const particle::Optics& optics, const mie::SolveOptions& options, const Layout& layout,
                     double wavelength);

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
  matrix::Mat values;
  std::vector<matrix::Mat> slot_values;
  matrix::Mat weights;
  matrix::Mat particle_weights;
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
  matrix::Mat values;
  std::vector<matrix::Mat> slots;
};

/// Sizes the worker's node buffers for the plan's quantities and slots.
void size_buffers(Scratch& s, const GroupPlan& plan);

/// Row j of the weight matrices: h w r n(r) and h w r dn/dp (dr = r dt) of
/// every part, Kronrod columns then Gauss columns.
void node_weights(Scratch& s, const GroupPlan& plan, std::size_t j, const detail::KronrodNode& node, double r);

/// The per-group sizes of the second pass: a worker's scratch, one panel's
/// estimates in a batch, and the group's sums over its panels.
struct GroupBytes {
  std::size_t worker = 0;
  std::size_t panel = 0;
  std::size_t sums = 0;
};

/// The sizes of `plan`'s group under the pass's sizes: a worker's scratch, one
/// panel's estimates and the group's sums.
GroupBytes group_bytes(const GroupPlan& plan, const SecondPassPlan::Sizes& dim, const particle::Optics& optics,
                       std::size_t n_mu);

/// The bytes the projection and the outputs of R = U (P + 1) stacked rows take:
/// per band its tables (11 R n), its products and series (24 R (L_b + 1)) and
/// the sums of its blocked product (36 R (L_b + 1)); the Greek series as Lin
/// values; the outputs' records.
std::size_t projection_bytes(std::span<const std::size_t> keys, std::size_t order_limit, std::size_t units,
                             std::size_t params, std::size_t n_mu);

/// The estimates of one panel, or its first error.
Result<PanelSums> panel(Scratch& s, const GroupPlan& plan, double a, double b, const PanelSolutions* kept);

/// Adds one panel's estimates to a chunk's sums: each part's sums gain K and
/// its errors |K - G|, per range (the base range, then the band range).
void add_panel(std::vector<PartSums>& out, const GroupPlan& plan, const PanelSums& p);

/// The sums of every part of a group over the group's panels: the panels of a
/// batch in parallel, then, chunk after chunk, its four panels' estimates
/// summed in order and the chunk's sums merged. The first failing panel, in
/// panel order, ends the wavelength.
Result<std::vector<PartSums>> group_totals(const GroupPlan& plan, const Pass1& record, std::size_t n_parts,
                                           std::size_t batch, std::vector<Scratch>& scratch);

/// A monodisperse part: the one particle's quantities, exact (zero errors); its
/// radius derivative is the radius slot, each particle parameter its slot.
Result<PartAverages> point_averages(const Part& part, std::size_t n_terms, NodeScratch& scratch,
                                    const particle::Optics& optics, const mie::SolveOptions& options,
                                    const Layout& layout, double wavelength);

}  // namespace vantok::ensemble::engine::pass2
