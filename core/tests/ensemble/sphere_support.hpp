#pragma once
// A solved homogeneous sphere for the tests of the Greek machinery.

#include <cstddef>

#include "vantok/complex.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/kernel.hpp"

namespace vantok::test::ensemble {

/// The sphere at (x, m) with its default number of terms.
struct SolvedSphere {
  SolvedSphere(double x, Complex<double> m, bool derivatives) : n_terms(*mie::check_inputs(x, m, {})) {
    state.prepare(n_terms, x, m);
    state.finish(n_terms, derivatives, x, m);
  }
  std::size_t n_terms;
  mie::kernel::State state;
};

}  // namespace vantok::test::ensemble
