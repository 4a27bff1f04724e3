// Projection onto Greek coefficients: the projection matrices against the
// orthogonality of the Wigner functions under the band's rule; the
// projection, which never stores them, against the products of the stored
// matrices bit for bit (so bands add to their own orders only, stacked
// derivative rows project like values, error columns go through the
// magnitude matrices alike for alpha2 and alpha3), for every way matmul sums
// and on any number of threads; one sphere's node tables give the sphere's
// own Greek coefficients.
#include "vantok/ensemble/projection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "ensemble/model_support.hpp"
#include "support/compare.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/phase.hpp"
#include "vantok/pool.hpp"
#include "vantok/special/wigner.hpp"

namespace engine = vantok::ensemble::engine;
using engine::DistributionSums;
using engine::GreekSet;
using vantok::ensemble::matrix::Mat;

namespace {

// Value and derivative columns uniform in [-1, 1], each error column the
// magnitudes of its column: the projected errors then bound the projected
// values.
DistributionSums random_sums(std::size_t length, std::size_t p, std::uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  DistributionSums s;
  auto add = [&](std::vector<double>& column, std::vector<double>& errors) {
    column.resize(length);
    errors.resize(length);
    for (std::size_t i = 0; i < length; ++i) {
      column[i] = u(gen);
      errors[i] = std::fabs(column[i]);
    }
  };
  add(s.values, s.errors);
  s.d.resize(p);
  s.d_errors.resize(p);
  for (std::size_t k = 0; k < p; ++k) add(s.d[k], s.d_errors[k]);
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
    for (Mat& m : e) {
      for (double& v : m.data) v = std::fabs(v);
    }
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

bool same_bits(const std::vector<GreekSet>& x, const std::vector<GreekSet>& y) {
  auto bits = [](double a, double b) { return vantok::test::same_bits(a, b); };
  if (x.size() != y.size()) return false;
  for (std::size_t q = 0; q < x.size(); ++q) {
    for (std::size_t s = 0; s < 6; ++s) {
      if (x[q][s].size() != y[q][s].size()) return false;
      for (std::size_t l = 0; l < x[q][s].size(); ++l) {
        const auto& a = x[q][s][l];
        const auto& b = y[q][s][l];
        if (!bits(a.value, b.value) || !bits(a.err, b.err) || a.d.size() != b.d.size()) return false;
        for (std::size_t k = 0; k < a.d.size(); ++k) {
          if (!bits(a.d[k], b.d[k]) || !bits(a.d_err[k], b.d_err[k])) return false;
        }
      }
    }
  }
  return true;
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

// x = 7, m = 1.5 + 0.02i, all orders (L = 2N): the band of key 24 has more
// nodes than the sphere's own rule, and both integrate exactly.
TEST(Project, SphereTablesGiveSphereGreek) {
  const double x = 7.0;
  const vantok::test::ensemble::SolvedSphere solved(x, {1.5, 0.02}, false);
  const std::size_t n_terms = solved.n_terms;
  const auto& sphere = solved.state;
  const auto c = sphere.coefficients();
  const std::size_t order = 2 * n_terms;

  const std::vector<double> mu{0.3};
  const std::size_t keys[1] = {engine::band_key(n_terms)};
  const auto layout = engine::layout(keys, order, mu);
  ASSERT_TRUE(layout.has_value());
  const engine::Band& band = layout->bands[0];
  const std::size_t n = band.n_nodes;
  DistributionSums sums{std::vector<double>(layout->n_quantities, 0.0),
                        std::vector<double>(layout->n_quantities, 0.0), {}, {}};
  double* f = sums.values.data() + band.offset;
  ASSERT_TRUE(c.phase_matrix(band.nodes, false, {{f, n}, {f + n, n}, {f + 2 * n, n}, {f + 3 * n, n}})
                  .has_value());
  // Error columns of magnitudes: each projected error is then the sum of the
  // magnitudes of the terms. Two projections over about 50 nodes, each
  // rounding to about n u of that sum, on tables of their own nodes: they
  // agree to a few 1e-14 of it.
  for (std::size_t i = 0; i < sums.values.size(); ++i) sums.errors[i] = std::fabs(sums.values[i]);

  const std::vector<GreekSet> projected = engine::project(layout->bands, order, {&sums, 1});
  const auto want = c.greek(order, false);
  ASSERT_TRUE(want.has_value());
  const auto series = want->vectors();
  ASSERT_EQ(projected.size(), 1u);
  for (std::size_t s = 0; s < 6; ++s) {
    ASSERT_EQ(projected[0][s].size(), order + 1);
    for (std::size_t l = 0; l <= order; ++l) {
      EXPECT_NEAR(projected[0][s][l].value, (*series[s])[l], 4e-14 * projected[0][s][l].err) << s << " " << l;
    }
  }
}
