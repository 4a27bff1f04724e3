"""Mapping of core errors to the package's exceptions, reached through
_testing.raise_core_error, and its fallbacks when "vantok.errors" misbehaves."""

import copy
import math
import pickle
import sys
import types

import pytest
from conftest import raises_exactly

import vantok._vantok as vt
from vantok import errors

raise_core_error = vt._testing.raise_core_error


@pytest.mark.parametrize(
    "kwargs, cls, message",
    [
        (dict(variant="InvalidInput", message="x must be positive, got -1.5"), errors.InvalidInputError,
         "invalid input: x must be positive, got -1.5"),
        (dict(variant="OutsideValidatedDomain", message="a\0b – ∂x ≤ ∛y é\U0001F600"),
         errors.OutsideValidatedDomainError, "outside validated domain: a\0b – ∂x ≤ ∛y é\U0001F600"),
        (dict(variant="InvalidInput"), errors.InvalidInputError, "invalid input: "),
        (dict(variant="NotConverged"), errors.NotConvergedError, "not converged: achieved 0e0, requested 0e0"),
        (dict(variant="NotConverged", message="ignored", achieved=1e-3, requested=1e-12), errors.NotConvergedError,
         "not converged: achieved 1e-3, requested 1e-12"),
        (dict(variant="NotConverged", achieved=type("Half", (), {"__float__": lambda self: 0.5})(), requested=3),
         errors.NotConvergedError, "not converged: achieved 5e-1, requested 3e0"),
    ]
    + [
        (dict(variant="NotConverged", achieved=value, requested=1e-12), errors.NotConvergedError,
         f"not converged: achieved {text}, requested 1e-12")
        # The number forms themselves are the core's (checked there).
        for value, text in [(-math.inf, "-inf"), (math.nan, "NaN"), (5e-324, "5e-324")]
    ],
)
def test_variants_raise_their_class_with_the_text_form(kwargs, cls, message):
    with raises_exactly(cls, message) as info:
        raise_core_error(**kwargs)
    if cls is errors.NotConvergedError:
        got = (info.value.achieved, info.value.requested)
        assert repr(got) == repr((float(kwargs.get("achieved", 0.0)), float(kwargs.get("requested", 0.0))))
    else:
        assert info.value.args == (message,)


@pytest.mark.parametrize("kwargs", [dict(variant="InvalidInput", message="m"), dict(variant="OutsideValidatedDomain"),
                                    dict(variant="NotConverged", achieved=1e-3, requested=1e-12)])
def test_exceptions_survive_pickling_and_copying(kwargs):
    # A process pool sends a worker's exception back pickled: one that cannot be made
    # again from its pickle stops the pool's result handler, and the pool hangs.
    with pytest.raises(Exception) as info:
        raise_core_error(**kwargs)
    info.value.add_note("while processing 'x'")
    for again in (pickle.loads(pickle.dumps(info.value)), copy.copy(info.value), copy.deepcopy(info.value)):
        assert type(again) is type(info.value)
        assert (again.args, str(again), again.__notes__) == (info.value.args, str(info.value), info.value.__notes__)
        assert vars(again) == vars(info.value)


# An unknown variant is quoted as a string literal: backslash escapes, and \u{hex}
# for every code point that is not printable (Other and Separator categories but
# the space) or that extends a grapheme (Mn, Me, Other_Grapheme_Extend).
@pytest.mark.parametrize("variant, quoted", [
    ("invalidInput", '"invalidInput"'), ("InvalidInput ", '"InvalidInput "'), ("", '""'),
    ('a"b\n\t\r\0\\', r'"a\"b\n\t\r\0\\"'), ("\x01\x1b\x7f\x85", r'"\u{1}\u{1b}\u{7f}\u{85}"'),
    ("e\u0301\u20dd", r'"e\u{301}\u{20dd}"'),  # combining marks (Mn, Me)
    ("\u00a0\u3000\u2028\u2029\u00ad\u200b\ufeff", r'"\u{a0}\u{3000}\u{2028}\u{2029}\u{ad}\u{200b}\u{feff}"'),
    ("\ue000\U000f0000\u0378", r'"\u{e000}\u{f0000}\u{378}"'),  # private use (Co), unassigned (Cn)
    ("\u200c\u09be\U000e0041", r'"\u{200c}\u{9be}\u{e0041}"'),  # Other_Grapheme_Extend: ZWNJ, a vowel sign, a tag
    ("a b 'é∂\U0001f600", "\"a b 'é∂\U0001f600\""),  # printable: kept as they are
])
def test_unknown_variant_is_named_in_quoted_debug_form(variant, quoted):
    with raises_exactly(ValueError, "unknown vantok::Error variant " + quoted):
        raise_core_error(variant, "m")


@pytest.mark.parametrize(
    "kwargs, param, cls",
    [
        (dict(variant=None), "variant", TypeError),
        (dict(variant=b"InvalidInput"), "variant", TypeError),
        (dict(variant="\ud800"), "variant", UnicodeEncodeError),
        (dict(variant="InvalidInput", message=5), "message", TypeError),
        (dict(variant="NotConverged", achieved="x"), "achieved", TypeError),
        (dict(variant="NotConverged", achieved=1.0, requested=[1.0]), "requested", TypeError),
        (dict(variant="NotConverged", requested=10**400), "requested", OverflowError),
    ],
)
def test_a_failed_conversion_keeps_its_exception_and_names_the_parameter(kwargs, param, cls):
    with raises_exactly(cls, note=param):
        raise_core_error(**kwargs)


def recorder(calls):
    class Recorder(Exception):
        def __init__(self, *args):
            calls.append(args)
            super().__init__(*args)

    return Recorder


def returns_its_own(message):
    try:
        raise ArithmeticError(message.upper())
    except ArithmeticError as e:
        return e


def interrupted(message):
    raise KeyboardInterrupt("stop")


def broken(message):
    raise LookupError("no")


# When "vantok.errors" is missing, lacks the class or misbehaves: (module,
# variant, raised class, message, cause class). The module is looked up on
# every call.
FALLBACKS = [
    (None, "InvalidInput", RuntimeError, "invalid input: m", ModuleNotFoundError),
    (types.ModuleType("vantok.errors"), "NotConverged", RuntimeError, "not converged: achieved 0e0, requested 0e0",
     AttributeError),
    (types.SimpleNamespace(InvalidInputError=broken), "InvalidInput", RuntimeError, "invalid input: m", LookupError),
    (types.SimpleNamespace(OutsideValidatedDomainError=interrupted), "OutsideValidatedDomain", KeyboardInterrupt,
     "stop", type(None)),
    (types.SimpleNamespace(InvalidInputError=lambda m: 42), "InvalidInput", TypeError,
     "exceptions must derive from BaseException", type(None)),
    (types.SimpleNamespace(InvalidInputError=lambda m: KeyError), "InvalidInput", KeyError, None, type(None)),
    (types.SimpleNamespace(InvalidInputError=returns_its_own), "InvalidInput", ArithmeticError, "INVALID INPUT: M",
     type(None)),
]


@pytest.mark.parametrize("module, variant, cls, message, cause", FALLBACKS)
def test_fallbacks(monkeypatch, module, variant, cls, message, cause):
    monkeypatch.setitem(sys.modules, "vantok.errors", module)
    with raises_exactly(cls, message) as info:
        raise_core_error(variant, "m")
    assert type(info.value.__cause__) is cause
    if cause is LookupError:
        assert info.value.__cause__.__traceback__ is not None
    if cls is ArithmeticError:  # the instance is raised unchanged, with its traceback
        tb, names = info.value.__traceback__, []
        while tb is not None:
            names, tb = names + [tb.tb_frame.f_code.co_name], tb.tb_next
        assert "returns_its_own" in names


def test_not_converged_is_made_from_its_message_and_two_floats(monkeypatch):
    calls = []
    monkeypatch.setitem(sys.modules, "vantok.errors", types.SimpleNamespace(NotConvergedError=recorder(calls)))
    with pytest.raises(Exception):
        raise_core_error("NotConverged", achieved=3, requested=True)
    assert calls == [("not converged: achieved 3e0, requested 1e0", 3.0, 1.0)] and type(calls[0][2]) is float

