#pragma once
// The lane widths this processor runs, for tests that compare every width
// with the scalar code: Two always, Four with AVX2.
#include <vector>

#include "vantok/scalar/lanes.hpp"

namespace vantok::test {

inline std::vector<scalar::lanes::Width> lane_widths() {
  std::vector<scalar::lanes::Width> widths{scalar::lanes::Width::Two};
  if (scalar::lanes::has_avx2()) widths.push_back(scalar::lanes::Width::Four);
  return widths;
}

}  // namespace vantok::test
