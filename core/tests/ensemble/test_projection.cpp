// Projection onto Greek coefficients: one sphere's node tables give the
// sphere's own Greek coefficients; bands add to their own orders only; stacked
// derivative rows project like values; error columns through the magnitude
// matrices bound the coefficients, alike for alpha2 and alpha3.
#include "vantok/ensemble/projection.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "ensemble/sphere_support.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/mie/phase.hpp"

namespace engine = vantok::ensemble::engine;
using engine::DistributionSums;
using engine::GreekSet;

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

}  // namespace

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

// L = 4 with the bands of keys 1 and 5: L_eff = 4, the key-1 band (3 nodes)
// adds to orders 0 .. 2 only, and the two bands add.
TEST(Project, BandsAddToTheirOwnOrders) {
  const std::size_t keys[2] = {1, 5};
  const auto layout = engine::layout(keys, 4, {});
  ASSERT_TRUE(layout.has_value());
  const std::size_t length = layout->n_quantities;
  const engine::Band& low = layout->bands[0];
  DistributionSums both = random_sums(length, 0, 7);
  DistributionSums only_low = both;
  DistributionSums only_high = both;
  for (std::size_t i = low.offset; i < length; ++i) {
    const bool in_low = i < low.offset + 4 * low.n_nodes;
    (in_low ? only_high : only_low).values[i] = 0.0;
  }
  const auto r_both = engine::project(layout->bands, 4, {&both, 1});
  const auto r_low = engine::project(layout->bands, 4, {&only_low, 1});
  const auto r_high = engine::project(layout->bands, 4, {&only_high, 1});
  for (std::size_t s = 0; s < 6; ++s) {
    ASSERT_EQ(r_both[0][s].size(), 5u);
    EXPECT_EQ(r_low[0][s][3].value, 0.0);
    EXPECT_EQ(r_low[0][s][4].value, 0.0);
    for (std::size_t l = 0; l < 5; ++l) {
      EXPECT_NEAR(r_both[0][s][l].value, r_low[0][s][l].value + r_high[0][s][l].value, 1e-14) << s << l;
    }
  }
  EXPECT_NE(r_low[0][0][2].value, 0.0);
  // No band: one zero coefficient per series, with the derivative count.
  const DistributionSums with_p = random_sums(8, 2, 3);
  const auto none = engine::project({}, 4, {&with_p, 1});
  for (std::size_t s = 0; s < 6; ++s) {
    EXPECT_EQ(none[0][s], std::vector<vantok::ensemble::lin::Lin>{vantok::ensemble::lin::Lin::constant(0.0, 2)});
  }
}

// Two distributions with P = 2: six stacked rows. Each derivative (and its
// error) projects as the value (and error) of a distribution made of that
// column; every error bounds its coefficient, and alpha2, alpha3 share theirs.
TEST(Project, StackedDerivativesAndErrors) {
  const std::size_t keys[2] = {4, 9};
  const auto layout = engine::layout(keys, 30, {});
  ASSERT_TRUE(layout.has_value());
  const std::size_t length = layout->n_quantities;
  const std::vector<DistributionSums> sums{random_sums(length, 2, 1), random_sums(length, 2, 2)};
  const auto projected = engine::project(layout->bands, 30, sums);
  ASSERT_EQ(projected.size(), 2u);
  for (std::size_t q = 0; q < 2; ++q) {
    for (std::size_t k = 0; k < 2; ++k) {
      const DistributionSums alone{sums[q].d[k], sums[q].d_errors[k], {}, {}};
      const auto single = engine::project(layout->bands, 30, {&alone, 1});
      for (std::size_t s = 0; s < 6; ++s) {
        ASSERT_EQ(projected[q][s].size(), 19u);
        for (std::size_t l = 0; l < 19; ++l) {
          const auto& lin = projected[q][s][l];
          EXPECT_NEAR(lin.d[k], single[0][s][l].value, 1e-14) << q << k << s << l;
          EXPECT_NEAR(lin.d_err[k], single[0][s][l].err, 1e-14) << q << k << s << l;
          EXPECT_GE(lin.err, std::fabs(lin.value));
          EXPECT_GE(lin.d_err[k], std::fabs(lin.d[k]));
        }
      }
    }
    for (std::size_t l = 0; l < 19; ++l) {
      EXPECT_EQ(projected[q][1][l].err, projected[q][2][l].err);
      EXPECT_EQ(projected[q][1][l].d_err, projected[q][2][l].d_err);
    }
  }
}
