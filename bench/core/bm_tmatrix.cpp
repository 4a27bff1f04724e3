// T-matrix solves of a spheroid, m = 1.5 + 0.02i throughout.
// - OneSolve: one solve at fixed truncation (eps = 2, x = 15, N = 30,
//   n_theta = 60) for each precision (0 "auto", 1 "f64", 2 "double-double"),
//   with the share of its time in the f64 kernel, the block solves with their
//   error bounds, the double-double refinement pass and the full double-double
//   solve.
// - GreekRaw: the orientation average to order 2N of a solved spheroid
//   (x = N / 3, eps = 2, all modes) at N = 10, 20, 40, 60; it should grow as
//   N^4.
// - Run: TMatrix::run with efficiencies and Greek coefficients at rtol 1e-9,
//   precision "auto", for (x, eps) = (5, 1.5), (15, 2), (30, 1.5) and (60, 1.5)
//   (the last outside the validated domain), with N, n_theta, the modes
//   refined, and the seconds of the orientation average.
// - RunDerivatives: TMatrix::run with derivatives at (x, eps) = (15, 2),
//   precision "auto" at rtol 1e-9 or "f64" at rtol 1e-5 (where f64 converges), then the efficiencies with their
//   Jacobian and the Greek coefficients with their derivatives; counters: the
//   seconds of the run and of the dual orientation average, and the ratio of
//   the whole to the same run and outputs without derivatives (timed once
//   before, on the same threads).
// The last argument is 1 for one thread, 0 for the whole pool.

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <optional>

#include "tmatrix/detail_one_solve.hpp"
#include "tmatrix/detail_profile.hpp"
#include "vantok/pool.hpp"
#include "vantok/tmatrix/random_orientation.hpp"
#include "vantok/tmatrix/tmatrix.hpp"

namespace {

using namespace vantok::tmatrix;

void BM_Tmatrix_OneSolve(benchmark::State& st) {
  const auto precision = static_cast<Precision>(st.range(0));
  const bool one_thread = st.range(1) == 1;
  driver::SolveProfile profile;
  const driver::OneSolve solve{{.x = 15.0, .eps = 2.0, .m = {1.5, 0.02}}, 1e-9, precision, &profile};
  std::size_t refined = 0;
  for (auto _ : st) {
    auto call = [&] { return solve({30, 60, 30}); };
    auto r = one_thread ? vantok::pool::with_threads(1, call) : call();
    if (!r) {
      st.SkipWithError(r.error().to_string().c_str());
      return;
    }
    refined = 0;
    for (const PrecisionPath p : r->paths) refined += p == PrecisionPath::Refined ? 1 : 0;
    benchmark::DoNotOptimize(r);
  }
  const double total =
      profile.kernel + profile.lu + profile.refinement + profile.double_double;
  const auto share = [&](double t) { return total > 0.0 ? t / total : 0.0; };
  st.counters["kernel"] = share(profile.kernel);
  st.counters["lu"] = share(profile.lu);
  st.counters["refinement"] = share(profile.refinement);
  st.counters["double_double"] = share(profile.double_double);
  st.counters["modes_refined"] = static_cast<double>(refined);
}
BENCHMARK(BM_Tmatrix_OneSolve)
    ->ArgsProduct({{0, 1, 2}, {1, 0}})
    ->ArgNames({"precision", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

/// The solved modes of a spheroid at N terms, made once per N.
const TMatrixModes<double>& solved_modes(std::size_t n) {
  static std::map<std::size_t, TMatrixModes<double>> cache;
  auto it = cache.find(n);
  if (it == cache.end()) {
    const double x = static_cast<double>(n) / 3.0;
    auto r = driver::OneSolve{{.x = x, .eps = 2.0, .m = {1.5, 0.02}}, 1e-9, Precision::F64, nullptr}({n, 2 * n, n});
    it = cache.emplace(n, r ? std::move(r->modes) : TMatrixModes<double>{}).first;
  }
  return it->second;
}

void BM_Tmatrix_GreekRaw(benchmark::State& st) {
  const auto n = static_cast<std::size_t>(st.range(0));
  const TMatrixModes<double>& modes = solved_modes(n);
  for (auto _ : st) {
    auto call = [&] { return random::greek_raw<double>(modes, 2 * n); };
    auto r = st.range(1) == 1 ? vantok::pool::with_threads(1, call) : call();
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Tmatrix_GreekRaw)
    ->ArgsProduct({{10, 20, 40, 60}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Tmatrix_Run(benchmark::State& st) {
  static constexpr double CASES[4][2] = {{5, 1.5}, {15, 2}, {30, 1.5}, {60, 1.5}};
  const auto c = static_cast<std::size_t>(st.range(0));
  TMatrix options;
  options.rtol = 1e-9;
  options.allow_unvalidated = c == 3;
  std::size_t refined = 0;
  double greek_seconds = 0.0;
  std::unique_ptr<State> slot;
  for (auto _ : st) {
    auto call = [&]() -> bool {
      auto r = options.run(slot, {.x = CASES[c][0], .eps = CASES[c][1], .m = {1.5, 0.02}}, WithDerivatives::No);
      if (!r) {
        st.SkipWithError(r.error().to_string().c_str());
        return false;
      }
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(r->efficiencies());
      benchmark::DoNotOptimize(r->greek(std::nullopt, false));
      greek_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      return true;
    };
    if (!(st.range(1) == 1 ? vantok::pool::with_threads(1, call) : call())) return;
  }
  const Solved& s = slot->converged.solved;
  for (const PrecisionPath p : s.paths) refined += p == PrecisionPath::Refined ? 1 : 0;
  st.counters["N"] = static_cast<double>(s.modes.n_terms);
  st.counters["n_theta"] = static_cast<double>(s.n_theta);
  st.counters["modes"] = static_cast<double>(s.modes.modes.size());
  st.counters["refined"] = static_cast<double>(refined);
  st.counters["greek_s"] = greek_seconds;
}
BENCHMARK(BM_Tmatrix_Run)
    ->ArgsProduct({{0, 1, 2, 3}, {1, 0}})
    ->ArgNames({"case", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

void BM_Tmatrix_RunDerivatives(benchmark::State& st) {
  TMatrix options;
  options.precision = static_cast<Precision>(st.range(0));
  options.rtol = options.precision == Precision::Auto ? 1e-9 : 1e-5;
  const bool one_thread = st.range(1) == 1;
  const auto seconds = [](auto&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const auto threads = [&](auto&& f) { return one_thread ? vantok::pool::with_threads(1, f) : f(); };
  std::unique_ptr<State> slot;
  bool ok = true;
  // The same solve and outputs without derivatives.
  const double plain = threads([&] {
    return seconds([&] {
      auto r = options.run(slot, {.x = 15.0, .eps = 2.0, .m = {1.5, 0.02}}, WithDerivatives::No);
      ok = r.has_value();
      if (!ok) return;
      benchmark::DoNotOptimize(r->efficiencies());
      benchmark::DoNotOptimize(r->greek(std::nullopt, false));
    });
  });
  if (!ok) {
    st.SkipWithError("the run without derivatives failed");
    return;
  }
  double run_s = 0.0;
  double greek_s = 0.0;
  for (auto _ : st) {
    threads([&] {
      std::optional<TMatrixSolution> view;
      run_s = seconds([&] {
        auto r = options.run(slot, {.x = 15.0, .eps = 2.0, .m = {1.5, 0.02}}, WithDerivatives::Yes);
        if (r) view.emplace(*r);
      });
      if (!view) return 0;
      greek_s = seconds([&] {
        benchmark::DoNotOptimize(view->efficiencies());
        benchmark::DoNotOptimize(view->efficiencies_jacobian());
        benchmark::DoNotOptimize(view->greek_with_derivatives(std::nullopt, false));
      });
      return 0;
    });
    if (!slot || !slot->derivatives) {
      st.SkipWithError("the run with derivatives failed");
      return;
    }
  }
  std::size_t refined = 0;
  for (const PrecisionPath p : slot->converged.solved.paths) refined += p != PrecisionPath::F64 ? 1 : 0;
  st.counters["N"] = static_cast<double>(slot->converged.solved.modes.n_terms);
  st.counters["modes"] = static_cast<double>(slot->converged.solved.modes.modes.size());
  st.counters["not_f64"] = static_cast<double>(refined);
  st.counters["run_s"] = run_s;
  st.counters["greek_s"] = greek_s;
  st.counters["ratio"] = (run_s + greek_s) / plain;
}
BENCHMARK(BM_Tmatrix_RunDerivatives)
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->ArgNames({"precision", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
