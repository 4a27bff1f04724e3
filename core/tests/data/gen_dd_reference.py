#!/usr/bin/env python3
"""Reference values for the double-double accuracy tests, from mpmath at 300
bits (about 90 digits), written to dd_reference.txt.

Each line: op a.hi a.lo b.hi b.lo r1 r2 r3, all hexadecimal doubles, where
(a, b) are the inputs (b = 0 for one-argument ops; for powi b.hi is the
exponent n) and r1 + r2 + r3 is the exact result rounded to about 160 bits (each
r the double nearest what the earlier ones leave). Inputs are normalised
double-doubles drawn from a fixed seed, with regimes chosen per op.

Run: python3 gen_dd_reference.py   (rewrites dd_reference.txt beside it)
"""
import math
import pathlib
import random

import mpmath

mpmath.mp.prec = 300
OUT = pathlib.Path(__file__).resolve().parent / "dd_reference.txt"
rng = random.Random(20261206)
ROWS = 160


def dd(exponent, sign=None):
    """A normalised double-double with leading part in [2^e, 2^(e+1))."""
    hi = math.ldexp(1.0 + rng.random(), exponent)
    if sign is None:
        sign = rng.choice((-1.0, 1.0))
    hi = sign * hi
    ulp = math.ulp(hi)
    lo = (rng.random() - 0.5) * ulp  # |lo| <= ulp/2: hi = fl(hi + lo)
    if abs(lo) == ulp / 2:
        lo = 0.0
    assert hi + lo == hi
    return hi, lo


def value(p):
    return mpmath.mpf(p[0]) + mpmath.mpf(p[1])


def triple(v):
    out = []
    rest = mpmath.mpf(v)
    for _ in range(3):
        d = float(rest)
        out.append(d)
        rest -= mpmath.mpf(d)
    return out


def row(op, a, b, ref):
    fields = [op] + [float(x).hex() for x in (a[0], a[1], b[0], b[1])] + [d.hex() for d in triple(ref)]
    return " ".join(fields)


def main():
    lines = []
    zero = (0.0, 0.0)
    for _ in range(ROWS):
        # Sums: comparable exponents (with cancellation) and far apart ones.
        ea = rng.randint(-900, 900)
        a = dd(ea)
        b = dd(ea + rng.randint(-60, 60))
        lines.append(row("add", a, b, value(a) + value(b)))
        ea = rng.randint(-450, 450)
        a, b = dd(ea), dd(rng.randint(-450, 450))
        lines.append(row("mul", a, b, value(a) * value(b)))
        a, b = dd(rng.randint(-450, 450)), dd(rng.randint(-450, 450))
        lines.append(row("div", a, b, value(a) / value(b)))
        # Roots over the whole range, subnormal leading parts included.
        e = rng.randint(-1074, 1023)
        a = dd(e, 1.0) if e >= -1022 else (math.ldexp(float(rng.randint(1, 2**20)), -1074), 0.0)
        lines.append(row("sqrt", a, zero, mpmath.sqrt(value(a))))
        e = rng.randint(-1074, 1023)
        a = dd(e) if e >= -1022 else (math.ldexp(float(rng.randint(1, 2**20)), -1074), 0.0)
        lines.append(row("cbrt", a, zero, mpmath.cbrt(value(a)) if a[0] > 0 else -mpmath.cbrt(-value(a))))
        a = dd(rng.randint(-900, 900))
        b = dd(math.frexp(a[0])[1] + rng.randint(-70, 70))
        lines.append(row("hypot", a, b, mpmath.hypot(value(a), value(b))))
        # exp: leading part in [-670, 709.7], the fast and the wide range.
        x = rng.uniform(-670.0, 709.7)
        a = (x, (rng.random() - 0.5) * math.ulp(x))
        lines.append(row("exp", a, zero, mpmath.exp(value(a))))
        x = rng.uniform(-2.0, 2.0) * 2.0 ** rng.randint(-40, 0)
        a = (x, (rng.random() - 0.5) * math.ulp(x))
        lines.append(row("exp", a, zero, mpmath.exp(value(a))))
        # sin and cos: log-uniform magnitudes up to 2^50.
        m = 2.0 ** rng.uniform(-30, 50)
        x = rng.choice((-1.0, 1.0)) * m
        a = (x, (rng.random() - 0.5) * math.ulp(x))
        lines.append(row("sin", a, zero, mpmath.sin(value(a))))
        lines.append(row("cos", a, zero, mpmath.cos(value(a))))
        # powi: the fast and the wide path (|n| (|exponent| + 1) >= 961), with
        # results kept in the normal range.
        a = dd(rng.randint(-3, 2))
        n = rng.randint(-250, 250)
        lines.append(row("powi", a, (float(n), 0.0), value(a) ** n))
        a = dd(rng.randint(-200, 200))
        n = rng.randint(-4, 4)
        lines.append(row("powi", a, (float(n), 0.0), value(a) ** n))
        a = dd(rng.randint(-1020, 1020))
        n = rng.choice((-1, 1))
        lines.append(row("powi", a, (float(n), 0.0), value(a) ** n))
    # Sums whose leading parts cancel to a few ulps: the result is then of the
    # size of the trailing parts, and the rounding error of their sum is part
    # of its low half.
    for _ in range(ROWS // 2):
        a = dd(rng.randint(-900, 900))
        hi = -a[0] + rng.randint(-4, 4) * math.ulp(a[0])
        b = (hi, (rng.random() - 0.5) * math.ulp(hi))
        lines.append(row("add", a, b, value(a) + value(b)))
    OUT.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
