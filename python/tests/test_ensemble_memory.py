"""The ensemble functions under an address-space cap of 4 GB, each call in a
child interpreter whose cap is set before vantok is imported: calls whose work
or inputs would not fit end within seconds with a refusal that says what would
not fit (the work budget is half the cap, 2 GB), and none is killed. Inputs are
measured before they are copied: vast broadcast arrays cost nothing until
then. Distribution specs nest only a few levels deep, so no thread's stack runs
out while they are parsed."""

import os
import re
import subprocess
import sys
import textwrap

import pytest
from conftest import SANITIZED

pytestmark = pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves a vast shadow address range")

CAP = 4_000_000_000
BUDGET = CAP // 2

PRELUDE = """
import resource
resource.setrlimit(resource.RLIMIT_AS, ({cap}, {cap}))
import threading
import numpy as np
import vantok._vantok as vt

def bcast(value, n, dtype=np.float64):
    return np.broadcast_to(np.asarray(value, dtype=dtype), (n,))

def report(call):
    try:
        call()
        print("ok")
    except BaseException as e:
        print(f"{type(e).__name__}: {e}")
"""


def capped(code, threads=None, cap=CAP):
    """The lines a child interpreter under the cap prints when it runs code."""
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    prelude = PRELUDE.replace("{cap}", str(cap))
    result = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                            env=env, timeout=120)
    assert result.returncode == 0, f"killed or failed ({result.returncode}):\n{result.stdout}\n{result.stderr}"
    return result.stdout.strip().splitlines()


GUARD = "InvalidInputError: invalid input: the ensemble outputs would exceed 2 * MAX_MIE_VALUES = 268435456 real values"
LOGNORMAL = "('lognormal', 0.1, 2.0)"
SETTINGS = "None, False, np.zeros(0), True"


def greek_refusal(wavelength, budget):
    """The refusal of a second pass beyond the whole budget; groups: its values and its bytes."""
    return (r"MemoryError: cannot allocate (\d+) values for the angular tables and sums of the Greek quadrature at "
            rf"wavelength {wavelength}: they would take (\d+) bytes, more than the work-memory budget of {budget} "
            "bytes")


@pytest.mark.parametrize("threads", [1, None])
def test_work_beyond_the_budget_is_refused_before_the_second_passes(threads):
    # 8 wavelengths of a wide lognormal with every Greek order, 91 cosines and four derivatives, on one thread
    # and on the pool: the second pass of the first alone needs more than the budget (no second pass starts,
    # and on one thread no other first pass).
    [last] = capped("""
        report(lambda: vt.ensemble_compute([(('lognormal', 2.0, 2.0), ('sphere', np.full(8, 1.5 + 0.01j)), 1.0)],
                                           np.linspace(0.4, 1.0, 8), False, None, True, np.linspace(-1, 1, 91), True,
                                           [0, 1, 2, 3], 1e-7, 100000, False, True))
        """, threads)
    found = re.fullmatch(greek_refusal("4e-1", BUDGET), last)
    assert found, last
    assert int(found[2]) == 8 * int(found[1]) > BUDGET


@pytest.mark.parametrize("threads", [1, 3])
def test_a_refusal_found_after_the_first_passes_ends_the_call_then(threads):
    # Under a cap of 2.4 GB (a budget of 1.2 GB), the second pass of the first wavelength fits (about 0.7 of the
    # budget) and those of the two others do not: the call is refused with the lower of them once the first passes
    # are done (the third, the smaller, finishes its first pass first on the pool), and none of them runs its second
    # pass. Its peak resident memory stays below a quarter of the budget: running the first one's second pass would
    # take more than half of it.
    cap = 2_400_000_000
    lines = capped("""
        start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        report(lambda: vt.ensemble_compute([(('lognormal', 2.0, 2.0), ('sphere', np.full(3, 1.5 + 0.01j)), 1.0)],
                                           np.array([0.3, 0.2, 0.25]), False, None, True, np.linspace(-1, 1, 9), True,
                                           [], 1e-4, 100000, False, True))
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start) * 1024)
        """, threads, cap)
    assert re.fullmatch(greek_refusal("2e-1", cap // 2), lines[0]), lines[0]
    assert int(lines[1]) < cap // 2 // 4, lines


@pytest.mark.parametrize("threads", [1, 3])
def test_the_error_of_a_failing_call_is_the_same_at_any_pool_size(threads):
    # Wavelength 0 (m = 1) fails in its outputs, wavelength 17 is refused with its first pass (as above), and the
    # others fit. On one thread they run in two rounds, the first of which finds the failure of wavelength 0 before
    # any first pass of the second; on three, in one. Either way the refusal is the call's error: it is found with
    # its first pass, and such a failure is reported before one found later in a second pass.
    cap = 2_400_000_000
    [line] = capped("""
        m = np.full(18, 1.5 + 0.01j)
        m[0] = 1.0
        report(lambda: vt.ensemble_compute([(('lognormal', 2.0, 2.0), ('sphere', m), 1.0)],
                                           np.array([50.0] * 17 + [0.2]), False, None, True, np.linspace(-1, 1, 9),
                                           True, [], 1e-4, 20, False, True))
        """, threads, cap)
    assert re.fullmatch(greek_refusal("2e-1", cap // 2), line), line


@pytest.mark.parametrize("call, message", [
    # 2**28 wavelengths and indices: the output guard, before either is copied.
    (f"vt.ensemble_compute([({LOGNORMAL}, ('sphere', bcast(1.5 + 0j, 2**28, np.complex128)), 1.0)], "
     f"bcast(0.5, 2**28), False, {SETTINGS}, [], 1e-4, 1000, False, True)", GUARD),
    (f"vt.ensemble_compute_batch([{LOGNORMAL}], ('sphere', bcast(1.5 + 0j, 2**28, np.complex128)), "
     f"bcast(0.5, 2**28), {SETTINGS}, 1e-4, 1000, False, True)", GUARD),
    # An index array of the wrong length: refused by its length, before it is copied.
    (f"vt.ensemble_compute([({LOGNORMAL}, ('sphere', bcast(1.5 + 0j, 2**28, np.complex128)), 1.0)], "
     f"np.array([0.5, 0.6]), False, {SETTINGS}, [], 1e-4, 1000, False, True)",
     "InvalidInputError: invalid input: component 0 has 268435456 refractive indices for 2 wavelengths"),
    (f"vt.ensemble_compute_batch([{LOGNORMAL}], ('sphere', bcast(1.5 + 0j, 2**28, np.complex128)), "
     f"np.array([0.5, 0.6]), {SETTINGS}, 1e-4, 1000, False, True)",
     "InvalidInputError: invalid input: 268435456 refractive indices for 2 wavelengths"),
    # Cosines that pass the guard (no wavelength) are copied within the budget, or refused with what they are.
    (f"vt.ensemble_compute([({LOGNORMAL}, ('sphere', np.zeros(0, np.complex128)), 1.0)], np.zeros(0), False, "
     f"None, False, bcast(0.0, 2**30), True, [], 1e-4, 1000, False, True)",
     f"MemoryError: cannot allocate 1073741824 values for the cosines: they would take 8589934592 bytes, more than "
     f"the work-memory budget of {BUDGET} bytes"),
    # A tabulated distribution of 2**24 equal radii is read in place and refused by its values at once; a longer
    # one by its length, before it is read.
    (f"vt.ensemble_compute([(('tabulated', bcast(1.0, 2**24), bcast(1.0, 2**24)), ('sphere', np.array([1.5 + 0j])), "
     f"1.0)], np.array([0.5]), False, {SETTINGS}, [], 1e-4, 1000, False, True)",
     "InvalidInputError: invalid input: component 0: invalid input: tabulated radii must increase"),
    (f"vt.ensemble_parameters([(('tabulated', bcast(1.0, 2**31), [1.0]), ('sphere', np.array([1.5 + 0j])), 1.0)], "
     f"False)", "InvalidInputError: invalid input: the tabulated radii would hold 2147483648 real values, more than "
                "2 * MAX_MIE_VALUES = 268435456"),
    # A vast layer count: its parameters are counted, not listed, until they are asked for.
    (f"vt.ensemble_compute([({LOGNORMAL}, ('layered', np.zeros(0), np.broadcast_to(np.complex128(1.5), (2**40, 2))), "
     f"1.0)], np.array([0.5, 0.6]), False, {SETTINGS}, [], 1e-4, 1000, False, True)",
     "InvalidInputError: invalid input: component 0: a layered sphere needs 1 to 1024 layers, got 1099511627776"),
    (f"vt.ensemble_parameters([({LOGNORMAL}, ('layered', np.zeros(0), np.broadcast_to(np.complex128(1.5), "
     f"(2**40, 2))), 1.0)], False)",
     r"MemoryError: cannot allocate 2199023255554 values for the parameter list: they would take \d+ bytes, more "
     rf"than the work-memory budget of {BUDGET} bytes"),
])
def test_inputs_are_measured_before_they_are_copied(call, message):
    [line] = capped(f"report(lambda: {call})")
    assert line == message or re.fullmatch(message, line), line


LENGTHS = "invalid input: {}: invalid input: a tabulated distribution needs at least 2 points and as many " \
          "densities as radii, got {} radii and {} densities"


@pytest.mark.parametrize("call, message", [
    # A tabulated table of 2**27 radii (1 GB) and one density, in either function and either sequence.
    (f"vt.ensemble_compute([(('tabulated', bcast(1.0, 2**27), np.array([1.0])), ('sphere', np.array([1.5 + 0j])), "
     f"1.0)], np.array([0.5]), False, {SETTINGS}, [], 1e-4, 1000, False, True)",
     LENGTHS.format("component 0", 134217728, 1)),
    (f"vt.ensemble_compute_batch([{LOGNORMAL}, ('tabulated', [0.1, 0.2], bcast(1.0, 2**27))], "
     f"('sphere', np.array([1.5 + 0j])), np.array([0.5]), {SETTINGS}, 1e-4, 1000, False, True)",
     LENGTHS.format("distribution 1", 2, 134217728)),
    # The most cosines (268 MB) and wavelengths (98 MB) the output guard lets pass, for a particle of the wrong
    # number of indices: the cosines and wavelengths are checked where they lie.
    (f"vt.ensemble_compute([({LOGNORMAL}, ('sphere', np.array([1.5 + 0j, 1.5 + 0j])), 1.0)], np.array([0.5]), "
     f"False, None, False, bcast(0.0, 33554429), True, [], 1e-4, 1000, False, True)",
     "invalid input: component 0 has 2 refractive indices for 1 wavelengths"),
    (f"vt.ensemble_compute([({LOGNORMAL}, ('sphere', np.array([1.5 + 0j])), 1.0)], bcast(0.5, 12201611), False, "
     f"{SETTINGS}, [], 1e-4, 1000, False, True)",
     "invalid input: component 0 has 1 refractive indices for 12201611 wavelengths"),
])
def test_lengths_are_refused_before_any_input_is_copied(call, message):
    # Under a cap of 150 MB (a budget of 75 MB) a copy of any of these inputs would be refused as too large.
    [line] = capped(f"report(lambda: {call})", cap=150_000_000)
    assert line == "InvalidInputError: " + message, line


@pytest.mark.parametrize("cap, what", [
    (800_000_000, "the quadrature panels of a size distribution's moments"),
    (1_500_000_000, "the first pass's panel sums at wavelength 5e-1")])
def test_panels_beyond_the_budget_are_refused_before_they_are_laid_out(cap, what):
    # A tabulated distribution of 2**21 radii puts a panel boundary at each: its moments' panels (about 470 MB)
    # exceed a budget of 400 MB; with 750 MB they fit, and its first pass's panels with their sums do not.
    [line] = capped("""
        n = 2**21
        report(lambda: vt.ensemble_compute([(('tabulated', np.linspace(1.0, 2.0, n), bcast(1.0, n)),
                                             ('sphere', np.array([1.5 + 0.01j])), 1.0)], np.array([0.5]), False, None,
                                           False, np.zeros(0), True, [], 1e-4, 1000, False, True))
        """, cap=cap)
    assert re.fullmatch(rf"MemoryError: cannot allocate \d+ values for {re.escape(what)}: they would take \d+ bytes, "
                        rf"more than the work-memory budget of {cap // 2} bytes", line), line


def test_deep_specs_raise_before_the_stack_runs_out():
    # 900 levels on a thread of 256 KiB of stack, 30000 on the main thread with the recursion limit raised.
    lines = capped(f"""
        def nested(depth):
            spec = {LOGNORMAL}
            for _ in range(depth):
                spec = ('multimodal', [(1.0, spec)])
            return spec

        def parse(depth):
            report(lambda: vt.ensemble_parameters([(nested(depth), ('sphere', np.array([1.5 + 0j])), 1.0)], False))

        threading.stack_size(256 * 1024)
        worker = threading.Thread(target=parse, args=(900,))
        worker.start()
        worker.join()
        import sys
        sys.setrecursionlimit(100000)
        parse(30000)
        """)
    assert lines == ["RecursionError: distribution specs nest at most 8 deep"] * 2
