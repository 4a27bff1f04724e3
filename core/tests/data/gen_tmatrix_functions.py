#!/usr/bin/python3
"""References for the spheroid per-node functions, at 50 significant digits.

Writes tmatrix_functions.txt beside this script; every value is a double-double
pair "hi lo" (hi the double nearest the value, lo the double nearest the rest):

    scales <x> <n>            then "prod": the running products |h_k(x)|, k = 0..n+1
    angular <m> <n_max> <c hi lo> <s hi lo>
                              then "d", "pi", "tau": d^n_0m(t), m d/sin t, dd/dt
    exps <x> <y> <s>          then "e": Re E+, Im E+, Re E-, Im E- of exp(+-iz - s)

|h_k(x)| = sqrt(pi/(2x)) |J_{k+1/2}(x) + i Y_{k+1/2}(x)|. The angular functions
are sqrt((n-m)!/(n+m)!) P_n^m(cos t) without the Condon-Shortley phase, from the
exact rational coefficients of P_n; tau = d/dt by the chain rule dc/dt = -sin t.
"""
import os
from fractions import Fraction
from math import comb

import mpmath as mp

mp.mp.dps = 50


def dd_pair(v):
    v = mp.mpf(v)
    return float(v), float(v - mp.mpf(float(v)))


def dd(v):
    hi, lo = dd_pair(v)
    return f"{hi!r} {lo!r}"


def hankel_abs(k, x):
    nu = k + mp.mpf(1) / 2
    return mp.sqrt(mp.pi / (2 * mp.mpf(x))) * mp.hypot(mp.besselj(nu, x), mp.bessely(nu, x))


def derivative_of_legendre(n, m):
    """Coefficients of d^m/dc^m P_n(c) in ascending powers, as exact fractions:
    P_n(c) = 2^-n sum_k (-1)^k C(n,k) C(2n-2k, n) c^(n-2k)."""
    coeffs = [Fraction(0)] * (n + 1)
    for k in range(n // 2 + 1):
        coeffs[n - 2 * k] += Fraction((-1) ** k * comb(n, k) * comb(2 * n - 2 * k, n), 2 ** n)
    for _ in range(m):
        coeffs = [coeffs[i] * i for i in range(1, len(coeffs))] or [0]
    return coeffs


def poly(coeffs, c):
    acc = mp.mpf(0)
    for a in reversed(coeffs):
        acc = acc * c + mp.mpf(a.numerator) / a.denominator
    return acc


def d0m(n, m, c, s):
    """d^n_0m(t) and its t-derivative, c = cos t, s = sin t."""
    if n < m:
        return mp.mpf(0), mp.mpf(0)
    norm = mp.sqrt(mp.factorial(n - m) / mp.factorial(n + m))
    dm, dm1 = derivative_of_legendre(n, m), derivative_of_legendre(n, m + 1)
    # P_n^m = s^m D^m P_n; d/dt = -s d/dc, with d/dc s^m = -m c s^(m-2)
    val = norm * s ** m * poly(dm, c)
    dval_dc = norm * (s ** m * poly(dm1, c) - (m * c * s ** (m - 2) * poly(dm, c) if m > 0 else 0))
    return val, -s * dval_dc


def main():
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "tmatrix_functions.txt"), "w") as f:
        for x, n in ((1.0, 4), (0.37, 12), (2.5, 30), (13.0, 60), (0.02, 25), (150.0, 120)):
            f.write(f"scales {x!r} {n}\n" + "prod " + " ".join(dd(hankel_abs(k, x)) for k in range(n + 2)) + "\n")
        for m, nmax, c in ((0, 12, 0.3), (2, 9, 0.6), (3, 40, -0.45), (7, 30, 0.9921875),
                           (15, 60, 0.125), (1, 1, 0.75), (5, 5, -0.2)):
            cm = mp.mpf(c)
            sh, sl = dd_pair(mp.sqrt(1 - cm * cm))
            s = mp.mpf(sh) + mp.mpf(sl)  # the stored sine, to 1e-32
            f.write(f"angular {m} {nmax} {dd(cm)} {sh!r} {sl!r}\n")
            vals = [d0m(n, m, cm, s) for n in range(nmax + 1)]
            f.write("d " + " ".join(dd(v[0]) for v in vals) + "\n")
            f.write("pi " + " ".join(dd(m * v[0] / s if n >= max(m, 1) else 0) for n, v in enumerate(vals)) + "\n")
            f.write("tau " + " ".join(dd(v[1] if n >= max(m, 1) else 0) for n, v in enumerate(vals)) + "\n")
        for x, y, s in ((0.7, 0.0, 0.0), (3.25, -1.5, 1.5), (-12.5, 40.0, 40.0), (1e3, 300.0, 350.0),
                        (0.001, -700.0, 700.0), (2.0, 0.25, 0.5)):
            ep, em = mp.exp(1j * mp.mpc(x, y) - s), mp.exp(-1j * mp.mpc(x, y) - s)
            f.write(f"exps {x!r} {y!r} {s!r}\n" + "e " + " ".join(dd(v) for v in (ep.real, ep.imag, em.real, em.imag)) + "\n")


if __name__ == "__main__":
    main()
