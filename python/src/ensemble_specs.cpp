// Parsers of the ensemble functions' Python arguments: sequences read by
// iteration, fixed-length tuples, tagged distribution and particle tuples.
// Only a kind's own items are read (extra items are ignored), arrays are read
// in row-major order whatever their strides, and every copy of an input array
// is taken while it is borrowed, so nothing of the caller's stays borrowed
// after the parse.
#include "ensemble.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "arrays.hpp"
#include "errors.hpp"
#include "vantok/format.hpp"
#include "vantok/memory.hpp"

namespace vantok_py::ensemble {

namespace {

namespace core = vantok::ensemble;

[[noreturn]] void refuse(std::string message) { errors::throw_failure(type_error(std::move(message))); }

// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void not_convertible(PyObject* obj, const char* target) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
  throw PyErrSet{};
}

// Calls each(element) for the elements of a sequence, in iteration order. A
// str is a sequence to Python but never one of values here.
template <class Each>
void for_each_element(PyObject* obj, Each&& each) {
  if (PyUnicode_Check(obj)) refuse("Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) not_convertible(obj, "Sequence");
  // Iteration and the conversions below may run Python code (lock::python).
  PyRef iterator = PyRef::checked(lock::python([&] { return PyObject_GetIter(obj); }));
  while (PyRef element = PyRef::steal(lock::python([&] { return PyIter_Next(iterator.get()); }))) {
    each(element.get());
  }
  if (PyErr_Occurred() != nullptr) throw PyErrSet{};
}

// `obj` as a tuple of exactly `length` items (a tuple subclass counts).
PyObject* fixed_tuple(PyObject* obj, Py_ssize_t length) {
  if (!PyTuple_Check(obj)) not_convertible(obj, "PyTuple");
  const Py_ssize_t size = check_size(PyTuple_Size(obj));
  if (size != length) {
    errors::throw_failure(value_error("expected tuple of length " + std::to_string(length) +
                                      ", but got tuple of length " + std::to_string(size)));
  }
  return obj;
}

// Item k of a tuple (borrowed); IndexError when it has no item k.
PyObject* item(PyObject* tuple, Py_ssize_t k) { return check(PyTuple_GetItem(tuple, k)); }

// Anything float() accepts.
double number(PyObject* obj) {
  const double value = lock::python([&] { return PyFloat_AsDouble(obj); });
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw PyErrSet{};
  return value;
}

std::vector<double> numbers(PyObject* obj) {
  std::vector<double> out;
  for_each_element(obj, [&](PyObject* element) { out.push_back(number(element)); });
  return out;
}

// Runs a conversion of parameter `param`; its failure gains the parameter note.
template <class Convert>
auto converting(const char* param, Convert&& convert) {
  try {
    return convert();
  } catch (const PyErrSet&) {
    errors::add_note(param);
    throw;
  }
}

// The kind word of a tagged tuple: item 0, a str (bytes are refused).
std::string kind_word(PyObject* spec) {
  PyObject* word = item(spec, 0);
  if (!PyUnicode_Check(word)) not_convertible(word, "PyString");
  Py_ssize_t size = 0;
  const char* text = check(PyUnicode_AsUTF8AndSize(word, &size));
  return std::string(text, static_cast<std::size_t>(size));
}

using args::Element;

ArrayBorrow borrowed(PyObject* array, const char* name, Element element) {
  Outcome<ArrayBorrow> held = borrow(array, name, element);
  if (!held) errors::throw_failure(std::move(held.error()));
  return std::move(*held);
}

// Refuses before allocating what the physical memory cannot hold: a
// broadcast input of vast length costs nothing until it is copied.
void require(std::size_t count, std::size_t size) {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes)) throw std::bad_alloc();
  vantok::memory::require(bytes);
}

template <class T>
std::vector<T> elements(const ArrayView<T>& view) {
  require(view.len(), sizeof(T));
  std::vector<T> out(view.len());
  view.copy_to(out);
  return out;
}

core::Particle layered(PyObject* spec) {
  PyObject* fractions = item(spec, 1);
  if (!args::is_array_of(fractions, Element::F64)) refuse("a layered sphere's radius fractions must be an array");
  const ArrayBorrow fractions_borrow = borrowed(fractions, "radius_fraction", Element::F64);
  PyObject* m = item(spec, 2);
  if (!args::is_array_of(m, Element::C128)) refuse("a layered sphere's refractive indices must be an array");
  const ArrayBorrow m_borrow = borrowed(m, "refractive_index", Element::C128);
  const ArrayView<C64> view(m_borrow);
  if (view.ndim() != 2) {
    refuse("a layered sphere's refractive indices must have shape (layers, wavelengths), got " +
           std::to_string(view.ndim()) + " axes");
  }
  // Row l along the first axis is layer l, core first.
  const auto layers = static_cast<std::size_t>(view.shape()[0]);
  const auto wavelengths = static_cast<std::size_t>(view.shape()[1]);
  require(layers, sizeof(std::vector<C64>));
  require(view.len(), sizeof(C64));
  core::LayeredSphere out{elements(ArrayView<double>(fractions_borrow)), {}};
  out.layers.resize(layers);
  auto cursor = view.cursor();
  for (std::vector<C64>& layer : out.layers) {
    layer.resize(wavelengths);
    for (C64& value : layer) value = cursor.next();
  }
  return {std::move(out)};
}

// Leaves the interpreter's recursion counter at scope exit.
struct RecursionGuard {
  RecursionGuard() {
    // Nested "multimodal" specs recurse here: a deep one raises RecursionError
    // instead of exhausting the C stack (validation, copies and destruction of
    // the model recurse no deeper than this parse).
    if (Py_EnterRecursiveCall(" while parsing a distribution spec") != 0) throw PyErrSet{};
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace

std::vector<Item> items(PyObject* obj, const char* param) {
  return converting(param, [&] {
    std::vector<Item> out;
    for_each_element(obj, [&](PyObject* element) {
      PyObject* triple = fixed_tuple(element, 3);
      out.push_back(Item{PyRef::borrow(triple), item(triple, 0), item(triple, 1), number(item(triple, 2))});
    });
    return out;
  });
}

std::vector<std::uint64_t> indices(PyObject* obj, const char* param) {
  return converting(param, [&] {
    std::vector<std::uint64_t> out;
    for_each_element(obj, [&](PyObject* element) {
      PyRef index = PyRef::checked(lock::python([&] { return PyNumber_Index(element); }));
      const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
      if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw PyErrSet{};
      out.push_back(value);
    });
    return out;
  });
}

std::vector<PyRef> objects(PyObject* obj, const char* param) {
  return converting(param, [&] {
    std::vector<PyRef> out;
    for_each_element(obj, [&](PyObject* element) { out.push_back(PyRef::borrow(element)); });
    return out;
  });
}

core::SizeDistribution distribution(PyObject* spec) {
  const RecursionGuard guard;
  if (!PyTuple_Check(spec)) refuse("a distribution spec must be a tuple");
  const std::string word = kind_word(spec);
  // Braced initialisers evaluate left to right: the items are read in order.
  if (word == "lognormal") return {core::Lognormal{number(item(spec, 1)), number(item(spec, 2))}};
  if (word == "gamma") return {core::Gamma{number(item(spec, 1)), number(item(spec, 2))}};
  if (word == "modified_gamma") {
    return {core::ModifiedGamma{number(item(spec, 1)), number(item(spec, 2)), number(item(spec, 3))}};
  }
  if (word == "power_law") {
    return {core::PowerLaw{number(item(spec, 1)), number(item(spec, 2)), number(item(spec, 3))}};
  }
  if (word == "monodisperse") return {core::Monodisperse{number(item(spec, 1))}};
  if (word == "tabulated") return {core::Tabulated{numbers(item(spec, 1)), numbers(item(spec, 2))}};
  if (word == "multimodal") {
    // Every (weight, spec) pair is converted before any mode's spec is parsed.
    std::vector<std::pair<double, PyRef>> pairs;
    for_each_element(item(spec, 1), [&](PyObject* element) {
      PyObject* pair = fixed_tuple(element, 2);
      const double weight = number(item(pair, 0));
      pairs.emplace_back(weight, PyRef::borrow(item(pair, 1)));
    });
    core::Multimodal out;
    out.modes.reserve(pairs.size());
    for (const auto& [weight, mode] : pairs) out.modes.push_back(core::Mode{weight, distribution(mode.get())});
    return {std::move(out)};
  }
  refuse("unknown distribution kind " + errors::debug_str(word));
}

core::Particle particle(PyObject* spec) {
  if (!PyTuple_Check(spec)) refuse("a particle spec must be a tuple");
  const std::string word = kind_word(spec);
  if (word == "sphere") {
    PyObject* m = item(spec, 1);
    if (!args::is_array_of(m, Element::C128)) refuse("a sphere's refractive indices must be an array");
    const ArrayBorrow m_borrow = borrowed(m, "refractive_index", Element::C128);
    return {core::Sphere{elements(ArrayView<C64>(m_borrow))}};
  }
  if (word == "layered") return layered(spec);
  refuse("unknown particle kind " + errors::debug_str(word));
}

std::vector<core::Component> components(std::span<const Item> items) {
  std::vector<core::Component> out;
  out.reserve(items.size());
  for (const Item& one : items) {
    core::SizeDistribution d = distribution(one.distribution);
    core::Particle p = particle(one.particle);
    out.push_back(core::Component{std::move(p), std::move(d), one.weight});
  }
  return out;
}

std::vector<double> copied(PyObject* array, const char* param, const char* name) {
  // The Python code of a later argument's conversion (a user __index__ or
  // __float__) may have reassigned the dtype since this one was converted.
  args::recheck(array, Element::F64, param);
  const ArrayBorrow held = borrowed(array, name, Element::F64);
  return elements(ArrayView<double>(held));
}

}  // namespace vantok_py::ensemble
