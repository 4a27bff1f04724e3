#pragma once
// Four double-doubles side by side in AVX2 registers, for the element loops of
// the mode kernels (detail_kernel_lanes.inc), with the lane types' loads and
// stores from the kernels' arrays. Every operation is the double-double
// operation of scalar/dd.hpp on each lane, step for step: the same additions,
// subtractions and products, the same fused multiply-adds (the instruction,
// correctly rounded like std::fma), the zero rule (an exact zero sum or
// product is the signed zero of its named intermediate with a +0.0 trailing
// part) on every lane by selection. Lanes whose result is not finite are
// recomputed by the scalar operation, which owns the rules for infinities and
// NaN (a finite result never takes them), either at once or, in the unchecked
// form, by the caller for its whole computation. So each lane holds exactly
// the bits of the scalar code.
//
// Only for code compiled for the widest instructions (detail_widest.hpp).

#include <immintrin.h>

#include <cstddef>

#include "tmatrix/detail_widest.hpp"
#include "vantok/complex.hpp"
#include "vantok/scalar/dd.hpp"
#include "vantok/scalar/lanes.hpp"

VANTOK_WIDEST_BEGIN

namespace vantok::tmatrix::kernel::detail::lanes {

using scalar::DoubleDouble;
using scalar::lanes::F64x4;

/// Four double-doubles: lane i is (hi[i], lo[i]). With Checked, every sum
/// and product whose leading part is not finite is recomputed by the scalar
/// operation; without, such lanes carry some non-finite value onwards, and
/// the caller, which must then see a non-finite result, recomputes them (a
/// non-finite leading part never becomes finite again in sums and products).
template <bool Checked>
struct alignas(32) DDx4 {
  __m256d hi;
  __m256d lo;
};
using DD4 = DDx4<true>;

/// The lanes where x is finite (|x| < inf, false for NaN).
[[gnu::always_inline]] inline __m256d finite_lanes(__m256d x) noexcept {
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
  return _mm256_cmp_pd(magnitude, _mm256_set1_pd(__builtin_inf()), _CMP_LT_OQ);
}

/// Recomputes the lanes of r flagged in `bad` (a movemask) by the scalar op.
template <bool C, class Op>
[[gnu::noinline]] DDx4<C> rescue(DDx4<C> r, DDx4<C> x, DDx4<C> y, int bad, Op op) noexcept {
  alignas(32) double xh[4], xl[4], yh[4], yl[4], rh[4], rl[4];
  _mm256_store_pd(xh, x.hi);
  _mm256_store_pd(xl, x.lo);
  _mm256_store_pd(yh, y.hi);
  _mm256_store_pd(yl, y.lo);
  _mm256_store_pd(rh, r.hi);
  _mm256_store_pd(rl, r.lo);
  for (int i = 0; i < 4; ++i) {
    if (((bad >> i) & 1) == 0) continue;
    const DoubleDouble v = op(DoubleDouble{xh[i], xl[i]}, DoubleDouble{yh[i], yl[i]});
    rh[i] = v.hi;
    rl[i] = v.lo;
  }
  return {_mm256_load_pd(rh), _mm256_load_pd(rl)};
}

/// The last step of a sum or product x op y on each lane: Fast2Sum of a + e
/// with the zero rule (an exact zero takes the sign of `sign` and a zero low
/// part); with Checked, the lanes whose sum is not finite are recomputed by the
/// scalar op.
template <bool C, class Op>
[[gnu::always_inline]] inline DDx4<C> fast_two_sum(__m256d a, __m256d e, __m256d sign, DDx4<C> x, DDx4<C> y,
                                                  Op op) noexcept {
  const __m256d sum = _mm256_add_pd(a, e);
  const __m256d lo = _mm256_sub_pd(e, _mm256_sub_pd(sum, a));
  const __m256d zero = _mm256_cmp_pd(sum, _mm256_setzero_pd(), _CMP_EQ_OQ);
  DDx4<C> r{_mm256_blendv_pd(sum, _mm256_and_pd(sign, _mm256_set1_pd(-0.0)), zero), _mm256_andnot_pd(zero, lo)};
  if constexpr (C) {
    const int bad = _mm256_movemask_pd(finite_lanes(sum)) ^ 15;
    if (bad != 0) [[unlikely]] r = rescue(r, x, y, bad, op);
  }
  return r;
}

/// -x = (-hi, 0.0 - lo).
template <bool C>
[[gnu::always_inline]] inline DDx4<C> operator-(DDx4<C> x) noexcept {
  return {_mm256_xor_pd(x.hi, _mm256_set1_pd(-0.0)), _mm256_sub_pd(_mm256_setzero_pd(), x.lo)};
}

/// x + y: dd::operator+ on each lane.
template <bool C>
[[gnu::always_inline]] inline DDx4<C> operator+(DDx4<C> x, DDx4<C> y) noexcept {
  // TwoSum of the leading parts.
  const __m256d s = _mm256_add_pd(x.hi, y.hi);
  const __m256d bv = _mm256_sub_pd(s, x.hi);
  const __m256d av = _mm256_sub_pd(s, bv);
  __m256d e = _mm256_add_pd(_mm256_sub_pd(y.hi, bv), _mm256_sub_pd(x.hi, av));
  // TwoSum of the trailing parts.
  const __m256d t = _mm256_add_pd(x.lo, y.lo);
  const __m256d tb = _mm256_sub_pd(t, x.lo);
  const __m256d ta = _mm256_sub_pd(t, tb);
  const __m256d f = _mm256_add_pd(_mm256_sub_pd(y.lo, tb), _mm256_sub_pd(x.lo, ta));
  e = _mm256_add_pd(e, t);
  const __m256d s2 = _mm256_add_pd(s, e);
  e = _mm256_sub_pd(e, _mm256_sub_pd(s2, s));
  e = _mm256_add_pd(f, e);
  // Fast2Sum with the zero rule (the sign of s). A non-finite error term, s2
  // or sum leaves sum non-finite.
  return fast_two_sum(s2, e, s, x, y, [](DoubleDouble a, DoubleDouble b) { return a + b; });
}

/// x - y = x + (-y).
template <bool C>
[[gnu::always_inline]] inline DDx4<C> operator-(DDx4<C> x, DDx4<C> y) noexcept {
  return x + (-y);
}

/// x * y: dd::operator* on each lane (three fused multiply-adds).
template <bool C>
[[gnu::always_inline]] inline DDx4<C> operator*(DDx4<C> x, DDx4<C> y) noexcept {
  const __m256d p = _mm256_mul_pd(x.hi, y.hi);
  const __m256d e1 = _mm256_fmsub_pd(x.hi, y.hi, p);
  const __m256d c = _mm256_mul_pd(x.lo, y.lo);
  const __m256d t = _mm256_fmadd_pd(x.hi, y.lo, c);
  const __m256d t2 = _mm256_fmadd_pd(x.lo, y.hi, t);
  const __m256d e = _mm256_add_pd(t2, e1);
  // A non-finite product leaves sum non-finite.
  return fast_two_sum(p, e, p, x, y, [](DoubleDouble a, DoubleDouble b) { return a * b; });
}

/// |x|: -x where the sign bit of hi is set.
template <bool C>
[[gnu::always_inline]] inline DDx4<C> abs(DDx4<C> x) noexcept {
  const DDx4<C> n = -x;
  return {_mm256_blendv_pd(x.hi, n.hi, x.hi), _mm256_blendv_pd(x.lo, n.lo, x.hi)};
}

// The complex operations of complex.hpp over DDx4 (found by argument-dependent
// lookup ahead of its templates, which are not compiled for these lanes).
template <bool C>
using Cx4 = complex::Complex<DDx4<C>>;

template <bool C>
[[gnu::always_inline]] inline Cx4<C> operator+(const Cx4<C>& a, const Cx4<C>& b) noexcept {
  return {a.re + b.re, a.im + b.im};
}
template <bool C>
[[gnu::always_inline]] inline Cx4<C> operator-(const Cx4<C>& a, const Cx4<C>& b) noexcept {
  return {a.re - b.re, a.im - b.im};
}
template <bool C>
[[gnu::always_inline]] inline Cx4<C> operator-(const Cx4<C>& a) noexcept {
  return {-a.re, -a.im};
}
template <bool C>
[[gnu::always_inline]] inline Cx4<C> operator*(const Cx4<C>& a, const Cx4<C>& b) noexcept {
  const DDx4<C> p1 = a.re * b.re;
  const DDx4<C> p2 = a.im * b.im;
  const DDx4<C> re = p1 - p2;
  const DDx4<C> p3 = a.re * b.im;
  const DDx4<C> p4 = a.im * b.re;
  const DDx4<C> im = p3 + p4;
  return {re, im};
}
template <bool C>
[[gnu::always_inline]] inline Cx4<C> scale(const Cx4<C>& z, const DDx4<C>& t) noexcept {
  return {z.re * t, z.im * t};
}
template <bool C>
[[gnu::always_inline]] inline Cx4<C> scale(const DDx4<C>& t, const Cx4<C>& z) noexcept {
  return {t * z.re, t * z.im};
}
template <bool C>
[[gnu::always_inline]] inline Cx4<C> times_i(const Cx4<C>& z) noexcept {
  return {-z.im, z.re};
}

/// A select mask of four lanes from their flags (sign bits set where true).
[[gnu::always_inline]] inline __m256d lane_mask(const bool (&flags)[4]) noexcept {
  return _mm256_setr_pd(flags[0] ? -0.0 : 0.0, flags[1] ? -0.0 : 0.0, flags[2] ? -0.0 : 0.0, flags[3] ? -0.0 : 0.0);
}

/// The lane type of each scalar and its loads and stores: four values read
/// from four addresses (a gather) or written to four. Checked chooses the
/// double-double lanes (see DDx4).
template <class T, bool Checked = true>
struct Lane;

template <bool Checked>
struct Lane<DoubleDouble, Checked> {
  using S = DDx4<Checked>;
  static constexpr std::size_t size = 4;

  static S splat(const DoubleDouble& v) noexcept { return {_mm256_set1_pd(v.hi), _mm256_set1_pd(v.lo)}; }
  static S abs(const S& v) noexcept { return lanes::abs(v); }
  static S gather(const DoubleDouble* const (&p)[4]) noexcept {
    // (hi, lo) pairs of lanes 0 and 2, 1 and 3, then split by unpacking.
    const __m256d v02 = _mm256_set_m128d(_mm_loadu_pd(&p[2]->hi), _mm_loadu_pd(&p[0]->hi));
    const __m256d v13 = _mm256_set_m128d(_mm_loadu_pd(&p[3]->hi), _mm_loadu_pd(&p[1]->hi));
    return {_mm256_unpacklo_pd(v02, v13), _mm256_unpackhi_pd(v02, v13)};
  }
  static complex::Complex<S> gather(const complex::Complex<DoubleDouble>* const (&p)[4]) noexcept {
    // Each complex is (re.hi, re.lo, im.hi, im.lo): four rows to transpose.
    F64x4 r[4] = {F64x4::load(&p[0]->re.hi), F64x4::load(&p[1]->re.hi), F64x4::load(&p[2]->re.hi),
                  F64x4::load(&p[3]->re.hi)};
    scalar::lanes::transpose(r);
    return {{r[0].v, r[1].v}, {r[2].v, r[3].v}};
  }
  static void scatter(const S& v, DoubleDouble* const (&p)[4], std::size_t count) noexcept {
    alignas(32) double h[4], l[4];
    _mm256_store_pd(h, v.hi);
    _mm256_store_pd(l, v.lo);
    for (std::size_t i = 0; i < count; ++i) *p[i] = {h[i], l[i]};
  }
  static void scatter(const complex::Complex<S>& v, complex::Complex<DoubleDouble>* const (&p)[4],
                      std::size_t count) noexcept {
    F64x4 r[4] = {{v.re.hi}, {v.re.lo}, {v.im.hi}, {v.im.lo}};
    scalar::lanes::transpose(r);
    for (std::size_t i = 0; i < count; ++i) r[i].store(&p[i]->re.hi);
  }
  /// a where the mask (all bits set per lane) holds, else b.
  static S select(__m256d mask, const S& a, const S& b) noexcept {
    return {_mm256_blendv_pd(b.hi, a.hi, mask), _mm256_blendv_pd(b.lo, a.lo, mask)};
  }
  using Mask = __m256d;
  /// The lanes whose flag is set, as a select mask.
  static Mask mask(const bool (&flags)[4]) noexcept { return lane_mask(flags); }
  static bool any(Mask m) noexcept { return _mm256_movemask_pd(m) != 0; }
  /// The lanes (bits 0..3) whose leading part is finite.
  static int finite(const S& v) noexcept { return _mm256_movemask_pd(finite_lanes(v.hi)); }

  // Two complex values in one register, lanes (a.re, b.re, a.im, b.im), and
  // two reals, lanes (x, y, x, y).
  static S pair(const complex::Complex<DoubleDouble>& a, const complex::Complex<DoubleDouble>& b) noexcept {
    const __m256d pa = _mm256_loadu_pd(&a.re.hi);
    const __m256d pb = _mm256_loadu_pd(&b.re.hi);
    return {_mm256_unpacklo_pd(pa, pb), _mm256_unpackhi_pd(pa, pb)};
  }
  static void unpair(const S& v, complex::Complex<DoubleDouble>& a, complex::Complex<DoubleDouble>& b) noexcept {
    _mm256_storeu_pd(&a.re.hi, _mm256_unpacklo_pd(v.hi, v.lo));
    _mm256_storeu_pd(&b.re.hi, _mm256_unpackhi_pd(v.hi, v.lo));
  }
  static S pair(const DoubleDouble& x, const DoubleDouble& y) noexcept {
    return {_mm256_setr_pd(x.hi, y.hi, x.hi, y.hi), _mm256_setr_pd(x.lo, y.lo, x.lo, y.lo)};
  }
  /// Lanes (2, 3, 0, 1).
  static S swap_halves(const S& v) noexcept {
    return {_mm256_permute2f128_pd(v.hi, v.hi, 1), _mm256_permute2f128_pd(v.lo, v.lo, 1)};
  }
  /// Lane i.
  static DoubleDouble at(const S& v, std::size_t i) noexcept {
    alignas(32) double h[4], l[4];
    _mm256_store_pd(h, v.hi);
    _mm256_store_pd(l, v.lo);
    return {h[i], l[i]};
  }
};

template <bool Checked>
struct Lane<double, Checked> {
  using S = F64x4;
  static constexpr std::size_t size = 4;

  static S splat(double v) noexcept { return F64x4::broadcast(v); }
  static S abs(const S& v) noexcept { return scalar::lanes::fabs(v); }
  static S gather(const double* const (&p)[4]) noexcept { return {_mm256_set_pd(*p[3], *p[2], *p[1], *p[0])}; }
  static complex::Complex<S> gather(const complex::Complex<double>* const (&p)[4]) noexcept {
    const __m256d v02 = _mm256_set_m128d(_mm_loadu_pd(&p[2]->re), _mm_loadu_pd(&p[0]->re));
    const __m256d v13 = _mm256_set_m128d(_mm_loadu_pd(&p[3]->re), _mm_loadu_pd(&p[1]->re));
    return {{_mm256_unpacklo_pd(v02, v13)}, {_mm256_unpackhi_pd(v02, v13)}};
  }
  static void scatter(const S& v, double* const (&p)[4], std::size_t count) noexcept {
    alignas(32) double h[4];
    v.store(h);
    for (std::size_t i = 0; i < count; ++i) *p[i] = h[i];
  }
  static void scatter(const complex::Complex<S>& v, complex::Complex<double>* const (&p)[4],
                      std::size_t count) noexcept {
    alignas(32) double re[4], im[4];
    v.re.store(re);
    v.im.store(im);
    for (std::size_t i = 0; i < count; ++i) *p[i] = {re[i], im[i]};
  }
  static S select(__m256d mask, const S& a, const S& b) noexcept { return {_mm256_blendv_pd(b.v, a.v, mask)}; }
  using Mask = __m256d;
  static Mask mask(const bool (&flags)[4]) noexcept { return lane_mask(flags); }
  static bool any(Mask m) noexcept { return _mm256_movemask_pd(m) != 0; }
  static int finite(const S&) noexcept { return 15; }
};

/// dst[i] = dst[i] + src[i] for n double-doubles, four at a time.
inline void add_arrays(DoubleDouble* dst, const DoubleDouble* src, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    // Lanes in the order 0, 2, 1, 3 for both operands, and back.
    double* d = &dst[i].hi;
    const double* r = &src[i].hi;
    const __m256d d0 = _mm256_loadu_pd(d), d1 = _mm256_loadu_pd(d + 4);
    const __m256d s0 = _mm256_loadu_pd(r), s1 = _mm256_loadu_pd(r + 4);
    const DD4 sum = DD4{_mm256_unpacklo_pd(d0, d1), _mm256_unpackhi_pd(d0, d1)} +
                    DD4{_mm256_unpacklo_pd(s0, s1), _mm256_unpackhi_pd(s0, s1)};
    _mm256_storeu_pd(d, _mm256_unpacklo_pd(sum.hi, sum.lo));
    _mm256_storeu_pd(d + 4, _mm256_unpackhi_pd(sum.hi, sum.lo));
  }
  for (; i < n; ++i) dst[i] = dst[i] + src[i];
}

}  // namespace vantok::tmatrix::kernel::detail::lanes

VANTOK_WIDEST_END
