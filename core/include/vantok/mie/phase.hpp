#pragma once
// The phase (scattering) matrix of a sphere from its amplitudes,
//   F11 = c (|S1|^2 + |S2|^2)/2,   F12 = c (|S2|^2 - |S1|^2)/2,
//   F33 = c Re(S1 conj S2),        F34 = c Im(conj S1 S2),
// with c = 4/x^2 (half the integral of F11 over the cosine is Q_sca) or
// c = 4/(x^2 Q_sca) (normalised: half the integral is 1). The routines are
// methods of coefficients::Coefficients.

#include <span>

#include "vantok/complex.hpp"
#include "vantok/mie/amplitudes.hpp"
#include "vantok/mie/coefficients.hpp"

namespace vantok::mie::phase {

/// The four element buffers F11, F12, F33, F34, one value per cosine.
struct PhaseMatrixBuffers {
  std::span<double> f11;
  std::span<double> f12;
  std::span<double> f33;
  std::span<double> f34;
};

/// The derivative buffers in the order x, Re m, Im m.
struct PhaseMatrixDerivativeBuffers {
  PhaseMatrixBuffers x;
  PhaseMatrixBuffers re_m;
  PhaseMatrixBuffers im_m;
};

/// The amplitudes and their derivatives at a set of cosines, as
/// amplitudes_with_derivatives writes them: dS/dm is the complex derivative.
struct AmplitudeSet {
  std::span<const Complex<double>> s1;
  std::span<const Complex<double>> s2;
  std::span<const Complex<double>> ds1_dx;
  std::span<const Complex<double>> ds2_dx;
  std::span<const Complex<double>> ds1_dm;
  std::span<const Complex<double>> ds2_dm;
};

}  // namespace vantok::mie::phase
