#pragma once
// Runs work on the process-wide pool the way the bindings do: the caller
// installs its stop token, hands the work to the pool and waits outside the
// arena, polling. The pool's size is the process's (RAYON_NUM_THREADS), so a
// test that compares this with an explicit arena of one thread, registered
// once more with RAYON_NUM_THREADS=1, checks a pool of one thread too.

#include <utility>

#include "vantok/pool.hpp"

namespace vantok::test {

/// A stop token that never asks to stop.
class NeverStop : public stop::Token {
 public:
  bool poll() override { return false; }
};

/// f() under a caller's stop token, on the process-wide pool.
template <class F>
auto on_process_pool(F&& f) {
  NeverStop token;
  const stop::Scope scope(token);
  return pool::run(std::forward<F>(f));
}

}  // namespace vantok::test
