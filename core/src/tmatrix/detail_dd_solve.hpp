#pragma once
// The solve of a spheroid's T-matrix in double-double throughout
// (dd_solve.cpp): spheroid, scales, kernel, LU and unscaling, reduced to f64
// at the end.

#include <cstddef>

#include "tmatrix/detail_profile.hpp"
#include "vantok/error.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::driver {

/// The whole solve in double-double (spheroid, scales, kernel, LU,
/// unscaling), reduced to f64 at the end: N + 1 entries, N + 1 codes
/// "double-double", err = 4 2^-52 max |T_ij|.
Result<Solved> solve_double_double(double m_re, double m_im, double x, double eps,
                                   std::size_t n_terms, std::size_t n_theta, std::size_t m_max,
                                   SolveProfile* profile = nullptr);

}  // namespace vantok::tmatrix::driver
