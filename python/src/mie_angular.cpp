// The angular functions of many homogeneous spheres: amplitudes S1, S2 and the
// phase matrix at one common set of cosines, and the Greek expansion
// coefficients, each optionally with derivatives with respect to x and m.
//
// Two passes: the first runs only the input check of every element and finds
// the largest term count N of the call, which sizes one angular table shared by
// all spheres (amplitudes, phase matrix) or the default Greek order 2N; the
// second solves each sphere with one reused solver and evaluates it. Inputs
// are read in place under their read borrows with the interpreter lock released.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "angular.hpp"
#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "vantok/mie/kernel.hpp"

namespace vantok_py::mie {

namespace {

using vantok::mie::kernel::State;

using angular::Layout;
using angular::Output;

// The outputs of one angular call: `rows` rows of len n_mu values, and the
// derivative rows (empty without derivatives).
template <Output kind>
struct Outputs {
  using Value = typename Layout<kind>::Value;
  std::size_t len;
  std::size_t n_mu;
  Buffer<Value> values;
  Buffer<Value> derivatives;
};

// One element's amplitudes (and derivatives) at rows [start, end) of the
// buffers, whose rows are `total` values long.
vantok::Result<void> evaluate_element(const angular::Angles& angles, const State& state, bool derivatives, bool,
                                      Outputs<Output::Amplitudes>& out, std::size_t start, std::size_t end) {
  const std::size_t total = out.len * out.n_mu;
  const auto c = state.coefficients();
  const auto values = angular::amplitude_rows(out.values.span(), total, 0, start, end);
  if (!derivatives) return angles.amplitudes(c, values);
  VANTOK_TRY(d, angular::sphere_derivatives(state, Layout<Output::Amplitudes>::word));
  return angles.amplitudes_with_derivatives(c, d, values,
                                            angular::amplitude_rows(out.derivatives.span(), total, 0, start, end),
                                            angular::amplitude_rows(out.derivatives.span(), total, 2, start, end));
}

// One element's phase matrix (and derivatives).
vantok::Result<void> evaluate_element(const angular::Angles& angles, const State& state, bool derivatives,
                                      bool normalized, Outputs<Output::PhaseMatrix>& out, std::size_t start,
                                      std::size_t end) {
  const std::size_t total = out.len * out.n_mu;
  const auto c = state.coefficients();
  const auto values = angular::phase_rows(out.values.span(), total, 0, start, end);
  if (!derivatives) return angles.phase_matrix(c, normalized, values);
  VANTOK_TRY(d, angular::sphere_derivatives(state, Layout<Output::PhaseMatrix>::word));
  return angles.phase_matrix_with_derivatives(c, d, normalized, values,
                                              angular::phase_derivative_rows(out.derivatives.span(), total, 0, start, end));
}

// The lock-free part of an angular call: buffers, first pass and table, then
// each element solved and evaluated at every cosine.
template <Output kind>
Outcome<Outputs<kind>> evaluate(const SphereInputs& in, std::span<const double> cosines, bool derivatives,
                                bool normalized) {
  using L = Layout<kind>;
  const std::size_t len = in.x.len();
  const std::size_t n_mu = cosines.size();
  const std::size_t total = len * n_mu;  // bounded by the size guard
  VANTOK_TRY(values, zeros<typename L::Value>(L::rows * total, L::what));
  VANTOK_TRY(derivative_values, zeros<typename L::Value>(derivatives ? L::derivative_rows * total : 0, "derivatives"));
  Outputs<kind> out{len, n_mu, std::move(values), std::move(derivative_values)};
  if (n_mu == 0) {
    // Nothing to evaluate: every element is still checked, in order.
    VANTOK_CHECK(largest_n_terms(in.x, in.m, in.options));
    return out;
  }

  angular::Angles angles(cosines);
  if (angular::wants_table(len, n_mu)) {
    VANTOK_TRY(n_terms, largest_n_terms(in.x, in.m, in.options));
    VANTOK_CHECK(angles.share(n_terms));
  }
  VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t i, const State& state) -> vantok::Result<void> {
    auto done = evaluate_element(angles, state, derivatives, normalized, out, i * n_mu, (i + 1) * n_mu);
    // The amplitude routines' refusals (a sphere with more terms than the
    // table, after a change of x or m between the passes) carry no index.
    if constexpr (kind == Output::PhaseMatrix) {
      if (!done) return std::unexpected(at(i, std::move(done).error()));
    }
    return done;
  }));
  return out;
}

template <Output kind>
PyObject* angular_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using L = Layout<kind>;
  constexpr bool phase = kind == Output::PhaseMatrix;
  const auto [x, m, mu, n_max, derivatives, allow_unvalidated, normalized] =
      args::AngularArgs::extract(phase ? "mie_phase_matrix" : "mie_amplitudes", phase, args, nargs, kwnames);

  Outcome<Outputs<kind>> result = [&]() -> Outcome<Outputs<kind>> {
    VANTOK_TRY(x_borrow, borrow(x, "x"));
    VANTOK_TRY(m_borrow, borrow(m, "m"));
    VANTOK_TRY(mu_borrow, borrow(mu, "mu"));
    ArrayView<double> x_view(x_borrow);
    ArrayView<C64> m_view(m_borrow);
    VANTOK_TRY(options, prepare(x_view, m_view, n_max, allow_unvalidated));
    const SphereInputs in{std::move(x_borrow), std::move(m_borrow), std::move(x_view), std::move(m_view), options};
    const ArrayBorrow mu_held = std::move(mu_borrow);  // released first: mu, then m and x
    VANTOK_TRY(cosines, mie::cosines(ArrayView<double>(mu_held)));
    // With no cosines the guard still counts one per element.
    const std::size_t per_cosine = derivatives ? L::rows + L::derivative_rows : L::rows;
    VANTOK_CHECK(bounded(L::what, product({in.x.len(), std::max<std::size_t>(cosines.size(), 1), per_cosine}),
                         L::limit, derivatives));

    GilRelease unlocked;
    return evaluate<kind>(in, cosines.span(), derivatives, normalized);
  }();
  if (!result) errors::throw_failure(std::move(result.error()));
  Outputs<kind>& out = *result;
  PyRef values = layered::array({L::rows, out.len, out.n_mu}, std::move(out.values));
  PyRef derivative_array;
  if (derivatives) {
    if constexpr (phase) {
      derivative_array = layered::array({3, 4, out.len, out.n_mu}, std::move(out.derivatives));
    } else {
      derivative_array = layered::array({4, out.len, out.n_mu}, std::move(out.derivatives));
    }
  }
  return tuple_of(std::move(values), std::move(derivative_array)).release();
}

PyObject* amplitudes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return angular_call<Output::Amplitudes>(args, nargs, kwnames);
}

PyObject* phase_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return angular_call<Output::PhaseMatrix>(args, nargs, kwnames);
}

// ---- Greek coefficients -------------------------------------------------------

struct GreekOutputs {
  std::size_t len;
  std::size_t order;
  angular::greek::Buffers buffers;
};

// The lock-free part of mie_greek: first pass (always: it fixes the default
// order and the output size), the second guard and the buffers, then each
// sphere solved and expanded to the order.
Outcome<GreekOutputs> expand(const SphereInputs& in, std::optional<std::uint64_t> requested, bool derivatives,
                             bool normalized) {
  const std::size_t len = in.x.len();
  VANTOK_TRY(n_max, largest_n_terms(in.x, in.m, in.options));
  const std::size_t order = angular::greek::order_of(requested, n_max);
  const std::size_t sets = derivatives ? 1 : 0;
  VANTOK_CHECK(angular::greek::bounded(len, order + 1, sets, derivatives));
  VANTOK_TRY(buffers, angular::greek::allocate(len, order + 1, sets));
  GreekOutputs out{len, order, std::move(buffers)};

  const std::size_t row = len * (order + 1);
  const std::span<double> values = out.buffers.values.span();
  const std::span<double> derivative_values = out.buffers.derivatives.span();
  VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t i, const State& state) -> vantok::Result<void> {
    const std::size_t n_terms = state.a.size();
    // A writer that bypassed the borrows changed the element after the first pass.
    if (!requested && n_terms > n_max) return std::unexpected(changed_during_call(i));
    out.buffers.counts[i] = n_terms;
    const std::size_t start = i * (order + 1);
    const std::size_t end = start + order + 1;
    const auto c = state.coefficients();
    if (!derivatives) {
      auto g = c.greek(order, normalized);
      if (!g) return std::unexpected(at(i, std::move(g).error()));
      angular::greek::row_store(*g, values, row, 0, start, end);
      return {};
    }
    auto d = angular::sphere_derivatives(state, "Greek");
    if (!d) return std::unexpected(at(i, std::move(d).error()));
    auto g = c.greek_with_derivatives(order, *d, normalized);
    if (!g) return std::unexpected(at(i, std::move(g).error()));
    angular::greek::row_store(g->values, values, row, 0, start, end);
    angular::greek::row_store(g->x, derivative_values, row, 0, start, end);
    angular::greek::row_store(g->re_m, derivative_values, row, 6, start, end);
    angular::greek::row_store(g->im_m, derivative_values, row, 12, start, end);
    return {};
  }));
  return out;
}

PyObject* greek(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, order, n_max, derivatives, allow_unvalidated, normalized] =
      args::GreekArgs::extract("mie_greek", args, nargs, kwnames);

  Outcome<GreekOutputs> result = [&]() -> Outcome<GreekOutputs> {
    VANTOK_TRY(in, sphere_inputs(x, m, n_max, allow_unvalidated));
    VANTOK_CHECK(angular::greek::check_order(order));
    // Before the order is known: a call that could not hold even order 0.
    VANTOK_CHECK(angular::greek::bounded(in.x.len(), 1, derivatives ? 1 : 0, derivatives));

    GilRelease unlocked;
    return expand(in, order, derivatives, normalized);
  }();
  if (!result) errors::throw_failure(std::move(result.error()));
  GreekOutputs& out = *result;
  const std::size_t orders = out.order + 1;
  PyRef coefficients = layered::array({6, out.len, orders}, std::move(out.buffers.values));
  PyRef derivative_array;
  if (derivatives) derivative_array = layered::array({3, 6, out.len, orders}, std::move(out.buffers.derivatives));
  PyRef counts = layered::array({out.len}, std::move(out.buffers.counts));
  return tuple_of(std::move(counts), std::move(coefficients), std::move(derivative_array)).release();
}

}  // namespace

PyMethodDef amplitudes_def = args::method(
    "mie_amplitudes", &args::entry<&amplitudes>,
    "mie_amplitudes(x, m, mu, n_max, derivatives, allow_unvalidated)\n--\n\n"
    "S\u2081 and S\u2082 (2, len, n_mu) at the cosines `mu`, and with `derivatives` \u2202S\u2081/\u2202x, "
    "\u2202S\u2082/\u2202x,\n"
    "dS\u2081/dm, dS\u2082/dm (4, len, n_mu).");

PyMethodDef phase_matrix_def = args::method(
    "mie_phase_matrix", &args::entry<&phase_matrix>,
    "mie_phase_matrix(x, m, mu, n_max, derivatives, allow_unvalidated, normalized)\n--\n\n"
    "F\u2081\u2081, F\u2081\u2082, F\u2083\u2083, F\u2083\u2084 (4, len, n_mu) at the cosines `mu`, normalized or not, "
    "and with\n"
    "`derivatives` their derivatives with respect to x, Re m and Im m (3, 4, len, n_mu).");

PyMethodDef greek_def = args::method(
    "mie_greek", &args::entry<&greek>,
    "mie_greek(x, m, order, n_max, derivatives, allow_unvalidated, normalized)\n--\n\n"
    "The number of terms of each element (len), the Greek coefficients \u03b1\u2081, \u03b1\u2082, \u03b1\u2083, "
    "\u03b1\u2084, \u03b2\u2081, \u03b2\u2082\n"
    "(6, len, L + 1) up to `order` (by default the largest 2N, each sphere zero-padded above its\n"
    "own 2N), normalized or not, and with `derivatives` their derivatives with respect to x,\n"
    "Re m and Im m (3, 6, len, L + 1).");

}  // namespace vantok_py::mie
