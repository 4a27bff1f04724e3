// The process-wide oneTBB arena behind every parallel loop, and the thread-local
// stop token that loops carry from the calling thread to their workers.
#include "vantok/pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace vantok {

namespace stop {

namespace {

thread_local Token* tl_current = nullptr;
// Its address names the calling thread.
thread_local const char tl_thread_marker = 0;

// Installs a token (possibly null) on a pool thread for one unit of work.
class Carry {
 public:
  explicit Carry(Token* token) noexcept : previous_(std::exchange(tl_current, token)) {}
  ~Carry() { tl_current = previous_; }
  Carry(const Carry&) = delete;
  Carry& operator=(const Carry&) = delete;

 private:
  Token* previous_;
};

}  // namespace

// Coarse monotonic time in nanoseconds: a few ns to read (the precise clock
// costs some 25 ns), with a resolution of a few ms, far below poll_interval.
std::int64_t coarse_now() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

Scope::Scope(Token& token) noexcept : previous_(std::exchange(tl_current, &token)) {
  if (token.owner_ == nullptr) {
    token.owner_ = &tl_thread_marker;
    token.last_poll_ = coarse_now();
  }
}

Scope::~Scope() { tl_current = previous_; }

Token* current() noexcept { return tl_current; }

void check() {
  Token* token = tl_current;
  if (token == nullptr) return;
  if (token->requested()) throw Stopped{};
  if (token->owner_ != &tl_thread_marker) return;
  const std::int64_t now = coarse_now();
  if (now - token->last_poll_ < std::chrono::nanoseconds(poll_interval).count()) return;
  token->last_poll_ = now;
  bool stop = false;
  {
    // Work the poll runs itself (a handler that calls back into the library)
    // is not polled through this token: that would re-enter the poll.
    const Carry none(nullptr);
    stop = token->poll();
  }
  if (stop) {
    token->request();
    throw Stopped{};
  }
}

}  // namespace stop

namespace pool {

namespace {

// Above this the size is clamped: oneTBB starts a thread per unit of
// concurrency, and no machine this runs on has more cores.
constexpr std::size_t max_threads = 4096;

// A positive decimal integer spanning the whole text (an optional leading '+'
// allowed), else nothing.
std::optional<std::size_t> positive_integer(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() < '0' || s.front() > '9') return std::nullopt;
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || value == 0) return std::nullopt;
  return value;
}

std::size_t configured_size() {
  std::optional<std::size_t> n = positive_integer(std::getenv("RAYON_NUM_THREADS"));
  if (!n) n = positive_integer(std::getenv("RAYON_RS_NUM_CPUS"));
  if (!n) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    n = online > 0 ? static_cast<std::size_t>(online) : 1;
  }
  return std::min(*n, max_threads);
}

struct Pool {
  std::size_t size;
  // Kept alive for the whole process: without it oneTBB caps its workers at
  // the processor count minus one, and a larger configured size is not honoured.
  tbb::global_control control;
  tbb::task_arena arena;

  explicit Pool(std::size_t n)
      : size(n),
        control(tbb::global_control::max_allowed_parallelism, n),
        arena(static_cast<int>(n)) {}
};

Pool& instance() {
  static Pool pool(configured_size());
  return pool;
}

bool in_arena() noexcept {
  return tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized;
}

}  // namespace

std::size_t threads() { return instance().size; }

std::size_t thread_count() {
  if (!in_arena()) return threads();
  return static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

std::size_t worker_index() {
  const int index = tbb::this_task_arena::current_thread_index();
  return index < 0 ? 0 : static_cast<std::size_t>(index);
}

void run_in_pool(const std::function<void()>& f) {
  if (in_arena()) {
    f();
    return;
  }
  instance().arena.execute(f);
}

void run_with_threads(std::size_t thread_count, const std::function<void()>& f) {
  instance();
  tbb::task_arena arena(static_cast<int>(std::clamp<std::size_t>(thread_count, 1, max_threads)));
  arena.execute(f);
}

void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body, Grain grain) {
  if (n == 0) return;
  stop::Token* token = stop::current();
  const auto one = [&](std::size_t i) {
    stop::Carry carry(token);
    stop::check();
    body(i);
  };
  if (n == 1) {
    one(0);
    return;
  }
  const auto range_body = [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) one(i);
  };
  run_in_pool([&] {
    if (grain == Grain::One) {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1), range_body,
                        tbb::simple_partitioner{});
    } else {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), range_body,
                        tbb::auto_partitioner{});
    }
  });
}

}  // namespace pool

}  // namespace vantok
