#pragma once
// Borrowed views of one solved sphere: its Mie coefficients a_n, b_n with the
// size parameter and absorption sum, and their derivatives. The views hold
// spans into the solver's buffers: they stay valid until the next solve,
// prepare or finish on the object they were taken from, and must not outlive it.

#include <array>
#include <span>

#include "vantok/complex.hpp"

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
};

}  // namespace vantok::mie::coefficients
