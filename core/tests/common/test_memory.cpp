// The work-memory budget: a refusal names what would not fit, in the library's
// allocation message, before anything is allocated; leases share the budget
// among calls, never granting less than a call's smallest piece. And internal
// failures name their source relative to the repository.
#include "vantok/memory.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <unistd.h>

#include "common/detail_cgroup.hpp"
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

// A process's memory limit is the least of its own control group's and of
// every group above it, in either kind of hierarchy, found through the mounts
// of /proc/self/mountinfo (a batch job's group lies below the hierarchy's
// root, which is all the namespace of a container shows).
TEST(WorkMemory, CgroupLimitIsTheLeastOfTheGroupAndTheGroupsAboveIt) {
  namespace fs = std::filesystem;
  const fs::path top = fs::temp_directory_path() / ("vantok-cgroup-" + std::to_string(getpid()));
  const auto limit = [&](const std::string& folder, const std::string& file, const std::string& text) {
    fs::create_directories(top / folder);
    std::FILE* f = std::fopen((top / folder / file).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  };
  // v2: the root says max, the job's group 3000, the step 5000 (no more than
  // its parent allows); a sibling's lower limit does not count.
  limit("v2", "memory.max", "max\n");
  limit("v2/job", "memory.max", "3000\n");
  limit("v2/job/step", "memory.max", "5000\n");
  limit("v2/other", "memory.max", "100\n");
  // v1: the memory controller mounted together with another one.
  limit("v1", "memory.limit_in_bytes", "9223372036854771712\n");
  limit("v1/slurm/job", "memory.limit_in_bytes", "7000\n");
  const std::string v2 = "30 23 0:26 / " + (top / "v2").string() + " rw,nosuid - cgroup2 cgroup2 rw\n";
  const std::string v1 =
      "35 31 0:32 / " + (top / "v1").string() + " rw,relatime shared:5 - cgroup cgroup rw,cpu,memory\n";
  const std::string other = "31 23 0:28 / /proc rw - proc proc rw\n";
  constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();
  struct Case {
    const char* what;
    std::string groups, mounts;
    std::size_t expected;
  } cases[] = {
      {"v2 below the root", "0::/job/step\n", other + v2, 3000},
      {"v2 group itself", "0::/job\n", v2, 3000},
      {"v2 trailing slash", "0::/job/step/\n", v2, 3000},
      {"v2 root of a namespace", "0::/\n", v2, NONE},
      {"v2 limit of a sibling", "0::/other\n", v2, 100},
      {"v1 with other controllers", "5:cpuset:/\n4:cpu,memory:/slurm/job\n", other + v1, 7000},
      {"v1 no limit", "4:cpu,memory:/\n", v1, 9223372036854771712u},
      {"both kinds", "4:cpu,memory:/slurm/job\n0::/job/step\n", v1 + v2, 3000},
      // The mount shows the hierarchy from /job on (a mount of a subtree).
      {"mount of a subtree", "0::/job/step\n", "30 23 0:26 /job " + (top / "v2/job").string() + " rw - cgroup2 x rw\n",
       3000},
      {"group with no mount", "0::/job/step\n", other, NONE},
      {"missing group folder", "0::/gone/step\n", v2, NONE},
      {"unreadable texts", "garbage", "more garbage - -", NONE},
      {"empty texts", "", "", NONE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vantok::memory::detail::cgroup_limit(c.groups, c.mounts), c.expected) << c.what;
  }
  fs::remove_all(top);
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
