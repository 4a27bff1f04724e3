#pragma once
// The solve of a spheroid's T-matrix in double-double throughout
// (dd_solve.cpp): spheroid, scales, kernel, LU and unscaling, reduced to f64
// at the end.

#include <cstddef>

#include "tmatrix/detail_profile.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "vantok/error.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::driver {

/// The whole solve at the truncation in double-double (spheroid, scales, kernel, LU,
/// unscaling), reduced to f64 at the end: N + 1 entries, N + 1 codes
/// "double-double", err = 4 2^-52 max |T_ij|.
Result<Solved> solve_double_double(const Spheroid& spheroid, const Truncation& truncation,
                                   SolveProfile* profile = nullptr);

}  // namespace vantok::tmatrix::driver
