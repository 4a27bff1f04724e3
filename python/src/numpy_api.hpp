#pragma once
// NumPy's C array API, reached at run time through the `_ARRAY_API` capsule of
// its multiarray module, without NumPy's headers: the few table slots and the
// struct prefixes the module reads are mirrored here. The prefixes below are
// identical in NumPy 1.x and 2.x; only the descriptor's element size moved.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vantok_py::np {

using npy_intp = Py_ssize_t;

inline constexpr int NPY_BOOL = 0;
inline constexpr int NPY_LONG = 7;   // int64 on LP64 platforms
inline constexpr int NPY_ULONG = 8;  // uint64 on LP64 platforms
inline constexpr int NPY_DOUBLE = 12;
inline constexpr int NPY_CDOUBLE = 15;

inline constexpr int ARRAY_C_CONTIGUOUS = 0x0001;
inline constexpr int ARRAY_F_CONTIGUOUS = 0x0002;
inline constexpr int ARRAY_ALIGNED = 0x0100;
inline constexpr int ARRAY_WRITEABLE = 0x0400;
inline constexpr int ARRAY_CARRAY = ARRAY_C_CONTIGUOUS | ARRAY_ALIGNED | ARRAY_WRITEABLE;

static_assert(sizeof(unsigned long) == 8, "NPY_ULONG must be the 64-bit unsigned integer");
static_assert(sizeof(long) == 8, "NPY_LONG must be the 64-bit signed integer");

/// The leading fields of an ndarray object (PyArrayObject_fields).
struct ArrayFields {
  PyObject ob_base;
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

/// The leading fields of a dtype object (PyArray_Descr), common to 1.x and 2.x.
struct DescrPrefix {
  PyObject ob_base;
  PyTypeObject* typeobj;
  char kind;
  char type;
  char byteorder;
  char former_flags;
  int type_num;
};

/// NumPy 1.x continues the descriptor with int elsize.
struct DescrV1 {
  DescrPrefix prefix;
  int elsize;
  int alignment;
};

/// NumPy 2.x continues it with a 64-bit flags word and npy_intp elsize.
struct DescrV2 {
  DescrPrefix prefix;
  std::uint64_t flags;
  npy_intp elsize;
  npy_intp alignment;
};

/// The table slots the module uses, resolved once per process.
struct Api {
  int major = 0;                         // NumPy's major version
  PyObject* multiarray = nullptr;        // the multiarray module (kept alive)
  PyTypeObject* array_type = nullptr;    // slot 2: PyArray_Type
  PyTypeObject* bool_scalar = nullptr;   // slot 8: PyBoolArrType_Type
  PyObject* (*descr_from_type)(int) = nullptr;  // slot 45, new reference
  // slot 94; steals the descriptor, also on failure
  PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*,
                              void*, int, PyObject*) = nullptr;
  unsigned char (*equiv_types)(PyObject*, PyObject*) = nullptr;  // slot 182
  int (*set_base_object)(PyObject*, PyObject*) = nullptr;        // slot 282; steals the base
  PyObject* descr_f64 = nullptr;   // the native float64 descriptor (kept alive)
  PyObject* descr_c128 = nullptr;  // the native complex128 descriptor (kept alive)

  bool is_array(PyObject* obj) const noexcept { return PyObject_TypeCheck(obj, array_type); }
  /// Element size in bytes of an array's dtype.
  std::int64_t itemsize(PyObject* array) const noexcept;
};

/// The API table, loaded on first use with the lock held. On failure raises the
/// internal failure "Failed to access NumPy array API capsule" (the cause
/// chained) and throws PyErrSet.
const Api& api();

/// The API table if it is loaded or can be loaded; nullptr (no exception set)
/// when NumPy cannot be reached. Not noexcept: importing NumPy runs Python
/// code, which may end a daemon thread during interpreter shutdown.
const Api* try_api();

inline ArrayFields* fields(PyObject* array) noexcept { return reinterpret_cast<ArrayFields*>(array); }

}  // namespace vantok_py::np
