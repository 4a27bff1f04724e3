// The layered-sphere functions on NumPy arrays. Particles are the rows of two
// C-contiguous (P, L) arrays, column 0 the core, read in place one row at a
// time. One solver per call serves every particle; every derivative output
// carries a leading layer axis (the derivatives with respect to each layer's
// x_l, Re m_l and Im m_l), taken from the per-layer records of the solve.
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "numpy_api.hpp"
#include "ref.hpp"
#include "vantok/format.hpp"
#include "vantok/layered/check.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/amplitudes.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/phase.hpp"

namespace vantok_py::layered {

namespace {

using vantok::mie::SolveOptions;
using vantok::mie::amplitudes::AmplitudeBuffers;
using vantok::mie::amplitudes::AngularTable;
using vantok::mie::greek::GreekCoefficients;
using vantok::mie::phase::PhaseMatrixBuffers;
using vantok::mie::phase::PhaseMatrixDerivativeBuffers;
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
    return std::unexpected(value_error("x and m must be two-dimensional: ShapeError/IncompatibleShape: incompatible shapes"));
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
    auto terms = vantok::layered::check_inputs<double>(xs, ms, in.options);
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
      return std::unexpected(vantok::Error::invalid_input(
          std::string(word) + " derivatives need a solution from Layered::compute_with_derivatives"));
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

/// count = P (a L + b), absent on overflow.
std::optional<std::size_t> per_particle(std::size_t particles, std::size_t layers, std::size_t a, std::size_t b) {
  std::size_t per = 0;
  if (__builtin_mul_overflow(layers, a, &per) || __builtin_add_overflow(per, b, &per)) return std::nullopt;
  return product({particles, per});
}

// ---- layered_efficiencies -----------------------------------------------------

struct EfficiencyOutputs {
  std::size_t particles;
  std::size_t layers;
  Buffer<double> values;    // (5, P)
  Buffer<double> jacobian;  // (L, 3, 5, P), empty without derivatives
};

PyObject* efficiencies(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] =
      args::SolveArgs::extract("layered_efficiencies", args, nargs, kwnames);

  Outcome<EfficiencyOutputs> out = [&]() -> Outcome<EfficiencyOutputs> {
    VANTOK_TRY(in, particles(x, m, nullptr, n_max, allow_unvalidated));
    const std::size_t P = in.count();
    const std::size_t L = in.layers();
    VANTOK_CHECK(mie::bounded("the efficiencies", derivatives ? per_particle(P, L, 15, 5) : product({P, 5}),
                              REAL_VALUES, derivatives));

    GilRelease unlocked;
    VANTOK_CHECK(layer_count(in));
    VANTOK_TRY(values, mie::zeros<double>(5 * P, "the efficiencies"));
    VANTOK_TRY(jacobian, mie::zeros<double>(derivatives ? 15 * L * P : 0, "the Jacobian"));
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t p, const LayeredSolver& solved) -> vantok::Result<void> {
      const Coefficients coefficients = solved.coefficients();
      const std::array<double, 5> q = coefficients.efficiencies();
      for (std::size_t k = 0; k < 5; ++k) values[k * P + p] = q[k];
      if (derivatives) {
        for (std::size_t l = 0; l < L; ++l) {
          // Row r = x_l, Re m_l, Im m_l of layer l; only the outer layer's x
          // row carries the explicit 1/x_L^2 terms (outer set by `record`).
          const std::array<double, 15> dq = coefficients.efficiencies_jacobian(solved.record(l));
          for (std::size_t j = 0; j < 15; ++j) jacobian[(l * 15 + j) * P + p] = dq[j];
        }
      }
      return {};
    }));
    return EfficiencyOutputs{P, L, std::move(values), std::move(jacobian)};
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t P = out->particles;
  PyRef jacobian =
      derivatives ? array({out->layers, 3, 5, P}, std::move(out->jacobian)) : PyRef::borrow(Py_None);
  PyRef values = array({5, P}, std::move(out->values));
  return check(PyTuple_Pack(2, values.get(), jacobian.get()));
}

// ---- layered_coefficients -----------------------------------------------------

struct CoefficientOutputs {
  std::size_t particles;
  std::size_t layers;
  std::size_t n_terms;  // N, the largest term count of the call
  Buffer<std::uint64_t> counts;
  Buffer<C64> a;
  Buffer<C64> b;
  Buffer<C64> derivatives;  // (L, 4, P, N), empty without derivatives
};

// Copies `from` to [start, start + size) of `to`.
void place(std::span<const C64> from, Buffer<C64>& to, std::size_t start) {
  for (std::size_t n = 0; n < from.size(); ++n) to[start + n] = from[n];
}

PyObject* coefficients(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] =
      args::SolveArgs::extract("layered_coefficients", args, nargs, kwnames);

  Outcome<CoefficientOutputs> out = [&]() -> Outcome<CoefficientOutputs> {
    VANTOK_TRY(in, particles(x, m, nullptr, n_max, allow_unvalidated));
    const std::size_t P = in.count();
    const std::size_t L = in.layers();
    // Before the first pass: the call could not hold even one term per particle.
    VANTOK_CHECK(mie::bounded("the coefficients", derivatives ? per_particle(P, L, 4, 2) : product({P, 2}),
                              COMPLEX_VALUES, derivatives));

    GilRelease unlocked;
    VANTOK_TRY(n_terms, largest_n_terms(in));
    const std::size_t N = n_terms;
    const auto per_term = derivatives ? per_particle(P, L, 4, 2) : product({P, 2});
    VANTOK_CHECK(mie::bounded("the coefficients", per_term ? product({*per_term, N}) : std::nullopt,
                              COMPLEX_VALUES, derivatives));
    VANTOK_TRY(counts, mie::term_counts(P));
    VANTOK_TRY(a, mie::zeros<C64>(P * N, "the coefficients"));
    VANTOK_TRY(b, mie::zeros<C64>(P * N, "the coefficients"));
    VANTOK_TRY(d, mie::zeros<C64>(derivatives ? 4 * L * P * N : 0, "derivatives"));
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t p, const LayeredSolver& solved) -> vantok::Result<void> {
      const std::size_t terms = solved.n_terms();
      // A writer that bypasses the registry may have changed x or m since the
      // first pass: never write past the row.
      if (terms > N) {
        return std::unexpected(mie::at(p, vantok::Error::invalid_input("x or m changed during the call")));
      }
      counts[p] = terms;
      const Coefficients coefficients = solved.coefficients();
      place(coefficients.a, a, p * N);
      place(coefficients.b, b, p * N);
      if (derivatives) {
        for (std::size_t l = 0; l < L; ++l) {
          const CoefficientDerivatives record = solved.record(l);
          place(record.da_dx, d, (4 * l + 0) * P * N + p * N);
          place(record.da_dm, d, (4 * l + 1) * P * N + p * N);
          place(record.db_dx, d, (4 * l + 2) * P * N + p * N);
          place(record.db_dm, d, (4 * l + 3) * P * N + p * N);
        }
      }
      return {};
    }));
    return CoefficientOutputs{P, L, N, std::move(counts), std::move(a), std::move(b), std::move(d)};
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t P = out->particles;
  const std::size_t N = out->n_terms;
  PyRef d = derivatives ? array({out->layers, 4, P, N}, std::move(out->derivatives)) : PyRef::borrow(Py_None);
  PyRef counts = array({P}, std::move(out->counts));
  PyRef a = array({P, N}, std::move(out->a));
  PyRef b = array({P, N}, std::move(out->b));
  return check(PyTuple_Pack(4, counts.get(), a.get(), b.get(), d.get()));
}

// ---- layered_amplitudes and layered_phase_matrix ------------------------------------

/// Most values (2 N n_mu f64) of the one angular table a call may share.
constexpr std::size_t MAX_TABLE_VALUES = std::size_t{1} << 22;

/// The angular table all particles of a call share: none for fewer than two
/// particles or no cosines; otherwise every particle is checked in row order
/// (no solve, no derivative limit) and, when 2 N n_mu <= 2^22 for the largest
/// N, the table of N orders is made (its own error has no element index).
vantok::Result<std::optional<AngularTable>> angular_table(const Particles& in, std::span<const double> mu) {
  if (mu.empty() || in.count() < 2) return std::nullopt;
  VANTOK_TRY(n_terms, largest_n_terms(in));
  const auto values = product({2, n_terms, mu.size()});
  if (!values || *values > MAX_TABLE_VALUES) return std::nullopt;
  VANTOK_TRY(table, AngularTable::create(mu, n_terms));
  return std::optional<AngularTable>(std::move(table));
}

/// The arguments of the angular functions: (x, m, mu, n_max, derivatives,
/// allow_unvalidated[, normalized]), converted in that order.
struct AngularArgs {
  PyObject* x;
  PyObject* m;
  PyObject* mu;
  std::optional<std::uint64_t> n_max;
  bool derivatives;
  bool allow_unvalidated;
  bool normalized;
};

AngularArgs angular_args(const char* function, bool with_normalized, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr const char* params[] = {"x", "m", "mu", "n_max", "derivatives", "allow_unvalidated", "normalized"};
  const std::size_t count = with_normalized ? 7 : 6;
  const args::Spec spec{function, nullptr, std::span(params, count), count};
  const auto arguments = args::Arguments::fast(spec, args, nargs, kwnames);
  AngularArgs out{};
  out.x = arguments.f64_array(0);
  out.m = arguments.c128_array(1);
  out.mu = arguments.f64_array(2);
  out.n_max = arguments.opt_u64(3);
  out.derivatives = arguments.flag(4);
  out.allow_unvalidated = arguments.flag(5);
  out.normalized = with_normalized && arguments.flag(6);
  return out;
}

/// What differs between the amplitudes and the phase matrix: the value type,
/// the counts per particle and cosine, the names, and the core routines.
struct AmplitudeKind {
  using Value = C64;
  static constexpr const char* word = "amplitude";
  static constexpr const char* what = "the amplitudes";
  static constexpr const OutputLimit& limit = COMPLEX_VALUES;
  static constexpr std::size_t value_rows = 2;  // S1, S2
  static constexpr std::size_t layer_rows = 4;  // dS1/dx_l, dS2/dx_l, dS1/dm_l, dS2/dm_l

  bool normalized;

  /// S1, S2 of the particle at [start, end) of its rows.
  static AmplitudeBuffers rows(std::span<C64> buffer, std::size_t row, std::size_t k, std::size_t start,
                               std::size_t end) {
    return {buffer.subspan(row * k + start, end - start), buffer.subspan((row + 1) * k + start, end - start)};
  }

  vantok::Result<void> values_of(const Coefficients& c, const std::optional<AngularTable>& table,
                                 std::span<const double> mu, std::span<C64> out, std::size_t k, std::size_t start,
                                 std::size_t end) const {
    const AmplitudeBuffers s = rows(out, 0, k, start, end);
    return table ? c.amplitudes_from_table(*table, s) : c.amplitudes(mu, s);
  }

  /// Layer l's four rows of the particle; the values go to `scratch` (2 n_mu).
  vantok::Result<void> layer_of(const Coefficients& c, const CoefficientDerivatives& d,
                                const std::optional<AngularTable>& table, std::span<const double> mu,
                                std::span<C64> scratch, std::span<C64> out, std::size_t l, std::size_t k,
                                std::size_t start, std::size_t end) const {
    const std::size_t n_mu = end - start;
    const AmplitudeBuffers values = rows(scratch, 0, n_mu, 0, n_mu);
    const AmplitudeBuffers dx = rows(out, 4 * l, k, start, end);
    const AmplitudeBuffers dm = rows(out, 4 * l + 2, k, start, end);
    return table ? c.amplitudes_with_derivatives_from_table(d, *table, values, dx, dm)
                 : c.amplitudes_with_derivatives(d, mu, values, dx, dm);
  }
};

struct PhaseKind {
  using Value = double;
  static constexpr const char* word = "phase-matrix";
  static constexpr const char* what = "the phase matrix";
  static constexpr const OutputLimit& limit = REAL_VALUES;
  static constexpr std::size_t value_rows = 4;   // F11, F12, F33, F34
  static constexpr std::size_t layer_rows = 12;  // x_l, Re m_l, Im m_l, four rows each

  bool normalized;

  static PhaseMatrixBuffers rows(std::span<double> buffer, std::size_t k, std::size_t start, std::size_t end) {
    const auto [f11, f12, f33, f34] = mie::phase_buffers(buffer, k, start, end);
    return {f11, f12, f33, f34};
  }

  vantok::Result<void> values_of(const Coefficients& c, const std::optional<AngularTable>& table,
                                 std::span<const double> mu, std::span<double> out, std::size_t k,
                                 std::size_t start, std::size_t end) const {
    const PhaseMatrixBuffers f = rows(out, k, start, end);
    return table ? c.phase_matrix_from_table(*table, normalized, f) : c.phase_matrix(mu, normalized, f);
  }

  vantok::Result<void> layer_of(const Coefficients& c, const CoefficientDerivatives& d,
                                const std::optional<AngularTable>& table, std::span<const double> mu,
                                std::span<double> scratch, std::span<double> out, std::size_t l, std::size_t k,
                                std::size_t start, std::size_t end) const {
    const std::size_t n_mu = end - start;
    const PhaseMatrixBuffers values = rows(scratch, n_mu, 0, n_mu);
    // Groups x_l, Re m_l, Im m_l of layer l, each four rows of k values.
    const auto group = [&](std::size_t r) { return rows(out.subspan((3 * l + r) * 4 * k, 4 * k), k, start, end); };
    const PhaseMatrixDerivativeBuffers derivatives{group(0), group(1), group(2)};
    return table ? c.phase_matrix_with_derivatives_from_table(*table, d, normalized, values, derivatives)
                 : c.phase_matrix_with_derivatives(mu, d, normalized, values, derivatives);
  }
};

template <class Kind>
struct AngularOutputs {
  std::size_t particles;
  std::size_t layers;
  std::size_t n_mu;
  Buffer<typename Kind::Value> values;       // (values, P, n_mu)
  Buffer<typename Kind::Value> derivatives;  // (L, per_layer, P, n_mu), empty without derivatives
};

/// The lock-free part of an angular call: buffers, then the shared table (its
/// first pass), then every particle in row order, its values once and, with
/// derivatives, each layer's rows (the values of those calls go to scratch).
template <class Kind>
Outcome<AngularOutputs<Kind>> angular_values(const Particles& in, std::span<const double> mu, bool derivatives,
                                             const Kind& kind) {
  using T = typename Kind::Value;
  const std::size_t P = in.count();
  const std::size_t L = in.layers();
  const std::size_t n_mu = mu.size();
  const std::size_t K = P * n_mu;
  VANTOK_CHECK(layer_count(in));
  VANTOK_TRY(values, mie::zeros<T>(Kind::value_rows * K, Kind::what));
  VANTOK_TRY(d, mie::zeros<T>(derivatives ? Kind::layer_rows * L * K : 0, "derivatives"));
  VANTOK_TRY(table, angular_table(in, mu));
  std::vector<T> scratch(Kind::value_rows * n_mu);
  LayeredSolver solver;
  for (std::size_t p = 0; p < P; ++p) {
    const auto [xs, ms] = row(in, p);
    if (n_mu == 0) {
      // Nothing to evaluate: the particle is checked, not solved.
      auto checked = vantok::layered::check_inputs<double>(xs, ms, in.options);
      if (!checked) return std::unexpected(mie::at(p, std::move(checked).error()));
      continue;
    }
    VANTOK_TRY(solved, solver.solve(p, xs, ms, in.options, derivatives));
    const std::size_t start = p * n_mu;
    const std::size_t end = start + n_mu;
    const Coefficients coefficients = solved->coefficients();
    auto evaluated = kind.values_of(coefficients, table, mu, values.span(), K, start, end);
    if (!evaluated) return std::unexpected(mie::at(p, std::move(evaluated).error()));
    if (!derivatives) continue;
    for (std::size_t l = 0; l < L; ++l) {
      auto layer = solved->layer(l, Kind::word);
      if (!layer) return std::unexpected(mie::at(p, std::move(layer).error()));
      auto done = kind.layer_of(layer->first, layer->second, table, mu, scratch, d.span(), l, K, start, end);
      if (!done) return std::unexpected(mie::at(p, std::move(done).error()));
    }
  }
  return AngularOutputs<Kind>{P, L, n_mu, std::move(values), std::move(d)};
}

template <class Kind>
PyObject* angular(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr bool phase = std::is_same_v<Kind, PhaseKind>;
  const AngularArgs a = angular_args(function, phase, args, nargs, kwnames);
  const Kind kind{a.normalized};

  Outcome<AngularOutputs<Kind>> out = [&]() -> Outcome<AngularOutputs<Kind>> {
    VANTOK_TRY(in, particles(a.x, a.m, a.mu, a.n_max, a.allow_unvalidated));
    VANTOK_TRY(mu, mie::cosines(ArrayView<double>(in.mu_borrow)));
    const std::size_t n = std::max<std::size_t>(mu.size(), 1);
    const auto count = a.derivatives ? per_particle(in.count(), in.layers(), Kind::layer_rows, Kind::value_rows)
                                     : product({in.count(), Kind::value_rows});
    VANTOK_CHECK(mie::bounded(Kind::what, count ? product({*count, n}) : std::nullopt, Kind::limit, a.derivatives));

    GilRelease unlocked;
    return angular_values(in, mu.span(), a.derivatives, kind);
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t P = out->particles;
  const std::size_t n_mu = out->n_mu;
  PyRef d = PyRef::borrow(Py_None);
  if (a.derivatives) {
    d = phase ? array({out->layers, 3, 4, P, n_mu}, std::move(out->derivatives))
              : array({out->layers, 4, P, n_mu}, std::move(out->derivatives));
  }
  PyRef values = array({Kind::value_rows, P, n_mu}, std::move(out->values));
  return check(PyTuple_Pack(2, values.get(), d.get()));
}

PyObject* amplitudes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return angular<AmplitudeKind>("layered_amplitudes", args, nargs, kwnames);
}

PyObject* phase_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return angular<PhaseKind>("layered_phase_matrix", args, nargs, kwnames);
}

// ---- layered_greek -------------------------------------------------------------------

/// Copies the six sequences (L + 1 values each) of `greek` to rows first_row ..
/// first_row + 5 of `buffer` (rows of `row_length` values), at [start, end).
void row_store(const GreekCoefficients<double>& greek, std::span<double> buffer, std::size_t row_length,
               std::size_t first_row, std::size_t start, std::size_t end) {
  const auto vectors = greek.vectors();
  for (std::size_t k = 0; k < 6; ++k) {
    const std::vector<double>& v = *vectors[k];
    VANTOK_ASSERT(v.size() == end - start && (first_row + k) * row_length + end <= buffer.size());
    std::copy(v.begin(), v.end(), buffer.begin() + static_cast<std::ptrdiff_t>((first_row + k) * row_length + start));
  }
}

struct GreekOutputs {
  std::size_t particles;
  std::size_t layers;
  std::size_t order;  // L
  Buffer<std::uint64_t> counts;
  Buffer<double> greek;        // (6, P, L + 1)
  Buffer<double> derivatives;  // (layers, 3, 6, P, L + 1), empty without derivatives
};

PyObject* greek(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"x", "m", "order", "n_max", "derivatives", "allow_unvalidated",
                                           "normalized"};
  static constexpr args::Spec spec{"layered_greek", nullptr, params, 7};
  const auto arguments = args::Arguments::fast(spec, args, nargs, kwnames);
  PyObject* x = arguments.f64_array(0);
  PyObject* m = arguments.c128_array(1);
  const std::optional<std::uint64_t> order = arguments.opt_u64(2);
  const std::optional<std::uint64_t> n_max = arguments.opt_u64(3);
  const bool derivatives = arguments.flag(4);
  const bool allow_unvalidated = arguments.flag(5);
  const bool normalized = arguments.flag(6);

  Outcome<GreekOutputs> out = [&]() -> Outcome<GreekOutputs> {
    VANTOK_TRY(in, particles(x, m, nullptr, n_max, allow_unvalidated));
    if (order && *order > vantok::MAX_GREEK_ORDER) {
      return std::unexpected(vantok::Error::invalid_input(
          "the Greek order must be at most " + vantok::fmt::plain(vantok::MAX_GREEK_ORDER) + ", got " +
          vantok::fmt::plain(*order)));
    }
    const std::size_t P = in.count();
    const std::size_t layers = in.layers();
    // 6 coefficients and 18 derivatives per layer, per particle and order.
    const auto per_order = derivatives ? per_particle(P, layers, 18, 6) : product({P, 6});
    VANTOK_CHECK(mie::bounded("the Greek coefficients", per_order, REAL_VALUES, derivatives));

    GilRelease unlocked;
    VANTOK_TRY(n_terms, largest_n_terms(in));
    const std::size_t N = n_terms;
    const std::size_t L = order ? static_cast<std::size_t>(*order) : 2 * N;
    VANTOK_CHECK(mie::bounded("the Greek coefficients", per_order ? product({*per_order, L + 1}) : std::nullopt,
                              REAL_VALUES, derivatives));
    VANTOK_TRY(counts, mie::term_counts(P));
    VANTOK_TRY(coefficients, mie::zeros<double>(6 * P * (L + 1), "the Greek coefficients"));
    VANTOK_TRY(d, mie::zeros<double>(derivatives ? 18 * layers * P * (L + 1) : 0, "derivatives"));
    const std::size_t R = P * (L + 1);
    VANTOK_CHECK(solve_each(in, derivatives, [&](std::size_t p, const LayeredSolver& solved) -> vantok::Result<void> {
      const std::size_t terms = solved.n_terms();
      // With the default order the outputs were sized by the first pass.
      if (!order && terms > N) {
        return std::unexpected(mie::at(p, vantok::Error::invalid_input("x or m changed during the call")));
      }
      counts[p] = terms;
      const std::size_t start = p * (L + 1);
      const std::size_t end = start + L + 1;
      const Coefficients c = solved.coefficients();
      auto values = c.greek(L, normalized);
      if (!values) return std::unexpected(mie::at(p, std::move(values).error()));
      row_store(*values, coefficients.span(), R, 0, start, end);
      if (!derivatives) return {};
      for (std::size_t l = 0; l < layers; ++l) {
        auto layer = solved.layer(l, "Greek");
        if (!layer) return std::unexpected(mie::at(p, std::move(layer).error()));
        // Its value set repeats `values`; only the three derivative sets are kept.
        auto with = layer->first.greek_with_derivatives(L, layer->second, normalized);
        if (!with) return std::unexpected(mie::at(p, std::move(with).error()));
        row_store(with->x, d.span(), R, 18 * l, start, end);
        row_store(with->re_m, d.span(), R, 18 * l + 6, start, end);
        row_store(with->im_m, d.span(), R, 18 * l + 12, start, end);
      }
      return {};
    }));
    return GreekOutputs{P, layers, L, std::move(counts), std::move(coefficients), std::move(d)};
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t P = out->particles;
  const std::size_t L = out->order;
  PyRef d = derivatives ? array({out->layers, 3, 6, P, L + 1}, std::move(out->derivatives)) : PyRef::borrow(Py_None);
  PyRef counts = array({P}, std::move(out->counts));
  PyRef coefficients = array({6, P, L + 1}, std::move(out->greek));
  return check(PyTuple_Pack(3, counts.get(), coefficients.get(), d.get()));
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
