// The `_testing` submodule: hooks for the package's tests. raise_core_error
// raises what a core error maps to without a failing solve; with_write_borrow
// holds an exclusive registry borrow of an array while calling back into
// Python, as another extension sharing the registry could.
#include <string>

#include "args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace vantok_py::testing {

namespace {

PyObject* raise_core_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"variant", "message", "achieved", "requested"};
  static constexpr args::Spec spec{"raise_core_error", nullptr, params, 1};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  const std::string variant = a.str(0);
  const std::string message = a.present(1) ? a.str(1) : std::string();
  const double achieved = a.present(2) ? a.f64(2) : 0.0;
  const double requested = a.present(3) ? a.f64(3) : 0.0;

  if (variant == "InvalidInput") errors::throw_failure(vantok::Error::invalid_input(message));
  if (variant == "NotConverged") errors::throw_failure(vantok::Error::not_converged(achieved, requested));
  if (variant == "OutsideValidatedDomain") errors::throw_failure(vantok::Error::outside_validated_domain(message));
  errors::throw_failure(value_error("unknown vantok::Error variant " + errors::debug_str(variant)));
}

PyObject* with_write_borrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"x", "f"};
  static constexpr args::Spec spec{"with_write_borrow", nullptr, params, 2};
  const auto a = args::Arguments::fast(spec, args, nargs, kwnames);
  PyObject* x = a.f64_array_1d(0);
  PyObject* f = a.object(1);

  // The borrow is held on a private view of x: its layout cannot change while
  // f runs (x's can), so the release finds the entry that was taken, and the
  // view keeps x from being resized. Its base is x, so it is in x's group.
  PyRef view = PyRef::checked(PyObject_CallMethod(x, "view", nullptr));
  PyRef result;
  {
    ArrayBorrow held;
    const int code = registry::borrow_exclusive(view.get(), held);
    if (code == -1) errors::throw_failure(type_error("The given array is already borrowed"));
    if (code == -2) errors::throw_failure(type_error("The given array is not writeable"));
    result = PyRef::steal(PyObject_CallNoArgs(f));
  }  // released whether f returned or raised
  if (!result) throw PyErrSet{};
  return result.release();
}

PyMethodDef raise_core_error_def = args::method(
    "raise_core_error", &args::entry<&raise_core_error>,
    "raise_core_error(variant, message=\"\", achieved=0.0, requested=0.0)\n--\n\n"
    "For tests only: raises the exception that the core error `variant` maps to, to test\n"
    "[`to_pyerr`]. Not part of the vantok API.\n\n"
    "`variant` is one of `\"InvalidInput\"`, `\"NotConverged\"` and `\"OutsideValidatedDomain\"`;\n"
    "`message` is the payload of the string variants and `achieved`/`requested` that of\n"
    "`NotConverged`.");

PyMethodDef with_write_borrow_def = args::method(
    "with_write_borrow", &args::entry<&with_write_borrow>,
    "with_write_borrow(x, f)\n--\n\n"
    "For tests only: calls `f()` while holding the registry's writeable borrow of `x`, as\n"
    "another extension sharing the registry could. Not part of the vantok API.\n\n"
    "Changing the dtype, shape or strides of `x`, or resizing it, inside `f` is not supported.");

}  // namespace

void register_(PyObject* module) {
  PyRef submodule = PyRef::checked(PyModule_NewObject(
      PyRef::checked(PyUnicode_FromString("vantok._vantok._testing")).get()));
  module::add_function(submodule.get(), raise_core_error_def);
  module::add_function(submodule.get(), with_write_borrow_def);
  check_status(PyObject_SetAttrString(module, "_testing", submodule.get()));
  PyRef sys = PyRef::checked(PyImport_ImportModule("sys"));
  PyRef modules = PyRef::checked(PyObject_GetAttrString(sys.get(), "modules"));
  PyRef key = PyRef::checked(PyUnicode_FromString("vantok._vantok._testing"));
  check_status(PyObject_SetItem(modules.get(), key.get(), submodule.get()));
}

}  // namespace vantok_py::testing
