// Extraction of fast-call arguments and the parameter converters. Error
// texts follow the interpreter's own wording; where they name an object (a
// keyword, a type) the interpreter formats them.
#include "args.hpp"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "numpy_api.hpp"
#include "ref.hpp"

namespace vantok_py::args {

namespace {

// "f()" for a function, "Cls.f()" for a method.
std::string full_name(const Spec& spec) {
  std::string name;
  if (spec.owner != nullptr) {
    name += spec.owner;
    name += '.';
  }
  name += spec.function;
  name += "()";
  return name;
}

[[noreturn]] void type_error(std::string message) { errors::throw_failure(vantok_py::type_error(std::move(message))); }

// TypeError "'{type}' object is not an instance of '{expected}'" with the
// parameter's note.
[[noreturn]] void refuse(PyObject* obj, const char* expected, const char* param) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), expected);
  }
  errors::add_note(param);
  throw PyErrSet{};
}

const char* expected_name(Element element) {
  return element == Element::C128 ? "ndarray[complex128]" : "ndarray[float64]";
}

// 'a', 'a' and 'b', 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += (i + 1 == names.size()) ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

}  // namespace

bool is_array_of(PyObject* obj, Element element, bool one_dimensional) {
  const np::Api& api = np::api();
  if (!api.is_array(obj)) return false;
  const np::ArrayFields* array = np::fields(obj);
  if (!api.equiv_types(array->descr, element == Element::C128 ? api.descr_c128 : api.descr_f64)) return false;
  return !one_dimensional || array->nd == 1;
}

Arguments Arguments::fast(const Spec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments out(spec);
  const std::size_t count = spec.params.size();
  VANTOK_ASSERT(count <= MAX_PARAMS && spec.required <= count);

  const auto given = static_cast<std::size_t>(nargs);
  if (given > count) {
    const char* verb = given == 1 ? "was" : "were";
    if (spec.required == count) {
      type_error(full_name(spec) + " takes " + std::to_string(count) + " positional arguments but " +
                 std::to_string(given) + " " + verb + " given");
    }
    type_error(full_name(spec) + " takes from " + std::to_string(spec.required) + " to " +
               std::to_string(count) + " positional arguments but " + std::to_string(given) + " " +
               verb + " given");
  }
  for (std::size_t i = 0; i < given; ++i) out.values_[i] = args[i];

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    check(name);
    std::size_t slot = count;
    if (PyUnicode_Check(name)) {
      for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, spec.params[i]) == 0) {
          slot = i;
          break;
        }
      }
    }
    if (slot == count) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                   full_name(spec).c_str(), name);
      throw PyErrSet{};
    }
    if (out.values_[slot] != nullptr) {
      type_error(full_name(spec) + " got multiple values for argument '" + spec.params[slot] + "'");
    }
    out.values_[slot] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (out.values_[i] == nullptr) missing.push_back(spec.params[i]);
  }
  if (!missing.empty()) {
    type_error(full_name(spec) + " missing " + std::to_string(missing.size()) +
               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
               quoted_list(missing));
  }
  return out;
}

Arguments Arguments::call(const Spec& spec, PyObject* args, PyObject* kwargs) {
  // The fast-call layout: the positional values, then the keyword values, whose
  // names form a tuple. The tuple and the dict hold every value for the call.
  const Py_ssize_t nargs = check_size(PyTuple_Size(args));
  std::vector<PyObject*> values;
  for (Py_ssize_t i = 0; i < nargs; ++i) values.push_back(check(PyTuple_GetItem(args, i)));
  PyRef names;
  const Py_ssize_t keywords = kwargs == nullptr ? 0 : check_size(PyDict_Size(kwargs));
  if (keywords > 0) {
    names = PyRef::checked(PyTuple_New(keywords));
    Py_ssize_t position = 0;
    Py_ssize_t k = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (k < keywords && PyDict_Next(kwargs, &position, &key, &value) != 0) {
      PyTuple_SetItem(names.get(), k++, Py_NewRef(key));  // steals; cannot fail on a new tuple
      values.push_back(value);
    }
    VANTOK_ASSERT(k == keywords);
  }
  return fast(spec, values.data(), nargs, names.get());
}

void Arguments::failed(std::size_t i) const {
  errors::add_note(spec_->params[i]);
  throw PyErrSet{};
}

void recheck(PyObject* obj, Element element, const char* param) {
  if (!is_array_of(obj, element, false)) refuse(obj, expected_name(element), param);
}

void Arguments::wrong_type(std::size_t i, const char* expected) const { refuse(values_[i], expected, spec_->params[i]); }

PyObject* Arguments::array_of(std::size_t i, Element element, bool one_dimensional, const char* expected) const {
  if (!is_array_of(values_[i], element, one_dimensional)) wrong_type(i, expected);
  return values_[i];
}

PyObject* Arguments::f64_array(std::size_t i) const {
  return array_of(i, Element::F64, false, expected_name(Element::F64));
}

PyObject* Arguments::c128_array(std::size_t i) const {
  return array_of(i, Element::C128, false, expected_name(Element::C128));
}

PyObject* Arguments::f64_array_1d(std::size_t i) const {
  return array_of(i, Element::F64, true, "one-dimensional ndarray[float64]");
}

std::uint64_t Arguments::index_u64(std::size_t i) const {
  PyRef index = PyRef::steal(PyNumber_Index(values_[i]));
  if (!index) failed(i);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) failed(i);
  return value;
}

std::optional<std::uint64_t> Arguments::opt_u64(std::size_t i) const {
  if (values_[i] == Py_None) return std::nullopt;
  return index_u64(i);
}

std::uint64_t Arguments::u64(std::size_t i) const { return index_u64(i); }

std::int32_t Arguments::i32(std::size_t i) const {
  const long value = PyLong_AsLong(values_[i]);
  if (value == -1 && PyErr_Occurred() != nullptr) failed(i);
  if (value > INT32_MAX || value < INT32_MIN) {
    errors::raise(Deferred{PyExc_OverflowError, value > INT32_MAX ? "number too large to fit in target type"
                                                                  : "number too small to fit in target type"});
    failed(i);
  }
  return static_cast<std::int32_t>(value);
}

bool Arguments::flag(std::size_t i) const {
  PyObject* obj = values_[i];
  bool accepted = PyBool_Check(obj);
  if (!accepted) {
    // NumPy is loaded on demand: a flag may be the first argument of a call
    // that touches NumPy. Without NumPy only a Python bool is a flag.
    const np::Api* api = np::try_api();
    accepted = api != nullptr && PyObject_TypeCheck(obj, api->bool_scalar);
  }
  if (!accepted) wrong_type(i, "bool");
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) failed(i);
  return truth != 0;
}

std::string Arguments::str(std::size_t i) const {
  PyObject* obj = values_[i];
  if (!PyUnicode_Check(obj)) wrong_type(i, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) failed(i);
  return std::string(text, static_cast<std::size_t>(size));
}

double Arguments::f64(std::size_t i) const {
  const double value = PyFloat_AsDouble(values_[i]);
  if (value == -1.0 && PyErr_Occurred() != nullptr) failed(i);
  return value;
}

SolveArgs SolveArgs::extract(const char* function, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr const char* params[] = {"x", "m", "n_max", "derivatives", "allow_unvalidated"};
  const Spec spec{function, nullptr, params, 5};
  const auto arguments = Arguments::fast(spec, args, nargs, kwnames);
  SolveArgs out{};
  out.x = arguments.f64_array(0);
  out.m = arguments.c128_array(1);
  out.n_max = arguments.opt_u64(2);
  out.derivatives = arguments.flag(3);
  out.allow_unvalidated = arguments.flag(4);
  return out;
}

AngularArgs AngularArgs::extract(const char* function, bool with_normalized, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"x", "m", "mu", "n_max", "derivatives", "allow_unvalidated", "normalized"};
  const std::size_t count = with_normalized ? 7 : 6;
  const Spec spec{function, nullptr, std::span<const char* const>(params, count), count};
  const auto arguments = Arguments::fast(spec, args, nargs, kwnames);
  AngularArgs out{};
  out.x = arguments.f64_array(0);
  out.m = arguments.c128_array(1);
  out.mu = arguments.f64_array(2);
  out.n_max = arguments.opt_u64(3);
  out.derivatives = arguments.flag(4);
  out.allow_unvalidated = arguments.flag(5);
  out.normalized = with_normalized && arguments.flag(6);
  return out;
}

GreekArgs GreekArgs::extract(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"x", "m", "order", "n_max", "derivatives", "allow_unvalidated",
                                           "normalized"};
  const Spec spec{function, nullptr, params, 7};
  const auto arguments = Arguments::fast(spec, args, nargs, kwnames);
  GreekArgs out{};
  out.x = arguments.f64_array(0);
  out.m = arguments.c128_array(1);
  out.order = arguments.opt_u64(2);
  out.n_max = arguments.opt_u64(3);
  out.derivatives = arguments.flag(4);
  out.allow_unvalidated = arguments.flag(5);
  out.normalized = arguments.flag(6);
  return out;
}

PyMethodDef method(const char* name, FastCall function, const char* doc) noexcept {
  // PyMethodDef stores every calling convention as PyCFunction; the flags tell
  // the interpreter the real signature.
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace vantok_py::args
