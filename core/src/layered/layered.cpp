// The reusable layered-sphere solver.
#include "vantok/layered/layered.hpp"

#include "vantok/memory.hpp"
#include "vantok/numeric.hpp"

namespace vantok::layered {

// The work arrays of one solve hold about two complex vectors of N + 2 orders
// per layer (the ratio tables), and eleven with derivatives (the companion and
// side-derivative tables as well). Within the accepted limits (1024 layers,
// 2^20 terms) that can reach hundreds of GB. Such a request is refused as an
// allocation failure (beyond the work budget) before anything is allocated: under memory overcommit the
// vectors would otherwise be granted one by one and the process killed once
// they are touched.
void reserve_work_arrays(std::size_t layers, std::size_t n_terms, bool derivatives) {
  const std::size_t vectors_per_layer = derivatives ? 11 : 2;
  memory::require_work(sat_mul(sat_mul(layers, n_terms + 2), vectors_per_layer), sizeof(Complex<double>),
                       "the layered sphere's work arrays");
}

Result<const mie::kernel::State*> Layered::solve(const mie::SolveOptions& options, bool derivatives,
                                                 std::span<const double> xs,
                                                 std::span<const Complex<double>> ms) {
  VANTOK_TRY(n_terms, check_inputs(xs, ms, options));
  VANTOK_CHECK(check_derivative_limit(options, derivatives, xs));
  reserve_work_arrays(xs.size(), n_terms, derivatives);
  layers_ = xs.size();
  if (layers_ == 1) {
    state_.prepare(n_terms, xs[0], ms[0]);
    state_.finish(n_terms, derivatives, xs[0], ms[0]);
    kernel_.clear_records();
  } else {
    kernel_.solve(state_, xs, ms, n_terms, derivatives);
  }
  return &state_;
}

mie::coefficients::CoefficientDerivatives Layered::layer_derivatives(std::size_t l) const {
  VANTOK_ASSERT(state_.derivatives && l < layers_);
  if (l + 1 == layers_) return state_.coefficient_derivatives();
  return kernel_.records()[l].view(false);
}

}  // namespace vantok::layered
