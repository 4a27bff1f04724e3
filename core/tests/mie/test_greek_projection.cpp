// The Greek projection in every lane width against the defining sums
// (2l+1)/2 sum_k w_k F(x_k) d^l(x_k) in long double: the widths agree bit for
// bit and with the sums to rounding, for 1 and 4 table sets, node counts of
// the Newton and asymptotic rules, orders 0 to 2N and the 32-degree block edges.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/compare.hpp"
#include "support/lane_widths.hpp"
#include "vantok/mie/coefficients.hpp"
#include "vantok/mie/greek.hpp"
#include "vantok/special/wigner.hpp"

namespace {

using vantok::mie::greek::GreekCoefficients;
using vantok::mie::greek::PhaseMatrixTable;
using vantok::test::bits;

TEST(GreekProjection, WidthsAgreeBitForBitAndWithTheDefiningSums) {
  std::mt19937_64 rng(27);
  std::normal_distribution<double> normal;
  const std::pair<std::size_t, std::size_t> cases[] = {{1, 0},   {1, 2},   {3, 1},   {5, 10},  {16, 31},
                                                       {16, 32}, {17, 33}, {40, 80}, {90, 17}, {150, 300}};
  for (const auto& [n_terms, order] : cases) {
    auto projector = vantok::mie::coefficients::Coefficients::greek_projector(n_terms, order);
    ASSERT_TRUE(projector.has_value());
    const std::size_t q = projector->nodes.size(), len = projector->effective_order + 1;
    // Four sets of random tables; F values of both signs, some exact zeros.
    std::vector<std::vector<double>> columns(16, std::vector<double>(q));
    for (auto& column : columns) {
      for (double& v : column) v = normal(rng);
      column[q / 2] = 0.0;
    }
    std::vector<PhaseMatrixTable> tables;
    for (std::size_t s = 0; s < 4; ++s)
      tables.push_back({columns[4 * s], columns[4 * s + 1], columns[4 * s + 2], columns[4 * s + 3]});
    // sums[s][i][l]: alpha1 (F11 d00), alpha2 and alpha3 (the half sum and difference of
    // (F11 + F33) d22 and (F11 - F33) d2,-2), alpha4 (F33 d00), beta1 and beta2 (F12 and F34 d02).
    std::vector<std::vector<std::vector<long double>>> sums(
        4, std::vector<std::vector<long double>>(6, std::vector<long double>(len)));
    std::vector<double> d00(len), d22(len), d2m2(len), d02(len);
    for (std::size_t k = 0; k < q; ++k) {
      const double x = projector->nodes[k];
      for (auto [m, n, d] : {std::tuple{0, 0, &d00}, {2, 2, &d22}, {2, -2, &d2m2}, {0, 2, &d02}}) {
        ASSERT_TRUE(vantok::special::wigner::wigner_d<double>(m, n, x, *d).has_value());
      }
      for (std::size_t s = 0; s < 4; ++s) {
        const long double w = projector->weights[k], f11 = tables[s].f11[k], f33 = tables[s].f33[k];
        for (std::size_t l = 0; l < len; ++l) {
          const long double plus = (f11 + f33) * d22[l], minus = (f11 - f33) * d2m2[l];
          const long double terms[6] = {f11 * d00[l], (plus + minus) / 2,        (plus - minus) / 2,
                                        f33 * d00[l], tables[s].f12[k] * d02[l], tables[s].f34[k] * d02[l]};
          for (std::size_t i = 0; i < 6; ++i) sums[s][i][l] += w * terms[i] * (2.0L * l + 1.0L) / 2.0L;
        }
      }
    }
    for (const std::size_t count : {1u, 4u}) {
      const std::vector<PhaseMatrixTable> sets(tables.begin(), tables.begin() + static_cast<std::ptrdiff_t>(count));
      std::vector<GreekCoefficients<double>> first;
      for (const auto width : vantok::test::lane_widths()) {
        auto got = projector->project(sets, width);
        ASSERT_TRUE(got.has_value() && got->size() == count);
        if (first.empty()) first = *got;
        for (std::size_t s = 0; s < count; ++s) {
          const auto gv = (*got)[s].vectors(), fv = first[s].vectors();
          for (std::size_t i = 0; i < 6; ++i) {
            ASSERT_EQ(gv[i]->size(), len);
            for (std::size_t l = 0; l < len; ++l) {
              const std::string what = "N=" + std::to_string(n_terms) + " L=" + std::to_string(order) + " set " +
                                       std::to_string(s) + " coefficient " + std::to_string(i) +
                                       " l=" + std::to_string(l);
              ASSERT_EQ(bits((*gv[i])[l]), bits((*fv[i])[l])) << what << " width " << static_cast<int>(width);
              ASSERT_NEAR((*gv[i])[l], static_cast<double>(sums[s][i][l]),
                          1e-13 * (2.0 * static_cast<double>(l) + 1.0) * std::sqrt(static_cast<double>(q)))
                  << what;
            }
          }
        }
      }
    }
  }
}

}  // namespace
