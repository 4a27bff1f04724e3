"""Throughput on one mixed set of 10^5 spheres (x uniform in [0.1, 100], Re m in
[1.33, 1.6], Im m in [0, 0.1]) on one thread: mie_efficiencies with and without
the Jacobian, layered_efficiencies of two layers (core fraction of the radius
uniform in [0.3, 0.9], each layer's index from the same ranges), and beside
them the plain textbook solver of bench/yardstick (compiled here with gcc -O2,
same term counts), all timed in one run, interleaved, best of the repeats.
Prints one table."""

import os
import sys
import time

import numpy as np

import vantok._vantok as vt
from yardstick import N, sphere_set, textbook as yardstick

REPEATS = int(os.environ.get("REPEATS", "5"))

rng = np.random.default_rng(25)
x, m, terms = sphere_set(rng)
core = rng.uniform(0.3, 0.9, N)
xl = np.ascontiguousarray(np.stack([core * x, x], axis=1))
ml = np.ascontiguousarray(np.stack([rng.uniform(1.33, 1.6, N) + 1j * rng.uniform(0.0, 0.1, N), m], axis=1))

textbook = yardstick(x, m, terms)
# The yardstick is a fair one: it agrees with vantok's efficiencies.
q_vt = vt.mie_efficiencies(x, m, None, False, False)[0]
worst = np.max(np.abs(textbook()[:, 0] - q_vt[0]) / q_vt[0])

cases = {
    "textbook C (gcc -O2)": textbook,
    "mie_efficiencies": lambda: vt.mie_efficiencies(x, m, None, False, False),
    "mie_efficiencies + Jacobian": lambda: vt.mie_efficiencies(x, m, None, True, False),
    "layered_efficiencies, 2 layers": lambda: vt.layered_efficiencies(xl, ml, None, False, False),
    "layered_efficiencies, 2 layers + Jacobian": lambda: vt.layered_efficiencies(xl, ml, None, True, False),
}
best = {name: float("inf") for name in cases}
for _ in range(REPEATS):
    for name, f in cases.items():
        start = time.perf_counter()
        f()
        best[name] = min(best[name], time.perf_counter() - start)

print(f"{N} spheres, x in [0.1, 100], mean terms {terms.mean():.1f}; best of {REPEATS}, one thread; "
      f"yardstick Q_ext within {worst:.1e} of vantok")
print(f"{'':<44}{'us/sphere':>10}{'ns/term':>9}{'/ textbook':>12}")
for name, seconds in best.items():
    ratio = seconds / best["textbook C (gcc -O2)"]
    print(f"{name:<44}{1e6 * seconds / N:10.2f}{1e9 * seconds / terms.sum():9.1f}{ratio:12.2f}")
sys.stdout.flush()
