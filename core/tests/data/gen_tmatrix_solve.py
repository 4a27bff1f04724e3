#!/usr/bin/python3
"""Reference solutions X = -B A^-1 of complex blocks, at 60 significant digits.

Writes tmatrix_solve.txt beside this script. Each case:

    case <name> <n> <cond>
    a <2 n^2 doubles: re, im of A row-major, exact hi parts>
    alo <2 n^2 doubles: lo parts of A (zero for f64 cases)>
    b <2 n^2 doubles>
    blo <2 n^2 doubles>
    x <2 n^2 doubles: hi parts of the exact X for A = a + alo, B = b + blo>
    xlo <2 n^2 doubles: the remainders of X after the hi parts>

All doubles are printed with repr() and read back exactly. cond is the 1-norm
condition number of A. The matrices are exact binary64 (or double-double)
values, so the references are the solutions of exactly the stored systems.
"""
import os
import random

import mpmath as mp

mp.mp.dps = 60


def dd_split(v):
    hi = float(v)
    lo = float(v - mp.mpf(hi))
    return hi, lo


def random_case(rng, n):
    a = [[complex(rng.uniform(-1, 1), rng.uniform(-1, 1)) for _ in range(n)] for _ in range(n)]
    # a dominant diagonal keeps these moderately conditioned
    for i in range(n):
        a[i][i] += complex(rng.uniform(1, 2), rng.uniform(-1, 1))
    b = [[complex(rng.uniform(-1, 1), rng.uniform(-1, 1)) for _ in range(n)] for _ in range(n)]
    za = [[(z.real, 0.0, z.imag, 0.0) for z in row] for row in a]
    zb = [[(z.real, 0.0, z.imag, 0.0) for z in row] for row in b]
    return za, zb


def cauchy_case(n, shift):
    """A Cauchy (Hilbert-like) complex matrix 1/(i + j + 1 + shift), stored in
    double-double; cond grows fast with n."""
    a = []
    for i in range(n):
        row = []
        for j in range(n):
            v = 1 / (mp.mpf(i + j + 1) + shift)
            hr, lr = dd_split(mp.re(v))
            hi_, li = dd_split(mp.im(v))
            row.append((hr, lr, hi_, li))
        a.append(row)
    rng = random.Random(7 + n)
    b = []
    for i in range(n):
        row = []
        for j in range(n):
            v = mp.mpc(rng.uniform(-1, 1), rng.uniform(-1, 1)) / 3
            hr, lr = dd_split(mp.re(v))
            hi_, li = dd_split(mp.im(v))
            row.append((hr, lr, hi_, li))
        b.append(row)
    return a, b


def to_mp(m):
    return mp.matrix([[mp.mpc(mp.mpf(e[0]) + mp.mpf(e[1]), mp.mpf(e[2]) + mp.mpf(e[3])) for e in row]
                      for row in m])


def flat(m, part):
    out = []
    for row in m:
        for e in row:
            out += [e[part[0]], e[part[1]]]
    return out


def emit(f, name, a, b):
    n = len(a)
    A = to_mp(a)
    B = to_mp(b)
    X = -(B * mp.inverse(A))
    cond = mp.norm(A, 1) * mp.norm(mp.inverse(A), 1)
    xs = []
    for i in range(n):
        row = []
        for j in range(n):
            hr, lr = dd_split(mp.re(X[i, j]))
            hi_, li = dd_split(mp.im(X[i, j]))
            row.append((hr, lr, hi_, li))
        xs.append(row)
    f.write(f"case {name} {n} {float(cond)!r}\n")
    for tag, m, part in (("a", a, (0, 2)), ("alo", a, (1, 3)), ("b", b, (0, 2)), ("blo", b, (1, 3)),
                         ("x", xs, (0, 2)), ("xlo", xs, (1, 3))):
        f.write(tag + " " + " ".join(repr(v) for v in flat(m, part)) + "\n")


def main():
    rng = random.Random(20261206)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tmatrix_solve.txt")
    with open(path, "w") as f:
        for n in (1, 2, 5, 17, 40):
            a, b = random_case(rng, n)
            emit(f, f"random{n}", a, b)
        for n, shift in ((6, mp.mpc(0, "0.5")), (7, mp.mpc("0.25", "0.75")), (8, mp.mpc(0, "0.375")),
                         (11, mp.mpc(0, "0.125"))):
            a, b = cauchy_case(n, shift)
            emit(f, f"cauchy{n}", a, b)


if __name__ == "__main__":
    main()
