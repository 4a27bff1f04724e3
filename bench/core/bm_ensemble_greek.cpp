// The Greek machinery of the ensemble's second pass at one size parameter x
// (m = 1.53 + 0.008i, all orders: L = 2N, N the sphere's term count), in the
// band of key K >= N:
//  - BM_Ensemble_Bands: building the band (rule and angular tables), once
//    per wavelength;
//  - BM_Ensemble_PanelProducts: one panel's fast phase products, 15 nodes
//    (coefficient columns, two dense products, the phase matrix at all n
//    cosines); the second argument is the number of complex derivative
//    blocks (0: values only, 1: a sphere's d/dm);
//  - BM_Ensemble_Projection: the projection of one band for one distribution
//    with P derivatives (second argument), Wigner functions included.
// Times are per iteration: per band, per panel, per projection.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <vector>

#include "ensemble/detail_bands.hpp"
#include "ensemble/detail_band_amplitudes.hpp"
#include "ensemble/detail_projection.hpp"
#include "vantok/mie/check.hpp"
#include "vantok/mie/kernel.hpp"

namespace {

namespace engine = vantok::ensemble::engine;

constexpr vantok::Complex<double> M{1.53, 0.008};

struct Setup {
  std::size_t n_terms;
  std::size_t order;
  std::size_t key;
};

Setup setup(double x) {
  const std::size_t n = *vantok::mie::check_inputs(x, M, {});
  return {n, 2 * n, engine::band_key(n)};
}

engine::Layout one_band(const Setup& s) {
  const std::size_t keys[1] = {s.key};
  return *engine::layout(keys, s.order, {});
}

void set_band_counters(benchmark::State& st, const engine::Band& band) {
  st.counters["K"] = static_cast<double>(band.key);
  st.counters["nodes"] = static_cast<double>(band.n_nodes);
}

void BM_Ensemble_Bands(benchmark::State& st) {
  const Setup s = setup(static_cast<double>(st.range(0)));
  for (auto _ : st) {
    engine::Layout layout = one_band(s);
    benchmark::DoNotOptimize(layout.bands[0].even.data.data());
  }
  set_band_counters(st, one_band(s).bands[0]);
}

void BM_Ensemble_PanelProducts(benchmark::State& st) {
  const double x = static_cast<double>(st.range(0));
  const std::size_t complex = static_cast<std::size_t>(st.range(1));
  const Setup s = setup(x);
  const engine::Layout layout = one_band(s);
  const engine::Band& band = layout.bands[0];
  vantok::mie::kernel::State sphere;
  sphere.prepare(s.n_terms, x, M);
  sphere.finish(s.n_terms, complex > 0, x, M);
  vantok::ensemble::fast::PanelProducts products;
  std::vector<double> block(4 * band.n_nodes);
  std::vector<std::vector<double>> slot_values(2 * complex, block);
  std::vector<std::span<double>> slots(slot_values.begin(), slot_values.end());
  for (auto _ : st) {
    products.prepare(band, complex, 0);
    for (std::size_t j = 0; j < vantok::ensemble::fast::PANEL_NODES; ++j) {
      products.set_block(j, 0, sphere.a, sphere.b);
      if (complex > 0) products.set_block(j, 1, sphere.da_dm, sphere.db_dm);
    }
    products.multiply(band, s.n_terms);
    for (std::size_t j = 0; j < vantok::ensemble::fast::PANEL_NODES; ++j) {
      products.node_phase(band, j, 1.0, block, slots);
    }
    benchmark::DoNotOptimize(block.data());
  }
  set_band_counters(st, band);
}

void BM_Ensemble_Projection(benchmark::State& st) {
  const Setup s = setup(static_cast<double>(st.range(0)));
  const std::size_t p = static_cast<std::size_t>(st.range(1));
  const engine::Layout layout = one_band(s);
  std::mt19937_64 gen(1);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  auto column = [&] {
    std::vector<double> c(layout.n_quantities);
    for (double& v : c) v = u(gen);
    return c;
  };
  engine::DistributionSums sums{column(), column(), {}, {}};
  for (std::size_t k = 0; k < p; ++k) {
    sums.d.push_back(column());
    sums.d_errors.push_back(column());
  }
  for (auto _ : st) {
    auto greek = engine::project(layout.bands, s.order, {&sums, 1});
    benchmark::DoNotOptimize(greek.data());
  }
  set_band_counters(st, layout.bands[0]);
}

}  // namespace

BENCHMARK(BM_Ensemble_Bands)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ensemble_PanelProducts)
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ensemble_Projection)
    ->Args({100, 0})
    ->Args({100, 2})
    ->Args({1000, 0})
    ->Args({1000, 2})
    ->Unit(benchmark::kMillisecond);
