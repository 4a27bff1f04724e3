#pragma once
// The steps every solve of a spheroid shares for blocks in the kernel's
// log-scaled basis (scaled_solve.cpp): the log scales L[n] = ln |h_n(r_min)|
// from the outgoing scale factors, the check that a block is finite, the
// double-double (or dual double-double) LU solve T = -RgQ Q^-1 with its
// unscaling by exp(L[n_i] - L[n_j]), and the work-memory check of a
// double-double pass.

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tmatrix/detail_kernel.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/memory.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::tmatrix::driver {

using scalar::DoubleDouble;
using scalar::DualDD;

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

/// A block solved by `solve_blocks`, handed over with its mode and parity.
template <class S>
using BlockDone = std::function<Result<void>(std::size_t mode, std::size_t p, std::vector<Complex<S>>& t)>;

/// The solves of every non-empty block of modes 0..=m_max: finite Q and RgQ
/// required, then lu_factor_solve, and the solved block handed to `done`.
/// The blocks are independent and run in parallel, as many at once as the
/// work budget covers (`lu_bytes` per element of a block's LU) beside the
/// matrices and the T blocks of `t_bytes` per element; `done` runs in
/// parallel too and must write only its block's results. The first failure
/// in mode and block order is the result, as if the blocks ran one by one.
template <class S>
Result<void> solve_blocks(const std::vector<kernel::ModeMatrices<S>>& matrices, std::size_t m_max,
                          std::span<const double> log_scale, std::size_t lu_bytes, std::size_t t_bytes,
                          std::string_view what, const BlockDone<S>& done);

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
extern template Result<void> solve_blocks<DoubleDouble>(const std::vector<kernel::ModeMatrices<DoubleDouble>>&,
                                                        std::size_t, std::span<const double>, std::size_t,
                                                        std::size_t, std::string_view,
                                                        const BlockDone<DoubleDouble>&);
extern template Result<void> solve_blocks<DualDD>(const std::vector<kernel::ModeMatrices<DualDD>>&, std::size_t,
                                                  std::span<const double>, std::size_t, std::size_t,
                                                  std::string_view, const BlockDone<DualDD>&);

}  // namespace vantok::tmatrix::driver
