#pragma once
// How failures reach Python. A core vantok::Error becomes an instance of one of
// the package's classes in "vantok.errors" (looked up at raise time); problems
// the binding layer finds itself become built-in exceptions, made as deferred
// (type, message) pairs so that lock-free code can produce them; a broken
// internal invariant becomes the module's internal-failure exception, derived
// directly from BaseException; std::bad_alloc becomes MemoryError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "ref.hpp"
#include "vantok/error.hpp"

namespace vantok_py {

/// A built-in exception not yet made: its class (a borrowed PyExc_* object) and
/// its message. Made without the lock, raised later with it.
struct Deferred {
  PyObject* type;
  std::string message;
};

/// The error of the lock-free part of a binding call: a core error, or a
/// built-in exception to raise. Holds no Python object, so it may be made and
/// dropped anywhere.
using Failure = std::variant<vantok::Error, Deferred>;

/// The result of a binding step.
template <class T>
using Outcome = std::expected<T, Failure>;

inline Deferred type_error(std::string message) { return {PyExc_TypeError, std::move(message)}; }
inline Deferred value_error(std::string message) { return {PyExc_ValueError, std::move(message)}; }
inline Deferred buffer_error(std::string message) { return {PyExc_BufferError, std::move(message)}; }
inline Deferred memory_error(std::string message) { return {PyExc_MemoryError, std::move(message)}; }
inline Deferred runtime_error(std::string message) { return {PyExc_RuntimeError, std::move(message)}; }

namespace errors {

/// Sets the exception that a core error maps to: the class of "vantok.errors"
/// named after its variant, called with the text form (and, for NotConverged,
/// achieved and requested as floats). If the module or class cannot be reached
/// or called, an Exception F becomes RuntimeError(text form) caused by F, and a
/// BaseException that is no Exception (an interrupt) is raised itself.
void to_pyerr(vantok::Error error);

/// Sets the exception of a failure: a core error through to_pyerr, a deferred
/// one as its built-in class with its message.
void raise(Failure failure);

/// raise(failure), then throw PyErrSet.
[[noreturn]] void throw_failure(Failure failure);

/// The internal-failure class `vantok._vantok.InternalFailure`, derived directly
/// from BaseException, created on first use (borrowed, kept for the process).
/// Returns nullptr with an exception set when it cannot be created.
PyObject* internal_failure_class() noexcept;

/// Sets the internal-failure exception with `message`. An exception already set
/// becomes its cause.
void raise_internal_failure(std::string_view message);

/// raise_internal_failure(message), then throw PyErrSet.
[[noreturn]] void internal_failure(std::string_view message);

/// Adds the note "while processing '{param}'" to the exception that is set,
/// keeping its type, message and traceback.
void add_note(const char* param);

/// Maps the C++ exception in flight to a Python exception and returns nullptr;
/// called from the catch-all of every entry point. PyErrSet keeps the exception
/// that is set, and so does vantok::stop::Stopped (the exception a signal
/// handler raised while the work polled); vantok::InternalFailure and any other
/// std::exception become the internal-failure exception; std::bad_alloc becomes
/// MemoryError. Not noexcept: the Python code it may run can end the thread
/// during interpreter shutdown (a forced unwind, which it lets pass, like one
/// it is called with).
PyObject* translate_current_exception();

/// A string in double quotes with the escapes of the debug (quoted literal)
/// form: \\ \" \n \r \t \0, and \u{hex} for every other code point that is
/// not printable (a control, format, private-use, unassigned or separator
/// character other than the space) or that extends a grapheme (a combining
/// mark); other text is kept. `text` is UTF-8. Lock held (the categories come
/// from unicodedata); throws PyErrSet.
std::string debug_str(std::string_view text);

}  // namespace errors

/// The value of a binding step, or its failure (a core error or a built-in
/// exception) raised: throws PyErrSet. Lock held.
template <class T, class E>
T value_or_raise(std::expected<T, E> result) {
  if (!result) errors::throw_failure(Failure(std::move(result).error()));
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

/// The core error of element i of an input (0-based, row-major over its shape):
/// "element {i}: {message}" for InvalidInput and OutsideValidatedDomain;
/// NotConverged passes unchanged.
vantok::Error at(std::size_t i, vantok::Error error);

}  // namespace vantok_py
