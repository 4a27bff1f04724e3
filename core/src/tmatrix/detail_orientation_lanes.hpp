#pragma once
// The inner loops of the orientation average in AVX2 lanes
// (orientation_lanes.cpp), f64 only: every lane performs the scalar sequence
// of its cosine or order. They may only run where the processor has AVX2.

#include <array>
#include <cstddef>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/scalar/lanes.hpp"

namespace vantok::tmatrix::random {

/// Cosines collapsed together (they share the reads of Z). A block's value
/// per order (an entry) is planar: the U_BLOCK real parts, then the U_BLOCK
/// imaginary parts.
inline constexpr std::size_t U_BLOCK = 4;

/// The rows of one Z table that a collapse reads: Z(L, n) at
/// z[(n - n0) stride + L - lo], rows n0..big_n, orders L = lo..orders-1 with
/// L <= n + big_n.
struct CollapseRows {
  const Complex<double>* z;
  std::size_t stride, orders, n0, big_n, lo;
};

VANTOK_AVX2_BEGIN

/// P(L) = P(L) + Z(L, n) U(n) over the rows n ascending, for each order L
/// (Z(L, n) zero in both parts skipped); u and pf hold planar entries per n
/// and per L.
void collapse_lanes(const CollapseRows& rows, const double* u, double* pf);

/// acc = acc + (P_f(L) conj(P_g(L))) r_L over L = 0..orders-1, P planar, acc
/// the block's four complex sums (interleaved).
void products_lanes(const double* pf, const double* pg, const std::vector<double>& r_l, Complex<double>* acc);

/// z[i] = z[i] + (c[i] b[i]) eps for i = 0..count-1.
void z_row_lanes(const double* c, const Complex<double>* b, const Complex<double>& eps, Complex<double>* z,
                 std::size_t count);

/// acc[i] = acc[i] + c[i] h for i = 0..count-1.
void add_scaled_lanes(const double* c, const Complex<double>& h, Complex<double>* acc, std::size_t count);

/// add_scaled_lanes for four (h[t], acc[t]) with the same coefficients.
void add_scaled4_lanes(const double* c, const std::array<Complex<double>, 4>& h,
                       const std::array<Complex<double>*, 4>& acc, std::size_t count);

VANTOK_AVX2_END

}  // namespace vantok::tmatrix::random
