#pragma once
// A spheroid as a solve takes it, and what a solve leaves behind: the T-matrix
// per azimuthal mode (its parity blocks with their row lists), how each mode
// was computed (the precision option and the per-mode path), the result of
// one solve at fixed truncation (Solved), the converged result (Converged),
// the solved spheroid kept for its outputs (State, with once-computed Greek
// coefficients) and the plan the convergence works to.

#include <array>
#include <atomic>
#include <concepts>
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

namespace vantok::tmatrix {

using mie::greek::GreekCoefficients;

/// A spheroid as a solve takes it: the equal-volume size parameter x, the
/// aspect ratio eps = a/b (a the equatorial, b the polar semi-axis) and the
/// refractive index m relative to the medium.
struct Spheroid {
  double x = 0.0;
  double eps = 0.0;
  Complex<double> m{0.0, 0.0};
};

/// One row (or column) of a parity block: (kind, n), kind 0 for the M-type and
/// kind 1 for the N-type vector spherical function of order n.
using Row = std::pair<std::size_t, std::size_t>;
/// The row lists of the two parity blocks of a mode.
using RowLists = std::array<std::vector<Row>, 2>;
/// Two row-major k x k complex blocks, one per parity block.
template <class T>
using Blocks = std::array<std::vector<Complex<T>>, 2>;

template <class T>
struct TMatrixModes;

/// TMatrixModes<DualF64>::values.
TMatrixModes<double> value_modes(const TMatrixModes<scalar::DualF64>& modes);

/// The solved T blocks of one mode with its row lists.
template <class T>
struct SolvedMode {
  Blocks<T> t;
  RowLists rows;
};

/// A solved T-matrix: one entry per azimuthal mode m = 0, 1, ... (a mode that
/// was not solved has empty blocks) and the term count.
template <class T>
struct TMatrixModes {
  std::vector<SolvedMode<T>> modes;
  std::size_t n_terms = 0;

  /// (C_ext, C_sca) of the randomly oriented particle in size-parameter units:
  /// 2 pi sum_m w_m (-sum_i Re T_ii, sum_ij |T_ij|^2), w_0 = 1, w_m = 2.
  std::pair<T, T> cross_sections() const;

  /// The plain T-matrix of a dual one: per mode the value parts of every
  /// element (real and imaginary), the same row lists, the same term count.
  TMatrixModes<double> values() const
    requires std::same_as<T, scalar::DualF64>
  {
    return value_modes(*this);
  }
};

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
  /// The raw Greek coefficients of `solved` at order 2N, when the Greek check
  /// formed them (a check at an order of 2N or more).
  std::optional<GreekCoefficients<double>> greek_raw;
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

/// The number of terms the convergence of a spheroid of size parameter x
/// and aspect ratio eps starts from under `plan`: the given N, else
/// min(max(N_W(x_max), 4), max_terms). N only grows from there, so no
/// solution of that plan has fewer terms.
std::size_t start_terms(const Plan& plan, double x, double eps);

/// The largest |T_ij| (hypot) over both blocks of one mode, from 0, NaN
/// skipped.
double largest_element(const SolvedMode<double>& mode);

/// The largest |T_ij| (hypot) over every block of every mode, from 0, NaN
/// skipped.
double largest_element(const TMatrixModes<double>& modes);

#define VANTOK_TMATRIX_STATE(T) extern template std::pair<T, T> TMatrixModes<T>::cross_sections() const;
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_STATE)
#undef VANTOK_TMATRIX_STATE

}  // namespace vantok::tmatrix
