#!/usr/bin/python3
"""SHA-256 digests of every bit of wigner_d, mie_greek and layered_greek over
fixed pseudo-random input sets, written to greek_hashes.txt: a faster Wigner
recurrence, Gauss-Legendre rule or Greek projection must change no bit
(test_greek_hashes.py recomputes them). Regenerate only when an output is meant
to change, with the build whose outputs are to be pinned:

    PYTHONPATH=build/python /usr/bin/python3 python/tests/data/gen_greek_hashes.py

The sets cover every recurrence of the Wigner functions (both sides of x = 0,
+-0.9 and 1, mirrored arguments, extended-range starts) and for the Greek
coefficients the default order, orders below and above 2N, order 0, a given
n_max, both normalisations and derivatives on and off. Lines: case name, digest.

The sets are drawn with arithmetic alone (portable_math), never NumPy's exp or
**, so that they, and hence the digests, are the same on every host.
"""
import hashlib
import itertools
import os
import sys

import numpy as np

import vantok._vantok as vt
from portable_math import exp, exp10, log

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "greek_hashes.txt")


def digest(*arrays):
    h = hashlib.sha256()
    for a in arrays:
        if a is None:
            h.update(b"None")
            continue
        a = np.ascontiguousarray(a)
        h.update(f"{a.dtype.str}{a.shape}".encode())
        h.update(a.tobytes())
    return h.hexdigest()


def wigner_arguments(rng):
    edges = [-1.0, -0.9999, np.nextafter(-0.9, -1.0), -0.9, np.nextafter(-0.9, 0.0), -0.5, -0.0, 0.0,
             1e-300, 0.3, np.nextafter(0.9, 0.0), 0.9, np.nextafter(0.9, 1.0), 0.95, 0.9999,
             1.0 - 2.0**-40, np.nextafter(1.0, 0.0), 1.0]
    random = rng.uniform(-1.0, 1.0, 40)
    near_ends = np.concatenate([1.0 - exp10(rng.uniform(-14, -1, 8)), -1.0 + exp10(rng.uniform(-14, -1, 8))])
    nodes = np.concatenate([vt.gauss_legendre(n)[0] for n in (1, 2, 7, 40, 100, 101, 257)])
    return np.concatenate([np.array(edges), random, near_ends, nodes])


def wigner_cases(sets):
    x = sets["wigner"]
    for m, n in itertools.product(range(-4, 5), range(-4, 5)):
        yield f"wigner_d m={m} n={n} l_max=300", digest(vt.wigner_d(m, n, 300, x))
    # Large indices: extended-range starts near x = +-1 and long plain runs.
    wide = sets["wigner_wide"]
    for m, n, l_max in [(0, 400, 1200), (400, 0, 1200), (-37, 250, 900), (200, -150, 1000), (17, 17, 600),
                        (-60, 60, 600), (1000, -999, 1100), (3, 1, 0), (5, 7, 6)]:
        yield f"wigner_d m={m} n={n} l_max={l_max}", digest(vt.wigner_d(m, n, l_max, wide))


def spheres(rng, count, x_low, x_high):
    x = exp(rng.uniform(log(x_low), log(x_high), count))
    m = rng.uniform(1.05, 2.0, count) + 1j * exp10(rng.uniform(-5.0, 0.0, count))
    m[::5] = m[::5].real  # some without absorption
    return x, m


def layered_spheres(rng, layers, count):
    cores = exp10(rng.uniform(-1.0, 1.6, count))
    fractions = np.sort(rng.uniform(0.3, 1.0, (count, layers)), axis=1)
    fractions[:, -1] = 1.0
    x = np.ascontiguousarray(cores[:, None] * fractions)
    m = rng.uniform(1.1, 1.9, (count, layers)) + 1j * exp10(rng.uniform(-4.0, -0.5, (count, layers)))
    return x, m


LAYERED = ((1, 6), (2, 8), (3, 5))  # layers, particles


def input_sets():
    """Every input set, by name (arrays or (x, m) pairs), drawn in a fixed order."""
    rng = np.random.default_rng(27)
    sets = {"wigner": wigner_arguments(rng)}
    sets["wigner_wide"] = np.concatenate([sets["wigner"][:18], rng.uniform(-1.0, 1.0, 6)])
    sets["spheres"] = spheres(rng, 24, 0.05, 60.0)
    sets["big_spheres"] = spheres(rng, 3, 60.0, 400.0)
    for layers, count in LAYERED:
        sets[f"layers={layers}"] = layered_spheres(rng, layers, count)
    return sets


def mie_cases(sets):
    x, m = sets["spheres"]
    big_x, big_m = sets["big_spheres"]
    n = vt.mie_default_n_max(x)
    for derivatives, normalized in ((False, True), (False, False), (True, True), (True, False)):
        tag = f"derivatives={derivatives} normalized={normalized}"
        for order in (None, 0, 1, 2, 3, 7, int(n.max()) // 2, 2 * int(n.max()) + 5):
            out = vt.mie_greek(x, m, order, None, derivatives, False, normalized)
            yield f"mie_greek order={order} {tag}", digest(*out)
        yield f"mie_greek n_max=12 {tag}", digest(*vt.mie_greek(x, m, None, 12, derivatives, True, normalized))
        for k in range(len(big_x)):
            out = vt.mie_greek(big_x[k:k + 1], big_m[k:k + 1], None, None, derivatives, False, normalized)
            yield f"mie_greek x={big_x[k]!r} {tag}", digest(*out)


def layered_cases(sets):
    for layers, _ in LAYERED:
        x, m = sets[f"layers={layers}"]
        for derivatives, normalized, order in itertools.product((False, True), (True, False), (None, 0, 5, 300)):
            out = vt.layered_greek(x, m, order, None, derivatives, False, normalized)
            yield (f"layered_greek layers={layers} order={order} derivatives={derivatives} "
                   f"normalized={normalized}"), digest(*out)


def cases():
    """(name, digest) of every case, in a fixed order."""
    sets = input_sets()
    yield from wigner_cases(sets)
    yield from mie_cases(sets)
    yield from layered_cases(sets)


def read_table():
    with open(TABLE) as f:
        return [tuple(line.rstrip("\n").rsplit(" ", 1)) for line in f if line.strip()]


if __name__ == "__main__":
    rows = list(cases())
    with open(TABLE, "w") as f:
        for name, h in rows:
            f.write(f"{name} {h}\n")
    print(f"{len(rows)} digests written to {TABLE}", file=sys.stderr)
