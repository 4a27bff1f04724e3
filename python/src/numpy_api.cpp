// Run-time resolution of NumPy's array API table: import NumPy, choose its
// multiarray module by the major version ("numpy._core" from 2.0 on, where
// "numpy.core" warns), and read the table from the `_ARRAY_API` capsule, whose
// name is NULL.
#include "numpy_api.hpp"

#include <memory>
#include <new>

#include "errors.hpp"
#include "ref.hpp"

namespace vantok_py::np {

namespace {

// Set once, with the lock held; never freed (other state points into it).
const Api* g_api = nullptr;

bool fail(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return false;
}

// The leading integer of numpy.__version__ ("1.24.2" gives 1).
bool major_version(PyObject* numpy, int& major) {
  PyRef version = PyRef::steal(PyObject_GetAttrString(numpy, "__version__"));
  if (!version) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8AndSize(version.get(), &size)
                                                    : nullptr;
  if (text == nullptr) {
    if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_TypeError, "numpy.__version__ is not a str");
    return false;
  }
  int value = 0;
  Py_ssize_t i = 0;
  for (; i < size && i < 6 && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
  if (i == 0) return fail(PyExc_ValueError, "numpy.__version__ does not start with a number");
  major = value;
  return true;
}

// Fills `api`; false with the underlying exception set on failure.
bool load(Api& api) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  if (!major_version(numpy.get(), api.major)) return false;
  PyRef multiarray = PyRef::steal(
      PyImport_ImportModule(api.major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
  if (!multiarray) return false;
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return false;
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return false;

  // The ABI version of the table: the slots used here exist from 0x01000009 on.
  const auto abi_version = reinterpret_cast<unsigned (*)()>(table[0]);
  if (abi_version() < 0x01000009u) return fail(PyExc_ImportError, "NumPy's C ABI is too old");

  api.array_type = static_cast<PyTypeObject*>(table[2]);
  api.bool_scalar = static_cast<PyTypeObject*>(table[8]);
  api.descr_from_type = reinterpret_cast<PyObject* (*)(int)>(table[45]);
  api.new_from_descr =
      reinterpret_cast<PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*,
                                     void*, int, PyObject*)>(table[94]);
  api.equiv_types = reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[182]);
  api.set_base_object = reinterpret_cast<int (*)(PyObject*, PyObject*)>(table[282]);

  PyRef f64 = PyRef::steal(api.descr_from_type(NPY_DOUBLE));
  if (!f64) return false;
  PyRef c128 = PyRef::steal(api.descr_from_type(NPY_CDOUBLE));
  if (!c128) return false;
  api.descr_f64 = f64.release();
  api.descr_c128 = c128.release();
  api.multiarray = multiarray.release();
  return true;
}

void drop(Api& api) {
  Py_XDECREF(api.descr_f64);
  Py_XDECREF(api.descr_c128);
  Py_XDECREF(api.multiarray);
}

}  // namespace

std::int64_t Api::itemsize(PyObject* array) const noexcept {
  const PyObject* descr = fields(array)->descr;
  if (major >= 2) return reinterpret_cast<const DescrV2*>(descr)->elsize;
  return reinterpret_cast<const DescrV1*>(descr)->elsize;
}

const Api& api() {
  if (g_api != nullptr) return *g_api;
  auto loaded = std::make_unique<Api>();
  // Importing NumPy runs Python code.
  if (!lock::python([&] { return load(*loaded); })) {
    drop(*loaded);
    errors::internal_failure("Failed to access NumPy array API capsule");
  }
  // Importing NumPy may release the lock: another thread may have finished first.
  if (g_api != nullptr) {
    drop(*loaded);
    return *g_api;
  }
  g_api = loaded.release();
  return *g_api;
}

const Api* try_api() {
  if (g_api != nullptr) return g_api;
  try {
    return &api();
  } catch (const PyErrSet&) {
    PyErr_Clear();
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace vantok_py::np
