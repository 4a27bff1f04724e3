#pragma once
// Randomly oriented spheroids by the EBCM T-matrix: the options of a solve,
// its single entry TMatrix::run (input checks, validated domain, truncation
// caps, convergence, the solved State stored in the caller's slot) and the
// view TMatrixSolution through which the efficiencies, Greek coefficients and
// phase matrix of the randomly oriented particle are computed on demand.

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/tmatrix/records.hpp"

namespace vantok::tmatrix {

class TMatrixSolution;

/// The inputs within which the solver's accuracy is validated: 0.2 <= eps <= 5,
/// x >= 0.3, |m| x_max <= 60, 1.3 <= Re m <= 3, 0 <= Im m <= 0.5 (and
/// rtol >= 1e-12). NaN is never inside.
struct ValidatedDomain {
  static bool contains(double eps, double x, Complex<double> m);
};

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

  /// Solves the spheroid (aspect ratio eps = a/b, equal-volume size parameter
  /// x, refractive index m), with the T blocks over dual numbers when
  /// derivatives are asked for. On success the slot's previous State is
  /// replaced and the view of the new one returned; on failure the slot is
  /// left as it was.
  Result<TMatrixSolution> run(std::unique_ptr<State>& slot, bool derivatives, double eps, double x,
                              Complex<double> m) const;

  /// The plan run works to for a spheroid: the options with the caps
  /// max_terms = min(given, else 2 max(N_W(max(|m|, 1) x_max), 4) + 20, 500)
  /// and max_theta = given, else 4 max(N_f, 2 max(N_W(x_max), 4)) + 40, both
  /// saturating. No failure.
  Plan plan(double eps, double x, Complex<double> m) const;
};

/// Six output buffers: F11, F12, F22, F33, F34, F44.
using PhaseBuffers = std::array<std::span<double>, 6>;

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

 private:
  const State* state_;
};

/// The four Wigner tables d^l_00, d^l_22, d^l_2-2, d^l_02 at x, each resized
/// to len values (l = 0..len-1); the first error of wigner_d is returned, the
/// later tables left as they were.
Result<void> wigner_tables(double x, std::size_t len, std::array<std::vector<double>, 4>& tables);

/// Writes value i to buffer i at index k.
void store(PhaseBuffers buffers, std::size_t k, const std::array<double, 6>& values);

}  // namespace vantok::tmatrix
