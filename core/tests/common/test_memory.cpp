// The work-memory budget: a refusal names what would not fit, in the library's
// allocation message, before anything is allocated; leases share the budget
// among calls, never granting less than a call's smallest piece. And internal
// failures name their source relative to the repository.
#include "vantok/memory.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "vantok/error.hpp"

namespace {

namespace memory = vantok::memory;

TEST(WorkMemory, RefusalNamesWhatWouldNotFit) {
  const std::size_t budget = memory::work_budget();
  ASSERT_GT(budget, 0u);
  if (memory::physical_bytes() != 0) {
    EXPECT_LE(budget, memory::physical_bytes() / 2);
  }
  EXPECT_NO_THROW(memory::require_work(budget / 8, 8, "the test's table"));
  const std::size_t count = budget / 8 + 1;
  try {
    memory::require_work(count, 8, "the test's table");
    FAIL() << "not refused";
  } catch (const memory::Refused& e) {
    EXPECT_EQ(std::string(e.what()), "cannot allocate " + std::to_string(count) + " values for the test's table: they would take " +
                                         std::to_string(count * 8) + " bytes, more than the work-memory budget of " +
                                         std::to_string(budget) + " bytes");
  }
  // A count whose bytes overflow is refused, not wrapped.
  EXPECT_THROW(memory::require_work(std::numeric_limits<std::size_t>::max() / 4, 16, "x"), std::bad_alloc);
}

TEST(WorkMemory, LeasesShareTheBudget) {
  const std::size_t budget = memory::work_budget();
  const std::size_t free = memory::work_free();
  {
    const memory::Lease most = memory::lease(1, budget);
    EXPECT_EQ(most.bytes(), free);
    EXPECT_EQ(memory::work_free(), 0u);
    // Nothing left: a second call still gets its smallest piece.
    const memory::Lease least = memory::lease(100, budget);
    EXPECT_EQ(least.bytes(), 100u);
    memory::Lease moved = memory::lease(0, 0);
    moved = memory::lease(5, 5);
    EXPECT_EQ(moved.bytes(), 5u);
  }
  EXPECT_EQ(memory::work_free(), free);
}

TEST(InternalFailure, NamesItsSourceFromTheRepository) {
  try {
    VANTOK_ASSERT(1 + 1 == 3);
    FAIL() << "not thrown";
  } catch (const vantok::InternalFailure& e) {
    EXPECT_EQ(std::string(e.what()).rfind("internal invariant broken: 1 + 1 == 3 (core/tests/common/test_memory.cpp:", 0), 0u)
        << e.what();
  }
}

}  // namespace
