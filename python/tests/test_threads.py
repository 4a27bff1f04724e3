"""The pool's size never shows in a result: the ensemble and spheroid functions, which run on
the process-wide pool, give the same bits in interpreters whose pool has 1, 2 or 3 threads or
the default size (a pool of one thread is what batch and MPI jobs run with)."""

import os
import subprocess
import sys
import textwrap

import pytest

# Each case's outputs (every array of the returned dicts, derivatives, all Greek orders and
# the phase matrix included) hashed in order; the child prints one digest per case.
CASES = """
import hashlib
import numpy as np
import vantok._vantok as vt

def digest(value):
    h = hashlib.sha256()
    def feed(v):
        if isinstance(v, dict):
            for k in sorted(v):
                h.update(k.encode()); feed(v[k])
        elif isinstance(v, (tuple, list)):
            for w in v:
                feed(w)
        else:
            a = np.ascontiguousarray(v)
            h.update(str(a.shape).encode()); h.update(a.tobytes())
    feed(value)
    return h.hexdigest()[:16]

mu = np.linspace(-1.0, 1.0, 7)
m = np.array([1.53 + 0.008j, 1.4 + 0.02j])
wl = np.array([0.55, 0.87])
cases = {
    "gamma": lambda: vt.ensemble_compute([(("gamma", 1.0, 0.1), ("sphere", m[:1]), 1.0)], wl[:1], False, None,
                                         False, np.zeros(0), True, [], 1e-6, 1000, False, True),
    "lognormal-derivatives": lambda: vt.ensemble_compute(
        [(("lognormal", 0.3, 1.6), ("sphere", m), 1.0)], wl, False, None, True, mu, True, [0, 1], 1e-6, 1000,
        False, True),
    "mixture": lambda: vt.ensemble_compute(
        [(("gamma", 0.4, 0.2), ("sphere", m), 0.6),
         (("lognormal", 0.2, 1.5), ("layered", np.array([0.7]), np.array([[1.5 + 0.01j, 1.33 + 0j]] * 2)), 0.4)],
        wl, True, 8, False, mu, False, [0, 3], 1e-5, 1000, False, False),
    "batch": lambda: vt.ensemble_compute_batch([("gamma", 0.2, 0.1), ("power_law", 0.1, 1.0, 3.5)], ("sphere", m),
                                               wl, None, True, mu, True, 1e-6, 1000, False, True),
    "spheroids-derivatives": lambda: vt.tmatrix_random(
        np.array([1.0, 3.0]), np.array([1.5 + 0.01j, 1.33 + 0.001j]), np.array([1.5, 0.6]), 1e-6, "auto", None,
        None, False, False, True, True, None, mu, True),
    "spheroid-double-double": lambda: vt.tmatrix_random(
        np.array([4.0]), np.array([1.5 + 0.02j]), np.array([2.0]), 1e-8, "double-double", None, None, False, False,
        False, True, None, mu, False),
}

def spheroid_object():
    t = vt.TMatrixObject(5.0, 1.5, 0.01, 2.0, 1e-6, "auto", None, None, False, False, True)
    return [t.efficiencies(), t.greek(None, True), t.phase_matrix(mu, True), t.block(1), t.n_terms, t.n_theta]

cases["TMatrixObject"] = spheroid_object
for name, call in cases.items():
    print(name, digest(call()))
"""


def digests(threads):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(CASES)], capture_output=True, text=True, env=env,
                          timeout=600)
    assert (done.returncode, done.stderr) == (0, ""), (threads, done.stderr)
    return done.stdout.splitlines()


def test_every_pool_size_gives_the_same_bits():
    one = digests(1)
    assert len(one) == 7
    for threads in (2, 3, None):
        assert digests(threads) == one, threads


@pytest.mark.parametrize("variable", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
def test_a_pool_of_one_thread_from_either_variable(variable):
    # The constructor and an integrated ensemble, as the pool's users first met them.
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env[variable] = "1"
    done = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import numpy as np, vantok._vantok as vt
        t = vt.TMatrixObject(1.0, 1.5, 0.0, 1.5, 1e-4, "f64", 4, 8, False, False, False)
        r = vt.ensemble_compute([(("gamma", 1.0, 0.1), ("sphere", np.array([1.53 + 0.008j])), 1.0)],
                                np.array([0.55]), False, None, False, np.zeros(0), True, [], 1e-6, 1000, False, True)
        print(t.n_terms, bool(r["converged"][0]))
    """)], capture_output=True, text=True, env=env, timeout=300)
    assert (done.returncode, done.stdout, done.stderr) == (0, "4 True\n", "")
