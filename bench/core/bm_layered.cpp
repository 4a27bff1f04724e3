// One layered-sphere solve to efficiencies, without and with derivatives (then
// also the efficiency Jacobian of every layer), for 2 and 10 layers of equal
// thickness and alternating index at outer size parameter x_L (the argument).
#include <benchmark/benchmark.h>

#include "bench_terms.hpp"

#include <vector>

#include "vantok/layered/layered.hpp"

namespace {

struct Particle {
  std::vector<double> xs;
  std::vector<vantok::Complex<double>> ms;
};

Particle particle(std::size_t layers, double x_outer) {
  Particle p;
  for (std::size_t l = 0; l < layers; ++l) {
    p.xs.push_back(x_outer * static_cast<double>(l + 1) / static_cast<double>(layers));
    p.ms.push_back(l % 2 == 0 ? vantok::Complex<double>{1.5, 0.01} : vantok::Complex<double>{1.33, 0.001});
  }
  return p;
}

void BM_Layered_Efficiencies(benchmark::State& st) {
  const Particle p = particle(static_cast<std::size_t>(st.range(0)), static_cast<double>(st.range(1)));
  vantok::layered::Layered solver;
  solve_efficiencies(st, [&] { return solver.solve({}, false, p.xs, p.ms); });
}

void BM_Layered_EfficienciesJacobians(benchmark::State& st) {
  const Particle p = particle(static_cast<std::size_t>(st.range(0)), static_cast<double>(st.range(1)));
  vantok::layered::Layered solver;
  solve_efficiencies(
      st, [&] { return solver.compute_with_derivatives({}, p.xs, p.ms); },
      [&](const auto& view) {
        for (std::size_t l = 0; l < p.xs.size(); ++l) {
          const auto jac = view.efficiencies_jacobian(solver.layer_derivatives(l));
          benchmark::DoNotOptimize(jac);
        }
      });
}

}  // namespace

BENCHMARK(BM_Layered_Efficiencies)->ArgsProduct({{2, 10}, {10, 100, 1000}});
BENCHMARK(BM_Layered_EfficienciesJacobians)->ArgsProduct({{2, 10}, {10, 100, 1000}});
