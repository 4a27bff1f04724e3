// Clebsch-Gordan coefficients of several calls run side by side, against
// single calls.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/compare.hpp"
#include "vantok/special/clebsch.hpp"

namespace {

using vantok::special::clebsch::clebsch_gordan;
using vantok::test::bits;

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

}  // namespace
