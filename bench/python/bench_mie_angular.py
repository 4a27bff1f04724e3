"""Throughput of the angular sphere functions: mie_phase_matrix for 10^4 spheres
(x log-uniform in [0.1, 100], m = 1.33..1.6 + 0..0.1i) at 181 scattering angles,
and mie_greek of one sphere with x = 100 to all orders, with and without
derivatives. Prints one table."""

import timeit

import numpy as np

import vantok._vantok as vt

SPHERES = 10_000
REPEATS = 3

rng = np.random.default_rng(2024)
x = 10.0 ** rng.uniform(-1.0, 2.0, SPHERES)
m = rng.uniform(1.33, 1.6, SPHERES) + 1j * rng.uniform(0.0, 0.1, SPHERES)
mu = np.cos(np.linspace(0.0, np.pi, 181))
terms = vt.mie_default_n_max(x)


rows = []
for derivatives in (False, True):
    seconds = min(timeit.repeat(lambda: vt.mie_phase_matrix(x, m, mu, None, derivatives, False, True),
                                number=1, repeat=REPEATS))
    work = terms.sum() * len(mu)
    rows.append((f"mie_phase_matrix {SPHERES} x {len(mu)}", derivatives, seconds, f"{1e9 * seconds / work:.2f} ns/term/angle"))

x100, m100 = np.array([100.0]), np.array([1.5 + 0.01j])
counts, g, _ = vt.mie_greek(x100, m100, None, None, False, False, True)
for derivatives in (False, True):
    seconds = min(timeit.repeat(lambda: vt.mie_greek(x100, m100, None, None, derivatives, False, True),
                                number=1, repeat=REPEATS))
    rows.append((f"mie_greek x = 100, L = {g.shape[2] - 1}", derivatives, seconds, f"N = {int(counts[0])}"))

print(f"angular sphere functions (best of {REPEATS}; mean terms {terms.mean():.1f} over the spheres)")
print(f"{'call':<34}{'derivatives':>12}{'seconds':>10}  note")
for call, derivatives, seconds, note in rows:
    print(f"{call:<34}{str(derivatives):>12}{seconds:10.4f}  {note}")
