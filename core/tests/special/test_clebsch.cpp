#include "vantok/special/clebsch.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "support/compare.hpp"
#include "support/table.hpp"
#include "vantok/error.hpp"

// Allocation guard of this test program: while a cap is set, a request above
// it fails with std::bad_alloc instead of reserving memory, so that a test can
// tell a refusal made before allocating from an attempt to allocate (and a
// regression never really reserves gigabytes).
namespace {
std::atomic<std::size_t> allocation_cap{0};  // 0: no cap
}  // namespace

void* operator new(std::size_t size) {
  const std::size_t cap = allocation_cap.load(std::memory_order_relaxed);
  if (cap != 0 && size > cap) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using vantok::special::clebsch::clebsch_gordan;
using vantok::test::bits;

struct Row {
  std::int64_t l1, m1, l2, m2, l_min;
  std::vector<double> values;
};

// One line per call: l1 m1 l2 m2 L_min and the values.
std::vector<Row> read_table() {
  std::vector<Row> rows;
  for (const vantok::test::Record& line : vantok::test::read_table("clebsch.txt")) {
    Row r{std::stoll(line.tag), std::stoll(line.fields.at(0)), std::stoll(line.fields.at(1)),
          std::stoll(line.fields.at(2)), std::stoll(line.fields.at(3)), {}};
    for (std::size_t i = 4; i < line.fields.size(); ++i) r.values.push_back(line.num(i));
    rows.push_back(std::move(r));
  }
  return rows;
}

// Against Racah's formula in exact rationals (gen_clebsch.py): every l1, l2 <= 6
// with every m1, m2, and a few larger cases. The values are at most 1 and the
// two sweeps, the match and the normalisation cost a few roundings each: 1e-15
// absolute up to l = 6, 1e-14 for the larger cases (up to l1 + l2 = 790, among
// them lists that rise through a classically forbidden region at small L and
// lists spanning more than 2^500).
TEST(ClebschGordan, MatchesRacahFormula) {
  const auto rows = read_table();
  ASSERT_GT(rows.size(), 2400u);
  std::vector<double> out;
  for (const auto& r : rows) {
    const std::int64_t l_min = clebsch_gordan(r.l1, r.m1, r.l2, r.m2, out);
    ASSERT_EQ(l_min, r.l_min);
    ASSERT_EQ(out.size(), r.values.size());
    const double tol = (r.l1 <= 6 && r.l2 <= 6) ? 1e-15 : 1e-14;
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_LE(std::fabs(out[i] - r.values[i]), tol) << r.l1 << " " << r.m1 << " " << r.l2 << " " << r.m2 << " L="
                          << r.l_min + static_cast<std::int64_t>(i) << " got " << out[i] << " want "
                          << r.values[i];
    }
  }
}

// Signed zeros where every b_L is -0.0, empty results for |m| > l (also for
// the most negative m, which has no magnitude in 64 bits), and the sign rules:
// the coefficient at L = l1 + l2 is never negative, including for a negative
// odd p = l1 - l2 + M (issue 5: p % 2 == 1 would flip it); normalisation of a
// large case.
TEST(ClebschGordan, SignsZerosAndNormalisation) {
  std::vector<double> out(50, 3.0);
  EXPECT_EQ(clebsch_gordan<double>(2, 0, 2, 0, out), 0);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_TRUE(bits(out[1]) == bits(-0.0) && bits(out[3]) == bits(-0.0));
  const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
  for (const auto& [l1, m1, l2, m2] : {std::array<std::int64_t, 4>{2, 3, 2, 0}, {2, 0, 1, -2}, {-1, 0, 1, 0},
                                       {3, lo, 3, 0}, {3, 0, lo, 0}, {lo, lo, 3, 0}}) {
    EXPECT_EQ(clebsch_gordan<double>(l1, m1, l2, m2, out), 0);
    EXPECT_TRUE(out.empty());
  }
  ASSERT_EQ(clebsch_gordan<double>(1, 0, 4, 0, out), 3);  // p = -3
  EXPECT_NEAR(out[0], -2.0 / 3.0, 2e-16);
  EXPECT_NEAR(out[2], std::sqrt(5.0 / 9.0), 2e-16);
  for (const auto& [l1, m1, l2, m2] : {std::array<std::int64_t, 4>{1, 1, 3, 0}, {2, -1, 5, 1}, {4, -3, 9, 0}}) {
    clebsch_gordan<double>(l1, m1, l2, m2, out);
    EXPECT_GE(out.back(), 0.0) << l1 << " " << m1 << " " << l2 << " " << m2;
  }
  clebsch_gordan<double>(250, 17, 230, -5, out);
  ASSERT_EQ(out.size(), 461u);  // L = 20..480
  double sum = 0.0;
  for (double v : out) sum += v * v;
  EXPECT_NEAR(sum, 1.0, 2e-15);
}

// Issue 5: the integer coefficients are checked; an overflow is an internal
// failure, never a wrapped value.
TEST(ClebschGordan, Issue5IntegerOverflowIsInternalFailure) {
  std::vector<double> out;
  EXPECT_NO_THROW(clebsch_gordan<double>(990, 0, 990, 0, out));
  EXPECT_EQ(out.size(), 1981u);
  EXPECT_THROW(clebsch_gordan<double>(2000, 0, 2000, 0, out), vantok::InternalFailure);
  EXPECT_THROW(clebsch_gordan<double>(1000000000000, 5, 1000000000000, -3, out),
               vantok::InternalFailure);
  const std::int64_t hi = std::numeric_limits<std::int64_t>::max();
  EXPECT_THROW(clebsch_gordan<double>(hi, 0, 1, 0, out), vantok::InternalFailure);
  // l1 + l2 overflows, and so would m1 + m2: refused before M is formed.
  EXPECT_THROW(clebsch_gordan<double>(hi, hi, hi, hi, out), vantok::InternalFailure);
  EXPECT_THROW(clebsch_gordan<double>(hi, -hi, hi, -hi, out), vantok::InternalFailure);
}

// Arguments whose coefficients overflow are refused before the work arrays
// are allocated. Here L^2 still fits in 64 bits (L_max = 2e9), so the
// coefficient just above L_max, whose middle factor is 0, does not overflow,
// while A(L_max) = L^2 (2L + 1) L^2 does; the arrays would take 16 GB each.
TEST(ClebschGordan, OverflowRefusedBeforeAllocating) {
  std::vector<double> out;
  allocation_cap.store(std::size_t{64} << 20);
  EXPECT_THROW(clebsch_gordan<double>(1000000000, 0, 1000000000, 0, out), vantok::InternalFailure);
  EXPECT_THROW(clebsch_gordan<double>(1000000000, 7, 999999999, -3, out), vantok::InternalFailure);
  std::vector<vantok::scalar::DualF64> dual_out;
  EXPECT_THROW(clebsch_gordan<vantok::scalar::DualF64>(1000000000, 0, 1000000000, 0, dual_out),
               vantok::InternalFailure);
  allocation_cap.store(0);
  EXPECT_TRUE(out.empty());
}

// Every input is an integer: the dual instance has the values of double bit
// for bit and all partials zero.
TEST(ClebschGordan, DualHasValuesOfDouble) {
  using D = vantok::scalar::DualF64;
  std::vector<double> f;
  std::vector<D> d;
  for (auto [l1, m1, l2, m2] : {std::array<std::int64_t, 4>{2, 0, 2, 0}, {5, -3, 4, 2}, {30, 7, 25, -11}}) {
    EXPECT_EQ(clebsch_gordan<double>(l1, m1, l2, m2, f), clebsch_gordan<D>(l1, m1, l2, m2, d));
    ASSERT_EQ(f.size(), d.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
      EXPECT_EQ(bits(d[i].value), bits(f[i])) << l1 << " " << m1 << " " << l2 << " " << m2 << " " << i;
      for (double p : d[i].partials) EXPECT_EQ(p, 0.0);
    }
  }
}

// Several calls side by side (lists of different lengths, matching points and
// refusals in one batch of more than four) give each call's own values bit
// for bit.
TEST(ClebschGordan, ManyCallsAreSingleCalls) {
  using vantok::special::clebsch::Call;
  std::vector<Call> calls;
  for (std::int64_t l2 = 1; l2 <= 13; ++l2) calls.push_back({7, -3, l2, 1});
  calls.push_back({2, 3, 2, 0});
  calls.push_back({40, 0, 3, -1});
  calls.push_back({1, 1, 1, -1});
  calls.push_back({0, 0, 0, 0});
  std::vector<std::vector<double>> lists(calls.size(), std::vector<double>(3, 7.0));
  std::vector<std::int64_t> l_min(calls.size(), -5);
  vantok::special::clebsch::clebsch_gordan_many(calls, lists, l_min);
  std::vector<double> one;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& [l1, m1, l2, m2] = calls[i];
    EXPECT_EQ(l_min[i], clebsch_gordan<double>(l1, m1, l2, m2, one));
    ASSERT_EQ(lists[i].size(), one.size());
    for (std::size_t k = 0; k < one.size(); ++k) EXPECT_EQ(bits(lists[i][k]), bits(one[k])) << i << " " << k;
  }
}

// Calls that share their recurrence's a_L (one M^2, l1 + l2 and |l1 - l2|:
// the coupling's (n, m, n', -m) over m, both sigma of (n, M -+ 1, n', +-1),
// and the swapped (n', m, n, -m)) run in one batch give the values of each
// call formed alone after an unrelated call, and those of the dual path,
// bit for bit.
TEST(ClebschGordan, SharedRecurrenceCoefficientsKeepEveryBit) {
  using vantok::special::clebsch::Call;
  using D = vantok::scalar::DualF64;
  std::vector<Call> calls;
  for (std::int64_t m = 0; m <= 9; ++m) calls.push_back({9, m, 14, -m});
  for (std::int64_t m = 0; m <= 9; ++m) calls.push_back({14, m, 9, -m});
  for (std::int64_t n2 = 1; n2 <= 12; ++n2) {
    calls.push_back({8, 4, n2, -1});
    calls.push_back({8, 2, n2, 1});
  }
  std::vector<std::vector<double>> lists(calls.size());
  std::vector<std::int64_t> l_min(calls.size());
  vantok::special::clebsch::clebsch_gordan_many(calls, lists, l_min);
  std::vector<double> alone, other;
  std::vector<D> dual;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& [l1, m1, l2, m2] = calls[i];
    (void)clebsch_gordan<double>(3, 1, 2, 0, other);
    EXPECT_EQ(clebsch_gordan<double>(l1, m1, l2, m2, alone), l_min[i]);
    (void)clebsch_gordan<D>(l1, m1, l2, m2, dual);
    ASSERT_EQ(lists[i].size(), alone.size());
    ASSERT_EQ(dual.size(), alone.size());
    for (std::size_t k = 0; k < alone.size(); ++k) {
      EXPECT_EQ(bits(lists[i][k]), bits(alone[k])) << i << " " << k;
      EXPECT_EQ(bits(dual[k].value), bits(alone[k])) << i << " " << k;
    }
  }
}

}  // namespace
