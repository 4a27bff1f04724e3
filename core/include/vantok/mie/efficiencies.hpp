#pragma once
// Efficiencies of a sphere from its Mie coefficients: the three series sums
// and the one rule by which every caller turns them into
// Q_ext, Q_sca, Q_abs, Q_back and g (always in that order).

#include <array>
#include <cstddef>
#include <span>

#include "vantok/complex.hpp"

namespace vantok::mie::efficiencies {

/// Position of each efficiency in the output order.
inline constexpr std::size_t Q_EXT = 0;
inline constexpr std::size_t Q_SCA = 1;
inline constexpr std::size_t Q_ABS = 2;
inline constexpr std::size_t Q_BACK = 3;
inline constexpr std::size_t G = 4;

/// The series sums of one sphere.
struct ValueSums {
  /// S_back = sum (2n+1) (-1)^n (a_n - b_n)
  Complex<double> backscatter;
  /// S_sca = sum (2n+1) (|a_n|^2 + |b_n|^2)
  double scattering;
  /// S_asy = sum n(n+2)/(n+1) Re(a_n a*_{n+1} + b_n b*_{n+1})
  ///       + sum (2n+1)/(n(n+1)) Re(a_n b*_n)
  double asymmetry;
};

/// The sums over n = 1 .. N, N = a.size(); b holds at least N entries.
ValueSums value_sums(std::span<const Complex<double>> a, std::span<const Complex<double>> b);

/// The efficiency rule: with u = 1/x and s = u u + u u (2/x^2),
/// Q_sca = S_sca s, Q_abs = s S_abs, Q_ext = Q_abs + Q_sca (never the
/// extinction series), Q_back = u u |S_back|^2, g = 2 S_asy / S_sca
/// (g = 0 only when S_sca == 0; a NaN S_sca gives NaN).
std::array<double, 5> from_sums(const ValueSums& sums, double s_abs, double x);

}  // namespace vantok::mie::efficiencies
