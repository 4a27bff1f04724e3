// Mapping of core errors, deferred built-in exceptions and C++ exceptions to
// Python exceptions. Everything here runs with the interpreter lock held,
// except `at` and the making of Deferred pairs.
#include "errors.hpp"

#include <new>
#include <string>
#include <utility>

#include "vantok/memory.hpp"
#include "vantok/pool.hpp"

namespace vantok_py {

namespace {

// Kept for the life of the process once made (borrowed by callers).
PyObject* g_internal_failure = nullptr;

PyObject* text_object(std::string_view text) {
  // Messages may hold NUL and arbitrary user text: pass the size, never a C string.
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

const char* class_name(vantok::Error::Kind kind) {
  switch (kind) {
    case vantok::Error::Kind::InvalidInput:
      return "InvalidInputError";
    case vantok::Error::Kind::NotConverged:
      return "NotConvergedError";
    case vantok::Error::Kind::OutsideValidatedDomain:
      return "OutsideValidatedDomainError";
  }
  return "InvalidInputError";
}

// Sets `exc` (a new exception instance of class `cls`) with `cause` (may be
// null) as its __cause__ and __context__.
void set_with_cause(PyObject* cls, PyRef exc, PyRef cause) noexcept {
  if (cause) {
    PyException_SetContext(exc.get(), PyRef::borrow(cause.get()).release());  // steals
    PyException_SetCause(exc.get(), cause.release());                        // steals
  }
  PyErr_SetObject(cls, exc.get());
}

// Calls the class of "vantok.errors" for `error`; a new reference, or nullptr
// with the failure set.
PyObject* make_package_exception(const vantok::Error& error, PyObject* text) {
  PyRef module = PyRef::steal(PyImport_ImportModule("vantok.errors"));
  if (!module) return nullptr;
  PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), class_name(error.kind())));
  if (!cls) return nullptr;
  PyRef args;
  if (error.kind() == vantok::Error::Kind::NotConverged) {
    PyRef achieved = PyRef::steal(PyFloat_FromDouble(error.achieved()));
    PyRef requested = PyRef::steal(PyFloat_FromDouble(error.requested()));
    if (!achieved || !requested) return nullptr;
    args = PyRef::steal(PyTuple_Pack(3, text, achieved.get(), requested.get()));
  } else {
    args = PyRef::steal(PyTuple_Pack(1, text));
  }
  if (!args) return nullptr;
  // The classes are written in Python: their __init__ runs Python code.
  return lock::python([&] { return PyObject_CallObject(cls.get(), args.get()); });
}

bool is_exception_instance(PyObject* obj) {
  return (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_BASE_EXC_SUBCLASS) != 0;
}

bool is_exception_class(PyObject* obj) {
  return PyType_Check(obj) &&
         (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(obj)) & Py_TPFLAGS_BASE_EXC_SUBCLASS) != 0;
}

void append_hex(std::string& out, char32_t value) {
  static constexpr char digits[] = "0123456789abcdef";
  char buf[8];
  int n = 0;
  do {
    buf[n++] = digits[value & 0xf];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out.push_back(buf[--n]);
}

// Other_Grapheme_Extend of the Unicode property list: the code points that
// extend a grapheme although their general category is neither Mn nor Me.
constexpr std::pair<char32_t, char32_t> OTHER_GRAPHEME_EXTEND[] = {
    {0x09BE, 0x09BE},   {0x09D7, 0x09D7},   {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},   {0x0BBE, 0x0BBE},
    {0x0BD7, 0x0BD7},   {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},   {0x0D3E, 0x0D3E},   {0x0D57, 0x0D57},
    {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},   {0x1B35, 0x1B35},   {0x200C, 0x200C},   {0x302E, 0x302F},
    {0xFF9E, 0xFF9F},   {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172}, {0xE0020, 0xE007F},
};

// Whether a non-ASCII code point is written as \u{hex} in the string literal
// form: it is not printable (general category Other or Separator) or it
// extends a grapheme (Mn, Me, Other_Grapheme_Extend), so that it cannot hide
// in or merge with its neighbours. The categories come from the interpreter's
// unicodedata module (`unicodedata` is imported by the caller, lock held).
bool needs_unicode_escape(PyObject* unicodedata, char32_t code_point) {
  for (const auto& [first, last] : OTHER_GRAPHEME_EXTEND) {
    if (first <= code_point && code_point <= last) return true;
  }
  PyRef character = PyRef::checked(PyUnicode_FromOrdinal(static_cast<int>(code_point)));
  PyRef category = PyRef::checked(PyObject_CallMethod(unicodedata, "category", "O", character.get()));
  Py_ssize_t size = 0;
  const char* text = check(PyUnicode_AsUTF8AndSize(category.get(), &size));
  const std::string_view name(text, static_cast<std::size_t>(size));
  return name.starts_with('C') || name.starts_with('Z') || name == "Mn" || name == "Me";
}

// The code point that starts at text[i] of valid UTF-8, and its length in bytes.
std::pair<char32_t, std::size_t> decode_utf8(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  VANTOK_ASSERT(i + length <= text.size());
  char32_t code_point = length == 1 ? lead : lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    code_point = (code_point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
  }
  return {code_point, length};
}

}  // namespace

namespace errors {

void to_pyerr(vantok::Error error) {
  const std::string text = error.to_string();
  PyRef text_obj = PyRef::steal(text_object(text));
  if (!text_obj) return;

  PyRef result = PyRef::steal(make_package_exception(error, text_obj.get()));
  if (!result) {
    SavedError failure(true);
    if (!failure || PyErr_GivenExceptionMatches(failure.type(), PyExc_Exception)) {
      PyRef runtime = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text_obj.get(), nullptr));
      if (!runtime) return;  // the failure to build it is what the caller sees
      set_with_cause(PyExc_RuntimeError, std::move(runtime), failure.take_value());
      return;
    }
    // An interrupt or a system exit wins over the message.
    failure.restore();
    return;
  }
  if (is_exception_instance(result.get())) {
    // Raised unchanged, with the traceback it carries.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(result.get())), result.get());
  } else if (is_exception_class(result.get())) {
    PyErr_SetNone(result.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

void raise(Failure failure) {
  if (auto* error = std::get_if<vantok::Error>(&failure)) {
    to_pyerr(std::move(*error));
    return;
  }
  const Deferred& deferred = std::get<Deferred>(failure);
  PyRef message = PyRef::steal(text_object(deferred.message));
  if (!message) return;
  PyErr_SetObject(deferred.type, message.get());
}

void throw_failure(Failure failure) {
  raise(std::move(failure));
  throw PyErrSet{};
}

PyObject* internal_failure_class() noexcept {
  if (g_internal_failure != nullptr) return g_internal_failure;
  PyRef cls = PyRef::steal(PyErr_NewException("vantok._vantok.InternalFailure", PyExc_BaseException, nullptr));
  if (!cls) return nullptr;
  // Creating the class runs Python code; another thread may have made one
  // meanwhile, and then ours is dropped.
  if (g_internal_failure == nullptr) g_internal_failure = cls.release();
  return g_internal_failure;
}

void raise_internal_failure(std::string_view message) {
  SavedError cause(true);
  PyObject* cls = internal_failure_class();
  if (cls == nullptr) return;
  PyRef text = PyRef::steal(text_object(message));
  if (!text) return;
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(cls, text.get(), nullptr));
  if (!exc) return;
  set_with_cause(cls, std::move(exc), cause.take_value());
}

void internal_failure(std::string_view message) {
  raise_internal_failure(message);
  throw PyErrSet{};
}

void add_note(const char* param) {
  SavedError exc(true);
  if (exc.value() != nullptr) {
    // A user's exception class may define add_note in Python.
    PyRef result = PyRef::steal(lock::python([&] {
      return PyObject_CallMethod(exc.value(), "add_note", "N", PyUnicode_FromFormat("while processing '%s'", param));
    }));
    // A failure to annotate is dropped: the conversion error itself is kept.
    if (!result) PyErr_Clear();
  }
  exc.restore();
}

PyObject* translate_current_exception() {
  if (lock::foreign_exception()) throw;
  try {
    throw;
  } catch (const PyErrSet&) {
    if (PyErr_Occurred() == nullptr) raise_internal_failure("error return without exception set");
  } catch (const vantok::stop::Stopped&) {
    if (PyErr_Occurred() == nullptr) raise_internal_failure("computation stopped without an exception set");
  } catch (const vantok::memory::Refused& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "memory allocation failed because the memory allocator returned an error");
  } catch (const vantok::InternalFailure& e) {
    raise_internal_failure(e.what());
  } catch (const std::exception& e) {
    raise_internal_failure(e.what());
  } catch (...) {
    raise_internal_failure("unknown C++ exception");
  }
  return nullptr;
}

std::string debug_str(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  PyRef unicodedata;  // imported at the first non-ASCII code point
  for (std::size_t i = 0; i < text.size();) {
    const auto [code_point, length] = decode_utf8(text, i);
    switch (code_point) {
      case U'\0': out += "\\0"; break;
      case U'\t': out += "\\t"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      default: {
        bool escape = code_point < 0x20 || code_point == 0x7F;
        if (code_point >= 0x80) {
          if (!unicodedata) unicodedata = PyRef::checked(PyImport_ImportModule("unicodedata"));
          escape = needs_unicode_escape(unicodedata.get(), code_point);
        }
        if (escape) {
          out += "\\u{";
          append_hex(out, code_point);
          out.push_back('}');
        } else {
          out.append(text.substr(i, length));
        }
      }
    }
    i += length;
  }
  out.push_back('"');
  return out;
}

}  // namespace errors

vantok::Error at(std::size_t i, vantok::Error error) {
  return std::move(error).with_context("element " + std::to_string(i));
}

}  // namespace vantok_py
