#pragma once
// Shared by the lane benchmarks: the lane widths to time (1 is one element at
// a time, by the scalar kernel; 4 only with AVX2), with and without
// derivatives, and the counters of time per element and per term.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

#include "vantok/scalar/lanes.hpp"

/// Arguments (width, derivatives) of every case.
inline void lane_widths(benchmark::internal::Benchmark* b) {
  for (const int derivatives : {0, 1}) {
    for (const int width : {1, 2, 4}) {
      if (width == 4 && !vantok::scalar::lanes::has_avx2()) continue;
      b->Args({width, derivatives});
    }
  }
}

/// Time per element (named `element`) and per term of the series, from the
/// elements and terms of one iteration.
inline void set_lane_counters(benchmark::State& st, const std::string& element, std::size_t elements,
                              std::size_t terms) {
  const double iterations = static_cast<double>(st.iterations());
  st.counters[element] = benchmark::Counter(static_cast<double>(elements) * iterations,
                                            benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  st.counters["term"] = benchmark::Counter(static_cast<double>(terms) * iterations,
                                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
