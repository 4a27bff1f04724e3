// Double-double square root, hypot, exponential, cube root and integer power:
// the wide companions that reach the fast cores through exact power-of-two
// scaling, and the kernels too large to expand at every call site.

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "vantok/numeric.hpp"
#include "vantok/scalar/dd.hpp"

namespace vantok::scalar::dd {

namespace elementary {

namespace {

using detail::biased_exponent;
using detail::finite;
using detail::pow2;
using detail::powi_f64;
using detail::scale;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

}  // namespace

DoubleDouble sqrt_wide(DoubleDouble x) noexcept {
  if (x.hi == 0.0) return {x.hi, 0.0};
  if (x.hi < 0.0 || std::isnan(x.hi)) return {NaN, 0.0};
  if (std::isinf(x.hi)) return {INF, 0.0};
  // sqrt(x 2^(+-600)) 2^(-+300): both scalings exact, the core in its safe range.
  const bool small = x.hi < 1.0;
  const DoubleDouble scaled = scale(x, small ? 0x1p600 : 0x1p-600);
  return scale(sqrt_core(scaled), small ? 0x1p-300 : 0x1p300);
}

// Out of the reach of interprocedural constant propagation, which could fold
// a constant argument at compile time (GCC's noipa; Clang has no such pass for
// a function of external linkage, and -fno-builtin-cbrt keeps the call itself).
#if defined(__clang__)
[[gnu::noinline]]
#else
[[gnu::noipa]]
#endif
double cbrt_seed(double x) noexcept {
  return std::cbrt(x);
}

DoubleDouble cbrt_kernel(DoubleDouble x, double y) noexcept {
  const DoubleDouble y2 = mul(DoubleDouble{y, 0.0}, y);
  const DoubleDouble y3 = mul(y2, y);
  // Newton for t^3 = x from y, d = r/(3y^2), with the second-order term of
  // Halley's expansion, d - d^2/y: the residual r is formed to full precision,
  // so one step brings the f64 seed to double-double accuracy.
  const double r = (x - y3).hi;
  double d = r / ((3.0 * y) * y);
  d = d - (d * d) / y;
  return detail::corrected(y, d);
}

DoubleDouble cbrt_wide(DoubleDouble x) noexcept {
  if (x.hi == 0.0 || !finite(x.hi)) return {cbrt_seed(x.hi), 0.0};
  const bool small = std::fabs(x.hi) < 1.0;
  const DoubleDouble scaled = scale(x, small ? 0x1p600 : 0x1p-600);
  const DoubleDouble z = cbrt_kernel(scaled, cbrt_seed(scaled.hi));
  return scale(z, small ? 0x1p-200 : 0x1p200);
}

ReducedExp exp_reduced(DoubleDouble x) noexcept {
  // k = nearest integer to x/ln2, halves away from zero; 0.49999999999999994
  // (the double below 1/2) keeps t + 1/2 from rounding up at t = 1/2 - ulp.
  const double t = x.hi * 1.4426950408889634;
  const double kf = std::trunc(t + std::copysign(0.49999999999999994, t));
  // r = x - k ln2: the products with C1 and C2 are exact, so the cancellation
  // against x loses nothing; only k C3 is rounded, far below u^2 |r|.
  DoubleDouble r = x - two_prod(kf, LN2_C1);
  r = r - two_prod(kf, LN2_C2);
  r = r - kf * LN2_C3;
  // Halve r until |r| < 2^-10 (h <= 9 halvings for |r| <= ln2/2).
  const int eb = biased_exponent(r.hi);
  const int h = std::min(std::max(eb, 1012), 1021) - 1012;
  r = scale(r, pow2(-h));
  // p = e^r - 1 by Horner to degree 10: the remainder r^11/11! < 2^-135.
  DoubleDouble acc = INV_FACTORIAL[10];
  for (int j = 9; j >= 2; --j) acc = (acc * r) + INV_FACTORIAL[static_cast<std::size_t>(j)];
  acc = (acc * r) + 1.0;
  DoubleDouble p = acc * r;
  // e^(2r) - 1 = 2p + p^2: squaring in the e^r - 1 form keeps the small
  // quantity small, where squaring e^r itself would lose its low bits.
  for (int i = 0; i < h; ++i) p = detail::twice(p) + p * p;
  return {p + 1.0, sat_cast<std::int32_t>(kf)};
}

DoubleDouble exp_wide(DoubleDouble x) noexcept {
  if (x.hi > 746.0) return {INF, 0.0};
  if (x.hi < -746.0) return {0.0, 0.0};
  if (std::isnan(x.hi)) return {NaN, 0.0};
  const ReducedExp red = exp_reduced(x);
  return scale_pow2(red.y, red.k);
}

DoubleDouble powi_wide(DoubleDouble x, std::int32_t n) noexcept {
  if (x.hi == 0.0 || !finite(x.hi)) return {powi_f64(x.hi, n), 0.0};
  // x = m 2^e with m.hi in [1, 2), sign kept.
  int bias = -1023;
  if (std::fabs(x.hi) < 0x1p-1022) {
    x = scale(x, 0x1p54);
    bias = -1077;
  }
  const int eb = biased_exponent(x.hi);
  int s = 0;
  if (eb <= 22) {
    x = scale(x, 0x1p1000);
    s = 23 - eb;
  } else {
    s = 1023 - eb;
  }
  const DoubleDouble m = scale_pow2(x, s);
  const std::int64_t e = eb + bias;
  // Binary powering of the mantissa, renormalised to [1, 2) after every
  // product so that nothing overflows; the exponents add up in 64 bits.
  DoubleDouble acc{1.0, 0.0};
  std::int64_t acc_exp = 0;
  DoubleDouble b = m;
  std::int64_t b_exp = e;
  std::uint32_t c = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
  for (;;) {
    if ((c & 1u) != 0) {
      acc = acc * b;
      const int ea = biased_exponent(acc.hi);
      acc = scale(acc, pow2(1023 - ea));
      acc_exp = acc_exp + b_exp + (ea - 1023);
    }
    c >>= 1;
    if (c == 0) break;
    b = b * b;
    const int eq = biased_exponent(b.hi);
    b = scale(b, pow2(1023 - eq));
    b_exp = 2 * b_exp + (eq - 1023);
  }
  if (n < 0) {
    acc = DoubleDouble::div_dd(DoubleDouble{1.0, 0.0}, acc);
    acc_exp = -acc_exp;
  }
  return scale_pow2(acc, acc_exp);
}

}  // namespace elementary

DoubleDouble DoubleDouble::hypot(DoubleDouble a, DoubleDouble b) noexcept {
  const DoubleDouble A = abs(a);
  const DoubleDouble B = abs(b);
  if (std::isinf(A.hi) || std::isinf(B.hi)) return {std::numeric_limits<double>::infinity(), 0.0};
  if (std::isnan(A.hi) || std::isnan(B.hi)) return {std::numeric_limits<double>::quiet_NaN(), 0.0};
  const bool a_big = A.hi > B.hi || (A.hi == B.hi && A.lo >= B.lo);
  const DoubleDouble big = a_big ? A : B;
  const DoubleDouble small = a_big ? B : A;
  if (big.hi == 0.0) return {0.0, 0.0};
  // big sqrt(1 + (small/big)^2): the ratio is at most 1, so nothing overflows.
  const DoubleDouble r = div_dd(small, big);
  const DoubleDouble w = (r * r) + 1.0;
  return big * DoubleDouble::sqrt(w);
}

DoubleDouble DoubleDouble::powi(DoubleDouble x, std::int32_t n) noexcept {
  // |n| (|unbiased exponent| + 1) < 961 keeps every partial power inside
  // [2^-960, 2^960]; the product is formed in 64 bits.
  const int eb = detail::biased_exponent(x.hi);
  const std::uint64_t d = static_cast<std::uint64_t>(std::abs(eb - 1023)) + 1u;
  std::uint32_t m = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
  if (static_cast<std::uint64_t>(m) * d >= 961u) return elementary::powi_wide(x, n);
  DoubleDouble acc{1.0, 0.0};
  if (n == 0) return acc;
  DoubleDouble b = x;
  for (;;) {
    if ((m & 1u) != 0) acc = acc * b;
    m >>= 1;
    if (m == 0) break;
    b = b * b;
  }
  if (n < 0) return div_dd(DoubleDouble{1.0, 0.0}, acc);
  return acc;
}

}  // namespace vantok::scalar::dd
