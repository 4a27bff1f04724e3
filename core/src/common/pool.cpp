// The process-wide oneTBB arena behind every parallel loop, and the thread-local
// stop token that loops carry from the calling thread to their workers.
#include "vantok/pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

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

// Coarse monotonic time in nanoseconds: a few ns to read (the precise clock
// costs some 25 ns), with a resolution of a few ms, far below poll_interval.
std::int64_t coarse_now() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

namespace detail {

struct TokenAccess {
  static bool owned_here(const Token& token) noexcept { return token.owner_ == &tl_thread_marker; }

  // Polls the token when a poll interval has passed since the last poll (the
  // owner thread only); true when it asked to stop, which is then requested.
  static bool poll_if_due(Token& token) {
    const std::int64_t now = coarse_now();
    if (now - token.last_poll_ < std::chrono::nanoseconds(poll_interval).count()) return false;
    token.last_poll_ = now;
    bool stop = false;
    {
      // Work the poll runs itself (a handler that calls back into the library)
      // is not polled through this token: that would re-enter the poll.
      const Carry none(nullptr);
      stop = token.poll();
    }
    if (stop) token.request();
    return stop;
  }

  // Polls, when due, every token of the nesting that this thread installed
  // (a call's own token too when a part of it runs on the calling thread);
  // true when one asked to stop.
  static bool poll_nesting_if_due(Token& token) {
    for (Token* t = &token; t != nullptr; t = t->parent_) {
      if (owned_here(*t) && poll_if_due(*t)) return true;
    }
    return false;
  }
};

}  // namespace detail

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
  if (detail::TokenAccess::poll_nesting_if_due(*token)) throw Stopped{};
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

// Under an address-space limit (ulimit -v), every thread the pool starts
// takes its stack and, at its first allocation, a malloc arena of 64 MiB of
// address space, and oneTBB ends the process when it cannot start a thread.
// The pool then starts no more threads than the room left below the limit
// holds at 80 MiB each (at least one: the caller alone); the results are the
// same for any number of threads.
std::size_t fitting_size(std::size_t n) {
  rlimit limit{};
  if (n <= 1 || getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return n;
  std::size_t pages = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%zu", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const std::size_t used = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t room = limit.rlim_cur > used ? static_cast<std::size_t>(limit.rlim_cur) - used : 0;
  constexpr std::size_t per_thread = std::size_t{80} << 20;
  return std::clamp<std::size_t>(room / per_thread, 1, n);
}

// How deeply the calling thread runs inside work of the pool (an arena's
// execute, or an index of a loop). oneTBB's own thread index cannot tell: a
// thread that has once taken part in an arena keeps an index in the implicit
// one after it left.
thread_local std::size_t tl_pool_depth = 0;

// The scratch of thread_scratch: per slot the object and how to destroy it.
// Set up by prepare_thread (its destructor is registered then, while memory
// is free).
class ScratchSlots {
 public:
  ScratchSlots() = default;
  ScratchSlots(const ScratchSlots&) = delete;
  ScratchSlots& operator=(const ScratchSlots&) = delete;
  ~ScratchSlots() {
    for (auto& [p, destroy] : slots_) {
      if (p != nullptr) destroy(p);
    }
  }
  void*& at(std::size_t slot, void (*destroy)(void*)) {
    if (slot >= slots_.size()) slots_.resize(slot + 1, {nullptr, nullptr});
    slots_[slot].second = destroy;
    return slots_[slot].first;
  }

 private:
  std::vector<std::pair<void*, void (*)(void*)>> slots_;
};

thread_local ScratchSlots tl_scratch;

std::atomic<std::size_t> g_scratch_slots{0};

// Prepares every thread that enters its arena (pool::prepare_thread).
class Preparer final : public tbb::task_scheduler_observer {
 public:
  explicit Preparer(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
    arena.initialize();
    observe(true);
  }
  ~Preparer() override { observe(false); }
  Preparer(const Preparer&) = delete;
  Preparer& operator=(const Preparer&) = delete;
  void on_scheduler_entry(bool) override { prepare_thread(); }
};

struct Pool {
  std::size_t size;
  // Kept alive for the whole process: without it oneTBB caps its workers at
  // the processor count minus one, and a larger configured size is not
  // honoured. One more than the size: n workers can fill the arena while a
  // polling caller waits outside it (run_polled).
  tbb::global_control control;
  // No slot is reserved for callers: they join when one is free.
  tbb::task_arena arena;
  Preparer preparer;

  explicit Pool(std::size_t n)
      : size(n),
        control(tbb::global_control::max_allowed_parallelism, n + 1),
        arena(static_cast<int>(n), 0),
        preparer(arena) {}
};

// Brings in once every worker the arena can ever hold (all n of them, as
// when a polling caller waits outside it), each prepared as it enters,
// waiting at most a fifth of a second for them: a worker would otherwise be
// started, and prepared, only when a loop first needs it, possibly in the
// middle of a call that has taken all the memory there is.
void gather(Pool& pool) {
  using Clock = std::chrono::steady_clock;
  struct State {
    std::atomic<std::size_t> arrived{0};
    std::atomic<bool> done{false};
  };
  // Shared with the task, which may still be running (or not yet started,
  // when no worker can start) after the wait below has given up.
  const auto state = std::make_shared<State>();
  const std::size_t n = pool.size;
  const auto until = Clock::now() + std::chrono::milliseconds(200);
  pool.arena.enqueue([state, n, until] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1), [&](const tbb::blocked_range<std::size_t>&) {
      state->arrived.fetch_add(1, std::memory_order_relaxed);
      while (state->arrived.load(std::memory_order_relaxed) < n && Clock::now() < until) std::this_thread::yield();
    }, tbb::simple_partitioner{});
    state->done.store(true, std::memory_order_release);
  });
  while (!state->done.load(std::memory_order_acquire) && Clock::now() < until + std::chrono::milliseconds(50)) {
    std::this_thread::yield();
  }
}

// Set in a fork child: it has none of the pool's worker threads, and oneTBB's
// bookkeeping may still count the parent's in the arena's slots, so work
// handed to the arena, or an execute waiting for a slot, could wait for good.
// Loops run on the calling thread alone there.
std::atomic<bool> g_forked{false};

bool forked() noexcept { return g_forked.load(std::memory_order_relaxed); }

// Never destroyed: at process exit, threads the exit does not wait for (an
// interpreter's daemon threads inside lock-free work) may still run loops on
// it, and a destroyed arena and limit would let oneTBB start afresh under
// them.
Pool& instance() {
  static Pool& pool = *[] {
    pthread_atfork(nullptr, nullptr, [] { g_forked.store(true, std::memory_order_relaxed); });
    Pool* made = new Pool(fitting_size(configured_size()));
    if (made->size > 1) gather(*made);
    return made;
  }();
  return pool;
}

class InPool {
 public:
  InPool() noexcept { ++tl_pool_depth; }
  ~InPool() { --tl_pool_depth; }
  InPool(const InPool&) = delete;
  InPool& operator=(const InPool&) = delete;
};

bool in_arena() noexcept { return tl_pool_depth > 0; }

// Set while the calling thread runs the work of a pool of one thread itself
// (run_in_pool): its loops take their indices in order, one after another.
thread_local bool tl_inline = false;

// Sets tl_inline to `value` for its lifetime.
class Inline {
 public:
  explicit Inline(bool value) noexcept : previous_(std::exchange(tl_inline, value)) {}
  ~Inline() { tl_inline = previous_; }
  Inline(const Inline&) = delete;
  Inline& operator=(const Inline&) = delete;

 private:
  bool previous_;
};

// Index i of a loop: the caller's stop token carried to the running thread,
// a stop check, then the work.
inline void run_index(stop::Token* token, const std::function<void(std::size_t)>& body, std::size_t i) {
  stop::Carry carry(token);
  stop::check();
  body(i);
}

}  // namespace

void prepare_thread() noexcept {
  // The C++ runtime's exception state, which a throw reads first. (The
  // function is declared pure: its result goes through the barrier, or the
  // call would be dropped.)
  const int uncaught = std::uncaught_exceptions();
  asm volatile("" : : "r"(uncaught) : "memory");
  // This library's block: taking the address of one of its thread-locals
  // makes the thread's block exist.
  std::size_t* depth = &tl_pool_depth;
  asm volatile("" : : "r"(depth) : "memory");
  // The scratch list, whose destructor glibc registers on its first use.
  ScratchSlots* scratch = &tl_scratch;
  asm volatile("" : : "r"(scratch) : "memory");
}

namespace detail {

std::size_t new_scratch_slot() noexcept { return g_scratch_slots.fetch_add(1, std::memory_order_relaxed); }

void*& scratch_slot(std::size_t slot, void (*destroy)(void*)) { return tl_scratch.at(slot, destroy); }

}  // namespace detail

std::size_t threads() { return instance().size; }

std::size_t thread_count() {
  if (!in_arena()) return threads();
  if (tl_inline) return 1;
  return static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

namespace detail {

struct ThreadSlots::Impl {
  tbb::enumerable_thread_specific<void*> slots{nullptr};
};

ThreadSlots::ThreadSlots() : impl_(new Impl) {}

ThreadSlots::~ThreadSlots() { delete impl_; }

void*& ThreadSlots::local() { return impl_->slots.local(); }

void ThreadSlots::visit(void (*f)(void*)) const {
  for (void* p : impl_->slots) {
    if (p != nullptr) f(p);
  }
}

}  // namespace detail

namespace {

// run_in_pool for a caller that owns `token`: f runs as one task of the arena
// (its loops spread from there) while the caller sleeps, waking every poll
// interval to poll. A caller that joined the arena would poll only between
// the units of work it runs itself, and not at all while it waits for the
// last units of the other threads.
void run_polled(stop::Token& token, const std::function<void()>& f) {
  struct State {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::atomic<bool> finished{false};  // done, readable without the mutex
    std::exception_ptr failure;
  };
  // Shared with the task, which may still be leaving when the caller returns.
  const auto state = std::make_shared<State>();
  instance().arena.enqueue([state, &token, &f] {
    std::exception_ptr failure;
    try {
      const InPool in_pool;
      const stop::Carry carry(&token);
      f();
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard lock(state->mutex);
    state->failure = std::move(failure);
    state->done = true;
    state->finished.store(true, std::memory_order_release);
    state->ended.notify_one();
  });
  // Short loops end within microseconds: a brief spin spares them the
  // sleep and wake-up.
  const auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
  while (!state->finished.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < spin_until) {
    std::this_thread::yield();
  }
  const auto wait = [&] {
    std::unique_lock lock(state->mutex);
    while (!state->ended.wait_for(lock, stop::poll_interval, [&] { return state->done; })) {
      if (token.requested()) continue;
      lock.unlock();
      stop::detail::TokenAccess::poll_nesting_if_due(token);
      lock.lock();
    }
  };
  try {
    wait();
  } catch (...) {
    // The poll failed: stop the work, let it end (it reads f and the token),
    // then report the poll's exception.
    token.request();
    std::unique_lock lock(state->mutex);
    state->ended.wait(lock, [&] { return state->done; });
    throw;
  }
  if (state->failure) std::rethrow_exception(state->failure);
}

}  // namespace

void run_in_pool(const std::function<void()>& f) {
  if (in_arena() || forked()) {
    f();
    return;
  }
  stop::Token* token = stop::current();
  const bool owner = token != nullptr && stop::detail::TokenAccess::owned_here(*token);
  // A poll that has come due is asked before the work starts: a call made of
  // many loops shorter than the poll interval would otherwise never wait long
  // enough to poll.
  if (owner) stop::check();
  // A pool of one thread is the caller itself: handing each loop to the
  // pool's thread and back would cost a wake-up on either side and move the
  // work's data to another core's caches, for no parallelism. The caller runs
  // the indices in order and polls its token at the checks between them,
  // where the pool's thread would see a stop too.
  if (instance().size == 1) {
    const InPool in_pool;
    const Inline in_line(true);
    f();
    return;
  }
  if (owner) {
    run_polled(*token, f);
    return;
  }
  instance().arena.execute([&] {
    const InPool in_pool;
    f();
  });
}

void run_with_threads(std::size_t thread_count, const std::function<void()>& f) {
  instance();
  tbb::task_arena arena(static_cast<int>(std::clamp<std::size_t>(thread_count, 1, max_threads)));
  arena.execute([&] {
    const InPool in_pool;
    const Inline in_line(false);
    f();
  });
}

void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body, Grain grain) {
  if (n == 0) return;
  stop::Token* token = stop::current();
  const auto in_order = [&] {
    for (std::size_t i = 0; i < n; ++i) run_index(token, body, i);
  };
  if (n == 1 || forked() || tl_inline) {
    in_order();
    return;
  }
  const auto range_body = [&](const tbb::blocked_range<std::size_t>& r) {
    const InPool in_pool;  // a loop inside an index stays in this arena
    for (std::size_t i = r.begin(); i != r.end(); ++i) run_index(token, body, i);
  };
  run_in_pool([&] {
    if (tl_inline) {
      // A pool of one thread: run_in_pool left the work on the caller.
      in_order();
    } else if (grain == Grain::One) {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1), range_body,
                        tbb::simple_partitioner{});
    } else {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), range_body,
                        tbb::auto_partitioner{});
    }
  });
}

void pipeline(std::size_t n, std::size_t window, const std::function<void(std::size_t)>& work,
              const std::function<void(std::size_t)>& retire) {
  if (n == 0) return;
  stop::Token* token = stop::current();
  const auto in_order = [&] {
    for (std::size_t i = 0; i < n; ++i) {
      run_index(token, work, i);
      retire(i);
    }
  };
  if (n == 1 || window < 2 || forked() || tl_inline) {
    in_order();
    return;
  }
  run_in_pool([&] {
    if (tl_inline) {
      in_order();
      return;
    }
    // A token lives from its admission to the end of its retire, and tokens
    // retire in order: with at most `window` alive, index i is admitted only
    // after retire(i - window) has ended.
    std::size_t next = 0;
    tbb::parallel_pipeline(
        window,
        tbb::make_filter<void, std::size_t>(tbb::filter_mode::serial_in_order,
                                            [&](tbb::flow_control& control) -> std::size_t {
                                              if (next == n) control.stop();
                                              return next == n ? 0 : next++;
                                            }) &
            tbb::make_filter<std::size_t, std::size_t>(tbb::filter_mode::parallel,
                                                       [&](std::size_t i) {
                                                         const InPool in_pool;
                                                         run_index(token, work, i);
                                                         return i;
                                                       }) &
            tbb::make_filter<std::size_t, void>(tbb::filter_mode::serial_in_order, [&](std::size_t i) {
              const InPool in_pool;
              stop::Carry carry(token);
              retire(i);
            }));
  });
}

}  // namespace pool

}  // namespace vantok
