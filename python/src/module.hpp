#pragma once
// What the exec step needs from the binding files: the "add" rule shared by
// the module and its `_testing` submodule, and the function records each
// binding file defines. A function joins the module here once it is built.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantok_py {

namespace module {

/// Adds `value` as attribute `name` (a str) of `module` and appends `name` to
/// the module's `__all__` (made as an empty list when missing). Throws PyErrSet.
void add(PyObject* module, PyObject* name, PyObject* value);

/// Makes the function of `def` (its self the module, its __module__ the
/// module's name) and adds it under its own __name__. Throws PyErrSet.
void add_function(PyObject* module, PyMethodDef& def);

}  // namespace module

namespace special {
extern PyMethodDef gauss_legendre_def;
extern PyMethodDef wigner_d_def;
}  // namespace special

namespace mie {
extern PyMethodDef default_n_max_def;
extern PyMethodDef efficiencies_def;
extern PyMethodDef coefficients_def;
extern PyMethodDef amplitudes_def;
extern PyMethodDef phase_matrix_def;
extern PyMethodDef greek_def;
}  // namespace mie

namespace layered {
extern PyMethodDef efficiencies_def;
extern PyMethodDef coefficients_def;
extern PyMethodDef amplitudes_def;
extern PyMethodDef phase_matrix_def;
extern PyMethodDef greek_def;
}  // namespace layered

namespace tmatrix {
extern PyMethodDef random_def;
/// Adds the class TMatrixObject (made from its type spec on the first call,
/// then kept for the process). Throws PyErrSet.
void add_class(PyObject* module);
}  // namespace tmatrix

namespace ensemble {
extern PyMethodDef parameters_def;
extern PyMethodDef compute_def;
extern PyMethodDef batch_def;
}  // namespace ensemble

namespace testing {
/// Creates the submodule "vantok._vantok._testing" with its two functions, sets
/// it as `module._testing` and enters it in sys.modules. Throws PyErrSet.
void register_(PyObject* module);
}  // namespace testing

}  // namespace vantok_py
