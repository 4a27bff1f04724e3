#pragma once
// The mathematical constants of the library, each written once: π as the
// double nearest to it and as the double-double pair whose sum is π to about
// 2^-107, and the multiples of π the formulas use, with the bits they have
// always had.

namespace vantok::constants {

/// π rounded to double.
inline constexpr double PI = 3.141592653589793;
/// π - PI rounded to double: (PI, PI_LO) is π in double-double.
inline constexpr double PI_LO = 1.2246467991473532e-16;
/// 2π rounded to double (exactly 2 PI).
inline constexpr double TWO_PI = 6.283185307179586;
/// 4π rounded to double (exactly 4 PI).
inline constexpr double FOUR_PI = 12.566370614359172;
/// 4 PI / 3 in double arithmetic (one unit in the last place below the double
/// nearest 4π/3).
inline constexpr double FOUR_PI_OVER_THREE = 4.1887902047863905;

static_assert(TWO_PI == 2.0 * PI && FOUR_PI == 4.0 * PI && FOUR_PI_OVER_THREE == FOUR_PI / 3.0);

}  // namespace vantok::constants
