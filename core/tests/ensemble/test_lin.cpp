// Values with errors and derivatives, on cases whose results are exact in binary.
#include "vantok/ensemble/lin.hpp"

#include <gtest/gtest.h>

#include <cmath>

using vantok::ensemble::lin::Lin;

// q = a/b, err = (|q| e_b + e_a)/|b|, d_k = (a_k - q b_k)/b and
// d_err_k = ((e_ak + |q| e_bk) + |d_k| e_b + |b_k| err)/|b| over the shorter list.
TEST(Lin, QuotientScaleAndConstant) {
  const Lin q = Lin{1.0, 0.125, {1.0, 2.0, 7.0}, {0.25, 0.5, 1.0}}.div(Lin{-4.0, 0.5, {2.0, -1.0}, {0.75, 0.0}});
  EXPECT_EQ(q, (Lin{-0.25, 0.0625, {-0.375, -0.4375}, {0.1875, 0.1953125}}));
  EXPECT_EQ((Lin{6.0, 0.3, {}, {}}.div(Lin{2.0, 0.1, {}, {}})), (Lin{3.0, (3.0 * 0.1 + 0.3) / 2.0, {}, {}}));
  // A quotient by zero is not checked.
  const Lin z = Lin{1.0, 0.1, {1.0}, {0.0}}.div(Lin{0.0, 0.0, {1.0}, {0.0}});
  EXPECT_TRUE(std::isinf(z.value) && !std::isfinite(z.err) && !std::isfinite(z.d[0]));
  EXPECT_TRUE(std::isnan(Lin{0.0, 0.0, {}, {}}.div(Lin{0.0, 0.0, {}, {}}).value));

  const double k = 4.0 * M_PI;
  EXPECT_EQ((Lin{2.0, 0.5, {1.0, -3.0}, {0.25, 0.125}}.scale(k)),
            (Lin{2.0 * k, 0.5 * k, {k, -3.0 * k}, {0.25 * k, 0.125 * k}}));
  EXPECT_EQ(Lin::constant(0.0, 3), (Lin{0.0, 0.0, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}}));
}
