// Angular outputs of one solved sphere at x = 100 and 1000 (m = 1.5 + 0.01i):
// the phase matrix at 181 cosines by recurrence and from a prebuilt angular
// table, and the Greek coefficients up to order 2N with and without
// derivatives (the Gauss-Legendre rule, the phase matrix at its nodes and the
// Wigner projection).

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "vantok/mie/amplitudes.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/phase.hpp"

namespace {

using vantok::Complex;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;

const vantok::mie::kernel::State& solved(Mie& mie, double x, bool derivatives) {
  auto st = mie.solve(SolveOptions{}, derivatives, x, Complex<double>{1.5, 0.01});
  if (!st) std::abort();
  return **st;
}

std::vector<double> cosines() {
  std::vector<double> mu;
  for (int j = 0; j <= 180; ++j) mu.push_back(std::cos(j * 3.14159265358979323846 / 180.0));
  return mu;
}

void BM_MieAngular_PhaseMatrix(benchmark::State& state) {
  Mie mie;
  const auto c = solved(mie, static_cast<double>(state.range(0)), false).coefficients();
  const auto mu = cosines();
  std::vector<double> f11(mu.size()), f12(mu.size()), f33(mu.size()), f34(mu.size());
  for (auto _ : state) {
    auto r = c.phase_matrix(mu, true, {f11, f12, f33, f34});
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_MieAngular_PhaseMatrix)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_MieAngular_PhaseMatrixFromTable(benchmark::State& state) {
  Mie mie;
  const auto c = solved(mie, static_cast<double>(state.range(0)), false).coefficients();
  const auto mu = cosines();
  auto table = vantok::mie::amplitudes::AngularTable::create(mu, c.a.size());
  if (!table) std::abort();
  std::vector<double> f11(mu.size()), f12(mu.size()), f33(mu.size()), f34(mu.size());
  for (auto _ : state) {
    auto r = c.phase_matrix_from_table(*table, true, {f11, f12, f33, f34});
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_MieAngular_PhaseMatrixFromTable)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_MieAngular_Greek(benchmark::State& state) {
  Mie mie;
  const auto c = solved(mie, static_cast<double>(state.range(0)), false).coefficients();
  for (auto _ : state) {
    auto g = c.greek(2 * c.a.size(), true);
    benchmark::DoNotOptimize(g);
  }
}
BENCHMARK(BM_MieAngular_Greek)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_MieAngular_GreekWithDerivatives(benchmark::State& state) {
  Mie mie;
  const auto& st = solved(mie, static_cast<double>(state.range(0)), true);
  const auto c = st.coefficients();
  const auto d = st.coefficient_derivatives();
  for (auto _ : state) {
    auto g = c.greek_with_derivatives(2 * c.a.size(), d, true);
    benchmark::DoNotOptimize(g);
  }
}
BENCHMARK(BM_MieAngular_GreekWithDerivatives)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
