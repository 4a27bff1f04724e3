#pragma once
// The skeleton of the sphere and layered-sphere functions, written once over
// the kind of element a call holds (homogeneous spheres, or layered
// particles): argument extraction, the borrows and checks with the lock held,
// the size guards, then with the lock released the first pass, the buffers,
// the second pass that solves every element with one reused solver, and the
// per-element output stores; last, with the lock held again, the output
// arrays.
//
// An element kind In provides (mie.cpp and layered.cpp define the two):
//   static Outcome<In> borrow(x, m, mu or nullptr, n_max, allow_unvalidated)
//       read borrows of x, m (and mu) in that order and the checks of their
//       shapes and of n_max;
//   static constexpr bool per_layer: the derivative outputs lead with one
//       derivative set per layer (otherwise a sphere's single set has no axis);
//   static constexpr bool indexes_amplitude_refusals: whether a refusal of
//       the amplitude routines names its element (it always does for the
//       phase matrix);
//   count(), derivative_sets(derivatives), mu();
//   check_layers(): the layer-count refusal before anything is allocated;
//   largest_n_terms(): the first pass (the input check of every element);
//   solve_each(derivatives, products, use): the second pass, handing
//       use(i, solution) each solved element; a solution gives coefficients()
//       (unless products left them out), the derivative record(set) of a set,
//       derivatives(set, word), the same with the refusal of a solution
//       without derivatives, and efficiencies() and efficiencies_jacobian(set)
//       (with products.efficiencies: computed along with the solve).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "angular.hpp"
#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "lock.hpp"
#include "ref.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/group.hpp"

namespace vantok_py {

/// The outputs of the efficiency functions of spheres and layered spheres: per
/// element (sphere or particle) Q_ext, Q_sca, Q_abs, Q_back and g (rows of
/// elements values), and per derivative set (one for a sphere, one per layer
/// of a layered sphere) their derivatives with respect to x, Re m and Im m
/// (15 rows, row 5 r + c for parameter r and efficiency c).
namespace efficiency_outputs {

inline constexpr std::size_t ROWS = 5;
inline constexpr std::size_t DERIVATIVE_ROWS = 15;

/// The size guard: elements (5 + 15 sets) real values, named "the
/// efficiencies", against 2 * MAX_MIE_VALUES.
vantok::Result<std::size_t> bounded(std::size_t elements, std::size_t derivative_sets, bool derivatives);

struct Buffers {
  std::size_t elements;
  std::size_t derivative_sets;  // 0 without derivatives
  Buffer<double> values;        // "the efficiencies", (5, elements)
  Buffer<double> jacobian;      // "the Jacobian", (sets, 3, 5, elements)
};

/// Allocates the buffers in that order, after the guard has passed.
Outcome<Buffers> allocate(std::size_t elements, std::size_t derivative_sets);

/// Element i's five efficiencies.
void store(Buffers& out, std::size_t i, const std::array<double, ROWS>& q);

/// Element i's Jacobian of derivative set `set`.
void store_jacobian(Buffers& out, std::size_t i, std::size_t set, const std::array<double, DERIVATIVE_ROWS>& dq);

}  // namespace efficiency_outputs

/// The outputs of the coefficient functions of spheres and layered spheres:
/// per element (sphere or particle) its number of terms, a_n and b_n in rows
/// of N (the call's largest term count, zero-padded above the element's own),
/// and per derivative set (one for a sphere, one per layer of a layered
/// sphere) four such tables da/dx, da/dm, db/dx, db/dm.
namespace coefficient_outputs {

/// Complex rows of the values (a, b) and of one derivative set.
inline constexpr std::size_t ROWS = 2;
inline constexpr std::size_t DERIVATIVE_ROWS = 4;

/// The size guard of `elements` elements of `terms` terms each (1 before the
/// first pass, N after it) with `derivative_sets` derivative sets (0 without
/// derivatives): elements terms (2 + 4 sets) complex values, named "the
/// coefficients", against MAX_MIE_VALUES.
vantok::Result<std::size_t> bounded(std::size_t elements, std::size_t terms, std::size_t derivative_sets,
                                    bool derivatives);

struct Buffers {
  std::size_t elements;
  std::size_t n_terms;          // N
  std::size_t derivative_sets;  // 0 without derivatives
  Buffer<std::uint64_t> counts;  // "the numbers of terms", one per element
  Buffer<C64> a;                 // "the coefficients", (elements, N)
  Buffer<C64> b;                 // "the coefficients", (elements, N)
  Buffer<C64> derivatives;       // "derivatives", (sets, 4, elements, N)
};

/// Allocates the buffers in that order, after the guard has passed.
Outcome<Buffers> allocate(std::size_t elements, std::size_t n_terms, std::size_t derivative_sets);

/// Element i's number of terms and its a_n, b_n; InvalidInput "element {i}: x
/// or m changed during the call" (nothing stored) when it has more terms than N.
vantok::Result<void> store(Buffers& out, std::size_t i, const vantok::mie::coefficients::Coefficients& c);

/// Element i's derivative set `set` (after `store` of the element).
void store_derivatives(Buffers& out, std::size_t i, std::size_t set,
                       const vantok::mie::coefficients::CoefficientDerivatives& d);

}  // namespace coefficient_outputs

/// The stop-check paces of the element kinds' loops: the first pass checks an
/// element (a layer of a layered particle) in some 50 ns, the second pass
/// solves a term (a term of each layer) in some 50 ns; both budgets come to
/// about a millisecond.
inline constexpr std::size_t CHECKS_PER_STOP_CHECK = std::size_t{1} << 14;
inline constexpr std::size_t TERMS_PER_STOP_CHECK = std::size_t{1} << 14;

namespace calls {

/// One checked element of the grouped second pass: its index in C order, the
/// key by which elements share groups (equal keys first), whether it is
/// solved alone (a group of one: its solution's buffers are large), and what
/// the element kind keeps of it.
template <class Data>
struct Entry {
  std::size_t index;
  std::size_t key;
  bool alone;
  Data data;
};

/// Elements per block of the grouped second pass.
inline constexpr std::size_t GROUP_BLOCK = 2048;

/// The second pass over lanes. The elements are taken in blocks of
/// GROUP_BLOCK in C order; in a block check(i) runs in order up to the first
/// refusal (an error, or an exception it throws), the checked elements are
/// sorted by key, solve(group) solves them `lanes` at a time (an element
/// solved alone in a group of its own) and use(i, j)
/// takes element i from lane j of the group just solved. Every element solves
/// to the bits it would alone, and its use writes only its own outputs, so the
/// order changes nothing but the error reported: here the failure of the
/// smallest element index, which is the one the element-by-element order
/// meets first (a refusal ends its block there, so no later element counts;
/// a refusing exception is rethrown once the elements before it are used).
template <class Data, class Check, class Solve, class Use>
vantok::Result<void> grouped(std::size_t count, std::size_t lanes, Check&& check, Solve&& solve, Use&& use) {
  std::vector<Entry<Data>> block;
  std::vector<std::pair<std::size_t, std::size_t>> order;  // (key, position in block)
  std::vector<Entry<Data>> group;
  for (std::size_t begin = 0; begin < count; begin += GROUP_BLOCK) {
    const std::size_t end = std::min(count, begin + GROUP_BLOCK);
    block.clear();
    std::optional<vantok::Error> refused;
    std::exception_ptr thrown;
    for (std::size_t i = begin; i < end; ++i) {
      try {
        auto checked = check(i);
        if (!checked) {
          refused = std::move(checked).error();
          break;
        }
        block.push_back(std::move(*checked));
      } catch (const std::bad_alloc&) {
        thrown = std::current_exception();
        break;
      }
    }
    // By key, equal keys in C order (the positions make the pairs distinct).
    order.clear();
    for (std::size_t k = 0; k < block.size(); ++k) order.emplace_back(block[k].key, k);
    std::sort(order.begin(), order.end());
    std::optional<std::pair<std::size_t, vantok::Error>> failed;
    const auto later = [&](const Entry<Data>& e) { return failed && e.index > failed->first; };
    for (std::size_t g = 0; g < order.size(); g += group.size()) {
      group.clear();
      for (std::size_t k = g; k < std::min(order.size(), g + lanes); ++k) {
        const Entry<Data>& e = block[order[k].second];
        if (!group.empty() && (e.alone || group.front().alone)) break;
        group.push_back(e);
      }
      if (std::all_of(group.begin(), group.end(), later)) continue;
      solve(std::span<const Entry<Data>>(group));
      for (std::size_t j = 0; j < group.size(); ++j) {
        if (later(group[j])) continue;
        auto used = use(group[j].index, j);
        if (!used) failed.emplace(group[j].index, std::move(used).error());
      }
    }
    if (failed) return std::unexpected(std::move(failed->second));
    if (refused) return std::unexpected(std::move(*refused));
    if (thrown) std::rethrow_exception(thrown);
  }
  return {};
}

/// The shape of a derivative output: `rest` after the set axis of per-layer
/// elements.
template <class In>
std::vector<std::size_t> derivative_shape(std::size_t sets, std::initializer_list<std::size_t> rest) {
  std::vector<std::size_t> shape;
  if constexpr (In::per_layer) shape.push_back(sets);
  shape.insert(shape.end(), rest.begin(), rest.end());
  return shape;
}

/// {name}_efficiencies(x, m, n_max, derivatives, allow_unvalidated).
template <class In>
PyObject* efficiencies(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] = args::SolveArgs::extract(function, args, nargs, kwnames);

  Outcome<efficiency_outputs::Buffers> out = [&]() -> Outcome<efficiency_outputs::Buffers> {
    VANTOK_TRY(in, In::borrow(x, m, nullptr, n_max, allow_unvalidated));
    const std::size_t sets = in.derivative_sets(derivatives);
    VANTOK_CHECK(efficiency_outputs::bounded(in.count(), sets, derivatives));

    return unlocked([&]() -> Outcome<efficiency_outputs::Buffers> {
      VANTOK_CHECK(in.check_layers());
      VANTOK_TRY(buffers, efficiency_outputs::allocate(in.count(), sets));
      auto each = [&](std::size_t i, const auto& solved) -> vantok::Result<void> {
        efficiency_outputs::store(buffers, i, solved.efficiencies());
        // Only the outer record's x row carries the explicit 1/x^2 terms.
        for (std::size_t set = 0; set < sets; ++set) {
          efficiency_outputs::store_jacobian(buffers, i, set, solved.efficiencies_jacobian(set));
        }
        return {};
      };
      VANTOK_CHECK(in.solve_each(derivatives, vantok::mie::group::Products{false, true}, each));
      return std::move(buffers);
    });
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t len = out->elements;
  PyRef jacobian;
  if (derivatives) jacobian = array(derivative_shape<In>(out->derivative_sets, {3, 5, len}), std::move(out->jacobian));
  PyRef values = array({5, len}, std::move(out->values));
  return tuple_of(std::move(values), std::move(jacobian)).release();
}

/// {name}_coefficients(x, m, n_max, derivatives, allow_unvalidated).
template <class In>
PyObject* coefficients(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, n_max, derivatives, allow_unvalidated] = args::SolveArgs::extract(function, args, nargs, kwnames);

  Outcome<coefficient_outputs::Buffers> out = [&]() -> Outcome<coefficient_outputs::Buffers> {
    VANTOK_TRY(in, In::borrow(x, m, nullptr, n_max, allow_unvalidated));
    const std::size_t len = in.count();
    const std::size_t sets = in.derivative_sets(derivatives);
    // Before the first pass: the call could not hold even one term per element.
    VANTOK_CHECK(coefficient_outputs::bounded(len, 1, sets, derivatives));

    return unlocked([&]() -> Outcome<coefficient_outputs::Buffers> {
      VANTOK_TRY(n_terms, in.largest_n_terms());
      VANTOK_CHECK(coefficient_outputs::bounded(len, n_terms, sets, derivatives));
      VANTOK_TRY(buffers, coefficient_outputs::allocate(len, n_terms, sets));
      auto each = [&](std::size_t i, const auto& solved) -> vantok::Result<void> {
        VANTOK_CHECK(coefficient_outputs::store(buffers, i, solved.coefficients()));
        for (std::size_t set = 0; set < sets; ++set) {
          coefficient_outputs::store_derivatives(buffers, i, set, solved.record(set));
        }
        return {};
      };
      VANTOK_CHECK(in.solve_each(derivatives, vantok::mie::group::Products{}, each));
      return std::move(buffers);
    });
  }();
  if (!out) errors::throw_failure(std::move(out.error()));

  const std::size_t len = out->elements;
  const std::size_t N = out->n_terms;
  PyRef d;
  if (derivatives) d = array(derivative_shape<In>(out->derivative_sets, {4, len, N}), std::move(out->derivatives));
  PyRef counts = array({len}, std::move(out->counts));
  PyRef a = array({len, N}, std::move(out->a));
  PyRef b = array({len, N}, std::move(out->b));
  return tuple_of(std::move(counts), std::move(a), std::move(b), std::move(d)).release();
}

/// One element's values and derivatives at [start, end) of the output rows.
/// With derivatives the values are those the derivative routine of the first
/// set forms; the other sets form them into `scratch` (one element's rows),
/// where they are dropped.
template <angular::Output kind, class Solution>
vantok::Result<void> evaluate_element(const angular::Angles& angles, const Solution& solved, bool normalized,
                                      angular::Outputs<kind>& out, std::span<typename angular::Layout<kind>::Value> scratch,
                                      std::size_t start, std::size_t end) {
  const auto c = solved.coefficients();
  if (out.derivative_sets == 0) return angular::evaluate_values(angles, c, normalized, out, start, end);
  for (std::size_t set = 0; set < out.derivative_sets; ++set) {
    VANTOK_TRY(d, solved.derivatives(set, angular::Layout<kind>::word));
    const auto values = set == 0 ? angular::value_rows(out.values.span(), out.row_length(), start, end)
                                 : angular::value_rows(scratch, out.n_mu, 0, out.n_mu);
    VANTOK_CHECK(angular::evaluate_derivatives(angles, c, d, normalized, values, out, set, start, end));
  }
  return {};
}

/// The lock-free part of an angular call: the layer count, the buffers, the
/// first pass and the shared table, then every element solved and evaluated
/// at every cosine.
template <angular::Output kind, class In>
Outcome<angular::Outputs<kind>> evaluate(const In& in, std::span<const double> cosines, std::size_t n_mu,
                                         bool derivatives, bool normalized) {
  const std::size_t len = in.count();
  VANTOK_CHECK(in.check_layers());
  VANTOK_TRY(out, angular::allocate<kind>(len, n_mu, in.derivative_sets(derivatives)));
  if (n_mu == 0 || len == 0) {
    // Nothing to evaluate: every element is still checked, in order. (With
    // no elements the cosines were not copied: only their count matters.)
    VANTOK_CHECK(in.largest_n_terms());
    return out;
  }
  angular::Angles angles(cosines);
  if (angular::wants_table(len, n_mu)) {
    VANTOK_TRY(n_terms, in.largest_n_terms());
    angles.share(n_terms);
  }
  std::vector<typename angular::Layout<kind>::Value> scratch(
      out.derivative_sets > 1 ? angular::Layout<kind>::rows * n_mu : 0);
  auto each = [&](std::size_t i, const auto& solved) -> vantok::Result<void> {
    auto done = evaluate_element<kind>(angles, solved, normalized, out, scratch, i * n_mu, (i + 1) * n_mu);
    // The table's refusal of a sphere with more terms than its orders (x or
    // m changed between the passes) names the element, except for the
    // amplitudes of homogeneous spheres.
    if (!done && (kind == angular::Output::PhaseMatrix || In::indexes_amplitude_refusals)) {
      return std::unexpected(at(i, std::move(done).error()));
    }
    return done;
  };
  VANTOK_CHECK(in.solve_each(derivatives, vantok::mie::group::Products{}, each));
  return out;
}

/// {name}_amplitudes(x, m, mu, n_max, derivatives, allow_unvalidated) and
/// {name}_phase_matrix(x, m, mu, n_max, derivatives, allow_unvalidated, normalized).
template <class In, angular::Output kind>
PyObject* angular_call(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using L = angular::Layout<kind>;
  const auto [x, m, mu, n_max, derivatives, allow_unvalidated, normalized] = args::AngularArgs::extract(
      function, kind == angular::Output::PhaseMatrix, args, nargs, kwnames);

  Outcome<angular::Outputs<kind>> result = [&]() -> Outcome<angular::Outputs<kind>> {
    VANTOK_TRY(in, In::borrow(x, m, mu, n_max, allow_unvalidated));
    // The cosines are checked in place, then counted by the size guard, and
    // copied only once it has passed (and only when an element reads them),
    // so that an oversized mu is refused before it is copied.
    const ArrayView<double> mu_view(in.mu());
    const std::size_t n_mu = mu_view.len();
    VANTOK_CHECK(check_cosines(mu_view));
    VANTOK_CHECK(angular::bounded<kind>(in.count(), n_mu, in.derivative_sets(derivatives), derivatives));
    Buffer<double> cos;
    if (in.count() > 0) {
      VANTOK_TRY(copy, cosines(mu_view));
      cos = std::move(copy);
    }

    return unlocked([&] { return evaluate<kind>(in, cos.span(), n_mu, derivatives, normalized); });
  }();
  if (!result) errors::throw_failure(std::move(result.error()));
  angular::Outputs<kind>& out = *result;
  PyRef derivative_array;
  if (derivatives) {
    const std::vector<std::size_t> shape =
        kind == angular::Output::PhaseMatrix
            ? derivative_shape<In>(out.derivative_sets, {3, 4, out.elements, out.n_mu})
            : derivative_shape<In>(out.derivative_sets, {4, out.elements, out.n_mu});
    derivative_array = array<typename L::Value>(shape, std::move(out.derivatives));
  }
  PyRef values = array({L::rows, out.elements, out.n_mu}, std::move(out.values));
  return tuple_of(std::move(values), std::move(derivative_array)).release();
}

/// The lock-free part of a Greek call: the first pass (always: it fixes the
/// default order and the output size), the second guard and the buffers, then
/// each element solved and expanded. With derivatives the values come from
/// the first set's expansion.
template <class In>
Outcome<angular::greek::Outputs> expand(const In& in, std::optional<std::uint64_t> requested, bool derivatives,
                                        bool normalized) {
  VANTOK_TRY(n_max, in.largest_n_terms());
  VANTOK_TRY(out, angular::greek::outputs(in.count(), requested, n_max, in.derivative_sets(derivatives), derivatives));
  auto each = [&](std::size_t i, const auto& solved) -> vantok::Result<void> {
    const auto c = solved.coefficients();
    VANTOK_CHECK(out.count(i, c.a.size()));
    // A sphere of N terms has no orders above 2N, and an expansion up to
    // min(order, 2N) has the bits of one up to the call's order (the same
    // projection, without the zeros above 2N, which the zeroed rows hold):
    // a large order costs no padded copy per element.
    const std::size_t order = std::min<std::size_t>(out.order, 2 * c.a.size());
    if (out.derivative_sets == 0) {
      auto g = c.greek(order, normalized);
      if (!g) return std::unexpected(at(i, std::move(g).error()));
      out.store_values(i, *g);
      return {};
    }
    for (std::size_t set = 0; set < out.derivative_sets; ++set) {
      auto d = solved.derivatives(set, "Greek");
      if (!d) return std::unexpected(at(i, std::move(d).error()));
      auto g = c.greek_with_derivatives(order, *d, normalized);
      if (!g) return std::unexpected(at(i, std::move(g).error()));
      if (set == 0) out.store_values(i, g->values);
      out.store_derivatives(i, set, *g);
    }
    return {};
  };
  VANTOK_CHECK(in.solve_each(derivatives, vantok::mie::group::Products{}, each));
  return out;
}

/// {name}_greek(x, m, order, n_max, derivatives, allow_unvalidated, normalized).
template <class In>
PyObject* greek(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [x, m, order, n_max, derivatives, allow_unvalidated, normalized] =
      args::GreekArgs::extract(function, args, nargs, kwnames);

  Outcome<angular::greek::Outputs> result = [&]() -> Outcome<angular::greek::Outputs> {
    VANTOK_TRY(in, In::borrow(x, m, nullptr, n_max, allow_unvalidated));
    VANTOK_CHECK(angular::greek::check_order(order));
    // Before the order is known: a call that could not hold even order 0.
    VANTOK_CHECK(angular::greek::bounded(in.count(), 1, in.derivative_sets(derivatives), derivatives));

    return unlocked([&] { return expand(in, order, derivatives, normalized); });
  }();
  if (!result) errors::throw_failure(std::move(result.error()));
  angular::greek::Outputs& out = *result;
  const std::size_t orders = out.order + 1;
  PyRef derivative_array;
  if (derivatives) {
    derivative_array =
        array(derivative_shape<In>(out.derivative_sets, {3, 6, out.elements, orders}), std::move(out.derivatives));
  }
  PyRef counts = array({out.elements}, std::move(out.counts));
  PyRef coefficients = array({6, out.elements, orders}, std::move(out.values));
  return tuple_of(std::move(counts), std::move(coefficients), std::move(derivative_array)).release();
}

}  // namespace calls

}  // namespace vantok_py
