// The sphere functions on NumPy arrays: default term counts, efficiencies with
// their Jacobian, and the Mie coefficients with their derivatives. Each call
// borrows its inputs, checks shapes and output sizes with the lock held, then
// solves element by element in C order with the lock released, with one Mie
// solver whose buffers serve every element.
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "vantok/format.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/kernel.hpp"

namespace vantok_py::mie {

namespace {

using vantok::mie::kernel::State;

// The x range of the default truncation.
constexpr double X_MIN = 1e-30;
constexpr double X_MAX = 1e6;

PyObject* default_n_max(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"x"};
  static constexpr args::Spec spec{"mie_default_n_max", nullptr, params, 1};
  const auto arguments = args::Arguments::fast(spec, args, nargs, kwnames);
  PyObject* x = arguments.f64_array(0);

  // The lock stays held: each element costs a cube root.
  Outcome<Buffer<std::uint64_t>> counts = [&]() -> Outcome<Buffer<std::uint64_t>> {
    VANTOK_TRY(x_borrow, borrow(x, "x"));
    const ArrayView<double> xv(x_borrow);
    // Allocated up front, so that a huge (broadcast) x fails at once.
    VANTOK_TRY(out, term_counts(xv.len()));
    auto xs = xv.cursor();
    for (std::size_t i = 0; i < xv.len(); ++i) {
      const double xi = xs.next();
      if (!(X_MIN <= xi && xi <= X_MAX)) {
        return std::unexpected(at(i, vantok::Error::invalid_input(
                                         "the size parameter x must be in [" + vantok::fmt::exp(X_MIN) + ", " +
                                         vantok::fmt::exp(X_MAX) + "], got " + vantok::fmt::exp(xi))));
      }
      out[i] = vantok::mie::default_terms(xi);
    }
    return std::move(out);
  }();
  if (!counts) errors::throw_failure(std::move(counts.error()));
  const std::size_t len = counts->size();
  return layered::array({len}, std::move(*counts)).release();
}

PyObject* efficiencies(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] =
      args::SolveArgs::extract("mie_efficiencies", args, nargs, kwnames);

  Outcome<efficiency_outputs::Buffers> out = [&]() -> Outcome<efficiency_outputs::Buffers> {
    VANTOK_TRY(in, sphere_inputs(x, m, n_max, allow_unvalidated));
    const std::size_t sets = derivatives ? 1 : 0;
    VANTOK_CHECK(efficiency_outputs::bounded(in.x.len(), sets, derivatives));

    GilRelease unlocked;
    VANTOK_TRY(buffers, efficiency_outputs::allocate(in.x.len(), sets));
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t i, const State& state) -> vantok::Result<void> {
      const auto c = state.coefficients();
      efficiency_outputs::store(buffers, i, c);
      if (derivatives) efficiency_outputs::store_jacobian(buffers, i, 0, c, state.coefficient_derivatives());
      return {};
    }));
    return std::move(buffers);
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t len = out->elements;
  PyRef jacobian = derivatives ? layered::array({3, 5, len}, std::move(out->jacobian)) : PyRef::borrow(Py_None);
  PyRef values = layered::array({5, len}, std::move(out->values));
  return check(PyTuple_Pack(2, values.get(), jacobian.get()));
}

PyObject* coefficients(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] =
      args::SolveArgs::extract("mie_coefficients", args, nargs, kwnames);

  Outcome<coefficient_outputs::Buffers> out = [&]() -> Outcome<coefficient_outputs::Buffers> {
    VANTOK_TRY(in, sphere_inputs(x, m, n_max, allow_unvalidated));
    const std::size_t len = in.x.len();
    const std::size_t sets = derivatives ? 1 : 0;
    // Before the first pass: the call could not hold even one term per element.
    VANTOK_CHECK(coefficient_outputs::bounded(len, 1, sets, derivatives));

    GilRelease unlocked;
    VANTOK_TRY(n_terms, largest_n_terms(in.x, in.m, in.options));
    VANTOK_CHECK(coefficient_outputs::bounded(len, n_terms, sets, derivatives));
    VANTOK_TRY(buffers, coefficient_outputs::allocate(len, n_terms, sets));
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t i, const State& state) -> vantok::Result<void> {
      auto stored = coefficient_outputs::store(buffers, i, state.coefficients());
      if (stored && derivatives) coefficient_outputs::store_derivatives(buffers, i, 0, state.coefficient_derivatives());
      return stored;
    }));
    return std::move(buffers);
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t len = out->elements;
  const std::size_t N = out->n_terms;
  PyRef counts = layered::array({len}, std::move(out->counts));
  PyRef a = layered::array({len, N}, std::move(out->a));
  PyRef b = layered::array({len, N}, std::move(out->b));
  PyRef d = derivatives ? layered::array({4, len, N}, std::move(out->derivatives)) : PyRef::borrow(Py_None);
  return check(PyTuple_Pack(4, counts.get(), a.get(), b.get(), d.get()));
}

}  // namespace

PyMethodDef default_n_max_def = args::method(
    "mie_default_n_max", &args::entry<&default_n_max>,
    "mie_default_n_max(x)\n--\n\n"
    "The default number of terms for each x (C order); see `vantok.mie.default_n_max`. Raises\n"
    "`InvalidInputError` for an x outside the accepted range.");

PyMethodDef efficiencies_def = args::method(
    "mie_efficiencies", &args::entry<&efficiencies>,
    "mie_efficiencies(x, m, n_max, derivatives, allow_unvalidated)\n--\n\n"
    "Efficiencies (5, len) in the order Q_ext, Q_sca, Q_abs, Q_back, g, and with\n"
    "`derivatives` their Jacobian (3, 5, len) with respect to x, Re m and Im m.");

PyMethodDef coefficients_def = args::method(
    "mie_coefficients", &args::entry<&coefficients>,
    "mie_coefficients(x, m, n_max, derivatives, allow_unvalidated)\n--\n\n"
    "The number of terms of each element (len), aₙ and bₙ (len, N) zero-padded to the largest\n"
    "N, and with `derivatives` ∂a/∂x, da/dm, ∂b/∂x, db/dm (4, len, N).");

}  // namespace vantok_py::mie
