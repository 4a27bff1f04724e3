"""Throughput of mie_efficiencies: 10^5 spheres with x log-uniform in [0.1, 1000]
and m = 1.33..1.6 + 0..0.1i, with and without the Jacobian. Prints one table."""

import timeit

import numpy as np

import vantok._vantok as vt

N = 100_000
REPEATS = 3

rng = np.random.default_rng(2024)
x = 10.0 ** rng.uniform(-1.0, 3.0, N)
m = rng.uniform(1.33, 1.6, N) + 1j * rng.uniform(0.0, 0.1, N)
terms = vt.mie_default_n_max(x)


print(f"mie_efficiencies, {N} spheres, mean terms {terms.mean():.1f} (best of {REPEATS})")
print(f"{'derivatives':<12}{'seconds':>10}{'spheres/s':>14}{'ns/term':>10}")
for derivatives in (False, True):
    seconds = min(timeit.repeat(lambda: vt.mie_efficiencies(x, m, None, derivatives, False),
                                number=1, repeat=REPEATS))
    print(f"{str(derivatives):<12}{seconds:10.3f}{N / seconds:14.0f}{1e9 * seconds / terms.sum():10.1f}")
