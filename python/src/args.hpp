#pragma once
// Argument extraction for the module's functions: the fast calling convention
// with keywords (every parameter positional-or-keyword) and the converters of
// each parameter kind. A failed conversion keeps its exception and gains the note
// "while processing '{param}'"; conversions run in parameter order, so the
// first bad argument is the one reported.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "errors.hpp"
#include "ref.hpp"
#include "vantok/pool.hpp"

namespace vantok_py::args {

/// The C signature of a METH_FASTCALL | METH_KEYWORDS function.
using FastCall = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

/// Most parameters of any function of the module.
inline constexpr std::size_t MAX_PARAMS = 16;

/// The argument description of one function: its name, the class for a method
/// (nullptr for a module function), its parameters in order, of which the first
/// `required` must be given. There are no positional-only, keyword-only or
/// variadic parameters.
struct Spec {
  const char* function;
  const char* owner;
  std::span<const char* const> params;
  std::size_t required;
};

/// The element type of an array parameter.
enum class Element { F64, C128 };

/// Whether `obj` is a NumPy array of native `element` values (dtype
/// equivalent, byte order included), of one dimension when asked. Lock held.
bool is_array_of(PyObject* obj, Element element, bool one_dimensional = false);

/// Refuses `obj` for parameter `param` exactly as the conversion to an array of
/// `element` values (any rank) does, unless it still is one: the Python code of
/// a later argument's conversion (a user __index__) can reassign the dtype of
/// an array converted before it, so a binding checks its arrays again once the
/// last conversion is done. Lock held; throws PyErrSet.
void recheck(PyObject* obj, Element element, const char* param);

/// The arguments of one call, as borrowed references in parameter order (null
/// for an optional parameter not given), with the converters of each kind.
/// Every failure sets its exception and throws PyErrSet.
class Arguments {
 public:
  /// Extracts fast-call arguments. Checks, in order: too many positionals; each
  /// keyword (unknown, or already given); then the missing required ones.
  static Arguments fast(const Spec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
  /// Extracts the arguments of a call made with a tuple and a dict (a type's
  /// tp_new), by the rules and in the order of `fast`.
  static Arguments call(const Spec& spec, PyObject* args, PyObject* kwargs);

  bool present(std::size_t i) const noexcept { return values_[i] != nullptr; }
  /// Any object (borrowed).
  PyObject* object(std::size_t i) const noexcept { return values_[i]; }
  /// A NumPy array of native float64 (dtype equivalent, byte order included), any rank.
  PyObject* f64_array(std::size_t i) const;
  /// A NumPy array of native complex128, any rank.
  PyObject* c128_array(std::size_t i) const;
  /// A one-dimensional NumPy array of native float64.
  PyObject* f64_array_1d(std::size_t i) const;
  /// None, or an integer (through __index__) that fits u64; OverflowError otherwise.
  std::optional<std::uint64_t> opt_u64(std::size_t i) const;
  /// An integer that fits u64.
  std::uint64_t u64(std::size_t i) const;
  /// An integer that fits i32 ("number too large/small to fit in target type").
  std::int32_t i32(std::size_t i) const;
  /// A Python bool or NumPy's bool scalar; anything else (an int too) is a TypeError.
  bool flag(std::size_t i) const;
  /// A str, as UTF-8 (it may hold NUL).
  std::string str(std::size_t i) const;
  /// Anything float() accepts through __float__ or __index__.
  double f64(std::size_t i) const;

 private:
  explicit Arguments(const Spec& spec) noexcept : spec_(&spec) {}
  /// Adds the parameter note to the exception that is set and throws PyErrSet.
  [[noreturn]] void failed(std::size_t i) const;
  /// TypeError "'{type}' object is not an instance of '{expected}'", with the note.
  [[noreturn]] void wrong_type(std::size_t i, const char* expected) const;
  PyObject* array_of(std::size_t i, Element element, bool one_dimensional, const char* expected) const;
  std::uint64_t index_u64(std::size_t i) const;

  const Spec* spec_;
  std::array<PyObject*, MAX_PARAMS> values_{};
};

/// The parameters (x, m, n_max, derivatives, allow_unvalidated) of the sphere
/// functions without cosines or order (efficiencies and coefficients, of
/// homogeneous and of layered spheres), converted in that order.
struct SolveArgs {
  PyObject* x;  // float64 array
  PyObject* m;  // complex128 array
  std::optional<std::uint64_t> n_max;
  bool derivatives;
  bool allow_unvalidated;

  /// Extracts and converts the five arguments of `function`.
  static SolveArgs extract(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
};

/// The parameters (x, m, mu, n_max, derivatives, allow_unvalidated[,
/// normalized]) of the amplitude (without `normalized`, which is then false)
/// and phase-matrix functions, converted in that order.
struct AngularArgs {
  PyObject* x;   // float64 array
  PyObject* m;   // complex128 array
  PyObject* mu;  // float64 array
  std::optional<std::uint64_t> n_max;
  bool derivatives;
  bool allow_unvalidated;
  bool normalized;

  static AngularArgs extract(const char* function, bool with_normalized, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
};

/// The parameters (x, m, order, n_max, derivatives, allow_unvalidated,
/// normalized) of the Greek functions, converted in that order.
struct GreekArgs {
  PyObject* x;  // float64 array
  PyObject* m;  // complex128 array
  std::optional<std::uint64_t> order;
  std::optional<std::uint64_t> n_max;
  bool derivatives;
  bool allow_unvalidated;
  bool normalized;

  static GreekArgs extract(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
};

/// Runs the body of an entry point (a function, a constructor, a getter) and
/// turns any C++ exception into a Python exception, so that none crosses into
/// the interpreter: the result, or nullptr with the exception set. Not
/// noexcept, and its catch-all lets a forced unwind pass: interpreter shutdown
/// ends a daemon thread that takes the lock back with one, which must reach the
/// thread's start (see ref.hpp, lock::lost).
template <class Body>
PyObject* guarded(Body&& body) {
  // Before the call takes any memory (see prepare_thread).
  vantok::pool::prepare_thread();
  try {
    return body();
  } catch (...) {
    if (lock::foreign_exception()) throw;
    return errors::translate_current_exception();
  }
}

/// The entry trampoline of a fast-call function: Body run by `guarded`.
template <PyObject* (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return Body(self, args, nargs, kwnames); });
}

/// The record of a fast-call function with keywords.
PyMethodDef method(const char* name, FastCall function, const char* doc) noexcept;

}  // namespace vantok_py::args
