#pragma once
// Integer helpers that keep conversions and sums of user-given values defined:
// a float-to-integer conversion saturates (NaN gives 0) instead of being
// undefined out of range, and sums of counts saturate instead of wrapping.

#include <cfloat>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>

static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must not use extended precision");
static_assert(std::numeric_limits<double>::is_iec559, "double must be IEEE binary64");

namespace vantok {

/// Truncates v toward zero into Int, saturating at the type's bounds; NaN gives 0.
template <std::integral Int>
constexpr Int sat_cast(double v) noexcept {
  if (v != v) return 0;
  // The bounds as doubles: the minimum is a power of two (or 0) and exact; the
  // maximum + 1 is a power of two, exact as well.
  constexpr double lo = static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double hi_plus_one =
      2.0 * static_cast<double>(std::numeric_limits<Int>::max() / 2 + 1);
  if (v <= lo) return std::numeric_limits<Int>::min();
  if (v >= hi_plus_one) return std::numeric_limits<Int>::max();
  return static_cast<Int>(v);
}

/// a + b, saturating at the maximum of the unsigned type.
template <std::unsigned_integral U>
constexpr U sat_add(U a, U b) noexcept {
  U sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<U>::max();
  return sum;
}

/// a * b, saturating at the maximum of the unsigned type.
template <std::unsigned_integral U>
constexpr U sat_mul(U a, U b) noexcept {
  U product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<U>::max();
  return product;
}

/// out = a * b, or false when the product overflows (out then holds the
/// wrapped value).
template <std::integral I>
constexpr bool checked_mul(I a, I b, I& out) noexcept {
  return !__builtin_mul_overflow(a, b, &out);
}

/// out = a + b, or false when the sum overflows.
template <std::integral I>
constexpr bool checked_add(I a, I b, I& out) noexcept {
  return !__builtin_add_overflow(a, b, &out);
}

/// out = a - b, or false when the difference overflows.
template <std::integral I>
constexpr bool checked_sub(I a, I b, I& out) noexcept {
  return !__builtin_sub_overflow(a, b, &out);
}

}  // namespace vantok
