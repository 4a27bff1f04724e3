"""Throughput of layered_efficiencies: particles of 2 and 10 equal-thickness
layers at outer size parameter x_L = 10, 100 and 1000 (indices alternating
1.5 + 0.01i and 1.33), with and without the per-layer Jacobian. Prints one table."""

import timeit

import numpy as np

import vantok._vantok as vt

REPEATS = 3


def particles(layers, x_outer, count):
    x = np.tile(x_outer * np.arange(1, layers + 1) / layers, (count, 1))
    m = np.tile(np.where(np.arange(layers) % 2 == 0, 1.5 + 0.01j, 1.33 + 0j), (count, 1))
    return x, m


print(f"layered_efficiencies (best of {REPEATS})")
print(f"{'layers':>6}{'x_L':>8}{'count':>8}{'derivatives':>13}{'us/particle':>13}{'ns/term/layer':>15}")
for layers in (2, 10):
    for x_outer in (10.0, 100.0, 1000.0):
        count = max(10, int(20000 / x_outer))
        x, m = particles(layers, x_outer, count)
        terms = int(vt.mie_default_n_max(np.array([x_outer]))[0])
        for derivatives in (False, True):
            seconds = min(timeit.repeat(lambda: vt.layered_efficiencies(x, m, None, derivatives, False),
                                        number=1, repeat=REPEATS)) / count
            print(f"{layers:6d}{x_outer:8.0f}{count:8d}{str(derivatives):>13}{1e6 * seconds:13.2f}"
                  f"{1e9 * seconds / (terms * layers):15.1f}")
