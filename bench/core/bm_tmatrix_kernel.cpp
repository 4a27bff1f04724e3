// The EBCM mode kernel for a spheroid eps = 2, x = 15, m = 1.5 + 0.02i at
// N = 30 and 50 with ngauss = 2N: every mode and mode 0 alone, on one thread
// (the second argument 1) and on the whole pool (0). Counters: the time per
// quadrature node and per element-node (one matrix element at one node).

#include <benchmark/benchmark.h>

#include <optional>
#include <vector>

#include "vantok/pool.hpp"
#include "vantok/tmatrix/kernel.hpp"

namespace {

using namespace vantok::tmatrix::kernel;
using vantok::scalar::DoubleDouble;

constexpr double X = 15.0;
constexpr double EPS = 2.0;

std::vector<std::optional<std::size_t>> mask_upto(std::size_t nmax, std::size_t m_max) {
  std::vector<std::optional<std::size_t>> mask(nmax + 1);
  for (std::size_t m = 0; m <= m_max; ++m) mask[m] = 0;
  return mask;
}

/// Matrix elements of the modes up to m_max: 2 k^2 per mode, k = nmax - max(m, 1) + 1.
double elements(std::size_t nmax, std::size_t m_max) {
  double e = 0.0;
  for (std::size_t m = 0; m <= m_max; ++m) {
    const double k = static_cast<double>(nmax - (m > 0 ? m : 1) + 1);
    e += 2.0 * k * k;
  }
  return e;
}

template <class F>
void timed(benchmark::State& st, std::size_t nmax, std::size_t m_max, std::size_t ngauss, F call) {
  const bool one_thread = st.range(1) == 1;
  for (auto _ : st) {
    auto r = one_thread ? vantok::pool::with_threads(1, call) : call();
    benchmark::DoNotOptimize(r);
  }
  const double nodes = static_cast<double>(ngauss) * static_cast<double>(st.iterations());
  st.counters["node"] = benchmark::Counter(nodes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  st.counters["element"] = benchmark::Counter(nodes * elements(nmax, m_max),
                                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void f64_kernel(benchmark::State& st, std::size_t m_max_of_n) {
  const auto nmax = static_cast<std::size_t>(st.range(0));
  const std::size_t m_max = m_max_of_n == 0 ? 0 : nmax;
  const std::size_t ngauss = 2 * nmax;
  const auto mask = mask_upto(nmax, m_max);
  const auto sph = Spheroid<double>::create(X, EPS);
  timed(st, nmax, m_max, ngauss, [&] { return all_modes_masked(sph, nmax, ngauss, mask, 1.5, 0.02); });
}

void BM_TmatrixKernel_F64_AllModes(benchmark::State& st) { f64_kernel(st, 1); }
void BM_TmatrixKernel_F64_Mode0(benchmark::State& st) { f64_kernel(st, 0); }

BENCHMARK(BM_TmatrixKernel_F64_AllModes)
    ->ArgsProduct({{30, 50}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TmatrixKernel_F64_Mode0)
    ->ArgsProduct({{30, 50}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
