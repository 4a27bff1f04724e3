// The pool's loops: every index runs once whatever the arena's size, the stop
// token reaches pool threads, and exceptions reach the caller.
#include "vantok/pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using vantok::pool::for_each_index;
using vantok::pool::Grain;

TEST(Pool, EveryIndexOnceInAnyArena) {
  for (std::size_t threads : {1, 3, 8}) {
    for (Grain grain : {Grain::Auto, Grain::One}) {
      std::vector<std::atomic<int>> hits(1000);
      std::set<std::size_t> arena_sizes;
      vantok::pool::with_threads(threads, [&] {
        arena_sizes.insert(vantok::pool::thread_count());
        for_each_index(hits.size(), [&](std::size_t i) { hits[i]++; }, grain);
      });
      for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
      EXPECT_EQ(arena_sizes, std::set<std::size_t>{threads});
    }
  }
  EXPECT_GE(vantok::pool::threads(), 1u);
}

TEST(Pool, NestedLoopsAndExceptionsReachTheCaller) {
  std::vector<std::vector<int>> grid(16, std::vector<int>(16, 0));
  for_each_index(16, [&](std::size_t i) {
    for_each_index(16, [&](std::size_t j) { grid[i][j] = static_cast<int>(i * 16 + j); });
  }, Grain::One);
  for (std::size_t i = 0; i < 16; ++i)
    for (std::size_t j = 0; j < 16; ++j) ASSERT_EQ(grid[i][j], static_cast<int>(i * 16 + j));
  EXPECT_THROW(for_each_index(100, [](std::size_t i) {
    if (i == 57) throw std::runtime_error("index 57");
  }), std::runtime_error);
}

class CountingToken : public vantok::stop::Token {
 public:
  explicit CountingToken(int stop_after) : stop_after_(stop_after) {}
  bool poll() noexcept override { return ++polls_ >= stop_after_; }
  int polls() const { return polls_; }

 private:
  int stop_after_;
  int polls_ = 0;
};

TEST(StopToken, PolledByItsThreadAndSeenByPoolThreads) {
  // Without a token, check() never throws.
  EXPECT_NO_THROW(vantok::stop::check());

  // A requested token stops a loop before its indices run, on every thread.
  CountingToken requested(1000);
  requested.request();
  std::atomic<int> ran{0};
  {
    vantok::stop::Scope scope(requested);
    EXPECT_THROW(for_each_index(64, [&](std::size_t) { ran++; }, Grain::One),
                 vantok::stop::Stopped);
  }
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(vantok::stop::current(), nullptr);

  // The installing thread polls once a poll interval has passed; the second
  // poll asks to stop.
  CountingToken token(2);
  vantok::stop::Scope scope(token);
  int checks = 0;
  EXPECT_THROW(
      for (;;) {
        vantok::stop::check();
        ++checks;
        std::this_thread::sleep_for(vantok::stop::poll_interval / 4);
      },
      vantok::stop::Stopped);
  EXPECT_EQ(token.polls(), 2);
  EXPECT_GE(checks, 6);
  EXPECT_TRUE(token.requested());
  // Pool threads see the request through the flag, not by polling.
  EXPECT_THROW(for_each_index(8, [](std::size_t) {}, Grain::One), vantok::stop::Stopped);
  EXPECT_EQ(token.polls(), 2);
}

}  // namespace
