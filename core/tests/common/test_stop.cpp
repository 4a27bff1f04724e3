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

using vantok::stop::Stopped;

// Polls `answer` (stop, go on, or fail), checking meanwhile, as a handler that
// calls back into the library would, that no token is installed.
class Token : public vantok::stop::Token {
 public:
  enum Answer { Stop, Go, Fail };
  explicit Token(Answer answer) : answer_(answer) {}
  bool poll() override {
    ++polls;
    token_seen = vantok::stop::current();
    vantok::stop::check();  // must neither throw nor poll again
    if (answer_ == Fail) throw std::runtime_error("poll failed");
    return answer_ == Stop;
  }
  int polls = 0;
  vantok::stop::Token* token_seen = this;

 private:
  Answer answer_;
};

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

}  // namespace
