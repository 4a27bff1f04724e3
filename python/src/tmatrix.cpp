// Randomly oriented spheroids (EBCM T-matrix) in Python. The class
// TMatrixObject solves one spheroid when it is made (interpreter lock
// released) and keeps the solved state: its getters and methods then give the
// efficiencies, Greek coefficients, phase matrix and T blocks on demand, with
// the lock held; the orientation average behind the last three is computed
// once per object and cached in the state. tmatrix_random solves every
// spheroid of three same-shaped arrays in turn with the lock released and
// returns NumPy arrays in a dict.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/state.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace vantok_py::tmatrix {

namespace {

using vantok::tmatrix::Derivatives;
using vantok::tmatrix::EfficiencyJacobian;
using vantok::tmatrix::GreekCoefficients;
using vantok::tmatrix::PhaseBuffers;
using vantok::tmatrix::Precision;
using vantok::tmatrix::PrecisionPath;
using vantok::tmatrix::Spheroid;
using vantok::tmatrix::State;
using vantok::tmatrix::TMatrix;
using vantok::tmatrix::TMatrixSolution;
using vantok::tmatrix::WithDerivatives;

/// Q_ext, Q_sca, Q_abs, Q_back, g.
constexpr std::size_t EFFICIENCIES = 5;
/// alpha1, alpha2, alpha3, alpha4, beta1, beta2; and F11, F12, F22, F33, F34, F44.
constexpr std::size_t ROWS = 6;
/// The partials of every derivative output: x, aspect ratio, Re m, Im m.
constexpr std::size_t PARTIALS = 4;
/// Values per spheroid and cosine that the output guard of tmatrix_random
/// counts: the six phase-matrix elements and their 24 derivatives.
constexpr std::size_t GUARDED_PER_COSINE = ROWS * (1 + PARTIALS);

constexpr const char* CLASS_NAME = "TMatrixObject";

/// The options of a solve: the counts and flags as given, the caps left to the
/// solve, the precision from its word ("auto", "f64" or "double-double", byte
/// for byte), else InvalidInput "precision must be 'auto', 'f64' or
/// 'double-double', got {:?}". Lock held (the quoting reads unicodedata).
vantok::Result<TMatrix> options(std::string_view precision, std::optional<std::uint64_t> n_terms,
                                std::optional<std::uint64_t> n_theta, std::optional<std::uint64_t> greek_order,
                                double rtol, bool allow_unconverged, bool allow_unvalidated) {
  TMatrix out;
  if (precision == "auto") {
    out.precision = Precision::Auto;
  } else if (precision == "f64") {
    out.precision = Precision::F64;
  } else if (precision == "double-double") {
    out.precision = Precision::DoubleDouble;
  } else {
    return std::unexpected(vantok::Error::invalid_input(
        "precision must be 'auto', 'f64' or 'double-double', got " + errors::debug_str(precision)));
  }
  out.n_terms = n_terms;
  out.n_theta = n_theta;
  out.max_terms = std::nullopt;
  out.max_theta = std::nullopt;
  out.greek_order = greek_order;
  out.rtol = rtol;
  out.allow_unconverged = allow_unconverged;
  out.allow_unvalidated = allow_unvalidated;
  return out;
}

WithDerivatives with_derivatives(bool derivatives) {
  return derivatives ? WithDerivatives::Yes : WithDerivatives::No;
}

/// The six phase-matrix rows of one call's slice: consecutive rows of
/// `row_length` values in `buffer`, and of each the `count` values from
/// `index` count on.
PhaseBuffers rows(std::span<double> buffer, std::size_t row_length, std::size_t index, std::size_t count) {
  VANTOK_ASSERT(row_length != 0 && buffer.size() / ROWS >= row_length && index * count + count <= row_length);
  PhaseBuffers out;
  for (std::size_t r = 0; r < ROWS; ++r) out[r] = buffer.subspan(r * row_length + index * count, count);
  return out;
}

/// The relative error estimate of a solved spheroid: the driver's estimate, or
/// the blocks' absolute error bound relative to the largest |T_ij| (0 when no
/// element is positive) when that is larger; NaN on either side is ignored.
double error_estimate(const State& state) {
  const auto& solved = state.converged.solved;
  const double top = vantok::tmatrix::largest_element(solved.modes);
  const double relative = top > 0.0 ? solved.err / top : 0.0;
  return std::fmax(state.converged.error_estimate, relative);
}

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

/// The six series of Greek coefficients row after row, each cut or zero-padded
/// to `width` values, at row r of `rows_total` rows of the output (the series
/// of one spheroid among many: offset (r rows_total + row) width).
void lay_out(const GreekCoefficients<double>& g, std::span<double> out, std::size_t row, std::size_t rows_total,
             std::size_t width) {
  const auto series = g.vectors();
  for (std::size_t r = 0; r < ROWS; ++r) {
    const std::vector<double>& s = *series[r];
    std::copy_n(s.begin(), std::min(width, s.size()), out.begin() + static_cast<std::ptrdiff_t>((r * rows_total + row) * width));
  }
}

/// The four derivative sets of Greek coefficients, each laid out like the
/// values (`lay_out`) in its own block of 6 rows_total width values.
void lay_out(const Derivatives<GreekCoefficients<double>>& sets, std::span<double> out, std::size_t row,
             std::size_t rows_total, std::size_t width) {
  const std::size_t block = ROWS * rows_total * width;
  for (std::size_t j = 0; j < PARTIALS; ++j) lay_out(sets[j], out.subspan(j * block, block), row, rows_total, width);
}

/// The phase-matrix rows of the four derivative groups: `rows` of each
/// consecutive block of 6 row_length values.
Derivatives<PhaseBuffers> derivative_rows(std::span<double> buffer, std::size_t row_length, std::size_t index,
                                          std::size_t count) {
  const std::size_t block = ROWS * row_length;
  VANTOK_ASSERT(buffer.size() / PARTIALS >= block);
  Derivatives<PhaseBuffers> out;
  for (std::size_t j = 0; j < PARTIALS; ++j) out[j] = rows(buffer.subspan(j * block, block), row_length, index, count);
  return out;
}

/// The Jacobian (4, 5) as row-major values.
void store_jacobian(const EfficiencyJacobian& jacobian, std::span<double> out, std::size_t index, std::size_t stride) {
  for (std::size_t r = 0; r < PARTIALS; ++r) {
    for (std::size_t c = 0; c < EFFICIENCIES; ++c) out[(r * EFFICIENCIES + c) * stride + index] = jacobian[r][c];
  }
}

/// A buffer of `factors` values (their product checked: RuntimeError "output
/// shape: arithmetic overflow"), zero-filled by a fallible allocation
/// (MemoryError "cannot allocate {} values for {what}: {}"). Lock-free.
Outcome<Buffer<double>> output(std::initializer_list<std::size_t> factors, std::string_view what) {
  const std::optional<std::size_t> count = product(factors);
  if (!count) return std::unexpected(shape_error(ShapeError::Overflow));
  return zeros<double>(*count, what);
}

// ---- TMatrixObject ---------------------------------------------------------

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
  value_or_raise(unlocked([&]() -> vantok::Result<void> {
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

  const TMatrixSolution solution(state_of(self));
  // Derivatives exactly when the solution has its efficiency Jacobian (solved
  // with derivatives, and the dual Greek coefficients could be formed).
  if (!solution.efficiencies_jacobian()) {
    const GreekCoefficients<double> g = value_or_raise(solution.greek(order, !normalized));
    const std::size_t width = g.alpha1.size();
    Buffer<double> values = value_or_raise(output({ROWS, width}, "the Greek coefficients"));
    lay_out(g, values.span(), 0, 1, width);
    return tuple_of(array({ROWS, width}, std::move(values)), PyRef()).release();
  }
  const auto [g, sets] = value_or_raise(solution.greek_with_derivatives(order, !normalized));
  const std::size_t width = g.alpha1.size();
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

// ---- tmatrix_random ----------------------------------------------------------

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

/// The widest Greek series tmatrix_random can return (lock held, values read
/// in place): order + 1 when given; else 2N + 1 for the largest N a spheroid
/// may reach, its given term count or its plan's cap (1 for none); nothing
/// when the order exceeds its limit (the solve refuses it before solving).
std::optional<std::size_t> greek_width(const RandomRequest& request, const ArrayView<double>& x,
                                       const ArrayView<C64>& m, const ArrayView<double>& eps) {
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
      terms = std::max(terms, options.plan(Spheroid{.x = x_p, .eps = eps_p, .m = m_p}).max_terms);
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
    if (__builtin_add_overflow(*request.order, 1, &width)) return std::unexpected(shape_error(ShapeError::Overflow));
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

  RandomOutputs out = value_or_raise(unlocked([&] { return solve_each(request, xs.span(), ms.span(), es.span(), cos.span()); }));
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

void add_class(PyObject* module) {
  if (g_type == nullptr) g_type = check(PyType_FromSpec(&type_spec));
  PyRef name = PyRef::checked(PyUnicode_FromString(CLASS_NAME));
  module::add(module, name.get(), g_type);
}

}  // namespace vantok_py::tmatrix
