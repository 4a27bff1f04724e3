// Cost of the extended scalars relative to double: double-double arithmetic
// and functions, and the dual product over f64 and double-double. Each
// benchmark runs a dependent chain over an array so that latency and
// throughput both show.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <vector>

#include "vantok/scalar/scalars.hpp"

using namespace vantok::scalar;

namespace {

using DD = DoubleDouble;
constexpr std::size_t LEN = 1024;

std::vector<double> doubles(double lo, double hi) {
  std::mt19937_64 gen(1);
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<double> v(LEN);
  for (double& x : v) x = u(gen);
  return v;
}

std::vector<DD> dds(double lo, double hi) {
  std::vector<DD> v;
  for (const double x : doubles(lo, hi)) v.push_back(DD{x, 0.0} + x * 0x1p-60);
  return v;
}

template <class T>
std::vector<T> duals(double lo, double hi) {
  std::vector<T> v;
  for (const double x : doubles(lo, hi)) {
    T d = constant<T>(x);
    for (std::size_t i = 0; i < 4; ++i) d.partials[i] = ScalarTraits<T>::value(constant<T>(x * (i + 1)));
    v.push_back(d);
  }
  return v;
}

template <class T, class Op>
void run_binary(benchmark::State& state, const std::vector<T>& a, const std::vector<T>& b, Op op) {
  std::vector<T> out(LEN);
  for (auto _ : state) {
    for (std::size_t i = 0; i < LEN; ++i) out[i] = op(a[i], b[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * LEN));
}

template <class T, class Op>
void run_unary(benchmark::State& state, const std::vector<T>& a, Op op) {
  std::vector<T> out(LEN);
  for (auto _ : state) {
    for (std::size_t i = 0; i < LEN; ++i) out[i] = op(a[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * LEN));
}

void BM_Scalar_F64Mul(benchmark::State& s) {
  run_binary(s, doubles(0.5, 2), doubles(0.5, 2), [](double x, double y) { return x * y; });
}
void BM_Scalar_F64Div(benchmark::State& s) {
  run_binary(s, doubles(0.5, 2), doubles(0.5, 2), [](double x, double y) { return x / y; });
}
void BM_Scalar_DDAdd(benchmark::State& s) {
  run_binary(s, dds(-2, 2), dds(-2, 2), [](DD x, DD y) { return x + y; });
}
void BM_Scalar_DDMul(benchmark::State& s) {
  run_binary(s, dds(0.5, 2), dds(0.5, 2), [](DD x, DD y) { return x * y; });
}
void BM_Scalar_DDDiv(benchmark::State& s) {
  run_binary(s, dds(0.5, 2), dds(0.5, 2), [](DD x, DD y) { return DD::div_dd(x, y); });
}
void BM_Scalar_DDSqrt(benchmark::State& s) {
  run_unary(s, dds(0.5, 2), [](DD x) { return DD::sqrt(x); });
}
void BM_Scalar_DDExp(benchmark::State& s) {
  run_unary(s, dds(-20, 20), [](DD x) { return DD::exp(x); });
}
void BM_Scalar_DDSinCos(benchmark::State& s) {
  run_unary(s, dds(-20, 20), [](DD x) {
    const auto [sn, cs] = DD::sin_cos(x);
    return sn + cs;
  });
}
void BM_Scalar_DualF64Mul(benchmark::State& s) {
  run_binary(s, duals<DualF64>(0.5, 2), duals<DualF64>(0.5, 2), [](const DualF64& x, const DualF64& y) { return x * y; });
}
void BM_Scalar_DualF64Div(benchmark::State& s) {
  run_binary(s, duals<DualF64>(0.5, 2), duals<DualF64>(0.5, 2), [](const DualF64& x, const DualF64& y) { return x / y; });
}
void BM_Scalar_DualDDMul(benchmark::State& s) {
  run_binary(s, duals<DualDD>(0.5, 2), duals<DualDD>(0.5, 2), [](const DualDD& x, const DualDD& y) { return x * y; });
}

}  // namespace

BENCHMARK(BM_Scalar_F64Mul);
BENCHMARK(BM_Scalar_F64Div);
BENCHMARK(BM_Scalar_DDAdd);
BENCHMARK(BM_Scalar_DDMul);
BENCHMARK(BM_Scalar_DDDiv);
BENCHMARK(BM_Scalar_DDSqrt);
BENCHMARK(BM_Scalar_DDExp);
BENCHMARK(BM_Scalar_DDSinCos);
BENCHMARK(BM_Scalar_DualF64Mul);
BENCHMARK(BM_Scalar_DualF64Div);
BENCHMARK(BM_Scalar_DualDDMul);
