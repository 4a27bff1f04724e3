"""Array marshalling: the borrow registry and its capsule protocol, argument
conversion of arrays and flags, read borrows, shape checks, size guards,
buffers and output arrays."""

import ctypes

import numpy as np
import pytest
from conftest import FOREIGN, raises_exactly, run_py

import vantok._vantok as vt

with_write_borrow = vt._testing.with_write_borrow

CAPSULE = b"_RUST_NUMPY_BORROW_CHECKING_API"

# Prototypes that keep the interpreter lock held, as the protocol requires.
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Record(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", ACQUIRE),
        ("acquire_mut", ACQUIRE),
        ("release", RELEASE),
        ("release_mut", RELEASE),
    ]


def installed_record():
    import numpy.core.multiarray as multiarray

    capsule = getattr(multiarray, CAPSULE.decode())
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    assert get_name(capsule) == CAPSULE
    return Record.from_address(get_pointer(capsule, CAPSULE))


def test_first_use_installs_our_registry_behind_the_capsule():
    with_write_borrow(np.zeros(1), lambda: None)
    record = installed_record()
    assert record.version == 1
    a = np.zeros(3)
    assert record.acquire_mut(record.flags, a) == 0
    with raises_exactly(TypeError, "The given array is already borrowed"):
        with_write_borrow(a, lambda: None)
    assert record.acquire(record.flags, a) == -1  # a writer holds it
    record.release_mut(record.flags, a)
    assert with_write_borrow(a, lambda: 1) == 1
    # Shared borrows are counted; an exclusive one waits for the last release.
    assert record.acquire(record.flags, a) == 0 and record.acquire(record.flags, a) == 0
    record.release(record.flags, a)
    with pytest.raises(TypeError):
        with_write_borrow(a, lambda: None)
    record.release(record.flags, a)
    assert with_write_borrow(a, lambda: 2) == 2
    # Releasing what was never borrowed is a no-op.
    record.release(record.flags, a)
    record.release_mut(record.flags, a)
    readonly = np.zeros(2)
    readonly.flags.writeable = False
    assert record.acquire_mut(record.flags, readonly) == -2


@pytest.mark.parametrize(
    "make, attribute, changed, original",
    [
        (lambda: np.zeros(8), "dtype", np.complex128, np.float64),
        (lambda: np.zeros(8)[::2], "strides", (8,), (16,)),
    ],
    ids=["dtype", "strides"],
)
def test_a_release_after_a_layout_change_frees_the_borrow_taken(make, attribute, changed, original):
    # A call holds its read borrow of x with the interpreter lock released, and
    # another thread may change x's dtype or strides meanwhile: the release, made
    # under the new layout, must free the borrow that was taken, or x stays
    # borrowed for the life of the process.
    with_write_borrow(np.zeros(1), lambda: None)
    record = installed_record()
    a = make()
    assert record.acquire(record.flags, a) == 0 and record.acquire(record.flags, a) == 0
    setattr(a, attribute, changed)
    record.release(record.flags, a)
    setattr(a, attribute, original)
    with raises_exactly(TypeError, "The given array is already borrowed"):  # one reader is left
        with_write_borrow(a, lambda: None)
    record.release(record.flags, a)
    assert with_write_borrow(a, lambda: 1) == 1

    assert record.acquire_mut(record.flags, a) == 0
    setattr(a, attribute, changed)
    record.release_mut(record.flags, a)
    setattr(a, attribute, original)
    assert with_write_borrow(a, lambda: 2) == 2


def test_a_foreign_registry_is_used_with_its_codes():
    out = run_py(
        FOREIGN.format(version=1)
        + """
a = np.zeros(3)
report(lambda: vt._testing.with_write_borrow(a, lambda: 5))
print([name for name, arr in calls], all(arr is a for name, arr in calls))
codes["acquire_mut"] = -1
report(lambda: vt._testing.with_write_borrow(a, lambda: 5))
codes["acquire_mut"] = -2
report(lambda: vt._testing.with_write_borrow(a, lambda: 5))
codes["acquire_mut"] = 7
report(lambda: vt._testing.with_write_borrow(a, lambda: 5))
"""
    )
    lines = out.splitlines()
    assert lines[0] == "ok 5"
    assert lines[1] == "['acquire_mut', 'release_mut'] True"
    assert lines[2].startswith("TypeError | The given array is already borrowed |")
    assert lines[3].startswith("TypeError | The given array is not writeable |")
    assert lines[4] == (
        "InternalFailure | Unexpected return code 7 from borrow checking API | False | vantok._vantok"
        " | ['BaseException'] | False"
    )


def test_a_registry_of_version_zero_is_refused():
    out = run_py(FOREIGN.format(version=0) + "report(lambda: vt._testing.with_write_borrow(np.zeros(1), print))\n")
    assert out.strip() == (
        "InternalFailure | Internal borrow checking API error | False | vantok._vantok | ['BaseException'] | False"
    )


def test_without_numpy_array_functions_raise_the_internal_failure():
    out = run_py(
        """
        import sys
        sys.modules["numpy"] = None
        import vantok._vantok as vt
        try:
            vt._testing.with_write_borrow([1.0], print)
        except BaseException as e:
            print(type(e).__name__, "|", e, "|", type(e.__cause__).__name__, "|", isinstance(e, Exception))
        """
    )
    assert out.strip() == "InternalFailure | Failed to access NumPy array API capsule | ModuleNotFoundError | False"
