// The process's memory (sysconf, getrlimit, the cgroup's memory.max) and the
// ledger of the work budget that concurrent calls share.
#include "vantok/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <limits>
#include <utility>

#include "vantok/format.hpp"
#include "vantok/numeric.hpp"

namespace vantok::memory {

namespace {

constexpr std::size_t UNKNOWN = std::numeric_limits<std::size_t>::max();

std::size_t ask_system() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return sat_mul(static_cast<std::size_t>(pages), static_cast<std::size_t>(page_size));
}

// The address-space limit, or UNKNOWN when there is none.
std::size_t address_space_limit() noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UNKNOWN;
  return static_cast<std::size_t>(limit.rlim_cur);
}

// The cgroup (v2) memory limit of the process, or UNKNOWN ("max", or no
// cgroup file).
std::size_t cgroup_limit() noexcept {
  std::FILE* file = std::fopen("/sys/fs/cgroup/memory.max", "r");
  if (file == nullptr) return UNKNOWN;
  char text[32] = {};
  const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text, text + n, value);
  return ec == std::errc() && end != text ? value : UNKNOWN;
}

// Asked once (system calls, which a check per element of a large call would
// pay each time); UNASKED until then.
constexpr std::size_t UNASKED = UNKNOWN - 1;

std::size_t cached(std::atomic<std::size_t>& cell, std::size_t (*ask)() noexcept) noexcept {
  std::size_t value = cell.load(std::memory_order_relaxed);
  if (value == UNASKED) {
    value = ask();
    cell.store(value, std::memory_order_relaxed);
  }
  return value;
}

// The physical memory and the cgroup's limit, the lesser (UNKNOWN when
// neither is known).
std::size_t ask_machine() noexcept {
  const std::size_t physical = physical_bytes();
  return std::min(cgroup_limit(), physical != 0 ? physical : UNKNOWN);
}

// Bytes that leases hold now.
std::atomic<std::size_t> g_leased{0};

}  // namespace

std::size_t physical_bytes() noexcept {
  static std::atomic<std::size_t> cell{UNASKED};
  return cached(cell, ask_system);
}

std::size_t work_budget() noexcept {
  static std::atomic<std::size_t> cell{UNASKED};
  // The address-space limit is read each time: a process may set it after
  // its first call.
  const std::size_t available = std::min(cached(cell, ask_machine), address_space_limit());
  // Nothing known: no bound beyond the address space itself.
  if (available == UNKNOWN) return UNKNOWN / 2;
  return std::max<std::size_t>(available / 2, 1);
}

std::size_t work_free() noexcept {
  const std::size_t budget = work_budget();
  const std::size_t held = g_leased.load(std::memory_order_relaxed);
  return held >= budget ? 0 : budget - held;
}

Refused::Refused(std::size_t count, std::string_view what, std::string_view reason)
    : message_(std::make_shared<const std::string>("cannot allocate " + fmt::plain(static_cast<std::uint64_t>(count)) +
                                                   " values for " + std::string(what) + ": " + std::string(reason))) {}

const char* Refused::what() const noexcept { return message_->c_str(); }

void require_work(std::size_t count, std::size_t value_bytes, std::string_view what) {
  require_bytes(count, sat_mul(count, value_bytes), what);
}

void require_bytes(std::size_t count, std::size_t bytes, std::string_view what) {
  const std::size_t budget = work_budget();
  if (bytes <= budget) return;
  throw Refused(count, what,
                "they would take " + fmt::plain(static_cast<std::uint64_t>(bytes)) +
                    " bytes, more than the work-memory budget of " +
                    fmt::plain(static_cast<std::uint64_t>(budget)) + " bytes");
}

Lease::~Lease() {
  if (bytes_ != 0) g_leased.fetch_sub(bytes_, std::memory_order_relaxed);
}

Lease::Lease(Lease&& other) noexcept : bytes_(std::exchange(other.bytes_, 0)) {}

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    if (bytes_ != 0) g_leased.fetch_sub(bytes_, std::memory_order_relaxed);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

Lease lease(std::size_t least, std::size_t most) {
  most = std::max(least, std::min(most, work_budget()));
  std::size_t held = g_leased.load(std::memory_order_relaxed);
  for (;;) {
    const std::size_t budget = work_budget();
    const std::size_t free = held >= budget ? 0 : budget - held;
    const std::size_t take = std::clamp(free, least, most);
    if (g_leased.compare_exchange_weak(held, held + take, std::memory_order_relaxed)) return Lease(take);
  }
}

}  // namespace vantok::memory
