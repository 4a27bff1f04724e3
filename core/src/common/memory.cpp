// Physical memory from sysconf.
#include "vantok/memory.hpp"

#include <unistd.h>

#include <atomic>
#include <limits>
#include <new>

#include "vantok/numeric.hpp"

namespace vantok::memory {

namespace {

std::size_t ask_system() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return sat_mul(static_cast<std::size_t>(pages), static_cast<std::size_t>(page_size));
}

}  // namespace

std::size_t physical_bytes() noexcept {
  // Asked once (sysconf makes a system call, which a check per element of a
  // large call would pay each time); UNASKED until then.
  constexpr std::size_t UNASKED = std::numeric_limits<std::size_t>::max();
  static std::atomic<std::size_t> cached{UNASKED};
  std::size_t bytes = cached.load(std::memory_order_relaxed);
  if (bytes == UNASKED) {
    bytes = ask_system();
    cached.store(bytes, std::memory_order_relaxed);
  }
  return bytes;
}

void require(std::size_t bytes) {
  const std::size_t physical = physical_bytes();
  if (physical != 0 && bytes > physical) throw std::bad_alloc();
}

}  // namespace vantok::memory
