#pragma once
// Randomly oriented spheroids by the EBCM T-matrix: the options of a solve,
// its single entry TMatrix::run (input checks, validated domain, truncation
// caps, convergence, the solved State stored in the caller's slot) and the
// view TMatrixSolution through which the efficiencies, Greek coefficients and
// phase matrix of the randomly oriented particle are computed on demand.
//
// The stages in call order (sources in core/src/tmatrix/, each with its
// detail_*.hpp):
//  1. python/src/tmatrix_random.cpp (tmatrix_random) and tmatrix_object.cpp
//     (TMatrixObject) build a TMatrix and call TMatrix::run: run.cpp checks
//     the input and resolves the caps (truncation.cpp).
//  2. convergence.cpp: N, then the quadrature size, then the highest mode,
//     each trial one solve at a fixed truncation:
//  3. one_solve.cpp: the f64 solve, flagged modes refined in double-double,
//     else dd_solve.cpp (double-double throughout); both through
//     scaled_solve.cpp (log scales, unscaling) and
//  4. the mode kernel: kernel.cpp (rows, axes, variant record, refinement
//     mask), kernel_{f64,dd,dual_f64,dual_dd}.cpp instantiating
//     detail_kernel_impl.hpp with its node integrand detail_kernel_node.inc,
//     node_functions.cpp and series_tails.cpp; then
//  5. the block solves: lu.cpp, error_estimate.cpp, refine.cpp.
//  6. With derivatives, derivative_solve.cpp at the converged truncation:
//     derivative_f64_solve.cpp, or dual double-double throughout.
//  7. The State (state.hpp, state.cpp) is kept; solution.cpp computes the
//     outputs: the cross sections from the T blocks, the orientation average
//     (random_orientation.hpp: coupling.cpp, orientation_average.cpp,
//     mueller.cpp, greek_projection.cpp) and the phase matrix from its Greek
//     series.

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix {

class TMatrixSolution;

/// The inputs within which the solver's accuracy is validated: 0.2 <= eps <= 5,
/// x >= 0.3, |m| x_max <= 60, 1.3 <= Re m <= 3, 0 <= Im m <= 0.5 (and
/// rtol >= 1e-12). NaN is never inside.
struct ValidatedDomain {
  static bool contains(const Spheroid& spheroid);
};

/// Whether a run also solves the T blocks over dual numbers, for the partial
/// derivatives of every output with respect to x, the aspect ratio, Re m and
/// Im m.
enum class WithDerivatives : bool { No = false, Yes = true };

/// The options of a T-matrix solve.
struct TMatrix {
  /// N; absent: converged.
  std::optional<std::size_t> n_terms;
  /// Nodes per hemisphere of the polar quadrature; absent: converged.
  std::optional<std::size_t> n_theta;
  /// Cap on N while converging (at most 500); absent: from the size.
  std::optional<std::size_t> max_terms;
  /// Cap on n_theta while converging; absent: from the size and shape.
  std::optional<std::size_t> max_theta;
  /// Verify the Greek coefficients up to this order by one finer solve.
  std::optional<std::size_t> greek_order;
  double rtol = 1e-6;
  bool allow_unconverged = false;
  bool allow_unvalidated = false;
  Precision precision = Precision::Auto;

  /// Solves the spheroid, with the T blocks over dual numbers when
  /// derivatives are asked for. Every input is checked here (the options
  /// included), in a fixed order: this is the validating entry of a solve.
  /// On success the slot's previous State is replaced and the view of the
  /// new one returned; on failure the slot is left as it was.
  Result<TMatrixSolution> run(std::unique_ptr<State>& slot, const Spheroid& spheroid,
                              WithDerivatives derivatives) const;

  /// The plan run works to for a spheroid: the options with the caps
  /// max_terms = min(given, else 2 max(N_W(max(|m|, 1) x_max), 4) + 20, 500)
  /// and max_theta = given, else 4 max(N_f, 2 max(N_W(x_max), 4)) + 40, both
  /// saturating. No failure.
  Plan plan(const Spheroid& spheroid) const;
};

/// Six output buffers: F11, F12, F22, F33, F34, F44.
using PhaseBuffers = std::array<std::span<double>, 6>;

/// Four values of one kind: the partial derivatives with respect to x, the
/// aspect ratio, Re m and Im m, in that order.
template <class T>
using Derivatives = std::array<T, 4>;

/// Rows x, aspect ratio, Re m, Im m; columns Q_ext, Q_sca, Q_abs, Q_back, g.
using EfficiencyJacobian = std::array<std::array<double, 5>, 4>;

/// Greek coefficients with their four derivative sets.
using GreekWithDerivatives = std::pair<GreekCoefficients<double>, Derivatives<GreekCoefficients<double>>>;

/// The view of one solved spheroid. It must not outlive the State.
class TMatrixSolution {
 public:
  explicit TMatrixSolution(const State& state) : state_(&state) {}

  const State& state() const { return *state_; }

  /// The raw Greek coefficients at order 2N, computed on first use and kept
  /// (an error too).
  Result<const GreekCoefficients<double>*> greek_raw() const;

  /// Q_ext, Q_sca, Q_abs, Q_back, g. Never fails: when the Greek coefficients
  /// could not be formed, Q_back and g are NaN.
  std::array<double, 5> efficiencies() const;

  /// The Greek coefficients up to the order (2N when absent): normalized to
  /// alpha1_0 = 1, or unnormalized (alpha1_0 = Q_sca).
  Result<GreekCoefficients<double>> greek(std::optional<std::size_t> order, bool unnormalized) const;

  /// The phase matrix at the cosines mu, one value per cosine in each buffer.
  /// A cosine outside [-1, 1] fails after the earlier cosines were written.
  Result<void> phase_matrix(std::span<const double> mu, bool unnormalized, PhaseBuffers out) const;

  // With derivatives (a state solved with them; otherwise "the solution was
  // computed without derivatives (use compute_with_derivatives)"). Values and
  // partials both come from the dual T blocks.

  /// The raw Greek coefficients of the dual T blocks at order 2N, computed on
  /// first use and kept (an error too).
  Result<const GreekCoefficients<scalar::DualF64>*> greek_raw_dual() const;

  /// The partials of Q_ext, Q_sca, Q_abs, Q_back and g; none without
  /// derivatives or when the dual Greek coefficients failed. The values are
  /// those of `efficiencies`.
  std::optional<EfficiencyJacobian> efficiencies_jacobian() const;

  /// `greek` with the four derivative sets; normalized, alpha1_0 is exactly 1
  /// and its derivatives exactly 0.
  Result<GreekWithDerivatives> greek_with_derivatives(std::optional<std::size_t> order,
                                                      bool unnormalized) const;

  /// `phase_matrix` with the partials of the six elements in four groups of
  /// six buffers. Every group is checked (values, then d0..d3) before anything
  /// is computed; alpha1_0 keeps its scaled value.
  Result<void> phase_matrix_with_derivatives(std::span<const double> mu, bool unnormalized,
                                             PhaseBuffers values,
                                             const Derivatives<PhaseBuffers>& derivatives) const;

 private:
  const State* state_;
};

}  // namespace vantok::tmatrix
