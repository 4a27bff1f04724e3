#pragma once
// The derivative solve of a spheroid at its converged truncation
// (derivative_solve.cpp): the T blocks with their partials with respect to x,
// the aspect ratio, Re m and Im m along the requested precision, by the f64
// path (detail_derivative_f64_solve.hpp) or over Dual<DoubleDouble, 4>
// throughout.

#include <cstddef>
#include <functional>
#include <vector>

#include "tmatrix/detail_derivative_f64_solve.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "vantok/error.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::driver {

/// The derivative solve at the converged truncation: the T blocks of modes
/// 0..=m_max over dual numbers (partials x, aspect ratio, Re m, Im m), one
/// path code per mode and an error term.
struct DerivativeSolved {
  TMatrixModes<scalar::DualF64> modes;
  std::vector<PrecisionPath> paths;
  double err = 0.0;
};

/// The derivative solve along the requested precision at the truncation
/// (modes 0..=m_max, m_max <= N):
/// - "double-double": the whole solve over Dual<DoubleDouble, 4> (spheroid,
///   scales, kernel, LU, unscaling with the derivatives of the scale factors),
///   rounded once: m_max + 1 codes "double-double", err = 4 2^-52 max |T_ij|;
/// - "f64": `derivative::tmatrix_derivatives` without refinement (tol = inf);
/// - "auto": the same with tol = rtol / 10, falling back to the double-double
///   solve when the largest block error exceeds tol max |T_ij| (strictly).
/// Codes of the kernel's modes: "refined" when either block took sweeps, else
/// "f64"; err is the largest block error of all N + 1 modes (NaN skipped).
/// Errors of the kernels and of the block solves are returned unchanged.
Result<DerivativeSolved> solve_derivatives(const Spheroid& spheroid, const Truncation& truncation,
                                           Precision precision, double rtol);

/// The derivative kernel of the "f64" and "auto" paths, with the arguments of
/// `derivative::tmatrix_derivatives` (spheroid, truncation, tolerance).
using DerivativeKernelFn =
    std::function<Result<derivative::TMatrixDerivatives>(const Spheroid&, const Truncation&, double)>;

/// The same with the derivative kernel given.
Result<DerivativeSolved> solve_derivatives(const DerivativeKernelFn& derivative_kernel, const Spheroid& spheroid,
                                           const Truncation& truncation, Precision precision, double rtol);

}  // namespace vantok::tmatrix::driver
