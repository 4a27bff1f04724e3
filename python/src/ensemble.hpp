#pragma once
// The Python description of an ensemble, turned into the engine's records: the
// sequence arguments of the ensemble functions (items, derivative indices,
// distribution specs) and the parsers of distribution specs, particle specs
// and items. They check form only (tuples, kind words, Python types, dtypes
// and ranks); values and counts are the engine's validation's to refuse.
//
// Everything here runs with the interpreter lock held. A failure sets its
// Python exception, with no index or context added, and throws PyErrSet.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "ref.hpp"
#include "vantok/ensemble/ensemble.hpp"

namespace vantok_py::ensemble {

/// One item of `ensemble_compute`: (distribution spec, particle spec, weight).
struct Item {
  PyRef tuple;             // holds the two specs
  PyObject* distribution;  // borrowed from `tuple`
  PyObject* particle;      // borrowed from `tuple`
  double weight;
};

/// Converts parameter `param`, a sequence (not a str) of (object, object, float)
/// tuples. A failure gains the note "while processing '{param}'".
std::vector<Item> items(PyObject* obj, const char* param);

/// Converts parameter `param`, a sequence (not a str) of integers that fit u64.
std::vector<std::uint64_t> indices(PyObject* obj, const char* param);

/// Converts parameter `param`, a sequence (not a str) of any objects.
std::vector<PyRef> objects(PyObject* obj, const char* param);

/// A tagged distribution tuple as a size distribution; nested "multimodal"
/// specs recurse under the interpreter's recursion limit (RecursionError).
vantok::ensemble::SizeDistribution distribution(PyObject* spec);

/// A tagged particle tuple as a particle; its arrays are copied under read
/// borrows that end before it returns.
vantok::ensemble::Particle particle(PyObject* spec);

/// The components of the items, in order: each item's distribution, then its
/// particle, then its weight.
std::vector<vantok::ensemble::Component> components(std::span<const Item> items);

/// The elements of parameter `param`, a float64 array (any shape and strides),
/// in row-major order, copied under a read borrow named `name` that ends before
/// it returns.
std::vector<double> copied(PyObject* array, const char* param, const char* name);

}  // namespace vantok_py::ensemble
