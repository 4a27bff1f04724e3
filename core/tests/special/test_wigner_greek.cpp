// The Greek Wigner functions at many arguments against wigner_d, bit for bit,
// in both lane widths: arguments on every side of -0.9, 0 and 0.9 (the
// recurrence and mirror changes), the ends, signed zeros, Gauss-Legendre nodes
// and unsorted arguments; degrees around the block edges; the order in which
// blocks arrive; and the refusal of an argument outside [-1, 1].
#include "vantok/special/wigner_greek.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/compare.hpp"
#include "support/lane_widths.hpp"
#include "vantok/special/gauss_legendre.hpp"
#include "vantok/special/wigner.hpp"

namespace {

using vantok::scalar::lanes::Width;
using vantok::special::wigner::GREEK_FUNCTIONS;
using vantok::special::wigner::GreekBlock;
using vantok::special::wigner::GreekWigner;
using vantok::test::bits;

constexpr int M[GREEK_FUNCTIONS] = {0, 2, 2, 0};
constexpr int N[GREEK_FUNCTIONS] = {0, 2, -2, 2};

std::vector<double> arguments() {
  std::vector<double> x = {-1.0, -0.9999, std::nextafter(-0.9, -1.0), -0.9, std::nextafter(-0.9, 0.0), -0.5, -1e-300,
                           -0.0, 0.0, 1e-300, 0.25, std::nextafter(0.9, 0.0), 0.9, std::nextafter(0.9, 1.0), 0.97,
                           1.0 - 0x1p-40, std::nextafter(1.0, 0.0), 1.0};
  std::mt19937_64 rng(27);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int i = 0; i < 37; ++i) x.push_back(uniform(rng));
  for (const std::size_t n : {3, 40, 101}) {
    auto rule = vantok::special::gauss_legendre::gauss_legendre<double>(n);
    x.insert(x.end(), rule->first.begin(), rule->first.end());
  }
  return x;
}

using Rows = std::vector<std::vector<std::vector<double>>>;

// rows[f][k][l] from the blocks, which must come in ascending degree and,
// within a block of degrees, in ascending argument.
Rows collect(const GreekWigner& g, const std::vector<double>& x, Width width) {
  Rows rows(GREEK_FUNCTIONS,
            std::vector<std::vector<double>>(x.size(), std::vector<double>(g.l_max() + 1, 99.0)));
  std::pair<std::size_t, std::size_t> next{0, 0};  // (l_begin, first argument) allowed next
  auto r = g.evaluate(
      x,
      [&](const GreekBlock& b) {
        EXPECT_TRUE(b.l_begin > next.first || (b.l_begin == next.first && b.first >= next.second));
        next = {b.l_begin, b.first + b.lanes};
        for (std::size_t f = 0; f < GREEK_FUNCTIONS; ++f) {
          for (std::size_t j = 0; j < b.lanes; ++j) {
            const auto row = b.row(f, j);
            std::copy(row.begin(), row.end(),
                      rows[f][b.first + j].begin() + static_cast<std::ptrdiff_t>(b.l_begin));
          }
        }
      },
      width);
  EXPECT_TRUE(r.has_value());
  return rows;
}

TEST(GreekWigner, MatchesWignerDBitForBit) {
  std::vector<double> x = arguments();
  for (const std::size_t l_max : {0, 1, 2, 3, 31, 32, 33, 64, 257}) {
    const GreekWigner g(l_max);
    for (const Width width : vantok::test::lane_widths()) {
      const Rows rows = collect(g, x, width);
      std::vector<double> ref(l_max + 1);
      for (std::size_t k = 0; k < x.size(); ++k) {
        for (std::size_t f = 0; f < GREEK_FUNCTIONS; ++f) {
          ASSERT_TRUE(vantok::special::wigner::wigner_d<double>(M[f], N[f], x[k], ref).has_value());
          for (std::size_t l = 0; l <= l_max; ++l) {
            ASSERT_EQ(bits(rows[f][k][l]), bits(ref[l]))
                << "d^" << l << "_" << M[f] << "," << N[f] << "(" << x[k] << ") width "
                << static_cast<int>(width) << ": " << rows[f][k][l] << " vs " << ref[l];
          }
        }
      }
    }
  }
}

TEST(GreekWigner, RefusesArgumentsOutsideTheRange) {
  const GreekWigner g(10);
  for (const double bad : {1.0000000000000002, std::nan(""), -2.0}) {
    bool called = false;
    auto r = g.evaluate(std::vector<double>{0.5, bad}, [&](const GreekBlock&) { called = true; });
    std::vector<double> out(11);
    auto ref = vantok::special::wigner::wigner_d<double>(0, 0, bad, out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), ref.error());
    EXPECT_FALSE(called);
  }
}

}  // namespace
