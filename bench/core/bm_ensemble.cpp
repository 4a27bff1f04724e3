// Ensemble engine: the first pass of one wavelength for a lognormal number
// distribution of spheres (median radius 0.1 µm, σ_g = 2, λ = 0.55 µm,
// m = 1.53 + 0.008i) at rtol 1e-6, in arenas of 1, 2 and all threads (0 stands
// for the pool's size); and the size-distribution work done once per call
// (density, cutoffs, moments).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "vantok/ensemble/engine.hpp"
#include "vantok/ensemble/range.hpp"
#include "vantok/pool.hpp"

namespace {

using namespace vantok::ensemble;

const std::vector<Component>& lognormal_spheres() {
  static const std::vector<Component> components = {
      {Particle{Sphere{{{1.53, 0.008}}}}, SizeDistribution{Lognormal{0.1, 2.0}}, 1.0}};
  return components;
}

void BM_Ensemble_Pass1(benchmark::State& st) {
  const double rtol = 1e-6;
  const auto& components = lognormal_spheres();
  const auto parts = engine::parts(components, {}, rtol);
  EnsembleOptions options;
  options.rtol = rtol;
  options.max_panels = 100000;
  const std::vector<std::vector<std::size_t>> groups = {{0}};
  const std::size_t threads = st.range(0) == 0 ? vantok::pool::threads() : static_cast<std::size_t>(st.range(0));
  std::size_t panels = 0;
  for (auto _ : st) {
    auto records = vantok::pool::with_threads(
        threads, [&] { return engine::first_pass(*parts, groups, 0.55, 0, options); });
    panels = records->front().panels.size();
    benchmark::DoNotOptimize(records);
  }
  st.counters["threads"] = static_cast<double>(threads);
  st.counters["panels"] = static_cast<double>(panels);
}

void BM_Ensemble_DensityEval(benchmark::State& st) {
  const SizeDistribution d{Lognormal{0.1, 2.0}};
  const Density density(d);
  double derivatives[2];
  double r = 0.05;
  for (auto _ : st) {
    benchmark::DoNotOptimize(density.eval(r, derivatives));
    r = r < 1.0 ? r * 1.001 : 0.05;
  }
}

void BM_Ensemble_Parts(benchmark::State& st) {
  const double rtol = std::pow(10.0, -static_cast<double>(st.range(0)));
  const std::vector<EnsembleParam> params = {{std::nullopt, param::Distribution{"median_radius"}, 0},
                                             {std::nullopt, param::Distribution{"width"}, 0}};
  for (auto _ : st) benchmark::DoNotOptimize(engine::parts(lognormal_spheres(), params, rtol));
}

}  // namespace

BENCHMARK(BM_Ensemble_Pass1)->Arg(1)->Arg(2)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Ensemble_DensityEval);
BENCHMARK(BM_Ensemble_Parts)->Arg(3)->Arg(6)->Arg(10)->Unit(benchmark::kMicrosecond);
