// The EBCM mode kernel for a spheroid eps = 2, x = 15, m = 1.5 + 0.02i at
// N = 30 and 50 with ngauss = 2N, on one thread (the second argument 1) and on
// the whole pool (0): the f64 kernel over every mode and over mode 0 alone;
// the double-double kernel over every mode (a full double-double solve) and
// as the refinement pass of an f64 first pass with rtol = 1e-10 (the flagged
// modes from their n_from, with the first pass's variant record and
// negligible orders). Counters: the time per quadrature node and per
// element-node (one matrix element at one node; for the refinement pass the
// elements of the recomputed rows).

#include <benchmark/benchmark.h>

#include <optional>
#include <vector>

#include <cmath>

#include "tmatrix/detail_error_estimate.hpp"
#include "tmatrix/detail_kernel.hpp"
#include "tmatrix/detail_lu.hpp"
#include "tmatrix/detail_node_functions.hpp"
#include "tmatrix/detail_refine.hpp"
#include "vantok/pool.hpp"

namespace {

using namespace vantok::tmatrix::kernel;
using vantok::scalar::DoubleDouble;

constexpr double X = 15.0;
constexpr double EPS = 2.0;

std::vector<std::optional<std::size_t>> mask_upto(std::size_t nmax, std::size_t m_max) {
  std::vector<std::optional<std::size_t>> mask(nmax + 1);
  for (std::size_t m = 0; m <= m_max; ++m) mask[m] = 0;
  return mask;
}

/// Matrix elements of the modes up to m_max: 2 k^2 per mode, k = nmax - max(m, 1) + 1.
double elements(std::size_t nmax, std::size_t m_max) {
  double e = 0.0;
  for (std::size_t m = 0; m <= m_max; ++m) {
    const double k = static_cast<double>(nmax - (m > 0 ? m : 1) + 1);
    e += 2.0 * k * k;
  }
  return e;
}

template <class F>
void timed(benchmark::State& st, double element_count, std::size_t ngauss, F call) {
  const bool one_thread = st.range(1) == 1;
  for (auto _ : st) {
    auto r = one_thread ? vantok::pool::with_threads(1, call) : call();
    benchmark::DoNotOptimize(r);
  }
  const double nodes = static_cast<double>(ngauss) * static_cast<double>(st.iterations());
  st.counters["node"] = benchmark::Counter(nodes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  st.counters["element"] = benchmark::Counter(nodes * element_count,
                                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void f64_kernel(benchmark::State& st, std::size_t m_max_of_n) {
  const auto nmax = static_cast<std::size_t>(st.range(0));
  const std::size_t m_max = m_max_of_n == 0 ? 0 : nmax;
  const std::size_t ngauss = 2 * nmax;
  const auto mask = mask_upto(nmax, m_max);
  const auto sph = Axes<double>::create(X, EPS);
  timed(st, elements(nmax, m_max), ngauss,
        [&] { return all_modes_masked(sph, nmax, ngauss, mask, 1.5, 0.02); });
}

const vantok::Complex<DoubleDouble> M_DD{DoubleDouble(1.5), DoubleDouble(0.02)};

void BM_TmatrixKernel_DD_Full(benchmark::State& st) {
  const auto nmax = static_cast<std::size_t>(st.range(0));
  const std::size_t ngauss = 2 * nmax;
  const auto mask = mask_upto(nmax, nmax);
  const auto sph = Axes<DoubleDouble>::create(X, EPS);
  timed(st, elements(nmax, nmax), ngauss, [&] {
    return all_modes_masked(sph, M_DD, nmax, ngauss, mask, nullptr, SIZE_MAX);
  });
}

/// The refinement inputs of an f64 first pass over every mode: block solves,
/// row error estimates from the magnitude sums times 2N 2^-53, the largest
/// unscaled |T_ij|, the mask for tol = rtol / 10, the record and p.
struct Refinement {
  std::vector<std::optional<std::size_t>> mask;
  Choice choice;
  std::size_t p = 0;
  double rows = 0.0;
  double modes = 0.0;
};

Refinement first_pass(std::size_t nmax, std::size_t ngauss, double rtol) {
  namespace solve = vantok::tmatrix::solve;
  const auto sph = Axes<double>::create(X, EPS);
  const double rmin = std::fmin(sph.a, sph.b);
  const double rmax = std::fmax(sph.a, sph.b);
  const vantok::tmatrix::functions::Scales<double> scales(nmax, rmin, {1.5 * rmax, 0.02 * rmax});
  std::vector<double> ls;
  double acc = 0.0;
  for (std::size_t n = 0; n <= nmax; ++n) ls.push_back(acc += std::log(scales.outgoing[n]));
  auto modes = *all_modes_masked(sph, nmax, ngauss, mask_upto(nmax, nmax), 1.5, 0.02);
  const double u1 = 2.0 * static_cast<double>(nmax) * 0x1p-53;
  std::vector<std::pair<double, double>> block_errors(nmax + 1);
  std::vector<std::array<std::vector<double>, 2>> row_errors(nmax + 1);
  double tmax = 0.0;
  for (std::size_t m = 0; m <= nmax; ++m) {
    for (std::size_t p = 0; p < 2; ++p) {
      const auto& rows = modes[m].rows[p];
      const std::size_t k = rows.size();
      auto t = *solve::solve_f64(modes[m].q[p], modes[m].rg[p], k);
      std::vector<double> qb(k * k), rb(k * k), l(k);
      for (std::size_t e = 0; e < k * k; ++e) {
        qb[e] = modes[m].q_mag[p][e] * u1;
        rb[e] = modes[m].rg_mag[p][e] * u1;
      }
      for (std::size_t i = 0; i < k; ++i) l[i] = ls[rows[i].second];
      auto [e, r] = solve::error_estimate_rows(t, t.solution, qb, rb, l, k);
      (p == 0 ? block_errors[m].first : block_errors[m].second) = e;
      row_errors[m][p] = std::move(r);
      for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
          const auto z = t.solution[i * k + j];
          tmax = std::fmax(tmax, std::hypot(z.re, z.im) * std::exp(l[i] - l[j]));
        }
      }
    }
  }
  Refinement out;
  out.mask = refinement_masks({block_errors, row_errors, modes, nmax, rtol / 10.0, tmax, nmax});
  out.choice = Choice::of<double>(modes, nmax);
  out.p = p_negligible_from(modes, nmax);
  for (std::size_t m = 0; m <= nmax; ++m) {
    if (!out.mask[m]) continue;
    out.modes += 1.0;
    for (std::size_t p = 0; p < 2; ++p) {
      const auto& rows = modes[m].rows[p];
      for (const auto& row : rows) {
        if (row.second >= *out.mask[m]) out.rows += static_cast<double>(rows.size());
      }
    }
  }
  return out;
}

void BM_TmatrixKernel_DD_Refined(benchmark::State& st) {
  const auto nmax = static_cast<std::size_t>(st.range(0));
  const std::size_t ngauss = 2 * nmax;
  const Refinement ref = first_pass(nmax, ngauss, 1e-10);
  const auto sph = Axes<DoubleDouble>::create(X, EPS);
  timed(st, ref.rows, ngauss, [&] {
    return all_modes_masked(sph, M_DD, nmax, ngauss, ref.mask, &ref.choice, ref.p);
  });
  st.counters["modes"] = ref.modes;
  st.counters["p"] = static_cast<double>(ref.p);
}

void BM_TmatrixKernel_F64_AllModes(benchmark::State& st) { f64_kernel(st, 1); }
void BM_TmatrixKernel_F64_Mode0(benchmark::State& st) { f64_kernel(st, 0); }

BENCHMARK(BM_TmatrixKernel_F64_AllModes)
    ->ArgsProduct({{30, 50}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TmatrixKernel_F64_Mode0)
    ->ArgsProduct({{30, 50}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TmatrixKernel_DD_Full)
    ->ArgsProduct({{30, 50}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TmatrixKernel_DD_Refined)
    ->ArgsProduct({{30, 50}, {1, 0}})
    ->ArgNames({"N", "one_thread"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
