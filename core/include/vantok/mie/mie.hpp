#pragma once
// The reusable homogeneous-sphere solver: check, then prepare and finish of
// the kernel on one State whose buffers live from one solve to the next.

#include <cstddef>

#include "vantok/complex.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/efficiencies.hpp"
#include "vantok/mie/kernel.hpp"

namespace vantok::mie {

/// One sphere solver, used by one thread at a time. A default-constructed
/// Mie holds an empty State.
class Mie {
 public:
  /// Checks (x, m), then solves. On success returns the State, which stays
  /// valid (with every view taken from it) until the next solve on this Mie;
  /// on failure the State of the previous successful solve is left untouched.
  Result<const kernel::State*> solve(const SolveOptions& options, bool derivatives, double x,
                                     Complex<double> m);

  /// solve with derivatives.
  Result<const kernel::State*> compute_with_derivatives(const SolveOptions& options, double x,
                                                        Complex<double> m) {
    return solve(options, true, x, m);
  }

  const kernel::State& state() const { return state_; }

  /// The coefficients of the last successful solve (a view into the State).
  coefficients::Coefficients coefficients() const { return state_.coefficients(); }

  /// Whether the last successful solve formed derivatives.
  bool has_derivatives() const { return state_.derivatives; }

  /// The derivatives of the last successful solve with respect to x and m;
  /// needs has_derivatives() (InternalFailure otherwise).
  coefficients::CoefficientDerivatives derivatives() const;

 private:
  kernel::State state_;
};

}  // namespace vantok::mie
