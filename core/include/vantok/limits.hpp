#pragma once
// The size limits of the library, checked before anything is allocated. The
// Python module exports them under the same names.

#include <cstddef>

namespace vantok {

/// Largest Gauss-Legendre rule.
inline constexpr std::size_t MAX_GAUSS_LEGENDRE_POINTS = 131072;
/// Largest number of Wigner d values one call may produce.
inline constexpr std::size_t MAX_WIGNER_D_VALUES = 268435456;
/// Largest number of Mie terms of one sphere.
inline constexpr std::size_t MAX_MIE_ORDER = 1048576;
/// Largest number of values of one sphere-function output.
inline constexpr std::size_t MAX_MIE_VALUES = 134217728;
/// Largest Greek-coefficient order.
inline constexpr std::size_t MAX_GREEK_ORDER = 2097152;
/// Largest number of layers of a layered sphere.
inline constexpr std::size_t MAX_LAYERS = 1024;
/// Largest number of T-matrix terms.
inline constexpr std::size_t MAX_TMATRIX_ORDER = 500;

}  // namespace vantok
