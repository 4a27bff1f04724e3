#pragma once
// The two-pass machinery shared by the angular bindings of spheres and layered
// spheres: the rule that decides whether one angular table serves every
// element of a call, the dispatch of the amplitude and phase-matrix routines
// to the table or to the per-cosine recurrence (which give the same bits), the
// element and layer slices of the flat output buffers, and the pieces of the
// Greek bindings (order check, default order, size guards, buffers, row store).
//
// Everything here is lock-free unless stated otherwise.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "arrays.hpp"
#include "errors.hpp"
#include "ref.hpp"
#include "vantok/error.hpp"
#include "vantok/mie/amplitudes.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/kernel.hpp"
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
  /// none. A failure to build it is the table's own error, without an index.
  vantok::Result<void> share(std::size_t n_orders);

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

/// The derivative view of a homogeneous sphere's solution, or InvalidInput
/// "{word} derivatives need a solution from Mie::compute_with_derivatives"
/// when it was solved without them ("amplitude", "phase-matrix", "Greek").
vantok::Result<CoefficientDerivatives> sphere_derivatives(const vantok::mie::kernel::State& state,
                                                          std::string_view word);

/// InvalidInput "{word} derivatives need a solution from {solver}::compute_with_derivatives".
vantok::Error derivatives_missing(std::string_view word, std::string_view solver);

/// Rows `first_row` and `first_row + 1` of a flat buffer of rows `row_length`
/// long, cut to [start, end): one element's S1 and S2, or one pair of their
/// derivatives.
AmplitudeBuffers amplitude_rows(std::span<C64> buffer, std::size_t row_length, std::size_t first_row,
                                std::size_t start, std::size_t end);

/// The four rows F11, F12, F33, F34 of group `group` (rows 4 group .. 4 group + 3)
/// cut to [start, end).
PhaseMatrixBuffers phase_rows(std::span<double> buffer, std::size_t row_length, std::size_t group,
                              std::size_t start, std::size_t end);

/// Groups `first_group`, +1, +2 (the x, Re m, Im m derivatives) cut to [start, end).
PhaseMatrixDerivativeBuffers phase_derivative_rows(std::span<double> buffer, std::size_t row_length,
                                                   std::size_t first_group, std::size_t start, std::size_t end);

namespace greek {

/// Rows of one Greek coefficient set (alpha1 .. beta2) and of its three
/// derivative sets (x, Re m, Im m).
inline constexpr std::size_t ROWS = 6;
inline constexpr std::size_t DERIVATIVE_ROWS = 18;

/// The order check: InvalidInput "the Greek order must be at most 2097152,
/// got {order}" above MAX_GREEK_ORDER.
vantok::Result<void> check_order(std::optional<std::uint64_t> order);

/// The order L of a call: the given one, or 2 N_max.
std::size_t order_of(std::optional<std::uint64_t> order, std::size_t n_max) noexcept;

/// The size guard of the Greek outputs of `elements` elements with `orders`
/// orders each (1 before the first pass, L + 1 after it), with
/// `derivative_sets` sets of 18 derivative rows (0 without derivatives, 1 for
/// a sphere, one per layer): elements orders (6 + 18 sets) real values, named
/// "the Greek coefficients", against 2 * MAX_MIE_VALUES.
vantok::Result<std::size_t> bounded(std::size_t elements, std::size_t orders, std::size_t derivative_sets,
                                    bool derivatives);

/// The output buffers of a Greek call, allocated in this order.
struct Buffers {
  Buffer<std::uint64_t> counts;  // "the numbers of terms", one per element
  Buffer<double> values;         // "the Greek coefficients", 6 rows of elements (L + 1)
  Buffer<double> derivatives;    // "derivatives", 18 rows per derivative set
};

/// Allocates the buffers after the guard has passed.
Outcome<Buffers> allocate(std::size_t elements, std::size_t orders, std::size_t derivative_sets);

/// Copies the six vectors of `g` (each exactly end - start long) to rows
/// first_row .. first_row + 5 of `buffer`, cut to [start, end); rows are
/// `row_length` values long. A mismatch is an internal failure.
void row_store(const GreekCoefficients<double>& g, std::span<double> buffer, std::size_t row_length,
               std::size_t first_row, std::size_t start, std::size_t end);

}  // namespace greek

}  // namespace vantok_py::angular
