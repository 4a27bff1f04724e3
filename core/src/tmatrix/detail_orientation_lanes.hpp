#pragma once
// The two inner loops of the orientation average's collapse over a block of
// four cosines in AVX2 lanes (orientation_lanes.cpp), f64 only: every lane
// performs the scalar sequence of its cosine. They may only run where the
// processor has AVX2.

#include <cstddef>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::tmatrix::random {

/// Cosines collapsed together (they share the reads of Z).
inline constexpr std::size_t U_BLOCK = 4;

VANTOK_AVX2_BEGIN

/// P(L) = P(L) + Z(L) U for L = lo..hi-1 with Z(L) not negligible.
void collapse_lanes(const Complex<double>* zn, const Complex<double>* un, Complex<double>* pf, std::size_t lo,
                    std::size_t hi);

/// acc = acc + (P_f(L) conj(P_g(L))) r_L over L = 0..orders-1.
void products_lanes(const Complex<double>* pf, const Complex<double>* pg, const std::vector<double>& r_l,
                    Complex<double>* acc);

VANTOK_AVX2_END

}  // namespace vantok::tmatrix::random
