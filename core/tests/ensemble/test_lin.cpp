// Values with errors and derivatives: the quotient, the scaling and the
// constant, on cases whose results are exact in binary.
#include "vantok/ensemble/lin.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using vantok::ensemble::lin::Lin;

TEST(Lin, QuotientWithoutDerivatives) {
  // 6 ± 0.3 over 2 ± 0.1: 3 ± (3·0.1 + 0.3)/2.
  const Lin q = Lin{6.0, 0.3, {}, {}}.div(Lin{2.0, 0.1, {}, {}});
  EXPECT_EQ(q.value, 3.0);
  EXPECT_EQ(q.err, (3.0 * 0.1 + 0.3) / 2.0);
  EXPECT_NEAR(q.err, 0.3, 1e-16);
  EXPECT_TRUE(q.d.empty() && q.d_err.empty());
}

TEST(Lin, QuotientDerivatives) {
  // d(a/b) = (a' - q b')/b = (1 - 3)/2.
  const Lin p = Lin{6.0, 0.0, {1.0}, {0.0}}.div(Lin{2.0, 0.0, {1.0}, {0.0}});
  EXPECT_EQ(p.d, std::vector<double>{-1.0});
  EXPECT_EQ(p.d_err, std::vector<double>{0.0});

  // A derivative error picks up the quotient's own error: |b'|·e/|b|.
  const Lin r = Lin{6.0, 0.5, {3.0}, {0.0}}.div(Lin{2.0, 0.0, {1.0}, {0.0}});
  EXPECT_EQ(r.d[0], 0.0);
  EXPECT_EQ(r.err, 0.25);
  EXPECT_EQ(r.d_err[0], r.err / 2.0);

  // All four error terms, in their order, and the shorter derivative list.
  const Lin a{1.0, 0.125, {1.0, 2.0, 7.0}, {0.25, 0.5, 1.0}};
  const Lin b{-4.0, 0.5, {2.0, -1.0}, {0.75, 0.0}};
  const Lin s = a.div(b);
  ASSERT_EQ(s.d.size(), 2u);
  const double q = -0.25;
  const double e = (0.25 * 0.5 + 0.125) / 4.0;
  EXPECT_EQ(s.err, e);
  for (std::size_t k = 0; k < 2; ++k) {
    const double dk = (a.d[k] - q * b.d[k]) / -4.0;
    EXPECT_EQ(s.d[k], dk);
    EXPECT_EQ(s.d_err[k],
              (((a.d_err[k] + 0.25 * b.d_err[k]) + std::fabs(dk) * 0.5) + std::fabs(b.d[k]) * e) / 4.0);
  }
}

TEST(Lin, QuotientByZeroIsNotChecked) {
  const Lin q = Lin{1.0, 0.1, {1.0}, {0.0}}.div(Lin{0.0, 0.0, {1.0}, {0.0}});
  EXPECT_TRUE(std::isinf(q.value));
  EXPECT_FALSE(std::isfinite(q.err));
  EXPECT_FALSE(std::isfinite(q.d[0]));
  const Lin z = Lin{0.0, 0.0, {}, {}}.div(Lin{0.0, 0.0, {}, {}});
  EXPECT_TRUE(std::isnan(z.value));
}

TEST(Lin, ScaleAndConstant) {
  const double four_pi = 4.0 * M_PI;
  const Lin a{2.0, 0.5, {1.0, -3.0}, {0.25, 0.125}};
  const Lin s = a.scale(four_pi);
  EXPECT_EQ(s, (Lin{2.0 * four_pi, 0.5 * four_pi, {four_pi, -3.0 * four_pi}, {0.25 * four_pi, 0.125 * four_pi}}));
  EXPECT_EQ(a.scale(1.0), a);
  EXPECT_EQ(Lin::constant(0.0, 3), (Lin{0.0, 0.0, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}}));
  EXPECT_TRUE(Lin::constant(1.0, 0).d.empty());
}
