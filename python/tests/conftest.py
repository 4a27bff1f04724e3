"""Shared helpers of the module's tests."""

import os
import re
import subprocess
import sys
import textwrap
import threading

import numpy as np
from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci",
    derandomize=True,
    deadline=None,
    max_examples=60,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("VANTOK_HYPOTHESIS_PROFILE", "ci"))

# The address sanitizer's run-time library is in the process (a build with
# VANTOK_SANITIZE): it holds freed memory in quarantine and reserves a vast
# shadow address range, so the tests of resident memory and of address-space
# limits do not apply.
with open("/proc/self/maps") as maps:
    SANITIZED = any(re.search(r"lib(clang_rt\.)?asan", line) for line in maps)


def f(values):
    return np.asarray(values, dtype=np.float64)


def c(values):
    return np.asarray(values, dtype=np.complex128)


def in_threads(call, count):
    """The results of call() in `count` threads, started together by a barrier."""
    barrier = threading.Barrier(count)
    results = [None] * count

    def work(k):
        barrier.wait()
        results[k] = call()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def assert_refcounts_kept(objects, body, times=100):
    """Runs body() `times` times; the reference counts of `objects` must not change."""
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(times):
        body()
    assert [sys.getrefcount(o) for o in objects] == before


def unaligned(n):
    """A float64 array of n zeros whose data address is odd (never aligned)."""
    return np.frombuffer(bytearray(8 * n + 1), np.float64, n, offset=1)


def unaligned_complex(n):
    return np.frombuffer(bytearray(16 * n + 1), np.complex128, n, offset=1)


def bcast(value, n, dtype=np.float64):
    """n copies of one value behind a zero stride: 8 or 16 bytes of memory for any n."""
    return np.broadcast_to(np.asarray(value, dtype=dtype), (n,))


def run_py(code):
    """Runs code in a fresh interpreter with this PYTHONPATH; returns its stdout."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=dict(os.environ),
        timeout=120,
    )
    if result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result.stdout


# A subprocess prelude that installs a foreign borrow registry (ctypes callbacks
# that record their calls and answer with `codes`) before vantok is imported.
# Format with the record's version.
FOREIGN = """
import ctypes, sys
import numpy as np
import numpy.core.multiarray as multiarray

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("flags", ctypes.c_void_p), ("acquire", ACQUIRE),
                ("acquire_mut", ACQUIRE), ("release", RELEASE), ("release_mut", RELEASE)]

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
NAME = ctypes.c_char_p(b"_RUST_NUMPY_BORROW_CHECKING_API")
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
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



class raises_exactly:
    """Like pytest.raises, but the class must match exactly (not a subclass) and the
    message (str of the exception) must equal `message` when given."""

    def __init__(self, cls, message=None):
        self.cls = cls
        self.message = message
        self.value = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        assert exc is not None, f"{self.cls.__name__} not raised"
        assert type(exc) is self.cls, f"raised {type(exc).__name__}: {exc}"
        if self.message is not None:
            assert re.fullmatch(re.escape(self.message), str(exc)), f"{str(exc)!r} != {self.message!r}"
        self.value = exc
        return True
