// Riccati-Bessel ratios r_n(z) = psi_n(z)/psi_{n-1}(z) against high-precision
// values (mpmath upward recurrence at adaptive precision, mie_reference.txt).
#include "vantok/mie/ratios.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/compare.hpp"
#include "support/table.hpp"

using vantok::Complex;
using vantok::mie::kernel::ratios;
using vantok::mie::kernel::ratios_complex;
using vantok::mie::kernel::ratios_real;
using vantok::mie::kernel::start_order;
using vantok::test::rel_err;

TEST(Ratios, MatchReferenceTable) {
  const auto table = vantok::test::read_table("mie_reference.txt");
  const auto cases = vantok::test::blocks(table, "ratio");
  ASSERT_EQ(cases.size(), 8u);
  std::vector<double> real_out;
  std::vector<Complex<double>> out;
  std::vector<double> scratch;
  for (const auto& block : cases) {
    const Complex<double> z{block[0].num(0), block[0].num(1)};
    const std::size_t n_terms = block[0].count(2);
    ratios_complex(out, n_terms, z);
    ASSERT_EQ(out.size(), n_terms + 2);
    EXPECT_EQ(out[0].re, 0.0);
    EXPECT_EQ(out[0].im, 0.0);
    // z = m x with m = z, x = 1 through the dispatching routine.
    std::vector<Complex<double>> via;
    ratios(via, scratch, n_terms, z, 1.0);
    ASSERT_EQ(via.size(), n_terms + 2);
    if (z.im == 0.0) {
      ratios_real(real_out, n_terms, z.re);
      ASSERT_EQ(real_out.size(), n_terms + 2);
    }
    for (std::size_t i = 1; i < block.size(); ++i) {
      const std::size_t n = block[i].count(0);
      const Complex<double> want{block[i].num(1), block[i].num(2)};
      // Rounding of 1/z alone moves r_n by kappa ulps, kappa = |z d ln r_n/dz|
      // (up to ~2e3 for z = 1000, where r_n oscillates like cot z); the
      // recurrence adds a few ulps per order through the oscillatory region.
      const double tol = 0x1p-52 * (8.0 + 4.0 * block[i].num(3));
      const double scale = std::hypot(want.re, want.im);
      const double err = std::hypot(out[n].re - want.re, out[n].im - want.im) / scale;
      EXPECT_LT(err, tol) << "z = " << z.re << " + " << z.im << "i, n = " << n;
      if (z.im == 0.0) {
        EXPECT_LT(rel_err(real_out[n], want.re), tol) << "z = " << z.re << ", n = " << n;
        // The dispatching routine takes the real path and copies with +0.0.
        EXPECT_EQ(via[n].re, real_out[n]);
        EXPECT_EQ(std::signbit(via[n].im), false);
        EXPECT_EQ(via[n].im, 0.0);
      } else {
        EXPECT_EQ(via[n], out[n]);
      }
    }
  }
}

TEST(Ratios, ZeroTermsAndCapacity) {
  std::vector<double> r;
  ratios_real(r, 0, 0.7);
  ASSERT_EQ(r.size(), 2u);
  // r_1 = psi_1/psi_0 = 1/z - cot z.
  EXPECT_LT(rel_err(r[1], 1.0 / 0.7 - std::cos(0.7) / std::sin(0.7)), 1e-15);
  ratios_real(r, 50, 0.7);
  const auto* data = r.data();
  ratios_real(r, 20, 0.7);
  EXPECT_EQ(r.size(), 22u);
  EXPECT_EQ(r.data(), data);  // capacity kept, no reallocation
}

TEST(Ratios, SmallArgumentLimit) {
  // r_n(z) -> z/(2n+1) as z -> 0.
  std::vector<double> r;
  ratios_real(r, 10, 1e-6);
  for (std::size_t n = 1; n <= 11; ++n) {
    EXPECT_LT(rel_err(r[n], 1e-6 / static_cast<double>(2 * n + 1)), 1e-12) << n;
  }
}

TEST(StartOrder, Rule) {
  // Small argument: n_lo = N + 1, few extra orders since the decay is fast.
  const double t = std::log2(23.0 / 1e-6 - 0.5);
  EXPECT_EQ(start_order(1e-6, 10), 11u + static_cast<std::size_t>(std::ceil(52.0 / (t + t))) + 2u);
  // Large argument, small N: the Airy bound caps the start order.
  const double c = 26.936 * std::sqrt(1000.0);
  const auto airy = static_cast<std::size_t>(std::ceil(std::pow(c, 0.6666666666666666) + 1000.0)) + 30;
  EXPECT_EQ(start_order(1000.0, 5), airy);
  EXPECT_LT(airy, 1500u);
  // Non-finite moduli never wrap or hang: NaN gives a small start.
  EXPECT_LE(start_order(std::nan(""), 5), 30u);
  EXPECT_EQ(start_order(1.0, std::numeric_limits<std::size_t>::max()),
            std::numeric_limits<std::size_t>::max());
}
