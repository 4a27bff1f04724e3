// The pool's loops: every index runs once whatever the arena's size, nested
// loops and exceptions reach the caller, and the stop token reaches pool
// threads.
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

class CountingToken : public vantok::stop::Token {
 public:
  explicit CountingToken(int stop_after) : stop_after_(stop_after) {}
  bool poll() noexcept override { return ++polls_ >= stop_after_; }
  int polls_ = 0;

 private:
  int stop_after_;
};

// Without a token check() never throws; a requested token stops a loop before
// its indices run, on every thread; the installing thread polls once a poll
// interval has passed (here the second poll asks to stop), and pool threads
// see the request through the flag, not by polling.
TEST(StopToken, PolledByItsThreadAndSeenByPoolThreads) {
  EXPECT_NO_THROW(vantok::stop::check());
  CountingToken requested(1000);
  requested.request();
  std::atomic<int> ran{0};
  {
    vantok::stop::Scope scope(requested);
    EXPECT_THROW(for_each_index(64, [&](std::size_t) { ran++; }, Grain::One), vantok::stop::Stopped);
  }
  EXPECT_TRUE(ran.load() == 0 && vantok::stop::current() == nullptr);
  CountingToken token(2);
  vantok::stop::Scope scope(token);
  int checks = 0;
  EXPECT_THROW(for (;; ++checks) {
    vantok::stop::check();
    std::this_thread::sleep_for(vantok::stop::poll_interval / 4);
  }, vantok::stop::Stopped);
  EXPECT_TRUE(token.polls_ == 2 && checks >= 6 && token.requested());
  EXPECT_THROW(for_each_index(8, [](std::size_t) {}, Grain::One), vantok::stop::Stopped);
  EXPECT_EQ(token.polls_, 2);
}

}  // namespace
