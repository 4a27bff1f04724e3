#pragma once
// The library's one work-stealing thread pool, and the stop hook that lets a
// caller end a long computation early.
//
// Parallel loops here give results that never depend on scheduling: each
// index writes its own slot, and the caller merges the slots in index order
// afterwards. An error value of one index does not cancel the others. A
// thrown exception (an internal failure, an allocation failure, a stop) ends
// the loop and reaches the caller.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace vantok {

namespace stop {

namespace detail {
struct TokenAccess;
}  // namespace detail

/// A caller's request channel for one call. The core polls it between units of
/// work; it never calls into Python itself. A token may be nested in another
/// (its parent): it is then requested whenever the parent is, so that a part
/// of a call can be stopped alone while a stop of the whole call still reaches
/// every thread at once.
class Token {
 public:
  Token() noexcept = default;
  /// A token nested in `parent` (none when null), which must outlive it.
  explicit Token(Token* parent) noexcept : parent_(parent) {}
  virtual ~Token() = default;
  /// Asked on the thread that installed the token, at most about every
  /// `poll_interval` while it computes or waits for the pool to finish its
  /// work; returns true when the call must stop. May block briefly (take a
  /// lock, run a handler). No token is installed on the thread while it runs,
  /// so work it starts itself is not polled through this token. It may throw:
  /// the exception ends the work like a stop does (a thread-exit unwind must be
  /// able to pass through it, so overriders should not be noexcept when the
  /// poll can end the thread).
  virtual bool poll() = 0;

  /// Whether it, or a token it is nested in, was asked to stop.
  bool requested() const noexcept {
    return requested_.load(std::memory_order_relaxed) || (parent_ != nullptr && parent_->requested());
  }
  void request() noexcept { requested_.store(true, std::memory_order_relaxed); }
  /// The token it is nested in (null when none).
  Token* parent() const noexcept { return parent_; }

 private:
  friend class Scope;
  friend struct detail::TokenAccess;
  std::atomic<bool> requested_{false};
  // Coarse monotonic time of the last poll, in nanoseconds (owner thread only).
  std::int64_t last_poll_ = 0;
  const void* owner_ = nullptr;
  Token* parent_ = nullptr;
};

/// How often the installing thread polls its token while it computes.
inline constexpr std::chrono::milliseconds poll_interval{100};

/// Thrown by `check` when the current call was asked to stop. Bindings catch it
/// and return with the exception the token's poll left pending.
struct Stopped : std::exception {
  const char* what() const noexcept override { return "computation stopped on request"; }
};

/// Installs a token on the calling thread for the scope's lifetime; nests.
class Scope {
 public:
  explicit Scope(Token& token) noexcept;
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  Token* previous_;
};

/// The token of the current call on this thread, or null.
Token* current() noexcept;

/// Throws Stopped when the current call was asked to stop. Cheap: a
/// thread-local read and an atomic load per token of the nesting, plus a
/// coarse clock read (a few ns) per token installed on the calling thread,
/// which it polls when due. Call it between units of work of a millisecond or so.
void check();

/// A stop check for loops whose steps are far shorter than a millisecond:
/// `step(units)` adds the work of one step, and `check()` runs once the steps
/// since the last one add up to the budget. Pick the budget so that it is
/// about a millisecond of work (a unit is typically a term, a cosine or an
/// element). The check never changes what the loop computes.
class Pace {
 public:
  explicit constexpr Pace(std::size_t budget) noexcept : budget_(budget) {}
  void step(std::size_t units = 1) {
    done_ += units;
    if (done_ >= budget_) {
      done_ = 0;
      check();
    }
  }

 private:
  std::size_t budget_;
  std::size_t done_ = 0;
};

}  // namespace stop

namespace pool {

/// Sets up the calling thread's thread-local storage of this library and of
/// the C++ runtime's exception state. glibc allocates that storage, for a
/// library loaded after the process started (as an interpreter loads this
/// one, and with it the C++ runtime), on a thread's first use, and ends the
/// process when the allocation fails: a thread that first throws
/// std::bad_alloc once memory has run out would end the process instead of
/// reporting it. Every thread of the pool is prepared as it enters, and the
/// pool brings them all in when it starts; callers from other threads (the
/// bindings' entry points) call this before they work. Cheap after the first
/// call on a thread.
void prepare_thread() noexcept;

/// The pool's size, fixed at first use: RAYON_NUM_THREADS when it is a
/// positive decimal integer, else RAYON_RS_NUM_CPUS under the same rule, else
/// the number of online processors; under an address-space limit, no more
/// threads than the room left below it can start (at 80 MiB each, at least
/// one).
std::size_t threads();

/// The concurrency of the arena the caller runs in: the pool's size outside
/// any arena, the test arena's inside `with_threads`.
std::size_t thread_count();

namespace detail {

/// One pointer per thread that asks for it, null until that thread sets it;
/// the storage behind PerThread.
class ThreadSlots {
 public:
  ThreadSlots();
  ~ThreadSlots();
  ThreadSlots(const ThreadSlots&) = delete;
  ThreadSlots& operator=(const ThreadSlots&) = delete;
  /// The calling thread's pointer.
  void*& local();
  /// Every pointer a thread has asked for, in no particular order.
  void visit(void (*f)(void*)) const;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace detail

/// Scratch of one T per thread that works on a loop: `local()` gives the
/// calling thread its own T, default-constructed on its first call. Keyed by
/// the thread itself, not by an index into the arena, so no thread can reach
/// past it, whatever the arena's slots (an arena of one thread that a caller
/// does not join hands its work to a thread of index 1). A body must not start
/// parallel work while it holds its T: the thread could take another index of
/// the same loop meanwhile and reuse it. Results must not depend on which T a
/// body gets.
template <class T>
class PerThread {
 public:
  PerThread() = default;
  ~PerThread() {
    slots_.visit([](void* p) { delete static_cast<T*>(p); });
  }
  PerThread(const PerThread&) = delete;
  PerThread& operator=(const PerThread&) = delete;

  T& local() {
    void*& slot = slots_.local();
    if (slot == nullptr) slot = new T();
    return *static_cast<T*>(slot);
  }

 private:
  detail::ThreadSlots slots_;
};

namespace detail {

/// A new slot number for thread_scratch.
std::size_t new_scratch_slot() noexcept;
/// The calling thread's pointer in `slot` (null until set), destroyed by
/// `destroy` when the thread ends. Throws std::bad_alloc when the thread's
/// list of slots cannot grow.
void*& scratch_slot(std::size_t slot, void (*destroy)(void*));

}  // namespace detail

/// The calling thread's own T (one per Tag: give each place that keeps
/// scratch a tag of its own), default-constructed on its first use and
/// destroyed when the thread ends; kept from call to call. A thread_local
/// object would do the same, but glibc registers its destructor with an
/// allocation it cannot report a failure of: a thread using it first once
/// memory has run out would end the process. Here that is std::bad_alloc.
/// As with PerThread, a caller must not start parallel work while it holds
/// its T.
template <class T, class Tag>
T& thread_scratch() {
  static const std::size_t slot = detail::new_scratch_slot();
  void*& p = detail::scratch_slot(slot, [](void* q) { delete static_cast<T*>(q); });
  if (p == nullptr) p = new T();
  return *static_cast<T*>(p);
}

/// How a loop's indices are handed to threads.
enum class Grain {
  /// Work-stealing ranges chosen by the scheduler (many cheap indices).
  Auto,
  /// One task per index (few, heavy indices).
  One,
};

/// Runs body(i) for every i in [0, n) in the caller's arena (the process-wide
/// pool when the caller is in none), and returns when all are done. The
/// caller's stop token is installed on every thread that runs an index. A
/// caller in no arena that installed its token itself hands the work to the
/// pool and polls its token while it waits (see run_in_pool). With a pool of
/// one thread, and in a process forked after the pool started (which has none
/// of its threads), the calling thread runs every index itself, in order.
void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body,
                    Grain grain = Grain::Auto);

/// Runs work(i) for every i in [0, n), at most `window` of them between the
/// start of work(i) and the end of retire(i), and retire(i) after work(i),
/// one at a time and in index order; returns when every retire has ended.
/// Index i starts only after retire(i - window) has ended, so a caller that
/// keeps `window` slots may give index i the slot i % window. Both may run
/// loops of their own; the caller's stop token is installed as in
/// for_each_index. Where for_each_index runs in order on the calling thread
/// (and with a window below 2), this runs work(0), retire(0), work(1), ...
void pipeline(std::size_t n, std::size_t window, const std::function<void(std::size_t)>& work,
              const std::function<void(std::size_t)>& retire);

/// Runs f in the process-wide arena (directly when already in an arena). A
/// caller that installed the current stop token does not join the arena: f
/// runs on the pool's threads (with the token installed) while the caller
/// waits and polls the token every poll interval, so that a stop is seen even
/// while other threads finish long units of work; f's exception, or else the
/// poll's, reaches the caller once f has ended. A pool of one thread is the
/// caller itself: f runs on the calling thread, whose loops take their
/// indices in order, and the token is polled at the checks between them.
void run_in_pool(const std::function<void()>& f);

/// Runs f inside a fresh arena of `thread_count` threads: lets tests compare
/// one thread with many in one process.
void run_with_threads(std::size_t thread_count, const std::function<void()>& f);

/// run_in_pool for a callable with a result.
template <class F>
auto run(F&& f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_void_v<R>) {
    run_in_pool([&] { f(); });
  } else {
    std::optional<R> out;
    run_in_pool([&] { out.emplace(f()); });
    return std::move(*out);
  }
}

/// run_with_threads for a callable with a result.
template <class F>
auto with_threads(std::size_t thread_count, F&& f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_void_v<R>) {
    run_with_threads(thread_count, [&] { f(); });
  } else {
    std::optional<R> out;
    run_with_threads(thread_count, [&] { out.emplace(f()); });
    return std::move(*out);
  }
}

}  // namespace pool

}  // namespace vantok
