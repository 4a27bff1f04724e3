// EBCM block linear algebra: the f64 LU solve X = -B A^-1 and its
// double-double refinement, at block sizes n = 50, 100, 200 (and 250); and the
// per-node angular functions and series sums at N = 100 for each scalar.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "vantok/tmatrix/solve.hpp"

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

}  // namespace
