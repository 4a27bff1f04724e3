#pragma once
// The RAII wrappers of the binding layer: an owned reference, a saved
// exception, a borrow of an array in the process-wide borrow registry, and a
// zero-filled output buffer that NumPy can later take over.
//
// Destruction order is part of the protocol: references and borrows are dropped
// only with the interpreter lock held, so lock-free work (lock.hpp) runs in a
// scope nested inside the borrows and references it reads.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <exception>
#include <span>
#include <utility>

namespace vantok_py {

/// The interpreter lock as the binding's destructors see it. During
/// interpreter shutdown, a daemon thread that takes the lock back (after
/// lock-free work, or inside a CPython call that runs Python code) is ended
/// by pthread_exit, whose forced unwind (abi::__forced_unwind) runs without the
/// lock. Catch-alls let it pass; the first frame of the binding it meets
/// records it, and the owned references and borrows that the unwind then
/// destroys leave Python alone: the thread ends as a C extension's thread would.
namespace lock {

namespace detail {
inline thread_local bool lost = false;
}  // namespace detail

/// Whether this thread lost the lock to interpreter shutdown and is unwinding.
inline bool lost() noexcept { return detail::lost; }

/// Whether the exception a catch-all handles is no C++ exception: a forced
/// unwind (or another language's exception), which must be rethrown. It has
/// no exception_ptr; catching it as abi::__forced_unwind& would bind a
/// reference to no object.
inline bool foreign_exception() noexcept { return !std::current_exception(); }

/// Runs a CPython call that may run Python code, recording a forced unwind
/// before any destructor of the caller sees it.
template <class F>
decltype(auto) python(F&& call) {
  try {
    return std::forward<F>(call)();
  } catch (...) {
    if (foreign_exception()) detail::lost = true;
    throw;
  }
}

}  // namespace lock

/// Thrown after a CPython call has set the error indicator; the entry
/// trampoline returns nullptr with that exception in place.
struct PyErrSet {};

/// Throws PyErrSet when `p` is null (a failed CPython call), else returns it.
template <class T>
inline T* check(T* p) {
  if (p == nullptr) throw PyErrSet{};
  return p;
}

/// Throws PyErrSet when a CPython size is negative (a failed call), else returns it.
inline Py_ssize_t check_size(Py_ssize_t n) {
  if (n < 0) throw PyErrSet{};
  return n;
}

/// Throws PyErrSet when a CPython status is negative.
inline void check_status(int status) {
  if (status < 0) throw PyErrSet{};
}

/// An owned (strong) reference. Move-only; dropped with the lock held.
class PyRef {
 public:
  PyRef() noexcept = default;
  /// Takes over a new reference (may be null).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  /// Takes a new reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  /// Takes over a new reference returned by a CPython call; throws PyErrSet on null.
  static PyRef checked(PyObject* p) { return PyRef(check(p)); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() {
    if (p_ != nullptr && !lock::lost()) Py_DECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  /// Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

/// The exception that was set, taken out of the indicator (which is then
/// clear) and held until restore() puts it back; otherwise it is dropped with
/// the object. Holds nothing when no exception was set. Lock held.
class SavedError {
 public:
  /// Takes the exception that is set. With `normalized`, the value is made an
  /// exception instance that carries its traceback (for use as a cause).
  /// Normalising may run Python code (an exception class's __init__).
  explicit SavedError(bool normalized = false) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (normalized && type != nullptr) {
      lock::python([&] { PyErr_NormalizeException(&type, &value, &traceback); });
      if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    }
    type_ = PyRef::steal(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

  /// Whether an exception was taken (and is still held).
  explicit operator bool() const noexcept { return static_cast<bool>(type_); }
  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }

  /// Sets the held exception again, replacing any that is set meanwhile.
  void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

  /// Hands over the value, for use as a cause; the exception is not restored.
  PyRef take_value() noexcept { return std::move(value_); }

 private:
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

/// A new tuple of the given references, which it takes over (None for an
/// empty one). Throws PyErrSet.
template <class... Refs>
PyRef tuple_of(Refs&&... items) {
  PyRef parts[] = {std::move(items)...};
  PyRef tuple = PyRef::checked(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(items))));
  for (std::size_t i = 0; i < sizeof...(items); ++i) {
    PyObject* item = parts[i] ? parts[i].release() : Py_NewRef(Py_None);
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals; cannot fail on a new tuple
  }
  return tuple;
}

struct BorrowApi;

/// One borrow of an array in the borrow registry (shared for reading, or
/// exclusive): a strong reference to the array and one registry entry.
/// Dropping it releases the entry, then the reference, with the lock held.
class ArrayBorrow {
 public:
  enum class Access { Shared, Exclusive };

  ArrayBorrow() noexcept = default;
  /// Records a borrow already granted by `api` for `array` (a new reference).
  ArrayBorrow(PyRef array, const BorrowApi* api, Access access) noexcept
      : array_(std::move(array)), api_(api), access_(access) {}
  ArrayBorrow(const ArrayBorrow&) = delete;
  ArrayBorrow& operator=(const ArrayBorrow&) = delete;
  ArrayBorrow(ArrayBorrow&& other) noexcept
      : array_(std::move(other.array_)),
        api_(std::exchange(other.api_, nullptr)),
        access_(other.access_) {}
  ArrayBorrow& operator=(ArrayBorrow&& other) noexcept {
    if (this != &other) {
      reset();
      array_ = std::move(other.array_);
      api_ = std::exchange(other.api_, nullptr);
      access_ = other.access_;
    }
    return *this;
  }
  ~ArrayBorrow() { reset(); }

  PyObject* array() const noexcept { return array_.get(); }

 private:
  void reset() noexcept;  // arrays.cpp

  PyRef array_;
  const BorrowApi* api_ = nullptr;
  Access access_ = Access::Shared;
};

/// A zero-filled buffer of n values from calloc (lock-free), owned until it is
/// handed to NumPy as the memory of an output array. Empty buffers hold no
/// allocation.
template <class T>
class Buffer {
 public:
  Buffer() noexcept = default;
  /// Takes over `n` values at `data`, allocated by calloc.
  Buffer(T* data, std::size_t n) noexcept : data_(data), size_(n) {}
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~Buffer() { std::free(data_); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  std::span<T> span() noexcept { return {data_, size_}; }
  std::span<const T> span() const noexcept { return {data_, size_}; }
  /// Hands the allocation to the caller (who frees it with std::free).
  T* release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vantok_py
