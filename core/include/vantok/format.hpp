#pragma once
// Number formatting for messages. Every message of the library prints its
// numbers through these helpers, so that one value always reads the same.
//
// All three forms start from the shortest decimal digit string that reads back
// to the same double (std::to_chars without precision):
//   exp:   d[.ddd]e<exp>, no '+' and no zero padding: 1e-30, 2.5e0, 0e0, -0e0
//   plain: the same digits written positionally, never an exponent: 10, 0.1,
//          1000, 0.0000001; integral values without a point; -0.0 gives "-0"
//   debug: as plain, but integral values keep ".0" (1.0, -0.0), and non-zero
//          magnitudes below 1e-4 or from 1e16 up switch to the exp layout
// Infinities print as "inf" and "-inf", NaN as "NaN" in every form.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "vantok/complex.hpp"

namespace vantok::fmt {

/// Exponent form: 1e-12, 2.5e0, 1e2, 0e0, inf, NaN.
std::string exp(double v);
/// Plain positional form: 10, 0.1, 1000, -0.
std::string plain(double v);
/// Debug form: 1.0, 0.001, 1e-5, 1e16.
std::string debug(double v);
/// Debug form of a complex value: "Complex { re: 1.5, im: 0.0 }".
std::string debug(const complex::Complex<double>& z);

/// Integers print as they are.
std::string plain(std::int64_t v);
std::string plain(std::uint64_t v);
inline std::string plain(int v) { return plain(static_cast<std::int64_t>(v)); }
inline std::string plain(unsigned v) { return plain(static_cast<std::uint64_t>(v)); }
inline std::string plain(long long v) { return plain(static_cast<std::int64_t>(v)); }
inline std::string plain(unsigned long long v) { return plain(static_cast<std::uint64_t>(v)); }

/// Debug form of lists: "[a, b, c]".
std::string debug_list(std::span<const double> values);
std::string debug_list(std::span<const complex::Complex<double>> values);
std::string debug_list(std::span<const std::size_t> values);

}  // namespace vantok::fmt
