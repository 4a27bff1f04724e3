#pragma once
// Random orientation of a solved spheroid: the T blocks of every azimuthal
// mode are turned into the orientation average of the products S_ab conj(S_cd)
// of the circular-basis (helicity) amplitudes by Clebsch-Gordan coupling of
// the rotated T-matrix (Mishchenko, J. Opt. Soc. Am. A 8, 871 (1991)), from
// which the phase matrix F11, F12, F22, F33, F34, F44 follows at any cosine,
// and its Greek coefficients by Gauss-Legendre projection onto d^l_00,
// d^l_22, d^l_2-2 and d^l_02. One template serves f64 and dual numbers.
//
// Raw units: the phase matrix here is (x^2 / 4) times the one normalised to
// Q_sca, and the Greek coefficients likewise.
//
// The steps, in order: the helicity tables of each mode (detail_helicity.hpp),
// their Clebsch-Gordan coupling over m (coupling.cpp), the collapse of the
// amplitude series per total projection M and the products summed over M
// and L (orientation_average.cpp, its inner loops in AVX2 lanes in
// orientation_lanes.cpp), the change to the linear basis (mueller.cpp) and
// the Greek projection (greek_projection.cpp).

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::random {

using mie::greek::GreekCoefficients;

/// The raw orientation-averaged phase matrix of the modes at the cosines mu
/// (each in (-1, 1), unchecked). Parallel over independent orders and
/// cosines; every value is the same for any number of threads.
template <class T>
std::array<std::vector<T>, 6> random_orientation(const TMatrixModes<T>& modes,
                                                 std::span<const T> mu);

/// The raw Greek coefficients up to the order L = min(2N, order), by the
/// Gauss-Legendre rule of N + L/2 + 1 nodes that integrates the products of
/// the phase matrix (degree 2N) with the Wigner functions (degree L) exactly.
template <class T>
Result<GreekCoefficients<T>> greek_raw(const TMatrixModes<T>& modes, std::size_t order);

#define VANTOK_TMATRIX_RANDOM(T)                                                                \
  extern template std::array<std::vector<T>, 6> random_orientation<T>(                           \
      const TMatrixModes<T>&, std::span<const T>);                                       \
  extern template Result<GreekCoefficients<T>> greek_raw<T>(const TMatrixModes<T>&,      \
                                                            std::size_t);
VANTOK_TMATRIX_RANDOM(double)
VANTOK_TMATRIX_RANDOM(scalar::DualF64)
#undef VANTOK_TMATRIX_RANDOM

}  // namespace vantok::tmatrix::random
