#pragma once
// The two-pass machinery shared by the angular bindings of spheres and layered
// spheres: the rule that decides whether one angular table serves every
// element of a call, the dispatch of the amplitude and phase-matrix routines
// to the table or to the per-cosine recurrence (which give the same bits), the
// outputs with their per-element evaluation into the element and derivative-
// set slices of the flat buffers, and the pieces of the Greek bindings (order
// check, size guards, the outputs with their per-element stores).
//
// Everything here is lock-free unless stated otherwise.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "arrays.hpp"
#include "errors.hpp"
#include "ref.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/amplitudes.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/phase.hpp"

namespace vantok_py::angular {

using vantok::mie::amplitudes::AmplitudeBuffers;
using vantok::mie::amplitudes::AngularTable;
using vantok::mie::coefficients::CoefficientDerivatives;
using vantok::mie::coefficients::Coefficients;
using vantok::mie::greek::GreekCoefficients;
using vantok::mie::phase::PhaseMatrixBuffers;
using vantok::mie::phase::PhaseMatrixDerivativeBuffers;

/// Most values (2 N n_mu: the pi and tau tables) of a shared angular table.
inline constexpr std::size_t MAX_TABLE_VALUES = 4194304;

/// A first pass and a shared table pay off only when at least two elements
/// share at least one cosine.
constexpr bool wants_table(std::size_t elements, std::size_t n_mu) noexcept { return elements >= 2 && n_mu >= 1; }

/// The cosines of a call and, when one was built, their angular table of the
/// call's largest term count. The evaluation routines take the table when
/// there is one and the recurrence otherwise; both give the same numbers.
class Angles {
 public:
  /// No table: every element runs the recurrences.
  explicit Angles(std::span<const double> cosines) noexcept : cosines_(cosines) {}

  /// After a first pass that found `n_orders` terms at most: a table when
  /// 2 n_orders n_mu does not overflow and is at most MAX_TABLE_VALUES, else
  /// none. The table only saves work: when its memory cannot be had, every
  /// element runs the recurrence instead, to the same bits.
  void share(std::size_t n_orders);

  bool has_table() const noexcept { return table_.has_value(); }
  std::size_t n_mu() const noexcept { return cosines_.size(); }

  /// S1, S2 of one solved sphere (the table refuses more terms than it has orders).
  vantok::Result<void> amplitudes(const Coefficients& c, AmplitudeBuffers out) const;
  /// S1, S2 and their x and m derivatives.
  vantok::Result<void> amplitudes_with_derivatives(const Coefficients& c, const CoefficientDerivatives& d,
                                                   AmplitudeBuffers values, AmplitudeBuffers dx,
                                                   AmplitudeBuffers dm) const;
  /// F11, F12, F33, F34, normalised or not.
  vantok::Result<void> phase_matrix(const Coefficients& c, bool normalized, PhaseMatrixBuffers out) const;
  /// The phase matrix and its derivatives with respect to x, Re m and Im m.
  vantok::Result<void> phase_matrix_with_derivatives(const Coefficients& c, const CoefficientDerivatives& d,
                                                     bool normalized, PhaseMatrixBuffers values,
                                                     PhaseMatrixDerivativeBuffers derivatives) const;

 private:
  std::span<const double> cosines_;
  std::optional<AngularTable> table_;
};

/// The two angular outputs of spheres and layered spheres.
enum class Output { Amplitudes, PhaseMatrix };

/// What distinguishes them: value type, rows per element and cosine (the
/// values; the derivatives of a sphere, or of one layer of a layered sphere),
/// the size guard's name and limit, and the word of a missing-derivatives refusal.
template <Output kind>
struct Layout;

template <>
struct Layout<Output::Amplitudes> {
  using Value = C64;
  static constexpr std::size_t rows = 2;             // S1, S2
  static constexpr std::size_t derivative_rows = 4;  // dS1/dx, dS2/dx, dS1/dm, dS2/dm
  static constexpr const char* what = "the amplitudes";
  static constexpr const OutputLimit& limit = COMPLEX_VALUES;
  static constexpr const char* word = "amplitude";
};

template <>
struct Layout<Output::PhaseMatrix> {
  using Value = double;
  static constexpr std::size_t rows = 4;              // F11, F12, F33, F34
  static constexpr std::size_t derivative_rows = 12;  // the four for x, Re m, Im m
  static constexpr const char* what = "the phase matrix";
  static constexpr const OutputLimit& limit = REAL_VALUES;
  static constexpr const char* word = "phase-matrix";
};

/// The size guard of an angular output of `elements` elements at n_mu cosines
/// (counted as one when there are none, so that a call without cosines is
/// still bounded by its elements) with `derivative_sets` derivative sets (0
/// without derivatives, 1 for a sphere, one per layer).
template <Output kind>
vantok::Result<std::size_t> bounded(std::size_t elements, std::size_t n_mu, std::size_t derivative_sets,
                                    bool derivatives) {
  using L = Layout<kind>;
  const auto count = output_count(elements, std::max<std::size_t>(n_mu, 1), L::rows, L::derivative_rows,
                                  derivative_sets);
  return vantok_py::bounded(L::what, count, L::limit, derivatives);
}

/// The outputs of an angular call of `elements` elements at n_mu cosines:
/// `rows` rows of elements n_mu values (element i at [i n_mu, (i + 1) n_mu)),
/// then `derivative_rows` such rows per derivative set (none without
/// derivatives, one for a sphere, one per layer of a layered sphere).
template <Output kind>
struct Outputs {
  using Value = typename Layout<kind>::Value;
  std::size_t elements;
  std::size_t n_mu;
  std::size_t derivative_sets;
  Buffer<Value> values;
  Buffer<Value> derivatives;

  std::size_t row_length() const noexcept { return elements * n_mu; }
};

/// Allocates the value buffer, then the derivative buffer (after the guard).
template <Output kind>
Outcome<Outputs<kind>> allocate(std::size_t elements, std::size_t n_mu, std::size_t derivative_sets) {
  using L = Layout<kind>;
  const std::size_t row = elements * n_mu;  // bounded by the size guard
  VANTOK_TRY(values, zeros<typename L::Value>(L::rows * row, L::what));
  VANTOK_TRY(derivatives, zeros<typename L::Value>(L::derivative_rows * derivative_sets * row, "derivatives"));
  return Outputs<kind>{elements, n_mu, derivative_sets, std::move(values), std::move(derivatives)};
}

/// The value rows (S1, S2, or F11, F12, F33, F34) of a buffer of rows
/// `row_length` long, cut to [start, end): one element of the outputs, or a
/// scratch buffer of one element.
AmplitudeBuffers value_rows(std::span<C64> buffer, std::size_t row_length, std::size_t start, std::size_t end);
PhaseMatrixBuffers value_rows(std::span<double> buffer, std::size_t row_length, std::size_t start, std::size_t end);

/// The values of the element at [start, end) of the output rows.
vantok::Result<void> evaluate_values(const Angles& angles, const Coefficients& c, bool normalized,
                                     Outputs<Output::Amplitudes>& out, std::size_t start, std::size_t end);
vantok::Result<void> evaluate_values(const Angles& angles, const Coefficients& c, bool normalized,
                                     Outputs<Output::PhaseMatrix>& out, std::size_t start, std::size_t end);

/// The derivatives of derivative set `set` of the element at [start, end) of
/// the output rows; the values the routine forms along go to `values`.
vantok::Result<void> evaluate_derivatives(const Angles& angles, const Coefficients& c, const CoefficientDerivatives& d,
                                          bool normalized, AmplitudeBuffers values, Outputs<Output::Amplitudes>& out,
                                          std::size_t set, std::size_t start, std::size_t end);
vantok::Result<void> evaluate_derivatives(const Angles& angles, const Coefficients& c, const CoefficientDerivatives& d,
                                          bool normalized, PhaseMatrixBuffers values, Outputs<Output::PhaseMatrix>& out,
                                          std::size_t set, std::size_t start, std::size_t end);

/// InvalidInput "{word} derivatives need a solution from {solver}::compute_with_derivatives".
vantok::Error derivatives_missing(std::string_view word, std::string_view solver);

namespace greek {

/// Rows of one Greek coefficient set (alpha1 .. beta2) and of its three
/// derivative sets (x, Re m, Im m).
inline constexpr std::size_t ROWS = 6;
inline constexpr std::size_t DERIVATIVE_ROWS = 18;

/// The order check: InvalidInput "the Greek order must be at most 2097152,
/// got {order}" above MAX_GREEK_ORDER.
vantok::Result<void> check_order(std::optional<std::uint64_t> order);

/// The size guard of the Greek outputs of `elements` elements with `orders`
/// orders each (1 before the first pass, L + 1 after it), with
/// `derivative_sets` sets of 18 derivative rows (0 without derivatives, 1 for
/// a sphere, one per layer): elements orders (6 + 18 sets) real values, named
/// "the Greek coefficients", against 2 * MAX_MIE_VALUES.
vantok::Result<std::size_t> bounded(std::size_t elements, std::size_t orders, std::size_t derivative_sets,
                                    bool derivatives);

/// The outputs of a Greek call after its first pass: per element its number
/// of terms and its coefficients alpha1 .. beta2 up to the order L (rows of
/// elements (L + 1) values, element i at [i (L + 1), (i + 1) (L + 1))), and per
/// derivative set their derivatives with respect to x, Re m and Im m (rows
/// 18 set + 6 r + k).
struct Outputs {
  std::size_t elements;
  std::size_t order;            // L
  std::size_t derivative_sets;  // 0 without derivatives
  std::optional<std::size_t> first_pass_terms;  // N_max when L is the default 2 N_max
  Buffer<std::uint64_t> counts;  // "the numbers of terms", one per element
  Buffer<double> values;         // "the Greek coefficients"
  Buffer<double> derivatives;    // "derivatives"

  /// Records element i's number of terms. With the default order, more terms
  /// than the first pass found is InvalidInput "element {i}: x or m changed
  /// during the call" (with a given order every element is expanded to it).
  vantok::Result<void> count(std::size_t i, std::size_t n_terms);
  /// Element i's coefficients (each vector exactly L + 1 long).
  void store_values(std::size_t i, const GreekCoefficients<double>& g);
  /// Element i's derivatives of set `set` (the values of `g` are not stored).
  void store_derivatives(std::size_t i, std::size_t set, const vantok::mie::greek::GreekWithDerivatives& g);
};

/// After a first pass that found at most `n_max` terms: the order (the given
/// one, or 2 n_max), the size guard of the whole output, then the buffers.
Outcome<Outputs> outputs(std::size_t elements, std::optional<std::uint64_t> order, std::size_t n_max,
                         std::size_t derivative_sets, bool derivatives);

}  // namespace greek

}  // namespace vantok_py::angular
