"""Module start-up: names and order of __all__, constants, the _testing
submodule, function records (signatures, docstrings, __module__) and the
argument-extraction errors every function shares."""

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
    "MAX_GAUSS_LEGENDRE_POINTS": 131072,
    "MAX_WIGNER_D_VALUES": 268435456,
    "MAX_MIE_ORDER": 1048576,
    "MAX_MIE_VALUES": 134217728,
    "MAX_GREEK_ORDER": 2097152,
    "MAX_LAYERS": 1024,
    "MAX_TMATRIX_ORDER": 500,
}

# The functions built so far: parameters and the first line of the description.
FUNCTIONS = {
    vt.gauss_legendre: (
        ["n"],
        "Gauss–Legendre nodes and weights on [-1, 1]; see `vantok.special.gauss_legendre`.",
    ),
    vt.wigner_d: (
        ["m", "n", "l_max", "x"],
        "The Wigner d^l_{mn}(x) for l = 0..=l_max at each x = cos θ, shape (len(x), l_max + 1);",
    ),
    vt.mie_default_n_max: (
        ["x"],
        "The default number of terms for each x (C order); see `vantok.mie.default_n_max`. Raises",
    ),
    vt.mie_efficiencies: (
        ["x", "m", "n_max", "derivatives", "allow_unvalidated"],
        "Efficiencies (5, len) in the order Q_ext, Q_sca, Q_abs, Q_back, g, and with",
    ),
    vt.mie_coefficients: (
        ["x", "m", "n_max", "derivatives", "allow_unvalidated"],
        "The number of terms of each element (len), aₙ and bₙ (len, N) zero-padded to the largest",
    ),
    vt.mie_amplitudes: (
        ["x", "m", "mu", "n_max", "derivatives", "allow_unvalidated"],
        "S₁ and S₂ (2, len, n_mu) at the cosines `mu`, and with `derivatives` ∂S₁/∂x, ∂S₂/∂x,",
    ),
    vt.mie_phase_matrix: (
        ["x", "m", "mu", "n_max", "derivatives", "allow_unvalidated", "normalized"],
        "F₁₁, F₁₂, F₃₃, F₃₄ (4, len, n_mu) at the cosines `mu`, normalized or not, and with",
    ),
    vt.mie_greek: (
        ["x", "m", "order", "n_max", "derivatives", "allow_unvalidated", "normalized"],
        "The number of terms of each element (len), the Greek coefficients α₁, α₂, α₃, α₄, β₁, β₂",
    ),
    vt.layered_efficiencies: (
        ["x", "m", "n_max", "derivatives", "allow_unvalidated"],
        "Efficiencies (5, P) in the order Q_ext, Q_sca, Q_abs, Q_back, g, and with `derivatives`",
    ),
    vt.layered_coefficients: (
        ["x", "m", "n_max", "derivatives", "allow_unvalidated"],
        "The number of terms of each particle (P), aₙ and bₙ (P, N) zero-padded to the largest N, and",
    ),
    vt.layered_amplitudes: (
        ["x", "m", "mu", "n_max", "derivatives", "allow_unvalidated"],
        "S₁ and S₂ (2, P, n_mu) at the cosines `mu`, and with `derivatives` ∂S₁/∂x_l, ∂S₂/∂x_l,",
    ),
    vt.layered_phase_matrix: (
        ["x", "m", "mu", "n_max", "derivatives", "allow_unvalidated", "normalized"],
        "F₁₁, F₁₂, F₃₃, F₃₄ (4, P, n_mu) at the cosines `mu`, normalized or not, and with",
    ),
    vt.layered_greek: (
        ["x", "m", "order", "n_max", "derivatives", "allow_unvalidated", "normalized"],
        "The number of terms of each particle (P), the Greek coefficients (6, P, L + 1) up to `order`",
    ),
    vt._testing.raise_core_error: (
        ["variant", "message", "achieved", "requested"],
        "For tests only: raises the exception that the core error `variant` maps to, to test",
    ),
    vt._testing.with_write_borrow: (
        ["x", "f"],
        "For tests only: calls `f()` while holding the registry's writeable borrow of `x`, as",
    ),
}


def test_all_is_the_exec_order_without_unbuilt_names():
    assert vt.__all__ == [name for name in ALL if hasattr(vt, name)]
    built = {
        "__version__", "gauss_legendre", "wigner_d", "mie_default_n_max", "mie_efficiencies", "mie_coefficients",
        "mie_amplitudes", "mie_phase_matrix", "mie_greek", "layered_efficiencies", "layered_coefficients",
        "layered_amplitudes", "layered_phase_matrix", "layered_greek",
    }  # fmt: skip
    assert set(CONSTANTS) | built <= set(vt.__all__)
    # Every sphere, layered-sphere and special function is built: __all__ is the
    # exec order up to MAX_TMATRIX_ORDER.
    assert vt.__all__[: ALL.index("MAX_TMATRIX_ORDER") + 1] == ALL[: ALL.index("MAX_TMATRIX_ORDER") + 1]
    assert "_testing" not in vt.__all__


def test_constants_are_ints_and_version_a_str():
    for name, value in CONSTANTS.items():
        assert getattr(vt, name) == value and type(getattr(vt, name)) is int, name
    assert vt.__version__ == "0.3.0" and type(vt.__version__) is str
    assert vt.__doc__ == ""
    assert vt.__name__ == "vantok._vantok"


def test_testing_submodule_is_attribute_and_sys_modules_entry():
    assert sys.modules["vantok._vantok._testing"] is vt._testing
    assert importlib.import_module("vantok._vantok._testing") is vt._testing
    assert vt._testing.__name__ == "vantok._vantok._testing"
    assert vt._testing.__all__ == ["raise_core_error", "with_write_borrow"]
    assert vt._testing.__doc__ is None


@pytest.mark.parametrize("function", list(FUNCTIONS), ids=lambda f: f.__name__)
def test_function_records(function):
    params, first_line = FUNCTIONS[function]
    assert list(inspect.signature(function).parameters) == params
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in inspect.signature(function).parameters.values()
    )
    expected_module = "vantok._vantok._testing" if function.__name__ in vt._testing.__all__ else "vantok._vantok"
    assert function.__module__ == expected_module
    assert function.__doc__.splitlines()[0] == first_line


def test_raise_core_error_signature_shows_its_defaults():
    signature = inspect.signature(vt._testing.raise_core_error)
    assert str(signature) == "(variant, message='', achieved=0.0, requested=0.0)"


class TestArgumentExtraction:
    f = staticmethod(vt._testing.with_write_borrow)
    r = staticmethod(vt._testing.raise_core_error)

    def check(self, call, message):
        with raises_exactly(TypeError, message) as info:
            call()
        assert not hasattr(info.value, "__notes__")

    def test_missing(self):
        self.check(lambda: self.f(np.zeros(2)), "with_write_borrow() missing 1 required positional argument: 'f'")
        self.check(lambda: self.f(), "with_write_borrow() missing 2 required positional arguments: 'x' and 'f'")
        self.check(lambda: self.f(f=print), "with_write_borrow() missing 1 required positional argument: 'x'")
        self.check(lambda: self.r(message="m"), "raise_core_error() missing 1 required positional argument: 'variant'")

    def test_too_many_positionals(self):
        self.check(
            lambda: self.f(np.zeros(2), print, 3),
            "with_write_borrow() takes 2 positional arguments but 3 were given",
        )
        self.check(
            lambda: self.r("InvalidInput", "", 0.0, 0.0, 1),
            "raise_core_error() takes from 1 to 4 positional arguments but 5 were given",
        )

    def test_unknown_and_repeated_keywords(self):
        self.check(
            lambda: self.f(np.zeros(2), print, y=1), "with_write_borrow() got an unexpected keyword argument 'y'"
        )
        self.check(
            lambda: self.f(np.zeros(2), print, x=np.zeros(2)),
            "with_write_borrow() got multiple values for argument 'x'",
        )
        self.check(
            lambda: self.r("NotConverged", **{"achieved ": 1.0}),
            "raise_core_error() got an unexpected keyword argument 'achieved '",
        )

    def test_extraction_errors_come_before_conversion(self):
        # x would fail conversion, but the count error is reported first.
        self.check(lambda: self.f([1.0], print, 3), "with_write_borrow() takes 2 positional arguments but 3 were given")

    def test_sphere_functions(self):
        self.check(
            lambda: vt.mie_efficiencies(),
            "mie_efficiencies() missing 5 required positional arguments: "
            "'x', 'm', 'n_max', 'derivatives', and 'allow_unvalidated'",
        )
        self.check(
            lambda: vt.mie_coefficients(np.ones(1), np.ones(1, complex), None, False),
            "mie_coefficients() missing 1 required positional argument: 'allow_unvalidated'",
        )
        self.check(lambda: vt.mie_default_n_max(np.ones(1), 3), "mie_default_n_max() takes 1 positional arguments but 2 were given")
        self.check(lambda: vt.mie_default_n_max(y=1), "mie_default_n_max() got an unexpected keyword argument 'y'")

    def test_every_argument_by_keyword(self):
        assert self.f(f=lambda: 9, x=np.zeros(1)) == 9
        kwargs = dict(allow_unvalidated=False, derivatives=True, n_max=None, m=np.ones(2, complex) * 1.5, x=np.ones(2))
        assert vt.mie_efficiencies(**kwargs)[1].shape == (3, 5, 2)
        assert vt.mie_coefficients(**kwargs)[3].shape == (4, 2, 10)
        assert vt.mie_default_n_max(x=np.ones(2)).tolist() == [10, 10]
        kwargs.update(x=np.ones((2, 1)), m=np.ones((2, 1), complex) * 1.5)
        assert vt.layered_efficiencies(**kwargs)[1].shape == (1, 3, 5, 2)
        assert vt.layered_coefficients(**kwargs)[3].shape == (1, 4, 2, 10)
        assert vt.layered_amplitudes(mu=np.zeros(3), **kwargs)[1].shape == (1, 4, 2, 3)
        assert vt.layered_phase_matrix(normalized=True, mu=np.zeros(3), **kwargs)[1].shape == (1, 3, 4, 2, 3)
        assert vt.layered_greek(normalized=False, order=None, **kwargs)[2].shape == (1, 3, 6, 2, 21)
        with pytest.raises(Exception, match="^invalid input: k$"):
            self.r(requested=1.0, achieved=2.0, message="k", variant="InvalidInput")


def test_import_touches_no_numpy():
    out = run_py(
        """
        import sys
        import vantok._vantok as vt
        print("numpy" in sys.modules, vt.MAX_MIE_ORDER)
        """
    )
    assert out.split() == ["False", "1048576"]


def test_reimport_runs_exec_again():
    out = run_py(
        """
        import sys
        import vantok._vantok as first
        first._testing.marker = 1
        del sys.modules["vantok._vantok"], sys.modules["vantok._vantok._testing"]
        import importlib
        second = importlib.import_module("vantok._vantok")
        print(second is not first, second.__all__ == first.__all__, hasattr(second._testing, "marker"),
              sys.modules["vantok._vantok._testing"] is second._testing)
        """
    )
    assert out.split() == ["True", "True", "False", "True"]
