"""The _testing hooks: with_write_borrow's exclusive borrow and its registry
rules (overlap, nesting, release on every path)."""


import numpy as np
import pytest
from conftest import FOREIGN, assert_refcounts_kept, raises_exactly, run_py, unaligned

import vantok._vantok as vt

with_write_borrow = vt._testing.with_write_borrow


def nested(outer, inner):
    """True when an exclusive borrow of `inner` is granted while `outer` is held."""

    def attempt():
        try:
            with_write_borrow(inner, lambda: None)
        except TypeError as e:
            assert str(e) == "The given array is already borrowed"
            return False
        return True

    return with_write_borrow(outer, attempt)


def test_returns_what_f_returns_and_calls_it_without_arguments():
    a = np.zeros(3)
    sentinel = object()
    assert with_write_borrow(a, lambda: sentinel) is sentinel
    assert with_write_borrow(x=a, f=lambda: None) is None


def test_read_only_array_is_refused_before_f_runs():
    a = np.zeros(3)
    a.flags.writeable = False
    called = []
    with raises_exactly(TypeError, "The given array is not writeable"):
        with_write_borrow(a, lambda: called.append(1))
    assert called == []
    with raises_exactly(TypeError, "The given array is not writeable"):
        with_write_borrow(np.broadcast_to(1.0, (4,)), lambda: called.append(1))
    assert called == []


def test_nested_borrow_of_the_same_array_is_refused_and_released_after():
    a = np.zeros(4)
    assert not nested(a, a)
    assert with_write_borrow(a, lambda: 7) == 7


def test_an_exception_of_f_propagates_unchanged_and_the_borrow_is_released():
    a = np.zeros(4)
    error = ZeroDivisionError("inside")

    def fail():
        raise error

    with pytest.raises(ZeroDivisionError) as info:
        with_write_borrow(a, fail)
    assert info.value is error
    assert with_write_borrow(a, lambda: 1) == 1

    def interrupt():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        with_write_borrow(a, interrupt)
    assert with_write_borrow(a, lambda: 2) == 2


@pytest.mark.parametrize(
    "x, expected",
    [
        (np.zeros((2, 2)), "one-dimensional ndarray[float64]"),
        (np.zeros(3, np.float32), "one-dimensional ndarray[float64]"),
        (np.zeros(3, ">f8"), "one-dimensional ndarray[float64]"),
        ([0.0, 1.0], "one-dimensional ndarray[float64]"),
    ],
)
def test_x_must_be_a_native_one_dimensional_float64_array(x, expected):
    called = []
    with pytest.raises(TypeError) as info:
        with_write_borrow(x, lambda: called.append(1))
    name = type(x).__name__
    assert str(info.value) == f"'{name}' object is not an instance of '{expected}'"
    assert info.value.__notes__ == ["while processing 'x'"]
    assert called == []


class TestOverlap:
    """Which exclusive borrows of views of one buffer conflict."""

    def test_disjoint_slices_and_interleaved_views_are_independent(self):
        a = np.zeros(8)
        assert nested(a[:4], a[4:])
        assert nested(a[::2], a[1::2])
        assert nested(a[:0], a)  # an empty view reaches no byte

    def test_overlapping_views_conflict(self):
        a = np.zeros(8)
        assert not nested(a[:5], a[4:])
        assert not nested(a[::2], a[2::4])
        assert not nested(a, a[::-1])

    def test_views_of_a_complex_array_conflict_only_where_bytes_are_shared(self):
        m = np.zeros(4, np.complex128)
        floats = m.view(np.float64)
        assert nested(floats[0::2], floats[1::2])  # real parts against imaginary parts
        assert not nested(floats, floats[1::2])

    def test_zero_strides_do_not_divide_by_zero(self):
        a = np.zeros(4)
        # Writeable zero-stride views whose base is a (so in a's group).
        first = np.ndarray((3,), np.float64, buffer=a, offset=0, strides=(0,))
        second = np.ndarray((5,), np.float64, buffer=a, offset=8, strides=(0,))
        assert first.base is a and second.base is a
        assert nested(first, second)
        assert nested(first, a[1:])
        assert not nested(first, a[:1])
        assert not nested(second, a[1::2])


def test_layout_changes_inside_f_leave_no_orphaned_borrow():
    a = np.zeros(4)

    def change_dtype():
        a.dtype = np.complex128

    with_write_borrow(a, change_dtype)
    a.dtype = np.float64
    assert with_write_borrow(a, lambda: 3) == 3


def test_x_cannot_be_resized_while_f_runs():
    a = np.zeros(4)
    with pytest.raises(ValueError):
        with_write_borrow(a, lambda: a.resize(16))
    assert a.shape == (4,)
    assert with_write_borrow(a, lambda: 4) == 4


def test_unaligned_x_is_borrowed_like_any_other():
    x = unaligned(3)
    x.flags.writeable = True
    assert with_write_borrow(x, lambda: 5) == 5


def test_no_reference_leaks():
    a = np.zeros(4)
    a.flags.writeable = True
    readonly = np.zeros(4)
    readonly.flags.writeable = False
    f = lambda: None  # noqa: E731

    def fail():
        raise ValueError

    def calls():
        with_write_borrow(a, f)
        with pytest.raises(ValueError):
            with_write_borrow(a, fail)
        with pytest.raises(TypeError):
            with_write_borrow(readonly, f)

    assert_refcounts_kept((a, readonly, f, fail), calls, times=200)


def test_a_foreign_release_runs_cleanly_while_f_has_raised():
    # The registry's release is Python code here; it must not run with f's
    # exception pending, and f's exception must reach the caller unchanged.
    out = run_py(
        FOREIGN.format(version=1)
        + """
x = np.zeros(3)
def f():
    raise KeyError("from f")
report(lambda: vt._testing.with_write_borrow(x, f))
print([name for name, _ in calls])
"""
    )
    lines = out.splitlines()
    assert lines[0].startswith("KeyError | 'from f' |")
    assert lines[1] == "['acquire_mut', 'release_mut']"
