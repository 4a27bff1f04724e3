// Greek bands: the limits checked before building and the storage refusal
// (the band layout and keys are exercised by every projection below and by
// the runs). Fast phase
// products against the sphere's own phase matrix and its derivatives at every
// cosine of a band. Projection onto Greek coefficients: the projection
// matrices against the orthogonality of the Wigner functions under the band's
// rule; the projection, which never stores them, against the products of the
// stored matrices bit for bit (so bands add to their own orders only, stacked
// derivative rows project like values, error columns go through the magnitude
// matrices alike for alpha2 and alpha3), for every way matmul sums and on any
// number of threads; one sphere's node tables give the sphere's own Greek
// coefficients.
#include "ensemble/detail_projection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "ensemble/detail_band_amplitudes.hpp"
#include "ensemble/detail_bands.hpp"
#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "vantok/memory.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/phase.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner.hpp"

namespace engine = vantok::ensemble::engine;
using namespace vantok::test::ensemble;
using engine::DistributionSums;
using engine::GreekSet;
using vantok::Error;
using vantok::ensemble::fast::PanelProducts;
using vantok::ensemble::matrix::Mat;
using Numbers = std::vector<double>;
using Columns = std::vector<Numbers>;

// Allocation guard of this test program: while a cap is set, a request above
// it (plain or aligned) fails with std::bad_alloc instead of reserving memory,
// so that a test can tell a refusal made before allocating from an attempt to
// allocate (and a regression never really reserves gigabytes).
namespace {
std::atomic<std::size_t> allocation_cap{0};  // 0: no cap

void* capped(std::size_t size, std::size_t alignment) {
  const std::size_t cap = allocation_cap.load(std::memory_order_relaxed);
  if (cap != 0 && size > cap) throw std::bad_alloc();
  const std::size_t rounded = (std::max<std::size_t>(size, 1) + alignment - 1) / alignment * alignment;
  if (void* p = alignment <= alignof(std::max_align_t) ? std::malloc(rounded) : std::aligned_alloc(alignment, rounded)) {
    return p;
  }
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return capped(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return capped(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
// The nothrow forms too (std::stable_sort's buffer), so that every delete
// meets memory from this file's new.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return capped(size, alignof(std::max_align_t));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return capped(size, static_cast<std::size_t>(alignment));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

// An order above the largest Greek order, and a rule above the largest (the
// rule's own refusal, also when a valid band comes first), are refused before
// building. A band of the largest rule, 131072 nodes for 131071 terms, would
// hold two angular tables of 65536 x 131071 doubles (about 137 GB): refused
// by the work budget with its message before anything is allocated (an
// allocation cap of 1 GB stands for the machine).
TEST(Layout, LimitsAndStorageBeforeBuilding) {
  const std::size_t huge[1] = {1100000};
  vantok::test::expect_error(engine::layout(huge, 3000000, {}), Error::Kind::InvalidInput,
                             "the Greek order must be at most 2097152, got 2200000");
  const std::size_t wide[2] = {3, 70000};
  const auto refusal = vantok::special::gauss_legendre::gauss_legendre<double>(140001);
  ASSERT_FALSE(refusal.has_value());
  const auto r = engine::layout(wide, 140000, {});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), refusal.error());
  const std::size_t storage = engine::band_storage(131071, 0);
  EXPECT_GT(storage, std::size_t{17} * 1000 * 1000 * 1000);
  const std::size_t keys[1] = {131071};
  allocation_cap.store(std::size_t{1} << 30);
  try {
    (void)engine::layout(keys, 0, {});
    ADD_FAILURE() << "not refused";
  } catch (const vantok::memory::Refused& e) {
    EXPECT_EQ(std::string(e.what()), "cannot allocate " + std::to_string(storage) +
                                         " values for the angular tables of the Greek quadrature: they would take " +
                                         std::to_string(storage * 8) + " bytes, more than the work-memory budget of " +
                                         std::to_string(vantok::memory::work_budget()) + " bytes");
  } catch (const std::bad_alloc&) {
    ADD_FAILURE() << "an allocation was attempted";
  }
  allocation_cap.store(0);
}

TEST(FastProducts, TooFewSlotsIsAnInternalFailure) {
  const std::size_t keys[1] = {2};
  const auto layout = engine::layout(keys, 4, {});
  ASSERT_TRUE(layout.has_value());
  PanelProducts products;
  products.prepare(layout->bands[0], 1, 0);
  products.multiply(layout->bands[0], 2);
  std::vector<double> block(4 * layout->bands[0].n_nodes);
  std::vector<std::span<double>> one_slot{std::span<double>(block)};
  try {
    products.node_phase(layout->bands[0], 0, 1.0, block, one_slot);
    FAIL();
  } catch (const vantok::InternalFailure& e) {
    EXPECT_STREQ(e.what(), "mid > len");
  }
}

namespace {

// Value and derivative columns uniform in [-1, 1], each error column the
// magnitudes of its column: the projected errors then bound the projected
// values.
DistributionSums random_sums(std::size_t length, std::size_t p, std::uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  DistributionSums s{{}, {}, std::vector<std::vector<double>>(p), std::vector<std::vector<double>>(p)};
  for (std::size_t k = 0; k <= p; ++k) {
    for (std::size_t i = 0; i < length; ++i) {
      (k == 0 ? s.values : s.d[k - 1]).push_back(u(gen));
      (k == 0 ? s.errors : s.d_errors[k - 1]).push_back(std::fabs(k == 0 ? s.values[i] : s.d[k - 1][i]));
    }
  }
  return s;
}

// The projection as the products of the stored projection matrices and their
// magnitudes: per band and table one matmul, the series added in band order.
std::vector<GreekSet> stored_projection(std::span<const engine::Band> bands, std::size_t order,
                                        std::span<const DistributionSums> sums) {
  std::size_t effective = 0;
  for (const engine::Band& band : bands) effective = std::max(effective, std::min(2 * band.key, order));
  const std::size_t p = sums[0].d.size();
  GreekSet zero;
  for (auto& series : zero) series.assign(effective + 1, vantok::ensemble::lin::Lin::constant(0.0, p));
  std::vector<GreekSet> out(sums.size(), zero);
  for (const engine::Band& band : bands) {
    const std::size_t n = band.n_nodes;
    auto tables = [&](bool errors) {
      std::array<Mat, 4> t;
      for (std::size_t k = 0; k < 4; ++k) {
        t[k] = Mat(sums.size() * (p + 1), n);
        for (std::size_t q = 0; q < sums.size(); ++q) {
          for (std::size_t c = 0; c <= p; ++c) {
            const std::vector<double>& col =
                c == 0 ? (errors ? sums[q].errors : sums[q].values) : (errors ? sums[q].d_errors : sums[q].d)[c - 1];
            for (std::size_t j = 0; j < n; ++j) t[k](q * (p + 1) + c, j) = col[band.offset + k * n + j];
          }
        }
      }
      return t;
    };
    const std::array<Mat, 4> d = engine::projection_matrices(band);
    std::array<Mat, 4> e = d;
    for (Mat& m : e) std::ranges::for_each(m.data, [](double& v) { v = std::fabs(v); });
    using vantok::ensemble::matrix::product;
    const std::array<Mat, 4> v = tables(false);
    const std::array<Mat, 4> g = tables(true);
    const Mat a2 = product(v[0] + v[2], d[1]);
    const Mat a3 = product(v[0] - v[2], d[2]);
    const std::array<Mat, 6> values{product(v[0], d[0]), (a2 + a3) * 0.5,        (a2 - a3) * 0.5,
                                    product(v[2], d[0]), product(v[1], d[3]), product(v[3], d[3])};
    const Mat both = (product(g[0] + g[2], e[1]) + product(g[0] + g[2], e[2])) * 0.5;
    const std::array<Mat, 6> errors{product(g[0], e[0]), both, both, product(g[2], e[0]), product(g[1], e[3]),
                                    product(g[3], e[3])};
    for (std::size_t q = 0; q < sums.size(); ++q) {
      const std::size_t r0 = q * (p + 1);
      for (std::size_t s = 0; s < 6; ++s) {
        for (std::size_t l = 0; l < std::min(values[s].ncols, effective + 1); ++l) {
          auto& target = out[q][s][l];
          target.value += values[s](r0, l);
          target.err += errors[s](r0, l);
          for (std::size_t k = 0; k < p; ++k) {
            target.d[k] += values[s](r0 + 1 + k, l);
            target.d_err[k] += errors[s](r0 + 1 + k, l);
          }
        }
      }
    }
  }
  return out;
}

// Bitwise equality of two projections: lengths, values, errors, derivatives.
bool same_bits(const std::vector<GreekSet>& x, const std::vector<GreekSet>& y) {
  auto flat = [](const std::vector<GreekSet>& sets) {
    std::vector<double> out;
    for (const GreekSet& set : sets) {
      for (const auto& series : set) {
        out.push_back(static_cast<double>(series.size()));
        for (const auto& c : series) {
          out.insert(out.end(), {c.value, c.err, static_cast<double>(c.d.size())});
          out.insert(out.end(), c.d.begin(), c.d.end());
          out.insert(out.end(), c.d_err.begin(), c.d_err.end());
        }
      }
    }
    return out;
  };
  const std::vector<double> a = flat(x), b = flat(y);
  return std::ranges::equal(a, b, [](double p, double q) { return vantok::test::same_bits(p, q); });
}

}  // namespace

// Under the band's rule, sum_j d(j, l) d^l'_mn(mu_j) = delta_ll' for all
// l, l' <= L_b: the rule integrates the products exactly and
// int d^l_mn d^l'_mn = 2/(2l+1) delta_ll'. Key 48 up to order 70 has 84 nodes
// and three blocks of degrees.
TEST(Project, ProjectionMatricesAreDual) {
  const std::vector<std::size_t> keys{9, 48};
  const auto layout = engine::layout(keys, 70, {});
  ASSERT_TRUE(layout.has_value());
  const int m[4] = {0, 2, 2, 0};
  const int n[4] = {0, 2, -2, 2};
  for (const engine::Band& band : layout->bands) {
    const std::array<Mat, 4> d = engine::projection_matrices(band);
    for (std::size_t f = 0; f < 4; ++f) {
      ASSERT_EQ(d[f].nrows, band.n_nodes);
      ASSERT_EQ(d[f].ncols, band.order + 1);
      const std::size_t lmin = f == 0 ? 0 : 2;
      std::vector<std::vector<double>> w(band.n_nodes, std::vector<double>(band.order + 1));
      for (std::size_t j = 0; j < band.n_nodes; ++j) {
        ASSERT_TRUE(vantok::special::wigner::wigner_d<double>(m[f], n[f], band.nodes[j], w[j]).has_value());
      }
      for (std::size_t l = lmin; l <= band.order; ++l) {
        for (std::size_t lp = lmin; lp <= band.order; ++lp) {
          double s = 0.0;
          for (std::size_t j = 0; j < band.n_nodes; ++j) s += d[f](j, l) * w[j][lp];
          EXPECT_NEAR(s, l == lp ? 1.0 : 0.0, 1e-13) << band.key << " " << f << " " << l << " " << lp;
        }
        // Bit for bit the weighted values of wigner_d.
        for (std::size_t j = 0; j < band.n_nodes; ++j) {
          EXPECT_EQ(d[f](j, l), ((static_cast<double>(2 * l + 1) * 0.5) * band.weights[j]) * w[j][l]);
        }
      }
    }
  }
}

// Stacked rows R = D (P + 1) from 1 to 7 (a row vector; lane rows, paired rows
// and a last odd row), bands from coefficient-wise sizes to more nodes than
// one block of matmul's inner dimension (key 290: 561 nodes), single orders,
// a band (key 1, 3 nodes) below the order limit, and no band (one zero
// coefficient per series): on 8 threads, the bits of the stored products.
TEST(Project, SameBitsAsTheStoredProducts) {
  struct Case {
    std::vector<std::size_t> keys;
    std::size_t order;
    std::size_t distributions;
    std::size_t p;
  };
  const std::vector<Case> cases{{{1, 4, 9}, 0, 1, 1},      {{1, 4, 9}, 0, 1, 0},    {{1, 3, 19}, 30, 1, 0},
                                {{1, 3, 19}, 30, 1, 2},    {{48, 94}, 188, 1, 0},   {{48, 94}, 188, 2, 0},
                                {{48, 94}, 188, 1, 3},     {{48, 94}, 188, 1, 4},   {{48, 94}, 188, 2, 2},
                                {{48, 94}, 101, 7, 0},     {{290}, 540, 1, 0},      {{290}, 540, 1, 1},
                                {{290}, 540, 1, 2},        {{290}, 540, 3, 1},      {{1, 5}, 4, 1, 0},
                                {{19, 94, 185}, 370, 2, 1}, {{}, 4, 1, 2}};
  std::uint32_t seed = 40;
  for (const Case& c : cases) {
    const auto layout = engine::layout(c.keys, c.order, {});
    ASSERT_TRUE(layout.has_value());
    std::vector<DistributionSums> sums;
    for (std::size_t q = 0; q < c.distributions; ++q) sums.push_back(random_sums(layout->n_quantities, c.p, ++seed));
    const auto got = vantok::pool::with_threads(8, [&] { return engine::project(layout->bands, c.order, sums); });
    EXPECT_TRUE(same_bits(got, stored_projection(layout->bands, c.order, sums)))
        << c.keys.back() << " L = " << c.order << ", " << c.distributions << " x " << c.p + 1 << " rows";
  }
}

class FastProducts : public ::testing::TestWithParam<std::size_t> {};

// x = 7, m = 1.5 + 0.02i: N = 22 terms in the band of key 24. L = 48 gives
// 49 nodes (mu = 0 among them; 25 rows, a last row outside whole lanes),
// L = 47 gives 48 (24 rows), L = 40 gives 45 (23 rows). The fast products of
// one complex block (d/dm) and one real block (x d/dx) at node 3, the other
// nodes zero, give at every cosine of the band (the mirrored cosines -mu from
// the same products with s = -1) the sphere's phase matrix and derivatives;
// projected, the sphere's Greek coefficients and derivatives, as the band's
// rule (more nodes than the sphere's own) integrates both exactly.
TEST_P(FastProducts, GiveTheSpherePhaseMatrixAndGreekCoefficients) {
  const double x = 7.0;
  const std::size_t L = GetParam();
  const SolvedSphere solved(x, {1.5, 0.02}, true);
  const auto c = solved.state.coefficients();
  const auto d = solved.state.coefficient_derivatives();
  const std::size_t keys[1] = {engine::band_key(solved.n_terms)};
  const auto layout = engine::layout(keys, L, {});
  ASSERT_TRUE(layout.has_value());
  const engine::Band& band = layout->bands[0];
  const std::size_t n = band.n_nodes;
  PanelProducts products;
  products.prepare(band, 1, 1);
  products.set_block(3, 0, c.a, c.b);
  products.set_block(3, 1, d.da_dm, d.db_dm);
  products.set_block(3, 2, d.da_dx, d.db_dx, x);
  products.multiply(band, solved.n_terms);
  // Columns: the value, then the slots d/dRe m, d/dIm m, x d/dx.
  DistributionSums sums{Numbers(layout->n_quantities), {}, std::vector<Numbers>(3, Numbers(layout->n_quantities)), {}};
  auto block = [&](Numbers& column) { return std::span(column).subspan(band.offset, 4 * n); };
  std::vector<std::span<double>> slots{block(sums.d[0]), block(sums.d[1]), block(sums.d[2])};
  products.node_phase(band, 3, 4.0 / (x * x), block(sums.values), slots);

  Columns want(16, Numbers(n));
  auto buffers = [&](std::size_t b) {
    return vantok::mie::phase::PhaseMatrixBuffers{want[4 * b], want[4 * b + 1], want[4 * b + 2], want[4 * b + 3]};
  };
  ASSERT_TRUE(c.phase_matrix_with_derivatives(band.nodes, d, false, buffers(0), {buffers(3), buffers(1), buffers(2)})
                  .has_value());
  // The real block holds only the amplitudes' x-dependence: x (4/x^2) dP/dx = x dF/dx + 2 F.
  for (std::size_t i = 0; i < 4 * n; ++i) want[12 + i / n][i % n] = x * want[12 + i / n][i % n] + 2.0 * want[i / n][i % n];
  // Entries against the reference, relative to the largest magnitude of each
  // element over the cosines (the elements pass through zero).
  for (std::size_t v = 0; v < 4; ++v) {
    const auto got = block(v == 0 ? sums.values : sums.d[v - 1]);
    for (std::size_t t = 0; t < 4; ++t) {
      const auto& w = want[4 * v + t];
      double scale = 0.0;
      for (const double e : w) scale = std::fmax(scale, std::fabs(e));
      for (std::size_t u = 0; u < n; ++u) EXPECT_NEAR(got[t * n + u], w[u], 1e-13 * scale) << v << " " << t << " " << u;
    }
  }

  // Error columns of magnitudes: each projected error is then the sum of the
  // magnitudes of the terms. Two projections over about 50 nodes, each
  // rounding to about n u of that sum, on tables of their own nodes: they
  // agree to a few 1e-14 of it.
  for (const double v : sums.values) sums.errors.push_back(std::fabs(v));
  for (const Numbers& column : sums.d) {
    sums.d_errors.emplace_back();
    for (const double v : column) sums.d_errors.back().push_back(std::fabs(v));
  }
  const GreekSet projected = engine::project(layout->bands, L, {&sums, 1}).at(0);
  const std::size_t order = std::min(L, 2 * solved.n_terms);
  const auto greek = c.greek_with_derivatives(order, d, false);
  ASSERT_TRUE(greek.has_value());
  for (std::size_t s = 0; s < 6; ++s) {
    ASSERT_EQ(projected[s].size(), L + 1);
    for (std::size_t l = 0; l <= L; ++l) {
      const auto& p = projected[s][l];
      const auto at = [&](const auto& g) { return l <= order ? (*g.vectors()[s])[l] : 0.0; };
      const double want_d[3] = {at(greek->re_m), at(greek->im_m), x * at(greek->x) + 2.0 * at(greek->values)};
      EXPECT_NEAR(p.value, at(greek->values), 4e-14 * p.err) << s << " " << l;
      for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(p.d[k], want_d[k], 4e-14 * p.d_err[k]) << s << " " << l << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(NodeCounts, FastProducts, ::testing::Values(48, 47, 40));
