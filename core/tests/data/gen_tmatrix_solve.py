#!/usr/bin/python3
"""Reference solutions X = -B A^-1 of complex blocks, at 60 significant digits.

Writes tmatrix_solve.txt beside this script. Each case is "case <name> <n>
<cond>" (cond the 1-norm condition number of A), then the lines a, alo, b, blo,
x, xlo: re, im of the row-major matrix's hi parts, then of its lo parts
(zero for f64 cases), every double by repr(). The stored A and B are exact
binary64 or double-double values, so X is the solution of exactly the stored
system.
"""
import os
import random

import mpmath as mp

from gen_tmatrix_functions import dd_pair

mp.mp.dps = 60


def random_case(rng, n):
    a = [[complex(rng.uniform(-1, 1), rng.uniform(-1, 1)) for _ in range(n)] for _ in range(n)]
    # a dominant diagonal keeps these moderately conditioned
    for i in range(n):
        a[i][i] += complex(rng.uniform(1, 2), rng.uniform(-1, 1))
    b = [[complex(rng.uniform(-1, 1), rng.uniform(-1, 1)) for _ in range(n)] for _ in range(n)]
    return [[[(z.real, 0.0, z.imag, 0.0) for z in row] for row in m] for m in (a, b)]


def split(v):
    return dd_pair(mp.re(v)) + dd_pair(mp.im(v))


def cauchy_case(n, shift):
    """A Cauchy (Hilbert-like) complex matrix 1/(i + j + 1 + shift), stored in
    double-double; cond grows fast with n."""
    a = [[split(1 / (mp.mpf(i + j + 1) + shift)) for j in range(n)] for i in range(n)]
    rng = random.Random(7 + n)
    b = [[split(mp.mpc(rng.uniform(-1, 1), rng.uniform(-1, 1)) / 3) for _ in range(n)] for _ in range(n)]
    return a, b


def to_mp(m):
    return mp.matrix([[mp.mpc(mp.mpf(e[0]) + mp.mpf(e[1]), mp.mpf(e[2]) + mp.mpf(e[3])) for e in row] for row in m])


def emit(f, name, a, b):
    A, B = to_mp(a), to_mp(b)
    X = -(B * mp.inverse(A))
    cond = mp.norm(A, 1) * mp.norm(mp.inverse(A), 1)
    xs = [[split(X[i, j]) for j in range(len(a))] for i in range(len(a))]
    f.write(f"case {name} {len(a)} {float(cond)!r}\n")
    for tag, m, part in (("a", a, (0, 2)), ("alo", a, (1, 3)), ("b", b, (0, 2)), ("blo", b, (1, 3)),
                         ("x", xs, (0, 2)), ("xlo", xs, (1, 3))):
        f.write(tag + " " + " ".join(repr(e[k]) for row in m for e in row for k in part) + "\n")


def main():
    rng = random.Random(20261206)
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "tmatrix_solve.txt"), "w") as f:
        for n in (1, 2, 5, 17, 40):
            emit(f, f"random{n}", *random_case(rng, n))
        for n, shift in ((6, mp.mpc(0, "0.5")), (7, mp.mpc("0.25", "0.75")), (8, mp.mpc(0, "0.375")),
                         (11, mp.mpc(0, "0.125"))):
            emit(f, f"cauchy{n}", *cauchy_case(n, shift))


if __name__ == "__main__":
    main()
