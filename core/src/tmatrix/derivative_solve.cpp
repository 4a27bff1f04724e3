// The derivative solve at a converged truncation, and the plain T-matrix held
// in the values of a dual one.

#include "vantok/tmatrix/driver.hpp"

namespace vantok::tmatrix::driver {

TMatrixModes<double> values(const TMatrixModes<scalar::DualF64>& modes) {
  TMatrixModes<double> out;
  out.n_terms = modes.n_terms;
  out.modes.reserve(modes.modes.size());
  for (const auto& mode : modes.modes) {
    kernel::SolvedMode<double> plain;
    for (std::size_t p = 0; p < 2; ++p) {
      plain.t[p].reserve(mode.t[p].size());
      for (const auto& z : mode.t[p]) plain.t[p].push_back({z.re.value, z.im.value});
    }
    plain.rows = mode.rows;
    out.modes.push_back(std::move(plain));
  }
  return out;
}

Result<DerivativeSolved> solve_derivatives(std::size_t, std::size_t, Precision, std::size_t, double,
                                           double, double, double, double) {
  // The dual kernels and their solve are not part of this build yet: no
  // caller may ask for derivatives.
  internal_failure("the derivative solve is not built", __FILE__, __LINE__);
}

}  // namespace vantok::tmatrix::driver
