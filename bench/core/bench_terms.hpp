#pragma once
// Counters shared by the sphere benchmarks: the term count N of the series and
// the time per term.
#include <benchmark/benchmark.h>

#include <cstddef>

inline void set_term_counters(benchmark::State& st, std::size_t terms) {
  st.counters["N"] = static_cast<double>(terms);
  st.counters["terms"] =
      benchmark::Counter(static_cast<double>(terms) * static_cast<double>(st.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
