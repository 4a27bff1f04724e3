// T-matrix solves of a spheroid. One solve at fixed truncation (eps = 2,
// x = 15, m = 1.5 + 0.02i, N = 30, n_theta = 60) for each precision (first
// argument 0 "auto", 1 "f64", 2 "double-double"; second argument 1 for one
// thread, 0 for the whole pool), with the share of its time in the f64 kernel,
// the block LU, the error estimates, the double-double refinement pass and the
// full double-double solve.

#include <benchmark/benchmark.h>

#include "vantok/pool.hpp"
#include "vantok/tmatrix/driver.hpp"

namespace {

using namespace vantok::tmatrix;

void BM_Tmatrix_OneSolve(benchmark::State& st) {
  const auto precision = static_cast<Precision>(st.range(0));
  const bool one_thread = st.range(1) == 1;
  driver::SolveProfile profile;
  const driver::OneSolve solve{1e-9, 15.0, 2.0, {1.5, 0.02}, precision, &profile};
  std::size_t refined = 0;
  for (auto _ : st) {
    auto call = [&] { return solve(30, 60, 30); };
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
      profile.kernel + profile.lu + profile.estimates + profile.refinement + profile.double_double;
  const auto share = [&](double t) { return total > 0.0 ? t / total : 0.0; };
  st.counters["kernel"] = share(profile.kernel);
  st.counters["lu"] = share(profile.lu);
  st.counters["estimates"] = share(profile.estimates);
  st.counters["refinement"] = share(profile.refinement);
  st.counters["double_double"] = share(profile.double_double);
  st.counters["modes_refined"] = static_cast<double>(refined);
}
BENCHMARK(BM_Tmatrix_OneSolve)
    ->ArgsProduct({{0, 1, 2}, {1, 0}})
    ->ArgNames({"precision", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
