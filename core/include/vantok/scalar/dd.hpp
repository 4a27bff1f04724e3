#pragma once
// Double-double arithmetic: a real number held as the unevaluated sum hi + lo of
// two binary64 values, good for about 106 significant bits (u^2 = 2^-106).
//
// Every operation is a fixed sequence of round-to-nearest binary64 operations,
// with a correctly rounded fma exactly where written, so results are the same
// bits on every conforming platform (the build uses -ffp-contract=off). The
// algorithms are the error-free transformations of Knuth (TwoSum), Dekker
// (Fast2Sum) and the fma-based TwoProd, arranged as in Joldes, Muller and
// Popescu, "Tight and rigorous error bounds for basic building blocks of
// double-word arithmetic" (ACM TOMS 44, 2017).
//
// Special values never raise: a result whose leading part is infinite or NaN
// carries a trailing part of +0.0, and an exact zero result is (a signed zero,
// +0.0) whose sign is that of a named intermediate (the rounded sum or product
// of the leading parts). Operand order is part of the contract: in x * y the
// cross terms are accumulated x.hi*y.lo first, so x*y and y*x may differ in the
// last bit of lo.

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "vantok/complex.hpp"

// Reassociation or dropped rounding would silently turn every error-free
// transformation below into zero; refuse to compile under fast-math.
#if defined(__FAST_MATH__)
#error "vantok's double-double arithmetic needs IEEE semantics: do not build with -ffast-math"
#endif

/// The arithmetic core below is always inlined: a product or sum is a dozen
/// operations, and inlined they compile for the caller's instructions (the
/// processor's fma inside code built for it, see tmatrix/detail_widest.hpp).
#define VANTOK_DD_INLINE [[gnu::always_inline]] inline

namespace vantok::scalar::dd {

/// A rounded result and its rounding error: s + e is the exact value.
struct SumError {
  double s;
  double e;
};

/// x = hi + lo with |lo| <= ulp(hi)/2 after every arithmetic operation.
struct DoubleDouble {
  double hi = 0.0;
  double lo = 0.0;

  constexpr DoubleDouble() noexcept = default;
  constexpr DoubleDouble(double hi_part, double lo_part) noexcept : hi(hi_part), lo(lo_part) {}
  /// (x, 0.0). Explicit: mixing a double into double-double arithmetic is an
  /// operation of its own (x + d differs from x + DoubleDouble(d) in the bits).
  constexpr explicit DoubleDouble(double x) noexcept : hi(x), lo(0.0) {}

  /// Normal form after a scaling into the subnormal range, where the product
  /// lo * f may have kept bits that hi * f lost: Fast2Sum of (hi, lo), or
  /// (hi, 0.0) for a zero hi. Only for finite hi.
  static DoubleDouble renormalize_tiny(double hi_part, double lo_part) noexcept;

  /// a / b: the reciprocal of b refined by one Newton step, r0 + r0(1 - b r0),
  /// then a * recip. Divisors whose reciprocal would overflow, or that exceed
  /// 2^960, are first brought into range together with a by 2^+-106; a quotient
  /// that overflows only after refinement is recomputed from a/2 and doubled.
  /// Relative error about 5u^2 while no scaling loses bits. Inline for the
  /// common case (no scaling, no overflow), div_dd_wide otherwise.
  static DoubleDouble div_dd(DoubleDouble a, DoubleDouble b) noexcept;
  /// div_dd for every case, out of line.
  static DoubleDouble div_dd_wide(DoubleDouble a, DoubleDouble b) noexcept;
  /// a / d: q = a.hi/d, then the correction (a - q d)/d with q d formed exactly
  /// by fma. About 3u^2.
  static DoubleDouble div_f64(DoubleDouble a, double d) noexcept;

  /// Square root, about 2u^2; negative gives NaN, a zero itself.
  static DoubleDouble sqrt(DoubleDouble x) noexcept;
  /// sqrt(a^2 + b^2) without intermediate overflow or underflow.
  static DoubleDouble hypot(DoubleDouble a, DoubleDouble b) noexcept;
  /// e^x, about 4u^2 for normal results.
  static DoubleDouble exp(DoubleDouble x) noexcept;
  /// Cube root, about 3u^2.
  static DoubleDouble cbrt(DoubleDouble x) noexcept;
  /// x^n by binary powering (n < 0 as 1/x^|n|); n = 0 gives 1 for every x.
  static DoubleDouble powi(DoubleDouble x, std::int32_t n) noexcept;
  /// cos x for |x| <= 2^50, NaN beyond.
  static DoubleDouble cos(DoubleDouble x) noexcept;
  /// (sin x, cos x) for |x| <= 2^50, (NaN, NaN) beyond.
  static std::pair<DoubleDouble, DoubleDouble> sin_cos(DoubleDouble x) noexcept;
};

static_assert(sizeof(DoubleDouble) == 2 * sizeof(double));
static_assert(std::is_standard_layout_v<DoubleDouble> && std::is_trivially_copyable_v<DoubleDouble>);

namespace detail {

VANTOK_DD_INLINE bool finite(double x) noexcept { return std::isfinite(x); }

/// The 11-bit exponent field: 1023 on [1, 2), 0 for zeros and subnormals, 2047
/// for infinities and NaN.
inline int biased_exponent(double x) noexcept {
  return static_cast<int>((std::bit_cast<std::uint64_t>(x) >> 52) & 0x7ffu);
}

/// 2^k built from its exponent bits, for -1022 <= k <= 1023.
constexpr double pow2(int k) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

/// x^n of a double by binary powering from the low bit of |n| (the running
/// power starts at x for odd n, else at 1; x is squared for each further bit
/// and multiplied in where the bit is set), then 1/x^|n| for n < 0.
inline double powi_f64(double x, std::int32_t n) noexcept {
  std::uint32_t m = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
  double acc = (m & 1u) != 0 ? x : 1.0;
  double b = x;
  for (m >>= 1; m != 0; m >>= 1) {
    b = b * b;
    if ((m & 1u) != 0) acc = acc * b;
  }
  return n < 0 ? 1.0 / acc : acc;
}

inline constexpr double TINY = 0x1p-968;  // 4.008336720017946e-292

/// Scaling by an exact power of two f. Exact unless a part leaves the normal
/// range: an overflowing hi ends as (+-inf, 0.0), and a down-scaling that
/// leaves |hi| below 2^-968 renormalises, since lo may then have kept bits
/// that hi lost to the subnormal range.
inline DoubleDouble scale(DoubleDouble x, double f) noexcept {
  const double hi = x.hi * f;
  if (!finite(hi)) return {hi, 0.0};
  const double lo = x.lo * f;
  if (f < 1.0 && std::fabs(hi) < TINY) return DoubleDouble::renormalize_tiny(hi, lo);
  return {hi, lo};
}

}  // namespace detail

/// TwoSum (Knuth): s = fl(a + b) and the exact error e, branch-free, 6 flops.
/// Exact unless an intermediate overflows; the callers test e.
VANTOK_DD_INLINE SumError two_sum(double a, double b) noexcept {
  const double s = a + b;
  const double bv = s - a;
  const double av = s - bv;
  const double e = (b - bv) + (a - av);
  return {s, e};
}

/// TwoProd: the rounded product a b and its exact error by one fma, as a
/// normalised double-double (exact unless the product over- or underflows).
VANTOK_DD_INLINE DoubleDouble two_prod(double a, double b) noexcept {
  const double p = a * b;
  return {p, std::fma(a, b, -p)};
}

/// Fast2Sum with the operands ordered by magnitude (a is the big one on a tie,
/// b when either is NaN): exact, and free of the overflow that TwoSum's s - a
/// can meet near the top of the range. The fallback of every sum.
SumError two_sum_ordered(double a, double b) noexcept;

namespace detail {

/// Fast2Sum of a rounded leading term s and its correction e (|e| about an ulp
/// of s at most) with the non-finite rule (a non-finite sum carries 0.0) and
/// the zero rule (an exact zero takes the sign of zero_sign): the last step of
/// the sums, products and quotients. 3 flops.
VANTOK_DD_INLINE DoubleDouble fast_two_sum(double s, double e, double zero_sign) noexcept {
  const double sum = s + e;
  if (!finite(sum)) return {sum, 0.0};
  const double lo = e - (sum - s);
  if (sum == 0.0) return {std::copysign(0.0, zero_sign), 0.0};
  return {sum, lo};
}

/// y + d for an f64 root estimate y and its Newton correction d: TwoSum, with
/// the ordered fallback when its error is not finite although the sum is; a
/// non-finite sum carries 0.0. The last step of the square and cube roots.
inline DoubleDouble corrected(double y, double d) noexcept {
  SumError t = two_sum(y, d);
  if (!finite(t.e) && finite(t.s)) t = two_sum_ordered(y, d);
  if (!finite(t.s)) return {t.s, 0.0};
  return {t.s, t.e};
}

/// 2x = (hi + hi, lo + lo), exact, or (hi + hi, 0.0) once the leading part
/// overflows.
inline DoubleDouble twice(DoubleDouble x) noexcept {
  const double hi = x.hi + x.hi;
  if (!finite(hi)) return {hi, 0.0};
  return {hi, x.lo + x.lo};
}

}  // namespace detail

/// -x = (-hi, 0.0 - lo): a zero trailing part of either sign becomes +0.0.
VANTOK_DD_INLINE DoubleDouble operator-(DoubleDouble x) noexcept { return {-x.hi, 0.0 - x.lo}; }

/// x + y: TwoSum of the leading parts and of the trailing parts, then two
/// Fast2Sum renormalisations ("accurate" double-word sum), 20 flops, relative
/// error at most 3u^2.
VANTOK_DD_INLINE DoubleDouble operator+(DoubleDouble x, DoubleDouble y) noexcept {
  SumError h = two_sum(x.hi, y.hi);
  if (!detail::finite(h.e)) {
    if (!detail::finite(h.s)) return {h.s, 0.0};
    h = two_sum_ordered(x.hi, y.hi);
  }
  const double s = h.s;
  double e = h.e;
  const double t = x.lo + y.lo;
  const double bv = t - x.lo;
  const double av = t - bv;
  const double f = (y.lo - bv) + (x.lo - av);
  e = e + t;
  const double s2 = s + e;
  if (!detail::finite(s2)) return {s2, 0.0};
  e = e - (s2 - s);
  e = f + e;
  return detail::fast_two_sum(s2, e, s);
}

VANTOK_DD_INLINE DoubleDouble operator-(DoubleDouble x, DoubleDouble y) noexcept { return x + (-y); }

/// x + d: TwoSum of x.hi and d, then one Fast2Sum with x.lo added in; 10
/// flops, relative error at most 2u^2.
VANTOK_DD_INLINE DoubleDouble operator+(DoubleDouble x, double d) noexcept {
  SumError h = two_sum(x.hi, d);
  if (!detail::finite(h.e)) {
    if (!detail::finite(h.s)) return {h.s, 0.0};
    h = two_sum_ordered(x.hi, d);
  }
  return detail::fast_two_sum(h.s, x.lo + h.e, h.s);
}

/// d + x is x + d.
VANTOK_DD_INLINE DoubleDouble operator+(double d, DoubleDouble x) noexcept { return x + d; }

/// x - d is x + (-d). (d - x has no operation of its own: write -(x - d) or
/// DoubleDouble(d) - x, whichever the formula means.)
VANTOK_DD_INLINE DoubleDouble operator-(DoubleDouble x, double d) noexcept { return x + (-d); }

/// x * y: TwoProd of the leading parts by fma plus the cross terms, 9 flops
/// with three fma, relative error at most 4u^2.
VANTOK_DD_INLINE DoubleDouble operator*(DoubleDouble x, DoubleDouble y) noexcept {
  const double p = x.hi * y.hi;
  if (!detail::finite(p)) return {p, 0.0};
  const double e1 = std::fma(x.hi, y.hi, -p);
  const double c = x.lo * y.lo;
  const double t = std::fma(x.hi, y.lo, c);
  const double t2 = std::fma(x.lo, y.hi, t);
  return detail::fast_two_sum(p, t2 + e1, p);
}

/// x * d: TwoProd of x.hi and d with x.lo d folded into the error by a second
/// fma, then Fast2Sum; relative error at most 2u^2.
VANTOK_DD_INLINE DoubleDouble mul(DoubleDouble x, double d) noexcept {
  const double p = x.hi * d;
  if (!detail::finite(p)) return {p, 0.0};
  // x.hi d - p exactly, plus x.lo d, in two fma.
  return detail::fast_two_sum(p, std::fma(x.lo, d, std::fma(x.hi, d, -p)), p);
}

/// x * d, the same operation as mul(x, d).
VANTOK_DD_INLINE DoubleDouble operator*(DoubleDouble x, double d) noexcept { return mul(x, d); }

namespace detail {

/// a / b from r0 = 1 / b.hi (b in the range where r0 and the step stay
/// normal): one Newton step on the reciprocal, r0 + r0 (1 - b r0) with
/// 1 - b.hi r0 exact by fma, then a * recip.
VANTOK_DD_INLINE DoubleDouble newton_recip(DoubleDouble b, double r0) noexcept {
  const double e = std::fma(-b.hi, r0, 1.0);
  const double m = (-b.lo) * r0;
  const double d = e + m;
  const double dlo = m - (d - e);
  const DoubleDouble corr = mul(DoubleDouble{d, dlo}, r0);
  return corr + r0;
}
VANTOK_DD_INLINE DoubleDouble newton_quotient(DoubleDouble a, DoubleDouble b, double r0) noexcept {
  return a * newton_recip(b, r0);
}

}  // namespace detail

VANTOK_DD_INLINE DoubleDouble DoubleDouble::div_dd(DoubleDouble a, DoubleDouble b) noexcept {
  // The first pass of div_dd_wide when b needs no scaling. Any other case,
  // and a quotient that overflows, take the whole algorithm, which computes
  // the same first pass again.
  const double q0 = a.hi / b.hi;
  const double r0 = 1.0 / b.hi;
  if (detail::finite(b.hi) && detail::finite(q0) && detail::finite(r0) && std::fabs(b.hi) <= 0x1p960) {
    const DoubleDouble q = detail::newton_quotient(a, b, r0);
    if (!std::isinf(q.hi)) return q;
  }
  return div_dd_wide(a, b);
}

/// a / b by DoubleDouble::div_dd.
inline DoubleDouble operator/(DoubleDouble a, DoubleDouble b) noexcept { return DoubleDouble::div_dd(a, b); }

/// Quotients a / b of many a by one b, each with the bits of div_dd: the
/// reciprocal's Newton step, which depends on b alone, is formed once, and
/// each quotient takes div_dd's tests and product (or div_dd_wide where
/// div_dd would).
class Divisor {
 public:
  VANTOK_DD_INLINE explicit Divisor(DoubleDouble b) noexcept
      : b_(b), fast_(false), unit_(std::fabs(b.hi) >= 1.0) {
    const double r0 = 1.0 / b.hi;
    fast_ = detail::finite(b.hi) && detail::finite(r0) && std::fabs(b.hi) <= 0x1p960;
    if (fast_) recip_ = detail::newton_recip(b, r0);
  }
  /// a / b. Where |b.hi| >= 1 a finite a.hi has a finite a.hi / b.hi (the
  /// exact quotient is at most |a.hi|), so the division is left out.
  VANTOK_DD_INLINE DoubleDouble quotient(DoubleDouble a) const noexcept {
    if (fast_ && (unit_ ? detail::finite(a.hi) : detail::finite(a.hi / b_.hi))) {
      const DoubleDouble q = a * recip_;
      if (!std::isinf(q.hi)) return q;
    }
    return DoubleDouble::div_dd_wide(a, b_);
  }
  /// The divisor; whether div_dd's first pass applies to it; the reciprocal
  /// of that pass (where it applies); whether |b.hi| >= 1.
  const DoubleDouble& divisor() const noexcept { return b_; }
  bool fast() const noexcept { return fast_; }
  const DoubleDouble& recip() const noexcept { return recip_; }
  bool unit() const noexcept { return unit_; }

 private:
  DoubleDouble b_;
  DoubleDouble recip_;
  bool fast_;
  bool unit_;
};
/// a / d by DoubleDouble::div_f64.
inline DoubleDouble operator/(DoubleDouble a, double d) noexcept { return DoubleDouble::div_f64(a, d); }

inline DoubleDouble& operator+=(DoubleDouble& x, DoubleDouble y) noexcept { return x = x + y; }
inline DoubleDouble& operator-=(DoubleDouble& x, DoubleDouble y) noexcept { return x = x - y; }
inline DoubleDouble& operator*=(DoubleDouble& x, DoubleDouble y) noexcept { return x = x * y; }
inline DoubleDouble& operator/=(DoubleDouble& x, DoubleDouble y) noexcept { return x = x / y; }
inline DoubleDouble& operator+=(DoubleDouble& x, double d) noexcept { return x = x + d; }
inline DoubleDouble& operator-=(DoubleDouble& x, double d) noexcept { return x = x - d; }
inline DoubleDouble& operator*=(DoubleDouble& x, double d) noexcept { return x = mul(x, d); }

/// |x|: x when the sign bit of hi is clear, else -x (so |(-0.0, 0.0)| = (+0.0, +0.0)).
VANTOK_DD_INLINE DoubleDouble abs(DoubleDouble x) noexcept { return std::signbit(x.hi) ? -x : x; }

/// Exact order of the represented values: by hi, then by lo. Every comparison
/// with a NaN is false (and != true).
inline bool operator==(DoubleDouble x, DoubleDouble y) noexcept { return x.hi == y.hi && x.lo == y.lo; }
inline bool operator!=(DoubleDouble x, DoubleDouble y) noexcept { return !(x == y); }
inline bool operator<(DoubleDouble x, DoubleDouble y) noexcept {
  return x.hi < y.hi || (x.hi == y.hi && x.lo < y.lo);
}
inline bool operator<=(DoubleDouble x, DoubleDouble y) noexcept {
  return x.hi < y.hi || (x.hi == y.hi && x.lo <= y.lo);
}
inline bool operator>(DoubleDouble x, DoubleDouble y) noexcept { return y < x; }
inline bool operator>=(DoubleDouble x, DoubleDouble y) noexcept { return y <= x; }

/// x 2^k for any k, without intermediate overflow or loss to subnormals: steps
/// of 2^+-1000 and a last exact factor 2^kc, each an exact scaling until the
/// result itself leaves the range.
DoubleDouble scale_pow2(DoubleDouble x, std::int64_t k) noexcept;

/// The complex product over double-doubles, each product with the component
/// of a on the left: (a.re b.re - a.im b.im, a.re b.im + a.im b.re).
VANTOK_DD_INLINE complex::Complex<DoubleDouble> mul(const complex::Complex<DoubleDouble>& a,
                                          const complex::Complex<DoubleDouble>& b) noexcept {
  const DoubleDouble p1 = a.re * b.re;
  const DoubleDouble p2 = a.im * b.im;
  const DoubleDouble re = p1 - p2;
  const DoubleDouble p3 = a.re * b.im;
  const DoubleDouble p4 = a.im * b.re;
  const DoubleDouble im = p3 + p4;
  return {re, im};
}
/// a * b over double-doubles: mul(a, b). Found by argument-dependent lookup
/// ahead of the generic complex template.
VANTOK_DD_INLINE complex::Complex<DoubleDouble> operator*(const complex::Complex<DoubleDouble>& a,
                                                const complex::Complex<DoubleDouble>& b) noexcept {
  return mul(a, b);
}

// ---------------------------------------------------------------------------
// Elementary functions: fast paths here, wide companions and kernels out of
// line in core/src/scalar/dd_elementary.cpp.

namespace elementary {

// INV_FACTORIAL (1/k!, k = 0..30), LN2_C1..C3 and PIO2_P1..P3, generated by
// core/tests/data/gen_dd_constants.py.
#include "vantok/scalar/dd_constants.inc"

static_assert(LN2_C1 == 0.6931471805599453 && LN2_C2 == 2.3190468138462996e-17 &&
              LN2_C3 == 5.707708438416212e-34);
static_assert(PIO2_P1 == 1.5707963267948966 && PIO2_P2 == 6.123233995736766e-17 &&
              PIO2_P3 == -1.4973849048591698e-33);
static_assert(INV_FACTORIAL[10].hi == 2.755731922398589e-07 &&
              INV_FACTORIAL[10].lo == 2.3767714622250297e-23);

/// e^x = y 2^k.
struct ReducedExp {
  DoubleDouble y;
  std::int32_t k;
};

/// The square-root core for a positive leading part in the safe range: the
/// root s of x.hi corrected once by the exact residual (x - s^2)/(2s).
inline DoubleDouble sqrt_core(DoubleDouble x) noexcept {
  const double s = std::sqrt(x.hi);
  // s^2 exactly as p + e; p is formed as -((-s) s) so that it is its own
  // rounded product, never fused with the fma that follows.
  const double p = -((-s) * s);
  const double e = std::fma(s, s, -p);
  const double r = (x - DoubleDouble{p, e}).hi;
  return detail::corrected(s, r / (s + s));
}

/// Square root outside 2^-900 <= x.hi <= 2^1000: zeros pass through, a negative
/// or NaN gives NaN, +inf itself; otherwise an exact scaling by 2^+-600 around
/// the core.
DoubleDouble sqrt_wide(DoubleDouble x) noexcept;

/// e^x = y 2^k with x = k ln 2 + r, |r| <= ln2/2 (ln 2 in three parts), r halved
/// below 2^-10, a degree-10 Taylor polynomial of e^r - 1, and the halvings
/// undone by p <- 2p + p^2. y lies in about [0.7, 1.42] for finite x; k
/// saturates to int32 (NaN gives 0).
ReducedExp exp_reduced(DoubleDouble x) noexcept;

/// e^x for any x: +inf above 746, +0 below -746, NaN for NaN, otherwise
/// exp_reduced with 2^k applied by scale_pow2.
DoubleDouble exp_wide(DoubleDouble x) noexcept;

/// The C library's cube root, always called at run time: the compiler's
/// constant folding (correctly rounded) and glibc's cbrt may differ in the last
/// bit, and the seed's bits reach the double-double result.
double cbrt_seed(double x) noexcept;

/// The cube root of x refined from an f64 estimate y: d = (x - y^3)/(3y^2),
/// d <- d - d^2/y (second order), result y + d.
DoubleDouble cbrt_kernel(DoubleDouble x, double y) noexcept;

/// Cube root outside 2^-900 <= |x.hi| <= 2^1000 by exact scaling by 2^+-600.
DoubleDouble cbrt_wide(DoubleDouble x) noexcept;

/// x^n over the whole range: binary powering on a mantissa in [1, 2) with the
/// exponents kept apart in 64-bit integers, applied once at the end.
DoubleDouble powi_wide(DoubleDouble x, std::int32_t n) noexcept;

}  // namespace elementary

// ---------------------------------------------------------------------------
// Trigonometry: reduction modulo pi/2 and Taylor kernels, out of line in
// core/src/scalar/dd_trig.cpp.

namespace trig {

/// x = q pi/2 + r.
struct Reduced {
  std::int64_t q;
  DoubleDouble r;
};

/// The boundary of the reduction's domain: |x.hi| = 2^50 with hi lo <= 0, so
/// that |x| does not exceed 2^50.
bool within_reduction_limit(DoubleDouble x) noexcept;

/// x = q pi/2 + r with |r| at most about pi/4, by subtracting k pi/2 with pi/2 in
/// three doubles (two exact products and one rounded); |x| <= 2^50, nullopt
/// beyond (and for NaN and infinities).
std::optional<Reduced> reduce_pio2(DoubleDouble x) noexcept;

/// sin r for a reduced r: Taylor series to r^29/29! by Horner in r^2. Zeros
/// (of either sign) are returned unchanged.
DoubleDouble sin_taylor(DoubleDouble r) noexcept;

/// cos r for a reduced r: Taylor series to r^28/28! by Horner in r^2.
DoubleDouble cos_taylor(DoubleDouble r) noexcept;

/// (sin, cos) of x from its reduction: quadrant q mod 4 (two's complement).
inline std::pair<DoubleDouble, DoubleDouble> sin_cos_reduced(const Reduced& red) noexcept {
  const DoubleDouble s = sin_taylor(red.r);
  const DoubleDouble c = cos_taylor(red.r);
  switch (red.q & 3) {
    case 0:
      return {s, c};
    case 1:
      return {c, -s};
    case 2:
      return {-s, -c};
    default:
      return {-c, s};
  }
}

}  // namespace trig

// ---------------------------------------------------------------------------
// Fast paths of the elementary functions.

inline DoubleDouble DoubleDouble::sqrt(DoubleDouble x) noexcept {
  if (x.hi >= 0x1p-900 && x.hi <= 0x1p1000) return elementary::sqrt_core(x);
  return elementary::sqrt_wide(x);
}

inline DoubleDouble DoubleDouble::exp(DoubleDouble x) noexcept {
  if (x.hi >= -670.0 && x.hi <= 708.0) {
    const elementary::ReducedExp red = elementary::exp_reduced(x);
    // Here -967 <= k <= 1022, so 2^k is a normal double.
    return detail::scale(red.y, detail::pow2(red.k));
  }
  return elementary::exp_wide(x);
}

inline DoubleDouble DoubleDouble::cbrt(DoubleDouble x) noexcept {
  const double a = std::fabs(x.hi);
  if (a >= 0x1p-900 && a <= 0x1p1000) return elementary::cbrt_kernel(x, elementary::cbrt_seed(x.hi));
  return elementary::cbrt_wide(x);
}

inline std::pair<DoubleDouble, DoubleDouble> DoubleDouble::sin_cos(DoubleDouble x) noexcept {
  const std::optional<trig::Reduced> red = trig::reduce_pio2(x);
  if (!red) {
    const DoubleDouble nan{std::numeric_limits<double>::quiet_NaN(), 0.0};
    return {nan, nan};
  }
  return trig::sin_cos_reduced(*red);
}

inline DoubleDouble DoubleDouble::cos(DoubleDouble x) noexcept {
  const std::optional<trig::Reduced> red = trig::reduce_pio2(x);
  if (!red) return {std::numeric_limits<double>::quiet_NaN(), 0.0};
  switch (red->q & 3) {
    case 0:
      return trig::cos_taylor(red->r);
    case 1:
      return -trig::sin_taylor(red->r);
    case 2:
      return -trig::cos_taylor(red->r);
    default:
      return trig::sin_taylor(red->r);
  }
}

// Free functions, so that generic code calls sqrt(x), exp(x), ... unqualified.
inline DoubleDouble sqrt(DoubleDouble x) noexcept { return DoubleDouble::sqrt(x); }
inline DoubleDouble hypot(DoubleDouble a, DoubleDouble b) noexcept { return DoubleDouble::hypot(a, b); }
inline DoubleDouble exp(DoubleDouble x) noexcept { return DoubleDouble::exp(x); }
inline DoubleDouble cbrt(DoubleDouble x) noexcept { return DoubleDouble::cbrt(x); }
inline DoubleDouble powi(DoubleDouble x, std::int32_t n) noexcept { return DoubleDouble::powi(x, n); }
inline DoubleDouble cos(DoubleDouble x) noexcept { return DoubleDouble::cos(x); }
inline std::pair<DoubleDouble, DoubleDouble> sin_cos(DoubleDouble x) noexcept { return DoubleDouble::sin_cos(x); }
/// 1/x by div_dd.
inline DoubleDouble recip(DoubleDouble x) noexcept { return DoubleDouble::div_dd(DoubleDouble{1.0, 0.0}, x); }

}  // namespace vantok::scalar::dd

namespace vantok::scalar {
using dd::DoubleDouble;
}

/// Limits of DoubleDouble. epsilon is 2^-104 (the spacing of 106-bit values
/// at 1); min is 2^-969, the smallest value whose trailing part is still a
/// normal double; max is the largest normalised value.
template <>
class std::numeric_limits<vantok::scalar::dd::DoubleDouble> {
  using DD = vantok::scalar::dd::DoubleDouble;

 public:
  static constexpr bool is_specialized = true;
  static constexpr bool is_signed = true;
  static constexpr bool is_integer = false;
  static constexpr bool is_exact = false;
  static constexpr bool has_infinity = true;
  static constexpr bool has_quiet_NaN = true;
  static constexpr bool has_signaling_NaN = false;
  static constexpr bool has_denorm_loss = false;
  static constexpr std::float_round_style round_style = std::round_to_nearest;
  static constexpr bool is_iec559 = false;
  static constexpr bool is_bounded = true;
  static constexpr bool is_modulo = false;
  static constexpr int digits = 106;
  static constexpr int digits10 = 31;
  static constexpr int max_digits10 = 33;
  static constexpr int radix = 2;
  static constexpr int min_exponent = -968;
  static constexpr int min_exponent10 = -291;
  static constexpr int max_exponent = 1024;
  static constexpr int max_exponent10 = 308;
  static constexpr bool traps = false;
  static constexpr bool tinyness_before = false;

  static constexpr DD min() noexcept { return DD{0x1p-969, 0.0}; }
  static constexpr DD max() noexcept { return DD{0x1.fffffffffffffp+1023, 0x1.fffffffffffffp+969}; }
  static constexpr DD lowest() noexcept { return DD{-0x1.fffffffffffffp+1023, -0x1.fffffffffffffp+969}; }
  static constexpr DD epsilon() noexcept { return DD{0x1p-104, 0.0}; }
  static constexpr DD round_error() noexcept { return DD{0.5, 0.0}; }
  static constexpr DD infinity() noexcept { return DD{std::numeric_limits<double>::infinity(), 0.0}; }
  static constexpr DD quiet_NaN() noexcept { return DD{std::numeric_limits<double>::quiet_NaN(), 0.0}; }
  static constexpr DD signaling_NaN() noexcept { return quiet_NaN(); }
  static constexpr DD denorm_min() noexcept { return DD{0x1p-1074, 0.0}; }
};
