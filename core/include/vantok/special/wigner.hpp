#pragma once
// Wigner d functions d^l_mn(x), x = cos(theta), for every degree l = 0..L at one
// argument, by a three-term recurrence in l started from the closed form
// d^{l_min}_mn = sqrt(C(a+b, a)) s^a c^b (s = sin(theta/2), c = cos(theta/2)).
// Values far below the double range are carried with a separate power-of-two
// exponent until the recurrence grows them back into range, so entries at
// extreme degrees near x = +-1 are still correct.
//
// Sign convention: d^1_{1,0}(x) = -sqrt((1 - x^2)/2), d^l_00 = P_l.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "vantok/error.hpp"
#include "vantok/scalar/scalars.hpp"

namespace vantok::special::wigner {

/// Fills out[l] = d^l_mn(x) for l = 0..out.size()-1. Entries below
/// max(|m|, |n|) are zero. Fails only for x outside [-1, 1] (or NaN), leaving
/// out untouched. For dual numbers the partials are carried from those of x.
template <class T>
Result<void> wigner_d(std::int32_t m, std::int32_t n, T x, std::span<T> out);

/// The start value sqrt(C(a+b, a)) s^a c^b, s = sqrt((1-x)/2), c = sqrt((1+x)/2),
/// as (exponent E, mantissa v) with value v 2^E; E is non-zero only when the
/// value lies below about 2^-900.
template <class T>
std::pair<std::int64_t, T> start_value(std::size_t a, std::size_t b, T x);

/// v 2^e, rounded once (also into the subnormal range); a zero v is returned unchanged.
template <class T>
T mul_pow2(T v, std::int64_t e);

/// The recurrence for m == n and x >= 0, on the pair (delta_l, d_l) with
/// delta_l = d_l - d_{l-1}: the difference form keeps the digits that the
/// three-term form loses near x = 1.
template <class T>
class Difference {
 public:
  Difference(T x_minus_one, double m) : x_minus_one_(x_minus_one), m_(m) {}
  /// Advances the pair from degree l to l + 1.
  void step(std::size_t l, std::pair<T, T>& pair);

 private:
  T x_minus_one_;
  double m_;
};

/// The difference form for m != n near x = 1 (x >= 0.9), on (delta_l, d_l).
template <class T>
class GeneralDifference {
 public:
  GeneralDifference(T x_minus_one, double m, double n, double c)
      : x_minus_one_(x_minus_one), m_(m), n_(n), c_(c) {}
  void step(std::size_t l, std::pair<T, T>& pair);

 private:
  T x_minus_one_;
  double m_;
  double n_;
  // C = l(l+1) - m n - S_l, carried without cancellation.
  double c_;
  // S_l = sqrt((l^2 - n^2)(l^2 - m^2)); 0 at the start degree.
  double s_ = 0.0;
};

/// The plain three-term recurrence, on (d_{l-1}, d_l), used for x < 0.9.
template <class T>
class ThreeTerm {
 public:
  ThreeTerm(T x, double m, double n) : x_(x), m_(m), n_(n) {}
  void step(std::size_t l, std::pair<T, T>& pair);

 private:
  T x_;
  double m_;
  double n_;
  double s_ = 0.0;
};

/// The driver: from degree `start` stores d_l 2^E into out[l] and steps the
/// pair until out is full, folding the exponent E back in once the values
/// re-enter the double range.
template <class T, class Step>
void run(std::size_t start, std::pair<T, T>& pair, std::int64_t exponent, std::span<T> out,
         Step& step);

#define VANTOK_WIGNER_EXTERN(T)                                                                 \
  extern template Result<void> wigner_d<T>(std::int32_t, std::int32_t, T, std::span<T>);         \
  extern template std::pair<std::int64_t, T> start_value<T>(std::size_t, std::size_t, T);        \
  extern template T mul_pow2<T>(T, std::int64_t);                                                \
  extern template class Difference<T>;                                                           \
  extern template class GeneralDifference<T>;                                                    \
  extern template class ThreeTerm<T>;                                                            \
  extern template void run<T, Difference<T>>(std::size_t, std::pair<T, T>&, std::int64_t,        \
                                             std::span<T>, Difference<T>&);                      \
  extern template void run<T, GeneralDifference<T>>(std::size_t, std::pair<T, T>&, std::int64_t, \
                                                    std::span<T>, GeneralDifference<T>&);        \
  extern template void run<T, ThreeTerm<T>>(std::size_t, std::pair<T, T>&, std::int64_t,         \
                                            std::span<T>, ThreeTerm<T>&);

VANTOK_WIGNER_EXTERN(double)
VANTOK_WIGNER_EXTERN(scalar::DualF64)
#undef VANTOK_WIGNER_EXTERN

}  // namespace vantok::special::wigner
