// The class TMatrixObject: one randomly oriented spheroid (EBCM T-matrix)
// solved when the object is made (interpreter lock released), its state kept:
// the getters and methods then give the efficiencies, Greek coefficients,
// phase matrix and T blocks on demand, with the lock held; the orientation
// average behind the last three is computed once per object and cached in the
// state. Ctrl-C ends that computation too (a stopped one is not cached).
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
#include "vantok/limits.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace vantok_py::tmatrix {

namespace {

constexpr const char* CLASS_NAME = "TMatrixObject";

const char* path_name(PrecisionPath path) {
  switch (path) {
    case PrecisionPath::F64:
      return "f64";
    case PrecisionPath::Refined:
      return "refined";
    case PrecisionPath::DoubleDouble:
      return "double-double";
  }
  VANTOK_ASSERT(false);
  return "";
}

/// The instance: the object header and the solved spheroid it owns.
struct Object {
  PyObject_HEAD
  State* state;
};

const State& state_of(PyObject* self) {
  const State* state = reinterpret_cast<Object*>(self)->state;
  if (state == nullptr) errors::internal_failure("a TMatrixObject holds no solved spheroid");
  return *state;
}

/// TMatrixObject(x, m_re, m_im, eps, rtol, precision, n_terms, n_theta,
/// allow_unconverged, allow_unvalidated, derivatives).
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* params[] = {"x",       "m_re",    "m_im",          "eps",
                                           "rtol",    "precision", "n_terms",     "n_theta",
                                           "allow_unconverged", "allow_unvalidated", "derivatives"};
  static constexpr args::Spec spec{CLASS_NAME, nullptr, params, 11};
  const auto a = args::Arguments::call(spec, args, kwargs);
  const double x = a.f64(0);
  const double m_re = a.f64(1);
  const double m_im = a.f64(2);
  const double eps = a.f64(3);
  const double rtol = a.f64(4);
  const std::string precision = a.str(5);
  const std::optional<std::uint64_t> n_terms = a.opt_u64(6);
  const std::optional<std::uint64_t> n_theta = a.opt_u64(7);
  const bool allow_unconverged = a.flag(8);
  const bool allow_unvalidated = a.flag(9);
  const bool derivatives = a.flag(10);

  const TMatrix solver =
      value_or_raise(options(precision, n_terms, n_theta, std::nullopt, rtol, allow_unconverged, allow_unvalidated));
  std::unique_ptr<State> slot;
  value_or_raise(unlocked_in_pool([&]() -> vantok::Result<void> {
    VANTOK_CHECK(solver.run(slot, Spheroid{.x = x, .eps = eps, .m = C64{m_re, m_im}}, with_derivatives(derivatives)));
    return {};
  }));
  // Allocated once the solve succeeded; if it fails, the state goes with `slot`.
  const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = check(alloc(type, 0));
  reinterpret_cast<Object*>(self)->state = slot.release();
  return self;
}

PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return args::guarded([&] { return construct(type, args, kwargs); });
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Object*>(self)->state;
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

/// A getter of the solved state.
template <PyObject* (*Read)(const State&)>
PyObject* getter(PyObject* self, void*) {
  return args::guarded([&] { return Read(state_of(self)); });
}

PyObject* n_modes(const State& s) { return check(PyLong_FromSize_t(s.converged.solved.modes.modes.size())); }
PyObject* n_terms(const State& s) { return check(PyLong_FromSize_t(s.converged.solved.modes.n_terms)); }
PyObject* n_theta(const State& s) { return check(PyLong_FromSize_t(s.converged.solved.n_theta)); }
PyObject* converged(const State& s) { return check(PyBool_FromLong(s.converged.converged ? 1 : 0)); }
PyObject* estimate(const State& s) { return check(PyFloat_FromDouble(error_estimate(s))); }

PyObject* precision_paths(const State& s) {
  const std::vector<PrecisionPath>& paths = s.converged.solved.paths;
  PyRef list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(paths.size())));
  for (std::size_t i = 0; i < paths.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(PyUnicode_FromString(path_name(paths[i]))));
  }
  return list.release();
}

/// block(m): None above the highest mode, else (orders, [T11, T12, T21, T22])
/// with the orders max(m, 1)..=N (int64) and four n x n complex128 matrices;
/// element (i, j) of either parity block, labelled (k_i, n_i) and (k_j, n_j),
/// is entry (n_i - m0, n_j - m0) of matrix 2 k_i + k_j.
PyObject* block(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"m"};
  static constexpr args::Spec spec{"block", CLASS_NAME, params, 1};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  const std::uint64_t m = a.u64(0);

  const auto& modes = state_of(self).converged.solved.modes;
  if (m >= modes.modes.size()) return Py_NewRef(Py_None);
  const std::size_t first = std::max<std::size_t>(m, 1);
  const std::size_t last = modes.n_terms;
  VANTOK_ASSERT(first <= last);
  const std::size_t n = last - first + 1;
  Buffer<std::int64_t> orders = value_or_raise(zeros<std::int64_t>(n, "the orders"));
  for (std::size_t i = 0; i < n; ++i) orders[i] = static_cast<std::int64_t>(first + i);
  std::array<Buffer<C64>, 4> t;
  for (Buffer<C64>& matrix : t) matrix = value_or_raise(zeros<C64>(n * n, "the T blocks"));
  const auto& mode = modes.modes[m];
  for (std::size_t p = 0; p < 2; ++p) {
    const auto& labels = mode.rows[p];
    const std::size_t r = labels.size();
    VANTOK_ASSERT(mode.t[p].size() == r * r);
    for (std::size_t i = 0; i < r; ++i) {
      const auto [k_i, n_i] = labels[i];
      for (std::size_t j = 0; j < r; ++j) {
        const auto [k_j, n_j] = labels[j];
        VANTOK_ASSERT(k_i < 2 && k_j < 2 && n_i >= first && n_i <= last && n_j >= first && n_j <= last);
        t[2 * k_i + k_j][(n_i - first) * n + (n_j - first)] = mode.t[p][i * r + j];
      }
    }
  }
  PyRef matrices = PyRef::checked(PyList_New(4));
  for (std::size_t k = 0; k < 4; ++k) {
    PyList_SetItem(matrices.get(), static_cast<Py_ssize_t>(k), array({n, n}, std::move(t[k])).release());
  }
  return tuple_of(array({n}, std::move(orders)), std::move(matrices)).release();
}

/// efficiencies(): (5,) and the Jacobian (4, 5) or None.
PyObject* efficiencies(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr args::Spec spec{"efficiencies", CLASS_NAME, {}, 0};
  args::Arguments::fast(spec, args, nargs, kwnames);

  const HeldStop stop;
  const TMatrixSolution solution(state_of(self));
  const std::array<double, EFFICIENCIES> q = solution.efficiencies();
  Buffer<double> values = value_or_raise(zeros<double>(EFFICIENCIES, "the efficiencies"));
  std::copy(q.begin(), q.end(), values.data());
  PyRef jacobian_array;
  if (const std::optional<EfficiencyJacobian> jacobian = solution.efficiencies_jacobian()) {
    Buffer<double> d = value_or_raise(zeros<double>(PARTIALS * EFFICIENCIES, "derivatives"));
    store_jacobian(*jacobian, d.span(), 0, 1);
    jacobian_array = array({PARTIALS, EFFICIENCIES}, std::move(d));
  }
  return tuple_of(array({EFFICIENCIES}, std::move(values)), std::move(jacobian_array)).release();
}

/// greek(order, normalized): (6, L + 1) and the derivatives (4, 6, L + 1) or None.
PyObject* greek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"order", "normalized"};
  static constexpr args::Spec spec{"greek", CLASS_NAME, params, 2};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  const std::optional<std::uint64_t> order = a.opt_u64(0);
  const bool normalized = a.flag(1);

  const HeldStop stop;
  const State& state = state_of(self);
  const TMatrixSolution solution(state);
  // The series of N terms end at order 2N: a higher order is the expansion to
  // 2N and zeros above it, which the zeroed buffers hold. So the solution is
  // asked for min(order, 2N) (the same values), and a large order costs its
  // outputs only, not padded copies of every series in doubles and over dual
  // numbers. An order above MAX_GREEK_ORDER goes on to the solution's refusal.
  std::optional<std::size_t> expanded = order;
  const std::size_t n_terms = std::max(state.converged.solved.modes.n_terms,
                                       state.derivatives ? state.derivatives->n_terms : 0);
  if (order && *order > 2 * n_terms && *order <= vantok::MAX_GREEK_ORDER) expanded = 2 * n_terms;
  // Derivatives exactly when the solution has its efficiency Jacobian (solved
  // with derivatives, and the dual Greek coefficients could be formed).
  if (!solution.efficiencies_jacobian()) {
    const GreekCoefficients<double> g = value_or_raise(solution.greek(expanded, !normalized));
    const std::size_t width = order ? *order + 1 : g.alpha1.size();
    Buffer<double> values = value_or_raise(output({ROWS, width}, "the Greek coefficients"));
    lay_out(g, values.span(), 0, 1, width);
    return tuple_of(array({ROWS, width}, std::move(values)), PyRef()).release();
  }
  const auto [g, sets] = value_or_raise(solution.greek_with_derivatives(expanded, !normalized));
  const std::size_t width = order ? *order + 1 : g.alpha1.size();
  Buffer<double> values = value_or_raise(output({ROWS, width}, "the Greek coefficients"));
  Buffer<double> d = value_or_raise(output({PARTIALS, ROWS, width}, "derivatives"));
  lay_out(g, values.span(), 0, 1, width);
  lay_out(sets, d.span(), 0, 1, width);
  PyRef value_array = array({ROWS, width}, std::move(values));
  return tuple_of(std::move(value_array), array({PARTIALS, ROWS, width}, std::move(d))).release();
}

/// The output guard of the phase matrix of `count` spheroids at `cosines`
/// cosines: six values per spheroid and cosine, and 24 more when
/// `derivatives`, within REAL_VALUES. Lock-free.
vantok::Result<std::size_t> phase_guard(std::size_t count, std::size_t cosines, bool derivatives) {
  return bounded("the phase matrix", product({count, cosines, derivatives ? GUARDED_PER_COSINE : ROWS}), REAL_VALUES,
                 derivatives);
}

/// phase_matrix(mu, normalized): (6, Q) and the derivatives (4, 6, Q) or None.
PyObject* phase_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"mu", "normalized"};
  static constexpr args::Spec spec{"phase_matrix", CLASS_NAME, params, 2};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  PyObject* mu = a.f64_array(0);
  const bool normalized = a.flag(1);

  // The output guard on the shape of mu, before its cosines are copied and
  // before the orientation average is computed.
  const ArrayBorrow mu_borrow = value_or_raise(borrow(mu, "mu", args::Element::F64));
  const ArrayView<double> mu_view(mu_borrow);
  const State& state = state_of(self);
  value_or_raise(phase_guard(1, mu_view.len(), state.derivatives.has_value()));
  const Buffer<double> cos = value_or_raise(cosines(mu_view));
  const std::size_t q = cos.size();
  const HeldStop stop;
  const TMatrixSolution solution(state);
  const bool derivatives = solution.efficiencies_jacobian().has_value();
  Buffer<double> values = value_or_raise(output({ROWS, q}, "the phase matrix"));
  Buffer<double> d = value_or_raise(output({derivatives ? PARTIALS : 0, ROWS, q}, "derivatives"));
  // No cosines: nothing is computed.
  if (q > 0 && !derivatives) {
    value_or_raise(solution.phase_matrix(cos.span(), !normalized, rows(values.span(), q, 0, q)));
  } else if (q > 0) {
    value_or_raise(solution.phase_matrix_with_derivatives(cos.span(), !normalized, rows(values.span(), q, 0, q),
                                                          derivative_rows(d.span(), q, 0, q)));
  }
  PyRef value_array = array({ROWS, q}, std::move(values));
  PyRef derivative_array;
  if (derivatives) derivative_array = array({PARTIALS, ROWS, q}, std::move(d));
  return tuple_of(std::move(value_array), std::move(derivative_array)).release();
}

PyGetSetDef getters[] = {
    {"n_modes", &getter<&n_modes>, nullptr, nullptr, nullptr},
    {"n_terms", &getter<&n_terms>, nullptr, nullptr, nullptr},
    {"n_theta", &getter<&n_theta>, nullptr, nullptr, nullptr},
    {"converged", &getter<&converged>, nullptr, nullptr, nullptr},
    {"error_estimate", &getter<&estimate>, nullptr, nullptr, nullptr},
    {"precision_paths", &getter<&precision_paths>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    args::method("block", &args::entry<&block>,
                 "block($self, m)\n--\n\n"
                 "(orders, T11, T12, T21, T22) of mode `m`, or None above the highest mode computed."),
    args::method("efficiencies", &args::entry<&efficiencies>,
                 "efficiencies($self)\n--\n\n"
                 "The efficiencies (5,) and, if computed, their derivatives (4, 5)."),
    args::method("greek", &args::entry<&greek>,
                 "greek($self, order, normalized)\n--\n\n"
                 "The Greek coefficients (6, L + 1) and, if computed, their derivatives (4, 6, L + 1)."),
    args::method("phase_matrix", &args::entry<&phase_matrix>,
                 "phase_matrix($self, mu, normalized)\n--\n\n"
                 "The phase matrix (6, Q) at the cosines `mu`, and, if computed, its derivatives\n(4, 6, Q)."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "TMatrixObject(x, m_re, m_im, eps, rtol, precision, n_terms, n_theta, allow_unconverged, "
                    "allow_unvalidated, derivatives)\n--\n\n"
                    "One solved spheroid, for `vantok.tmatrix.compute`.")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_getset, getters},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// Neither subclassable (no BASETYPE) nor collected (no HAVE_GC: an instance
// holds no Python reference); attributes of the class cannot be rebound.
PyType_Spec type_spec = {
    "vantok._vantok.TMatrixObject",
    static_cast<int>(sizeof(Object)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

// Made by the first exec step (lock held), kept for the process: every module
// object made by a later import shares it.
PyObject* g_type = nullptr;

}  // namespace

void add_class(PyObject* module) {
  if (g_type == nullptr) g_type = check(PyType_FromSpec(&type_spec));
  PyRef name = PyRef::checked(PyUnicode_FromString(CLASS_NAME));
  module::add(module, name.get(), g_type);
}

}  // namespace vantok_py::tmatrix
