"""Module start-up: names and order of __all__, constants, the _testing
submodule, signatures, and the argument-extraction errors every function shares."""

import importlib
import inspect
import sys

import numpy as np
import pytest
from conftest import raises_exactly, run_py

import vantok._vantok as vt

# Every name the exec step adds, in order; names whose functions are not built
# yet are absent from the module and left out of __all__.
ALL = [
    "__version__", "MAX_GAUSS_LEGENDRE_POINTS", "MAX_WIGNER_D_VALUES", "gauss_legendre", "wigner_d",
    "MAX_MIE_ORDER", "MAX_MIE_VALUES", "mie_default_n_max", "mie_efficiencies", "mie_coefficients",
    "mie_amplitudes", "MAX_GREEK_ORDER", "mie_phase_matrix", "mie_greek", "MAX_LAYERS",
    "layered_efficiencies", "layered_coefficients", "layered_amplitudes", "layered_phase_matrix",
    "layered_greek", "MAX_TMATRIX_ORDER", "tmatrix_random", "TMatrixObject", "ensemble_parameters",
    "ensemble_compute", "ensemble_compute_batch",
]  # fmt: skip
CONSTANTS = {
    "MAX_GAUSS_LEGENDRE_POINTS": 131072, "MAX_WIGNER_D_VALUES": 268435456, "MAX_MIE_ORDER": 1048576,
    "MAX_MIE_VALUES": 134217728, "MAX_GREEK_ORDER": 2097152, "MAX_LAYERS": 1024, "MAX_TMATRIX_ORDER": 500,
}
SOLVE = ["x", "m", "n_max", "derivatives", "allow_unvalidated"]
ANGULAR = ["x", "m", "mu", "n_max", "derivatives", "allow_unvalidated"]
GREEK = ["x", "m", "order", "n_max", "derivatives", "allow_unvalidated", "normalized"]
SIGNATURES = {
    "gauss_legendre": ["n"], "wigner_d": ["m", "n", "l_max", "x"], "mie_default_n_max": ["x"],
    "mie_efficiencies": SOLVE, "mie_coefficients": SOLVE, "mie_amplitudes": ANGULAR,
    "mie_phase_matrix": ANGULAR + ["normalized"], "mie_greek": GREEK, "layered_efficiencies": SOLVE,
    "layered_coefficients": SOLVE, "layered_amplitudes": ANGULAR, "layered_phase_matrix": ANGULAR + ["normalized"],
    "layered_greek": GREEK, "raise_core_error": ["variant", "message", "achieved", "requested"],
    "with_write_borrow": ["x", "f"],
}


def test_names_constants_and_submodule():
    assert vt.__all__ == [name for name in ALL if hasattr(vt, name)]
    # Every sphere, layered-sphere and special function is built.
    assert vt.__all__[: ALL.index("MAX_TMATRIX_ORDER") + 1] == ALL[: ALL.index("MAX_TMATRIX_ORDER") + 1]
    for name, value in CONSTANTS.items():
        assert getattr(vt, name) == value and type(getattr(vt, name)) is int, name
    assert vt.__version__ == "0.3.0" and vt.__doc__ == "" and vt.__name__ == "vantok._vantok"
    assert sys.modules["vantok._vantok._testing"] is vt._testing is importlib.import_module("vantok._vantok._testing")
    assert vt._testing.__all__ == ["raise_core_error", "with_write_borrow"] and "_testing" not in vt.__all__


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(name):
    function = getattr(vt, name, None) or getattr(vt._testing, name)
    parameters = inspect.signature(function).parameters.values()
    assert [p.name for p in parameters] == SIGNATURES[name]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    assert function.__module__ == ("vantok._vantok._testing" if name in vt._testing.__all__ else "vantok._vantok")
    if name == "raise_core_error":
        assert str(inspect.signature(function)) == "(variant, message='', achieved=0.0, requested=0.0)"


F, R = vt._testing.with_write_borrow, vt._testing.raise_core_error
EXTRACTION = [
    (lambda: F(np.zeros(2)), "with_write_borrow() missing 1 required positional argument: 'f'"),
    (lambda: F(), "with_write_borrow() missing 2 required positional arguments: 'x' and 'f'"),
    (lambda: vt.mie_efficiencies(), "mie_efficiencies() missing 5 required positional arguments: "
     "'x', 'm', 'n_max', 'derivatives', and 'allow_unvalidated'"),
    (lambda: R(message="m"), "raise_core_error() missing 1 required positional argument: 'variant'"),
    # The count is reported before x would fail its conversion.
    (lambda: F([1.0], print, 3), "with_write_borrow() takes 2 positional arguments but 3 were given"),
    (lambda: R("InvalidInput", "", 0.0, 0.0, 1), "raise_core_error() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: vt.mie_default_n_max(np.ones(1), 3), "mie_default_n_max() takes 1 positional arguments but 2 were given"),
    (lambda: F(np.zeros(2), print, y=1), "with_write_borrow() got an unexpected keyword argument 'y'"),
    (lambda: R("NotConverged", **{"achieved ": 1.0}), "raise_core_error() got an unexpected keyword argument 'achieved '"),
    (lambda: F(np.zeros(2), print, x=np.zeros(2)), "with_write_borrow() got multiple values for argument 'x'"),
]


@pytest.mark.parametrize("call, message", EXTRACTION)
def test_argument_extraction_errors(call, message):
    with raises_exactly(TypeError, message):
        call()


def test_import_touches_no_numpy_and_reimport_runs_exec_again():
    out = run_py(
        """
        import importlib, sys
        import vantok._vantok as first
        print("numpy" in sys.modules, first.MAX_MIE_ORDER)
        first._testing.marker = 1
        del sys.modules["vantok._vantok"], sys.modules["vantok._vantok._testing"]
        second = importlib.import_module("vantok._vantok")
        print(second is not first, second.__all__ == first.__all__, hasattr(second._testing, "marker"),
              sys.modules["vantok._vantok._testing"] is second._testing)
        """
    )
    assert out.split() == ["False", "1048576", "True", "True", "False", "True"]
