#pragma once
// The reusable layered-sphere solver: check, derivative limit, then one layer
// as a homogeneous sphere or several by the layered kernel, into the State of
// the outermost layer.

#include <cstddef>
#include <span>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/layered/check.hpp"
#include "vantok/layered/kernel.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/kernel.hpp"

namespace vantok::layered {

/// Throws std::bad_alloc when the work arrays of a solve of `layers` layers
/// and n_terms terms would not fit in physical memory: refused before
/// anything is allocated (under memory overcommit they would be granted and
/// the process killed once they are touched). Layered::solve runs it after
/// the checks.
void reserve_work_arrays(std::size_t layers, std::size_t n_terms, bool derivatives);

/// One layered-sphere solver, used by one thread at a time. A default-
/// constructed Layered has every buffer empty and allocates nothing.
class Layered {
 public:
  /// Checks the particle (xs and ms from the core out), then solves it. On
  /// success returns the outer layer's State: a_n, b_n, the absorption sum and,
  /// with derivatives, the derivatives with respect to the outermost x and m.
  /// The State and every view taken from this object stay valid until the
  /// next solve; on failure the previous results are left untouched.
  Result<const mie::kernel::State*> solve(const mie::SolveOptions& options, bool derivatives,
                                          std::span<const double> xs,
                                          std::span<const Complex<double>> ms);

  /// solve with derivatives.
  Result<const mie::kernel::State*> compute_with_derivatives(const mie::SolveOptions& options,
                                                             std::span<const double> xs,
                                                             std::span<const Complex<double>> ms) {
    return solve(options, true, xs, ms);
  }

  const mie::kernel::State& state() const { return state_; }

  /// The coefficients of the last successful solve (a view into the State).
  mie::coefficients::Coefficients coefficients() const { return state_.coefficients(); }

  /// Whether the last successful solve formed derivatives.
  bool has_derivatives() const { return state_.derivatives; }

  /// Number of layers of the last successful solve.
  std::size_t layers() const { return layers_; }

  /// Derivatives with respect to layer l's x_l and m_l (0 the core) from the
  /// last successful solve, which must have had derivatives; l < layers().
  /// outer is set only for the outermost layer.
  mie::coefficients::CoefficientDerivatives layer_derivatives(std::size_t l) const;

 private:
  mie::kernel::State state_;
  kernel::Kernel kernel_;
  std::size_t layers_ = 0;
};

}  // namespace vantok::layered
