// Parsers of the ensemble functions' Python arguments: sequences read by
// iteration (measured first, and a plain float64 vector read in place),
// fixed-length tuples, tagged distribution and particle tuples (nested a few
// levels at most). Only a kind's own items are read (extra items are
// ignored), arrays are read in row-major order whatever their strides, and
// every measure or copy of an input array is taken while it is borrowed, so
// nothing of the caller's stays borrowed after a parse or a copy. Copies are
// refused beyond the work budget.
#include "ensemble.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "arrays.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"
#include "vantok/format.hpp"
#include "vantok/limits.hpp"
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

// A copy refused before allocating when it exceeds the work budget: a
// broadcast input of vast length costs nothing until it is copied.
template <class T>
std::vector<T> elements(const ArrayView<T>& view, const char* what) {
  vantok::memory::require_work(view.len(), sizeof(T), what);
  std::vector<T> out(view.len());
  view.copy_to(out);
  return out;
}

// The most values of one sequence of a spec (a tabulated distribution's radii
// or densities), and the InvalidInput that refuses more.
constexpr std::uint64_t MAX_SEQUENCE = REAL_VALUES.limit;

[[noreturn]] void too_long(const char* what, std::size_t count) {
  auto refused = bounded(what, count, REAL_VALUES, false);
  VANTOK_ASSERT(!refused.has_value());
  errors::throw_failure(std::move(refused).error());
}

// An aligned float64 NumPy array of one dimension (not a subclass, whose
// iteration may be its own): its elements are read in place, the values
// iteration would convert.
bool plain_vector(PyObject* obj) {
  return Py_TYPE(obj) == np::api().array_type && args::is_array_of(obj, args::Element::F64, true) &&
         (np::fields(obj)->flags & np::ARRAY_ALIGNED) != 0;
}

// The length of a sequence of floats (`what` names it in refusals), when it
// has one; more than MAX_SEQUENCE values are refused.
std::optional<std::size_t> measured(PyObject* obj, const char* what) {
  if (!PySequence_Check(obj) || PyUnicode_Check(obj)) return std::nullopt;
  const Py_ssize_t size = PyObject_Length(obj);
  if (size < 0) {
    PyErr_Clear();  // no length: counted while read
    return std::nullopt;
  }
  if (static_cast<std::uint64_t>(size) > MAX_SEQUENCE) too_long(what, static_cast<std::size_t>(size));
  return static_cast<std::size_t>(size);
}

// A sequence of floats (`what` names it in refusals; `name` in the read
// borrow of a float64 array) whose length `length` (when it has one) was
// measured already: the count read so far must stay within MAX_SEQUENCE.
std::vector<double> numbers(PyObject* obj, std::optional<std::size_t> length, const char* what, const char* name) {
  if (length && plain_vector(obj)) {
    // One held for writing elsewhere is read by iteration, as any sequence.
    if (Outcome<ArrayBorrow> held = borrow(obj, name, Element::F64)) return elements(ArrayView<double>(*held), what);
  }
  std::vector<double> out;
  for_each_element(obj, [&](PyObject* element) {
    if (out.size() == MAX_SEQUENCE) too_long(what, out.size() + 1);
    out.push_back(number(element));
  });
  return out;
}

// A tabulated spec's radii and densities, both measured before either is
// copied: a table whose lengths alone are refused (fewer than 2 radii, or not
// one density per radius) keeps only its lengths, for the check to refuse.
// Only a float64 array, whose values cannot fail to convert, is left unread;
// any other sequence is read, in order, so that an element that is not a
// number is refused as such whatever the lengths.
core::Tabulated tabulated(PyObject* spec) {
  static constexpr const char* RADII = "the tabulated radii";
  static constexpr const char* DENSITIES = "the tabulated densities";
  PyObject* radii = item(spec, 1);
  const std::optional<std::size_t> n_radii = measured(radii, RADII);
  std::optional<std::vector<double>> r;
  if (!n_radii || !plain_vector(radii)) r = numbers(radii, n_radii, RADII, "radius");
  PyObject* densities = item(spec, 2);
  const std::optional<std::size_t> n_densities = measured(densities, DENSITIES);
  std::optional<std::vector<double>> d;
  if (!n_densities || !plain_vector(densities)) d = numbers(densities, n_densities, DENSITIES, "density");
  const std::size_t radius_count = r ? r->size() : *n_radii;
  const std::size_t density_count = d ? d->size() : *n_densities;
  if (radius_count < 2 || density_count != radius_count) return {{}, {}, std::pair{radius_count, density_count}};
  if (!r) r = numbers(radii, n_radii, RADII, "radius");
  if (!d) d = numbers(densities, n_densities, DENSITIES, "density");
  return {std::move(*r), std::move(*d)};
}

// The refractive-index array of a particle spec under a read borrow, after
// its kind (and a layered sphere's rank) is checked.
ArrayBorrow index_borrow(PyObject* m, bool layered) {
  if (!args::is_array_of(m, Element::C128)) {
    refuse(layered ? "a layered sphere's refractive indices must be an array"
                   : "a sphere's refractive indices must be an array");
  }
  ArrayBorrow held = borrowed(m, "refractive_index", Element::C128);
  const ArrayView<C64> view(held);
  if (layered && view.ndim() != 2) {
    refuse("a layered sphere's refractive indices must have shape (layers, wavelengths), got " +
           std::to_string(view.ndim()) + " axes");
  }
  return held;
}

ParticleSpec layered(PyObject* spec) {
  PyObject* fractions = item(spec, 1);
  if (!args::is_array_of(fractions, Element::F64)) refuse("a layered sphere's radius fractions must be an array");
  ParticleSpec out;
  out.layered = true;
  {
    const ArrayBorrow fractions_borrow = borrowed(fractions, "radius_fraction", Element::F64);
    const ArrayView<double> view(fractions_borrow);
    out.fraction_count = view.len();
    if (view.len() < vantok::MAX_LAYERS) out.fractions = elements(view, "the radius fractions");
  }
  out.indices = PyRef::borrow(item(spec, 2));
  const ArrayBorrow m_borrow = index_borrow(out.indices.get(), true);
  // Row l along the first axis is layer l, core first.
  const ArrayView<C64> view(m_borrow);
  out.layers = static_cast<std::size_t>(view.shape()[0]);
  out.index_count = out.layers == 0 ? 0 : static_cast<std::size_t>(view.shape()[1]);
  return out;
}

[[noreturn]] void too_deep() {
  PyErr_SetString(PyExc_RecursionError,
                  ("distribution specs nest at most " + std::to_string(MAX_SPEC_DEPTH) + " deep").c_str());
  throw PyErrSet{};
}

// A spec at nesting depth `depth` (1 at the top).
core::SizeDistribution distribution_at(PyObject* spec, std::size_t depth);

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

core::SizeDistribution distribution(PyObject* spec) { return distribution_at(spec, 1); }

namespace {

core::SizeDistribution distribution_at(PyObject* spec, std::size_t depth) {
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
  if (word == "tabulated") return {tabulated(spec)};
  if (word == "multimodal") {
    // Every (weight, spec) pair is converted before any mode's spec is parsed.
    std::vector<std::pair<double, PyRef>> pairs;
    for_each_element(item(spec, 1), [&](PyObject* element) {
      PyObject* pair = fixed_tuple(element, 2);
      const double weight = number(item(pair, 0));
      pairs.emplace_back(weight, PyRef::borrow(item(pair, 1)));
    });
    // The modes' specs one level down, refused before the parse recurses
    // beyond the fixed depth.
    if (!pairs.empty() && depth == MAX_SPEC_DEPTH) too_deep();
    core::Multimodal out;
    out.modes.reserve(pairs.size());
    for (const auto& [weight, mode] : pairs) {
      out.modes.push_back(core::Mode{weight, distribution_at(mode.get(), depth + 1)});
    }
    return {std::move(out)};
  }
  refuse("unknown distribution kind " + errors::debug_str(word));
}

}  // namespace

ParticleSpec particle(PyObject* spec) {
  if (!PyTuple_Check(spec)) refuse("a particle spec must be a tuple");
  const std::string word = kind_word(spec);
  if (word == "sphere") {
    ParticleSpec out;
    out.indices = PyRef::borrow(item(spec, 1));
    const ArrayBorrow m_borrow = index_borrow(out.indices.get(), false);
    out.index_count = ArrayView<C64>(m_borrow).len();
    return out;
  }
  if (word == "layered") return layered(spec);
  refuse("unknown particle kind " + errors::debug_str(word));
}

core::ParticleShape ParticleSpec::shape() const {
  if (!layered) return {std::nullopt, 0, {}, index_count, std::nullopt};
  return {layers, fraction_count, fractions, index_count, std::nullopt};
}

core::Particle ParticleSpec::copy() const {
  const ArrayBorrow m_borrow = index_borrow(indices.get(), layered);
  const ArrayView<C64> view(m_borrow);
  if (!layered) return {core::Sphere{elements(view, "the refractive indices")}};
  // Row l along the first axis is layer l, core first.
  const auto rows = static_cast<std::size_t>(view.shape()[0]);
  const auto columns = static_cast<std::size_t>(view.shape()[1]);
  vantok::memory::require_work(rows, sizeof(std::vector<C64>), "the layers of the refractive indices");
  vantok::memory::require_work(view.len(), sizeof(C64), "the refractive indices");
  core::LayeredSphere out{fractions, {}};
  out.layers.resize(rows);
  auto cursor = view.cursor();
  for (std::vector<C64>& layer : out.layers) {
    layer.resize(columns);
    for (C64& value : layer) value = cursor.next();
  }
  return {std::move(out)};
}

std::vector<core::ParticleShape> Components::shapes() const {
  std::vector<core::ParticleShape> out;
  out.reserve(particles.size());
  for (const ParticleSpec& p : particles) out.push_back(p.shape());
  return out;
}

void Components::copy_particles() {
  for (std::size_t i = 0; i < particles.size(); ++i) list[i].particle = particles[i].copy();
}

Components components(std::span<const Item> items) {
  Components out;
  out.list.reserve(items.size());
  out.particles.reserve(items.size());
  for (const Item& one : items) {
    core::SizeDistribution d = distribution(one.distribution);
    ParticleSpec p = particle(one.particle);
    core::Particle empty = p.layered ? core::Particle{core::LayeredSphere{}} : core::Particle{core::Sphere{}};
    out.list.push_back(core::Component{std::move(empty), std::move(d), one.weight});
    out.particles.push_back(std::move(p));
  }
  return out;
}

namespace {

// The array of parameter `param`, checked again (the Python code of a later
// argument's conversion, a user __index__ or __float__, may have reassigned
// its dtype since it was converted), under a read borrow named `name`.
ArrayBorrow rechecked(PyObject* array, const char* param, const char* name) {
  args::recheck(array, Element::F64, param);
  return borrowed(array, name, Element::F64);
}

}  // namespace

std::size_t length(PyObject* array, const char* param, const char* name) {
  return ArrayView<double>(rechecked(array, param, name)).len();
}

std::vector<double> copied(PyObject* array, const char* param, const char* name, const char* what) {
  return elements(ArrayView<double>(rechecked(array, param, name)), what);
}

vantok::Result<void> each_value(PyObject* array, const char* param, const char* name,
                                vantok::Result<void> (*check)(std::size_t, double)) {
  const ArrayBorrow held = rechecked(array, param, name);
  const ArrayView<double> view(held);
  auto cursor = view.cursor();
  for (std::size_t i = 0; i < view.len(); ++i) VANTOK_CHECK(check(i, cursor.next()));
  return {};
}

}  // namespace vantok_py::ensemble
