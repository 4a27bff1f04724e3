#pragma once
// The downward ratio recurrence r_n = 1/((2n+1)/z - r_{n+1}) of the sphere
// and layered-sphere solvers over double-double and the dual numbers: its
// steps, and the loop that runs one or several recurrences (chains) side by
// side. (The f64 recurrence is the sphere kernel's, over lanes, in
// kernel_lanes.inc.)

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "vantok/complex.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::mie::kernel::detail {

/// 2^-52: the scale of the replacement for an exactly vanishing denominator.
inline constexpr double ZERO_GUARD = 0x1p-52;

/// 2^-104: the same replacement scale for a double-double recurrence.
inline constexpr double ZERO_GUARD_DD = 0x1p-104;

/// The step in double-double: t = (1/z)(2n+1) with the order as an exact
/// double-double, d = t - r_next, an exactly zero d (both parts) replaced by
/// 2^-104 (|t| + |r_next|), and r_n = 1/d by div_dd.
inline scalar::dd::DoubleDouble ratio_step(double w, const scalar::dd::DoubleDouble& inv_z,
                                           const scalar::dd::DoubleDouble& r_next) {
  using scalar::dd::DoubleDouble;
  const DoubleDouble t = inv_z * DoubleDouble(w);
  DoubleDouble d = t - r_next;
  if (d.hi == 0.0 && d.lo == 0.0) d = DoubleDouble(ZERO_GUARD_DD) * (abs(t) + abs(r_next));
  return DoubleDouble::div_dd(DoubleDouble(1.0), d);
}

/// The complex step in double-double; an exactly zero d (all four parts) is
/// replaced by (2^-104 (|t| + |r_next|), 0) with the moduli by hypot.
inline Complex<scalar::dd::DoubleDouble> ratio_step(
    double w, const Complex<scalar::dd::DoubleDouble>& inv_z,
    const Complex<scalar::dd::DoubleDouble>& r_next) {
  using scalar::dd::DoubleDouble;
  const DoubleDouble wd(w);
  const Complex<DoubleDouble> t{inv_z.re * wd, inv_z.im * wd};
  Complex<DoubleDouble> d = t - r_next;
  if (d.re.hi == 0.0 && d.re.lo == 0.0 && d.im.hi == 0.0 && d.im.lo == 0.0) {
    d = {DoubleDouble(ZERO_GUARD_DD) *
             (DoubleDouble::hypot(t.re, t.im) + DoubleDouble::hypot(r_next.re, r_next.im)),
         DoubleDouble(0.0)};
  }
  return complex::inv(d);
}

/// The steps over dual numbers: the f64 and double-double steps above on the
/// values, the partials carried by the dual rules. The zero guard is the dual
/// (|t| + |r_next|) 2^-52 (2^-104 over double-double), so that its partials
/// follow the dual abs and product; decisions read the values only.
inline scalar::DualF64 ratio_step(double w, const scalar::DualF64& inv_z,
                                  const scalar::DualF64& r_next) {
  const scalar::DualF64 q = inv_z * w;
  scalar::DualF64 d = q - r_next;
  if (d.value == 0.0) d = (abs(r_next) + abs(q)) * ZERO_GUARD;
  return recip(d);
}

inline Complex<scalar::DualF64> ratio_step(double w, const Complex<scalar::DualF64>& inv_z,
                                           const Complex<scalar::DualF64>& r_next) {
  const Complex<scalar::DualF64> q{inv_z.re * w, inv_z.im * w};
  Complex<scalar::DualF64> d = q - r_next;
  if (d.re.value == 0.0 && d.im.value == 0.0) {
    d = {(hypot(r_next.re, r_next.im) + hypot(q.re, q.im)) * ZERO_GUARD, scalar::DualF64{}};
  }
  return complex::inv(d);
}

/// t = (1/z)(2n+1) with the order a dual constant, d = t - r_next, the guard
/// 2^-104 (|t| + |r_next|) when the value of d is an exact zero (both parts).
inline scalar::DualDD ratio_step(double w, const scalar::DualDD& inv_z,
                                 const scalar::DualDD& r_next) {
  using scalar::DualDD;
  const DualDD t = inv_z * scalar::constant<DualDD>(w);
  DualDD d = t - r_next;
  if (d.value.hi == 0.0 && d.value.lo == 0.0) {
    d = scalar::constant<DualDD>(ZERO_GUARD_DD) * (abs(t) + abs(r_next));
  }
  return recip(d);
}

inline Complex<scalar::DualDD> ratio_step(double w, const Complex<scalar::DualDD>& inv_z,
                                          const Complex<scalar::DualDD>& r_next) {
  using scalar::DualDD;
  const DualDD wd = scalar::constant<DualDD>(w);
  const Complex<DualDD> t{inv_z.re * wd, inv_z.im * wd};
  Complex<DualDD> d = t - r_next;
  const auto zero = [](const DualDD& v) { return v.value.hi == 0.0 && v.value.lo == 0.0; };
  if (zero(d.re) && zero(d.im)) {
    d = {scalar::constant<DualDD>(ZERO_GUARD_DD) * (hypot(t.re, t.im) + hypot(r_next.re, r_next.im)),
         scalar::constant<DualDD>(0.0)};
  }
  return complex::inv(d);
}

/// One recurrence of the downward loop: r = 0 above `start`, then r_n for
/// stop < n <= start, stored at out[n] while n < out.size() (orders above
/// are computed but not stored).
template <class V>
struct DownwardChain {
  V inv_z;
  std::size_t start;
  std::size_t stop;
  std::span<V> out;
  V r{};

  void step(std::size_t n, double w) {
    if (n <= start && n > stop) {
      r = ratio_step(w, inv_z, r);
      if (n < out.size()) out[n] = r;
    }
  }
};

/// Runs the chains from the highest start down to order 1, all chains per
/// order in argument order. The chains are taken by value: a running value
/// the output stores cannot alias stays in a register.
template <class... V>
void run_downward(DownwardChain<V>... chains) {
  const std::size_t top = std::max({chains.start...});
  for (std::size_t n = top; n >= 1; --n) {
    const double w = 2.0 * static_cast<double>(n) + 1.0;
    (chains.step(n, w), ...);
  }
}

}  // namespace vantok::mie::kernel::detail
