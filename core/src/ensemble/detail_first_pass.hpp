#pragma once
// The wavelength engine's first pass: for each group of parts sharing one
// panel list, panels over t = ln r are laid out, evaluated in parallel with the
// G7-K15 rule (one particle solve per node, shared by every part of the
// group), bisected where the error is largest relative to its share of the
// tolerance, and extended at open ends until the tails are negligible.
//
// Results never depend on scheduling: panels are evaluated into their own
// slots, and every decision (tolerances, bisection, extension) is taken on the
// calling task from sums formed in panel order.

#include <cstddef>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ensemble/detail_engine.hpp"
#include "ensemble/detail_layouts.hpp"
#include "ensemble/detail_optics.hpp"
#include "ensemble/detail_parts.hpp"
#include "ensemble/detail_work.hpp"
#include "vantok/ensemble/ensemble.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/check.hpp"

namespace vantok::ensemble::engine {

/// The most extensions of one range end per group and wavelength.
inline constexpr std::size_t MAX_END_EXTENSIONS = 100;

/// Panels (a, b) in t over [t_lo, t_hi], split at the breakpoint radii strictly
/// inside, each at most width(t) wide at its lower end t and at most 20 wide in
/// size parameter there. If that takes more than max_panels panels, each
/// segment between split points gets its share of max_panels equal panels
/// instead (at least one, so the total may exceed max_panels).
std::vector<std::pair<double, double>> initial_panels(std::span<const double> breakpoints,
                                                      const std::function<double(double)>& width,
                                                      std::size_t max_panels, double t_lo, double t_hi,
                                                      double wavelength);

/// One part's first-pass sums over one panel. With Q quantities per node and D
/// requested distribution parameters, `kronrod`, `error`, `first` and `last`
/// hold (1 + D) blocks of Q (block 0 the values, block d the derivative with
/// respect to the d-th distribution parameter), `abs_values` Q and
/// `abs_derivatives` D blocks of Q.
struct Sums1 {
  /// K15 integrals of n·r·v_j (block 0) and dn/dp·r·v_j (block d).
  std::vector<double> kronrod;
  /// |K15 - G7| per entry.
  std::vector<double> error;
  /// K15 integrals of |dn/dp·r·v_j|.
  std::vector<double> abs_derivatives;
  /// K15 integrals of |n·r·v_j|.
  std::vector<double> abs_values;
  /// The integrands at the panel's first and last node.
  std::vector<double> first;
  std::vector<double> last;
  /// The largest number of terms of the particle solutions at the nodes.
  std::size_t max_terms = 0;
};

/// The particle solutions at the 15 nodes of a panel, in node order.
using PanelSolutions = particle::StoredSolutions;

/// Room for the solutions the first pass keeps for the second: at most
/// `limit` bytes at a time, taken and given back by the panels that hold
/// them (each also leases its bytes from the free work budget). Whether a
/// panel keeps its solutions changes no result: the second pass solves the
/// nodes of the others again, to the same bits.
class SolutionBudget {
 public:
  explicit SolutionBudget(std::size_t limit) : limit_(limit) {}
  /// Takes `bytes` if they fit.
  bool take(std::size_t bytes) noexcept;
  void give(std::size_t bytes) noexcept;

 private:
  std::atomic<std::size_t> used_{0};
  std::size_t limit_;
};

/// The bytes one wavelength keeps at most: 2^25.
inline constexpr std::size_t SOLUTION_BUDGET = std::size_t{1} << 25;

/// A panel of one group's list: its ends in t, once evaluated one Sums1 per
/// part of the group, in group order, and the node solutions when the budget
/// allowed keeping them.
struct Panel {
  double a;
  double b;
  std::optional<std::vector<Sums1>> sums;
  std::shared_ptr<const PanelSolutions> solutions = nullptr;
};

/// Evaluates, in parallel, every panel without sums: the particle at the 15
/// nodes (x = (r·2π)/λ), its quantities in `layout`, then each part's weighted
/// sums. Returns one result per
/// evaluated panel, in panel order; a failed panel (its error wrapped by
/// `context`) keeps no sums, and the other panels are still evaluated. All
/// parts share the first part's particle and particle parameters. With a
/// budget, a panel keeps its node solutions while they fit. The panels are
/// solved by workers with a particle solver each, as many as the claim's
/// leases hold (at least one: refused, or given way, when one does not fit).
std::vector<Result<void>> pass1_evaluate(std::vector<Panel>& panels, std::span<const Part* const> parts,
                                         double wavelength, const particle::Optics& optics,
                                         const mie::SolveOptions& options, const FirstPassLayout& layout,
                                         const std::shared_ptr<SolutionBudget>& budget = nullptr,
                                         const Claim& claim = Claim{});

/// One part's standing in an iteration of the first pass.
struct PartStatus {
  /// The allowed total error per entry (+inf where it never drives refinement).
  std::vector<double> tolerances;
  /// The sum over the panels of each entry's error.
  std::vector<double> error_totals;
  /// The lower and upper end passed the tail test.
  bool low_ok = false;
  bool high_ok = false;
  /// Every entry's total error is within its tolerance.
  bool interior_ok = false;
};

/// The first pass of one group at the end of its iteration.
struct Pass1Run {
  /// The final panels; those added by a last end extension are unevaluated.
  std::vector<Panel> panels;
  std::vector<PartStatus> statuses;
  /// converged_j = interior_ok and (not open or both ends ok).
  std::vector<bool> converged;
  double t_lo;
  double t_hi;
};

/// The adaptive first pass of one non-Point group, its node quantities in
/// `layout`: start layout, then
/// evaluation, statuses, and bisection or end extension until the tolerances
/// are met or a limit stops it. The first panel error in panel order ends it.
/// The panels' sums are leased through the claim before each evaluation.
Result<Pass1Run> pass1(std::span<const Part* const> parts, const particle::Optics& optics, double wavelength,
                       const EnsembleOptions& options, const FirstPassLayout& layout,
                       const std::shared_ptr<SolutionBudget>& budget = nullptr, const Claim& claim = Claim{});

/// The bytes one panel of the first pass holds for the given parts (its
/// record and every part's sums) with Q = n_q quantities per node.
std::size_t panel_bytes(std::span<const Part* const> parts, std::size_t n_q);

/// One group's first-pass result.
struct Pass1 {
  /// The final panels' ends in t, in increasing order.
  std::vector<std::pair<double, double>> panels;
  /// One flag per part of the group, in group order.
  std::vector<bool> converged;
  /// The largest term count met (over the evaluated panels).
  std::size_t max_terms = 0;
  /// The radii e^t_lo and e^t_hi of the final range ((r, r) for a Point group).
  std::pair<double, double> range;
  /// The panels' node solutions where the first pass kept them (else null),
  /// or empty.
  std::vector<std::shared_ptr<const PanelSolutions>> solutions;
};

/// Packs a group's final panels and flags; max_terms from the panels' first
/// Sums1 (unevaluated panels skipped).
Pass1 finish(std::vector<Panel> panels, std::vector<bool> converged, double t_lo, double t_hi);

/// The first pass of one wavelength (index `index` of the run) over every
/// group of part indices, in group order: a Point group takes the term count
/// at its radius, every other group runs pass1 and finish, keeping node
/// solutions within SOLUTION_BUDGET. Work memory is leased through the claim.
Result<std::vector<Pass1>> first_pass(std::span<const Part> parts, std::span<const std::vector<std::size_t>> groups,
                                      double wavelength, std::size_t index, const EnsembleOptions& options,
                                      const Claim& claim = Claim{});

}  // namespace vantok::ensemble::engine
