#pragma once
// The loop shared by the sphere-solve benchmarks: one solve and its
// efficiencies per iteration, then the term count N of the series and the
// time per term as counters.
#include <benchmark/benchmark.h>

#include <cstddef>

inline void set_term_counters(benchmark::State& st, std::size_t terms) {
  st.counters["N"] = static_cast<double>(terms);
  st.counters["terms"] =
      benchmark::Counter(static_cast<double>(terms) * static_cast<double>(st.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

/// Times solve() (a Result of the solved State) with the efficiencies of the
/// solution, and then whatever more(coefficients) computes from it.
template <class Solve, class More>
void solve_efficiencies(benchmark::State& st, Solve solve, More more) {
  std::size_t terms = 0;
  for (auto _ : st) {
    auto r = solve();
    const auto view = (*r)->coefficients();
    const auto q = view.efficiencies();
    benchmark::DoNotOptimize(q);
    more(view);
    terms = (*r)->a.size();
  }
  set_term_counters(st, terms);
}

/// The same with the efficiencies alone.
template <class Solve>
void solve_efficiencies(benchmark::State& st, Solve solve) {
  solve_efficiencies(st, solve, [](const auto&) {});
}
