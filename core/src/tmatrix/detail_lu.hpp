#pragma once
// The solve of one EBCM block: T = -RgQ Q^-1 by a dense complex LU
// factorisation of Q^T with partial pivoting (row-by-row solves of
// x Q = -rg), in f64, double-double or dual double-double. Its refinement is
// in detail_refine.hpp, its error bounds in detail_error_estimate.hpp.
//
// Matrices are n x n, row-major (element (i, j) at i n + j). The solves work in
// the kernel's log-scaled basis: row i of order n_i carries the scale
// exp(ls_i), ls_i = ln|h_{n_i}(r_min)|.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/numeric.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::tmatrix::solve {

using scalar::dd::DoubleDouble;
using DualDD = scalar::dual::Dual<DoubleDouble, 4>;

/// n^2 elements of an n x n block; a product that overflows is a caller fault.
inline std::size_t square(std::size_t n) {
  std::size_t n2 = 0;
  VANTOK_ASSERT(checked_mul(n, n, n2));
  return n2;
}

/// A factorised and solved block: `lu` holds the LU factors of A^T after the
/// row exchanges (the unit lower factor's multipliers below the diagonal, U on
/// and above it), `perm[i]` the row of A^T (column of A) that ended in position
/// i, and `solution` X = -B A^-1, all row-major.
template <class T>
struct BlockSolve {
  std::vector<Complex<T>> lu;
  std::vector<std::size_t> perm;
  std::vector<Complex<T>> solution;
};

/// The f64 solve of a block with its factors, reused by the refinement, the
/// error estimates and the derivative solves.
using F64Solve = BlockSolve<double>;

/// The LU factors of A^T (no solution).
template <class T>
struct Factors {
  std::vector<Complex<T>> lu;
  std::vector<std::size_t> perm;
};

/// LU factorisation with partial pivoting of the transpose of the n x n matrix
/// a (at least n^2 elements). The pivot is the first row of largest modulus;
/// a column whose best modulus is 0 or not finite is refused with "the EBCM
/// matrix is singular or not finite at column {}" (0-based).
template <class T>
Result<Factors<T>> factor_transposed(std::span<const Complex<T>> a, std::size_t n);

/// Overwrites rhs (n elements) with the solution x of A^T x = rhs, given the
/// factors of `factor_transposed`: permutation, forward substitution with the
/// unit lower factor, back substitution with the guarded reciprocal.
template <class T>
void substitute(std::span<const Complex<T>> lu, std::span<const std::size_t> perm, std::size_t n,
                std::span<Complex<T>> rhs);

/// X = -B A^-1 for n x n matrices a and b (at least n^2 elements each), with
/// the factors of A^T kept beside it.
template <class T>
Result<BlockSolve<T>> solve_block(std::span<const Complex<T>> a, std::span<const Complex<T>> b,
                                  std::size_t n);

/// The f64 block solve: X = -B A^-1 in plain f64 arithmetic (no fma), with
/// the factors of A^T.
Result<F64Solve> solve_f64(std::span<const Complex<double>> a, std::span<const Complex<double>> b,
                           std::size_t n);

/// Solves A^T x = rhs in place with the factors of `solve_f64`.
void lu_solve(std::span<const Complex<double>> lu, std::span<const std::size_t> perm, std::size_t n,
              std::span<Complex<double>> rhs);

extern template Result<Factors<double>> factor_transposed<double>(std::span<const Complex<double>>,
                                                                  std::size_t);
extern template void substitute<double>(std::span<const Complex<double>>,
                                        std::span<const std::size_t>, std::size_t,
                                        std::span<Complex<double>>);
extern template Result<BlockSolve<double>> solve_block<double>(std::span<const Complex<double>>,
                                                               std::span<const Complex<double>>,
                                                               std::size_t);

extern template Result<Factors<DoubleDouble>> factor_transposed<DoubleDouble>(
    std::span<const Complex<DoubleDouble>>, std::size_t);
extern template Result<Factors<DualDD>> factor_transposed<DualDD>(std::span<const Complex<DualDD>>,
                                                                  std::size_t);
extern template void substitute<DoubleDouble>(std::span<const Complex<DoubleDouble>>,
                                              std::span<const std::size_t>, std::size_t,
                                              std::span<Complex<DoubleDouble>>);
extern template void substitute<DualDD>(std::span<const Complex<DualDD>>,
                                        std::span<const std::size_t>, std::size_t,
                                        std::span<Complex<DualDD>>);
extern template Result<BlockSolve<DoubleDouble>> solve_block<DoubleDouble>(
    std::span<const Complex<DoubleDouble>>, std::span<const Complex<DoubleDouble>>, std::size_t);
extern template Result<BlockSolve<DualDD>> solve_block<DualDD>(std::span<const Complex<DualDD>>,
                                                               std::span<const Complex<DualDD>>,
                                                               std::size_t);

}  // namespace vantok::tmatrix::solve
