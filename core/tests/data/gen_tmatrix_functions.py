#!/usr/bin/python3
"""References for the spheroid per-node functions, at 50 significant digits.

Writes tmatrix_functions.txt beside this script; every value is printed as a
double-double pair "hi lo" (hi the double nearest the value, lo the double
nearest the remainder). Lines:

    scales <x> <n>                   then a line "prod" of the n + 2 running
                                     products |h_k(x)| = a_0 ... a_k (k = 0..n+1)
    angular <m> <n_max> <c hi lo> <s hi lo>
                                     then lines "d", "pi", "tau" of n_max + 1
                                     values d^n_0m(t), m d/sin t, dd/dt
    exps <x> <y> <s>                 then a line "e" with Re E+, Im E+, Re E-,
                                     Im E- of exp(+-iz - s), z = x + iy

Spherical Hankel moduli come from Bessel functions of half-integer order,
|h_k(x)| = sqrt(pi/(2x)) |J_{k+1/2}(x) + i Y_{k+1/2}(x)|. The angular
functions are sqrt((n-m)!/(n+m)!) P_n^m(cos t) without the Condon-Shortley
phase, P_n^m = (1-c^2)^{m/2} d^m/dc^m P_n(c) built from the Legendre
polynomial's exact rational coefficients; tau is d/dt of that, by the chain
rule dc/dt = -sin t.
"""
import os

import mpmath as mp

mp.mp.dps = 50


def dd(v):
    v = mp.mpf(v)
    hi = float(v)
    lo = float(v - mp.mpf(hi))
    return f"{hi!r} {lo!r}"


def hankel_abs(k, x):
    x = mp.mpf(x)
    nu = k + mp.mpf(1) / 2
    return mp.sqrt(mp.pi / (2 * x)) * mp.hypot(mp.besselj(nu, x), mp.bessely(nu, x))


def legendre_poly_coeffs(n):
    """Coefficients of P_n(c) in ascending powers, as exact fractions."""
    from fractions import Fraction
    from math import comb
    coeffs = [Fraction(0)] * (n + 1)
    # P_n(c) = 2^-n sum_k (-1)^k C(n,k) C(2n-2k, n) c^(n-2k)
    for k in range(n // 2 + 1):
        coeffs[n - 2 * k] += Fraction((-1) ** k * comb(n, k) * comb(2 * n - 2 * k, n), 2 ** n)
    return coeffs


def deriv(coeffs, m):
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
    pc = legendre_poly_coeffs(n)
    dm = deriv(pc, m)
    dm1 = deriv(pc, m + 1)
    # P_n^m = s^m D^m P_n; d/dt = -s d/dc, with d/dc s^m = -m c s^(m-2)
    val = norm * s ** m * poly(dm, c)
    dval_dc = norm * (s ** m * poly(dm1, c) - (m * c * s ** (m - 2) * poly(dm, c) if m > 0 else 0))
    return val, -s * dval_dc


def main():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tmatrix_functions.txt")
    with open(path, "w") as f:
        for x, n in ((1.0, 4), (0.37, 12), (2.5, 30), (13.0, 60), (0.02, 25), (150.0, 120)):
            f.write(f"scales {x!r} {n}\n")
            f.write("prod " + " ".join(dd(hankel_abs(k, x)) for k in range(n + 2)) + "\n")
        for m, nmax, c in ((0, 12, 0.3), (2, 9, 0.6), (3, 40, -0.45), (7, 30, 0.9921875),
                           (15, 60, 0.125), (1, 1, 0.75), (5, 5, -0.2)):
            cm = mp.mpf(c)
            s = mp.sqrt(1 - cm * cm)
            s_dd = dd(s)
            sh, sl = (float(v) for v in s_dd.split())
            s_exact = mp.mpf(sh) + mp.mpf(sl)  # the stored sine, to 1e-32
            f.write(f"angular {m} {nmax} {dd(cm)} {s_dd}\n")
            vals = [d0m(n, m, cm, s_exact) for n in range(nmax + 1)]
            f.write("d " + " ".join(dd(v[0]) for v in vals) + "\n")
            f.write("pi " + " ".join(dd(m * v[0] / s_exact if n >= max(m, 1) else 0)
                                     for n, v in enumerate(vals)) + "\n")
            f.write("tau " + " ".join(dd(v[1] if n >= max(m, 1) else 0)
                                      for n, v in enumerate(vals)) + "\n")
        for x, y, s in ((0.7, 0.0, 0.0), (3.25, -1.5, 1.5), (-12.5, 40.0, 40.0), (1e3, 300.0, 350.0),
                        (0.001, -700.0, 700.0), (2.0, 0.25, 0.5)):
            z = mp.mpc(x, y)
            ep = mp.exp(1j * z - s)
            em = mp.exp(-1j * z - s)
            f.write(f"exps {x!r} {y!r} {s!r}\n")
            f.write("e " + " ".join(dd(v) for v in (ep.real, ep.imag, em.real, em.imag)) + "\n")


if __name__ == "__main__":
    main()
