#pragma once
// One solve of a spheroid's T-matrix at fixed N, quadrature size and highest
// azimuthal mode (one_solve.cpp): the f64 solve with a-posteriori error bounds
// per block, double-double refinement of the modes whose bound misses the
// tolerance, and under "auto" the hand-over to the solve in double-double
// throughout (detail_dd_solve.hpp) when the result still misses it.

#include <cstddef>

#include "tmatrix/detail_profile.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::driver {

/// The one-solve operation of a spheroid, with the values a convergence run
/// holds fixed.
struct OneSolve {
  Spheroid spheroid;
  double rtol = 0.0;
  Precision precision = Precision::Auto;
  SolveProfile* profile = nullptr;

  /// The T-matrix at the truncation: N terms, n_theta nodes per hemisphere,
  /// modes 0..=m_max solved: N + 1 mode entries (empty blocks above m_max), N + 1
  /// path codes, the largest block error bound. Errors: the quadrature-size
  /// error of the kernels, and "the EBCM matrix is singular or not finite at
  /// column {}" for a singular pivot or a non-finite element of a block's Q,
  /// RgQ or T.
  Result<Solved> operator()(const Truncation& truncation) const;
};

}  // namespace vantok::tmatrix::driver
