"""Hashes the outputs of every function of vantok._vantok over a fixed random
set of inputs (spheres, layered spheres, amplitudes, phase matrix, Greek
coefficients with and without derivatives and normalisation, one-element and
batched calls, which take the recurrence and the shared-table paths, refused
inputs with their messages, Gauss-Legendre rules and Wigner d). A change of
one bit of any output changes the digest: run it before and after a
restructuring that must keep every result.

    PYTHONPATH=build/python /usr/bin/python3 tools/hash_outputs.py [-v]

The inputs are drawn with arithmetic alone (portable_math), never NumPy's exp,
so that the digest of a build is the same on every host.
"""

import hashlib
import os
import sys

import numpy as np

import vantok._vantok as vt

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python", "tests", "data"))
from portable_math import exp, log  # noqa: E402

VERBOSE = "-v" in sys.argv


class Digest:
    def __init__(self):
        self.total = hashlib.sha256()
        self.parts = {}

    def add(self, name, result):
        h = hashlib.sha256()
        self._feed(h, result)
        self.parts[name] = h.hexdigest()
        self.total.update(name.encode())
        self.total.update(h.digest())

    def _feed(self, h, value):
        if value is None:
            h.update(b"None")
        elif isinstance(value, tuple):
            h.update(b"(")
            for v in value:
                self._feed(h, v)
            h.update(b")")
        elif isinstance(value, np.ndarray):
            h.update(str((value.dtype.str, value.shape)).encode())
            h.update(np.ascontiguousarray(value).tobytes())
        else:
            h.update(repr(value).encode())


def call(digest, name, f, *args):
    try:
        result = f(*args)
    except BaseException as e:  # the refusal is an output too
        result = ("raised", type(e).__name__, str(e))
        if VERBOSE:
            print("raised", name, type(e).__name__, str(e)[:100])
    digest.add(name, result)


def spheres(rng, n):
    x = exp(rng.uniform(log(1e-3), log(300.0), n))
    re = rng.uniform(0.5, 3.0, n)
    kind = rng.integers(0, 4, n)
    im = np.where(kind == 0, 0.0, np.where(kind == 1, rng.uniform(0, 1e-3, n),
                                           np.where(kind == 2, rng.uniform(0, 0.3, n), rng.uniform(0.3, 5.0, n))))
    m = re + 1j * im
    # Fixed special cases: m = 1 in both regimes, tiny and integer x, large |m|.
    x = np.concatenate([x, [0.5, 5.0, 1.0, 2.0, 1e-5, 40.0, 150.0]])
    m = np.concatenate([m, [1.0 + 0j, 1.0 + 0j, 1.5 + 0.1j, 1.33 + 0j, 1.5 + 0j, 9.0 + 9.0j, 1.05 + 0.0j]])
    return x, m


def layered(rng, p, layers):
    x = np.sort(exp(rng.uniform(log(1e-2), log(60.0), (p, layers))), axis=1)
    re = rng.uniform(0.6, 3.0, (p, layers))
    im = np.where(rng.uniform(size=(p, layers)) < 0.3, 0.0, exp(rng.uniform(log(1e-4), log(3.0), (p, layers))))
    m = re + 1j * im
    # Equal neighbouring indices and a zero-thickness shell.
    if layers > 1:
        m[0, 1] = m[0, 0]
        x[1, 1] = x[1, 0]
    return x, m


LAYERS = (1, 2, 3, 5)


def inputs():
    """Every input set, by name, drawn in a fixed order."""
    rng = np.random.default_rng(20240611)
    sets = {"mu": np.concatenate([[-1.0, -0.0, 0.0, 1.0], rng.uniform(-1, 1, 40)]), "spheres": spheres(rng, 60)}
    for layers in LAYERS:
        sets[f"layers={layers}"] = layered(rng, 12, layers)
    return sets


def main():
    sets = inputs()
    d = Digest()
    call(d, "gauss_legendre", lambda: [vt.gauss_legendre(n) for n in (1, 2, 3, 7, 20, 100, 101, 150, 1000, 4097)])
    call(d, "gauss_legendre_0", vt.gauss_legendre, 0)
    mu = sets["mu"]
    for mn in ((0, 0), (2, 2), (2, -2), (0, 2), (1, -3), (3, 1)):
        call(d, f"wigner_d{mn}", vt.wigner_d, mn[0], mn[1], 300, mu)
    call(d, "wigner_d_bad", vt.wigner_d, 0, 0, 5, np.array([2.0]))

    x, m = sets["spheres"]
    call(d, "default_n_max", vt.mie_default_n_max, x)
    for derivatives in (False, True):
        tag = f"d{int(derivatives)}"
        call(d, "mie_efficiencies" + tag, vt.mie_efficiencies, x, m, None, derivatives, True)
        call(d, "mie_coefficients" + tag, vt.mie_coefficients, x, m, None, derivatives, True)
        call(d, "mie_coefficients_nmax" + tag, vt.mie_coefficients, x[:20], m[:20], 400, derivatives, True)
        # Batched (shared table) and one element at a time (recurrences).
        call(d, "mie_amplitudes" + tag, vt.mie_amplitudes, x, m, mu, None, derivatives, True)
        call(d, "mie_amplitudes_single" + tag,
             lambda: [vt.mie_amplitudes(x[i:i + 1], m[i:i + 1], mu, None, derivatives, True) for i in range(len(x))])
        for normalized in (False, True):
            t = tag + f"n{int(normalized)}"
            call(d, "mie_phase" + t, vt.mie_phase_matrix, x, m, mu, None, derivatives, True, normalized)
            call(d, "mie_phase_single" + t,
                 lambda: [vt.mie_phase_matrix(x[i:i + 1], m[i:i + 1], mu, None, derivatives, True, normalized)
                          for i in range(0, len(x), 3)])
            call(d, "mie_greek" + t, vt.mie_greek, x[:40], m[:40], None, None, derivatives, True, normalized)
            call(d, "mie_greek_order" + t, vt.mie_greek, x[:40], m[:40], 17, None, derivatives, True, normalized)
    # Refusals: validated domain, bad index, bad cosines, n_max below the truncation.
    call(d, "mie_refused_domain", vt.mie_efficiencies, np.array([1.0, 3e4]), np.array([1.5, 1.5 + 0j]), None, False, False)
    call(d, "mie_refused_index", vt.mie_efficiencies, np.array([1.0]), np.array([-1.5 + 0j]), None, False, True)
    call(d, "mie_refused_nmax", vt.mie_coefficients, np.array([50.0]), np.array([1.5 + 0j]), 5, False, False)
    call(d, "mie_refused_mu", vt.mie_amplitudes, np.array([1.0]), np.array([1.5 + 0j]), np.array([1.5]), None, False, True)

    for layers in LAYERS:
        xl, ml = sets[f"layers={layers}"]
        for derivatives in (False, True):
            tag = f"L{layers}d{int(derivatives)}"
            call(d, "layered_efficiencies" + tag, vt.layered_efficiencies, xl, ml, None, derivatives, True)
            call(d, "layered_coefficients" + tag, vt.layered_coefficients, xl, ml, None, derivatives, True)
            call(d, "layered_amplitudes" + tag, vt.layered_amplitudes, xl, ml, mu, None, derivatives, True)
            call(d, "layered_amplitudes_single" + tag,
                 lambda: [vt.layered_amplitudes(xl[i:i + 1], ml[i:i + 1], mu, None, derivatives, True)
                          for i in range(len(xl))])
            for normalized in (False, True):
                t = tag + f"n{int(normalized)}"
                call(d, "layered_phase" + t, vt.layered_phase_matrix, xl, ml, mu, None, derivatives, True, normalized)
                call(d, "layered_phase_single" + t,
                     lambda: [vt.layered_phase_matrix(xl[i:i + 1], ml[i:i + 1], mu, None, derivatives, True, normalized)
                              for i in range(0, len(xl), 4)])
                call(d, "layered_greek" + t, vt.layered_greek, xl[:6], ml[:6], None, None, derivatives, True, normalized)
                call(d, "layered_greek_order" + t, vt.layered_greek, xl[:6], ml[:6], 9, None, derivatives, True,
                     normalized)
    call(d, "layered_refused_order", vt.layered_efficiencies, np.array([[2.0, 1.0]]), np.array([[1.5, 1.2 + 0j]]),
         None, False, True)
    call(d, "layered_refused_domain", vt.layered_efficiencies, np.array([[1.0, 2e4]]), np.array([[1.5, 1.2 + 0j]]),
         None, False, False)
    call(d, "layered_refused_derivatives", vt.layered_efficiencies, np.array([[1.0, 2e3]]),
         np.array([[1.5, 1.2 + 0j]]), None, True, False)
    call(d, "layered_refused_index", vt.layered_coefficients, np.array([[1.0, 2.0]]), np.array([[1.5, np.nan + 0j]]),
         None, False, True)

    if VERBOSE:
        for name, h in d.parts.items():
            print(h, name)
    print(d.total.hexdigest(), f"({len(d.parts)} outputs)")


if __name__ == "__main__":
    main()
