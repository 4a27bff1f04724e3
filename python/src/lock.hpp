#pragma once
// The interpreter lock around lock-free work, and how that work learns that
// the user asked to stop (Ctrl-C).
//
// `unlocked(work)` releases the lock, runs `work` with a stop token installed
// (core loops call vantok::stop::check() between units of work), and takes the
// lock back in the normal flow of the function, never in a destructor. On the
// main thread the token's poll briefly takes the lock back every poll interval
// and runs the interpreter's signal handlers; when one raises (KeyboardInterrupt
// from SIGINT), the work ends with vantok::stop::Stopped, which the entry
// trampoline turns back into that pending exception after every borrow and
// buffer of the call has been released. Other threads never poll: only the main
// thread runs signal handlers.
//
// Interpreter shutdown ends a daemon thread that tries to take the lock back
// (`PyEval_RestoreThread` calls pthread_exit) by a forced unwind. It passes
// through every frame of the binding: catch-alls rethrow it (lock::foreign_exception),
// and no noexcept frame lies between a lock re-acquisition and the entry
// point; the references and borrows it destroys leave Python alone (see
// lock::lost in ref.hpp).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "ref.hpp"
#include "vantok/pool.hpp"

namespace vantok_py {

namespace lock {

/// Whether the calling thread is the interpreter's main thread, the one that
/// runs signal handlers (its identity is found once, and a fork child's one
/// thread becomes it). Lock held; throws PyErrSet.
bool on_main_thread();

}  // namespace lock

/// The interpreter lock released for one piece of work, and the work's stop
/// token. Made with the lock held; see `unlocked`.
class Unlocked final : public vantok::stop::Token {
 public:
  Unlocked() : polls_(lock::on_main_thread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  void release() noexcept { state_ = PyEval_SaveThread(); }
  /// Takes the lock back; during shutdown it may end the thread instead.
  void reacquire() {
    lock::python([&] { PyEval_RestoreThread(state_); });
  }

  /// On the main thread: takes the lock, runs the pending signal handlers and
  /// releases it again; true when a handler raised (the exception is left
  /// pending for the entry point).
  bool poll() override;

 private:
  bool polls_;
  PyThreadState* state_ = nullptr;
};

/// The stop token of work done with the lock held (the outputs of a solved
/// spheroid, whose first orientation average can take minutes at large N), for
/// the scope of the object: on the main thread its poll runs the pending
/// signal handlers in place, so that Ctrl-C ends such work as it ends
/// lock-free work. Lock held; throws PyErrSet.
class HeldStop final : public vantok::stop::Token {
 public:
  HeldStop() : polls_(lock::on_main_thread()), scope_(*this) {}
  HeldStop(const HeldStop&) = delete;
  HeldStop& operator=(const HeldStop&) = delete;

  bool poll() override { return polls_ && PyErr_CheckSignals() < 0; }

 private:
  bool polls_;
  vantok::stop::Scope scope_;
};

/// Runs `work` with the lock released and its stop token installed, and returns
/// its result once the lock is held again. An exception of `work` (a stop,
/// InternalFailure, bad_alloc) is rethrown after the lock is back. `work` must
/// not touch Python objects.
template <class F>
auto unlocked(F&& work) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  Unlocked token;
  std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> result{};
  std::exception_ptr failure;
  token.release();
  try {
    const vantok::stop::Scope scope(token);
    if constexpr (std::is_void_v<R>) {
      work();
    } else {
      result.emplace(work());
    }
  } catch (...) {
    failure = std::current_exception();
    if (!failure) {  // a forced unwind: the thread ends without the lock
      lock::detail::lost = true;
      throw;
    }
  }
  token.reacquire();
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
}

/// `unlocked` for long work made of many parallel loops with serial steps
/// between them (a spheroid solve): the whole of `work` runs as one task of
/// the pool while this thread polls, instead of each loop being handed to the
/// pool and back, which costs a wake-up on either side per loop and moves the
/// serial steps' data between cores. Short work should use `unlocked`: the
/// one hand-over costs some microseconds.
template <class F>
auto unlocked_in_pool(F&& work) -> std::invoke_result_t<F&> {
  return unlocked([&] { return vantok::pool::run(work); });
}

}  // namespace vantok_py
