// The reusable layered-sphere solver.
#include "vantok/layered/layered.hpp"

namespace vantok::layered {

Result<const mie::kernel::State*> Layered::solve(const mie::SolveOptions& options, bool derivatives,
                                                 std::span<const double> xs,
                                                 std::span<const Complex<double>> ms) {
  VANTOK_TRY(n_terms, check_inputs<double>(xs, ms, options));
  VANTOK_CHECK(check_derivative_limit(options, derivatives, xs));
  layers_ = xs.size();
  if (layers_ == 1) {
    state_.prepare(n_terms, xs[0], ms[0]);
    state_.finish(n_terms, derivatives, std::nullopt, std::nullopt, xs[0], ms[0]);
    kernel_.clear_records();
  } else {
    kernel_.solve(state_, xs, ms, n_terms, derivatives);
  }
  return &state_;
}

mie::coefficients::CoefficientDerivatives Layered::layer_derivatives(std::size_t l) const {
  VANTOK_ASSERT(state_.derivatives && l < layers_);
  if (l + 1 == layers_) return state_.coefficient_derivatives();
  return kernel_.records()[l].view();
}

}  // namespace vantok::layered
