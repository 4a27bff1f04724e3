// The layered-sphere functions on NumPy arrays, through the shared skeleton
// (sphere_calls.hpp). Particles are the rows of two C-contiguous (P, L)
// arrays, column 0 the core, read in place one row at a time. One solver per
// call serves every particle; every derivative output carries a leading layer
// axis (the derivatives with respect to each layer's x_l, Re m_l and Im m_l),
// taken from the per-layer records of the solve.
#include <algorithm>
#include <array>
#include <cstdint>
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
#include "sphere_calls.hpp"
#include "vantok/format.hpp"
#include "vantok/layered/check.hpp"
#include "vantok/layered/group.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/coefficients.hpp"

namespace vantok_py::layered {

namespace {

using vantok::mie::SolveOptions;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;

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

/// One solved particle of a call, as the skeleton reads it: one derivative set
/// per layer, with exactly L records (the L-1 inner records of the recursion
/// and the outer layer's own).
class Solution {
 public:
  /// The efficiencies come with the solve when given, else from the coefficients.
  Solution(const vantok::layered::group::Solved& solved, const vantok::layered::group::Efficiencies* efficiencies) noexcept
      : solved_(&solved), efficiencies_(efficiencies) {}

  Coefficients coefficients() const { return solved_->coefficients(); }
  std::array<double, 5> efficiencies() const {
    return efficiencies_ ? efficiencies_->values : coefficients().efficiencies();
  }
  std::array<double, 15> efficiencies_jacobian(std::size_t l) const {
    return efficiencies_ ? efficiencies_->jacobians[l] : coefficients().efficiencies_jacobian(record(l));
  }
  /// The derivative record of layer l (outer only for the last layer). Needs
  /// a solve with derivatives and l < L: an internal failure otherwise.
  CoefficientDerivatives record(std::size_t l) const { return solved_->layer_derivatives(l); }
  /// The same, or the refusals of a solution without derivatives and of a
  /// layer the particle does not have.
  vantok::Result<CoefficientDerivatives> derivatives(std::size_t l, std::string_view word) const {
    if (!solved_->state.derivatives) return std::unexpected(angular::derivatives_missing(word, "Layered"));
    if (l >= solved_->layers) {
      return std::unexpected(vantok::Error::invalid_input(
          "no layer " + vantok::fmt::plain(static_cast<std::uint64_t>(l)) + ": the particle has " +
          vantok::fmt::plain(static_cast<std::uint64_t>(solved_->layers)) + " layers"));
    }
    return record(l);
  }

 private:
  const vantok::layered::group::Solved* solved_;
  const vantok::layered::group::Efficiencies* efficiencies_;
};

/// The particles of a call (see sphere_calls.hpp). Members are destroyed in
/// reverse order: mu, then m, then x are released.
class Particles {
 public:
  static constexpr bool per_layer = true;
  static constexpr bool indexes_amplitude_refusals = true;

  /// Borrows x, m and (when given) mu in that order; then two-dimensional
  /// views of x and m (ValueError "x and m must be two-dimensional: ..." for
  /// any other rank), one shape, C-contiguity of x then m, and the range of
  /// n_max.
  static Outcome<Particles> borrow(PyObject* x, PyObject* m, PyObject* mu, std::optional<std::uint64_t> n_max,
                                   bool allow_unvalidated) {
    Particles in;
    VANTOK_TRY(x_borrow, vantok_py::borrow(x, "x", args::Element::F64));
    in.x_borrow_ = std::move(x_borrow);
    VANTOK_TRY(m_borrow, vantok_py::borrow(m, "m", args::Element::C128));
    in.m_borrow_ = std::move(m_borrow);
    if (mu != nullptr) {
      VANTOK_TRY(mu_borrow, vantok_py::borrow(mu, "mu", args::Element::F64));
      in.mu_borrow_ = std::move(mu_borrow);
    }
    VANTOK_TRY(xv, view2<double>(in.x_borrow_));
    VANTOK_TRY(mv, view2<C64>(in.m_borrow_));
    in.x_ = xv;
    in.m_ = mv;
    VANTOK_CHECK(same_shape(in.x_.shape, in.m_.shape));
    if (!in.x_.c_contiguous() || !in.m_.c_contiguous()) {
      return std::unexpected(value_error("x and m must be C-contiguous"));
    }
    VANTOK_TRY(options, solve_options(n_max, allow_unvalidated));
    in.options_ = options;
    return in;
  }

  std::size_t count() const noexcept { return x_.particles(); }
  std::size_t derivative_sets(bool derivatives) const noexcept { return derivatives ? x_.layers() : 0; }
  const ArrayBorrow& mu() const noexcept { return mu_borrow_; }

  /// The layer-count part of the check for every particle (all have L
  /// layers), run before any output is allocated so that too many layers are
  /// refused before memory is committed; the error is the one particle 0
  /// would give.
  vantok::Result<void> check_layers() const {
    if (count() == 0) return {};
    auto checked = vantok::layered::check_layer_count(x_.layers(), m_.layers());
    if (!checked) return std::unexpected(at(0, std::move(checked).error()));
    return {};
  }

  /// First pass: the layered input check of every particle in row order (no
  /// solve, no derivative limit); the largest number of terms, 0 without
  /// particles, or the first failure with its row index.
  vantok::Result<std::size_t> largest_n_terms() const {
    std::size_t largest = 0;
    vantok::stop::Pace pace(CHECKS_PER_STOP_CHECK);
    for (std::size_t p = 0; p < count(); ++p) {
      pace.step(x_.layers());
      auto terms = vantok::layered::check_inputs(x_.row(p), m_.row(p), options_);
      if (!terms) return std::unexpected(at(p, std::move(terms).error()));
      largest = std::max(largest, *terms);
    }
    return largest;
  }

  /// Second pass: every particle checked as Layered::solve checks it (the
  /// layered check, with derivatives the limit x_L <= 1e3 of several layers
  /// unless allow_unvalidated, the size of the work arrays) and solved as it
  /// solves, particles of equal term counts side by side in lanes
  /// (calls::grouped); errors carry "element {p}: ", and the failure of the
  /// first particle in row order ends the call.
  template <class Use>
  vantok::Result<void> solve_each(bool derivatives, const vantok::mie::group::Products& products, Use&& use) const {
    using vantok::layered::group::Particle;
    vantok::layered::group::Solver solver;
    std::vector<vantok::layered::group::Solved> solved(solver.lanes());
    std::vector<vantok::layered::group::Efficiencies> efficiencies(products.efficiencies ? solver.lanes() : 0);
    std::vector<Particle> particles;
    // Stop checks paced as the first pass paces its checks and as one term
    // of each layer at a time paces the solves.
    vantok::stop::Pace check_pace(CHECKS_PER_STOP_CHECK);
    vantok::stop::Pace solve_pace(TERMS_PER_STOP_CHECK);
    auto check = [&](std::size_t p) -> vantok::Result<calls::Entry<Particle>> {
      check_pace.step(x_.layers());
      const auto xs = x_.row(p);
      const auto ms = m_.row(p);
      auto terms = vantok::layered::check_inputs(xs, ms, options_);
      if (!terms) return std::unexpected(at(p, std::move(terms).error()));
      auto limit = vantok::layered::check_derivative_limit(options_, derivatives, xs);
      if (!limit) return std::unexpected(at(p, std::move(limit).error()));
      vantok::layered::reserve_work_arrays(xs.size(), *terms, derivatives);
      const bool alone = *terms > vantok::layered::group::MAX_LANE_WORK / std::max<std::size_t>(xs.size(), 1);
      return calls::Entry<Particle>{p, *terms, alone, Particle{xs, ms, *terms}};
    };
    auto solve = [&](std::span<const calls::Entry<Particle>> group) {
      particles.clear();
      for (const auto& e : group) particles.push_back(e.data);
      solver.solve(particles, derivatives, solved, products, efficiencies);
      for (const Particle& q : particles) solve_pace.step(q.n_terms * q.xs.size());
    };
    return calls::grouped<Particle>(count(), solver.lanes(), check, solve, [&](std::size_t p, std::size_t j) {
      return use(p, Solution(solved[j], products.efficiencies ? &efficiencies[j] : nullptr));
    });
  }

 private:
  Particles() = default;

  ArrayBorrow x_borrow_;
  ArrayBorrow m_borrow_;
  ArrayBorrow mu_borrow_;  // empty without cosines
  View2<double> x_;
  View2<C64> m_;
  SolveOptions options_;
};

PyObject* efficiencies(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::efficiencies<Particles>("layered_efficiencies", args, nargs, kwnames);
}

PyObject* coefficients(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::coefficients<Particles>("layered_coefficients", args, nargs, kwnames);
}

PyObject* amplitudes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::angular_call<Particles, angular::Output::Amplitudes>("layered_amplitudes", args, nargs, kwnames);
}

PyObject* phase_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::angular_call<Particles, angular::Output::PhaseMatrix>("layered_phase_matrix", args, nargs,
                                                                      kwnames);
}

PyObject* greek(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::greek<Particles>("layered_greek", args, nargs, kwnames);
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
