// The module `vantok._vantok`: multi-phase initialisation through one exec
// slot, which adds the constants and functions in their fixed order (each name
// also appended to __all__), then the `_testing` submodule. Nothing here
// touches NumPy: the array API and the borrow registry are loaded by the first
// function that needs them.
#include "module.hpp"

#include <cstdint>

#include "errors.hpp"
#include "ref.hpp"
#include "vantok/limits.hpp"

namespace vantok_py {

namespace module {

void add(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    all = PyRef::checked(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (PyList_Append(all.get(), name) < 0) errors::internal_failure("could not append __name__ to __all__");
  check_status(PyObject_SetAttr(module, name, value));
}

void add_function(PyObject* module, PyMethodDef& def) {
  PyRef module_name = PyRef::checked(PyModule_GetNameObject(module));
  PyRef function = PyRef::checked(PyCMethod_New(&def, module, module_name.get(), nullptr));
  PyRef name = PyRef::checked(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(name.get())) errors::throw_failure(type_error("a function's __name__ must be a str"));
  add(module, name.get(), function.get());
}

}  // namespace module

namespace {

void add_value(PyObject* module, const char* name, PyRef value) {
  PyRef key = PyRef::checked(PyUnicode_FromString(name));
  module::add(module, key.get(), value.get());
}

void add_constant(PyObject* module, const char* name, std::size_t value) {
  add_value(module, name, PyRef::checked(PyLong_FromSize_t(value)));
}

// Not noexcept: an import runs Python code, which may end a daemon thread
// during interpreter shutdown (a forced unwind that must pass).
int exec_module(PyObject* module) {
  try {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_TypeError, "the exec step of vantok._vantok needs a module object");
      return -1;
    }
    add_value(module, "__version__", PyRef::checked(PyUnicode_FromString("0.3.0")));
    add_constant(module, "MAX_GAUSS_LEGENDRE_POINTS", vantok::MAX_GAUSS_LEGENDRE_POINTS);
    add_constant(module, "MAX_WIGNER_D_VALUES", vantok::MAX_WIGNER_D_VALUES);
    module::add_function(module, special::gauss_legendre_def);
    module::add_function(module, special::wigner_d_def);
    add_constant(module, "MAX_MIE_ORDER", vantok::MAX_MIE_ORDER);
    add_constant(module, "MAX_MIE_VALUES", vantok::MAX_MIE_VALUES);
    module::add_function(module, mie::default_n_max_def);
    module::add_function(module, mie::efficiencies_def);
    module::add_function(module, mie::coefficients_def);
    module::add_function(module, mie::amplitudes_def);
    add_constant(module, "MAX_GREEK_ORDER", vantok::MAX_GREEK_ORDER);
    module::add_function(module, mie::phase_matrix_def);
    module::add_function(module, mie::greek_def);
    add_constant(module, "MAX_LAYERS", vantok::MAX_LAYERS);
    module::add_function(module, layered::efficiencies_def);
    module::add_function(module, layered::coefficients_def);
    module::add_function(module, layered::amplitudes_def);
    module::add_function(module, layered::phase_matrix_def);
    module::add_function(module, layered::greek_def);
    add_constant(module, "MAX_TMATRIX_ORDER", vantok::MAX_TMATRIX_ORDER);
    module::add_function(module, tmatrix::random_def);
    tmatrix::add_class(module);
    module::add_function(module, ensemble::parameters_def);
    module::add_function(module, ensemble::compute_def);
    module::add_function(module, ensemble::batch_def);
    testing::register_(module);
    return 0;
  } catch (...) {
    if (lock::foreign_exception()) throw;
    errors::translate_current_exception();
    return -1;
  }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_vantok",
    "",       // __doc__ is the empty string
    0,        // no per-module state
    nullptr,  // functions are added by the exec step
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vantok_py

PyMODINIT_FUNC PyInit__vantok() { return PyModuleDef_Init(&vantok_py::definition); }
