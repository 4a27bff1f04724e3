// The stop hook as the bindings use it: a paced check runs once per budget of
// work, a poll runs with no token installed (a handler that calls back into the
// library does not re-enter it), an exception of the poll ends the work, and a
// caller that waits for the pool keeps polling.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "vantok/pool.hpp"

namespace {

using vantok::stop::Pace;
using vantok::stop::Stopped;

// Asks to stop at its first poll, after checking, as a handler calling back
// into the library would, that it runs without a token installed.
class ReentrantToken : public vantok::stop::Token {
 public:
  bool poll() override {
    ++polls;
    token_seen = vantok::stop::current();
    vantok::stop::check();  // must neither throw nor poll again
    return true;
  }
  int polls = 0;
  vantok::stop::Token* token_seen = this;
};

class ThrowingToken : public vantok::stop::Token {
 public:
  bool poll() override { throw std::runtime_error("poll failed"); }
};

class QuietToken : public vantok::stop::Token {
 public:
  bool poll() override { return false; }
};

void wait_for_poll() { std::this_thread::sleep_for(vantok::stop::poll_interval + std::chrono::milliseconds(10)); }

TEST(StopHook, PaceChecksOncePerBudget) {
  ReentrantToken token;
  token.request();
  const vantok::stop::Scope scope(token);
  Pace pace(10);
  for (int i = 0; i < 3; ++i) pace.step(3);  // 9 units: no check yet
  EXPECT_THROW(pace.step(1), Stopped);
  Pace big(100);
  EXPECT_THROW(big.step(250), Stopped);  // one step may exceed the budget
  EXPECT_EQ(token.polls, 0);             // a requested token throws without polling
}

TEST(StopHook, PollRunsWithoutATokenAndItsExceptionEndsTheWork) {
  {
    ReentrantToken token;
    const vantok::stop::Scope scope(token);
    wait_for_poll();
    EXPECT_THROW(vantok::stop::check(), Stopped);
    EXPECT_EQ(token.polls, 1);
    EXPECT_EQ(token.token_seen, nullptr);
    EXPECT_EQ(vantok::stop::current(), &token);
  }
  ThrowingToken failing;
  const vantok::stop::Scope scope(failing);
  wait_for_poll();
  EXPECT_THROW(vantok::stop::check(), std::runtime_error);
  EXPECT_EQ(vantok::stop::current(), &failing);
}

TEST(StopHook, CallerPollsWhileThePoolFinishesALongIndex) {
  // Index 0 ends at once, index 1 runs until it sees a stop (or a safety limit):
  // the caller has nothing left to run, yet its poll must still be asked.
  using Clock = std::chrono::steady_clock;
  ReentrantToken token;
  const vantok::stop::Scope scope(token);
  std::atomic<bool> limit_reached{false};
  EXPECT_THROW(vantok::pool::for_each_index(2, [&](std::size_t i) {
    const auto start = Clock::now();
    while (i == 1 && Clock::now() - start < std::chrono::seconds(30)) vantok::stop::check();
    if (i == 1) limit_reached = true;
  }, vantok::pool::Grain::One), Stopped);
  EXPECT_FALSE(limit_reached.load());
  EXPECT_EQ(token.polls, 1);

  // The work's own exceptions reach the polling caller.
  QuietToken quiet;
  const vantok::stop::Scope inner(quiet);
  EXPECT_THROW(vantok::pool::for_each_index(64, [](std::size_t i) {
    if (i == 7) throw std::runtime_error("index 7");
  }), std::runtime_error);
}

}  // namespace
