#pragma once
// The records a T-matrix solve of one spheroid passes along: the precision
// option and the per-mode precision path, the result of one solve at fixed
// truncation (Solved), the converged result (Converged), the solved spheroid
// kept for its outputs (State, with once-computed Greek coefficients), the
// plan the convergence driver works to, and the derived quantities of a
// spheroid that set its term counts and quadrature sizes.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/tmatrix/kernel.hpp"

namespace vantok::tmatrix {

using kernel::TMatrixModes;
using mie::greek::GreekCoefficients;

/// How a solve is asked to compute (the option; not a path code).
enum class Precision : std::uint8_t {
  /// f64 first, double-double refinement of the modes that need it, full
  /// double-double when the result still misses its tolerance.
  Auto = 0,
  /// f64 only, never refined.
  F64 = 1,
  /// Double-double throughout.
  DoubleDouble = 2,
};

/// How one azimuthal mode of a solve was computed (reported per mode).
enum class PrecisionPath : std::uint8_t {
  /// Both blocks solved from f64 matrices only.
  F64 = 0,
  /// Rebuilt with double-double rows and refined.
  Refined = 1,
  /// The whole solve ran in double-double.
  DoubleDouble = 2,
};

/// A value computed at most once, on first request, by whichever thread asks
/// first; the others wait for it. The stored value (an error included) never
/// changes afterwards. An initialiser that throws (allocation failure, a stop
/// request) stores nothing, and the next request runs it again. Filling is
/// not a change of the owner's state: a const cell fills too.
template <class T>
class OnceCell {
 public:
  OnceCell() = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  /// The stored value, computed by init() when the cell is empty.
  template <class F>
  const T& get_or_init(F&& init) const {
    std::call_once(flag_, [&] {
      value_.emplace(init());
      filled_.store(true, std::memory_order_release);
    });
    return *value_;
  }

  /// Whether a value is stored.
  bool filled() const noexcept { return filled_.load(std::memory_order_acquire); }

 private:
  mutable std::once_flag flag_;
  mutable std::optional<T> value_;
  mutable std::atomic<bool> filled_{false};
};

/// One solve at fixed N and quadrature size.
struct Solved {
  /// The T blocks of every mode kept, with their row lists, and N.
  TMatrixModes<double> modes;
  /// One code per mode kept.
  std::vector<PrecisionPath> paths;
  /// The largest absolute error bound of any T block, in the units of T.
  double err = 0.0;
  /// The quadrature size (nodes per hemisphere).
  std::size_t n_theta = 0;
};

/// A solve that met the plan, or missed it under allow_unconverged.
struct Converged {
  Solved solved;
  /// The relative error estimate.
  double error_estimate = 0.0;
  /// False only when a limit was reached and allow_unconverged was set.
  bool converged = true;
};

/// One solved spheroid: what its outputs are computed from. Not movable (its
/// once-cells are not): it lives behind a std::unique_ptr slot.
struct State {
  Converged converged;
  /// The T blocks over dual numbers (partials: x, aspect ratio, Re m, Im m),
  /// when solved with derivatives.
  std::optional<TMatrixModes<scalar::DualF64>> derivatives;
  /// The raw Greek coefficients of the dual blocks, at order 2N.
  OnceCell<Result<GreekCoefficients<scalar::DualF64>>> greek_dual;
  double x = 0.0;
  double eps = 0.0;
  Complex<double> m{0.0, 0.0};
  double rtol = 0.0;
  /// The raw Greek coefficients of the f64 blocks, at order 2N.
  OnceCell<Result<GreekCoefficients<double>>> greek;
};

/// What the convergence driver works to: the options, with the caps resolved.
struct Plan {
  std::optional<std::size_t> n_terms;
  std::optional<std::size_t> n_theta;
  std::optional<std::size_t> greek_order;
  double rtol = 0.0;
  std::size_t max_terms = 0;
  std::size_t max_theta = 0;
  bool allow_unconverged = false;
  Precision precision = Precision::Auto;
};

/// The semi-axes of a spheroid as size parameters: a = x cbrt(eps)
/// (equatorial), b = a / eps (polar), so that a^2 b = x^3; r_min and r_max are
/// the smaller and the larger, both a when b is NaN.
struct SemiAxes {
  double a = 0.0;
  double b = 0.0;
  double r_min = 0.0;
  double r_max = 0.0;
};

SemiAxes semi_axes(double x, double eps);

/// The size parameter of the larger semi-axis (a when b is NaN).
double x_max(double x, double eps);

/// Wiscombe-type term count of a size parameter z: ceil(z + 4 cbrt(z)) as a
/// count (NaN and negatives give 0, saturating above), plus 2, saturating.
std::uint64_t n_w(double z);

/// The quadrature floor of an aspect ratio: with e = max(eps, 1/eps) (eps
/// when 1/eps is NaN), 0 when e <= 1, else
/// ceil(ln(1e4 / rtol) / (2 ln((e + 1) / (e - 1)))), saturating.
std::uint64_t n_f(double eps, double rtol);

/// Running maximum that starts from its first operand and skips a NaN value:
/// v replaces acc only when acc < v.
inline double run_max(double acc, double v) noexcept { return acc < v ? v : acc; }

/// The largest |T_ij| (hypot) over every block of every mode, from 0, NaN
/// skipped.
double largest_element(const TMatrixModes<double>& modes);

}  // namespace vantok::tmatrix
