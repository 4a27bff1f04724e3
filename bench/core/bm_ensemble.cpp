// Ensemble engine. Whole runs at rtol 1e-9 with the Greek coefficients to all
// orders, m = 1.53 + 0.008i: a number lognormal of spheres (median radius
// 0.1 µm, σ_g = 2) and a gamma (effective radius 1 µm, effective variance 0.1),
// one wavelength (0.55 µm) on 1 thread and on all threads (0 stands for the
// pool's size), and 50 wavelengths (0.4 to 1.38 µm) on all threads; counters
// give the panels, the convergence flag and the largest relative error
// estimate of the eleven outputs. Then the first pass alone at rtol 1e-6 in
// arenas of 1, 2 and all threads, and the size-distribution work done once per
// call (density, cutoffs, moments).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "ensemble/detail_first_pass.hpp"
#include "ensemble/detail_range.hpp"
#include "ensemble/detail_rounds.hpp"
#include "vantok/pool.hpp"

namespace {

using namespace vantok::ensemble;

const std::vector<Component>& lognormal_spheres() {
  static const std::vector<Component> components = {
      {Particle{Sphere{{{1.53, 0.008}}}}, SizeDistribution{Lognormal{0.1, 2.0}}, 1.0}};
  return components;
}

const std::vector<Component>& case_components(std::int64_t kind) {
  static const std::vector<Component> gamma = {
      {Particle{Sphere{std::vector<vantok::Complex<double>>(50, {1.53, 0.008})}}, SizeDistribution{Gamma{1.0, 0.1}},
       1.0}};
  static const std::vector<Component> lognormal = {
      {Particle{Sphere{std::vector<vantok::Complex<double>>(50, {1.53, 0.008})}}, SizeDistribution{Lognormal{0.1, 2.0}},
       1.0}};
  return kind == 0 ? lognormal : gamma;
}

// Arguments: 0 lognormal or 1 gamma; threads (0: all); wavelengths.
void BM_Ensemble_Run(benchmark::State& st) {
  EnsembleOptions options;
  options.rtol = 1e-9;
  options.max_panels = 100000;
  options.greek = GreekSelection::all();
  const std::size_t threads = st.range(1) == 0 ? vantok::pool::threads() : static_cast<std::size_t>(st.range(1));
  std::vector<double> wavelengths;
  for (std::int64_t i = 0; i < st.range(2); ++i) wavelengths.push_back(st.range(2) == 1 ? 0.55 : 0.4 + 0.02 * static_cast<double>(i));
  const auto& components = case_components(st.range(0));
  double worst = 0.0;
  bool converged = true;
  std::size_t panels = 0;
  for (auto _ : st) {
    auto results = vantok::pool::with_threads(threads, [&] { return engine::run(components, wavelengths, options); });
    if (!results) {
      st.SkipWithError(results.error().to_string().c_str());
      return;
    }
    panels = results->front().panels;
    for (const EnsembleResult& r : *results) {
      converged = converged && r.converged;
      for (std::size_t i = 0; i < OUTPUT_COUNT; ++i) {
        if (i != output::ZERO) worst = std::fmax(worst, r.error.values[i] / std::fabs(r.value.values[i]));
      }
    }
    benchmark::DoNotOptimize(results);
  }
  st.counters["threads"] = static_cast<double>(threads);
  st.counters["panels"] = static_cast<double>(panels);
  st.counters["converged"] = converged ? 1.0 : 0.0;
  st.counters["max_rel_err"] = worst;
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

BENCHMARK(BM_Ensemble_Run)
    ->Args({0, 1, 1})
    ->Args({0, 0, 1})
    ->Args({0, 0, 50})
    ->Args({1, 1, 1})
    ->Args({1, 0, 1})
    ->Args({1, 0, 50})
    ->ArgNames({"gamma", "threads", "wavelengths"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Ensemble_Pass1)->Arg(1)->Arg(2)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Ensemble_DensityEval);
BENCHMARK(BM_Ensemble_Parts)->Arg(3)->Arg(6)->Arg(10)->Unit(benchmark::kMicrosecond);
