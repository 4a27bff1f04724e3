#pragma once
// Eight doubles or eight double-doubles side by side in AVX-512 registers, for
// the element loops of the mode kernels where the processor has them
// (detail_kernel_lanes.inc compiled a third time, between
// VANTOK_WIDEST512_BEGIN and VANTOK_WIDEST512_END). The doubles take the
// scalar operations lane by lane, the complex ones in the formulas of
// complex.hpp (as lanes_complex.inc for four lanes). Every double-double
// operation is that of the four-lane DDx4 (detail_dd_lanes.hpp) on each lane,
// step for step: the
// same additions, subtractions and products, the same fused multiply-adds
// (correctly rounded like std::fma), the same zero rule by selection. The
// lanes are unchecked: a lane whose result is not finite carries some
// non-finite value on, and the element loop sums that element again with the
// scalar code. So each lane holds exactly the bits of the scalar code.

#include <immintrin.h>

#include <cstddef>

#include "tmatrix/detail_dd_lanes.hpp"
#include "tmatrix/detail_widest.hpp"
#include "vantok/complex.hpp"
#include "vantok/scalar/dd.hpp"

VANTOK_WIDEST512_BEGIN

namespace vantok::tmatrix::kernel::detail::lanes {

/// Eight double-doubles: lane i is (hi[i], lo[i]).
struct alignas(64) DDx8 {
  __m512d hi;
  __m512d lo;
};

/// The sign bit of -0.0 in every lane.
[[gnu::always_inline]] inline __m512d sign_bits8() noexcept { return _mm512_set1_pd(-0.0); }

/// Lanes 0-3 from a, 4-7 from b.
[[gnu::always_inline]] inline __m512d join8(__m256d a, __m256d b) noexcept {
  return _mm512_mask_broadcast_f64x4(_mm512_castpd256_pd512(a), 0xF0, b);
}

/// Fast2Sum of a + e with the zero rule: an exact zero sum takes the sign of
/// `sign` and a +0.0 trailing part (DDx4's fast_two_sum).
[[gnu::always_inline]] inline DDx8 fast_two_sum8(__m512d a, __m512d e, __m512d sign) noexcept {
  const __m512d sum = _mm512_add_pd(a, e);
  const __m512d lo = _mm512_sub_pd(e, _mm512_sub_pd(sum, a));
  const __mmask8 zero = _mm512_cmp_pd_mask(sum, _mm512_setzero_pd(), _CMP_EQ_OQ);
  return {_mm512_mask_blend_pd(zero, sum, _mm512_and_pd(sign, sign_bits8())),
          _mm512_mask_blend_pd(zero, lo, _mm512_setzero_pd())};
}

/// -x = (-hi, 0.0 - lo).
[[gnu::always_inline]] inline DDx8 operator-(DDx8 x) noexcept {
  return {_mm512_xor_pd(x.hi, sign_bits8()), _mm512_sub_pd(_mm512_setzero_pd(), x.lo)};
}

/// x + y: dd::operator+ on each lane.
[[gnu::always_inline]] inline DDx8 operator+(DDx8 x, DDx8 y) noexcept {
  const __m512d s = _mm512_add_pd(x.hi, y.hi);
  const __m512d bv = _mm512_sub_pd(s, x.hi);
  const __m512d av = _mm512_sub_pd(s, bv);
  __m512d e = _mm512_add_pd(_mm512_sub_pd(y.hi, bv), _mm512_sub_pd(x.hi, av));
  const __m512d t = _mm512_add_pd(x.lo, y.lo);
  const __m512d tb = _mm512_sub_pd(t, x.lo);
  const __m512d ta = _mm512_sub_pd(t, tb);
  const __m512d f = _mm512_add_pd(_mm512_sub_pd(y.lo, tb), _mm512_sub_pd(x.lo, ta));
  e = _mm512_add_pd(e, t);
  const __m512d s2 = _mm512_add_pd(s, e);
  e = _mm512_sub_pd(e, _mm512_sub_pd(s2, s));
  e = _mm512_add_pd(f, e);
  return fast_two_sum8(s2, e, s);
}

/// x - y = x + (-y).
[[gnu::always_inline]] inline DDx8 operator-(DDx8 x, DDx8 y) noexcept { return x + (-y); }

/// x * y: dd::operator* on each lane (three fused multiply-adds).
[[gnu::always_inline]] inline DDx8 operator*(DDx8 x, DDx8 y) noexcept {
  const __m512d p = _mm512_mul_pd(x.hi, y.hi);
  const __m512d e1 = _mm512_fmsub_pd(x.hi, y.hi, p);
  const __m512d c = _mm512_mul_pd(x.lo, y.lo);
  const __m512d t = _mm512_fmadd_pd(x.hi, y.lo, c);
  const __m512d t2 = _mm512_fmadd_pd(x.lo, y.hi, t);
  const __m512d e = _mm512_add_pd(t2, e1);
  return fast_two_sum8(p, e, p);
}

/// |x|: -x where the sign bit of hi is set.
[[gnu::always_inline]] inline DDx8 abs(DDx8 x) noexcept {
  const DDx8 n = -x;
  const __mmask8 negative = _mm512_movepi64_mask(_mm512_castpd_si512(x.hi));
  return {_mm512_mask_blend_pd(negative, x.hi, n.hi), _mm512_mask_blend_pd(negative, x.lo, n.lo)};
}

using Cx8 = complex::Complex<DDx8>;

[[gnu::always_inline]] inline Cx8 operator+(const Cx8& a, const Cx8& b) noexcept { return {a.re + b.re, a.im + b.im}; }
[[gnu::always_inline]] inline Cx8 operator-(const Cx8& a, const Cx8& b) noexcept { return {a.re - b.re, a.im - b.im}; }
[[gnu::always_inline]] inline Cx8 operator-(const Cx8& a) noexcept { return {-a.re, -a.im}; }
[[gnu::always_inline]] inline Cx8 operator*(const Cx8& a, const Cx8& b) noexcept {
  const DDx8 p1 = a.re * b.re;
  const DDx8 p2 = a.im * b.im;
  const DDx8 re = p1 - p2;
  const DDx8 p3 = a.re * b.im;
  const DDx8 p4 = a.im * b.re;
  const DDx8 im = p3 + p4;
  return {re, im};
}
[[gnu::always_inline]] inline Cx8 scale(const Cx8& z, const DDx8& t) noexcept { return {z.re * t, z.im * t}; }
[[gnu::always_inline]] inline Cx8 scale(const DDx8& t, const Cx8& z) noexcept { return {t * z.re, t * z.im}; }
[[gnu::always_inline]] inline Cx8 times_i(const Cx8& z) noexcept { return {-z.im, z.re}; }

/// The element loops' lane type of eight double-doubles, unchecked (see
/// DDx8): loads from eight addresses as two four-lane loads of Lane.
struct Lane8DD {
  using S = DDx8;
  using Mask = __mmask8;
  using Half = Lane<DoubleDouble, false>;
  static constexpr std::size_t size = 8;

  static S splat(const DoubleDouble& v) noexcept { return {_mm512_set1_pd(v.hi), _mm512_set1_pd(v.lo)}; }
  static S abs(const S& v) noexcept { return lanes::abs(v); }
  static S join(const DDx4<false>& a, const DDx4<false>& b) noexcept { return {join8(a.hi, b.hi), join8(a.lo, b.lo)}; }
  static S gather(const DoubleDouble* const (&p)[8]) noexcept {
    const DoubleDouble* const a[4] = {p[0], p[1], p[2], p[3]};
    const DoubleDouble* const b[4] = {p[4], p[5], p[6], p[7]};
    return join(Half::gather(a), Half::gather(b));
  }
  static complex::Complex<S> gather(const complex::Complex<DoubleDouble>* const (&p)[8]) noexcept {
    const complex::Complex<DoubleDouble>* const a[4] = {p[0], p[1], p[2], p[3]};
    const complex::Complex<DoubleDouble>* const b[4] = {p[4], p[5], p[6], p[7]};
    const complex::Complex<DDx4<false>> x = Half::gather(a);
    const complex::Complex<DDx4<false>> y = Half::gather(b);
    return {join(x.re, y.re), join(x.im, y.im)};
  }
  static void scatter(const S& v, DoubleDouble* const (&p)[8], std::size_t count) noexcept {
    alignas(64) double h[8], l[8];
    _mm512_store_pd(h, v.hi);
    _mm512_store_pd(l, v.lo);
    for (std::size_t i = 0; i < count; ++i) *p[i] = {h[i], l[i]};
  }
  static void scatter(const complex::Complex<S>& v, complex::Complex<DoubleDouble>* const (&p)[8],
                      std::size_t count) noexcept {
    alignas(64) double rh[8], rl[8], ih[8], il[8];
    _mm512_store_pd(rh, v.re.hi);
    _mm512_store_pd(rl, v.re.lo);
    _mm512_store_pd(ih, v.im.hi);
    _mm512_store_pd(il, v.im.lo);
    for (std::size_t i = 0; i < count; ++i) *p[i] = {{rh[i], rl[i]}, {ih[i], il[i]}};
  }
  /// The lanes whose flag is set.
  static Mask mask(const bool (&flags)[8]) noexcept {
    unsigned bits = 0;
    for (std::size_t i = 0; i < 8; ++i) bits |= flags[i] ? 1u << i : 0u;
    return static_cast<Mask>(bits);
  }
  static bool any(Mask m) noexcept { return m != 0; }
  /// a where the mask holds, else b.
  static S select(Mask m, const S& a, const S& b) noexcept {
    return {_mm512_mask_blend_pd(m, b.hi, a.hi), _mm512_mask_blend_pd(m, b.lo, a.lo)};
  }
  /// The lanes (bits 0..7) whose leading part is finite.
  static int finite(const S& v) noexcept {
    const __m512d magnitude = _mm512_andnot_pd(sign_bits8(), v.hi);
    return _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(__builtin_inf()), _CMP_LT_OQ);
  }
};

/// Eight doubles. The constructors are written out, as F64x4's, so that a
/// zero is a function of this region.
struct alignas(64) F64x8 {
  static constexpr std::size_t size = 8;
  __m512d v;
  F64x8() noexcept : v(_mm512_setzero_pd()) {}
  F64x8(__m512d x) noexcept : v(x) {}

  static F64x8 load(const double* p) noexcept { return {_mm512_loadu_pd(p)}; }
  static F64x8 broadcast(double a) noexcept { return {_mm512_set1_pd(a)}; }
  void store(double* p) const noexcept { _mm512_storeu_pd(p, v); }
};

[[gnu::always_inline]] inline F64x8 operator+(F64x8 a, F64x8 b) noexcept { return {_mm512_add_pd(a.v, b.v)}; }
[[gnu::always_inline]] inline F64x8 operator-(F64x8 a, F64x8 b) noexcept { return {_mm512_sub_pd(a.v, b.v)}; }
[[gnu::always_inline]] inline F64x8 operator*(F64x8 a, F64x8 b) noexcept { return {_mm512_mul_pd(a.v, b.v)}; }
[[gnu::always_inline]] inline F64x8 operator/(F64x8 a, F64x8 b) noexcept { return {_mm512_div_pd(a.v, b.v)}; }
[[gnu::always_inline]] inline F64x8 operator-(F64x8 a) noexcept { return {_mm512_xor_pd(a.v, sign_bits8())}; }
[[gnu::always_inline]] inline F64x8 fabs(F64x8 a) noexcept { return {_mm512_andnot_pd(sign_bits8(), a.v)}; }

using CF8 = complex::Complex<F64x8>;

[[gnu::always_inline]] inline CF8 operator+(const CF8& a, const CF8& b) noexcept { return {a.re + b.re, a.im + b.im}; }
[[gnu::always_inline]] inline CF8 operator-(const CF8& a, const CF8& b) noexcept { return {a.re - b.re, a.im - b.im}; }
[[gnu::always_inline]] inline CF8 operator-(const CF8& a) noexcept { return {-a.re, -a.im}; }
[[gnu::always_inline]] inline CF8 operator*(const CF8& a, const CF8& b) noexcept {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
[[gnu::always_inline]] inline CF8 scale(const CF8& z, F64x8 t) noexcept { return {z.re * t, z.im * t}; }
[[gnu::always_inline]] inline CF8 scale(F64x8 t, const CF8& z) noexcept { return {t * z.re, t * z.im}; }
[[gnu::always_inline]] inline CF8 times_i(const CF8& z) noexcept { return {-z.im, z.re}; }

/// The element loops' lane type of eight doubles.
struct Lane8F64 {
  using S = F64x8;
  using Mask = __mmask8;
  using Half = Lane<double, false>;
  static constexpr std::size_t size = 8;

  static S splat(double v) noexcept { return {_mm512_set1_pd(v)}; }
  static S abs(const S& v) noexcept { return lanes::fabs(v); }
  static S gather(const double* const (&p)[8]) noexcept {
    return {_mm512_set_pd(*p[7], *p[6], *p[5], *p[4], *p[3], *p[2], *p[1], *p[0])};
  }
  static complex::Complex<S> gather(const complex::Complex<double>* const (&p)[8]) noexcept {
    const complex::Complex<double>* const a[4] = {p[0], p[1], p[2], p[3]};
    const complex::Complex<double>* const b[4] = {p[4], p[5], p[6], p[7]};
    const complex::Complex<F64x4> x = Half::gather(a);
    const complex::Complex<F64x4> y = Half::gather(b);
    return {{join8(x.re.v, y.re.v)}, {join8(x.im.v, y.im.v)}};
  }
  static void scatter(const S& v, double* const (&p)[8], std::size_t count) noexcept {
    alignas(64) double h[8];
    _mm512_store_pd(h, v.v);
    for (std::size_t i = 0; i < count; ++i) *p[i] = h[i];
  }
  static void scatter(const complex::Complex<S>& v, complex::Complex<double>* const (&p)[8],
                      std::size_t count) noexcept {
    alignas(64) double re[8], im[8];
    _mm512_store_pd(re, v.re.v);
    _mm512_store_pd(im, v.im.v);
    for (std::size_t i = 0; i < count; ++i) *p[i] = {re[i], im[i]};
  }
  /// Entries 0..3 of eight rows (row l from p[l]) across lanes: out[k] holds
  /// entry k of every row. Rows l and l + 4 share a register, and one 4 x 4
  /// transpose in each half does the rest.
  [[gnu::always_inline]] static void columns4(const double* const (&p)[8], S* out) noexcept {
    __m512d a[4];
    for (std::size_t i = 0; i < 4; ++i) {
      a[i] = join8(_mm256_loadu_pd(p[i]), _mm256_loadu_pd(p[i + 4]));
    }
    // Per half: u0 = (r0[0], r1[0], r0[2], r1[2]), u1 the odd entries, u2
    // and u3 the same of rows 2 and 3.
    // (The zero-masked forms with every lane set are the plain unpacks.)
    const __m512d u0 = _mm512_maskz_unpacklo_pd(0xFF, a[0], a[1]);
    const __m512d u1 = _mm512_maskz_unpackhi_pd(0xFF, a[0], a[1]);
    const __m512d u2 = _mm512_maskz_unpacklo_pd(0xFF, a[2], a[3]);
    const __m512d u3 = _mm512_maskz_unpackhi_pd(0xFF, a[2], a[3]);
    const __m512i low = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i high = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    out[0] = {_mm512_permutex2var_pd(u0, low, u2)};
    out[1] = {_mm512_permutex2var_pd(u1, low, u3)};
    out[2] = {_mm512_permutex2var_pd(u0, high, u2)};
    out[3] = {_mm512_permutex2var_pd(u1, high, u3)};
  }
  /// Entries 0..7 of eight rows across lanes, as columns4.
  [[gnu::always_inline]] static void columns8(const double* const (&p)[8], S* out) noexcept {
    const double* const upper[8] = {p[0] + 4, p[1] + 4, p[2] + 4, p[3] + 4, p[4] + 4, p[5] + 4, p[6] + 4, p[7] + 4};
    columns4(p, out);
    columns4(upper, out + 4);
  }
  /// The lanes of `m` from p[0..7] (the others zero, their memory untouched).
  [[gnu::always_inline]] static S load_run(const double* p, Mask m) noexcept { return {_mm512_maskz_loadu_pd(m, p)}; }
  [[gnu::always_inline]] static complex::Complex<S> load_run(const complex::Complex<double>* p, Mask m) noexcept {
    const auto* d = reinterpret_cast<const double*>(p);
    // Lane l's (re, im) pair is doubles 2l and 2l + 1.
    const __m512d a = _mm512_maskz_loadu_pd(pairs_low(m), d);
    const __m512d b = _mm512_maskz_loadu_pd(pairs_high(m), d + 8);
    const __m512i re = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i im = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
    return {{_mm512_permutex2var_pd(a, re, b)}, {_mm512_permutex2var_pd(a, im, b)}};
  }
  /// The lanes of `m` to p[0..7], the others' memory untouched.
  [[gnu::always_inline]] static void store_run(const S& v, double* p, Mask m) noexcept {
    _mm512_mask_storeu_pd(p, m, v.v);
  }
  [[gnu::always_inline]] static void store_run(const complex::Complex<S>& v, complex::Complex<double>* p,
                                               Mask m) noexcept {
    auto* d = reinterpret_cast<double*>(p);
    const __m512i low = _mm512_set_epi64(11, 3, 10, 2, 9, 1, 8, 0);
    const __m512i high = _mm512_set_epi64(15, 7, 14, 6, 13, 5, 12, 4);
    _mm512_mask_storeu_pd(d, pairs_low(m), _mm512_permutex2var_pd(v.re.v, low, v.im.v));
    _mm512_mask_storeu_pd(d + 8, pairs_high(m), _mm512_permutex2var_pd(v.re.v, high, v.im.v));
  }
  /// The double masks of lanes 0-3 and 4-7 of m, two bits per lane.
  [[gnu::always_inline]] static __mmask8 pairs_low(Mask m) noexcept { return PAIRS[m & 0xFu]; }
  [[gnu::always_inline]] static __mmask8 pairs_high(Mask m) noexcept { return PAIRS[(m >> 4) & 0xFu]; }
  static constexpr __mmask8 PAIRS[16] = {0x00, 0x03, 0x0C, 0x0F, 0x30, 0x33, 0x3C, 0x3F,
                                         0xC0, 0xC3, 0xCC, 0xCF, 0xF0, 0xF3, 0xFC, 0xFF};
  static Mask mask(const bool (&flags)[8]) noexcept { return Lane8DD::mask(flags); }
  static bool any(Mask m) noexcept { return m != 0; }
  static S select(Mask m, const S& a, const S& b) noexcept { return {_mm512_mask_blend_pd(m, b.v, a.v)}; }
  /// Sums of doubles are never summed again: every lane counts as finite.
  static int finite(const S&) noexcept { return 0xFF; }
};

}  // namespace vantok::tmatrix::kernel::detail::lanes

VANTOK_WIDEST512_END
