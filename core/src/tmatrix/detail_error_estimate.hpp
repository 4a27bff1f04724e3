#pragma once
// A-posteriori error bounds of a solved EBCM block and of each of its rows
// (error_estimate.cpp).
//
// Matrices are n x n, row-major (element (i, j) at i n + j), in the kernel's
// log-scaled basis: row i of order n_i carries the scale exp(ls_i),
// ls_i = ln|h_{n_i}(r_min)|.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "tmatrix/detail_lu.hpp"
#include "vantok/complex.hpp"

namespace vantok::tmatrix::solve {

/// A-posteriori error bounds of a solved block T = -RgQ Q^-1 given element
/// bounds dq and drg of the absolute errors of Q and RgQ: three random-sign
/// probes of the first-order perturbation. Returns (block bound, one bound per
/// row), both in the units of the unscaled block and with a safety factor 4.
std::pair<double, std::vector<double>> error_estimate_rows(const F64Solve& factors,
                                                           std::span<const Complex<double>> t,
                                                           std::span<const double> dq,
                                                           std::span<const double> drg,
                                                           std::span<const double> ls,
                                                           std::size_t n);

}  // namespace vantok::tmatrix::solve
