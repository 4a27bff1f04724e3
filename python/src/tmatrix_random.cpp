// tmatrix_random: every spheroid of three same-shaped arrays solved in turn
// with the interpreter lock released, the outputs returned as NumPy arrays in
// a dict.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "tmatrix_outputs.hpp"
#include "vantok/numeric.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace vantok_py::tmatrix {

namespace {

/// What tmatrix_random returns, as buffers in their final layouts (P spheroids,
/// Q cosines, Greek width W).
struct RandomOutputs {
  std::size_t count = 0;
  std::size_t cosines = 0;
  Buffer<std::uint64_t> n_terms;  // (P,)
  Buffer<std::uint64_t> n_theta;  // (P,)
  Buffer<double> error;           // (P,)
  Buffer<double> efficiencies;    // (5, P)
  Buffer<double> efficiencies_d;  // (4, 5, P) with derivatives
  Buffer<double> phase;           // (6, P, Q)
  Buffer<double> phase_d;         // (4, 6, P, Q) with derivatives
  std::optional<std::size_t> width;
  Buffer<double> greek;           // (6, P, W)
  Buffer<double> greek_d;         // (4, 6, P, W) with derivatives
};

/// The settings of a tmatrix_random call besides its spheroids.
struct RandomRequest {
  TMatrix options;
  bool derivatives = false;
  bool greek = false;
  std::optional<std::uint64_t> order;
  bool normalized = false;
};

/// The output guard of the Greek coefficients of `count` spheroids at
/// `width` orders: six series, and 24 more with derivatives, within
/// REAL_VALUES.
vantok::Result<std::size_t> greek_guard(std::size_t count, std::size_t width, bool derivatives) {
  return bounded("the Greek coefficients", product({count, width, derivatives ? GUARDED_PER_COSINE : ROWS}),
                 REAL_VALUES, derivatives);
}

/// The narrowest Greek width tmatrix_random can return (lock held, values
/// read in place): order + 1 when given; else 2N + 1 for the largest N the
/// spheroids start from, their given term count or the start of their
/// convergence (1 for none); nothing when the order exceeds its limit (the
/// solve refuses it before solving). A call this width refuses is refused
/// whatever the solves give; the width they give is guarded as it grows.
/// Kept out of line: inlined into the binding, GCC 12 takes the cursors'
/// index vectors for freed at an offset (a false -Wfree-nonheap-object).
[[gnu::noinline]] std::optional<std::size_t> greek_width(const RandomRequest& request,
                                                         const ArrayView<double>& x, const ArrayView<C64>& m,
                                                         const ArrayView<double>& eps) {
  if (request.order) {
    if (*request.order > vantok::MAX_GREEK_ORDER) return std::nullopt;
    return static_cast<std::size_t>(*request.order) + 1;
  }
  const TMatrix& options = request.options;
  std::size_t terms = 0;
  if (options.n_terms) {
    terms = x.len() == 0 ? 0 : std::min<std::size_t>(*options.n_terms, vantok::MAX_TMATRIX_ORDER);
  } else {
    auto xs = x.cursor();
    auto ms = m.cursor();
    auto es = eps.cursor();
    for (std::size_t p = 0; p < x.len(); ++p) {
      const double x_p = xs.next();
      const C64 m_p = ms.next();
      const double eps_p = es.next();
      terms = std::max(terms, vantok::tmatrix::start_terms(options.plan(Spheroid{.x = x_p, .eps = eps_p, .m = m_p}),
                                                           x_p, eps_p));
    }
  }
  return terms == 0 ? 1 : 2 * terms + 1;
}

/// The Greek coefficients of every spheroid laid out at the common width W:
/// order + 1, else the longest series (2N + 1 of the largest N), 1 for no
/// spheroids.
Outcome<void> lay_out_greek(const RandomRequest& request, std::span<const GreekCoefficients<double>> series,
                            std::span<const Derivatives<GreekCoefficients<double>>> series_d, std::size_t sets,
                            RandomOutputs& out) {
  const std::size_t count = out.count;
  std::size_t width = 1;
  if (request.order) {
    if (!vantok::checked_add<std::size_t>(*request.order, 1, width)) return std::unexpected(shape_error(ShapeError::Overflow));
  } else {
    for (const auto& g : series) width = std::max(width, g.alpha1.size());
  }
  // Guarded before the solves by a width at least this one, unless the
  // arrays were written meanwhile.
  VANTOK_CHECK(greek_guard(count, width, request.derivatives));
  VANTOK_TRY(greek, output({ROWS, count, width}, "the Greek coefficients"));
  VANTOK_TRY(greek_d, output({sets, ROWS, count, width}, "derivatives"));
  for (std::size_t p = 0; p < count; ++p) lay_out(series[p], greek.span(), p, count, width);
  for (std::size_t p = 0; p < series_d.size(); ++p) lay_out(series_d[p], greek_d.span(), p, count, width);
  out.width = width;
  out.greek = std::move(greek);
  out.greek_d = std::move(greek_d);
  return {};
}

/// The lock-free part of tmatrix_random: the buffers, then every spheroid
/// solved in turn (C order) into one reused slot, its outputs stored at their
/// final positions; the first failure ends the call. Then the Greek
/// coefficients laid out at the common width.
Outcome<RandomOutputs> solve_each(const RandomRequest& request, std::span<const double> x, std::span<const C64> m,
                                  std::span<const double> eps, std::span<const double> mu) {
  const std::size_t count = x.size();
  const std::size_t q = mu.size();
  const bool unnormalized = !request.normalized;
  const std::size_t sets = request.derivatives ? PARTIALS : 0;
  RandomOutputs out;
  out.count = count;
  out.cosines = q;
  // The guard bounds count max(Q, 1) 30, so none of these products overflows.
  VANTOK_TRY(efficiencies, zeros<double>(EFFICIENCIES * count, "the efficiencies"));
  VANTOK_TRY(efficiencies_d, zeros<double>(sets * EFFICIENCIES * count, "derivatives"));
  VANTOK_TRY(n_terms, term_counts(count));
  VANTOK_TRY(n_theta, zeros<std::uint64_t>(count, "the quadrature sizes"));
  VANTOK_TRY(error, zeros<double>(count, "the error estimates"));
  VANTOK_TRY(phase, zeros<double>(ROWS * count * q, "the phase matrix"));
  VANTOK_TRY(phase_d, zeros<double>(sets * ROWS * count * q, "derivatives"));

  std::vector<GreekCoefficients<double>> series;
  std::vector<Derivatives<GreekCoefficients<double>>> series_d;
  std::unique_ptr<State> slot;
  // The widest series so far: without an order the call's Greek width grows
  // with it, and is refused once it exceeds the guard (before the series of
  // the remaining spheroids are held).
  std::size_t widest = 1;
  for (std::size_t p = 0; p < count; ++p) {
    vantok::stop::check();
    slot.reset();  // one solved spheroid at a time
    auto solved = request.options.run(slot, Spheroid{.x = x[p], .eps = eps[p], .m = m[p]},
                                      with_derivatives(request.derivatives));
    if (!solved) return std::unexpected(at(p, std::move(solved).error()));
    const State& state = solved->state();
    n_terms[p] = state.converged.solved.modes.n_terms;
    n_theta[p] = state.converged.solved.n_theta;
    error[p] = error_estimate(state);
    const std::array<double, EFFICIENCIES> e = solved->efficiencies();
    for (std::size_t k = 0; k < EFFICIENCIES; ++k) efficiencies[k * count + p] = e[k];
    if (request.derivatives) {
      // Solved with derivatives, a state always has its dual Greek
      // coefficients (they fail only on a broken invariant).
      const std::optional<EfficiencyJacobian> jacobian = solved->efficiencies_jacobian();
      if (!jacobian) vantok::internal_failure("the efficiency derivatives are unavailable", __FILE__, __LINE__);
      store_jacobian(*jacobian, efficiencies_d.span(), p, count);
    }
    if (request.greek && !request.derivatives) {
      auto g = solved->greek(std::nullopt, unnormalized);
      if (!g) return std::unexpected(at(p, std::move(g).error()));
      series.push_back(std::move(*g));
    } else if (request.greek) {
      auto g = solved->greek_with_derivatives(std::nullopt, unnormalized);
      if (!g) return std::unexpected(at(p, std::move(g).error()));
      series.push_back(std::move(g->first));
      series_d.push_back(std::move(g->second));
    }
    if (request.greek && !request.order && series.back().alpha1.size() > widest) {
      widest = series.back().alpha1.size();
      VANTOK_CHECK(greek_guard(count, widest, request.derivatives));
    }
    if (q > 0) {
      const PhaseBuffers values = rows(phase.span(), count * q, p, q);
      auto done = request.derivatives
                      ? solved->phase_matrix_with_derivatives(mu, unnormalized, values,
                                                              derivative_rows(phase_d.span(), count * q, p, q))
                      : solved->phase_matrix(mu, unnormalized, values);
      if (!done) return std::unexpected(at(p, std::move(done).error()));
    }
  }
  slot.reset();

  if (request.greek) VANTOK_CHECK(lay_out_greek(request, series, series_d, sets, out));
  out.n_terms = std::move(n_terms);
  out.n_theta = std::move(n_theta);
  out.error = std::move(error);
  out.efficiencies = std::move(efficiencies);
  out.efficiencies_d = std::move(efficiencies_d);
  out.phase = std::move(phase);
  out.phase_d = std::move(phase_d);
  return out;
}

/// The result dict, keys in their fixed order; an insertion failure frees
/// the arrays not yet inserted. Lock held; throws PyErrSet.
PyRef into_dict(RandomOutputs&& out, bool with_phase, bool derivatives) {
  PyRef dict = PyRef::checked(PyDict_New());
  auto put = [&](const char* key, PyRef value) { check_status(PyDict_SetItemString(dict.get(), key, value.get())); };
  const std::size_t count = out.count;
  const std::size_t q = out.cosines;
  put("n_terms", array({count}, std::move(out.n_terms)));
  put("n_theta", array({count}, std::move(out.n_theta)));
  put("error", array({count}, std::move(out.error)));
  put("efficiencies", array({EFFICIENCIES, count}, std::move(out.efficiencies)));
  if (derivatives) put("efficiencies_d", array({PARTIALS, EFFICIENCIES, count}, std::move(out.efficiencies_d)));
  if (out.width) {
    const std::size_t width = *out.width;
    put("greek", array({ROWS, count, width}, std::move(out.greek)));
    if (derivatives) put("greek_d", array({PARTIALS, ROWS, count, width}, std::move(out.greek_d)));
  }
  if (with_phase) {
    put("phase", array({ROWS, count, q}, std::move(out.phase)));
    if (derivatives) put("phase_d", array({PARTIALS, ROWS, count, q}, std::move(out.phase_d)));
  }
  return dict;
}

/// tmatrix_random(x, m, eps, rtol, precision, n_terms, n_theta,
/// allow_unconverged, allow_unvalidated, derivatives, greek, order, mu, normalized).
PyObject* random(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {
      "x",          "m",          "eps",        "rtol",       "precision",  "n_terms",   "n_theta",
      "allow_unconverged", "allow_unvalidated", "derivatives", "greek", "order", "mu", "normalized"};
  static constexpr args::Spec spec{"tmatrix_random", nullptr, params, 14};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  PyObject* x = a.f64_array(0);
  PyObject* m = a.c128_array(1);
  PyObject* eps = a.f64_array(2);
  const double rtol = a.f64(3);
  const std::string precision = a.str(4);
  const std::optional<std::uint64_t> n_terms = a.opt_u64(5);
  const std::optional<std::uint64_t> n_theta = a.opt_u64(6);
  const bool allow_unconverged = a.flag(7);
  const bool allow_unvalidated = a.flag(8);
  RandomRequest request;
  request.derivatives = a.flag(9);
  request.greek = a.flag(10);
  request.order = a.opt_u64(11);
  PyObject* mu = a.object(12) == Py_None ? nullptr : a.f64_array(12);
  request.normalized = a.flag(13);

  // Borrowed until the dict is made (released last, lock held).
  const ArrayBorrow x_borrow = value_or_raise(borrow(x, "x", args::Element::F64));
  const ArrayBorrow m_borrow = value_or_raise(borrow(m, "m", args::Element::C128));
  const ArrayBorrow eps_borrow = value_or_raise(borrow(eps, "eps", args::Element::F64));
  const ArrayView<double> x_view(x_borrow);
  const ArrayView<C64> m_view(m_borrow);
  const ArrayView<double> eps_view(eps_borrow);
  if (!std::ranges::equal(x_view.shape(), m_view.shape()) || !std::ranges::equal(x_view.shape(), eps_view.shape())) {
    errors::throw_failure(value_error("x, m and eps must have one shape (broadcast them first)"));
  }
  const std::size_t count = x_view.len();
  request.options = value_or_raise(options(precision, n_terms, n_theta, request.greek ? request.order : std::nullopt,
                                           rtol, allow_unconverged, allow_unvalidated));
  // The output guards, on the shapes (and the spheroids' term caps) before
  // any input is copied. The phase matrix is counted as if every spheroid had
  // one with derivatives, at one cosine at least.
  std::optional<ArrayBorrow> mu_borrow;
  if (mu != nullptr) mu_borrow = value_or_raise(borrow(mu, "mu", args::Element::F64));
  const std::optional<ArrayView<double>> mu_view =
      mu_borrow ? std::optional<ArrayView<double>>(std::in_place, *mu_borrow) : std::nullopt;
  value_or_raise(bounded("the phase matrix", product({count, mu_view ? std::max<std::size_t>(mu_view->len(), 1) : 1,
                                                      GUARDED_PER_COSINE}),
                         REAL_VALUES, request.derivatives));
  if (request.greek) {
    if (const std::optional<std::size_t> width = greek_width(request, x_view, m_view, eps_view)) {
      value_or_raise(greek_guard(count, *width, request.derivatives));
    }
  }
  Buffer<double> cos;
  if (mu_view) cos = value_or_raise(cosines(*mu_view));
  mu_borrow.reset();
  // Read from copies: other threads may write the arrays (NumPy does not ask
  // the borrow registry) while the lock is released.
  Buffer<double> xs = value_or_raise(zeros<double>(count, "x"));
  Buffer<C64> ms = value_or_raise(zeros<C64>(count, "m"));
  Buffer<double> es = value_or_raise(zeros<double>(count, "eps"));
  x_view.copy_to(xs.span());
  m_view.copy_to(ms.span());
  eps_view.copy_to(es.span());

  RandomOutputs out = value_or_raise(unlocked_in_pool([&] { return solve_each(request, xs.span(), ms.span(), es.span(), cos.span()); }));
  return into_dict(std::move(out), mu != nullptr, request.derivatives).release();
}

}  // namespace

PyMethodDef random_def = args::method(
    "tmatrix_random", &args::entry<&random>,
    "tmatrix_random(x, m, eps, rtol, precision, n_terms, n_theta, allow_unconverged, allow_unvalidated, "
    "derivatives, greek, order, mu, normalized)\n--\n\n"
    "Solves each spheroid (x, m, eps of one shape, flattened to P) and returns, in a dict:\n"
    "`n_terms`, `n_theta`, `error` (P); `efficiencies` (5, P) in the order Q_ext, Q_sca, Q_abs,\n"
    "Q_back, g; with `greek`, `greek` (6, P, L + 1) (L = `order`, or the largest 2N); with `mu`,\n"
    "`phase` (6, P, Q) in the order F11, F12, F22, F33, F34, F44; and with `derivatives`, each one's\n"
    "`*_d` with a leading axis of 4 (x, aspect ratio, Re m, Im m).");

}  // namespace vantok_py::tmatrix
