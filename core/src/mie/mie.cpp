// The reusable homogeneous-sphere solver.
#include "vantok/mie/mie.hpp"

namespace vantok::mie {

Result<const kernel::State*> Mie::solve(const SolveOptions& options, bool derivatives, double x,
                                        Complex<double> m) {
  // Checked before prepare, so that a refused input leaves the State as it was.
  VANTOK_TRY(n_terms, check_inputs(x, m, options));
  state_.prepare(n_terms, x, m);
  state_.finish(n_terms, derivatives, x, m);
  return &state_;
}

coefficients::CoefficientDerivatives Mie::derivatives() const {
  VANTOK_ASSERT(state_.derivatives);
  return state_.coefficient_derivatives();
}

}  // namespace vantok::mie
