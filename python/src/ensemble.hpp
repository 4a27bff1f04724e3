#pragma once
// The Python description of an ensemble, turned into the engine's records: the
// sequence arguments of the ensemble functions (items, derivative indices,
// distribution specs) and the parsers of distribution specs, particle specs
// and items. They check form only (tuples, kind words, Python types, dtypes
// and ranks, the nesting depth, the length of a spec's sequences); values and
// counts are the engine's validation's to refuse, on the particles' shapes
// before their refractive indices are copied.
//
// Everything here runs with the interpreter lock held. A failure sets its
// Python exception, with no index or context added, and throws PyErrSet.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
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

/// Distribution specs nest at most this deep (a multimodal mode's spec is one
/// level below the multimodal spec); deeper ones raise RecursionError before
/// the parser recurses, whatever the thread's stack. Validation refuses any
/// multimodal mode that is itself multimodal.
inline constexpr std::size_t MAX_SPEC_DEPTH = 8;

/// A tagged distribution tuple as a size distribution. A tabulated spec's
/// sequences are measured before they are read: more than 2 * MAX_MIE_VALUES
/// values are refused (InvalidInput).
vantok::ensemble::SizeDistribution distribution(PyObject* spec);

/// A particle spec parsed without its refractive indices: its kind, its index
/// array (read under a borrow that ends before the parse returns) with its
/// shape then, and a layered sphere's radius fractions (copied when there are
/// fewer than MAX_LAYERS of them; more are refused by their count anyway).
/// The shape is checked before the indices are copied.
struct ParticleSpec {
  bool layered = false;
  PyRef indices;
  /// A layered sphere's rows of indices; the indices per row (a sphere's all).
  std::size_t layers = 0;
  std::size_t index_count = 0;
  std::size_t fraction_count = 0;
  std::vector<double> fractions;

  /// The particle's form as the core checks it (views into this spec).
  vantok::ensemble::ParticleShape shape() const;

  /// The particle with its refractive indices copied under a new read borrow
  /// (the array's kind and rank are checked again: the Python code of a later
  /// conversion may have changed them); refused (MemoryError) beyond the work
  /// budget.
  vantok::ensemble::Particle copy() const;
};

/// A tagged particle tuple as a particle spec.
ParticleSpec particle(PyObject* spec);

/// The items as components, in order: each item's distribution, then its
/// particle spec, then its weight. The components' particles have their kind
/// and no refractive indices until `copy_particles`.
struct Components {
  std::vector<vantok::ensemble::Component> list;
  std::vector<ParticleSpec> particles;

  /// Each particle's form, in component order (views into `particles`).
  std::vector<vantok::ensemble::ParticleShape> shapes() const;
  /// Copies every particle's refractive indices into `list`.
  void copy_particles();
};
Components components(std::span<const Item> items);

/// The number of elements of parameter `param`, a float64 array, whose read
/// borrow named `name` is taken and ended (its refusals raised) without a copy.
std::size_t length(PyObject* array, const char* param, const char* name);

/// The elements of parameter `param`, a float64 array (any shape and strides),
/// in row-major order, copied under a read borrow named `name` that ends before
/// it returns; MemoryError "cannot allocate {} values for {what}: ..." beyond
/// the work budget.
std::vector<double> copied(PyObject* array, const char* param, const char* name, const char* what);

/// check(i, element i) for the elements of parameter `param`, a float64 array
/// (any shape and strides), in row-major order and where they lie (under a
/// read borrow named `name`): the first failure, or success.
vantok::Result<void> each_value(PyObject* array, const char* param, const char* name,
                                vantok::Result<void> (*check)(std::size_t, double));

}  // namespace vantok_py::ensemble
