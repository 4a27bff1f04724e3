"""Greek coefficients to all orders of one sphere (m = 1.5 + 0.01i) by
mie_greek, and of a two-layer sphere of the same outer size by layered_greek,
at x = 10, 100, 1000 and 5000, without derivatives: the time per call, the
number of terms N and that time divided by the 4 Q (2N + 1) Wigner values of
the projection (Q = 2N + 1 nodes); the time grows as x^2. Prints one table."""

import timeit

import numpy as np

import vantok._vantok as vt

REPEATS = 3

print(f"Greek coefficients of one particle, all orders (best of {REPEATS})")
print(f"{'call':<15}{'x':>7}{'N':>7}{'seconds':>11}{'ns/Wigner value':>17}")
for x_outer in (10.0, 100.0, 1000.0, 5000.0):
    calls = {
        "mie_greek": lambda: vt.mie_greek(np.array([x_outer]), np.array([1.5 + 0.01j]), None, None, False, False,
                                          True),
        "layered_greek": lambda: vt.layered_greek(np.array([[0.7 * x_outer, x_outer]]),
                                                  np.array([[1.33 + 0j, 1.5 + 0.01j]]), None, None, False, False,
                                                  True),
    }
    for name, call in calls.items():
        terms = int(call()[0][0])
        nodes = 2 * terms + 1
        seconds = min(timeit.repeat(call, number=1, repeat=REPEATS))
        print(f"{name:<15}{x_outer:7.0f}{terms:7d}{seconds:11.5f}{1e9 * seconds / (4 * nodes * (2 * terms + 1)):17.2f}")
