#pragma once
// The wavelength engine's second pass: every group's converged panels are
// integrated once more with the G7-K15 rule, now for everything the outputs
// need (cross sections, <r²>, <r³>, the phase matrix at the requested cosines
// and at the Greek bands' cosines, and all derivatives), each panel with a
// Kronrod and a Gauss estimate. Per panel the quadrature of every quantity
// against every weight column of every part is one dense product; the phase
// matrix at the band cosines comes from the fast products
// (detail_band_amplitudes.hpp). The part averages are then mixed into one set
// of sums per output distribution.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ensemble/detail_bands.hpp"
#include "ensemble/detail_first_pass.hpp"
#include "ensemble/detail_node_quantities.hpp"
#include "ensemble/detail_parts.hpp"
#include "ensemble/detail_projection.hpp"
#include "ensemble/detail_work.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/check.hpp"

namespace vantok::ensemble::engine {

/// One output distribution of a run: the parts it combines (ascending) and the
/// sum of their components' mixture weights.
struct Unit {
  std::vector<std::size_t> parts;
  double weight;
};

/// The size average of every quantity over one part's distribution, with
/// error estimates, and its derivatives with respect to the requested
/// parameters that concern the part.
struct PartAverages {
  struct Derivative {
    /// The parameter's position in the run's list.
    std::size_t index;
    std::vector<double> values;
    std::vector<double> errors;
  };
  std::vector<double> values;
  std::vector<double> errors;
  std::vector<Derivative> derivatives;
};

/// One part's sums over the range [lo, hi) of the quantity vector: per weight
/// column c (the value, each distribution parameter, each particle slot), the
/// hi - lo Kronrod sums and |Kronrod - Gauss| errors at c (hi - lo).
struct RangeSums {
  std::size_t lo;
  std::size_t hi;
  std::vector<double> sums;
  std::vector<double> errors;
};

/// A panel part's averages from its sums over the ranges it met (entries of
/// no range are 0): divided by the part's mass M0, with the errors of M0 and,
/// for a smooth part, the tail allowance 0.2 rtol times each magnitude. A
/// smooth part's <r²> and <r³> are its moments' (over the whole distribution,
/// where the engine's range is cut for r² alone), not its panels'.
/// `slots` is the particle's slot count when the part has particle columns.
PartAverages part_averages(const Part& part, std::span<const RangeSums> sums, std::size_t n_quantities,
                           std::size_t slots, double rtol);

/// The mixture of a unit's part averages: each part weighs (w/W)·mw/mws (its
/// component's weight w over the unit's W, its mode's weight mw over the mode
/// sum mws). Derivatives with respect to the requested weights are added.
DistributionSums distribution_sums(std::span<const Part> parts, const Unit& unit,
                                   std::span<const PartAverages> averages, std::span<const EnsembleParam> params,
                                   std::size_t n_quantities);

/// What the second pass of one wavelength gives the outputs.
struct SecondPass {
  Layout layout;
  /// L: 2 N_max for all orders, the requested order, or 0.
  std::size_t order_limit = 0;
  /// One per unit.
  std::vector<DistributionSums> sums;
  /// One per unit when Greek coefficients are requested.
  std::optional<std::vector<GreekSet>> greek;
  /// Its work memory (with the outputs the sums give), leased while it lives.
  memory::Lease work;
};

/// What the second pass of a wavelength needs to know before it starts.
struct SecondPassPlan {
  /// The band keys (none without Greek coefficients) and the order limit L.
  std::vector<std::size_t> keys;
  std::size_t order_limit = 0;
  /// The sizes its memory follows: the quantity vector's length Q, the rows of
  /// a panel's quantity matrix (the base range and the largest band's 4 n),
  /// the largest band's key, half-table rows and nodes, and a bound on every
  /// node's term count.
  struct Sizes {
    std::size_t quantities = 0;
    std::size_t rows = 0;
    std::size_t largest_key = 0;
    std::size_t largest_half = 0;
    std::size_t largest_nodes = 0;
    std::size_t terms = 0;
  } sizes;
  /// The least work memory it runs with, in bytes: the bands, every part's and
  /// unit's sums, the projection and the outputs, and the largest group's
  /// sums with one worker and one chunk of panels; and the most, with a worker
  /// per thread of the pool and the largest batches of panels.
  std::size_t bytes = 0;
  std::size_t most_bytes = 0;

  /// What a refusal of `bytes` names: "the angular tables and sums of the
  /// Greek quadrature at wavelength {:e}" (or "the second pass's sums ...").
  std::string what(double wavelength) const;
};

/// The plan of a wavelength's second pass: the band keys of every group's
/// panels (with Greek coefficients), the order limit, the bands' limits
/// (layout_storage) and the work memory. Errors are the band keys' and the
/// limits', in that order.
Result<SecondPassPlan> plan_second_pass(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups,
                                        std::span<const Pass1> records, std::span<const Unit> units,
                                        double wavelength, std::size_t index, const EnsembleOptions& options);

/// The second pass of one wavelength (index `index` of the run) over the
/// groups' first-pass records: its plan (made unless given), the plan's work
/// memory leased through the claim (refused, or given way, when it does not
/// fit), band preparation, the pass over the panels by workers with a scratch
/// each, summed in chunks of four, per group (a monodisperse group at its one
/// radius), the part averages, the unit sums and, with Greek coefficients,
/// the projection. The first error in group and panel order ends it.
Result<SecondPass> second_pass(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups,
                               std::span<const Pass1> records, std::span<const Unit> units, double wavelength,
                               std::size_t index, const EnsembleOptions& options, const Claim& claim = Claim{},
                               const SecondPassPlan* plan = nullptr);

/// The most panels per batch of a group with `columns` weight columns: about
/// 2^26 bytes of results, in whole chunks of four, from 4 to 128 (fewer when
/// the work budget has less free; the batches never change a sum).
std::size_t batch_panels(std::size_t columns, std::size_t n_mu, std::size_t largest_band_nodes);

}  // namespace vantok::ensemble::engine
