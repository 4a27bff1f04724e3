#pragma once
// The derivative solve at fixed truncation along the f64 path
// (derivative_f64_solve.cpp): the T-matrix of a spheroid with its partial
// derivatives with respect to the size parameter x, the aspect ratio eps,
// Re m and Im m (partials 0 to 3), from f64 duals with refinement in dual
// double-double where the f64 bound is too large.
//
// The EBCM matrices come from the mode kernel over Dual<double, 4>; each block
// T = -RgQ Q^-1 is solved once in f64 and its derivatives follow from the
// differentiated equation dT Q = -(dRg + T dQ) on the same LU factors. Modes
// whose a-posteriori error exceeds the tolerance are recomputed, from the
// orders that need it, by the kernel over Dual<DoubleDouble, 4> with the first
// pass's variant record, and solved again with double-double refinement of
// the values and of the four derivative blocks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::derivative {

using kernel::ModeMatrices;
using scalar::DoubleDouble;
using scalar::DualDD;
using scalar::DualF64;

/// The result of `tmatrix_derivatives`.
struct TMatrixDerivatives {
  /// Modes 0..m_max: the T blocks in physical scale, each element a complex
  /// dual whose value parts are T and whose partials are dT/dx, dT/deps,
  /// dT/dRe m, dT/dIm m; blocks without rows are empty.
  TMatrixModes<DualF64> modes;
  /// Per mode m = 0..N: the absolute error estimate of the values of each
  /// parity block (0 for a block not solved).
  std::vector<std::array<double, 2>> block_errors;
  /// Per mode m = 0..N: the sweeps of the double-double refinement of each
  /// parity block, 1 to 4, or 0 when the block was not refined.
  std::vector<std::array<std::size_t, 2>> refine_sweeps;
};

/// The T-matrix of the spheroid at the truncation (modes 0..m_max), with its
/// four partial derivatives, refining in
/// dual double-double the modes whose f64 error exceeds tol times the largest
/// unscaled |T_ij| (tol = +inf refines nothing). Errors: those of the
/// quadrature rule and of the block solves ("the EBCM matrix is singular or
/// not finite at column {}"), unchanged.
Result<TMatrixDerivatives> tmatrix_derivatives(const Spheroid& spheroid, const Truncation& truncation, double tol);

/// The refinement entry of mode m for the derivative solve: the rule of
/// `kernel::refinement_entry` with thr = tol t_max and the term count nmax, for every
/// mode (no cut-off above the modes solved: their block errors are 0).
std::optional<std::size_t> derivative_refinement_mask(
    std::size_t m, std::span<const std::array<double, 2>> block_errors, double tol, double t_max,
    std::size_t nmax, std::span<const ModeMatrices<DualF64>> modes,
    std::span<const std::array<std::vector<double>, 2>> row_errors);

/// Partial k (0..3) of every element of a block of complex duals, as the
/// complex (partial k of the real part, partial k of the imaginary part).
template <class R>
std::vector<Complex<R>> partial_matrix(std::span<const Complex<scalar::Dual<R, 4>>> block,
                                       std::size_t k);

/// The n x n block whose rows with a non-zero flag come from `refined` and
/// whose other rows are `plain` widened to double-double (trailing parts 0).
/// Consumes both blocks.
std::vector<Complex<DoubleDouble>> merge_refined_rows(std::size_t n,
                                                      std::span<const std::uint8_t> flags,
                                                      std::vector<Complex<DoubleDouble>>&& refined,
                                                      std::vector<Complex<double>>&& plain);

extern template std::vector<Complex<double>> partial_matrix<double>(
    std::span<const Complex<DualF64>>, std::size_t);
extern template std::vector<Complex<DoubleDouble>> partial_matrix<DoubleDouble>(
    std::span<const Complex<DualDD>>, std::size_t);

}  // namespace vantok::tmatrix::derivative
