"""Module start-up: __all__, the _testing submodule, parameter kinds, and the
argument-extraction errors every function shares."""

import importlib
import inspect
import sys

import numpy as np
import pytest
from conftest import raises_exactly, run_py

import vantok._vantok as vt

F, R = vt._testing.with_write_borrow, vt._testing.raise_core_error


def test_names_submodule_and_defaults():
    # __all__ names what the module defines (the _testing helpers apart), the
    # limits are plain ints, and every parameter may be passed by position or
    # by keyword.
    assert vt.__all__ and all(hasattr(vt, name) for name in vt.__all__) and "_testing" not in vt.__all__
    assert all(type(getattr(vt, name)) is int for name in vt.__all__ if name.startswith("MAX_"))
    assert vt.__version__ == "0.3.0" and vt.__doc__ == "" and vt.__name__ == "vantok._vantok"
    assert sys.modules["vantok._vantok._testing"] is vt._testing is importlib.import_module("vantok._vantok._testing")
    assert vt._testing.__all__ == ["raise_core_error", "with_write_borrow"]
    for name in vt.__all__ + vt._testing.__all__:
        function = getattr(vt, name, None) or getattr(vt._testing, name)
        if callable(function) and not isinstance(function, type):
            kinds = {p.kind for p in inspect.signature(function).parameters.values()}
            assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}, name
    assert str(inspect.signature(R)) == "(variant, message='', achieved=0.0, requested=0.0)"


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
