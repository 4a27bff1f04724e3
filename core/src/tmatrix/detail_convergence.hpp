#pragma once
// Convergence of a spheroid's T-matrix in its truncation (convergence.cpp):
// the number of terms N, then the quadrature size, the highest azimuthal mode
// with a tail estimate for the modes left out, and the check of the Greek
// coefficients against one finer solve.

#include <cstddef>
#include <functional>
#include <utility>

#include "tmatrix/detail_profile.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::driver {

/// A one-solve operation: truncation -> Solved, as OneSolve.
using SolveFn = std::function<Result<Solved>(const Truncation&)>;

/// Converges N (stage 1, mode 0 only), then the quadrature size (stage 2),
/// picks the highest mode from the mode-0 solution, solves all modes up to it
/// with a tail estimate for the rest and, with a Greek order in the plan,
/// checks the Greek coefficients against one finer solve, which becomes the
/// result. NotConverged {achieved, rtol} at a cap unless the plan allows it.
Result<Converged> converge(const Plan& plan, const Spheroid& spheroid, SolveProfile* profile = nullptr);

/// The same with the one-solve operation given (the spheroid sets the start
/// and the quadrature floor); the seconds of its stages into the profile.
/// With `side_by_side` the solve may be called from two threads at once (the
/// first two trials of stage 1, which are always both made, and the Greek
/// check's finer solve beside the solve of all modes); without it every call
/// ends before the next starts.
Result<Converged> converge(const Plan& plan, const Spheroid& spheroid, const SolveFn& solve,
                           SolveProfile* profile = nullptr, bool side_by_side = false);

/// The modes 0..=m_max of the solve at `truncation` and the estimated share
/// of the modes left out (0 when m_max = N, +inf when m_max = 0 < N, else the geometric series
/// of the decay of the two highest mode shares); when that tail exceeds
/// rtol / 10, all N + 1 modes are solved instead and the tail is 0.
Result<std::pair<Solved, double>> solve_modes(const SolveFn& solve, const Truncation& truncation, double rtol);

/// ceil(a n2 / n) for n > 0, saturating at the largest size_t: with
/// a = q n + r it is q n2 + ceil(r n2 / n), so that only q n2 and the sum can
/// overflow (r n2 < n n2 is a product of term counts). The quadrature size of
/// the Greek check's finer truncation, n_theta scaled like N.
std::size_t scaled_ceil(std::size_t a, std::size_t n2, std::size_t n);

/// The largest |T_ij| of mode m over `top`, the largest of all modes
/// (largest_element; 0 when that is not positive).
double mode_share(const TMatrixModes<double>& modes, std::size_t m, double top);

/// The larger relative change of C_ext and C_sca between two solves, plus
/// each solve's err relative to its largest |T_ij|.
double relative_change(const Solved& a, const Solved& b);

/// The largest change of the Greek coefficients up to order L (each set
/// divided by its own alpha1_0, missing orders as 0), relative to the largest
/// normalized alpha1 of the first.
Result<double> greek_change(const Solved& a, const Solved& b, std::size_t order);

/// The same from the two sets of raw coefficients.
double greek_change(const GreekCoefficients<double>& ga, const GreekCoefficients<double>& gb);

/// The raw Greek coefficients of a and of b up to the order (each as
/// random::greek_raw gives it), the two side by side on the pool when
/// `together`; the first error in the order a, b.
Result<std::pair<GreekCoefficients<double>, GreekCoefficients<double>>> greek_pair(const Solved& a, const Solved& b,
                                                                                   std::size_t order, bool together);

}  // namespace vantok::tmatrix::driver
