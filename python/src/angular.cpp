// Two-pass angular evaluation and the Greek output plumbing shared by the
// sphere and layered-sphere bindings. The table and the recurrence form the
// same products w_n pi_n, w_n tau_n and accumulate them in ascending n, so
// whether a table is shared changes memory and speed, never a bit.
#include "angular.hpp"

#include <algorithm>
#include <string>

#include "vantok/format.hpp"
#include "vantok/limits.hpp"
#include "vantok/numeric.hpp"

namespace vantok_py::angular {

void Angles::share(std::size_t n_orders) {
  const std::optional<std::size_t> values = product({2, n_orders, cosines_.size()});
  if (!values || *values > MAX_TABLE_VALUES) return;
  // The cosines were checked and 1 <= n_orders <= MAX_MIE_ORDER (every
  // element has a term count), so the table's one refusal here is that its
  // memory cannot be had: a call under a memory limit that fits its outputs
  // is not refused for a table it can do without.
  auto table = AngularTable::create(cosines_, n_orders);
  if (table) table_.emplace(std::move(*table));
}

vantok::Result<void> Angles::amplitudes(const Coefficients& c, AmplitudeBuffers out) const {
  if (table_) return c.amplitudes_from_table(*table_, out);
  return c.amplitudes(cosines_, out);
}

vantok::Result<void> Angles::amplitudes_with_derivatives(const Coefficients& c, const CoefficientDerivatives& d,
                                                         AmplitudeBuffers values, AmplitudeBuffers dx,
                                                         AmplitudeBuffers dm) const {
  if (table_) return c.amplitudes_with_derivatives_from_table(d, *table_, values, dx, dm);
  return c.amplitudes_with_derivatives(d, cosines_, values, dx, dm);
}

vantok::Result<void> Angles::phase_matrix(const Coefficients& c, bool normalized, PhaseMatrixBuffers out) const {
  if (table_) return c.phase_matrix_from_table(*table_, normalized, out);
  return c.phase_matrix(cosines_, normalized, out);
}

vantok::Result<void> Angles::phase_matrix_with_derivatives(const Coefficients& c, const CoefficientDerivatives& d,
                                                           bool normalized, PhaseMatrixBuffers values,
                                                           PhaseMatrixDerivativeBuffers derivatives) const {
  if (table_) return c.phase_matrix_with_derivatives_from_table(*table_, d, normalized, values, derivatives);
  return c.phase_matrix_with_derivatives(cosines_, d, normalized, values, derivatives);
}

vantok::Error derivatives_missing(std::string_view word, std::string_view solver) {
  return vantok::Error::invalid_input(std::string(word) + " derivatives need a solution from " +
                                      std::string(solver) + "::compute_with_derivatives");
}

namespace {

// Row `row` of a buffer of rows `row_length` long, cut to [start, end).
template <class T>
std::span<T> row_piece(std::span<T> buffer, std::size_t row_length, std::size_t row, std::size_t start,
                       std::size_t end) {
  std::size_t offset = 0;
  VANTOK_ASSERT(start <= end && end <= row_length && vantok::checked_mul(row, row_length, offset) &&
                offset <= buffer.size() && buffer.size() - offset >= end);
  return buffer.subspan(offset + start, end - start);
}

// Rows `first_row` and `first_row + 1` of a flat buffer, cut to [start,
// end): one element's S1 and S2, or one pair of their derivatives.
AmplitudeBuffers amplitude_rows(std::span<C64> buffer, std::size_t row_length, std::size_t first_row,
                                std::size_t start, std::size_t end) {
  return {row_piece(buffer, row_length, first_row, start, end),
          row_piece(buffer, row_length, first_row + 1, start, end)};
}

// The four rows F11, F12, F33, F34 of group `group` (rows 4 group .. 4 group
// + 3) cut to [start, end).
PhaseMatrixBuffers phase_rows(std::span<double> buffer, std::size_t row_length, std::size_t group,
                              std::size_t start, std::size_t end) {
  return {row_piece(buffer, row_length, 4 * group, start, end), row_piece(buffer, row_length, 4 * group + 1, start, end),
          row_piece(buffer, row_length, 4 * group + 2, start, end),
          row_piece(buffer, row_length, 4 * group + 3, start, end)};
}

// Groups `first_group`, +1, +2 (the x, Re m, Im m derivatives) cut to [start, end).
PhaseMatrixDerivativeBuffers phase_derivative_rows(std::span<double> buffer, std::size_t row_length,
                                                   std::size_t first_group, std::size_t start, std::size_t end) {
  return {phase_rows(buffer, row_length, first_group, start, end),
          phase_rows(buffer, row_length, first_group + 1, start, end),
          phase_rows(buffer, row_length, first_group + 2, start, end)};
}

}  // namespace

AmplitudeBuffers value_rows(std::span<C64> buffer, std::size_t row_length, std::size_t start, std::size_t end) {
  return amplitude_rows(buffer, row_length, 0, start, end);
}

PhaseMatrixBuffers value_rows(std::span<double> buffer, std::size_t row_length, std::size_t start, std::size_t end) {
  return phase_rows(buffer, row_length, 0, start, end);
}

vantok::Result<void> evaluate_values(const Angles& angles, const Coefficients& c, bool,
                                     Outputs<Output::Amplitudes>& out, std::size_t start, std::size_t end) {
  return angles.amplitudes(c, value_rows(out.values.span(), out.row_length(), start, end));
}

vantok::Result<void> evaluate_values(const Angles& angles, const Coefficients& c, bool normalized,
                                     Outputs<Output::PhaseMatrix>& out, std::size_t start, std::size_t end) {
  return angles.phase_matrix(c, normalized, value_rows(out.values.span(), out.row_length(), start, end));
}

vantok::Result<void> evaluate_derivatives(const Angles& angles, const Coefficients& c, const CoefficientDerivatives& d,
                                          bool, AmplitudeBuffers values, Outputs<Output::Amplitudes>& out,
                                          std::size_t set, std::size_t start, std::size_t end) {
  // Set s owns the rows 4 s (dS1/dx, dS2/dx) and 4 s + 2 (dS1/dm, dS2/dm).
  const std::span<C64> rows = out.derivatives.span();
  return angles.amplitudes_with_derivatives(c, d, values,
                                            amplitude_rows(rows, out.row_length(), 4 * set, start, end),
                                            amplitude_rows(rows, out.row_length(), 4 * set + 2, start, end));
}

vantok::Result<void> evaluate_derivatives(const Angles& angles, const Coefficients& c, const CoefficientDerivatives& d,
                                          bool normalized, PhaseMatrixBuffers values, Outputs<Output::PhaseMatrix>& out,
                                          std::size_t set, std::size_t start, std::size_t end) {
  // Set s owns the groups of four rows 3 s (x), 3 s + 1 (Re m), 3 s + 2 (Im m).
  return angles.phase_matrix_with_derivatives(
      c, d, normalized, values, phase_derivative_rows(out.derivatives.span(), out.row_length(), 3 * set, start, end));
}

namespace greek {

vantok::Result<void> check_order(std::optional<std::uint64_t> order) {
  if (order && *order > vantok::MAX_GREEK_ORDER) {
    return std::unexpected(vantok::Error::invalid_input("the Greek order must be at most " +
                                                        vantok::fmt::plain(vantok::MAX_GREEK_ORDER) + ", got " +
                                                        vantok::fmt::plain(*order)));
  }
  return {};
}

vantok::Result<std::size_t> bounded(std::size_t elements, std::size_t orders, std::size_t derivative_sets,
                                    bool derivatives) {
  return vantok_py::bounded("the Greek coefficients",
                            output_count(elements, orders, ROWS, DERIVATIVE_ROWS, derivative_sets), REAL_VALUES,
                            derivatives);
}

Outcome<Outputs> outputs(std::size_t elements, std::optional<std::uint64_t> order, std::size_t n_max,
                         std::size_t derivative_sets, bool derivatives) {
  // n_max <= MAX_MIE_ORDER and a given order passed check_order: no overflow.
  const std::size_t L = order ? static_cast<std::size_t>(*order) : 2 * n_max;
  VANTOK_CHECK(bounded(elements, L + 1, derivative_sets, derivatives));
  // The guard has bounded every product here.
  const std::size_t values = elements * (L + 1) * ROWS;
  VANTOK_TRY(counts, term_counts(elements));
  VANTOK_TRY(coefficients, zeros<double>(values, "the Greek coefficients"));
  VANTOK_TRY(derivative_values, zeros<double>(values * 3 * derivative_sets, "derivatives"));
  return Outputs{elements,
                 L,
                 derivative_sets,
                 order ? std::nullopt : std::optional<std::size_t>(n_max),
                 std::move(counts),
                 std::move(coefficients),
                 std::move(derivative_values)};
}

namespace {

// Copies the six vectors of `g` (each at most end - start long) to rows
// first_row .. first_row + 5 of `buffer`, cut to [start, end); rows are
// `row_length` values long. Coefficients shorter than the piece fill its
// start (the zeroed rest stands for the orders they do not reach); longer
// ones are an internal failure.
void row_store(const GreekCoefficients<double>& g, std::span<double> buffer, std::size_t row_length,
               std::size_t first_row, std::size_t start, std::size_t end) {
  const auto vectors = g.vectors();
  for (std::size_t k = 0; k < ROWS; ++k) {
    const std::vector<double>& v = *vectors[k];
    const std::span<double> row = row_piece(buffer, row_length, first_row + k, start, end);
    VANTOK_ASSERT(v.size() <= row.size());
    std::copy(v.begin(), v.end(), row.begin());
  }
}

}  // namespace

vantok::Result<void> Outputs::count(std::size_t i, std::size_t n_terms) {
  // A writer that bypassed the borrows changed the element after the first pass.
  if (first_pass_terms && n_terms > *first_pass_terms) return std::unexpected(changed_during_call(i));
  counts[i] = n_terms;
  return {};
}

void Outputs::store_values(std::size_t i, const GreekCoefficients<double>& g) {
  const std::size_t orders = order + 1;
  row_store(g, values.span(), elements * orders, 0, i * orders, (i + 1) * orders);
}

void Outputs::store_derivatives(std::size_t i, std::size_t set, const vantok::mie::greek::GreekWithDerivatives& g) {
  const std::size_t orders = order + 1;
  const std::size_t first = DERIVATIVE_ROWS * set;
  row_store(g.x, derivatives.span(), elements * orders, first, i * orders, (i + 1) * orders);
  row_store(g.re_m, derivatives.span(), elements * orders, first + ROWS, i * orders, (i + 1) * orders);
  row_store(g.im_m, derivatives.span(), elements * orders, first + 2 * ROWS, i * orders, (i + 1) * orders);
}

}  // namespace greek

}  // namespace vantok_py::angular
