#pragma once
// What wigner.cpp and the Greek lanes of wigner_greek.cpp share, so that both
// give the same bits: the coefficients of one recurrence step (degree l to
// l + 1), which depend on l, m, n and the carried S_l and C_l but never on the
// argument (the scalar steps take them one degree at a time, the Greek tables
// once per call for every argument), and the choice of recurrence, mirror and
// start value for (m, n) at an argument.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "vantok/special/wigner.hpp"

namespace vantok::special::wigner::detail {

/// Difference: delta_{l+1} = ((x - 1) c1 d_l + delta_l c2) recip.
struct DifferenceStep {
  double c1;
  double c2;
  double recip;
};

inline DifferenceStep difference_step(std::size_t l, double m) noexcept {
  // delta_{l+1} = [(2l+1) l L (x-1) d_l + (m+l)(l-m) L delta_l] / ((L-m)(m+L) l), L = l+1
  const double lf = static_cast<double>(l);
  const double big_l = static_cast<double>(l + 1);
  return {(static_cast<double>(2 * l + 1) * lf) * big_l, ((m + lf) * (lf - m)) * big_l,
          1.0 / (((big_l - m) * (m + big_l)) * lf)};
}

/// ThreeTerm: d_{l+1} = (((x ll - mn) two_l1) d_l - d_{l-1} s_l) / divisor.
struct ThreeTermStep {
  double ll;
  double mn;
  double two_l1;
  double s_l;
  double divisor;
  /// S_{l+1}, carried to the next step.
  double s_next;
};

inline ThreeTermStep three_term_step(std::size_t l, double m, double n, double s) noexcept {
  // d_{l+1} = ((2l+1)(L l x - m n) d_l - L S_l d_{l-1}) / (l S_L)
  const double lf = static_cast<double>(l);
  const double big_l = static_cast<double>(l + 1);
  const double s_next = std::sqrt((big_l - m) * (big_l + m)) * std::sqrt((big_l - n) * (big_l + n));
  return {big_l * lf, m * n, static_cast<double>(2 * l + 1), big_l * s, lf * s_next, s_next};
}

/// GeneralDifference: delta_{l+1} = ((lq + (c_l + (x - 1) c1)) d_l + delta_l s_l) recip.
struct GeneralDifferenceStep {
  double lq;
  double c_l;
  double c1;
  double s_l;
  double recip;
  /// C_{l+1} and S_{l+1}, carried to the next step.
  double c_next;
  double s_next;
};

inline GeneralDifferenceStep general_difference_step(std::size_t l, double m, double n, double c,
                                                     double s) noexcept {
  // With Q = l L - m n - S_L, written without its cancellation as
  //   Q = (2L m n + ((m-n)^2 + 1 - 2L) L^2) / ((L l - m n) + S_L),
  // delta_L = [(l Q + C L + (2l+1) l L (x-1)) d_l + S_l L delta_l] / (S_L l),
  // and the carried C_L = 2L + Q equals l(l+1) - m n - S_l at the next step.
  const double lf = static_cast<double>(l);
  const double big_l = static_cast<double>(l + 1);
  const double two_l = static_cast<double>(2 * (l + 1));
  const double s_next = std::sqrt(((big_l + n) * (big_l - n)) * ((big_l + m) * (big_l - m)));
  const double q = ((two_l * m) * n + ((((m - n) * (m - n)) + 1.0) - two_l) * (big_l * big_l)) /
                   (((big_l * lf) - m * n) + s_next);
  const double c1 = (static_cast<double>(2 * l + 1) * lf) * big_l;
  return {lf * q, c * big_l, c1, s * big_l, 1.0 / (s_next * lf), two_l + q, s_next};
}

/// The recurrence that serves (m, n) at x, after the mirror
/// d^l_mn(x) = (-1)^(l+m) d^l_{m,-n}(-x) where that gives a better start.
enum class Kind { Difference, GeneralDifference, ThreeTerm };

struct Path {
  /// The argument is mirrored: x' = -x, n' = -n, and odd l + m change sign.
  bool flip;
  Kind kind;
  /// n' (n after the mirror).
  std::int64_t n;
};

/// The choice for (m, n) at x (the value of the argument; -0.0 is not mirrored).
inline Path path(std::int64_t m, std::int64_t n, double x) noexcept {
  const bool flip = x < 0.0 && (m == -n || x <= -0.9);
  const std::int64_t np = flip ? -n : n;
  const double xp = flip ? -x : x;
  if (m == np && xp >= 0.0) return {flip, Kind::Difference, np};
  return {flip, xp >= 0.9 ? Kind::GeneralDifference : Kind::ThreeTerm, np};
}

/// The start value of the path at the mirrored argument xp, as (exponent E,
/// mantissa d): for Difference c^{2|m|}, otherwise the closed form of
/// d^{l_min}_{m n'} with its sign.
template <class T>
std::pair<std::int64_t, T> start(std::int64_t m, const Path& p, T xp) {
  if (p.kind == Kind::Difference) return start_value(0, static_cast<std::size_t>(2 * std::abs(m)), xp);
  auto started = start_value(static_cast<std::size_t>(std::abs(m - p.n)),
                             static_cast<std::size_t>(std::abs(m + p.n)), xp);
  if (m > p.n && (m - p.n) % 2 != 0) started.second = -started.second;
  return started;
}

}  // namespace vantok::special::wigner::detail
