// EBCM block linear algebra: the f64 LU solve X = -B A^-1 and its
// double-double refinement, at block sizes n = 50, 100, 200 (and 250); and the
// per-node angular functions and series sums at N = 100 for each scalar.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <span>
#include <random>
#include <vector>

#include "tmatrix/detail_error_estimate.hpp"
#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_refine.hpp"
#include "tmatrix/detail_series_tails.hpp"

namespace {

using vantok::Complex;
using namespace vantok::tmatrix;

std::vector<Complex<double>> random_block(std::size_t n, std::uint64_t seed, double diag) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Complex<double>> m(n * n);
  for (auto& z : m) z = {u(gen), u(gen)};
  for (std::size_t i = 0; i < n; ++i) m[i * n + i].re += diag;
  return m;
}

void BM_TmatrixSolve_F64(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto a = random_block(n, 1, 4.0);
  const auto b = random_block(n, 2, 0.0);
  for (auto _ : state) {
    auto r = solve::solve_f64(a, b, n);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_TmatrixSolve_F64)->Arg(50)->Arg(100)->Arg(200)->Arg(250)->Unit(benchmark::kMillisecond);

// All rows recomputed in double-double (lo parts of 2^-60 relative), so
// that the refinement has real work in every sweep.
void BM_TmatrixSolve_Refine(benchmark::State& state) {
  using vantok::scalar::DoubleDouble;
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto a = random_block(n, 1, 4.0);
  const auto b = random_block(n, 2, 0.0);
  std::vector<Complex<DoubleDouble>> add(n * n), bdd(n * n);
  for (std::size_t e = 0; e < n * n; ++e) {
    add[e] = {{a[e].re, a[e].re * 0x1p-60}, {a[e].im, 0.0}};
    bdd[e] = {{b[e].re, 0.0}, {b[e].im, b[e].im * 0x1p-60}};
  }
  const std::unique_ptr<bool[]> flags(new bool[n]);
  for (std::size_t i = 0; i < n; ++i) flags[i] = true;
  std::vector<double> ls(n);
  for (std::size_t i = 0; i < n; ++i) ls[i] = 0.01 * static_cast<double>(i);
  std::size_t sweeps = 0;
  for (auto _ : state) {
    auto r = solve::refine(a, b, add, bdd, std::span<const bool>(flags.get(), n), ls, n);
    sweeps = r->sweeps;
    benchmark::DoNotOptimize(r);
  }
  state.counters["sweeps"] = static_cast<double>(sweeps);
}
BENCHMARK(BM_TmatrixSolve_Refine)->Arg(50)->Arg(100)->Arg(200)->Arg(250)->Unit(benchmark::kMillisecond);

void BM_TmatrixSolve_ErrorEstimate(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto a = random_block(n, 1, 4.0);
  const auto b = random_block(n, 2, 0.0);
  const auto f = solve::solve_f64(a, b, n);
  const std::vector<double> d(n * n, 1e-15), ls(n, 0.0);
  for (auto _ : state) {
    auto r = solve::error_estimate_rows(*f, f->solution, d, d, ls, n);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_TmatrixSolve_ErrorEstimate)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);

template <class T>
void BM_TmatrixFunctions_Angular(benchmark::State& state) {
  const auto n_max = static_cast<std::size_t>(state.range(0));
  const T c = vantok::scalar::constant<T>(0.6), s = vantok::scalar::constant<T>(0.8);
  functions::Angular<T> ang;
  for (auto _ : state) {
    for (std::size_t m = 0; m <= 10; ++m) ang.compute(m, n_max, c, s);
    benchmark::DoNotOptimize(ang.tau_mn.data());
  }
}
BENCHMARK_TEMPLATE(BM_TmatrixFunctions_Angular, double)->Arg(100);
BENCHMARK_TEMPLATE(BM_TmatrixFunctions_Angular, vantok::scalar::DoubleDouble)->Arg(100);
BENCHMARK_TEMPLATE(BM_TmatrixFunctions_Angular, vantok::scalar::DualF64)->Arg(100);
BENCHMARK_TEMPLATE(BM_TmatrixFunctions_Angular, vantok::scalar::DualDD)->Arg(100);

// One node's worth of series work at N orders: three suffix and three sums
// calls per order of 12-term series, then a tail per (r, n) pair.
template <class T>
void BM_TmatrixRegular_Sums(benchmark::State& state) {
  const auto orders = static_cast<std::size_t>(state.range(0));
  std::vector<T> alpha(12);
  std::vector<Complex<T>> beta(12);
  for (std::size_t k = 0; k < 12; ++k) {
    alpha[k] = vantok::scalar::constant<T>(1.0 / static_cast<double>(k + 1));
    beta[k] = {vantok::scalar::constant<T>(0.5 / static_cast<double>(k + 1)), vantok::scalar::constant<T>(0.25)};
  }
  const T c = vantok::scalar::constant<T>(1.5);
  const Complex<T> v{c, c};
  for (auto _ : state) {
    std::vector<regular::SuffixSums<T>> sx;
    std::vector<regular::JTerms<T>> js;
    for (std::size_t r = 0; r < orders; ++r) {
      for (int k = 0; k < 3; ++k) {
        sx.push_back(regular::suffix<T>(alpha, alpha.size()));
        js.push_back(regular::sums<T>(static_cast<std::int64_t>(r), beta));
      }
    }
    for (std::size_t r = 1; r < orders; ++r) {
      const auto w = regular::tail<T>(js[3 * r], -1 - static_cast<std::int64_t>(r), 2, alpha, c, sx[3 * r],
                                      static_cast<std::int64_t>(r % 7), v);
      benchmark::DoNotOptimize(w);
    }
  }
}
BENCHMARK_TEMPLATE(BM_TmatrixRegular_Sums, double)->Arg(100);
BENCHMARK_TEMPLATE(BM_TmatrixRegular_Sums, vantok::scalar::DoubleDouble)->Arg(100);
BENCHMARK_TEMPLATE(BM_TmatrixRegular_Sums, vantok::scalar::DualF64)->Arg(100);
BENCHMARK_TEMPLATE(BM_TmatrixRegular_Sums, vantok::scalar::DualDD)->Arg(100);

}  // namespace
