#pragma once
// What the two T-matrix entry points of the module share (tmatrix_random in
// tmatrix_random.cpp, the class TMatrixObject in tmatrix_object.cpp): the
// options of a solve from the call's arguments, the relative error estimate
// of a solved spheroid, and the layouts of the outputs in their NumPy buffers.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

#include "arrays.hpp"
#include "vantok/error.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace vantok_py::tmatrix {

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
inline constexpr std::size_t EFFICIENCIES = 5;
/// alpha1, alpha2, alpha3, alpha4, beta1, beta2; and F11, F12, F22, F33, F34, F44.
inline constexpr std::size_t ROWS = 6;
/// The partials of every derivative output: x, aspect ratio, Re m, Im m.
inline constexpr std::size_t PARTIALS = 4;
/// Values per spheroid and cosine that the output guard of tmatrix_random
/// counts: the six phase-matrix elements and their 24 derivatives.
inline constexpr std::size_t GUARDED_PER_COSINE = ROWS * (1 + PARTIALS);

/// The options of a solve: the counts and flags as given, the caps left to the
/// solve, the precision from its word ("auto", "f64" or "double-double", byte
/// for byte), else InvalidInput "precision must be 'auto', 'f64' or
/// 'double-double', got {:?}". Lock held (the quoting reads unicodedata).
vantok::Result<TMatrix> options(std::string_view precision, std::optional<std::uint64_t> n_terms,
                                std::optional<std::uint64_t> n_theta, std::optional<std::uint64_t> greek_order,
                                double rtol, bool allow_unconverged, bool allow_unvalidated);

/// The derivative switch of a run from the binding's flag.
WithDerivatives with_derivatives(bool derivatives);

/// The six phase-matrix rows of one call's slice: consecutive rows of
/// `row_length` values in `buffer`, and of each the `count` values from
/// `index` count on.
PhaseBuffers rows(std::span<double> buffer, std::size_t row_length, std::size_t index, std::size_t count);

/// The relative error estimate of a solved spheroid: the driver's estimate, or
/// the blocks' absolute error bound relative to the largest |T_ij| (0 when no
/// element is positive) when that is larger; NaN on either side is ignored.
double error_estimate(const State& state);

/// The six series of Greek coefficients row after row, each cut or zero-padded
/// to `width` values, at row r of `rows_total` rows of the output (the series
/// of one spheroid among many: offset (r rows_total + row) width).
void lay_out(const GreekCoefficients<double>& g, std::span<double> out, std::size_t row, std::size_t rows_total,
             std::size_t width);

/// The four derivative sets of Greek coefficients, each laid out like the
/// values (`lay_out`) in its own block of 6 rows_total width values.
void lay_out(const Derivatives<GreekCoefficients<double>>& sets, std::span<double> out, std::size_t row,
             std::size_t rows_total, std::size_t width);

/// The phase-matrix rows of the four derivative groups: `rows` of each
/// consecutive block of 6 row_length values.
Derivatives<PhaseBuffers> derivative_rows(std::span<double> buffer, std::size_t row_length, std::size_t index,
                                          std::size_t count);

/// The Jacobian (4, 5) as row-major values.
void store_jacobian(const EfficiencyJacobian& jacobian, std::span<double> out, std::size_t index, std::size_t stride);

/// A buffer of `factors` values (their product checked: RuntimeError "output
/// shape: arithmetic overflow"), zero-filled by a fallible allocation
/// (MemoryError "cannot allocate {} values for {what}: {}"). Lock-free.
Outcome<Buffer<double>> output(std::initializer_list<std::size_t> factors, std::string_view what);

}  // namespace vantok_py::tmatrix
