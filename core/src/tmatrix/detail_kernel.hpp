#pragma once
// The EBCM mode kernel of a spheroid: for every azimuthal mode m the matrices
// Q and RgQ of its two parity blocks, integrated over the polar angle by
// Gauss-Legendre quadrature in double precision, or in double-double for the
// modes and rows that double precision cannot resolve; the variant record and
// negligible orders that carry a first pass's findings into that refinement;
// and the refinement mask. The solved T-matrix it leads to (TMatrixModes) is
// the state's (vantok/tmatrix/state.hpp).
//
// Lengths are size parameters (multiplied by the wavenumber). A spheroid has
// the equatorial semi-axis a and the polar semi-axis b; the aspect ratio is
// eps = a/b and the equal-volume size parameter r gives a = r eps^(1/3).

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/scalar/scalars.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::kernel {

using scalar::DoubleDouble;
using scalar::DualDD;
using scalar::DualF64;

/// The rows of mode m up to order nmax, with m' = max(m, 1): block n mod 2
/// receives (0, n) and block (n + 1) mod 2 receives (1, n), first for every
/// kind-0 row, then every kind-1 row, n = m'..nmax ascending. Modes 0 and 1
/// have the same rows; nmax = 0 gives empty lists.
RowLists row_lists(std::size_t m, std::size_t nmax);

template <class T>
struct Axes;

/// Axes<T>::create over the dual scalars (defined with each dual member).
Axes<DualF64> dual_spheroid(const DualF64& r, const DualF64& eps);
Axes<DualDD> dual_spheroid(const DualDD& r, const DualDD& eps);

/// The semi-axes of a spheroid in the kernel's scalar: equatorial a, polar b.
template <class T>
struct Axes {
  T a{};
  T b{};

  /// (r_min, r_max), the smaller and the larger semi-axis, by the ordering
  /// rule of the scalar's kernel member (its NaN and signed-zero choices).
  std::pair<T, T> min_max() const;

  /// From the equal-volume size parameter r and the aspect ratio eps:
  /// a = r cbrt(eps), b = a / eps. Over double with the C library cube root;
  /// over DoubleDouble with the double-double cube root of eps, the
  /// double-double product (r, 0) c and div_dd. No failure.
  /// Defined for double and DoubleDouble.
  static Axes create(double r, double eps);

  /// From r and eps as duals whose partials the caller has seeded: the cube
  /// root c of the value of eps (the C library's, or the double-double one)
  /// carried to the partials by the chain rule with the factor 1/(3 c^2),
  /// then a = r cbrt(eps) (r the left operand) and b = a / eps, all in dual
  /// arithmetic. With r seeded in partial 0 and eps in partial 1, a and b
  /// carry d/dx and d/d(eps). Defined for the two dual scalars.
  static Axes create(const T& r, const T& eps)
    requires scalar::DualScalar<T>
  {
    return dual_spheroid(r, eps);
  }
};

template <>
Axes<double> Axes<double>::create(double r, double eps);
template <>
Axes<DoubleDouble> Axes<DoubleDouble>::create(double r, double eps);

#define VANTOK_TMATRIX_AXES(T) extern template std::pair<T, T> Axes<T>::min_max() const;
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_AXES)
#undef VANTOK_TMATRIX_AXES

/// The EBCM matrices of one azimuthal mode, per parity block p = 0, 1; every
/// numeric field of block p holds k_p^2 elements (k_p = rows[p].size()),
/// element (i, j) at i k_p + j, in the scaled basis of the kernel.
template <class T>
struct ModeMatrices {
  /// Q: rg plus the chosen variant of the outgoing part.
  Blocks<T> q;
  /// RgQ.
  Blocks<T> rg;
  /// Magnitude sums of q: rg_mag plus the magnitude of the chosen variant.
  std::array<std::vector<T>, 2> q_mag;
  /// Magnitude sums of rg: the sum over the quadrature terms of |Re| + |Im|.
  std::array<std::vector<T>, 2> rg_mag;
  /// The variant (0, 1 or 2) each element of q was assembled from.
  std::array<std::vector<std::uint8_t>, 2> choice;
  RowLists rows;
};

/// The variant choices of a first pass, handed to a refinement pass.
struct Choice {
  /// (nmax + 1)^2 bytes over order pairs (n_row, n_col): the OR of every code
  /// 1 or 2 chosen for an element coupling those orders, in any mode and block.
  std::vector<std::uint8_t> grid;
  /// Per mode, copies of the two `choice` arrays.
  std::vector<std::array<std::vector<std::uint8_t>, 2>> per_mode;

  /// The record of a pass over any scalar; reads only `choice` and `rows`.
  /// Elements beyond a short `choice` array are skipped.
  template <class T>
  static Choice of(std::span<const ModeMatrices<T>> modes, std::size_t nmax);
};

/// The smallest p in [1, nmax + 1] such that no row of order >= p has an
/// element with rg_mag > 1e-12 q_mag (strictly; NaN never counts). An empty
/// list gives 1.
std::size_t p_negligible_from(std::span<const ModeMatrices<double>> modes, std::size_t nmax);

/// What the refinement mask reads of a first pass solved in f64.
struct RefinementInputs {
  /// Per mode: the error terms of blocks 0 and 1 ((0, 0) when not solved).
  std::span<const std::pair<double, double>> block_errors;
  /// Per mode and block: one error estimate per row (empty when not solved).
  std::span<const std::array<std::vector<double>, 2>> row_errors;
  /// The first-pass matrices (only their row lists are read).
  std::span<const ModeMatrices<double>> modes;
  /// The highest mode solved.
  std::size_t m_max = 0;
  /// The refinement tolerance (+inf disables refinement).
  double tol = 0.0;
  /// The largest unscaled |T_ij| of the first pass.
  double scale = 0.0;
  /// The term count N.
  std::size_t n_terms = 0;
};

/// The rule both refinement masks share, for mode m with block errors e0, e1
/// and threshold thr: None unless the NaN-ignoring max of e0 and e1 exceeds
/// thr; else Some(n_from), the smallest order of a row of either block whose
/// error exceeds thr / (2 k_p) (rows beyond the errors given are skipped), or
/// m' + (N - m' + 1) / 4 with m' = max(m, 1) when no row does.
std::optional<std::size_t> refinement_entry(std::size_t m, double e0, double e1, double thr,
                                            const RowLists& rows,
                                            const std::array<std::vector<double>, 2>& row_errors,
                                            std::size_t n_terms);

/// The refinement-pass entry of mode m: None when m > m_max or when the
/// NaN-ignoring max of its block errors does not exceed thr = tol scale;
/// otherwise Some(n_from), the smallest order of a row whose error exceeds
/// thr / (2 k_p), or m' + (N - m' + 1) / 4 when no row does.
std::optional<std::size_t> refinement_mask(std::size_t m, const RefinementInputs& in);

/// The mask of every mode m = 0..N.
std::vector<std::optional<std::size_t>> refinement_masks(const RefinementInputs& in);

/// Pairs each mode's T blocks with the row lists of its matrices, for the
/// shorter of the two lengths, consuming both.
std::vector<SolvedMode<double>> collect_modes(std::vector<Blocks<double>>&& t_blocks,
                                              std::vector<ModeMatrices<double>>&& modes);

/// Per mode m: None (not computed) or Some(n_from) (rows of order >= n_from
/// accumulated). One entry per mode m = 0..nmax.
using Mask = std::span<const std::optional<std::size_t>>;

/// The f64 EBCM matrices of every mode m = 0..nmax, from the Gauss-Legendre
/// rule of 2 ngauss points (its ngauss nodes in (0, 1)), with the variant of
/// every element chosen by magnitude. The only errors are those of the rule.
/// Every member refuses before its large allocations (memory::Refused) a
/// working set that, with one chunk of nodes at a time and the `held_bytes`
/// its caller keeps alive, exceeds the work-memory budget, and a ratio
/// recurrence that could not end (mie::kernel::checked_start_order).
Result<std::vector<ModeMatrices<double>>> all_modes_masked(const Axes<double>& spheroid,
                                                           std::size_t nmax, std::size_t ngauss,
                                                           Mask mask, double m_re, double m_im);

/// The same in double-double, with the rule built node by node in
/// double-double. With a Choice every element takes its code from the record
/// (which must come from a pass with the same nmax) and only the forms those
/// codes need are evaluated; without one the codes are chosen by magnitude.
/// Rows of order >= p get no regular part (rg = 0, q = the variant alone).
/// With a Choice and `magnitudes` false the magnitude sums are not formed
/// (q_mag and rg_mag hold zeros; q and rg are the same bits): a refinement
/// pass takes its bounds from the first pass and saves their operations.
Result<std::vector<ModeMatrices<DoubleDouble>>> all_modes_masked(
    const Axes<DoubleDouble>& spheroid, const Complex<DoubleDouble>& m, std::size_t nmax,
    std::size_t ngauss, Mask mask, const Choice* choice, std::size_t p, std::size_t held_bytes = 0,
    bool magnitudes = true);

/// The EBCM matrices over Dual<double, 4>: the f64 kernel run on the values
/// (every value part equals the f64 kernel's bit for bit) with the partials
/// carried by the dual rules; they arrive through the caller's seeds in the
/// semi-axes and in m. No variant record, no regular-part limit. The only
/// errors are those of the rule.
Result<std::vector<ModeMatrices<DualF64>>> all_modes_masked(const Axes<DualF64>& spheroid,
                                                            const Complex<DualF64>& m,
                                                            std::size_t nmax, std::size_t ngauss,
                                                            Mask mask);

/// The EBCM matrices over Dual<DoubleDouble, 4>, with the double-double rule;
/// with a Choice (from a pass with the same nmax) every element takes its
/// recorded code, without one the codes are chosen by value. Every row
/// receives its regular part. `magnitudes` as for the double-double member.
Result<std::vector<ModeMatrices<DualDD>>> all_modes_masked(const Axes<DualDD>& spheroid,
                                                           const Complex<DualDD>& m,
                                                           std::size_t nmax, std::size_t ngauss,
                                                           Mask mask, const Choice* choice,
                                                           std::size_t held_bytes = 0,
                                                           bool magnitudes = true);

/// The bytes of the element arrays of the matrices (what a caller that keeps
/// them while it works on holds of the work budget).
template <class T>
std::size_t matrices_bytes(std::span<const ModeMatrices<T>> modes);

#define VANTOK_TMATRIX_KERNEL(T)                                                             \
  extern template Choice Choice::of<T>(std::span<const ModeMatrices<T>>, std::size_t);       \
  extern template std::size_t matrices_bytes<T>(std::span<const ModeMatrices<T>>);
VANTOK_FOR_EACH_SCALAR(VANTOK_TMATRIX_KERNEL)
#undef VANTOK_TMATRIX_KERNEL

}  // namespace vantok::tmatrix::kernel
