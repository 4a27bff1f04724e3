"""Time of tmatrix_random for one spheroid (x in {1, 5, 15}, aspect ratio in
{0.5, 2}, m = 1.5 + 0.01i, rtol 1e-6) in each precision: the solve alone, with
the Greek coefficients, with the phase matrix at 181 cosines, with derivatives,
and with all three. Then the TMatrixObject constructor (the solve) against its
first greek() call (the orientation average, computed once and cached). Prints
two tables (seconds, best of a few runs; all threads of the pool)."""

import timeit

import numpy as np

import vantok._vantok as vt
from vantok import errors

MU = np.cos(np.radians(np.arange(181.0)))
M = 1.5 + 0.01j
RTOL = 1e-6
CASES = [(x, eps) for x in (1.0, 5.0, 15.0) for eps in (0.5, 2.0)]
VARIANTS = {"solve": (False, False, False), "greek": (True, False, False), "mu": (False, True, False),
            "deriv": (False, False, True), "all": (True, True, True)}


def best(call, slow):
    return min(timeit.repeat(call, number=1, repeat=1 if slow else 3))


def random(x, eps, precision, greek, mu, derivatives):
    return vt.tmatrix_random(np.array([x]), np.array([M]), np.array([eps]), RTOL, precision, None, None, False,
                             False, derivatives, greek, None, MU if mu else None, True)


def derivatives_built():
    try:
        random(1.0, 2.0, "auto", False, False, True)
    except BaseException:  # noqa: BLE001 - the derivative outputs may not be built yet
        return False
    return True


with_derivatives = derivatives_built()
print(f"tmatrix_random, one spheroid, m = {M}, rtol {RTOL:g} (seconds)")
print(f"{'precision':>14}{'x':>5}{'eps':>5}{'N':>5}" + "".join(f"{v:>9}" for v in VARIANTS))
for precision in ("auto", "f64", "double-double"):
    for x, eps in CASES:
        try:
            n = int(random(x, eps, precision, False, False, False)["n_terms"][0])
        except errors.NotConvergedError as e:  # f64 alone cannot resolve every shape
            print(f"{precision:>14}{x:5.0f}{eps:5.1f}  not converged (achieved {e.achieved:.1e})")
            continue
        row = f"{precision:>14}{x:5.0f}{eps:5.1f}{n:5d}"
        for greek, mu, derivatives in VARIANTS.values():
            if derivatives and not with_derivatives:
                row += f"{'n/a':>9}"
                continue
            row += f"{best(lambda: random(x, eps, precision, greek, mu, derivatives), x > 10):9.4f}"
        print(row)

print("\nTMatrixObject, precision auto: constructor against the first greek() call (seconds)")
print(f"{'x':>5}{'eps':>5}{'construct':>11}{'greek':>9}{'again':>9}")
for x, eps in CASES:
    spheroid = None

    def construct():
        global spheroid
        spheroid = vt.TMatrixObject(x, M.real, M.imag, eps, RTOL, "auto", None, None, False, False, False)

    made = best(construct, x > 10)
    first = timeit.timeit(lambda: spheroid.greek(None, True), number=1)
    again = timeit.timeit(lambda: spheroid.greek(None, True), number=1)
    print(f"{x:5.0f}{eps:5.1f}{made:11.4f}{first:9.4f}{again:9.4f}")
