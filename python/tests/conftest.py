"""Shared helpers of the module's tests."""

import contextlib
import os
import subprocess
import sys
import textwrap
import threading
import time
import types

import numpy as np
from hypothesis import HealthCheck, settings

import vantok._vantok as vt

# The generators of pinned tables and their helpers (portable_math) live in data/.
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
sys.path.insert(0, DATA)

settings.register_profile(
    "ci", derandomize=True, deadline=None, max_examples=60, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("VANTOK_HYPOTHESIS_PROFILE", "ci"))

with_write_borrow = vt._testing.with_write_borrow

# The address sanitizer's run-time library is in the process (a build with
# VANTOK_SANITIZE): it holds freed memory in quarantine and reserves a vast
# shadow address range, so the tests of resident memory and of address-space
# limits do not apply.
with open("/proc/self/maps") as maps:
    SANITIZED = any("libasan" in line or "libclang_rt.asan" in line for line in maps)


def f(values):
    return np.asarray(values, dtype=np.float64)


def c(values):
    return np.asarray(values, dtype=np.complex128)


def unaligned(n, dtype=np.float64):
    """An array of n zeros whose data address is odd (never aligned)."""
    size = np.dtype(dtype).itemsize
    return np.frombuffer(bytearray(size * n + 1), dtype, n, offset=1)


def bcast(value, n, dtype=np.float64):
    """n copies of one value behind a zero stride: 8 or 16 bytes of memory for any n."""
    return np.broadcast_to(np.asarray(value, dtype=dtype), (n,))


@contextlib.contextmanager
def raises_exactly(cls, message=None, note=None):
    """Like pytest.raises, but the class must match exactly (not a subclass), the
    message (str of the exception) must equal `message` when given, and the
    exception carries the note "while processing '<note>'" exactly when `note`
    is given (a failed argument conversion), no note otherwise."""
    info = types.SimpleNamespace(value=None)
    try:
        yield info
    except BaseException as exc:  # noqa: BLE001 - the class is what is checked
        assert type(exc) is cls, f"raised {type(exc).__name__}: {exc}"
        assert message is None or str(exc) == message, f"{str(exc)!r} != {message!r}"
        notes = [f"while processing '{note}'"] if note else None
        assert getattr(exc, "__notes__", None) == notes, getattr(exc, "__notes__", None)
        info.value = exc
    else:
        raise AssertionError(f"{cls.__name__} not raised")


def released(*arrays):
    """True when an exclusive borrow of each array is granted: nothing holds them."""
    return all(with_write_borrow(a.reshape(-1) if a.dtype == np.float64 else a.view(np.float64).reshape(-1),
                                 lambda: True) for a in arrays)


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


def longest_stall(call):
    """(duration of call(), longest pause of a Python thread that counts while
    the call runs). A call that holds the interpreter lock stalls the other
    thread for its whole duration; one that releases it, hardly at all."""
    stop, gap = threading.Event(), [0.0]
    started = threading.Event()

    def count():
        previous = time.perf_counter()
        started.set()
        while not stop.is_set():
            now = time.perf_counter()
            gap[0] = max(gap[0], now - previous)
            previous = now

    thread = threading.Thread(target=count)
    thread.start()
    started.wait()
    time.sleep(0.01)
    gap[0] = 0.0
    begin = time.perf_counter()
    try:
        call()
    finally:
        duration = time.perf_counter() - begin
        stop.set()
        thread.join()
    return duration, gap[0]


def race(call, x, index, small, large, seconds=30.0):
    """Calls `call` while another thread flips x[index] between `small` and
    `large` without taking a borrow; returns the messages of the refusals seen
    (stops at the first)."""
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            x[index] = large
            x[index] = small

    thread = threading.Thread(target=flip)
    thread.start()
    seen = set()
    try:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not seen:
            try:
                call()
            except Exception as e:  # noqa: BLE001 - the class is part of what is checked
                seen.add(f"{type(e).__name__}: {e}")
    finally:
        stop.set()
        thread.join()
    x[index] = small
    return seen


def run_py(code, **env):
    """Runs code in a fresh interpreter with this PYTHONPATH (and the variables env); returns its stdout."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            env=dict(os.environ, **env), timeout=120)
    if result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result.stdout
