// Two-layer particles in lanes against one at a time, on the mixed set of the
// throughput benchmark (x_L uniform in [0.1, 100], core fraction of the radius
// uniform in [0.3, 0.9], every layer's Re m in [1.33, 1.6] and Im m in
// [0, 0.1]): the efficiencies (and with derivatives every layer's Jacobian)
// of 2048 particles sorted by term count as the bindings group them. Argument
// 0 is the lane width (1: Layered one particle at a time, 2: SSE2, 4: AVX2),
// argument 1 the derivatives flag.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bench_lanes.hpp"
#include "vantok/layered/group.hpp"
#include "vantok/layered/layered.hpp"
#include "vantok/mie/check.hpp"

namespace {

using vantok::Complex;
using vantok::layered::group::Efficiencies;
using vantok::layered::group::Particle;
using vantok::layered::group::Solved;
using vantok::layered::group::Solver;
using vantok::scalar::lanes::Width;

struct Set {
  std::vector<std::array<double, 2>> xs;
  std::vector<std::array<Complex<double>, 2>> ms;
  std::vector<Particle> particles;
  std::size_t terms = 0;
};

Set particle_set(std::size_t count) {
  std::mt19937_64 rng(25);
  std::uniform_real_distribution<double> x(0.1, 100.0), core(0.3, 0.9), re(1.33, 1.6), im(0.0, 0.1);
  Set s;
  for (std::size_t i = 0; i < count; ++i) {
    const double x_outer = x(rng);
    s.xs.push_back({core(rng) * x_outer, x_outer});
    s.ms.push_back({Complex<double>{re(rng), im(rng)}, Complex<double>{re(rng), im(rng)}});
  }
  for (std::size_t i = 0; i < count; ++i) {
    const auto n = static_cast<std::size_t>(vantok::mie::default_terms(s.xs[i][1]));
    s.particles.push_back({s.xs[i], s.ms[i], n});
    s.terms += n;
  }
  std::stable_sort(s.particles.begin(), s.particles.end(),
                   [](const Particle& a, const Particle& b) { return a.n_terms < b.n_terms; });
  return s;
}

void BM_LayeredGroup_Efficiencies(benchmark::State& st) {
  const auto width = st.range(0);
  const bool derivatives = st.range(1) != 0;
  const Set set = particle_set(2048);
  if (width == 1) {
    vantok::layered::Layered layered;
    for (auto _ : st) {
      for (const Particle& p : set.particles) {
        auto r = layered.solve({p.n_terms, true}, derivatives, p.xs, p.ms);
        const auto c = layered.coefficients();
        benchmark::DoNotOptimize(c.efficiencies());
        for (std::size_t l = 0; derivatives && l < 2; ++l) {
          benchmark::DoNotOptimize(c.efficiencies_jacobian(layered.layer_derivatives(l)));
        }
      }
    }
  } else {
    Solver solver(width == 4 ? Width::Four : Width::Two);
    const std::size_t lanes = solver.lanes();
    std::vector<Solved> solved(lanes);
    std::vector<Efficiencies> q(lanes);
    for (auto _ : st) {
      for (std::size_t g = 0; g < set.particles.size(); g += lanes) {
        solver.solve(std::span(set.particles).subspan(g, std::min(lanes, set.particles.size() - g)), derivatives,
                     solved, {false, true}, q);
        benchmark::DoNotOptimize(q.data());
      }
    }
  }
  set_lane_counters(st, "particle", set.particles.size(), set.terms);
}

}  // namespace

BENCHMARK(BM_LayeredGroup_Efficiencies)->Apply(lane_widths)->Unit(benchmark::kMillisecond);
