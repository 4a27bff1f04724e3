"""Time of ensemble_compute for a number lognormal of spheres (median radius
0.1 um, geometric width 2, m = 1.53 + 0.008i) at 16 wavelengths from 0.4 to
1.15 um with 181 cosines: rtol 1e-4 and 1e-6, without and with the Greek
coefficients of all orders, 0 and 4 derivative parameters, on 1, 2, 4 and all
threads (RAYON_NUM_THREADS, one process per thread count). Then a batch of 10
lognormal distributions against 10 separate calls, and the time per distribution of batches of
20000 and 80000 monodisperse distributions. Prints two tables and three lines."""

import json
import os
import subprocess
import sys
import timeit

import numpy as np

import vantok._vantok as vt

REPEATS = 2
WAVELENGTHS = np.linspace(0.4, 1.15, 16)
MU = np.cos(np.radians(np.arange(181.0)))
SPHERE = ("sphere", np.full(16, 1.53 + 0.008j))


def best(call):
    return min(timeit.repeat(call, number=1, repeat=REPEATS))


def compute(items, rtol, all_orders, derivatives):
    return vt.ensemble_compute(items, WAVELENGTHS, False, None, all_orders, MU, True, derivatives, rtol, 100000,
                               False, True)


def one_thread_count():
    """The cases of the first table in this process: {case: seconds}."""
    items = [(("lognormal", 0.1, 2.0), SPHERE, 1.0)]
    out = {}
    for rtol in (1e-4, 1e-6):
        for all_orders in (False, True):
            for derivatives in ([], [0, 1, 2, 3]):
                out[f"{rtol:.0e} {'all' if all_orders else 'none':>5} {len(derivatives)}"] = best(
                    lambda: compute(items, rtol, all_orders, derivatives))
    return out


if __name__ == "__main__" and sys.argv[1:] == ["--cases"]:
    print(json.dumps(one_thread_count()))
    sys.exit()

counts = sorted({1, 2, 4, os.cpu_count()})
columns = {}
for threads in counts:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    run = subprocess.run([sys.executable, __file__, "--cases"], env=env, capture_output=True, text=True, check=True)
    columns[threads] = json.loads(run.stdout)

print(f"ensemble_compute, lognormal spheres, 16 wavelengths, 181 cosines (seconds, best of {REPEATS})")
print(f"{'rtol':>6}{'Greek':>6}{'P':>3}" + "".join(f"{f'{t} thr':>10}" for t in counts))
for case in columns[counts[0]]:
    print(case + "".join(f"{columns[t][case]:10.3f}" for t in counts))

specs = [("lognormal", r, w) for r in (0.05, 0.1, 0.2, 0.3, 0.5) for w in (1.5, 2.0)]
for rtol in (1e-4, 1e-6):
    together = best(lambda: vt.ensemble_compute_batch(specs, SPHERE, WAVELENGTHS, None, False, MU, True, rtol, 100000,
                                                      False, True))
    separate = best(lambda: [compute([(s, SPHERE, 1.0)], rtol, False, []) for s in specs])
    print(f"batch of {len(specs)} at rtol {rtol:.0e}, all threads: {together:.3f} s; "
          f"separate calls: {separate:.3f} s ({separate / together:.2f}x)")

# Batches of many distributions (a lookup table over a grid of sizes): the time per distribution
# should not grow with their number.
for count in (20_000, 80_000):
    grid = [("monodisperse", 0.1 + 1e-5 * k) for k in range(count)]
    seconds = best(lambda: vt.ensemble_compute_batch(grid, ("sphere", np.array([1.53 + 0.008j])), np.array([0.55]),
                                                     None, False, np.zeros(0), True, 1e-4, 100, False, True))
    print(f"batch of {count} monodisperse distributions at one wavelength: {seconds:.3f} s "
          f"({1e6 * seconds / count:.1f} us per distribution)")
