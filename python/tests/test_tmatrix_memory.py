"""Spheroid calls whose work or output would not fit, and spheroids of vast refractive index, each in an
interpreter of its own: under an address-space cap the call ends at once with a refusal that says what
would not fit (the work-memory budget is half the address space), before allocating it or copying its
inputs; a recurrence that could not end is refused; one that is merely long ends on Ctrl-C."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest
from conftest import SANITIZED

CAP = 4 * 10**9

PRELUDE = """
import json, resource, signal, sys
import numpy as np
import vantok._vantok as vt
"""

ROW = "invalid input: "
GUARD = ROW + "the {} would hold {} real values{}, more than 2 * MAX_MIE_VALUES = 268435456"
WORK = (r"cannot allocate 84083500 values for the {} EBCM matrices of 501 modes \(N = 500\) and their quadrature "
        r"work arrays: they would take (\d+) bytes, more than the work-memory budget of (\d+) bytes")
RECURRENCE = ("cannot allocate 18446744073709551615 values for the downward ratio recurrence at |z| = {}: its start "
              "order exceeds 4503599627370496, beyond which the orders are not exact doubles")
SPHEROID = "1.0, 1.5, 0.01, 2.0, 1e-6, 'auto'"
ONE = "np.array([1.0]), np.array([{}]), np.array([2.0]), 1e-6, 'auto', None, None, False, {}, False, False, None"

# (call, exception class, message or pattern of the work refusal): the reproducers.
CAPPED = {
    # 500 terms, the most allowed: the matrices of every mode at N = 500 (zero for those not solved).
    "terms": (f"vt.TMatrixObject({SPHEROID}, 500, None, False, False, False)", "MemoryError", WORK.format("f64")),
    "terms-large-x": ("vt.TMatrixObject(1e6, 1.5, 0.01, 2.0, 1e-6, 'auto', 500, None, False, True, False)",
                      "MemoryError", WORK.format("f64")),
    "terms-large-m": ("vt.TMatrixObject(1.0, 1e3, 0.01, 2.0, 1e-6, 'auto', 500, None, False, True, False)",
                      "MemoryError", WORK.format("f64")),
    # Output guards, before the cosines are copied and before any solve.
    "cosines": (f"vt.tmatrix_random({ONE.format('1.5+0.01j', False)}, np.broadcast_to(0.5, (2**28,)), True)",
                "InvalidInputError", re.escape(GUARD.format("phase matrix", 8053063680, ""))),
    "more-cosines": (f"vt.tmatrix_random({ONE.format('1.5+0.01j', False)}, np.broadcast_to(0.5, (2**31,)), True)",
                     "InvalidInputError", re.escape(GUARD.format("phase matrix", 64424509440, ""))),
    "object-cosines": (f"vt.TMatrixObject({SPHEROID}, None, None, False, False, False)"
                       ".phase_matrix(np.broadcast_to(0.5, (2**26,)), True)",
                       "InvalidInputError", re.escape(GUARD.format("phase matrix", 402653184, ""))),
    "greek": ("vt.tmatrix_random(np.full(22, 1.0), np.full(22, 1.5+0.01j), np.full(22, 1.5), 1e-6, 'auto', None, "
              "None, False, False, False, True, 2097152, None, True)",
              "InvalidInputError", re.escape(GUARD.format("Greek coefficients", 276824196, ""))),
    "greek-derivatives": ("vt.tmatrix_random(np.full(22, 1.0), np.full(22, 1.5+0.01j), np.full(22, 1.5), 1e-6, "
                          "'auto', None, None, False, False, True, True, 2097152, None, True)", "InvalidInputError",
                          re.escape(GUARD.format("Greek coefficients", 1384120980, " (counting derivatives)"))),
    # A ratio recurrence from beyond 2^52 would not end.
    "vast-index": (f"vt.tmatrix_random({ONE.format('1e308+0.01j', True)}, None, True)", "MemoryError",
                   re.escape(RECURRENCE.format("1.2555337871599558e308"))),
    "vast-index-object": ("vt.TMatrixObject(1.0, 1e308, 0.01, 2.0, 1e-6, 'auto', None, None, False, True, False)",
                          "MemoryError", re.escape(RECURRENCE.format("1.2555337871599558e308"))),
}


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves a vast shadow address range")
@pytest.mark.parametrize("name", sorted(CAPPED))
def test_refused_under_an_address_space_cap(name):
    call, cls, pattern = CAPPED[name]
    code = PRELUDE + textwrap.dedent(f"""
        resource.setrlimit(resource.RLIMIT_AS, ({CAP}, resource.RLIM_INFINITY))
        try:
            {call}
            outcome = None
        except BaseException as e:
            outcome = [type(e).__name__, str(e)]
        # The peak of this process's own memory (ru_maxrss would count the parent's too).
        peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
        print(json.dumps([outcome, peak]))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    (got_cls, message), peak_kib = json.loads(done.stdout)
    assert got_cls == cls
    match = re.fullmatch(pattern, message)
    assert match, message
    if match.groups():
        need, budget = map(int, match.groups())
        assert need > budget and budget <= CAP // 2
    # Refused before the work arrays or the copies were allocated.
    assert peak_kib < 400 * 1024


# Spheroids whose ratio recurrences start far above N (ten billion orders per node): a call would run
# for hours, but ends on Ctrl-C.
VAST = {
    "real-part": f"vt.tmatrix_random({ONE.format('1e10+0.01j', True)}, None, True)",
    "imaginary-part": "vt.TMatrixObject(1.0, 1.5, 1e10, 2.0, 1e-6, 'auto', None, None, False, True, False)",
}


@pytest.mark.parametrize("threads", ["1", None])
@pytest.mark.parametrize("name", sorted(VAST))
def test_sigint_ends_a_vast_index_solve(name, threads):
    # The child sends itself SIGINT half a second into the call and reports how long the call took to end.
    # A background job may start with SIGINT ignored: it installs the default handler first.
    code = PRELUDE + textwrap.dedent(f"""
        import os, threading, time
        signal.signal(signal.SIGINT, signal.default_int_handler)
        sent = []
        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Timer(0.5, interrupt).start()
        try:
            {VAST[name]}
            print(json.dumps(["finished"]))
        except KeyboardInterrupt:
            print(json.dumps(["interrupted", time.monotonic() - sent[0]]))
    """)
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads:
        env["RAYON_NUM_THREADS"] = threads
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    outcome, waited = json.loads(done.stdout)
    assert outcome == "interrupted" and waited < 3.0


# A solve that runs out of address space part-way, with the cap set just before the first call (the
# pool's threads start under it): the call ends with MemoryError or a result, and the interpreter lives
# on. A pool thread's first throw used to set up the C++ runtime's thread-local state there and then,
# and glibc ends the process when that allocation fails; oneTBB does the same when it cannot start a
# thread.
@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves a vast shadow address range")
@pytest.mark.parametrize("room_mib", [250, 300, 350, 400])
def test_running_out_of_address_space_mid_solve_is_a_memory_error(room_mib):
    code = PRELUDE + textwrap.dedent(f"""
        used = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (used * 1024 + {room_mib} * 2**20, resource.RLIM_INFINITY))
        for _ in range(3):
            try:
                vt.tmatrix_random(np.array([40.0]), np.array([1.5+0.02j]), np.array([1.5]), 1e-6, "auto", None,
                                  None, False, True, False, True, None, None, True)
                print("result")
            except MemoryError:
                print("MemoryError")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    assert done.stdout.split() and set(done.stdout.split()) <= {"result", "MemoryError"}


# The highest Greek order of one small spheroid (N = 4 or so): 503 MB of outputs with derivatives, almost
# all of them the zeros above 2N. With 64 MiB of address space to spare beyond them the call succeeds
# (no padded copy of the series in doubles or over dual numbers, which took 1 GB), and its orders up to
# 2N are the bits of the default order 2N.
@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves a vast shadow address range")
@pytest.mark.parametrize("derivatives", [False, True])
def test_a_large_greek_order_of_a_solved_spheroid_costs_its_outputs_alone(derivatives):
    code = PRELUDE + textwrap.dedent(f"""
        t = vt.TMatrixObject({SPHEROID}, None, None, False, False, {derivatives})
        low, low_d = t.greek(None, False)
        size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
        room = size * 1024 + {30 if derivatives else 6} * (2**21 + 1) * 8 + 2**26
        resource.setrlimit(resource.RLIMIT_AS, (room, resource.RLIM_INFINITY))
        try:
            high, high_d = t.greek(2**21, False)
        except MemoryError as e:
            print(json.dumps(["MemoryError", str(e)]))
            sys.exit()
        L = low.shape[-1]
        same = [high[:, :L].tobytes() == low.tobytes(), not high[:, L:].any()]
        if {derivatives}:
            same += [high_d[..., :L].tobytes() == low_d.tobytes(), not high_d[..., L:].any()]
        print(json.dumps([list(high.shape), L == 2 * t.n_terms + 1] + same))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    expected = [[6, 2**21 + 1], True, True, True] + ([True, True] if derivatives else [])
    assert json.loads(done.stdout) == expected


# The outputs of a solved spheroid are computed with the interpreter lock held; the first one computes its
# orientation average, some seconds of processor time at N = 130 and minutes at N = 500. Ctrl-C ends it
# (SIGINT from another process: no Python thread runs while the lock is held) well before the rest of the
# average would be done, and the stopped average is not kept: the next call computes it whole, to the bits
# of a fresh object's. Under the sanitizers, whose code runs ten times slower, N = 70 costs what N = 130
# costs without them.
METHODS = {"efficiencies": "o.efficiencies()[0]", "greek": "o.greek(None, True)[0]",
           "phase": "o.phase_matrix(np.array([1.0, 0.2, -1.0]), False)[0]"}

# Sends SIGINT to the process `argv[1]` once its processor time (all its threads, from /proc) reaches the
# number read from stdin, and prints the processor time it had then. Processor time counts the work done,
# however loaded the host: a signal timed by the clock could come when the work is nearly over.
INTERRUPTER = """
import os, signal, sys, time
pid = int(sys.argv[1])
def cpu():
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
at = float(sys.stdin.readline())
while (used := cpu()) < at:
    time.sleep(0.002)
os.kill(pid, signal.SIGINT)
print(used, flush=True)
"""


@pytest.mark.parametrize("name", sorted(METHODS))
def test_sigint_ends_the_first_orientation_average(name):
    make = f"vt.TMatrixObject(3.0, 1.5, 0.0, 2.0, 1e-6, 'f64', {70 if SANITIZED else 130}, 1, False, False, False)"
    # The child times the whole average on a fresh object (processor time), has a second one's interrupted
    # an eighth of the way in, then computes that one's again.
    code = PRELUDE + textwrap.dedent(f"""
        import os, subprocess, time
        signal.signal(signal.SIGINT, signal.default_int_handler)
        interrupter = subprocess.Popen([sys.executable, "-c", {INTERRUPTER!r}, str(os.getpid())],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        o = {make}
        start = time.process_time()
        fresh = {METHODS[name]}
        whole = time.process_time() - start
        o = {make}
        start = time.process_time()
        interrupter.stdin.write(f"{{start + whole / 8}}\\n")
        interrupter.stdin.flush()
        try:
            {METHODS[name]}
            outcome = "finished"
        except KeyboardInterrupt:
            outcome = "interrupted"
        stopped = time.process_time() - start
        if outcome == "finished":  # before the signal was due: it never comes
            interrupter.kill()
        sent = float(interrupter.stdout.readline() or "nan") - start
        interrupter.wait()
        again = {METHODS[name]}
        print(json.dumps([outcome, sent, stopped, whole, bool(np.array_equal(again, fresh))]))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    outcome, sent, stopped, whole, same = json.loads(done.stdout)
    # After the signal the call did less than half of what remained of the average.
    assert outcome == "interrupted" and stopped - sent < (whole - sent) / 2 and same, (sent, stopped, whole)
