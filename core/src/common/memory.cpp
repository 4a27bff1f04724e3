// The process's memory (sysconf, getrlimit, the limits of its control groups) and the
// ledger of the work budget that concurrent calls share.
#include "vantok/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "detail_cgroup.hpp"
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

// A limit file's value: bytes, or UNKNOWN for "max", no file or no number.
std::size_t limit_file(const std::string& path) noexcept {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return UNKNOWN;
  char text[32] = {};
  const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text, text + n, value);
  return ec == std::errc() && end != text ? value : UNKNOWN;
}

// A whole file of /proc as text (empty when it cannot be read).
std::string proc_text(const char* path) {
  std::string text;
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return text;
}

// The space-separated fields of a line.
std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    if (end > at) out.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// Calls `each` with every line of `text`.
template <class F>
void for_each_line(std::string_view text, F&& each) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    each(text.substr(at, end - at));
    at = end + 1;
  }
}

// Whether the comma-separated `list` names `item`.
bool lists(std::string_view list, std::string_view item) {
  std::size_t at = 0;
  while (at <= list.size()) {
    const std::size_t end = std::min(list.find(',', at), list.size());
    if (list.substr(at, end - at) == item) return true;
    at = end + 1;
  }
  return false;
}

// The cgroup limit of the process: the groups it is in, under their mounts,
// and /sys/fs/cgroup/memory.max, the group a cgroup v2 namespace shows at its
// root, which is read even where /proc cannot be (the walk usually reads it
// too: one small file twice, once per process).
std::size_t ask_cgroup() noexcept {
  try {
    const std::string groups = proc_text("/proc/self/cgroup");
    const std::string mounts = proc_text("/proc/self/mountinfo");
    return std::min(detail::cgroup_limit(groups, mounts), limit_file("/sys/fs/cgroup/memory.max"));
  } catch (const std::bad_alloc&) {
    return UNKNOWN;
  }
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
  return std::min(ask_cgroup(), physical != 0 ? physical : UNKNOWN);
}

// Bytes that leases hold now.
std::atomic<std::size_t> g_leased{0};

}  // namespace

namespace detail {

std::size_t cgroup_limit(std::string_view proc_cgroup, std::string_view mountinfo) noexcept {
  try {
    // The mounts of the two kinds of hierarchy: the unified one (v2) and the
    // v1 hierarchy that holds the memory controller. A mount shows the
    // hierarchy from its root on, a path below the hierarchy's root.
    struct Mount {
      std::string_view root, point;
    };
    std::optional<Mount> unified, memory_v1;
    for_each_line(mountinfo, [&](std::string_view line) {
      const std::vector<std::string_view> f = fields(line);
      const auto dash = std::find(f.begin(), f.end(), "-");
      if (f.size() < 5 || dash == f.end() || f.end() - dash < 4) return;
      const Mount mount{f[3], f[4]};
      if (dash[1] == "cgroup2" && !unified) unified = mount;
      if (dash[1] == "cgroup" && lists(dash[3], "memory") && !memory_v1) memory_v1 = mount;
    });
    std::size_t least = UNKNOWN;
    // From the group's own folder up to the mount's, every limit file.
    const auto walk = [&](const Mount& mount, std::string_view path, const char* file) {
      std::string folder(mount.point);
      const std::string_view root = mount.root == "/" ? std::string_view() : mount.root;
      const bool below = path.substr(0, root.size()) == root &&
                         (path.size() == root.size() || path[root.size()] == '/');
      if (below) folder += path.substr(root.size());
      while (!folder.empty() && folder.back() == '/' && folder.size() > mount.point.size()) folder.pop_back();
      for (;;) {
        least = std::min(least, limit_file(folder + "/" + file));
        if (folder.size() <= mount.point.size()) break;
        folder.erase(folder.rfind('/'));
      }
    };
    for_each_line(proc_cgroup, [&](std::string_view line) {
      // hierarchy-id:controllers:path; the unified hierarchy is "0::path".
      const std::size_t first = line.find(':');
      const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
      if (second == std::string_view::npos) return;
      const std::string_view controllers = line.substr(first + 1, second - first - 1);
      const std::string_view path = line.substr(second + 1);
      if (path.empty() || path.front() != '/') return;
      if (line.substr(0, first) == "0" && controllers.empty()) {
        if (unified) walk(*unified, path, "memory.max");
      } else if (lists(controllers, "memory")) {
        if (memory_v1) walk(*memory_v1, path, "memory.limit_in_bytes");
      }
    });
    return least;
  } catch (const std::bad_alloc&) {
    return UNKNOWN;
  }
}

}  // namespace detail

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
