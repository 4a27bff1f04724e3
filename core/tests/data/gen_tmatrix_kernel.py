#!/usr/bin/python3
"""References for the spheroid EBCM mode kernel, at 50 significant digits.

Writes tmatrix_kernel.txt beside this script; every value is a double-double
"hi lo". Records (each block closed by "end"):

    ebcm <eps> <x> <m_re> <m_im> <nmax> <ngauss>, then per parity block
        "mode <m> <p> <k>", "q" and "rg" (re hi lo, im hi lo of Q and RgQ, row-major)
    rule <n>, then "root <i> <x> <w>", root i counted from the largest

Q and RgQ are the quadrature sums of the extended-boundary-condition integrand
from its vector form only (surface point r(theta), spherical Bessel and Hankel
functions, associated Legendre functions, the Gauss-Legendre nodes of 2 ngauss
points in (0, 1)); RgQ has j_n(kr) on the row side, Q h_n = j_n + i y_n. They
are in the kernel's scaled basis: rows of order n divided by |h_n(rmin)|,
columns by e^gamma / |z| prod_{l=1..n} min(|z|/(2l+1), 1), z = m rmax,
gamma = |Im z|.
"""
import os

import mpmath as mp

from gen_tmatrix_functions import d0m
from gen_tmatrix_functions import dd as fmt_dd

mp.mp.dps = 50


def fmt_c(z):
    z = mp.mpc(z)
    return f"{fmt_dd(z.real)} {fmt_dd(z.imag)}"


def legendre_p_dp(n, x):
    p0, p1 = mp.mpf(1), x
    if n == 0:
        return p0, mp.mpf(0)
    for k in range(2, n + 1):
        p0, p1 = p1, ((2 * k - 1) * x * p1 - (k - 1) * p0) / k
    dp = n * (p0 - x * p1) / (1 - x * x)
    return p1, dp


def gl_positive(n):
    """The roots of P_n in (0, 1) with weights, largest first."""
    out = []
    for i in range((n + 1) // 2):
        if 2 * i + 1 == n:
            x = mp.mpf(0)
        else:
            x = mp.cos(mp.pi * (i + mp.mpf(0.75)) / (n + mp.mpf(0.5)))
            for _ in range(100):
                p, dp = legendre_p_dp(n, x)
                dx = p / dp
                x -= dx
                if abs(dx) < mp.mpf(10) ** (-45):
                    break
        p, dp = legendre_p_dp(n, x)
        w = 2 / ((1 - x * x) * dp * dp)
        out.append((x, w))
    return out


def sph_j(n, z):
    return mp.cos(z) / z if n == -1 else mp.sqrt(mp.pi / (2 * z)) * mp.besselj(n + mp.mpf(0.5), z)


def sph_h(n, x):
    y = mp.sin(x) / x if n == -1 else mp.sqrt(mp.pi / (2 * x)) * mp.bessely(n + mp.mpf(0.5), x)
    return sph_j(n, x) + 1j * y


def row_lists(m, nmax):
    rows = [[], []]
    for kind in (0, 1):
        for n in range(max(m, 1), nmax + 1):
            rows[(n + kind) % 2].append((kind, n))
    return rows


def triple(a, b, s):
    return (a[1] * b[2] - a[2] * b[1]) + s * (a[2] * b[0] - a[0] * b[2])


def ebcm_case(eps, xsize, m_c, nmax, ngauss, modes):
    eps_m = mp.mpf(eps)
    a = mp.mpf(xsize) * mp.cbrt(eps_m)
    b = a / eps_m
    rmin, rmax = min(a, b), max(a, b)
    zmax = m_c * rmax
    gamma = abs(zmax.imag)
    absz = abs(zmax)
    p_scale = [abs(sph_h(n, rmin)) for n in range(nmax + 1)]
    q_scale, acc = [], 1 / absz
    for n in range(nmax + 1):
        acc = acc * min(absz / (2 * n + 1), mp.mpf(1)) if n > 0 else acc
        q_scale.append(acc * mp.exp(gamma))
    nu = [mp.mpf(0)] + [mp.sqrt(mp.mpf(2 * n + 1) / (4 * mp.pi * n * (n + 1))) for n in range(1, nmax + 1)]
    sums = {}
    for (xn, wn) in gl_positive(2 * ngauss):
        if xn <= 0:
            continue
        st = mp.sqrt(1 - xn * xn)
        dd_ = a * a * xn * xn + b * b * st * st
        r = a * b / mp.sqrt(dd_)
        s = (b * b - a * a) * st * xn / dd_
        z = m_c * r
        big_a = r * r * 4 * mp.pi * wn

        def radial(fn, w, scale):
            """f_n(w), (w f_n)'/w = f_{n-1} - n f_n / w and f_n / w, scaled."""
            f = [fn(n, w) / scale[n] for n in range(nmax + 1)]
            return f, [(fn(n - 1, w) - n * fn(n, w) / w) / scale[n] for n in range(nmax + 1)], [v / w for v in f]

        (j, jc, jb), (h, hc, hb), (u, uc, ub) = radial(sph_j, r, p_scale), radial(sph_h, r, p_scale), radial(sph_j, z, q_scale)
        for m in modes:
            ang = [(d, m * d / st, tau) for d, tau in (d0m(n, m, xn, st) for n in range(nmax + 1))]

            def vec(f, fd, fr, n, sign):
                d, pi_, tau = ang[n]
                lterm = n * (n + 1) * d
                k0 = (0, sign * 1j * pi_ * f[n], -tau * f[n])
                k1 = (lterm * fr[n], tau * fd[n], sign * 1j * pi_ * fd[n])
                return k0, k1

            rows = row_lists(m, nmax)
            for p in range(2):
                lst = rows[p]
                k = len(lst)
                key = (m, p)
                if key not in sums:
                    sums[key] = ([mp.mpc(0)] * (k * k), [mp.mpc(0)] * (k * k))
                qs, rgs = sums[key]
                for i, (ki, ni) in enumerate(lst):
                    vj = vec(j, jc, jb, ni, -1)
                    vh = vec(h, hc, hb, ni, -1)
                    for jj, (kj, nj) in enumerate(lst):
                        v3, v4 = vec(u, uc, ub, nj, 1)
                        v5 = tuple(m_c * c for c in v3)
                        v6 = tuple(m_c * c for c in v4)
                        ca, cb = (v3, v6) if kj == 0 else (v4, v5)
                        f = nu[ni] * nu[nj]
                        for rowv, target in ((vj, rgs), (vh, qs)):
                            ra, rb = (rowv[0], rowv[1]) if ki == 0 else (rowv[1], rowv[0])
                            e = triple(rb, ca, s) + triple(ra, cb, s)
                            target[i * k + jj] += -1j * big_a * f * e
    return sums


def main():
    lines = ["# generated by gen_tmatrix_kernel.py; do not edit"]
    m_c = mp.mpc(1.5, 0.02)
    for eps in (0.5, 2.0):
        for xsize in (1.0, 3.0):
            nmax, ngauss = 6, 10
            modes = (0, 1, 2, 6)
            sums = ebcm_case(eps, xsize, m_c, nmax, ngauss, modes)
            lines.append(f"ebcm {eps!r} {xsize!r} 1.5 0.02 {nmax} {ngauss}")
            for m in modes:
                for p in range(2):
                    qs, rgs = sums[(m, p)]
                    k = len(row_lists(m, nmax)[p])
                    lines.append(f"mode {m} {p} {k}")
                    lines.append("q " + " ".join(fmt_c(v) for v in qs))
                    lines.append("rg " + " ".join(fmt_c(v) for v in rgs))
            lines.append("end")
    for n in (10, 200):
        lines.append(f"rule {n}")
        roots = gl_positive(n)
        for i in sorted({0, 1, n // 4, n // 2 - 1}):
            x, w = roots[i]
            lines.append(f"root {i} {fmt_dd(x)} {fmt_dd(w)}")
        lines.append("end")
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tmatrix_kernel.txt")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
