"""The spheroid solver's speed figures: tmatrix_random of one randomly oriented
spheroid (m = 1.5 + 0.02i, precision "auto", Greek coefficients) for each
(x, eps, rtol) of the table, on one thread and on the whole pool, median of
5; then, in one run on one thread, (15, 2) at rtol 1e-6 against the textbook
C Mie solver of bench/yardstick on the 10^5-sphere set of
bench_sphere_set.py (compiled and timed the same way), as a ratio.

Each thread count runs in a child interpreter with RAYON_NUM_THREADS set (the
pool reads it once). Pin the whole run with taskset to measure on given
cores. CASES may narrow the table, e.g. CASES="15,2,1e-6 30,1.5,1e-6"; the
(60, 1.5) case is solved with allow_unvalidated and timed once."""

import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import vantok._vantok as vt
import yardstick

DEFAULT_CASES = [(5, 1.5, 1e-6), (15, 2, 1e-4), (15, 2, 1e-6), (15, 2, 1e-9), (30, 1.5, 1e-4), (30, 1.5, 1e-6),
                 (30, 1.5, 1e-9), (60, 1.5, 1e-9)]
REPEATS = 5


def cases():
    given = os.environ.get("CASES")
    if not given:
        return DEFAULT_CASES
    return [tuple(float(v) for v in c.split(",")) for c in given.split()]


def spheroid_seconds(x, eps, rtol):
    """Seconds of one tmatrix_random call with the Greek coefficients."""
    start = time.perf_counter()
    vt.tmatrix_random(np.array([float(x)]), np.array([1.5 + 0.02j]), np.array([float(eps)]), rtol, "auto", None,
                      None, False, x >= 60, False, True, None, None, True)
    return time.perf_counter() - start


def sphere_set():
    """The textbook solver on the 10^5-sphere set of bench_sphere_set.py: a
    function returning the seconds of one run."""
    textbook = yardstick.textbook(*yardstick.sphere_set(np.random.default_rng(25)))

    def run():
        start = time.perf_counter()
        textbook()
        return time.perf_counter() - start

    return run


def child():
    """The medians of this process's pool, and on one thread the ratio."""
    result = {"cases": {}}
    for x, eps, rtol in cases():
        repeats = 1 if x >= 60 else REPEATS
        result["cases"][f"{x:g},{eps:g},{rtol:g}"] = statistics.median(
            spheroid_seconds(x, eps, rtol) for _ in range(repeats))
    if os.environ.get("RAYON_NUM_THREADS") == "1":
        textbook = sphere_set()
        spheroid, spheres = [], []
        for _ in range(REPEATS):
            spheroid.append(spheroid_seconds(15, 2, 1e-6))
            spheres.append(textbook())
        result["ratio"] = [statistics.median(spheroid), statistics.median(spheres)]
    print(json.dumps(result))


def main():
    runs = {}
    for label, threads in (("1 thread", "1"), ("pool", None)):
        env = dict(os.environ, FIGURES_CHILD="1")
        if threads:
            env["RAYON_NUM_THREADS"] = threads
        out = subprocess.run([sys.executable, __file__], env=env, check=True, capture_output=True, text=True)
        runs[label] = json.loads(out.stdout.strip().splitlines()[-1])
    pool = os.environ.get("RAYON_NUM_THREADS") or f"{len(os.sched_getaffinity(0))} cores"
    print(f"tmatrix_random, m = 1.5+0.02i, auto, Greek; median of {REPEATS} ((60, 1.5): one run); pool = {pool}")
    print(f"{'(x, eps, rtol)':<22}{'1 thread':>10}{'pool':>10}{'speed-up':>10}")
    for case, one in runs["1 thread"]["cases"].items():
        all_ = runs["pool"]["cases"][case]
        print(f"{case:<22}{one:9.3f}s{all_:9.3f}s{one / all_:9.2f}x")
    spheroid, spheres = runs["1 thread"]["ratio"]
    print(f"(15, 2) rtol 1e-6 on one thread {spheroid:.3f} s against the textbook C solver on 10^5 spheres "
          f"{spheres:.3f} s: ratio {spheroid / spheres:.2f}")


if __name__ == "__main__":
    child() if os.environ.get("FIGURES_CHILD") else main()
