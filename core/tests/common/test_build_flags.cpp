// Canary: fails if the compiler fuses a*b+c into an fma or reassociates.
#include <gtest/gtest.h>

#include <cmath>

namespace {
// volatile keeps the operands from being folded at compile time.
volatile double va = 1.0 + 0x1p-30;
volatile double vb = 1.0 - 0x1p-30;
volatile double vc = -1.0;
}  // namespace

TEST(BuildFlags, NoContraction) {
  const double a = va, b = vb, c = vc;
  // a*b = 1 - 2^-60 rounds to 1 in double, so a*b + c is exactly 0 unless the
  // product is kept unrounded in an fma, which gives -2^-60.
  const double unfused = a * b + c;
  EXPECT_EQ(unfused, 0.0);
  EXPECT_EQ(std::fma(a, b, c), -0x1p-60);
}

TEST(BuildFlags, NoReassociationOrSignedZeroLoss) {
  volatile double big = 1e16;
  const double x = big;
  EXPECT_EQ((x + 1.0) - x, 0.0);  // 1e16 + 1 rounds to 1e16
  volatile double z = 0.0;
  const double nz = -static_cast<double>(z);
  EXPECT_TRUE(std::signbit(nz + (-0.0)));
}
