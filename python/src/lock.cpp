// The stop token of lock-free work: the main thread's poll of the interpreter's
// signal handlers.
#include "lock.hpp"

#include <pthread.h>

namespace vantok_py {

namespace {

// The main thread's identity, once known (lock held, or in a fork child's
// one thread before it runs anything).
unsigned long g_main_thread = 0;
bool g_main_known = false;

// A fork child's one thread is its main thread, as the interpreter sees it.
void forked_child() noexcept { g_main_thread = PyThread_get_thread_ident(); }

}  // namespace

bool lock::on_main_thread() {
  if (!g_main_known) {
    // threading is loaded with NumPy; its main thread is the interpreter's.
    PyRef ident = lock::python([] {
      PyRef threading = PyRef::checked(PyImport_ImportModule("threading"));
      PyRef main = PyRef::checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
      return PyRef::checked(PyObject_GetAttrString(main.get(), "ident"));
    });
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) throw PyErrSet{};
    if (!g_main_known) {
      g_main_thread = value;
      g_main_known = true;
      pthread_atfork(nullptr, nullptr, &forked_child);
    }
  }
  return PyThread_get_thread_ident() == g_main_thread;
}

bool Unlocked::poll() {
  if (!polls_) return false;
  reacquire();
  const bool raised = PyErr_CheckSignals() < 0;
  release();
  return raised;
}

}  // namespace vantok_py
