// A wavelength's leases of the work budget: refused when the least piece
// exceeds the whole budget, given way when a wavelength other than the run's
// first finds it does not fit in what is free.
#include "ensemble/detail_work.hpp"

#include <algorithm>

namespace vantok::ensemble::engine {

void require_bytes(std::size_t bytes, const std::string& what) {
  // Counted in doubles, rounded up: the refusal's byte count is never below `bytes`.
  memory::require_work(bytes / sizeof(double) + (bytes % sizeof(double) != 0 ? 1 : 0), sizeof(double), what);
}

memory::Lease Claim::lease(std::size_t least, std::size_t most) const {
  most = std::max(least, most);
  if (first_) return memory::lease(least, most);
  memory::Lease held = memory::lease(0, most);
  if (held.bytes() < least) throw GiveWay{};
  return held;
}

}  // namespace vantok::ensemble::engine
