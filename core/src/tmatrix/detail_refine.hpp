#pragma once
// Iterative refinement of a solved EBCM block X A = -B with double-double
// residuals, rows taken from f64 or double-double matrices (refine.cpp).
//
// Matrices are n x n, row-major (element (i, j) at i n + j), in the kernel's
// log-scaled basis: row i of order n_i carries the scale exp(ls_i),
// ls_i = ln|h_{n_i}(r_min)|.

#include <cstddef>
#include <span>
#include <vector>

#include "tmatrix/detail_lu.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"

namespace vantok::tmatrix::solve {

/// The result of `refine`.
struct Refined {
  /// The refined solution rounded to f64 (hi parts).
  std::vector<Complex<double>> t;
  /// The refined solution in double-double.
  std::vector<Complex<DoubleDouble>> t_dd;
  /// The assembled matrix A: f64 rows widened with lo = 0, flagged rows in
  /// double-double.
  std::vector<Complex<DoubleDouble>> a_dd;
  /// The f64 solve of the rounded system; `solution` is the unrefined X0.
  F64Solve factors;
  /// Correction sweeps performed, 1 to 4.
  std::size_t sweeps = 0;
  /// Largest correction of the last sweep weighted by exp(ls_i - ls_j), in
  /// the units of the unscaled block.
  double correction = 0.0;
};

/// Iterative refinement of X A = -B: rows with row_flags[i] set are taken from
/// the double-double matrices add and bdd, the others from a64 and b64; the
/// f64 rounding is factorised once (an error of `solve_f64` is returned), and
/// up to four sweeps correct X with double-double residuals.
Result<Refined> refine(std::span<const Complex<double>> a64, std::span<const Complex<double>> b64,
                       std::span<const Complex<DoubleDouble>> add,
                       std::span<const Complex<DoubleDouble>> bdd, std::span<const bool> row_flags,
                       std::span<const double> ls, std::size_t n);

}  // namespace vantok::tmatrix::solve
