// The options and output layouts both T-matrix entry points share.

#include "tmatrix_outputs.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "errors.hpp"

namespace vantok_py::tmatrix {

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

PhaseBuffers rows(std::span<double> buffer, std::size_t row_length, std::size_t index, std::size_t count) {
  VANTOK_ASSERT(row_length != 0 && buffer.size() / ROWS >= row_length && index * count + count <= row_length);
  PhaseBuffers out;
  for (std::size_t r = 0; r < ROWS; ++r) out[r] = buffer.subspan(r * row_length + index * count, count);
  return out;
}

double error_estimate(const State& state) {
  const auto& solved = state.converged.solved;
  const double top = vantok::tmatrix::largest_element(solved.modes);
  const double relative = top > 0.0 ? solved.err / top : 0.0;
  return std::fmax(state.converged.error_estimate, relative);
}

void lay_out(const GreekCoefficients<double>& g, std::span<double> out, std::size_t row, std::size_t rows_total,
             std::size_t width) {
  const auto series = g.vectors();
  for (std::size_t r = 0; r < ROWS; ++r) {
    const std::vector<double>& s = *series[r];
    std::copy_n(s.begin(), std::min(width, s.size()), out.begin() + static_cast<std::ptrdiff_t>((r * rows_total + row) * width));
  }
}

void lay_out(const Derivatives<GreekCoefficients<double>>& sets, std::span<double> out, std::size_t row,
             std::size_t rows_total, std::size_t width) {
  const std::size_t block = ROWS * rows_total * width;
  for (std::size_t j = 0; j < PARTIALS; ++j) lay_out(sets[j], out.subspan(j * block, block), row, rows_total, width);
}

Derivatives<PhaseBuffers> derivative_rows(std::span<double> buffer, std::size_t row_length, std::size_t index,
                                          std::size_t count) {
  const std::size_t block = ROWS * row_length;
  VANTOK_ASSERT(buffer.size() / PARTIALS >= block);
  Derivatives<PhaseBuffers> out;
  for (std::size_t j = 0; j < PARTIALS; ++j) out[j] = rows(buffer.subspan(j * block, block), row_length, index, count);
  return out;
}

void store_jacobian(const EfficiencyJacobian& jacobian, std::span<double> out, std::size_t index, std::size_t stride) {
  for (std::size_t r = 0; r < PARTIALS; ++r) {
    for (std::size_t c = 0; c < EFFICIENCIES; ++c) out[(r * EFFICIENCIES + c) * stride + index] = jacobian[r][c];
  }
}

Outcome<Buffer<double>> output(std::initializer_list<std::size_t> factors, std::string_view what) {
  const std::optional<std::size_t> count = product(factors);
  if (!count) return std::unexpected(shape_error(ShapeError::Overflow));
  return zeros<double>(*count, what);
}

}  // namespace vantok_py::tmatrix
