#pragma once
// The machine's physical memory, for refusing work arrays that cannot fit
// before anything is allocated: under memory overcommit a huge request would
// otherwise be granted and the process killed once the pages are touched.

#include <cstddef>

namespace vantok::memory {

/// Physical memory in bytes (saturating), or 0 when the system does not say.
std::size_t physical_bytes() noexcept;

/// Throws std::bad_alloc when `bytes` exceed the physical memory (nothing when
/// it is unknown).
void require(std::size_t bytes);

}  // namespace vantok::memory
