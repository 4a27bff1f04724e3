// The derivative kernels for a spheroid eps = 2, x = 15, m = 1.5 + 0.02i at
// N = 30 with ngauss = 2N, every mode, on one thread (second argument 1) and
// on the whole pool (0): the mode kernel over Dual<double, 4> and over
// Dual<DoubleDouble, 4>, and the whole derivative solve without refinement
// (tol = inf) and with the "auto" tolerance of rtol = 1e-10. Counters: the
// ratio of the time to the f64 kernel's on the same threads (timed once
// before the runs), and the peak resident memory of the runs above the
// resident memory before them (VmHWM after resetting it through
// /proc/self/clear_refs, with freed heap returned by malloc_trim), in MB.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tmatrix/detail_derivative_f64_solve.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "vantok/pool.hpp"

namespace {

using namespace vantok::tmatrix::kernel;
using namespace vantok::tmatrix::derivative;
using vantok::Complex;
using vantok::scalar::DoubleDouble;

constexpr double X = 15.0;
constexpr double EPS = 2.0;
constexpr Complex<double> M{1.5, 0.02};

/// A field of /proc/self/status in kB (VmRSS, VmHWM), 0 when unreadable.
double status_kb(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1));
  }
  return 0.0;
}

/// Resets the peak resident set to the current one.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::vector<std::optional<std::size_t>> all_modes(std::size_t nmax) {
  return std::vector<std::optional<std::size_t>>(nmax + 1, std::size_t{0});
}

template <class F>
auto on_threads(bool one_thread, F&& f) {
  return one_thread ? vantok::pool::with_threads(1, f) : f();
}

/// Seconds of one f64 kernel run over every mode (the best of three).
double f64_seconds(std::size_t nmax, bool one_thread) {
  const auto sph = Axes<double>::create(X, EPS);
  const auto mask = all_modes(nmax);
  double best = 1e300;
  for (int i = 0; i < 3; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    auto r = on_threads(one_thread, [&] { return all_modes_masked(sph, nmax, 2 * nmax, mask, M.re, M.im); });
    benchmark::DoNotOptimize(r);
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

template <class F>
void timed(benchmark::State& st, F call) {
  const auto nmax = static_cast<std::size_t>(st.range(0));
  const bool one_thread = st.range(1) == 1;
  const double reference = f64_seconds(nmax, one_thread);
  malloc_trim(0);  // what earlier runs freed is not counted as resident
  const double rss = status_kb("VmRSS");
  reset_peak();
  double total = 0.0;
  for (auto _ : st) {
    const auto t0 = std::chrono::steady_clock::now();
    auto r = on_threads(one_thread, call);
    benchmark::DoNotOptimize(r);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  st.counters["vs_f64"] = total / static_cast<double>(st.iterations()) / reference;
  st.counters["peak_MB"] = (status_kb("VmHWM") - rss) / 1024.0;
}

void BM_TmatrixDual_KernelF64(benchmark::State& st) {
  const auto nmax = static_cast<std::size_t>(st.range(0));
  const auto v = [](double value, std::size_t slot) { return vantok::scalar::DualF64::variable(value, slot); };
  const auto sph = Axes<DualF64>::create(v(X, 0), v(EPS, 1));
  const Complex<DualF64> m{v(M.re, 2), v(M.im, 3)};
  const auto mask = all_modes(nmax);
  timed(st, [&] { return all_modes_masked(sph, m, nmax, 2 * nmax, mask); });
}

void BM_TmatrixDual_KernelDD(benchmark::State& st) {
  const auto nmax = static_cast<std::size_t>(st.range(0));
  const auto v = [](double value, std::size_t slot) { return DualDD::variable(DoubleDouble(value), slot); };
  const auto sph = Axes<DualDD>::create(v(X, 0), v(EPS, 1));
  const Complex<DualDD> m{v(M.re, 2), v(M.im, 3)};
  const auto mask = all_modes(nmax);
  timed(st, [&] { return all_modes_masked(sph, m, nmax, 2 * nmax, mask, nullptr); });
}

void solve(benchmark::State& st, double tol) {
  const auto nmax = static_cast<std::size_t>(st.range(0));
  std::size_t refined = 0;
  timed(st, [&] {
    auto r = tmatrix_derivatives({.x = X, .eps = EPS, .m = M}, {nmax, 2 * nmax, nmax}, tol);
    refined = 0;
    for (const auto& s : r->refine_sweeps) refined += (s[0] != 0) + (s[1] != 0);
    return r;
  });
  st.counters["refined_blocks"] = static_cast<double>(refined);
}

void BM_TmatrixDual_SolveUnrefined(benchmark::State& st) { solve(st, INFINITY); }
void BM_TmatrixDual_SolveAuto(benchmark::State& st) { solve(st, 1e-11); }

BENCHMARK(BM_TmatrixDual_KernelF64)
    ->ArgsProduct({{30}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TmatrixDual_KernelDD)
    ->ArgsProduct({{30}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK(BM_TmatrixDual_SolveUnrefined)
    ->ArgsProduct({{30}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TmatrixDual_SolveAuto)
    ->ArgsProduct({{30}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
