// Double-double sine and cosine: reduction modulo pi/2 by a three-part pi/2
// (Cody-Waite), valid to |x| <= 2^50, and Taylor kernels on |r| <= pi/4 by
// Horner in r^2 to r^29/29! (the remainder is below 2^-110 there).

#include <cmath>
#include <cstdint>

#include "vantok/scalar/dd.hpp"

namespace vantok::scalar::dd::trig {

namespace {

// pi/2 = P1 + P2 + P3 to about 160 bits; P3 is negative.
using elementary::PIO2_P1;
using elementary::PIO2_P2;
using elementary::PIO2_P3;

constexpr double LIMIT = 0x1p50;

constexpr const std::array<DoubleDouble, 31>& C = elementary::INV_FACTORIAL;

}  // namespace

bool within_reduction_limit(DoubleDouble x) noexcept {
  return std::fabs(x.hi) == LIMIT && x.hi * x.lo <= 0.0;
}

std::optional<Reduced> reduce_pio2(DoubleDouble x) noexcept {
  if (std::fabs(x.hi) <= 0.7853981633974483) return Reduced{0, x};
  if (!(std::fabs(x.hi) < LIMIT) && !within_reduction_limit(x)) return std::nullopt;
  // k = nearest integer to x 2/pi, halves away from zero.
  const double t = x.hi * 0.6366197723675814;
  const double kf = std::trunc(t + std::copysign(0.49999999999999994, t));
  // r = x - k pi/2: k P1 and k P2 exactly (k < 2^50 has at most 50 bits), k P3
  // rounded; the error stays near 2^-105 |k| P3 ulp, about 1e-34 at the limit.
  DoubleDouble r = x - two_prod(kf, PIO2_P1);
  r = r - two_prod(kf, PIO2_P2);
  r = r - kf * PIO2_P3;
  return Reduced{static_cast<std::int64_t>(kf), r};
}

DoubleDouble sin_taylor(DoubleDouble r) noexcept {
  if (r.hi == 0.0) return r;
  // r - r^3/3! + ... = r - (r z)(C3 - z(C5 - z(... - z C29))), z = r^2.
  const DoubleDouble z = r * r;
  DoubleDouble acc = C[27] - z * C[29];
  for (int k = 25; k >= 3; k -= 2) acc = C[static_cast<std::size_t>(k)] - z * acc;
  return r - (r * z) * acc;
}

DoubleDouble cos_taylor(DoubleDouble r) noexcept {
  const DoubleDouble z = r * r;
  DoubleDouble acc = C[26] - z * C[28];
  for (int k = 24; k >= 2; k -= 2) acc = C[static_cast<std::size_t>(k)] - z * acc;
  return DoubleDouble{1.0, 0.0} - z * acc;
}

}  // namespace vantok::scalar::dd::trig
