// Physical memory from sysconf.
#include "vantok/memory.hpp"

#include <unistd.h>

#include <new>

#include "vantok/numeric.hpp"

namespace vantok::memory {

std::size_t physical_bytes() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return sat_mul(static_cast<std::size_t>(pages), static_cast<std::size_t>(page_size));
}

void require(std::size_t bytes) {
  const std::size_t physical = physical_bytes();
  if (physical != 0 && bytes > physical) throw std::bad_alloc();
}

}  // namespace vantok::memory
