// Greek coefficients of one sphere (m = 1.5 + 0.01i) to all orders (L = 2N),
// one thread, at x = 10, 100, 1000 and 5000: the whole call (solve and
// expansion, as mie_greek does it) and its parts, the Gauss-Legendre rule of
// Q = N + L/2 + 1 nodes, the phase matrix at the nodes and the projection onto
// the four Wigner functions, and those functions alone, in lanes and by
// wigner_d. "wigner" is the time per Wigner value (4 Q (L + 1) values per
// call); the time grows as x^2.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "vantok/mie/greek.hpp"
#include "vantok/mie/mie.hpp"
#include "vantok/mie/phase.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner.hpp"
#include "vantok/special/wigner_greek.hpp"

namespace {

using vantok::Complex;
using vantok::mie::Mie;
using vantok::mie::SolveOptions;
using vantok::mie::coefficients::Coefficients;
using vantok::mie::greek::GreekProjector;
using vantok::mie::greek::PhaseMatrixTable;

const Complex<double> M{1.5, 0.01};

const vantok::mie::kernel::State& solved(Mie& mie, double x) {
  auto st = mie.solve(SolveOptions{}, false, x, M);
  if (!st) std::abort();
  return **st;
}

GreekProjector projector_for(const Coefficients& c) {
  auto p = Coefficients::greek_projector(c.a.size(), 2 * c.a.size());
  if (!p) std::abort();
  return std::move(*p);
}

// One solved sphere, its projector for L = 2N and room for the phase matrix at the nodes.
struct Sphere {
  explicit Sphere(double x)
      : c(solved(mie, x).coefficients()),
        p(projector_for(c)),
        f11(p.nodes.size()),
        f12(p.nodes.size()),
        f33(p.nodes.size()),
        f34(p.nodes.size()) {}

  bool tabulate() { return c.phase_matrix(p.nodes, false, {f11, f12, f33, f34}).has_value(); }

  Mie mie;
  Coefficients c;
  GreekProjector p;
  std::vector<double> f11, f12, f33, f34;
};

void set_counters(benchmark::State& state, const GreekProjector& p) {
  const auto q = static_cast<double>(p.nodes.size());
  const double values = 4.0 * q * static_cast<double>(p.effective_order + 1);
  state.counters["Q"] = q;
  state.counters["wigner"] = benchmark::Counter(values * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// What mie_greek does per sphere: solve, then expand to L = 2N.
void BM_Greek_Mie(benchmark::State& state) {
  const auto x = static_cast<double>(state.range(0));
  Mie mie;
  for (auto _ : state) {
    auto st = mie.solve(SolveOptions{}, false, x, M);
    const auto c = (*st)->coefficients();
    auto g = c.greek(2 * c.a.size(), true);
    benchmark::DoNotOptimize(g);
  }
  set_counters(state, Sphere(x).p);
}
BENCHMARK(BM_Greek_Mie)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_Greek_Rule(benchmark::State& state) {
  const Sphere sphere(static_cast<double>(state.range(0)));
  for (auto _ : state) {
    auto p = Coefficients::greek_projector(sphere.c.a.size(), 2 * sphere.c.a.size());
    benchmark::DoNotOptimize(p);
  }
  set_counters(state, sphere.p);
}
BENCHMARK(BM_Greek_Rule)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_Greek_PhaseMatrixAtNodes(benchmark::State& state) {
  Sphere sphere(static_cast<double>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(sphere.tabulate());
  set_counters(state, sphere.p);
}
BENCHMARK(BM_Greek_PhaseMatrixAtNodes)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

// The projection alone; arg 1 is the number of table sets (1, or 4 with derivatives).
void BM_Greek_Project(benchmark::State& state) {
  Sphere sphere(static_cast<double>(state.range(0)));
  if (!sphere.tabulate()) std::abort();
  const std::vector<PhaseMatrixTable> tables(static_cast<std::size_t>(state.range(1)),
                                             PhaseMatrixTable{sphere.f11, sphere.f12, sphere.f33, sphere.f34});
  for (auto _ : state) {
    auto g = sphere.p.project(tables);
    benchmark::DoNotOptimize(g);
  }
  set_counters(state, sphere.p);
}
BENCHMARK(BM_Greek_Project)
    ->ArgsProduct({{10, 100, 1000, 5000}, {1}})
    ->ArgsProduct({{1000}, {4}})
    ->Unit(benchmark::kMicrosecond);

// The four Wigner functions at the nodes alone (the sink reads one value per
// row); arg 1 is the lane width (2 or 4).
void BM_Greek_Wigner(benchmark::State& state) {
  namespace wigner = vantok::special::wigner;
  const Sphere sphere(static_cast<double>(state.range(0)));
  const GreekProjector& p = sphere.p;
  const wigner::GreekWigner w(p.effective_order);
  const auto width =
      state.range(1) == 4 ? vantok::scalar::lanes::Width::Four : vantok::scalar::lanes::Width::Two;
  for (auto _ : state) {
    double sum = 0.0;
    auto r = w.evaluate(
        p.nodes, [&](const wigner::GreekBlock& b) { sum += b.values[0][0] + b.values[3][0]; }, width);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(sum);
  }
  set_counters(state, p);
}
BENCHMARK(BM_Greek_Wigner)->ArgsProduct({{10, 100, 1000, 5000}, {2, 4}})->Unit(benchmark::kMicrosecond);

// The same values by wigner_d, one argument and one function at a time.
void BM_Greek_WignerScalar(benchmark::State& state) {
  const Sphere sphere(static_cast<double>(state.range(0)));
  const GreekProjector& p = sphere.p;
  std::vector<double> out(p.effective_order + 1);
  const int m[4] = {0, 2, 2, 0};
  const int n[4] = {0, 2, -2, 2};
  for (auto _ : state) {
    for (const double x : p.nodes) {
      for (int f = 0; f < 4; ++f) {
        auto r = vantok::special::wigner::wigner_d<double>(m[f], n[f], x, out);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(out.data());
      }
    }
  }
  set_counters(state, p);
}
BENCHMARK(BM_Greek_WignerScalar)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
