#pragma once
// The widest instructions the mode kernels use: AVX2 with FMA. Code between
// VANTOK_WIDEST_BEGIN and VANTOK_WIDEST_END is compiled for them, and may only
// run where widest_available() holds.
//
// Inside the region std::fma is the processor's instruction, correctly
// rounded like the C library's, so the double-double arithmetic gives the same
// bits, only faster. GCC's vectorizers, however, fuse complex products into
// fused multiply-adds even under -ffp-contract=off once FMA is enabled, so the
// region also turns them off: no operation other than std::fma (and the lane
// fma written out in detail_dd_lanes.hpp) becomes a fused one.

#if defined(__clang__)
#define VANTOK_WIDEST_BEGIN \
  _Pragma("clang attribute push(__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define VANTOK_WIDEST_END _Pragma("clang attribute pop")
#else
#define VANTOK_WIDEST_BEGIN                                                          \
  _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")")                    \
      _Pragma("GCC optimize(\"no-tree-vectorize\")")
#define VANTOK_WIDEST_END _Pragma("GCC pop_options")
#endif

// The double-double element loops also run eight lanes wide where the
// processor has AVX-512 (F and DQ): the same code compiled a third time in a
// region of its own, with the same rules.
#if defined(__clang__)
#define VANTOK_WIDEST512_BEGIN                                                                      \
  _Pragma("clang attribute push(__attribute__((target(\"avx2,fma,avx512f,avx512dq\"))), apply_to = function)")
#define VANTOK_WIDEST512_END _Pragma("clang attribute pop")
#else
#define VANTOK_WIDEST512_BEGIN                                                       \
  _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma,avx512f,avx512dq\")")   \
      _Pragma("GCC optimize(\"no-tree-vectorize\")")
#define VANTOK_WIDEST512_END _Pragma("GCC pop_options")
#endif

#include <atomic>

namespace vantok::tmatrix::kernel::detail {

/// Set by tests to run the baseline code where the widest would run; both
/// give the same bits.
inline std::atomic<bool> widest_off{false};

/// Set by tests to have every result of the lane loops formed again by the
/// scalar code, as lane results that are not finite are.
inline std::atomic<bool> lanes_redo_all{false};

/// True when the processor (and the operating system) support AVX2 and FMA,
/// unless a test turned the widest code off.
inline bool widest_available() noexcept {
  static const bool available = __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
  return available && !widest_off.load(std::memory_order_relaxed);
}

/// Set by tests to run the four-lane element loops where the eight-lane ones
/// would run; both give the same bits.
inline std::atomic<bool> widest512_off{false};

/// widest_available() and AVX-512 F and DQ besides, unless a test turned the
/// eight-lane code off.
inline bool widest512_available() noexcept {
  static const bool available = __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0;
  return available && widest_available() && !widest512_off.load(std::memory_order_relaxed);
}

}  // namespace vantok::tmatrix::kernel::detail
