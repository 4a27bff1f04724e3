#pragma once
// Bitwise comparison of double-doubles and duals for the tests, with the
// offending bits printed as hexadecimal doubles.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <tuple>

#include "support/compare.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::test {

using scalar::DoubleDouble;

/// "%a" of a double: the exact bits in readable form.
inline std::string hex(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", v);
  return buf;
}

inline std::string hex(const DoubleDouble& x) { return "(" + hex(x.hi) + ", " + hex(x.lo) + ")"; }

/// Both parts bit for bit (any NaN matches any NaN).
inline ::testing::AssertionResult same_dd(const DoubleDouble& got, const DoubleDouble& want) {
  if (same_bits(got.hi, want.hi) && same_bits(got.lo, want.lo)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << hex(got) << ", want " << hex(want);
}

inline ::testing::AssertionResult same_real(double got, double want) {
  if (same_bits(got, want)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << hex(got) << ", want " << hex(want);
}
inline ::testing::AssertionResult same_real(const DoubleDouble& got, const DoubleDouble& want) {
  return same_dd(got, want);
}

/// Value and every partial bit for bit.
template <class T, std::size_t N>
::testing::AssertionResult same_dual(const scalar::Dual<T, N>& got, const T& value, const std::array<T, N>& partials) {
  ::testing::AssertionResult value_ok = same_real(got.value, value);
  if (!value_ok) return ::testing::AssertionFailure() << "value: " << value_ok.message();
  for (std::size_t i = 0; i < N; ++i) {
    ::testing::AssertionResult ok = same_real(got.partials[i], partials[i]);
    if (!ok) return ::testing::AssertionFailure() << "partial " << i << ": " << ok.message();
  }
  return ::testing::AssertionSuccess();
}

/// The scalar list of scalars.hpp as GoogleTest types.
template <class List>
struct GTestTypes;
template <class... Ts>
struct GTestTypes<scalar::TypeList<Ts...>> {
  using type = ::testing::Types<Ts...>;
};
using AllScalarTypes = GTestTypes<scalar::AllScalars>::type;

}  // namespace vantok::test
