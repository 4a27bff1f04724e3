// The pool's loops: every index runs once whatever the arena's size, nested
// loops and exceptions reach the caller, and the stop token reaches pool
// threads. The stop hook as the bindings use it: a paced check runs once per
// budget of work, a poll runs with no token installed (a handler that calls
// back into the library does not re-enter it), an exception of the poll ends
// the work, and a caller that waits for the pool keeps polling.
#include "vantok/pool.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/sanitizer.hpp"

namespace {

using vantok::pool::for_each_index;
using vantok::pool::Grain;

TEST(Pool, EveryIndexOnceInAnyArenaNestedAndThrowing) {
  for (std::size_t threads : {1, 3, 8}) {
    for (Grain grain : {Grain::Auto, Grain::One}) {
      std::vector<std::atomic<int>> hits(1000);
      std::set<std::size_t> sizes;
      vantok::pool::with_threads(threads, [&] {
        sizes.insert(vantok::pool::thread_count());
        for_each_index(hits.size(), [&](std::size_t i) { hits[i]++; }, grain);
      });
      for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
      EXPECT_EQ(sizes, std::set<std::size_t>{threads});
    }
  }
  std::vector<int> grid(256, -1);
  for_each_index(16, [&](std::size_t i) { for_each_index(16, [&](std::size_t j) { grid[i * 16 + j] = static_cast<int>(i * 16 + j); }); }, Grain::One);
  for (std::size_t k = 0; k < 256; ++k) ASSERT_EQ(grid[k], static_cast<int>(k));
  EXPECT_THROW(for_each_index(100, [](std::size_t i) { if (i == 57) throw std::runtime_error("57"); }), std::runtime_error);
}

// A pipeline keeps its window: index i starts only after retire(i - window)
// has ended, so slot i % window is free; retires run one at a time, in index
// order, each after its own work; nested loops and exceptions behave as in
// for_each_index.
TEST(Pool, PipelineRetiresInOrderWithinItsWindow) {
  for (std::size_t threads : {1, 3, 8}) {
    for (std::size_t window : {1, 2, 5}) {
      constexpr std::size_t n = 120;
      std::vector<std::atomic<int>> worked(n), retired(n);
      std::vector<std::atomic<int>> slot_busy(window);
      std::atomic<int> faults{0}, retiring{0};
      std::size_t next_retire = 0;
      vantok::pool::with_threads(threads, [&] {
        vantok::pool::pipeline(n, window, [&](std::size_t i) {
          if (slot_busy[i % window].exchange(1) != 0) faults++;
          if (i >= window && retired[i - window].load() != 1) faults++;
          std::atomic<int> inner{0};
          for_each_index(16, [&](std::size_t) { inner++; });
          if (inner.load() != 16) faults++;
          worked[i]++;
        }, [&](std::size_t i) {
          if (retiring.exchange(1) != 0 || i != next_retire || worked[i].load() != 1) faults++;
          ++next_retire;
          slot_busy[i % window] = 0;
          retired[i]++;
          retiring = 0;
        });
      });
      EXPECT_EQ(faults.load(), 0) << threads << " threads, window " << window;
      EXPECT_EQ(next_retire, n);
    }
  }
  EXPECT_THROW(vantok::pool::pipeline(50, 4, [](std::size_t i) { if (i == 17) throw std::runtime_error("17"); },
                                      [](std::size_t) {}),
               std::runtime_error);
  EXPECT_THROW(vantok::pool::pipeline(50, 4, [](std::size_t) {}, [](std::size_t i) {
    if (i == 23) throw std::runtime_error("23");
  }), std::runtime_error);
}

// Counts its live objects.
struct Counted {
  static inline std::atomic<int> alive{0};
  int value = 0;
  Counted() { ++alive; }
  ~Counted() { --alive; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
};

// A thread's scratch: one object per thread and tag, kept from call to call
// and destroyed when its thread ends. Once memory has run out, a prepared
// thread's first use of a scratch is std::bad_alloc: the registration of a
// thread_local object's destructor would end the process there.
TEST(ThreadScratch, PerThreadAndTagKeptDestroyedAndBadAllocOnceMemoryIsOut) {
  const auto first = [] { return &vantok::pool::thread_scratch<Counted, struct First>(); };
  Counted* here = first();
  EXPECT_EQ(here, first());
  EXPECT_NE(here, (&vantok::pool::thread_scratch<Counted, struct Second>()));
  const int before = Counted::alive.load();
  Counted* there = nullptr;
  std::thread([&] { there = first(); }).join();
  EXPECT_NE(there, here);
  EXPECT_EQ(Counted::alive.load(), before);
  if (vantok::test::ADDRESS_SANITIZER) return;  // the sanitizer's shadow takes the address space

  const pid_t child = fork();
  if (child == 0) {
    std::size_t pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%zu", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const rlimit cap{pages * 4096 + (std::size_t{64} << 20), RLIM_INFINITY};
    if (pages == 0 || setrlimit(RLIMIT_AS, &cap) != 0) _exit(2);
    int code = 1;
    std::thread([&] {
      vantok::pool::prepare_thread();
      std::vector<void*> hold;
      hold.reserve(std::size_t{1} << 22);
      for (std::size_t size : {std::size_t{1} << 16, std::size_t{16}}) {
        while (hold.size() < hold.capacity()) {
          void* p = std::malloc(size);
          if (p == nullptr) break;
          hold.push_back(p);
        }
      }
      try {
        vantok::pool::thread_scratch<std::vector<double>, struct Late>().resize(1 << 20);
      } catch (const std::bad_alloc&) {
        code = 0;
      }
      for (void* p : hold) std::free(p);
    }).join();
    _exit(code);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Per-thread scratch: every body gets a T of its own thread, never one another
// body is using at the time, in an explicit arena and on the process-wide pool
// reached through a caller's token (whose thread may hold any arena slot).
TEST(PerThread, ProcessPoolAndArenasNeverShareAScratch) {
  struct Scratch {
    std::atomic<bool> busy{false};
  };
  const auto run = [](std::size_t n) {
    vantok::pool::PerThread<Scratch> scratch;
    std::atomic<int> clashes{0};
    for_each_index(n, [&](std::size_t) {
      Scratch& s = scratch.local();
      if (s.busy.exchange(true)) clashes++;
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      s.busy = false;
    }, Grain::One);
    return clashes.load();
  };
  for (std::size_t threads : {1, 2, 5}) EXPECT_EQ(vantok::pool::with_threads(threads, [&] { return run(200); }), 0);
  struct Quiet : vantok::stop::Token {
    bool poll() override { return false; }
  } token;
  const vantok::stop::Scope scope(token);
  EXPECT_EQ(run(200), 0);
}

using vantok::stop::Stopped;


// Polls `answer` (stop from the poll numbered stop_after on, go on, or fail),
// checking meanwhile, as a handler that calls back into the library would,
// that no token is installed.
class Token : public vantok::stop::Token {
 public:
  enum Answer { Stop, Go, Fail };
  explicit Token(Answer answer, int stop_after = 1, vantok::stop::Token* parent = nullptr)
      : vantok::stop::Token(parent), answer_(answer), stop_after_(stop_after) {}
  bool poll() override {
    ++polls;
    token_seen = vantok::stop::current();
    vantok::stop::check();  // must neither throw nor poll again
    if (answer_ == Fail) throw std::runtime_error("poll failed");
    return answer_ == Stop && polls >= stop_after_;
  }
  int polls = 0;
  vantok::stop::Token* token_seen = this;

 private:
  Answer answer_;
  int stop_after_;
};

// Without a token check() never throws; a requested token stops a loop before
// its indices run, on every thread; the installing thread polls once a poll
// interval has passed (here the second poll asks to stop), and pool threads
// see the request through the flag, not by polling.
TEST(StopToken, PolledByItsThreadAndSeenByPoolThreads) {
  EXPECT_NO_THROW(vantok::stop::check());
  Token requested(Token::Go);
  requested.request();
  std::atomic<int> ran{0};
  {
    vantok::stop::Scope scope(requested);
    EXPECT_THROW(for_each_index(64, [&](std::size_t) { ran++; }, Grain::One), vantok::stop::Stopped);
  }
  EXPECT_TRUE(ran.load() == 0 && vantok::stop::current() == nullptr);
  Token token(Token::Stop, 2);
  vantok::stop::Scope scope(token);
  int checks = 0;
  EXPECT_THROW(for (;; ++checks) {
    vantok::stop::check();
    // Short sleeps: a loaded machine that oversleeps each one several times
    // over still makes many checks per interval, and polls once per interval.
    std::this_thread::sleep_for(vantok::stop::poll_interval / 100);
  }, vantok::stop::Stopped);
  EXPECT_TRUE(token.polls == 2 && checks >= 6 && token.requested());
  EXPECT_THROW(for_each_index(8, [](std::size_t) {}, Grain::One), vantok::stop::Stopped);
  EXPECT_EQ(token.polls, 2);
}

void wait_for_poll() { std::this_thread::sleep_for(vantok::stop::poll_interval + std::chrono::milliseconds(10)); }

TEST(StopHook, PacedChecksAndPolls) {
  Token requested(Token::Go);
  requested.request();
  {
    const vantok::stop::Scope scope(requested);
    vantok::stop::Pace pace(10);
    for (int i = 0; i < 3; ++i) pace.step(3);  // 9 units: no check yet
    EXPECT_THROW(pace.step(1), Stopped);
    EXPECT_THROW(vantok::stop::Pace(100).step(250), Stopped);  // one step may exceed the budget
    EXPECT_EQ(requested.polls, 0);  // a requested token throws without polling
  }
  Token stopping(Token::Stop);
  const vantok::stop::Scope scope(stopping);
  wait_for_poll();
  EXPECT_THROW(vantok::stop::check(), Stopped);
  EXPECT_EQ(stopping.polls, 1);
  EXPECT_EQ(stopping.token_seen, nullptr);
  EXPECT_EQ(vantok::stop::current(), &stopping);

  Token failing(Token::Fail);
  const vantok::stop::Scope inner(failing);
  wait_for_poll();
  EXPECT_THROW(vantok::stop::check(), std::runtime_error);
  EXPECT_EQ(vantok::stop::current(), &failing);
}

// Loops far shorter than the poll interval, one after another: the caller
// still polls once one comes due.
TEST(StopHook, CallerPollsBetweenShortLoops) {
  Token token(Token::Stop);
  const vantok::stop::Scope scope(token);
  int loops = 0;
  EXPECT_THROW(for (; loops < 200; ++loops) {
    vantok::pool::for_each_index(2, [](std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); },
                                 vantok::pool::Grain::One);
  }, Stopped);
  EXPECT_EQ(token.polls, 1);
  EXPECT_LT(loops, 200);
}

TEST(StopHook, CallerPollsWhileThePoolFinishesALongIndex) {
  // Index 0 ends at once, index 1 runs until it sees a stop (or a safety limit):
  // the caller has nothing left to run, yet its poll must still be asked.
  using Clock = std::chrono::steady_clock;
  Token token(Token::Stop);
  const vantok::stop::Scope scope(token);
  std::atomic<bool> limit_reached{false};
  const auto body = [&](std::size_t i) {
    const auto start = Clock::now();
    while (i == 1 && Clock::now() - start < std::chrono::seconds(30)) vantok::stop::check();
    if (i == 1) limit_reached = true;
  };
  EXPECT_THROW(vantok::pool::for_each_index(2, body, vantok::pool::Grain::One), Stopped);
  EXPECT_FALSE(limit_reached.load());
  EXPECT_EQ(token.polls, 1);

  // The work's own exceptions reach the polling caller.
  Token quiet(Token::Go);
  const vantok::stop::Scope inner(quiet);
  EXPECT_THROW(vantok::pool::for_each_index(64, [](std::size_t i) {
    if (i == 7) throw std::runtime_error("index 7");
  }), std::runtime_error);
}

// A token nested in the caller's: requested alone, it stops only the work it
// is installed on; the caller's stop reaches that work at once, on every
// thread, and the thread that installed both polls both, at its checks and
// while it waits for the pool to finish a long index.
TEST(StopToken, NestedStopsAloneOrWithItsParent) {
  Token call(Token::Go);
  const vantok::stop::Scope outer(call);
  {
    Token part(Token::Go, 1, &call);
    const vantok::stop::Scope inner(part);
    part.request();
    EXPECT_THROW(vantok::stop::check(), Stopped);
    EXPECT_FALSE(call.requested());
  }
  EXPECT_NO_THROW(vantok::stop::check());
  Token part(Token::Go, 1, &call);
  {
    const vantok::stop::Scope inner(part);
    call.request();
    std::atomic<int> ran{0};
    EXPECT_THROW(for_each_index(64, [&](std::size_t) { ran++; }, Grain::One), Stopped);
    EXPECT_TRUE(ran.load() == 0 && part.requested() && call.polls == 0 && part.polls == 0);
  }

  using Clock = std::chrono::steady_clock;
  Token stopping(Token::Stop);
  const vantok::stop::Scope caller(stopping);
  Token quiet(Token::Go, 1, &stopping);
  const vantok::stop::Scope inner(quiet);
  wait_for_poll();
  EXPECT_THROW(vantok::stop::check(), Stopped);
  EXPECT_TRUE(stopping.polls == 1 && quiet.polls == 1);
  Token waiting(Token::Stop, 2);
  const vantok::stop::Scope second(waiting);
  Token waiting_part(Token::Go, 1, &waiting);
  const vantok::stop::Scope second_inner(waiting_part);
  std::atomic<bool> limit_reached{false};
  EXPECT_THROW(for_each_index(2, [&](std::size_t i) {
    const auto start = Clock::now();
    while (i == 1 && Clock::now() - start < std::chrono::seconds(30)) vantok::stop::check();
    if (i == 1) limit_reached = true;
  }, Grain::One), Stopped);
  EXPECT_FALSE(limit_reached.load());
  EXPECT_EQ(waiting.polls, 2);
}

// A pool of one thread (the size of this process's pool is fixed by
// RAYON_NUM_THREADS, so this runs in the ctest run with a pool of one thread):
// the caller runs every index itself, nested ones too, in ascending order,
// and sees an arena of one thread.
TEST(Pool, ProcessPoolOfOneThreadIsTheCaller) {
  if (vantok::pool::threads() != 1) GTEST_SKIP() << "the process-wide pool has more than one thread";
  const std::thread::id caller = std::this_thread::get_id();
  // A caller with a token of its own, as the bindings are.
  Token quiet(Token::Go);
  std::optional<vantok::stop::Scope> installed(std::in_place, quiet);
  std::vector<std::size_t> order;
  std::set<std::size_t> sizes;
  bool elsewhere = false;
  for (Grain grain : {Grain::Auto, Grain::One}) {
    for_each_index(8, [&](std::size_t i) {
      for_each_index(4, [&](std::size_t j) {
        elsewhere = elsewhere || std::this_thread::get_id() != caller;
        sizes.insert(vantok::pool::thread_count());
        order.push_back(i * 4 + j);
      }, grain);
    }, grain);
  }
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(sizes, std::set<std::size_t>{1});
  ASSERT_EQ(order.size(), 64u);
  for (std::size_t k = 0; k < 64; ++k) ASSERT_EQ(order[k], k % 32);
  installed.reset();

  // With nobody else to wait for, the caller polls at the checks of the
  // index it runs: a stop ends a long one.
  Token token(Token::Stop);
  const vantok::stop::Scope scope(token);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(for_each_index(2, [&](std::size_t i) {
    while (i == 1 && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) vantok::stop::check();
  }), Stopped);
  EXPECT_EQ(token.polls, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
