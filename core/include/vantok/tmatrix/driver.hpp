#pragma once
// The solves of one spheroid's T-matrix at a given number of terms N, quadrature
// size and highest azimuthal mode: the f64 solve with a-posteriori error bounds
// per block, double-double refinement of the modes whose bound misses the
// tolerance, and the solve in double-double throughout. T = -RgQ Q^-1 per
// parity block, solved in the kernel's log-scaled basis and brought back by
// exp(L[n_i] - L[n_j]), L[n] = ln |h_n(r_min)| summed from the outgoing scales.

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/scalar/scalars.hpp"
#include "tmatrix/detail_derivative_f64_solve.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::driver {

using scalar::DoubleDouble;
using scalar::DualDD;

/// Seconds spent in the phases of one solve, added to by every solve that is
/// handed one (for benchmarks).
struct SolveProfile {
  double kernel = 0.0;
  /// The f64 block solves with their error bounds (in parallel).
  double lu = 0.0;
  /// The double-double pass over the flagged modes: its kernel and the
  /// refinement of its blocks.
  double refinement = 0.0;
  /// The full double-double solve (asked for, or the automatic fallback).
  double double_double = 0.0;
};

/// The one-solve operation of a spheroid, with the values a convergence run
/// holds fixed.
struct OneSolve {
  double rtol = 0.0;
  double x = 0.0;
  double eps = 0.0;
  Complex<double> m{0.0, 0.0};
  Precision precision = Precision::Auto;
  SolveProfile* profile = nullptr;

  /// The T-matrix at N terms and n_theta nodes per hemisphere, modes
  /// 0..=m_max solved: N + 1 mode entries (empty blocks above m_max), N + 1
  /// path codes, the largest block error bound. Errors: the quadrature-size
  /// error of the kernels, and "the EBCM matrix is singular or not finite at
  /// column {}" for a singular pivot or a non-finite element of a block's Q,
  /// RgQ or T.
  Result<Solved> operator()(std::size_t n_terms, std::size_t n_theta, std::size_t m_max) const;
};

/// The whole solve in double-double (spheroid, scales, kernel, LU,
/// unscaling), reduced to f64 at the end: N + 1 entries, N + 1 codes
/// "double-double", err = 4 2^-52 max |T_ij|.
Result<Solved> solve_double_double(double m_re, double m_im, double x, double eps,
                                   std::size_t n_terms, std::size_t n_theta, std::size_t m_max,
                                   SolveProfile* profile = nullptr);

/// L[k] = ln o_0 + ... + ln o_k over the outgoing scale factors o of the
/// spheroid's smaller semi-axis and z = m r_max, in f64 (N + 2 entries); over
/// double-double from the leading parts.
std::vector<double> log_scales(std::span<const double> outgoing);
std::vector<double> log_scales(std::span<const DoubleDouble> outgoing);

/// X = -RgQ Q^-1 of one k x k parity block (q and rg row-major) by the LU of
/// Q^T with partial pivoting over S (double-double or dual double-double;
/// pivots by the scalar's hypot, strictly larger in (hi, lo) order of the
/// value, a singular or non-finite best refused with its column), then
/// unscaled element by element by the f64 factor exp(L[n_i] - L[n_j]).
template <class S>
Result<std::vector<Complex<S>>> lu_factor_solve(std::size_t k, std::span<const Complex<S>> q,
                                                std::span<const Complex<S>> rg,
                                                std::span<const Row> rows,
                                                std::span<const double> log_scale);

/// z exp(d) for the unscaling exponent d = L[n_i] - L[n_j]: an exactly zero z
/// stays zero, and a factor exp(d) that overflows is applied as two factors
/// exp(d / 2), so that a finite physical value never becomes NaN or infinite
/// through the scaling alone.
Complex<double> unscale(const Complex<double>& z, double d);
Complex<DoubleDouble> unscale(const Complex<DoubleDouble>& z, double d);
Complex<DualDD> unscale(const Complex<DualDD>& z, double d);

/// The first column (the smallest j of the row-major k x k block) holding an
/// element with a non-finite part (the leading part of a double-double, the
/// value or a partial of a dual), or nothing.
template <class S>
std::optional<std::size_t> non_finite_column(std::span<const Complex<S>> block, std::size_t k);

/// "the EBCM matrix is singular or not finite at column {}" when any of the
/// blocks holds a non-finite element: the first such block's first column.
template <class S>
Result<void> require_finite(std::size_t k, std::initializer_list<std::span<const Complex<S>>> blocks);

/// A one-solve operation: (N, n_theta, m_max) -> Solved, as OneSolve.
using SolveFn = std::function<Result<Solved>(std::size_t, std::size_t, std::size_t)>;

/// Converges N (stage 1, mode 0 only), then the quadrature size (stage 2),
/// picks the highest mode from the mode-0 solution, solves all modes up to it
/// with a tail estimate for the rest and, with a Greek order in the plan,
/// checks the Greek coefficients against one finer solve, which becomes the
/// result. NotConverged {achieved, rtol} at a cap unless the plan allows it.
Result<Converged> converge(const Plan& plan, double x, double eps, Complex<double> m,
                           SolveProfile* profile = nullptr);

/// The same with the one-solve operation given.
Result<Converged> converge(const Plan& plan, double x, double eps, const SolveFn& solve);

/// The modes 0..=m_max of one solve and the estimated share of the modes left
/// out (0 when m_max = N, +inf when m_max = 0 < N, else the geometric series
/// of the decay of the two highest mode shares); when that tail exceeds
/// rtol / 10, all N + 1 modes are solved instead and the tail is 0.
Result<std::pair<Solved, double>> solve_modes(const SolveFn& solve, std::size_t n_terms,
                                              std::size_t n_theta, std::size_t m_max, double rtol);

/// The largest |T_ij| of mode m over the largest of all modes (0 when that is
/// not positive).
double mode_share(const TMatrixModes<double>& modes, std::size_t m);

/// The larger relative change of C_ext and C_sca between two solves, plus
/// each solve's err relative to its largest |T_ij|.
double relative_change(const Solved& a, const Solved& b);

/// The largest change of the Greek coefficients up to order L (each set
/// divided by its own alpha1_0, missing orders as 0), relative to the largest
/// normalized alpha1 of the first.
Result<double> greek_change(const Solved& a, const Solved& b, std::size_t order);

/// The derivative solve at the converged truncation: the T blocks of modes
/// 0..=m_max over dual numbers (partials x, aspect ratio, Re m, Im m), one
/// path code per mode and an error term.
struct DerivativeSolved {
  TMatrixModes<scalar::DualF64> modes;
  std::vector<PrecisionPath> paths;
  double err = 0.0;
};

/// The derivative solve along the requested precision, at N = n_terms and
/// n_theta, modes 0..=m_max (m_max <= N):
/// - "double-double": the whole solve over Dual<DoubleDouble, 4> (spheroid,
///   scales, kernel, LU, unscaling with the derivatives of the scale factors),
///   rounded once: m_max + 1 codes "double-double", err = 4 2^-52 max |T_ij|;
/// - "f64": `derivative::tmatrix_derivatives` without refinement (tol = inf);
/// - "auto": the same with tol = rtol / 10, falling back to the double-double
///   solve when the largest block error exceeds tol max |T_ij| (strictly).
/// Codes of the kernel's modes: "refined" when either block took sweeps, else
/// "f64"; err is the largest block error of all N + 1 modes (NaN skipped).
/// Errors of the kernels and of the block solves are returned unchanged.
Result<DerivativeSolved> solve_derivatives(std::size_t n_terms, std::size_t n_theta,
                                           Precision precision, std::size_t m_max, double x,
                                           double eps, double m_re, double m_im, double rtol);

/// The derivative kernel of the "f64" and "auto" paths, with the arguments of
/// `derivative::tmatrix_derivatives`.
using DerivativeKernelFn = std::function<Result<derivative::TMatrixDerivatives>(
    std::size_t, std::size_t, std::size_t, double, double, double, double, double)>;

/// The same with the derivative kernel given.
Result<DerivativeSolved> solve_derivatives(const DerivativeKernelFn& derivative_kernel,
                                           std::size_t n_terms, std::size_t n_theta,
                                           Precision precision, std::size_t m_max, double x,
                                           double eps, double m_re, double m_im, double rtol);

#define VANTOK_TMATRIX_DRIVER(S)                                                             \
  extern template std::optional<std::size_t> non_finite_column<S>(                           \
      std::span<const Complex<S>>, std::size_t);                                             \
  extern template Result<void> require_finite<S>(                                            \
      std::size_t, std::initializer_list<std::span<const Complex<S>>>);
VANTOK_TMATRIX_DRIVER(double)
VANTOK_TMATRIX_DRIVER(DoubleDouble)
VANTOK_TMATRIX_DRIVER(DualDD)
#undef VANTOK_TMATRIX_DRIVER

extern template Result<std::vector<Complex<DoubleDouble>>> lu_factor_solve<DoubleDouble>(
    std::size_t, std::span<const Complex<DoubleDouble>>, std::span<const Complex<DoubleDouble>>,
    std::span<const Row>, std::span<const double>);
extern template Result<std::vector<Complex<DualDD>>> lu_factor_solve<DualDD>(
    std::size_t, std::span<const Complex<DualDD>>, std::span<const Complex<DualDD>>,
    std::span<const Row>, std::span<const double>);

}  // namespace vantok::tmatrix::driver
