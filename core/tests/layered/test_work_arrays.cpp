// A layered solve whose work arrays cannot fit in the machine's memory is
// refused as an allocation failure before anything is allocated, and leaves
// the solver usable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "vantok/layered/layered.hpp"
#include "vantok/limits.hpp"
#include "vantok/memory.hpp"

using vantok::Complex;
using vantok::layered::Layered;
using vantok::mie::SolveOptions;

TEST(LayeredWorkArrays, TooLargeForMemoryIsBadAlloc) {
  // 1024 layers x 2^20 terms with derivatives need about 190 GB.
  const double physical = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                          static_cast<double>(sysconf(_SC_PAGESIZE));
  if (physical > 150e9) GTEST_SKIP() << "this machine could hold the work arrays";
  std::vector<double> xs(vantok::MAX_LAYERS);
  for (std::size_t l = 0; l < xs.size(); ++l) xs[l] = 1.0 + 0.01 * static_cast<double>(l);
  const std::vector<Complex<double>> ms(xs.size(), Complex<double>{1.5, 0.01});
  Layered solver;
  const SolveOptions huge{vantok::MAX_MIE_ORDER, true};
  try {
    (void)solver.solve(huge, true, xs, ms);
    ADD_FAILURE() << "not refused";
  } catch (const vantok::memory::Refused& e) {
    const std::string count = std::to_string(vantok::MAX_LAYERS * (vantok::MAX_MIE_ORDER + 2) * 11);
    EXPECT_EQ(std::string(e.what()).rfind("cannot allocate " + count + " values for the layered sphere's work arrays: ", 0), 0u)
        << e.what();
  }

  // The same solver then solves an ordinary sphere.
  const SolveOptions ordinary{std::nullopt, false};
  const std::vector<double> two_x{1.0, 2.0};
  const std::vector<Complex<double>> two_m{{1.5, 0.0}, {1.33, 0.0}};
  ASSERT_TRUE(solver.solve(ordinary, false, two_x, two_m).has_value());
}
