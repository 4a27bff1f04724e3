// The output stores of the efficiency and coefficient functions of spheres
// and layered spheres.
#include "sphere_calls.hpp"

#include <algorithm>
#include <array>

namespace vantok_py {

namespace efficiency_outputs {

vantok::Result<std::size_t> bounded(std::size_t elements, std::size_t derivative_sets, bool derivatives) {
  return vantok_py::bounded("the efficiencies",
                            output_count(elements, 1, ROWS, DERIVATIVE_ROWS, derivative_sets), REAL_VALUES,
                            derivatives);
}

Outcome<Buffers> allocate(std::size_t elements, std::size_t derivative_sets) {
  // The guard has bounded every product here.
  VANTOK_TRY(values, zeros<double>(ROWS * elements, "the efficiencies"));
  VANTOK_TRY(jacobian, zeros<double>(DERIVATIVE_ROWS * derivative_sets * elements, "the Jacobian"));
  return Buffers{elements, derivative_sets, std::move(values), std::move(jacobian)};
}

void store(Buffers& out, std::size_t i, const std::array<double, ROWS>& q) {
  VANTOK_ASSERT(i < out.elements);
  for (std::size_t k = 0; k < ROWS; ++k) out.values[k * out.elements + i] = q[k];
}

void store_jacobian(Buffers& out, std::size_t i, std::size_t set, const std::array<double, DERIVATIVE_ROWS>& dq) {
  VANTOK_ASSERT(i < out.elements && set < out.derivative_sets);
  for (std::size_t j = 0; j < DERIVATIVE_ROWS; ++j) {
    out.jacobian[(set * DERIVATIVE_ROWS + j) * out.elements + i] = dq[j];
  }
}

}  // namespace efficiency_outputs

namespace coefficient_outputs {

vantok::Result<std::size_t> bounded(std::size_t elements, std::size_t terms, std::size_t derivative_sets,
                                    bool derivatives) {
  return vantok_py::bounded("the coefficients",
                            output_count(elements, terms, ROWS, DERIVATIVE_ROWS, derivative_sets), COMPLEX_VALUES,
                            derivatives);
}

Outcome<Buffers> allocate(std::size_t elements, std::size_t n_terms, std::size_t derivative_sets) {
  // The guard has bounded every product here.
  const std::size_t table = elements * n_terms;
  VANTOK_TRY(counts, term_counts(elements));
  VANTOK_TRY(a, zeros<C64>(table, "the coefficients"));
  VANTOK_TRY(b, zeros<C64>(table, "the coefficients"));
  VANTOK_TRY(derivatives, zeros<C64>(table * DERIVATIVE_ROWS * derivative_sets, "derivatives"));
  return Buffers{elements, n_terms, derivative_sets, std::move(counts), std::move(a), std::move(b), std::move(derivatives)};
}

namespace {

// Copies `from` to row `row` of `to` (rows of N values), from column 0 on.
void place(std::span<const C64> from, Buffer<C64>& to, std::size_t n_terms, std::size_t row) {
  VANTOK_ASSERT(from.size() <= n_terms && (row + 1) * n_terms <= to.size());
  std::copy(from.begin(), from.end(), to.data() + row * n_terms);
}

}  // namespace

vantok::Result<void> store(Buffers& out, std::size_t i, const vantok::mie::coefficients::Coefficients& c) {
  const std::size_t terms = c.a.size();
  // A writer that bypasses the registry may have changed x or m since the
  // first pass: never write past the row.
  if (terms > out.n_terms) return std::unexpected(changed_during_call(i));
  out.counts[i] = terms;
  place(c.a, out.a, out.n_terms, i);
  place(c.b, out.b, out.n_terms, i);
  return {};
}

void store_derivatives(Buffers& out, std::size_t i, std::size_t set,
                       const vantok::mie::coefficients::CoefficientDerivatives& d) {
  const std::size_t first = DERIVATIVE_ROWS * set * out.elements + i;  // row of da/dx
  place(d.da_dx, out.derivatives, out.n_terms, first);
  place(d.da_dm, out.derivatives, out.n_terms, first + out.elements);
  place(d.db_dx, out.derivatives, out.n_terms, first + 2 * out.elements);
  place(d.db_dm, out.derivatives, out.n_terms, first + 3 * out.elements);
}

}  // namespace coefficient_outputs

}  // namespace vantok_py
