"""Mapping of core errors to the package's exceptions, reached through
_testing.raise_core_error, and its fallbacks when "vantok.errors" misbehaves."""

import math
import sys
import types
import unicodedata

import pytest
from conftest import raises_exactly

import vantok._vantok as vt
from vantok import errors

raise_core_error = vt._testing.raise_core_error


@pytest.mark.parametrize(
    "variant, cls, prefix",
    [
        ("InvalidInput", errors.InvalidInputError, "invalid input: "),
        ("OutsideValidatedDomain", errors.OutsideValidatedDomainError, "outside validated domain: "),
    ],
)
def test_message_variants_raise_their_class_with_the_text_form(variant, cls, prefix):
    with raises_exactly(cls, prefix + "x must be positive, got -1.5") as info:
        raise_core_error(variant, "x must be positive, got -1.5")
    assert info.value.args == (prefix + "x must be positive, got -1.5",)


def test_not_converged_passes_achieved_and_requested_as_floats(monkeypatch):
    with raises_exactly(errors.NotConvergedError, "not converged: achieved 1e-3, requested 1e-12") as info:
        raise_core_error("NotConverged", "ignored", 1e-3, 1e-12)
    assert info.value.achieved == 1e-3 and info.value.requested == 1e-12

    calls = []

    class Recorder(Exception):
        def __init__(self, *args):
            calls.append(args)
            super().__init__(*args)

    monkeypatch.setitem(sys.modules, "vantok.errors", types.SimpleNamespace(NotConvergedError=Recorder))
    with pytest.raises(Recorder):
        raise_core_error("NotConverged", achieved=3, requested=True)
    assert calls == [("not converged: achieved 3e0, requested 1e0", 3.0, 1.0)]
    assert all(type(v) is float for v in calls[0][1:])


@pytest.mark.parametrize(
    "value, text",
    [
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (math.nan, "NaN"),
        (2.0**-90, "8.077935669463161e-28"),
        (2.5, "2.5e0"),
        (100.0, "1e2"),
        (0.0, "0e0"),
        (1e-12, "1e-12"),
        (123456.789, "1.23456789e5"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
    ],
)
def test_numbers_print_in_shortest_exponent_form(value, text):
    with raises_exactly(errors.NotConvergedError, f"not converged: achieved {text}, requested 1e-12"):
        raise_core_error("NotConverged", achieved=value, requested=1e-12)


def test_defaults_are_the_empty_message_and_zeros():
    with raises_exactly(errors.InvalidInputError, "invalid input: "):
        raise_core_error("InvalidInput")
    with raises_exactly(errors.NotConvergedError, "not converged: achieved 0e0, requested 0e0") as info:
        raise_core_error(variant="NotConverged")
    assert (info.value.achieved, info.value.requested) == (0.0, 0.0)


def test_message_with_nul_and_non_ascii_survives_intact():
    message = "a\0b – ∂x ≤ ∛y é\U0001F600"
    with raises_exactly(errors.OutsideValidatedDomainError, "outside validated domain: " + message):
        raise_core_error("OutsideValidatedDomain", message)


@pytest.mark.parametrize(
    "variant, shown",
    [
        ("invalidInput", '"invalidInput"'),
        ("InvalidInput ", '"InvalidInput "'),
        ("", '""'),
        ('a"b\n', '"a\\"b\\n"'),
        ("\t\r\0\\", '"\\t\\r\\0\\\\"'),
        ("\x01\x1b\x7f\x85", '"\\u{1}\\u{1b}\\u{7f}\\u{85}"'),
        ("'é∂", "\"'é∂\""),
    ],
)
def test_unknown_variant_is_named_in_quoted_debug_form(variant, shown):
    with raises_exactly(ValueError, "unknown vantok::Error variant " + shown):
        raise_core_error(variant, "m")


# Other_Grapheme_Extend of the Unicode property list: marks that extend a
# grapheme though their general category is neither Mn nor Me.
OTHER_GRAPHEME_EXTEND = {0x200C, 0x09BE, 0x0B3E, 0x1D165, 0xFF9E, *range(0xE0020, 0xE0080)}


def debug_form(text):
    """The string literal form of `text`: the backslash escapes, and \\u{hex} for
    every code point that is not printable (general category Other or Separator,
    except the space) or that extends a grapheme (Mn, Me, Other_Grapheme_Extend)."""
    simple = {"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\\": "\\\\", '"': '\\"'}
    out = []
    for ch in text:
        extends = unicodedata.category(ch) in ("Mn", "Me") or ord(ch) in OTHER_GRAPHEME_EXTEND
        if ch in simple:
            out.append(simple[ch])
        elif extends or not ch.isprintable():
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


@pytest.mark.parametrize(
    "variant",
    [
        "e\u0301",  # combining acute accent (Mn)
        "\u20dd",  # combining enclosing circle (Me)
        "\u00a0\u3000",  # no-break and ideographic spaces (Zs)
        "\u00ad\u200b\ufeff",  # soft hyphen, zero-width space, byte order mark (Cf)
        "\u2028\u2029",  # line and paragraph separators (Zl, Zp)
        "\ue000\U000f0000",  # private use (Co)
        "\u0378",  # unassigned (Cn)
        "\u200c\u09be\U000e0041",  # Other_Grapheme_Extend: ZWNJ (Cf), a vowel sign (Mc), a tag (Cf)
        "a b é∂\U0001f600",  # printable: kept as they are
    ],
)
def test_unknown_variant_escapes_what_is_not_printable_or_extends_a_grapheme(variant):
    with raises_exactly(ValueError, "unknown vantok::Error variant " + debug_form(variant)):
        raise_core_error(variant)


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
    with pytest.raises(cls) as info:
        raise_core_error(**kwargs)
    assert type(info.value) is cls
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_objects_with_a_float_conversion_are_accepted():
    class Half:
        def __float__(self):
            return 0.5

    with raises_exactly(errors.NotConvergedError, "not converged: achieved 5e-1, requested 3e0"):
        raise_core_error("NotConverged", "", Half(), 3)


class TestFallbacks:
    """When "vantok.errors" cannot be imported, lacks the class or misbehaves."""

    def test_module_missing_gives_runtime_error_caused_by_the_import_error(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "vantok.errors", None)
        with raises_exactly(RuntimeError, "invalid input: m") as info:
            raise_core_error("InvalidInput", "m")
        assert type(info.value.__cause__) is ModuleNotFoundError

    def test_class_missing_gives_runtime_error_caused_by_attribute_error(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "vantok.errors", types.ModuleType("vantok.errors"))
        with raises_exactly(RuntimeError, "not converged: achieved 1e0, requested 2e0") as info:
            raise_core_error("NotConverged", achieved=1.0, requested=2.0)
        assert type(info.value.__cause__) is AttributeError
        assert "NotConvergedError" in str(info.value.__cause__)

    def test_constructor_raising_an_exception_becomes_its_cause(self, monkeypatch):
        def broken(message):
            raise LookupError("no")

        monkeypatch.setitem(sys.modules, "vantok.errors", types.SimpleNamespace(InvalidInputError=broken))
        with raises_exactly(RuntimeError, "invalid input: m") as info:
            raise_core_error("InvalidInput", "m")
        assert type(info.value.__cause__) is LookupError
        assert info.value.__cause__.__traceback__ is not None

    def test_an_interrupt_in_the_constructor_propagates_alone(self, monkeypatch):
        def interrupted(message):
            raise KeyboardInterrupt("stop")

        monkeypatch.setitem(
            sys.modules, "vantok.errors", types.SimpleNamespace(OutsideValidatedDomainError=interrupted)
        )
        with pytest.raises(BaseException) as info:
            raise_core_error("OutsideValidatedDomain", "m")
        assert type(info.value) is KeyboardInterrupt and info.value.args == ("stop",)
        assert info.value.__cause__ is None

    def test_a_non_exception_result_is_a_type_error(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "vantok.errors", types.SimpleNamespace(InvalidInputError=lambda m: 42))
        with raises_exactly(TypeError, "exceptions must derive from BaseException"):
            raise_core_error("InvalidInput", "m")

    def test_an_exception_class_result_is_raised_without_value(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "vantok.errors", types.SimpleNamespace(InvalidInputError=lambda m: KeyError))
        with raises_exactly(KeyError) as info:
            raise_core_error("InvalidInput", "m")
        assert info.value.args == ()

    def test_an_instance_result_is_raised_unchanged_with_its_traceback(self, monkeypatch):
        made = []

        def with_traceback(message):
            try:
                raise ArithmeticError(message.upper())
            except ArithmeticError as e:
                made.append(e)
                return e

        monkeypatch.setitem(sys.modules, "vantok.errors", types.SimpleNamespace(InvalidInputError=with_traceback))
        with raises_exactly(ArithmeticError, "INVALID INPUT: M") as info:
            raise_core_error("InvalidInput", "m")
        assert info.value is made[0]
        frames = []
        tb = info.value.__traceback__
        while tb is not None:
            frames.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        assert "with_traceback" in frames

    def test_the_module_is_looked_up_on_every_call(self, monkeypatch):
        class First(Exception):
            pass

        class Second(Exception):
            pass

        monkeypatch.setitem(sys.modules, "vantok.errors", types.SimpleNamespace(InvalidInputError=First))
        with pytest.raises(First):
            raise_core_error("InvalidInput")
        monkeypatch.setitem(sys.modules, "vantok.errors", types.SimpleNamespace(InvalidInputError=Second))
        with pytest.raises(Second):
            raise_core_error("InvalidInput")
