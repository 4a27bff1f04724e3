// Wigner d functions against Wigner's sum evaluated exactly (gen_wigner_d.py),
// (every path, on both sides of each switch), symmetries, the extended exponent
// far below the double range, and the dual instance's partials against central
// differences.
#include "vantok/special/wigner.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "support/central_difference.hpp"
#include "support/compare.hpp"
#include "support/expect_error.hpp"
#include "support/table.hpp"

namespace {

using vantok::special::wigner::wigner_d;
using vantok::test::bits;
using vantok::test::rel_err;
using D = vantok::scalar::DualF64;

std::vector<double> wigner(std::int32_t m, std::int32_t n, double x, std::size_t len) {
  std::vector<double> out(len, 99.0);
  EXPECT_TRUE(wigner_d<double>(m, n, x, out).has_value()) << "m=" << m << " n=" << n << " x=" << x;
  return out;
}

// Every path (the mirror below x = -0.9, the difference forms from x = 0.9 and
// for m = n, the three-term form between) up to degree 400, judged relative to
// the largest |d| of the row: near x = 1 a row with m != n is of the size
// ((1 - x)/2)^(|m - n|/2), and the three-term form loses digits to
// cancellation there. Beyond (to l = 3999, some entries leaving and
// re-entering the double range): 1e-12 relative; subnormal references absolute.
TEST(WignerD, MatchesExactReference) {
  std::map<std::tuple<int, int, double>, std::vector<std::pair<std::size_t, double>>> rows;
  for (const vantok::test::Record& r : vantok::test::read_table("wigner_d.txt")) {
    rows[{std::stoi(r.tag), std::stoi(r.fields.at(0)), r.num(1)}].push_back({r.count(2), r.num(3)});
  }
  ASSERT_GT(rows.size(), 100u);
  for (const auto& [key, refs] : rows) {
    const auto [m, n, x] = key;
    const auto out = wigner(m, n, x, refs.back().first + 1);
    double row_scale = 0.0;
    for (const auto& [l, want] : refs) row_scale = std::fmax(row_scale, l < 400 ? std::fabs(want) : 0.0);
    for (const auto& [l, want] : refs) {
      const double got = out[l];
      const double err = std::fabs(got - want);
      const bool ok = l < 400                    ? err <= 4e-14 * row_scale
                      : std::fabs(want) < 1e-300 ? err <= 1e-310
                                                 : rel_err(got, want) <= 1e-12;
      EXPECT_TRUE(ok) << "m=" << m << " n=" << n << " x=" << x << " l=" << l << " got " << got << " want " << want;
    }
  }
}

// The mirror x -> -x flips the sign bit of every second entry from l_min on,
// zeros included; entries below l_min are +0.0. Issue 5: m or n = -2^31 gives
// zeros (64-bit index arithmetic).
TEST(WignerD, SignsAndZeros) {
  for (auto [m, n] : {std::pair{1, 0}, {0, 3}, {2, -1}}) {
    const auto mirrored = wigner(m, n, -1.0, 8), direct = wigner(m, -n, 1.0, 8);
    for (std::size_t l = 0; l < 8; ++l) {
      const bool odd = l >= static_cast<std::size_t>(std::max(std::abs(m), std::abs(n))) && (static_cast<int>(l) + m) % 2 != 0;
      EXPECT_EQ(bits(mirrored[l]), bits(odd ? -direct[l] : direct[l])) << m << " " << n << " " << l;
    }
  }
  EXPECT_EQ(bits(wigner(0, 0, -0.0, 3)[1]), bits(-0.0));
  const auto part = wigner(-4, 2, 0.4, 8);
  for (std::size_t l = 0; l < 4; ++l) EXPECT_EQ(bits(part[l]), bits(0.0));
  const std::int32_t lo = std::numeric_limits<std::int32_t>::min();
  for (auto [m, n] : {std::pair{lo, 0}, {0, lo}, {lo, std::numeric_limits<std::int32_t>::max()}}) {
    for (double x : {-1.0, -0.95, 0.5, 1.0}) {
      for (double v : wigner(m, n, x, 16)) EXPECT_EQ(bits(v), bits(0.0));
    }
  }
}

// Issue 5: the extended-exponent step runs once per degree. d^l_{0,400}(0.9999)
// starts near 2^-3000, is 0 in doubles up to l ~ 3000 and re-enters the
// normal range just before l = 3999; the dual instance keeps the values of
// double and finite partials, which match a central difference there.
TEST(WignerD, ExtendedExponentReentersDoubleRange) {
  const std::size_t len = 4000;
  const auto out = wigner(0, 400, 0.9999, len);
  for (std::size_t l = 0; l < 3000; ++l) ASSERT_EQ(out[l], 0.0) << l;
  EXPECT_LE(rel_err(out[3999], 4.3188282248613287e-290), 1e-12);
  std::vector<D> dual(len);
  ASSERT_TRUE(wigner_d<D>(0, 400, D::variable(0.9999, 0), dual).has_value());
  for (std::size_t l = 0; l < len; ++l) {
    ASSERT_EQ(bits(dual[l].value), bits(out[l])) << l;
    ASSERT_TRUE(std::isfinite(dual[l].partials[0])) << l;
  }
  const double h = 1e-9;
  const double fd = (wigner(0, 400, 0.9999 + h, len)[3999] - wigner(0, 400, 0.9999 - h, len)[3999]) / (2 * h);
  EXPECT_LE(rel_err(dual[3999].partials[0], fd), 1e-5);
}

// The dual instance carries d/dx: values of double bit for bit, partials
// against a fourth-order central difference (step 1e-4: rounding ~1e-12,
// truncation ~1e-11 for l <= 15 away from x = +-1).
TEST(WignerD, DualPartialsMatchCentralDifferences) {
  const std::size_t len = 16;
  for (double x : {-0.93, -0.2, 0.0, 0.35, 0.85, 0.9, 0.95}) {
    for (auto [m, n] : {std::pair{0, 0}, {2, 2}, {2, -2}, {0, 2}, {3, -1}, {-2, 4}}) {
      D dx = D::variable(x, 0);
      dx.partials[2] = -3.0;  // a second direction, scaled
      std::vector<D> out(len, D::constant(5.0));
      ASSERT_TRUE(wigner_d<D>(m, n, dx, out).has_value());
      const auto f0 = wigner(m, n, x, len);
      const auto diff = vantok::test::central_difference([&](double s) { return wigner(m, n, x + s, len); }, 1e-4);
      for (std::size_t l = 0; l < len; ++l) {
        EXPECT_EQ(bits(out[l].value), bits(f0[l])) << x << " " << m << " " << n << " " << l;
        const double tol = 1e-8 * std::max(1.0, std::fabs(diff[l]));
        EXPECT_NEAR(out[l].partials[0], diff[l], tol) << x << " " << m << " " << n << " " << l;
        EXPECT_NEAR(out[l].partials[2], -3.0 * diff[l], 3.0 * tol);
        EXPECT_TRUE(out[l].partials[1] == 0.0 && out[l].partials[3] == 0.0);
      }
    }
  }
}

// x outside [-1, 1] or NaN is refused by value, leaving out untouched.
TEST(WignerD, RefusesArgumentOutsideDomain) {
  for (const auto& [x, text] : {std::pair{std::nan(""), "NaN"}, {1.0000000000000002, "1.0000000000000002"},
                                {-1e20, "-1e20"}, {-INFINITY, "-inf"}}) {
    std::vector<double> out(4, 7.0);
    vantok::test::expect_error(wigner_d<double>(0, 0, x, out), vantok::Error::Kind::InvalidInput,
                               std::string("wigner_d needs -1 <= x <= 1, got ") + text);
    EXPECT_EQ(out[0], 7.0);
  }
  std::vector<D> out(3, D::constant(2.0));
  vantok::test::expect_error(wigner_d<D>(0, 0, D::variable(1.5, 0), out), vantok::Error::Kind::InvalidInput,
                             "wigner_d needs -1 <= x <= 1, got 1.5");
}

}  // namespace
