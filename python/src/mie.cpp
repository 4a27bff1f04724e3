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

struct EfficiencyOutputs {
  std::size_t len;
  Buffer<double> values;    // (5, len)
  Buffer<double> jacobian;  // (3, 5, len), empty without derivatives
};

PyObject* efficiencies(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] =
      args::SolveArgs::extract("mie_efficiencies", args, nargs, kwnames);

  Outcome<EfficiencyOutputs> out = [&]() -> Outcome<EfficiencyOutputs> {
    VANTOK_TRY(in, sphere_inputs(x, m, n_max, allow_unvalidated));
    const std::size_t len = in.x.len();
    VANTOK_CHECK(bounded("the efficiencies", product({len, std::size_t{derivatives ? 20u : 5u}}), REAL_VALUES,
                         derivatives));

    GilRelease unlocked;
    VANTOK_TRY(values, zeros<double>(5 * len, "the efficiencies"));
    VANTOK_TRY(jacobian, zeros<double>(derivatives ? 15 * len : 0, "the Jacobian"));
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t i, const State& state) -> vantok::Result<void> {
      const auto coefficients = state.coefficients();
      const std::array<double, 5> q = coefficients.efficiencies();
      for (std::size_t k = 0; k < 5; ++k) values[k * len + i] = q[k];
      if (derivatives) {
        const std::array<double, 15> dq = coefficients.efficiencies_jacobian(state.coefficient_derivatives());
        for (std::size_t j = 0; j < 15; ++j) jacobian[j * len + i] = dq[j];
      }
      return {};
    }));
    return EfficiencyOutputs{len, std::move(values), std::move(jacobian)};
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t len = out->len;
  PyRef jacobian = derivatives ? layered::array({3, 5, len}, std::move(out->jacobian)) : PyRef::borrow(Py_None);
  PyRef values = layered::array({5, len}, std::move(out->values));
  return check(PyTuple_Pack(2, values.get(), jacobian.get()));
}

struct CoefficientOutputs {
  std::size_t len;
  std::size_t n_terms;  // N, the largest term count of the call
  Buffer<std::uint64_t> counts;
  Buffer<C64> a;
  Buffer<C64> b;
  Buffer<C64> derivatives;  // (4, len, N), empty without derivatives
};

// Copies the N_i values of `from` to [start, start + N_i) of `to`.
void place(std::span<const C64> from, Buffer<C64>& to, std::size_t start) {
  for (std::size_t n = 0; n < from.size(); ++n) to[start + n] = from[n];
}

PyObject* coefficients(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] =
      args::SolveArgs::extract("mie_coefficients", args, nargs, kwnames);

  Outcome<CoefficientOutputs> out = [&]() -> Outcome<CoefficientOutputs> {
    VANTOK_TRY(in, sphere_inputs(x, m, n_max, allow_unvalidated));
    const std::size_t len = in.x.len();
    const std::size_t factor = derivatives ? 6 : 2;
    // Before the first pass: the call could not hold even one term per element.
    VANTOK_CHECK(bounded("the coefficients", product({len, factor}), COMPLEX_VALUES, derivatives));

    GilRelease unlocked;
    VANTOK_TRY(n_terms, largest_n_terms(in.x, in.m, in.options));
    const std::size_t N = n_terms;
    VANTOK_CHECK(bounded("the coefficients", product({len, N, factor}), COMPLEX_VALUES, derivatives));
    VANTOK_TRY(counts, term_counts(len));
    VANTOK_TRY(a, zeros<C64>(len * N, "the coefficients"));
    VANTOK_TRY(b, zeros<C64>(len * N, "the coefficients"));
    VANTOK_TRY(d, zeros<C64>(derivatives ? 4 * len * N : 0, "derivatives"));
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t i, const State& state) -> vantok::Result<void> {
      const std::size_t terms = state.a.size();
      // A writer that bypasses the registry may have changed x or m since the
      // first pass: never write past the row.
      if (terms > N) return std::unexpected(changed_during_call(i));
      counts[i] = terms;
      place(state.a, a, i * N);
      place(state.b, b, i * N);
      if (derivatives) {
        place(state.da_dx, d, (0 * len + i) * N);
        place(state.da_dm, d, (1 * len + i) * N);
        place(state.db_dx, d, (2 * len + i) * N);
        place(state.db_dm, d, (3 * len + i) * N);
      }
      return {};
    }));
    return CoefficientOutputs{len, N, std::move(counts), std::move(a), std::move(b), std::move(d)};
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t len = out->len;
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
