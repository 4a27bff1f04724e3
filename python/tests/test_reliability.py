"""Faults a hostile or careless caller can provoke, each in an interpreter of its own: the
process exits cleanly while daemon threads are inside calls, an argument's callback that
changes an array already converted is refused, a fork child does not inherit the borrows
of threads it lacks, and Ctrl-C ends a long call promptly, leaving nothing borrowed."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
import vantok._vantok as vt
from conftest import SANITIZED

PRELUDE = """
import json, os, signal, sys, threading, time
import numpy as np
import vantok._vantok as vt
from vantok import errors
"""


def python(code, **kwargs):
    """Runs `code` (after the prelude) in a new interpreter; the finished process."""
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, **kwargs)


# Each loop runs in daemon threads still busy when the interpreter ends: in lock-free
# work (the lock is taken back during shutdown), or in Python code a call runs (the
# package's exception classes, a callback, an argument's __index__).
DAEMON_WORK = {
    "lock-free": """
        x = np.full(64, 30.0); m = np.full(64, 1.5 + 0.01j); mu = np.linspace(-1, 1, 50)
        xl = np.array([[10.0, 20.0]] * 8); ml = np.full((8, 2), 1.4 + 0.01j)
        work = [lambda: vt.gauss_legendre(2000), lambda: vt.wigner_d(0, 2, 2000, mu),
                lambda: vt.mie_efficiencies(x, m, None, True, False),
                lambda: vt.mie_greek(x[:2], m[:2], None, None, True, False, True),
                lambda: vt.layered_phase_matrix(xl, ml, mu, None, False, False, True),
                lambda: vt.ensemble_compute_batch([("gamma", 0.2, 0.1)] * 3, ("sphere", m[:2]), np.array([0.5, 0.6]),
                                                  4, False, mu, True, 1e-6, 1000, False, True),
                lambda: vt.tmatrix_random(x[:2] / 10, m[:2], np.full(2, 2.0), 1e-6, "auto", None, None, False, False,
                                          False, True, None, mu, True),
                lambda: vt.TMatrixObject(3.0, 1.5, 0.01, 0.5, 1e-6, "auto", None, None, False, False, False)]
    """,
    "python-inside": """
        class SlowIndex:
            def __index__(self):
                time.sleep(0.001)
                return 100
            def __float__(self):
                time.sleep(0.001)
                return 2.0
        def refused():
            try:
                vt.mie_efficiencies(np.array([3e4]), np.array([1.5 + 0j]), None, False, False)
            except errors.OutsideValidatedDomainError:
                pass
        x = np.full(8, 30.0); m = np.full(8, 1.5 + 0.01j)
        work = [refused, lambda: vt._testing.with_write_borrow(np.zeros(3), lambda: time.sleep(0.002)),
                lambda: vt.mie_efficiencies(x, m, SlowIndex(), False, False),
                lambda: vt.ensemble_parameters([(("lognormal", 0.1, SlowIndex()), ("sphere", m), 1.0)] * 4, True)]
    """,
}


@pytest.mark.parametrize("kind", sorted(DAEMON_WORK))
def test_exit_with_daemon_threads_inside_calls(kind):
    done = python(DAEMON_WORK[kind] + """
        def spin(f):
            while True:
                f()
        for f in work:
            for _ in range(2):
                threading.Thread(target=spin, args=(f,), daemon=True).start()
        time.sleep(0.2)
    """)
    assert (done.returncode, done.stderr) == (0, "")


def test_callback_that_changes_a_converted_array():
    # A later argument's __index__ (n_max, order) reassigns the dtype of x, m or mu
    # after their conversion, which doubles its element count; the other array has
    # that shape from the start, so that only a dtype check can catch it. The
    # refusal must be the conversion's own, note included.
    done = python("""
        class Retype:
            def __init__(self, array):
                self.array = array
            def __index__(self):
                self.array.dtype = np.complex64 if self.array.dtype == np.complex128 else np.float32
                return 100

        CALLS = {  # name: call, arrays converted before the retyping argument
            "mie_efficiencies": (lambda a, n: vt.mie_efficiencies(a["x"], a["m"], n, False, False), "x m"),
            "mie_amplitudes": (lambda a, n: vt.mie_amplitudes(a["x"], a["m"], a["mu"], n, False, False), "x m mu"),
            "mie_greek": (lambda a, n: vt.mie_greek(a["x"], a["m"], n, None, False, False, True), "x m"),
            "layered_phase_matrix": (lambda a, n: vt.layered_phase_matrix(a["x"], a["m"], a["mu"], n, False, False,
                                                                          True), "x m mu"),
        }
        results = []
        for name, (call, targets) in CALLS.items():
            for target in targets.split():
                sizes = {"x": (4, 8), "m": (8, 4), "mu": (4, 4)}[target]
                a = {"x": np.linspace(1.0, 4.0, sizes[0]), "m": np.full(sizes[1], 1.5 + 0.01j),
                     "mu": np.linspace(-1.0, 1.0, 4)}
                if name.startswith("layered"):
                    a["x"], a["m"] = a["x"].reshape(2, -1).copy(), a["m"].reshape(2, -1).copy()
                try:
                    call(a, Retype(a[target]))
                    results.append([name, target, None])
                except Exception as e:
                    results.append([name, target, [type(e).__name__, str(e), e.__notes__]])
        print(json.dumps(results))
    """)
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    assert len(results) == 10
    for name, target, refusal in results:
        dtype = "complex128" if target == "m" else "float64"
        assert refusal == ["TypeError", f"'ndarray' object is not an instance of 'ndarray[{dtype}]'",
                           [f"while processing '{target}'"]], (name, target)


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer's allocator can stay locked in a fork child whose "
                                       "parent had other threads allocating")
def test_fork_child_forgets_the_borrows_of_absent_threads():
    # Another thread holds a write borrow of x, and another a read borrow (inside a
    # call with the lock released), when the main thread forks while itself holding
    # a write borrow of y. The child can borrow x for writing; y stays the forking
    # thread's until its callback returns. The child has none of the thread
    # pool's workers, yet a call that runs on the pool completes there.
    done = python("""
        pooled = lambda: vt.ensemble_compute_batch([("gamma", 0.2, 0.1)] * 3, ("sphere", np.array([1.5 + 0.01j, 1.5 + 0.01j])),
                                                   np.array([0.5, 0.6]), 4, False, np.linspace(-1, 1, 5), True, 1e-6,
                                                   1000, False, True)
        before = pooled()
        x = np.linspace(1.0, 2.0, 2); y = np.zeros(3)
        big = np.array([5000.0]); m = np.array([1.5 + 0.01j])
        holding, release = threading.Event(), threading.Event()
        writer = threading.Thread(target=lambda: vt._testing.with_write_borrow(x, lambda: (holding.set(),
                                                                                          release.wait())))
        reader = threading.Thread(target=lambda: [vt.mie_greek(big, m, None, None, False, False, True)
                                                  for _ in iter(release.is_set, True)])
        def borrowed(a):
            try:
                vt._testing.with_write_borrow(a, lambda: None)
            except TypeError:
                return True
            return False

        writer.start(); holding.wait(); reader.start()
        while not borrowed(big):
            time.sleep(0.001)

        def child_tries():
            took = []
            vt._testing.with_write_borrow(x, lambda: took.append("x"))
            try:
                vt._testing.with_write_borrow(y, lambda: took.append("y inside"))
            except TypeError:
                took.append("y held")
            try:
                vt._testing.with_write_borrow(big, lambda: took.append("big"))
            except TypeError:
                took.append("big held")
            signal.alarm(30)  # a pool that waits for absent workers ends the child
            if all(np.array_equal(pooled()[k], before[k]) for k in ("values", "greek", "phase")):
                took.append("pool")
            return took

        def fork():
            pid = os.fork()
            if pid == 0:
                code = 2
                try:
                    took = child_tries()
                    print(took, flush=True)
                    code = 0 if took == ["x", "y held", "big", "pool"] else 1
                finally:
                    os._exit(code)
            return os.waitpid(pid, 0)[1]

        status = vt._testing.with_write_borrow(y, fork)
        release.set(); writer.join(); reader.join()
        print(json.dumps(os.waitstatus_to_exitcode(status)))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "0", done.stdout


# Long calls for the main thread, and what they read.
LONG_CALLS = {
    "mie_greek": ("np.array([2e4])", "np.array([1.5 + 0.01j])",
                  "vt.mie_greek(x, m, None, None, False, False, True)"),
    "mie_efficiencies": ("np.full(200000, 2e3)", "np.full(200000, 1.5 + 0.01j)",
                         "vt.mie_efficiencies(x, m, None, True, False)"),
    "ensemble_compute": ("np.linspace(0.4, 1.15, 16)", "np.full(16, 1.53 + 0.008j)",
                         "vt.ensemble_compute([(('lognormal', 0.1, 2.0), ('sphere', m), 1.0)], x, False, None, True, "
                         "np.linspace(-1.0, 1.0, 181), True, [0, 1, 2, 3], 1e-9, 100000, False, True)"),
    "tmatrix_random": ("np.full(50, 10.0)", "np.full(50, 1.5 + 0.01j)",
                       "vt.tmatrix_random(x, m, np.full(50, 2.0), 1e-8, 'double-double', None, None, False, False, "
                       "False, True, None, None, True)"),
    "TMatrixObject": ("np.zeros(1)", "np.zeros(1, complex)",
                      "vt.TMatrixObject(25.0, 1.5, 0.01, 2.0, 1e-8, 'double-double', None, None, False, False, False)"),
    "layered_efficiencies": ("np.tile(np.linspace(100.0, 2e4, 64), (200, 1))", "np.full((200, 64), 1.5 + 0.01j)",
                             "vt.layered_efficiencies(x, m, None, False, True)"),
    # One sphere, and one particle, of a vast |m x| = 1e9: some seconds of ratio recurrence
    # far above the orders stored.
    "mie_amplitudes": ("np.array([1e6])", "np.array([1000j])", "vt.mie_amplitudes(x, m, np.array([0.5]), None, False, True)"),
    "layered_phase_matrix": ("np.array([[5e5, 1e6]])", "np.array([[1000.0 + 0j, 1000j]])",
                             "vt.layered_phase_matrix(x, m, np.array([0.5]), None, False, True, True)"),
}


@pytest.mark.parametrize("threads", ["1", "4"])
@pytest.mark.parametrize("name", sorted(LONG_CALLS))
def test_sigint_interrupts_a_long_call(name, threads):
    x, m, call = LONG_CALLS[name]
    # A shell starts a background job with SIGINT ignored, and the child inherits that: it
    # installs the interpreter's own handler, as an interactive session has it.
    code = PRELUDE + textwrap.dedent(f"""
        signal.signal(signal.SIGINT, signal.default_int_handler)
        x = {x}; m = {m}
        print("ready", flush=True)
        start = time.monotonic()
        try:
            {call}
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        # Every borrow was released: x and m can be borrowed for writing.
        for a in (x, m):
            vt._testing.with_write_borrow(a.reshape(-1).view(np.float64), lambda: None)
        print("released")
    """)
    # A pool of one thread runs the work on the calling thread itself, which must still poll. The
    # pool of several has a fixed size, not the processor count: on many cores the calls that
    # spread would end before the signal.
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["RAYON_NUM_THREADS"] = threads
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=env)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=60)
        waited = time.monotonic() - sent
    finally:
        child.kill()
    assert (child.returncode, out, err) == (0, "interrupted\nreleased\n", "")
    assert waited < 3.0
