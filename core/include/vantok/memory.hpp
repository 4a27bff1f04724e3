#pragma once
// A guard for work arrays whose size follows from user input: a request above
// the machine's physical memory is refused as an allocation failure before
// anything is allocated. Under memory overcommit such arrays would otherwise be
// granted and the process killed once they are touched.

#include <cstddef>

namespace vantok::memory {

/// The machine's physical memory in bytes, or 0 when it cannot be read.
std::size_t physical_bytes() noexcept;

/// Throws std::bad_alloc when `bytes` exceeds the physical memory (nothing
/// happens when that is unknown).
void refuse_above_physical(std::size_t bytes);

}  // namespace vantok::memory
