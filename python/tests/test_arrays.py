"""The borrow registry behind NumPy's capsule (ours or a foreign one) and
_testing.with_write_borrow's exclusive borrow: overlap of views, nesting, and
release on every path."""

import ctypes

import numpy as np
import pytest
from conftest import assert_refcounts_kept, raises_exactly, run_py, unaligned, with_write_borrow

CAPSULE = b"_RUST_NUMPY_BORROW_CHECKING_API"
BORROWED = "The given array is already borrowed"
# The borrow registry's record, here and in the subprocesses below.
REGISTRY = """
import ctypes
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("flags", ctypes.c_void_p), ("acquire", ACQUIRE),
                ("acquire_mut", ACQUIRE), ("release", RELEASE), ("release_mut", RELEASE)]
"""
exec(REGISTRY)
# A subprocess prelude that installs a foreign registry (callbacks that record
# their calls and answer with `codes`) before vantok is imported. Format with
# the record's version.
FOREIGN = REGISTRY + """
import numpy as np
import numpy.core.multiarray as multiarray
calls = []
codes = {{"acquire": 0, "acquire_mut": 0}}

def acquirer(name):
    def acquire(flags, array):
        calls.append((name, array.base if name == "acquire_mut" else array))
        return codes[name]
    return ACQUIRE(acquire)

def releaser(name):
    def release(flags, array):
        calls.append((name, array.base if name == "release_mut" else array))
    return RELEASE(release)

record = Record({version}, None, acquirer("acquire"), acquirer("acquire_mut"), releaser("release"),
                releaser("release_mut"))
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype, new_capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
NAME = ctypes.c_char_p(b"_RUST_NUMPY_BORROW_CHECKING_API")
multiarray._RUST_NUMPY_BORROW_CHECKING_API = new_capsule(ctypes.addressof(record), NAME, None)

import vantok._vantok as vt

def report(call):
    try:
        result = call()
    except BaseException as e:
        print(type(e).__name__, "|", e, "|", isinstance(e, Exception), "|", type(e).__module__,
              "|", [b.__name__ for b in type(e).__bases__], "|", hasattr(vt, type(e).__name__))
    else:
        print("ok", result)
"""


def installed_record():
    import numpy.core.multiarray as multiarray

    with_write_borrow(np.zeros(1), lambda: None)  # the first use installs it
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    record = Record.from_address(get_pointer(getattr(multiarray, CAPSULE.decode()), CAPSULE))
    assert record.version == 1
    return record


def nested(outer, inner):
    """True when an exclusive borrow of `inner` is granted while `outer` is held."""

    def attempt():
        try:
            with_write_borrow(inner, lambda: None)
        except TypeError as e:
            assert str(e) == BORROWED
            return False
        return True

    return with_write_borrow(outer, attempt)


def test_our_registry_counts_shared_borrows_and_refuses_conflicts():
    r = installed_record()
    a = np.zeros(3)
    assert r.acquire_mut(r.flags, a) == 0 and r.acquire(r.flags, a) == -1
    with raises_exactly(TypeError, BORROWED):
        with_write_borrow(a, lambda: None)
    r.release_mut(r.flags, a)
    assert r.acquire(r.flags, a) == 0 and r.acquire(r.flags, a) == 0
    r.release(r.flags, a)
    assert not nested(np.zeros(1), a)  # one reader is left
    r.release(r.flags, a)
    assert with_write_borrow(a, lambda: 2) == 2
    r.release(r.flags, a)  # releasing what was never borrowed is a no-op
    r.release_mut(r.flags, a)
    readonly = np.zeros(2)
    readonly.flags.writeable = False
    assert r.acquire_mut(r.flags, readonly) == -2


@pytest.mark.parametrize("attribute, changed, original", [("dtype", np.complex128, np.float64), ("strides", (8,), (16,))])
def test_a_release_after_a_layout_change_frees_the_borrow_taken(attribute, changed, original):
    # Another thread may change x's dtype or strides while a call holds its
    # read borrow with the lock released: the release under the new layout must
    # free the borrow that was taken, or x stays borrowed for good.
    r = installed_record()
    a = np.zeros(8) if attribute == "dtype" else np.zeros(8)[::2]
    for acquire, release, holders in ((r.acquire, r.release, 2), (r.acquire_mut, r.release_mut, 1)):
        for _ in range(holders):
            assert acquire(r.flags, a) == 0
        setattr(a, attribute, changed)
        release(r.flags, a)
        setattr(a, attribute, original)
        if holders == 2:
            with raises_exactly(TypeError, BORROWED):
                with_write_borrow(a, lambda: None)
            release(r.flags, a)
        assert with_write_borrow(a, lambda: 1) == 1
    b = np.zeros(4)  # changed inside f, the same
    with_write_borrow(b, lambda: setattr(b, "dtype", np.complex128))
    b.dtype = np.float64
    assert with_write_borrow(b, lambda: 3) == 3


def test_foreign_registries_are_used_with_their_codes_and_see_every_borrow_in_order():
    out = run_py(FOREIGN.format(version=1) + """
a = np.zeros(3)
for code in (0, -1, -2, 7):
    codes["acquire_mut"] = code
    report(lambda: vt._testing.with_write_borrow(a, lambda: 5))
print([name for name, arr in calls[:2]], all(arr is a for name, arr in calls))
calls.clear()
codes["acquire_mut"] = 0
def f():
    raise KeyError("from f")
report(lambda: vt._testing.with_write_borrow(a, f))  # released cleanly while f's error is pending
print([name for name, _ in calls])
x, m, mu = np.array([1.0, 2.0]), np.array([1.5 + 0j, 1.5 + 0j]), np.array([0.5])
names = lambda: [(name, "x" if arr is x else "m" if arr is m else "mu") for name, arr in calls]
for call in (lambda: vt.mie_efficiencies(x, m, None, False, False)[0].shape,
             lambda: vt.mie_phase_matrix(x, m, 2 * mu + 1, None, False, False, True),
             lambda: vt.wigner_d(0, 0, 2, x)):
    calls.clear(); report(call); print(names())
codes["acquire"] = -1
calls.clear(); report(lambda: vt.mie_efficiencies(x, m, None, False, False)); print(names())
codes["acquire"] = 7
report(lambda: vt.mie_coefficients(x, m, None, False, False))
""")
    lines = out.splitlines()
    assert lines[0] == "ok 5"
    assert lines[1].startswith(f"TypeError | {BORROWED} |")
    assert lines[2].startswith("TypeError | The given array is not writeable |")
    assert lines[3] == ("InternalFailure | Unexpected return code 7 from borrow checking API | False | vantok._vantok"
                        " | ['BaseException'] | False")
    assert lines[4] == "['acquire_mut', 'release_mut'] True"
    assert lines[5].startswith("KeyError | 'from f' |") and lines[6] == "['acquire_mut', 'release_mut']"
    # Read borrows in argument order, released in reverse, before an exception is raised.
    assert lines[7] == "ok (5, 2)"
    assert lines[8] == "[('acquire', 'x'), ('acquire', 'm'), ('release', 'm'), ('release', 'x')]"
    assert lines[9].startswith("InvalidInputError | invalid input: element 0 of mu:")
    assert lines[10] == ("[('acquire', 'x'), ('acquire', 'm'), ('acquire', 'mu'), ('release', 'mu'), "
                         "('release', 'm'), ('release', 'x')]")
    assert lines[11].startswith("InvalidInputError | invalid input: wigner_d needs -1 <= x <= 1, got 2.0 |")
    assert lines[12] == "[('acquire', 'x'), ('release', 'x')]"
    assert lines[13].startswith("BufferError | x cannot be read: The given array is already borrowed |")
    assert lines[14] == "[('acquire', 'x')]"
    assert lines[15].startswith("InternalFailure | Unexpected return code 7 from borrow checking API | False |")
    out = run_py(FOREIGN.format(version=0) + "report(lambda: vt._testing.with_write_borrow(np.zeros(1), print))\n")
    assert out.strip() == ("InternalFailure | Internal borrow checking API error | False | vantok._vantok "
                           "| ['BaseException'] | False")
    out = run_py("""
        import sys
        sys.modules["numpy"] = None
        import vantok._vantok as vt
        try:
            vt._testing.with_write_borrow([1.0], print)
        except BaseException as e:
            print(type(e).__name__, "|", e, "|", type(e.__cause__).__name__, "|", isinstance(e, Exception))
        """)
    assert out.strip() == "InternalFailure | Failed to access NumPy array API capsule | ModuleNotFoundError | False"


def test_with_write_borrow_calls_f_and_releases_on_every_path():
    a = np.zeros(4)
    sentinel = object()
    assert with_write_borrow(x=a, f=lambda: sentinel) is sentinel
    for error in (ZeroDivisionError("inside"), KeyboardInterrupt()):
        def fail(error=error):
            raise error

        with pytest.raises(type(error)) as info:
            with_write_borrow(a, fail)
        assert info.value is error
        assert with_write_borrow(a, lambda: 1) == 1
    with pytest.raises(ValueError):  # x cannot be resized while f runs
        with_write_borrow(a, lambda: a.resize(16))
    assert a.shape == (4,)
    x = unaligned(3)
    x.flags.writeable = True
    assert with_write_borrow(x, lambda: 5) == 5
    readonly = np.zeros(3)
    readonly.flags.writeable = False
    called = []
    for ro in (readonly, np.broadcast_to(1.0, (4,))):
        with raises_exactly(TypeError, "The given array is not writeable"):
            with_write_borrow(ro, lambda: called.append(1))
    for bad in (np.zeros((2, 2)), np.zeros(3, np.float32), np.zeros(3, ">f8"), [0.0, 1.0]):
        message = f"'{type(bad).__name__}' object is not an instance of 'one-dimensional ndarray[float64]'"
        with raises_exactly(TypeError, message, note="x"):
            with_write_borrow(bad, lambda: called.append(1))
    assert called == []

    def calls():
        with_write_borrow(a, lambda: None)
        with pytest.raises(ZeroDivisionError):
            with_write_borrow(a, lambda: 1 / 0)
        with pytest.raises(TypeError):
            with_write_borrow(readonly, print)

    assert_refcounts_kept((a, readonly), calls, times=200)


def test_exclusive_borrows_of_views_conflict_where_bytes_are_shared():
    a = np.zeros(8)
    floats = np.zeros(4, np.complex128).view(np.float64)
    # Writeable zero-stride views whose base is a.
    first = np.ndarray((3,), np.float64, buffer=a, offset=0, strides=(0,))
    second = np.ndarray((5,), np.float64, buffer=a, offset=8, strides=(0,))
    for outer, inner, free in [
        (a, a, False), (a[:4], a[4:], True), (a[::2], a[1::2], True), (a[:0], a, True),
        (a[:5], a[4:], False), (a[::2], a[2::4], False), (a, a[::-1], False),
        (floats[0::2], floats[1::2], True), (floats, floats[1::2], False),
        (first, second, True), (first, a[1:], True), (first, a[:1], False), (second, a[1::2], False),
    ]:
        assert nested(outer, inner) == free
    assert with_write_borrow(a, lambda: 7) == 7
