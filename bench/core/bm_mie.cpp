// One homogeneous-sphere solve to efficiencies, without and with derivatives
// (then also the Jacobian), at m = 1.5 + 0.01i. Arguments are x; the
// "terms" rate gives the time per term of the series.
#include <benchmark/benchmark.h>

#include "bench_terms.hpp"

#include "vantok/mie/mie.hpp"

namespace {

constexpr vantok::Complex<double> M{1.5, 0.01};

void BM_Mie_Efficiencies(benchmark::State& st) {
  const double x = static_cast<double>(st.range(0));
  vantok::mie::Mie mie;
  solve_efficiencies(st, [&] { return mie.solve({}, false, x, M); });
}

void BM_Mie_EfficienciesJacobian(benchmark::State& st) {
  const double x = static_cast<double>(st.range(0));
  vantok::mie::Mie mie;
  solve_efficiencies(
      st, [&] { return mie.compute_with_derivatives({}, x, M); },
      [&](const auto& view) {
        const auto jac = view.efficiencies_jacobian(mie.state().coefficient_derivatives());
        benchmark::DoNotOptimize(jac);
      });
}

}  // namespace

BENCHMARK(BM_Mie_Efficiencies)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_Mie_EfficienciesJacobian)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
