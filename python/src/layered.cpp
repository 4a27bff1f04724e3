// The layered-sphere functions on NumPy arrays. Particles are the rows of two
// C-contiguous (P, L) arrays, column 0 the core, read in place one row at a
// time. One solver per call serves every particle; every derivative output
// carries a leading layer axis (the derivatives with respect to each layer's
// x_l, Re m_l and Im m_l), taken from the per-layer records of the solve.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "angular.hpp"
#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "numpy_api.hpp"
#include "ref.hpp"
#include "vantok/format.hpp"
#include "vantok/layered/check.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/coefficients.hpp"

namespace vantok_py::layered {

namespace {

using vantok::mie::SolveOptions;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;

// ---- the frame: views, options, rows, the per-call solver --------------------

/// A two-dimensional read-only view of a borrowed array: P particles (rows) of
/// L layers (columns), with byte strides. Valid while the borrow is held.
template <class T>
struct View2 {
  const char* data = nullptr;
  std::array<np::npy_intp, 2> shape{};    // (P, L)
  std::array<np::npy_intp, 2> strides{};  // bytes

  std::size_t particles() const noexcept { return static_cast<std::size_t>(shape[0]); }
  std::size_t layers() const noexcept { return static_cast<std::size_t>(shape[1]); }

  /// C-contiguous in the sense the rows need: an empty array passes; otherwise
  /// consecutive layers are one element apart (unless L = 1) and consecutive
  /// particles L elements apart (unless P = 1). Byte strides are compared with
  /// byte distances, never divided: an aligned complex128 array may have byte
  /// strides that are no multiple of 16.
  bool c_contiguous() const noexcept {
    if (shape[0] == 0 || shape[1] == 0) return true;
    const auto item = static_cast<np::npy_intp>(sizeof(T));
    return (shape[1] == 1 || strides[1] == item) && (shape[0] == 1 || strides[0] == shape[1] * item);
  }

  /// Particle p as L contiguous values, core first. Needs p < P and a view
  /// that passed c_contiguous (guaranteed by `prepare`).
  std::span<const T> row(std::size_t p) const {
    VANTOK_ASSERT(p < particles() && c_contiguous());
    if (shape[1] == 0) return {};
    // The borrow checked alignment; the view reads T values the array holds.
    return {reinterpret_cast<const T*>(data + static_cast<np::npy_intp>(p) * strides[0]), layers()};
  }
};

template <class T>
Outcome<View2<T>> view2(const ArrayBorrow& borrowed) {
  const np::ArrayFields* f = np::fields(borrowed.array());
  if (f->nd != 2) {
    // The text of the shape error of a failed dimension conversion.
    return std::unexpected(value_error(std::string("x and m must be two-dimensional: ShapeError/IncompatibleShape: ") +
                                       shape_error_text(ShapeError::IncompatibleShape)));
  }
  return View2<T>{f->data, {f->dimensions[0], f->dimensions[1]}, {f->strides[0], f->strides[1]}};
}

/// The checked particle arrays of a call: read borrows of x, m (and mu for the
/// angular functions), the two-dimensional views and the options. Members are
/// destroyed in reverse order: mu, then m, then x are released.
struct Particles {
  ArrayBorrow x_borrow;
  ArrayBorrow m_borrow;
  ArrayBorrow mu_borrow;  // empty without cosines
  View2<double> x;
  View2<C64> m;
  SolveOptions options;

  std::size_t count() const noexcept { return x.particles(); }
  std::size_t layers() const noexcept { return x.layers(); }
};

/// Two-dimensional views of x, then m: ValueError "x and m must be
/// two-dimensional: ..." for any other rank.
Outcome<std::pair<View2<double>, View2<C64>>> views(const ArrayBorrow& x, const ArrayBorrow& m) {
  VANTOK_TRY(xv, view2<double>(x));
  VANTOK_TRY(mv, view2<C64>(m));
  return std::pair{xv, mv};
}

/// The Python-side checks, in order: one shape, C-contiguity of x then m, the
/// range of n_max.
Outcome<SolveOptions> prepare(const View2<double>& x, const View2<C64>& m, std::optional<std::uint64_t> n_max,
                              bool allow_unvalidated) {
  VANTOK_CHECK(mie::same_shape(x.shape, m.shape));
  if (!x.c_contiguous() || !m.c_contiguous()) return std::unexpected(value_error("x and m must be C-contiguous"));
  return mie::solve_options(n_max, allow_unvalidated);
}

/// Borrows x, m and (when given) mu in that order, then `views` and `prepare`.
Outcome<Particles> particles(PyObject* x, PyObject* m, PyObject* mu, std::optional<std::uint64_t> n_max,
                             bool allow_unvalidated) {
  Particles in;
  VANTOK_TRY(x_borrow, mie::borrow(x, "x"));
  in.x_borrow = std::move(x_borrow);
  VANTOK_TRY(m_borrow, mie::borrow(m, "m"));
  in.m_borrow = std::move(m_borrow);
  if (mu != nullptr) {
    VANTOK_TRY(mu_borrow, mie::borrow(mu, "mu"));
    in.mu_borrow = std::move(mu_borrow);
  }
  VANTOK_TRY(both, views(in.x_borrow, in.m_borrow));
  in.x = both.first;
  in.m = both.second;
  VANTOK_TRY(options, prepare(in.x, in.m, n_max, allow_unvalidated));
  in.options = options;
  return in;
}

/// Particle p: its size parameters and refractive indices, core first.
std::pair<std::span<const double>, std::span<const C64>> row(const Particles& in, std::size_t p) {
  return {in.x.row(p), in.m.row(p)};
}

/// The layer-count part of the check for every particle (all have L layers),
/// run before any output is allocated so that too many layers are refused
/// before memory is committed; the error is the one particle 0 would give.
vantok::Result<void> layer_count(const Particles& in) {
  if (in.count() == 0) return {};
  auto checked = vantok::layered::check_layer_count(in.layers(), in.m.layers());
  if (!checked) return std::unexpected(mie::at(0, std::move(checked).error()));
  return {};
}

/// First pass: the layered input check of every particle in row order (no
/// solve, no derivative limit); the largest number of terms, 0 without
/// particles, or the first failure with its row index.
vantok::Result<std::size_t> largest_n_terms(const Particles& in) {
  std::size_t largest = 0;
  for (std::size_t p = 0; p < in.count(); ++p) {
    const auto [xs, ms] = row(in, p);
    auto terms = vantok::layered::check_inputs(xs, ms, in.options);
    if (!terms) return std::unexpected(mie::at(p, std::move(terms).error()));
    largest = std::max(largest, *terms);
  }
  return largest;
}

/// The solver of one call: the core layered solver, whose buffers serve every
/// particle, seen as one solution with exactly L per-layer derivative records
/// (the L-1 inner records of the recursion and the outer layer's own).
class LayeredSolver {
 public:
  /// Checks and solves particle p (the layered check, then, with derivatives,
  /// the limit x_L <= 1e3 of several layers unless allow_unvalidated); errors
  /// carry "element {p}: ".
  vantok::Result<const LayeredSolver*> solve(std::size_t p, std::span<const double> xs,
                                             std::span<const C64> ms, const SolveOptions& options,
                                             bool derivatives) {
    auto solved = core_.solve(options, derivatives, xs, ms);
    if (!solved) return std::unexpected(mie::at(p, std::move(solved).error()));
    return this;
  }

  /// The coefficient view {a, b, x_L, S_abs} of the last solve.
  Coefficients coefficients() const { return core_.state().coefficients(); }
  std::size_t n_terms() const { return core_.state().a.size(); }
  bool derivatives() const { return core_.state().derivatives; }
  std::size_t layers() const { return core_.layers(); }

  /// The derivative record of layer l (outer only for the last layer). Needs
  /// a solve with derivatives and l < L: an internal failure otherwise.
  CoefficientDerivatives record(std::size_t l) const { return core_.layer_derivatives(l); }

  /// The coefficient view and layer l's derivative view, for the angular and
  /// Greek functions; `word` names the caller's quantity in the refusal.
  vantok::Result<std::pair<Coefficients, CoefficientDerivatives>> layer(std::size_t l,
                                                                        std::string_view word) const {
    if (!derivatives()) {
      return std::unexpected(angular::derivatives_missing(word, "Layered"));
    }
    if (l >= layers()) {
      return std::unexpected(vantok::Error::invalid_input(
          "no layer " + vantok::fmt::plain(static_cast<std::uint64_t>(l)) + ": the particle has " +
          vantok::fmt::plain(static_cast<std::uint64_t>(layers())) + " layers"));
    }
    return std::pair{coefficients(), record(l)};
  }

 private:
  vantok::layered::Layered core_;
};

/// Second pass: solves every particle in row order with one solver and hands
/// each solution to `use(p, solver)`, which returns Result<void>. The first
/// error ends the loop. Lock-free.
template <class Use>
vantok::Result<void> solve_each(const Particles& in, bool derivatives, Use&& use) {
  LayeredSolver solver;
  for (std::size_t p = 0; p < in.count(); ++p) {
    const auto [xs, ms] = row(in, p);
    VANTOK_TRY(solved, solver.solve(p, xs, ms, in.options, derivatives));
    VANTOK_CHECK(use(p, *solved));
  }
  return {};
}

// ---- layered_efficiencies -----------------------------------------------------

PyObject* efficiencies(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] =
      args::SolveArgs::extract("layered_efficiencies", args, nargs, kwnames);

  Outcome<efficiency_outputs::Buffers> out = [&]() -> Outcome<efficiency_outputs::Buffers> {
    VANTOK_TRY(in, particles(x, m, nullptr, n_max, allow_unvalidated));
    const std::size_t sets = derivatives ? in.layers() : 0;
    VANTOK_CHECK(efficiency_outputs::bounded(in.count(), sets, derivatives));

    GilRelease unlocked;
    VANTOK_CHECK(layer_count(in));
    VANTOK_TRY(buffers, efficiency_outputs::allocate(in.count(), sets));
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t p, const LayeredSolver& solved) -> vantok::Result<void> {
      const Coefficients c = solved.coefficients();
      efficiency_outputs::store(buffers, p, c);
      // Row r of layer l is x_l, Re m_l, Im m_l (the record of the last layer is the outer one).
      for (std::size_t l = 0; l < sets; ++l) efficiency_outputs::store_jacobian(buffers, p, l, c, solved.record(l));
      return {};
    }));
    return std::move(buffers);
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t P = out->elements;
  PyRef jacobian;
  if (derivatives) jacobian = array({out->derivative_sets, 3, 5, P}, std::move(out->jacobian));
  PyRef values = array({5, P}, std::move(out->values));
  return tuple_of(std::move(values), std::move(jacobian)).release();
}

// ---- layered_coefficients -----------------------------------------------------

PyObject* coefficients(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] =
      args::SolveArgs::extract("layered_coefficients", args, nargs, kwnames);

  Outcome<coefficient_outputs::Buffers> out = [&]() -> Outcome<coefficient_outputs::Buffers> {
    VANTOK_TRY(in, particles(x, m, nullptr, n_max, allow_unvalidated));
    const std::size_t P = in.count();
    const std::size_t sets = derivatives ? in.layers() : 0;
    // Before the first pass: the call could not hold even one term per particle.
    VANTOK_CHECK(coefficient_outputs::bounded(P, 1, sets, derivatives));

    GilRelease unlocked;
    VANTOK_TRY(n_terms, largest_n_terms(in));
    VANTOK_CHECK(coefficient_outputs::bounded(P, n_terms, sets, derivatives));
    VANTOK_TRY(buffers, coefficient_outputs::allocate(P, n_terms, sets));
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t p, const LayeredSolver& solved) -> vantok::Result<void> {
      auto stored = coefficient_outputs::store(buffers, p, solved.coefficients());
      for (std::size_t l = 0; stored && l < sets; ++l) {
        coefficient_outputs::store_derivatives(buffers, p, l, solved.record(l));
      }
      return stored;
    }));
    return std::move(buffers);
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t P = out->elements;
  const std::size_t N = out->n_terms;
  PyRef d;
  if (derivatives) d = array({out->derivative_sets, 4, P, N}, std::move(out->derivatives));
  PyRef counts = array({P}, std::move(out->counts));
  PyRef a = array({P, N}, std::move(out->a));
  PyRef b = array({P, N}, std::move(out->b));
  return tuple_of(std::move(counts), std::move(a), std::move(b), std::move(d)).release();
}

// ---- layered_amplitudes and layered_phase_matrix ------------------------------------

/// The first pass of an angular call and its shared table: for at least two
/// particles and one cosine every particle is checked in row order (no solve,
/// no derivative limit) and the table of the largest N is made when it fits
/// (its own error carries no element index); otherwise the recurrences serve.
vantok::Result<void> share_table(const Particles& in, angular::Angles& angles) {
  if (!angular::wants_table(in.count(), angles.n_mu())) return {};
  VANTOK_TRY(n_terms, largest_n_terms(in));
  return angles.share(n_terms);
}

using angular::Layout;
using angular::Output;
using angular::Outputs;

/// The lock-free part of an angular call: buffers, then the first pass and the
/// shared table, then every particle in row order, its values once and, with
/// derivatives, each layer's rows.
template <Output kind>
Outcome<Outputs<kind>> evaluate(const Particles& in, std::span<const double> cosines, bool derivatives,
                                bool normalized) {
  using Out = Layout<kind>;
  using T = typename Out::Value;
  const std::size_t P = in.count();
  const std::size_t L = in.layers();
  const std::size_t n_mu = cosines.size();
  VANTOK_CHECK(layer_count(in));
  VANTOK_TRY(out, angular::allocate<kind>(P, n_mu, derivatives ? L : 0));
  angular::Angles angles(cosines);
  VANTOK_CHECK(share_table(in, angles));

  std::vector<T> scratch(Out::rows * n_mu);
  LayeredSolver solver;
  for (std::size_t p = 0; p < P; ++p) {
    const auto [xs, ms] = row(in, p);
    if (n_mu == 0) {
      // Nothing to evaluate: the particle is checked, not solved.
      auto checked = vantok::layered::check_inputs(xs, ms, in.options);
      if (!checked) return std::unexpected(mie::at(p, std::move(checked).error()));
      continue;
    }
    VANTOK_TRY(solved, solver.solve(p, xs, ms, in.options, derivatives));
    const std::size_t start = p * n_mu;
    const std::size_t end = start + n_mu;
    // Every refusal of the angular routines (the table's term check among
    // them) names the particle.
    auto done = angular::evaluate_values(angles, solved->coefficients(), normalized, out, start, end);
    for (std::size_t l = 0; done && derivatives && l < L; ++l) {
      auto layer = solved->layer(l, Out::word);
      if (!layer) {
        done = std::unexpected(std::move(layer).error());
        break;
      }
      // The values the derivative routine forms along go to scratch and are dropped.
      done = angular::evaluate_derivatives(angles, layer->first, layer->second, normalized,
                                           angular::value_rows(std::span<T>(scratch), n_mu, 0, n_mu), out, l, start,
                                           end);
    }
    if (!done) return std::unexpected(mie::at(p, std::move(done).error()));
  }
  return out;
}

template <Output kind>
PyObject* angular_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Out = Layout<kind>;
  constexpr bool phase = kind == Output::PhaseMatrix;
  const auto [x, m, mu, n_max, derivatives, allow_unvalidated, normalized] = args::AngularArgs::extract(
      phase ? "layered_phase_matrix" : "layered_amplitudes", phase, args, nargs, kwnames);

  Outcome<Outputs<kind>> result = [&]() -> Outcome<Outputs<kind>> {
    VANTOK_TRY(in, particles(x, m, mu, n_max, allow_unvalidated));
    VANTOK_TRY(cosines, mie::cosines(ArrayView<double>(in.mu_borrow)));
    VANTOK_CHECK(angular::bounded<kind>(in.count(), cosines.size(), derivatives ? in.layers() : 0, derivatives));

    GilRelease unlocked;
    return evaluate<kind>(in, cosines.span(), derivatives, normalized);
  }();
  if (!result) errors::throw_failure(std::move(result.error()));
  Outputs<kind>& out = *result;
  PyRef derivative_array;
  if (derivatives) {
    derivative_array = array<typename Out::Value>(angular::derivative_shape<kind>(out.derivative_sets, out.elements, out.n_mu),
                                                  std::move(out.derivatives));
  }
  PyRef values = array({Out::rows, out.elements, out.n_mu}, std::move(out.values));
  return tuple_of(std::move(values), std::move(derivative_array)).release();
}

PyObject* amplitudes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return angular_call<Output::Amplitudes>(args, nargs, kwnames);
}

PyObject* phase_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return angular_call<Output::PhaseMatrix>(args, nargs, kwnames);
}

// ---- layered_greek -------------------------------------------------------------------

/// The lock-free part of layered_greek: the first pass (always: it fixes the
/// default order and the output size), the second guard and the buffers, then
/// each particle solved and expanded. The values always come from `greek`;
/// each layer adds one `greek_with_derivatives`, whose values are dropped.
Outcome<angular::greek::Outputs> expand(const Particles& in, std::optional<std::uint64_t> requested,
                                        bool derivatives, bool normalized) {
  VANTOK_TRY(n_max, largest_n_terms(in));
  VANTOK_TRY(out, angular::greek::outputs(in.count(), requested, n_max, derivatives ? in.layers() : 0, derivatives));
  VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t p, const LayeredSolver& solved) -> vantok::Result<void> {
    auto counted = out.count(p, solved.n_terms());
    if (!counted) return counted;
    auto g = solved.coefficients().greek(out.order, normalized);
    if (!g) return std::unexpected(mie::at(p, std::move(g).error()));
    out.store_values(p, *g);
    for (std::size_t l = 0; l < out.derivative_sets; ++l) {
      auto layer = solved.layer(l, "Greek");
      if (!layer) return std::unexpected(mie::at(p, std::move(layer).error()));
      auto dg = layer->first.greek_with_derivatives(out.order, layer->second, normalized);
      if (!dg) return std::unexpected(mie::at(p, std::move(dg).error()));
      out.store_derivatives(p, l, *dg);
    }
    return {};
  }));
  return out;
}

PyObject* greek(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, order, n_max, derivatives, allow_unvalidated, normalized] =
      args::GreekArgs::extract("layered_greek", args, nargs, kwnames);

  Outcome<angular::greek::Outputs> result = [&]() -> Outcome<angular::greek::Outputs> {
    VANTOK_TRY(in, particles(x, m, nullptr, n_max, allow_unvalidated));
    VANTOK_CHECK(angular::greek::check_order(order));
    // Before the order is known: a call that could not hold even order 0.
    VANTOK_CHECK(angular::greek::bounded(in.count(), 1, derivatives ? in.layers() : 0, derivatives));

    GilRelease unlocked;
    return expand(in, order, derivatives, normalized);
  }();
  if (!result) errors::throw_failure(std::move(result.error()));
  angular::greek::Outputs& out = *result;
  const std::size_t orders = out.order + 1;
  PyRef derivative_array;
  if (derivatives) {
    derivative_array = array({out.derivative_sets, 3, 6, out.elements, orders}, std::move(out.derivatives));
  }
  PyRef counts = array({out.elements}, std::move(out.counts));
  PyRef coefficients = array({6, out.elements, orders}, std::move(out.values));
  return tuple_of(std::move(counts), std::move(coefficients), std::move(derivative_array)).release();
}

}  // namespace

PyMethodDef efficiencies_def = args::method(
    "layered_efficiencies", &args::entry<&efficiencies>,
    "layered_efficiencies(x, m, n_max, derivatives, allow_unvalidated)\n--\n\n"
    "Efficiencies (5, P) in the order Q_ext, Q_sca, Q_abs, Q_back, g, and with `derivatives`\n"
    "their Jacobian (L, 3, 5, P) with respect to each layer's x, Re m and Im m.");

PyMethodDef coefficients_def = args::method(
    "layered_coefficients", &args::entry<&coefficients>,
    "layered_coefficients(x, m, n_max, derivatives, allow_unvalidated)\n--\n\n"
    "The number of terms of each particle (P), aₙ and bₙ (P, N) zero-padded to the largest N, and\n"
    "with `derivatives` ∂a/∂x_l, da/dm_l, ∂b/∂x_l, db/dm_l per layer (L, 4, P, N).");

PyMethodDef amplitudes_def = args::method(
    "layered_amplitudes", &args::entry<&amplitudes>,
    "layered_amplitudes(x, m, mu, n_max, derivatives, allow_unvalidated)\n--\n\n"
    "S₁ and S₂ (2, P, n_mu) at the cosines `mu`, and with `derivatives` ∂S₁/∂x_l, ∂S₂/∂x_l,\n"
    "dS₁/dm_l, dS₂/dm_l per layer (L, 4, P, n_mu).");

PyMethodDef phase_matrix_def = args::method(
    "layered_phase_matrix", &args::entry<&phase_matrix>,
    "layered_phase_matrix(x, m, mu, n_max, derivatives, allow_unvalidated, normalized)\n--\n\n"
    "F₁₁, F₁₂, F₃₃, F₃₄ (4, P, n_mu) at the cosines `mu`, normalized or not, and with\n"
    "`derivatives` their derivatives with respect to each layer's x, Re m and Im m\n"
    "(L, 3, 4, P, n_mu).");

PyMethodDef greek_def = args::method(
    "layered_greek", &args::entry<&greek>,
    "layered_greek(x, m, order, n_max, derivatives, allow_unvalidated, normalized)\n--\n\n"
    "The number of terms of each particle (P), the Greek coefficients (6, P, L + 1) up to `order`\n"
    "(by default the largest 2N), normalized or not, and with `derivatives` their derivatives\n"
    "with respect to each layer's x, Re m and Im m (layers, 3, 6, P, L + 1).");

}  // namespace vantok_py::layered
