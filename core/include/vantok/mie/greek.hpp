#pragma once
// Greek (generalized-spherical-function) expansion coefficients of a phase
// matrix,
//   F11 = sum_l alpha1_l d^l_00,  F33 = sum_l alpha4_l d^l_00,
//   F11 + F33 = sum_l (alpha2 + alpha3)_l d^l_22,  F11 - F33 = sum_l (alpha2 - alpha3)_l d^l_2,-2,
//   F12 = sum_l beta1_l d^l_02,   F34 = sum_l beta2_l d^l_02,
// obtained by projecting the phase matrix onto the Wigner d functions with a
// Gauss-Legendre rule that integrates the products exactly. The sphere
// routines are methods of coefficients::Coefficients.

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "vantok/error.hpp"
#include "vantok/limits.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/special/wigner_greek.hpp"

namespace vantok::mie::greek {

/// The six coefficient sequences over the orders l = 0, 1, ...
template <class T>
struct GreekCoefficients {
  std::vector<T> alpha1;
  std::vector<T> alpha2;
  std::vector<T> alpha3;
  std::vector<T> alpha4;
  std::vector<T> beta1;
  std::vector<T> beta2;

  /// Six vectors of len zeros.
  static GreekCoefficients zeros(std::size_t len);
  /// Resizes every vector to len, appending zeros or cutting.
  void pad(std::size_t len);
  /// The six vectors in field order.
  std::array<std::vector<T>*, 6> vectors();
  std::array<const std::vector<T>*, 6> vectors() const;
};

/// "GreekCoefficients { alpha1: [1.0, 0.5], alpha2: [...], ..., beta2: [...] }"
std::string debug(const GreekCoefficients<double>& greek);

/// The phase matrix tabulated at the projector's nodes: F11, F12, F33, F34.
struct PhaseMatrixTable {
  std::span<const double> f11;
  std::span<const double> f12;
  std::span<const double> f33;
  std::span<const double> f34;
};

/// The Gauss-Legendre projection of phase-matrix tables onto the orders
/// 0..effective_order. A sphere of N terms has no orders above 2N, and its
/// integrands are polynomials of degree at most 2N + effective_order, which a
/// rule of N + effective_order/2 + 1 nodes integrates exactly.
struct GreekProjector {
  /// The requested order L.
  std::size_t order = 0;
  std::vector<double> nodes;
  std::vector<double> weights;
  /// min(2N, L).
  std::size_t effective_order = 0;

  /// One GreekCoefficients (effective_order + 1 entries) per table set; every
  /// set holds one value per node. 1 to 4 sets (values and derivatives). The
  /// lane width changes the speed, never a bit (tests run both).
  Result<std::vector<GreekCoefficients<double>>> project(
      std::span<const PhaseMatrixTable> tables,
      scalar::lanes::Width width = scalar::lanes::Width::Widest) const;
};

/// The coefficients and their derivatives with respect to x, Re m and Im m.
struct GreekWithDerivatives {
  GreekCoefficients<double> values;
  GreekCoefficients<double> x;
  GreekCoefficients<double> re_m;
  GreekCoefficients<double> im_m;
};

extern template struct GreekCoefficients<double>;
extern template struct GreekCoefficients<scalar::DualF64>;

}  // namespace vantok::mie::greek
