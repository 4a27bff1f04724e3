#pragma once
// Borrowed views of one solved sphere: its Mie coefficients a_n, b_n with the
// size parameter and absorption sum, and their derivatives. The views hold
// spans into the solver's buffers: they stay valid until the next solve,
// prepare or finish on the object they were taken from, and must not outlive it.

#include <array>
#include <cstddef>
#include <span>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"

// The angular outputs computed from the views (amplitudes.hpp, phase.hpp,
// greek.hpp); include those headers to call the methods below.
namespace vantok::mie::amplitudes {
struct AngularTable;
struct AmplitudeBuffers;
}  // namespace vantok::mie::amplitudes
namespace vantok::mie::phase {
struct PhaseMatrixBuffers;
struct PhaseMatrixDerivativeBuffers;
struct AmplitudeSet;
}  // namespace vantok::mie::phase
namespace vantok::mie::greek {
template <class T>
struct GreekCoefficients;
struct GreekProjector;
struct GreekWithDerivatives;
}  // namespace vantok::mie::greek

namespace vantok::mie::coefficients {

/// Derivatives of the coefficients of one sphere (or of one layer of a layered
/// sphere). m-derivatives are complex derivatives d/dm: the derivative with
/// respect to Re m is d/dm and the one with respect to Im m is i d/dm.
struct CoefficientDerivatives {
  std::span<const Complex<double>> da_dx;
  std::span<const Complex<double>> da_dm;
  std::span<const Complex<double>> db_dx;
  std::span<const Complex<double>> db_dm;
  /// Derivatives of the absorption sum S_abs.
  double dabs_dx;
  double dabs_dre;
  double dabs_dim;
  /// True when x is the size parameter the outputs are normalised by (always
  /// for a homogeneous sphere; only the outermost layer of a layered one): the
  /// explicit x-dependence of the 1/x^2 factors then enters the x derivatives.
  bool outer;
};

/// The coefficients of one solved sphere: a[n-1] = a_n, b[n-1] = b_n,
/// n = 1 .. N; x is the (outermost) size parameter and s_abs the absorption
/// sum, Q_abs = 2 s_abs / x^2.
struct Coefficients {
  std::span<const Complex<double>> a;
  std::span<const Complex<double>> b;
  double x;
  double s_abs;

  /// Q_ext, Q_sca, Q_abs, Q_back, g by the efficiency rule.
  std::array<double, 5> efficiencies() const;

  /// The 3 x 5 Jacobian of (Q_ext, Q_sca, Q_abs, Q_back, g) with respect to
  /// (x, Re m, Im m), row by row: element (r, c) at 5 r + c. Needs N >= 1 and
  /// derivative spans of at least N entries.
  std::array<double, 15> efficiencies_jacobian(const CoefficientDerivatives& d) const;

  // Amplitudes (amplitudes.hpp). Every check runs before the first output
  // value is written; the table and recurrence paths give the same bits.

  /// S1, S2 at the cosines mu by the angular recurrences.
  Result<void> amplitudes(std::span<const double> mu, amplitudes::AmplitudeBuffers out) const;
  /// S1, S2 at the cosines of a table holding at least N orders.
  Result<void> amplitudes_from_table(const amplitudes::AngularTable& table,
                                     amplitudes::AmplitudeBuffers out) const;
  /// S1, S2 with dS/dx and the complex derivatives dS/dm.
  Result<void> amplitudes_with_derivatives(const CoefficientDerivatives& d, std::span<const double> mu,
                                           amplitudes::AmplitudeBuffers values,
                                           amplitudes::AmplitudeBuffers dx,
                                           amplitudes::AmplitudeBuffers dm) const;
  Result<void> amplitudes_with_derivatives_from_table(const CoefficientDerivatives& d,
                                                      const amplitudes::AngularTable& table,
                                                      amplitudes::AmplitudeBuffers values,
                                                      amplitudes::AmplitudeBuffers dx,
                                                      amplitudes::AmplitudeBuffers dm) const;

  // Phase matrix (phase.hpp): normalized selects half the integral of F11 = 1,
  // otherwise it is Q_sca.

  Result<void> phase_matrix(std::span<const double> mu, bool normalized,
                            phase::PhaseMatrixBuffers out) const;
  Result<void> phase_matrix_from_table(const amplitudes::AngularTable& table, bool normalized,
                                       phase::PhaseMatrixBuffers out) const;
  /// Values and derivatives with respect to x, Re m and Im m.
  Result<void> phase_matrix_with_derivatives(std::span<const double> mu, const CoefficientDerivatives& d,
                                             bool normalized, phase::PhaseMatrixBuffers values,
                                             phase::PhaseMatrixDerivativeBuffers derivatives) const;
  Result<void> phase_matrix_with_derivatives_from_table(
      const amplitudes::AngularTable& table, const CoefficientDerivatives& d, bool normalized,
      phase::PhaseMatrixBuffers values, phase::PhaseMatrixDerivativeBuffers derivatives) const;
  /// The four elements from given amplitudes (every buffer one value per cosine).
  void phase_from_amplitudes(std::span<const Complex<double>> s1, std::span<const Complex<double>> s2,
                             bool normalized, phase::PhaseMatrixBuffers out) const;
  /// Values and derivatives from given amplitudes and their derivatives.
  void phase_derivatives_from_amplitudes(const phase::AmplitudeSet& amps,
                                         const CoefficientDerivatives& d, bool normalized,
                                         phase::PhaseMatrixBuffers values,
                                         phase::PhaseMatrixDerivativeBuffers derivatives) const;

  // Greek coefficients (greek.hpp): normalized gives alpha1_0 = 1, otherwise
  // alpha1_0 = Q_sca.

  /// The projector for a sphere of n_terms terms up to the requested order.
  static Result<greek::GreekProjector> greek_projector(std::size_t n_terms, std::size_t order);
  /// alpha1..alpha4, beta1, beta2 for l = 0..order.
  Result<greek::GreekCoefficients<double>> greek(std::size_t order, bool normalized) const;
  /// The coefficients and their derivatives with respect to x, Re m and Im m.
  Result<greek::GreekWithDerivatives> greek_with_derivatives(std::size_t order,
                                                             const CoefficientDerivatives& d,
                                                             bool normalized) const;
  /// Divides by alpha1_0 (so alpha1_0 = 1), then scales by Q_sca unless normalized.
  void normalize(greek::GreekCoefficients<double>& coefficients, bool normalized) const;
};

}  // namespace vantok::mie::coefficients
