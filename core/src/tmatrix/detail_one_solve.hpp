#pragma once
// One solve of a spheroid's T-matrix at fixed N, quadrature size and highest
// azimuthal mode (one_solve.cpp): the f64 solve with a-posteriori error bounds
// per block, double-double refinement of the modes whose bound misses the
// tolerance, and under "auto" the hand-over to the solve in double-double
// throughout (detail_dd_solve.hpp) when the result still misses it.

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>

#include "tmatrix/detail_profile.hpp"
#include "tmatrix/detail_truncation.hpp"
#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/tmatrix/state.hpp"

namespace vantok::tmatrix::driver {

/// The f64 pass of mode 0 that a solve of mode 0 alone leaves for a later
/// solve of several modes at the same N and quadrature size (the convergence
/// stages end on the truncation the solve of all modes takes next). The
/// kernel forms each mode's elements from the nodes alone, whichever modes
/// are computed beside it, and each block is solved on its own, so the later
/// solve takes mode 0's matrices, T blocks and bounds from here instead of
/// forming them again, with the same bits. Shared by the solves of one
/// convergence run, which may run on two threads at once; it keeps the two
/// newest entries.
class ModeZeroCarry {
 public:
  struct Entry;

  void offer(std::shared_ptr<const Entry> entry);
  /// The entry of the truncation (N, n_theta), or null.
  std::shared_ptr<const Entry> find(std::size_t n_terms, std::size_t n_theta) const;

 private:
  mutable std::mutex mutex_;
  std::array<std::shared_ptr<const Entry>, 2> newest_;
};

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
  Result<Solved> operator()(const Truncation& truncation) const { return (*this)(truncation, nullptr); }

  /// The same, leaving mode 0's f64 pass in the carry (a solve of mode 0
  /// alone) or taking it from there (a solve of several modes at the
  /// truncation of an entry).
  Result<Solved> operator()(const Truncation& truncation, ModeZeroCarry* carry) const;
};

}  // namespace vantok::tmatrix::driver
