// Spheres in lanes against one State at a time, on the mixed set of the
// throughput benchmark (x uniform in [0.1, 100], Re m in [1.33, 1.6], Im m in
// [0, 0.1]): the efficiencies (and with derivatives their Jacobian) of 4096
// spheres sorted by term count as the bindings group them. Argument 0 is the
// lane width (1: one State at a time, 2: SSE2, 4: AVX2), argument 1 the
// derivatives flag. Counters: time per sphere and per term, and the lane
// utilisation (the orders the lanes compute that belong to their sphere).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bench_lanes.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/group.hpp"

namespace {

using vantok::mie::group::Efficiencies;
using vantok::mie::group::Solver;
using vantok::mie::group::Sphere;
using vantok::mie::kernel::State;
using vantok::scalar::lanes::Width;

std::vector<Sphere> sphere_set(std::size_t count) {
  std::mt19937_64 rng(25);
  std::uniform_real_distribution<double> x(0.1, 100.0), re(1.33, 1.6), im(0.0, 0.1);
  std::vector<Sphere> out;
  for (std::size_t i = 0; i < count; ++i) {
    const double xi = x(rng);
    out.push_back({xi, {re(rng), im(rng)}, static_cast<std::size_t>(vantok::mie::default_terms(xi))});
  }
  std::stable_sort(out.begin(), out.end(), [](const Sphere& a, const Sphere& b) { return a.n_terms < b.n_terms; });
  return out;
}

void BM_MieGroup_Efficiencies(benchmark::State& st) {
  const auto width = st.range(0);
  const bool derivatives = st.range(1) != 0;
  const std::vector<Sphere> spheres = sphere_set(4096);
  std::size_t terms = 0, computed = 0;
  if (width == 1) {
    State state;
    for (auto _ : st) {
      for (const Sphere& s : spheres) {
        state.prepare(s.n_terms, s.x, s.m);
        state.finish(s.n_terms, derivatives, s.x, s.m);
        const auto c = state.coefficients();
        benchmark::DoNotOptimize(c.efficiencies());
        if (derivatives) benchmark::DoNotOptimize(c.efficiencies_jacobian(state.coefficient_derivatives()));
      }
    }
    for (const Sphere& s : spheres) terms += s.n_terms;
    computed = terms;
  } else {
    Solver solver(width == 4 ? Width::Four : Width::Two);
    const std::size_t lanes = solver.lanes();
    std::vector<State> states(lanes);
    std::vector<Efficiencies> q(lanes);
    for (auto _ : st) {
      for (std::size_t g = 0; g < spheres.size(); g += lanes) {
        solver.solve(std::span(spheres).subspan(g, std::min(lanes, spheres.size() - g)), derivatives, states,
                     {false, true}, q);
        benchmark::DoNotOptimize(q.data());
      }
    }
    for (std::size_t g = 0; g < spheres.size(); g += lanes) {
      std::size_t top = 0;
      for (std::size_t j = g; j < std::min(spheres.size(), g + lanes); ++j) {
        terms += spheres[j].n_terms;
        top = std::max(top, spheres[j].n_terms);
      }
      computed += lanes * top;
    }
  }
  set_lane_counters(st, "sphere", spheres.size(), terms);
  st.counters["lanes_used"] = static_cast<double>(terms) / static_cast<double>(computed);
}

}  // namespace

BENCHMARK(BM_MieGroup_Efficiencies)->Apply(lane_widths)->Unit(benchmark::kMillisecond);
