// The derivative solve at a converged truncation.

#include "vantok/tmatrix/driver.hpp"

namespace vantok::tmatrix::driver {

Result<DerivativeSolved> solve_derivatives(std::size_t, std::size_t, Precision, std::size_t, double,
                                           double, double, double, double) {
  // The dual kernels and their solve are not part of this build yet: no
  // caller may ask for derivatives.
  internal_failure("the derivative solve is not built", __FILE__, __LINE__);
}

}  // namespace vantok::tmatrix::driver
