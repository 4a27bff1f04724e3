// Special functions: Gauss-Legendre rules on both paths (n = 100 is the
// largest Newton rule, 1000 and 131072 the asymptotic one, which should scale
// linearly) and Wigner d to l_max = 1000 on each recurrence, in plain and in
// extended range, over double and dual numbers.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "vantok/special/clebsch.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner.hpp"

namespace {

using vantok::scalar::DualF64;
namespace gl = vantok::special::gauss_legendre;
namespace wigner = vantok::special::wigner;

void BM_Special_GaussLegendre(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    auto rule = gl::gauss_legendre<double>(n);
    benchmark::DoNotOptimize(rule);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Special_GaussLegendre)->Arg(100)->Arg(1000)->Arg(131072)->Unit(benchmark::kMicrosecond);

// (m, n, x) picks the recurrence: (0, 0, 0.5) Difference, (2, -2, 0.3)
// ThreeTerm, (0, 2, 0.95) GeneralDifference, (0, 400, 0.9999) extended range.
template <class T>
void wigner_case(benchmark::State& state, std::int32_t m, std::int32_t n, double x) {
  const auto len = static_cast<std::size_t>(state.range(0)) + 1;
  std::vector<T> out(len);
  T arg = vantok::scalar::constant<T>(x);
  if constexpr (!std::is_same_v<T, double>) arg = T::variable(x, 0);
  for (auto _ : state) {
    auto r = wigner::wigner_d<T>(m, n, arg, out);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Special_WignerD_Difference(benchmark::State& s) { wigner_case<double>(s, 0, 0, 0.5); }
void BM_Special_WignerD_ThreeTerm(benchmark::State& s) { wigner_case<double>(s, 2, -2, 0.3); }
void BM_Special_WignerD_GeneralDifference(benchmark::State& s) { wigner_case<double>(s, 0, 2, 0.95); }
void BM_Special_WignerD_Extended(benchmark::State& s) { wigner_case<double>(s, 0, 400, 0.9999); }
void BM_Special_WignerD_Dual(benchmark::State& s) { wigner_case<DualF64>(s, 2, -2, 0.3); }
BENCHMARK(BM_Special_WignerD_Difference)->Arg(1000);
BENCHMARK(BM_Special_WignerD_ThreeTerm)->Arg(1000);
BENCHMARK(BM_Special_WignerD_GeneralDifference)->Arg(1000);
BENCHMARK(BM_Special_WignerD_Extended)->Arg(1000)->Arg(4000);
BENCHMARK(BM_Special_WignerD_Dual)->Arg(1000);

void BM_Special_ClebschGordan(benchmark::State& state) {
  const std::int64_t l = state.range(0);
  std::vector<double> out;
  for (auto _ : state) {
    auto l_min = vantok::special::clebsch::clebsch_gordan<double>(l, 3, l, -1, out);
    benchmark::DoNotOptimize(l_min);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(out.size()));
}
BENCHMARK(BM_Special_ClebschGordan)->Arg(50)->Arg(500);

}  // namespace
