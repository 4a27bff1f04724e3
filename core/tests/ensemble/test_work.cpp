// A wavelength's claim on the work budget: the first may exceed what is free
// by its least piece, any other gives way when that does not fit, and a least
// piece above the whole budget is refused, before anything is taken, with
// the library's allocation message counting doubles.
#include "ensemble/detail_work.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using vantok::ensemble::engine::Claim;
using vantok::ensemble::engine::GiveWay;
namespace memory = vantok::memory;

TEST(Claim, FirstExceedsOthersGiveWayBeyondTheBudgetRefused) {
  const std::size_t budget = memory::work_budget();
  const std::size_t free = memory::work_free();
  ASSERT_GT(free, 1000u);
  {
    const memory::Lease others = memory::lease(free - 100, free - 100);
    const memory::Lease fits = Claim(false).take(60, 1000, [] { return std::string("x"); });
    EXPECT_EQ(fits.bytes(), 100u);  // as much of `most` as is free
    EXPECT_THROW((void)Claim(false).take(1, 1, [] { return std::string("x"); }), GiveWay);
    const memory::Lease first = Claim(true).take(500, 800, [] { return std::string("x"); });
    EXPECT_EQ(first.bytes(), 500u);
  }
  EXPECT_EQ(memory::work_free(), free);  // every lease given back
  const std::size_t bytes = budget + 5;  // counted in doubles, rounded up
  const std::size_t count = bytes / 8 + 1;
  for (const bool first : {true, false}) {
    try {
      (void)Claim(first).take(bytes, bytes, [] { return std::string("the test's tables"); });
      FAIL() << "not refused";
    } catch (const memory::Refused& e) {
      EXPECT_EQ(std::string(e.what()), "cannot allocate " + std::to_string(count) +
                                           " values for the test's tables: they would take " +
                                           std::to_string(count * 8) + " bytes, more than the work-memory budget of " +
                                           std::to_string(budget) + " bytes");
    }
    EXPECT_EQ(memory::work_free(), free);
  }
}

}  // namespace
