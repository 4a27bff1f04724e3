// The sphere functions on NumPy arrays: default term counts, and through the
// shared skeleton (sphere_calls.hpp) efficiencies with their Jacobian, the Mie
// coefficients, amplitudes and phase matrix at one common set of cosines, and
// the Greek coefficients, each optionally with derivatives with respect to x
// and m. The elements of a call are the entries of x and m, which have one
// shape and are read in place in C order.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "angular.hpp"
#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "sphere_calls.hpp"
#include "vantok/format.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/group.hpp"
#include "vantok/mie/mie.hpp"

namespace vantok_py::mie {

namespace {

using vantok::mie::SolveOptions;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;

/// One solved sphere of a call, as the skeleton reads it: one derivative set,
/// with respect to x and m.
class Solution {
 public:
  /// The efficiencies come with the solve when given, else from the coefficients.
  Solution(const vantok::mie::kernel::State& state, const vantok::mie::group::Efficiencies* efficiencies) noexcept
      : state_(&state), efficiencies_(efficiencies) {}

  Coefficients coefficients() const { return state_->coefficients(); }
  std::array<double, 5> efficiencies() const {
    return efficiencies_ ? efficiencies_->values : coefficients().efficiencies();
  }
  std::array<double, 15> efficiencies_jacobian(std::size_t set) const {
    return efficiencies_ ? efficiencies_->jacobian : coefficients().efficiencies_jacobian(record(set));
  }
  /// The derivatives (set 0); needs a solve with derivatives.
  CoefficientDerivatives record(std::size_t set) const {
    VANTOK_ASSERT(set == 0 && state_->derivatives);
    return state_->coefficient_derivatives();
  }
  /// The same, or InvalidInput "{word} derivatives need a solution from
  /// Mie::compute_with_derivatives" for a solution without them.
  vantok::Result<CoefficientDerivatives> derivatives(std::size_t set, std::string_view word) const {
    if (!state_->derivatives) return std::unexpected(angular::derivatives_missing(word, "Mie"));
    return record(set);
  }

 private:
  const vantok::mie::kernel::State* state_;
  const vantok::mie::group::Efficiencies* efficiencies_;
};

/// The elements of a call on homogeneous spheres (see sphere_calls.hpp).
/// Members are destroyed in reverse order: mu, then m, then x are released.
class Spheres {
 public:
  static constexpr bool per_layer = false;
  static constexpr bool indexes_amplitude_refusals = false;

  /// Borrows x, m and (when given) mu, then checks that x and m have one
  /// shape and the range of n_max.
  static Outcome<Spheres> borrow(PyObject* x, PyObject* m, PyObject* mu, std::optional<std::uint64_t> n_max,
                                 bool allow_unvalidated) {
    VANTOK_TRY(x_borrow, vantok_py::borrow(x, "x", args::Element::F64));
    VANTOK_TRY(m_borrow, vantok_py::borrow(m, "m", args::Element::C128));
    ArrayBorrow mu_borrow;
    if (mu != nullptr) {
      VANTOK_TRY(held, vantok_py::borrow(mu, "mu", args::Element::F64));
      mu_borrow = std::move(held);
    }
    ArrayView<double> x_view(x_borrow);
    ArrayView<C64> m_view(m_borrow);
    VANTOK_CHECK(same_shape(x_view.shape(), m_view.shape()));
    VANTOK_TRY(options, solve_options(n_max, allow_unvalidated));
    return Spheres(std::move(x_borrow), std::move(m_borrow), std::move(mu_borrow), std::move(x_view),
                   std::move(m_view), options);
  }

  std::size_t count() const noexcept { return x_.len(); }
  std::size_t derivative_sets(bool derivatives) const noexcept { return derivatives ? 1 : 0; }
  const ArrayBorrow& mu() const noexcept { return mu_borrow_; }
  vantok::Result<void> check_layers() const { return {}; }

  /// First pass: the input check of every element in C order; the largest
  /// term count (0 for no elements), or the first element's error with its index.
  vantok::Result<std::size_t> largest_n_terms() const {
    std::size_t largest = 0;
    auto xs = x_.cursor();
    auto ms = m_.cursor();
    vantok::stop::Pace pace(CHECKS_PER_STOP_CHECK);
    for (std::size_t i = 0; i < count(); ++i) {
      pace.step();
      const double xi = xs.next();
      const C64 mi = ms.next();
      auto terms = vantok::mie::check_inputs(xi, mi, options_);
      if (!terms) return std::unexpected(at(i, std::move(terms).error()));
      largest = std::max(largest, *terms);
    }
    return largest;
  }

  /// Second pass: every element checked and solved as Mie::solve does,
  /// spheres of equal term counts side by side in lanes (calls::grouped);
  /// the failure of the first element in C order ends the call.
  template <class Use>
  vantok::Result<void> solve_each(bool derivatives, const vantok::mie::group::Products& products, Use&& use) const {
    using vantok::mie::group::Sphere;
    vantok::mie::group::Solver solver;
    std::vector<vantok::mie::kernel::State> states(solver.lanes());
    std::vector<vantok::mie::group::Efficiencies> efficiencies(products.efficiencies ? solver.lanes() : 0);
    std::vector<Sphere> spheres;
    auto xs = x_.cursor();
    auto ms = m_.cursor();
    // Stop checks paced as the first pass paces its checks and as one term
    // at a time paces the solves.
    vantok::stop::Pace check_pace(CHECKS_PER_STOP_CHECK);
    vantok::stop::Pace solve_pace(TERMS_PER_STOP_CHECK);
    auto check = [&](std::size_t i) -> vantok::Result<calls::Entry<Sphere>> {
      check_pace.step();
      const double xi = xs.next();
      const C64 mi = ms.next();
      auto terms = vantok::mie::check_inputs(xi, mi, options_);
      if (!terms) return std::unexpected(at(i, std::move(terms).error()));
      // By N; of equal N the real indices (the real recurrence) first.
      const std::size_t key = 2 * *terms + (mi.im == 0.0 ? 0 : 1);
      return calls::Entry<Sphere>{i, key, *terms > vantok::mie::group::MAX_LANE_TERMS, Sphere{xi, mi, *terms}};
    };
    auto solve = [&](std::span<const calls::Entry<Sphere>> group) {
      spheres.clear();
      for (const auto& e : group) spheres.push_back(e.data);
      solver.solve(spheres, derivatives, states, products, efficiencies);
      for (const Sphere& s : spheres) solve_pace.step(s.n_terms);
    };
    return calls::grouped<Sphere>(count(), solver.lanes(), check, solve, [&](std::size_t i, std::size_t j) {
      return use(i, Solution(states[j], products.efficiencies ? &efficiencies[j] : nullptr));
    });
  }

 private:
  Spheres(ArrayBorrow x_borrow, ArrayBorrow m_borrow, ArrayBorrow mu_borrow, ArrayView<double> x,
          ArrayView<C64> m, SolveOptions options)
      : x_borrow_(std::move(x_borrow)),
        m_borrow_(std::move(m_borrow)),
        mu_borrow_(std::move(mu_borrow)),
        x_(std::move(x)),
        m_(std::move(m)),
        options_(options) {}

  ArrayBorrow x_borrow_;
  ArrayBorrow m_borrow_;
  ArrayBorrow mu_borrow_;  // empty without cosines
  ArrayView<double> x_;
  ArrayView<C64> m_;
  SolveOptions options_;
};

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
    VANTOK_TRY(x_borrow, vantok_py::borrow(x, "x", args::Element::F64));
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
  return array({len}, std::move(*counts)).release();
}

PyObject* efficiencies(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::efficiencies<Spheres>("mie_efficiencies", args, nargs, kwnames);
}

PyObject* coefficients(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::coefficients<Spheres>("mie_coefficients", args, nargs, kwnames);
}

PyObject* amplitudes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::angular_call<Spheres, angular::Output::Amplitudes>("mie_amplitudes", args, nargs, kwnames);
}

PyObject* phase_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::angular_call<Spheres, angular::Output::PhaseMatrix>("mie_phase_matrix", args, nargs, kwnames);
}

PyObject* greek(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return calls::greek<Spheres>("mie_greek", args, nargs, kwnames);
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
