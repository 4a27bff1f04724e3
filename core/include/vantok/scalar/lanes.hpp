#pragma once
// Lanes of doubles for kernels that run one scalar sequence on several
// arguments at once. Every operation is the IEEE operation of each lane on its
// own (add, subtract, multiply, divide, square root, sign flip), never fused
// (the build's -ffp-contract=off keeps separate multiply and add intrinsics
// apart) and never reassociated, so each lane yields exactly the bits of the
// scalar code it mirrors.
//
// F64x2 is SSE2, which every x86-64 processor has. F64x4 is the 256-bit form;
// its functions carry the "avx2" target, so code that uses it must itself be
// compiled for that target (between VANTOK_AVX2_BEGIN and VANTOK_AVX2_END, as
// a kernel included a second time) and may only run when has_avx2() holds.

#include <cstddef>

#include <immintrin.h>

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
struct F64x4 {
  static constexpr std::size_t size = 4;
  __m256d v;

  static F64x4 load(const double* p) noexcept { return {_mm256_loadu_pd(p)}; }
  static F64x4 broadcast(double a) noexcept { return {_mm256_set1_pd(a)}; }
  void store(double* p) const noexcept { _mm256_storeu_pd(p, v); }
};

inline F64x4 operator+(F64x4 a, F64x4 b) noexcept { return {_mm256_add_pd(a.v, b.v)}; }
inline F64x4 operator-(F64x4 a, F64x4 b) noexcept { return {_mm256_sub_pd(a.v, b.v)}; }
inline F64x4 operator*(F64x4 a, F64x4 b) noexcept { return {_mm256_mul_pd(a.v, b.v)}; }
inline F64x4 operator/(F64x4 a, F64x4 b) noexcept { return {_mm256_div_pd(a.v, b.v)}; }
inline F64x4 flip_sign(F64x4 a, F64x4 mask) noexcept { return {_mm256_xor_pd(a.v, mask.v)}; }

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
