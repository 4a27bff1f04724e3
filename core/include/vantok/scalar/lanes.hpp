#pragma once
// Lanes of doubles for kernels that run one scalar sequence on several
// arguments at once. Every operation is the IEEE operation of each lane on its
// own (add, subtract, multiply, divide, sign flip, comparison), never fused
// (the build's -ffp-contract=off keeps separate multiply and add intrinsics
// apart) and never reassociated, so each lane yields exactly the bits of the
// scalar code it mirrors.
//
// F64x2 is SSE2, which every x86-64 processor has. F64x4 is the 256-bit form;
// its functions carry the "avx2" target, so code that uses it must itself be
// compiled for that target (between VANTOK_AVX2_BEGIN and VANTOK_AVX2_END, as
// a kernel included a second time) and may only run when has_avx2() holds.
//
// Kernels written over a lane type V also compile for V = double, with bool
// masks: there a branch taken on all(mask) or none(mask) is the scalar branch,
// and the lanes' selects between both sides never run. Comparisons give masks
// with the scalar operators' NaN rules (only != holds for a NaN operand), and
// select(mask, a, b) picks a where the mask holds. Complex<V> gets the
// arithmetic and the guarded reciprocal of complex.hpp, lane by lane (the
// overloads are written for each lane type inside its target region:
// complex.hpp's templates, defined outside it, would not inline there).

#include <cstddef>

#include <immintrin.h>

#include "vantok/complex.hpp"

/// The start and end of a region whose functions are compiled for the "avx2"
/// target, in each compiler's form.
#if defined(__clang__)
#define VANTOK_AVX2_BEGIN _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define VANTOK_AVX2_END _Pragma("clang attribute pop")
#else
#define VANTOK_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define VANTOK_AVX2_END _Pragma("GCC pop_options")
#endif

namespace vantok::scalar::lanes {

/// V with every lane a (load: lane i from p[i]); specialised for every lane
/// type inside its target region, and for double.
template <class V>
V splat(double a) noexcept;
template <class V>
V load(const double* p) noexcept;

/// Two lanes in an SSE2 register.
struct F64x2 {
  static constexpr std::size_t size = 2;
  __m128d v;

  static F64x2 load(const double* p) noexcept { return {_mm_loadu_pd(p)}; }
  static F64x2 broadcast(double a) noexcept { return {_mm_set1_pd(a)}; }
  void store(double* p) const noexcept { _mm_storeu_pd(p, v); }
};

inline F64x2 operator+(F64x2 a, F64x2 b) noexcept { return {_mm_add_pd(a.v, b.v)}; }
inline F64x2 operator-(F64x2 a, F64x2 b) noexcept { return {_mm_sub_pd(a.v, b.v)}; }
inline F64x2 operator*(F64x2 a, F64x2 b) noexcept { return {_mm_mul_pd(a.v, b.v)}; }
inline F64x2 operator/(F64x2 a, F64x2 b) noexcept { return {_mm_div_pd(a.v, b.v)}; }
/// a with its sign bits flipped where mask holds -0.0 (exact negation, 0 becomes -0).
inline F64x2 flip_sign(F64x2 a, F64x2 mask) noexcept { return {_mm_xor_pd(a.v, mask.v)}; }
inline F64x2 operator-(F64x2 a) noexcept { return {_mm_xor_pd(a.v, _mm_set1_pd(-0.0))}; }
inline F64x2 fabs(F64x2 a) noexcept { return {_mm_andnot_pd(_mm_set1_pd(-0.0), a.v)}; }

/// A lane mask: all bits set where the condition holds.
struct M64x2 {
  __m128d v;
};

inline M64x2 operator==(F64x2 a, F64x2 b) noexcept { return {_mm_cmpeq_pd(a.v, b.v)}; }
inline M64x2 operator!=(F64x2 a, F64x2 b) noexcept { return {_mm_cmpneq_pd(a.v, b.v)}; }
inline M64x2 operator<(F64x2 a, F64x2 b) noexcept { return {_mm_cmplt_pd(a.v, b.v)}; }
inline M64x2 operator<=(F64x2 a, F64x2 b) noexcept { return {_mm_cmple_pd(a.v, b.v)}; }
inline M64x2 operator>(F64x2 a, F64x2 b) noexcept { return {_mm_cmpgt_pd(a.v, b.v)}; }
inline M64x2 operator>=(F64x2 a, F64x2 b) noexcept { return {_mm_cmpge_pd(a.v, b.v)}; }
inline M64x2 operator&&(M64x2 a, M64x2 b) noexcept { return {_mm_and_pd(a.v, b.v)}; }
inline M64x2 operator||(M64x2 a, M64x2 b) noexcept { return {_mm_or_pd(a.v, b.v)}; }
inline M64x2 operator!(M64x2 a) noexcept { return {_mm_xor_pd(a.v, _mm_castsi128_pd(_mm_set1_epi32(-1)))}; }
inline bool any(M64x2 m) noexcept { return _mm_movemask_pd(m.v) != 0; }
inline bool all(M64x2 m) noexcept { return _mm_movemask_pd(m.v) == 3; }
inline bool none(M64x2 m) noexcept { return _mm_movemask_pd(m.v) == 0; }
/// Lane i of the mask.
inline bool lane(M64x2 m, std::size_t i) noexcept { return ((_mm_movemask_pd(m.v) >> i) & 1) != 0; }
/// a where m holds, else b (SSE2 has no blend: by the bits).
inline F64x2 select(M64x2 m, F64x2 a, F64x2 b) noexcept {
  return {_mm_or_pd(_mm_and_pd(m.v, a.v), _mm_andnot_pd(m.v, b.v))};
}
template <>
inline F64x2 splat<F64x2>(double a) noexcept { return F64x2::broadcast(a); }
template <>
inline F64x2 load<F64x2>(const double* p) noexcept { return F64x2::load(p); }
inline void store(F64x2 v, double* p) noexcept { v.store(p); }

#define VANTOK_LANE F64x2
#define VANTOK_LANE_MASK M64x2
#include "vantok/scalar/lanes_complex.inc"
#undef VANTOK_LANE_MASK
#undef VANTOK_LANE

/// Transposes a square of lanes: on entry r[i] holds row i, on return r[j]
/// holds column j (lane i of r[j] is lane j of the old r[i]).
inline void transpose(F64x2 (&r)[2]) noexcept {
  const __m128d lo = _mm_unpacklo_pd(r[0].v, r[1].v);
  const __m128d hi = _mm_unpackhi_pd(r[0].v, r[1].v);
  r[0].v = lo;
  r[1].v = hi;
}

// (Operators are defined outside the class: GCC 12 does not give friend
// functions defined in a class the target of the enclosing region.)
VANTOK_AVX2_BEGIN

/// Four lanes in an AVX register; only for code compiled for the "avx2" target.
/// The alignment is stated: outside an AVX target GCC gives __m256d only 16,
/// and the allocations of vectors of lanes are made there.
///
/// The constructors are written out (zero, or the register) so that they are
/// functions of this region: value-initialisation of a trivial F64x4 inside
/// the standard library's templates (a std::vector<F64x4> of n zeros), which
/// are compiled without the target, stops GCC 12 with an internal error at -O0.
struct alignas(32) F64x4 {
  static constexpr std::size_t size = 4;
  __m256d v;

  F64x4() noexcept : v(_mm256_setzero_pd()) {}
  F64x4(__m256d x) noexcept : v(x) {}

  static F64x4 load(const double* p) noexcept { return {_mm256_loadu_pd(p)}; }
  static F64x4 broadcast(double a) noexcept { return {_mm256_set1_pd(a)}; }
  void store(double* p) const noexcept { _mm256_storeu_pd(p, v); }
};

inline F64x4 operator+(F64x4 a, F64x4 b) noexcept { return {_mm256_add_pd(a.v, b.v)}; }
inline F64x4 operator-(F64x4 a, F64x4 b) noexcept { return {_mm256_sub_pd(a.v, b.v)}; }
inline F64x4 operator*(F64x4 a, F64x4 b) noexcept { return {_mm256_mul_pd(a.v, b.v)}; }
inline F64x4 operator/(F64x4 a, F64x4 b) noexcept { return {_mm256_div_pd(a.v, b.v)}; }
inline F64x4 flip_sign(F64x4 a, F64x4 mask) noexcept { return {_mm256_xor_pd(a.v, mask.v)}; }
inline F64x4 operator-(F64x4 a) noexcept { return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
inline F64x4 fabs(F64x4 a) noexcept { return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)}; }

struct alignas(32) M64x4 {
  __m256d v;
};

inline M64x4 operator==(F64x4 a, F64x4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
inline M64x4 operator!=(F64x4 a, F64x4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)}; }
inline M64x4 operator<(F64x4 a, F64x4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
inline M64x4 operator<=(F64x4 a, F64x4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
inline M64x4 operator>(F64x4 a, F64x4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
inline M64x4 operator>=(F64x4 a, F64x4 b) noexcept { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
inline M64x4 operator&&(M64x4 a, M64x4 b) noexcept { return {_mm256_and_pd(a.v, b.v)}; }
inline M64x4 operator||(M64x4 a, M64x4 b) noexcept { return {_mm256_or_pd(a.v, b.v)}; }
inline M64x4 operator!(M64x4 a) noexcept { return {_mm256_xor_pd(a.v, _mm256_castsi256_pd(_mm256_set1_epi32(-1)))}; }
inline bool any(M64x4 m) noexcept { return _mm256_movemask_pd(m.v) != 0; }
inline bool all(M64x4 m) noexcept { return _mm256_movemask_pd(m.v) == 15; }
inline bool none(M64x4 m) noexcept { return _mm256_movemask_pd(m.v) == 0; }
inline bool lane(M64x4 m, std::size_t i) noexcept { return ((_mm256_movemask_pd(m.v) >> i) & 1) != 0; }
inline F64x4 select(M64x4 m, F64x4 a, F64x4 b) noexcept { return {_mm256_blendv_pd(b.v, a.v, m.v)}; }
template <>
inline F64x4 splat<F64x4>(double a) noexcept { return F64x4::broadcast(a); }
template <>
inline F64x4 load<F64x4>(const double* p) noexcept { return F64x4::load(p); }
inline void store(F64x4 v, double* p) noexcept { v.store(p); }

#define VANTOK_LANE F64x4
#define VANTOK_LANE_MASK M64x4
#include "vantok/scalar/lanes_complex.inc"
#undef VANTOK_LANE_MASK
#undef VANTOK_LANE

inline void transpose(F64x4 (&r)[4]) noexcept {
  // Pairs within each 128-bit half, then the halves.
  const __m256d t0 = _mm256_unpacklo_pd(r[0].v, r[1].v);
  const __m256d t1 = _mm256_unpackhi_pd(r[0].v, r[1].v);
  const __m256d t2 = _mm256_unpacklo_pd(r[2].v, r[3].v);
  const __m256d t3 = _mm256_unpackhi_pd(r[2].v, r[3].v);
  r[0].v = _mm256_permute2f128_pd(t0, t2, 0x20);
  r[1].v = _mm256_permute2f128_pd(t1, t3, 0x20);
  r[2].v = _mm256_permute2f128_pd(t0, t2, 0x31);
  r[3].v = _mm256_permute2f128_pd(t1, t3, 0x31);
}

VANTOK_AVX2_END

// The one-lane case: a plain double with bool masks, so that a kernel written
// over lanes is also the scalar code.
inline bool any(bool m) noexcept { return m; }
inline bool all(bool m) noexcept { return m; }
inline bool none(bool m) noexcept { return !m; }
inline bool lane(bool m, std::size_t) noexcept { return m; }
inline double select(bool m, double a, double b) noexcept { return m ? a : b; }
template <>
inline double splat<double>(double a) noexcept { return a; }
template <>
inline double load<double>(const double* p) noexcept { return *p; }
inline void store(double v, double* p) noexcept { *p = v; }
inline complex::Complex<double> select(bool m, const complex::Complex<double>& a,
                                       const complex::Complex<double>& b) noexcept {
  return m ? a : b;
}

/// The mask type and lane count of a lane type (double included).
template <class V>
struct Traits;
template <>
struct Traits<double> {
  using Mask = bool;
  static constexpr std::size_t size = 1;
};
template <>
struct Traits<F64x2> {
  using Mask = M64x2;
  static constexpr std::size_t size = 2;
};
template <>
struct Traits<F64x4> {
  using Mask = M64x4;
  static constexpr std::size_t size = 4;
};

/// True when the processor and the operating system support AVX2 (the
/// register state included), as the start-up processor check found.
inline bool has_avx2() noexcept { return __builtin_cpu_supports("avx2") != 0; }

/// The lanes a kernel runs in: the widest this processor offers, or one width
/// (tests run both; the bits are the same).
enum class Width { Widest, Two, Four };

/// Two or Four: Widest resolved for this processor (Four must be available).
inline Width resolve(Width width) noexcept {
  if (width == Width::Widest) return has_avx2() ? Width::Four : Width::Two;
  return width;
}

}  // namespace vantok::scalar::lanes
