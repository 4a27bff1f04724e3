#!/usr/bin/env python3
"""Reference Mie coefficients, efficiencies and derivatives of homogeneous spheres.

Textbook formulas (Bohren & Huffman 1983, eqs. 4.53, 4.61, 4.62, 4.82):
    a_n = [m psi_n(mx) psi_n'(x) - psi_n(x) psi_n'(mx)] / [m psi_n(mx) xi_n'(x) - xi_n(x) psi_n'(mx)]
    b_n = [psi_n(mx) psi_n'(x) - m psi_n(x) psi_n'(mx)] / [psi_n(mx) xi_n'(x) - m xi_n(x) psi_n'(mx)]
with psi_n(z) = z j_n(z), chi_n(z) = -z y_n(z), xi_n = psi_n - i chi_n, the
spherical Bessel functions from their closed forms at n = 0, 1 and the
three-term recurrence upward, in mpmath arithmetic whose precision is raised
until two runs agree to 40 digits (the upward recurrence loses digits where
psi_n decays; extra precision buys them back). Spot checks against mpmath's
besselj guard the recurrence. Efficiencies use the extinction series, so that
Q_abs = Q_ext - Q_sca is independent of the absorption sum the library forms
from the surface fields. Derivatives are central differences at high precision.

Run: /usr/bin/python3 gen_mie_reference.py > mie_reference.txt
"""
import sys
import mpmath as mp

DIGITS_AGREE = 40


def default_terms(x):
    return int(mp.ceil(mp.cbrt(x) * 6 + x + 3))


def riccati(z, nmax):
    """psi_n(z) and chi_n(z) for n = 0..nmax by upward recurrence."""
    psi = [mp.sin(z), mp.sin(z) / z - mp.cos(z)]
    chi = [mp.cos(z), mp.cos(z) / z + mp.sin(z)]
    for n in range(2, nmax + 1):
        f = (2 * n - 1) / z
        psi.append(f * psi[n - 1] - psi[n - 2])
        chi.append(f * chi[n - 1] - chi[n - 2])
    return psi, chi


def coefficients_at(x, m, nmax):
    x = mp.mpf(x)
    m = mp.mpc(m)
    z = m * x
    px, cx = riccati(x, nmax)
    pz, _ = riccati(z, nmax)
    a, b = [], []
    for n in range(1, nmax + 1):
        xi = px[n] - 1j * cx[n]
        xi1 = px[n - 1] - 1j * cx[n - 1]
        dpx = px[n - 1] - n * px[n] / x
        dxi = xi1 - n * xi / x
        dpz = pz[n - 1] - n * pz[n] / z
        a.append((m * pz[n] * dpx - px[n] * dpz) / (m * pz[n] * dxi - xi * dpz))
        b.append((pz[n] * dpx - m * px[n] * dpz) / (pz[n] * dxi - m * xi * dpz))
    return a, b


def converged(fn, agree=DIGITS_AGREE):
    """Evaluates fn() at increasing precision until two runs agree to `agree` digits."""
    dps = agree + 20
    while True:
        with mp.workdps(dps):
            one = fn()
        with mp.workdps(dps + 40):
            two = fn()
        ok = all(abs(p - q) <= mp.mpf(10) ** (-agree) * max(abs(q), mp.mpf(10) ** -300)
                 for p, q in zip(flatten(one), flatten(two)))
        if ok:
            return two
        dps *= 2


def flatten(v):
    return [x for item in v for x in flatten(item)] if isinstance(v, (list, tuple)) else [v]


def s_abs_of(a, b):
    """The absorption sum S_ext - S_sca of coefficients a_n, b_n."""
    return sum((2 * n + 1) * (mp.re(a[n - 1] + b[n - 1]) - abs(a[n - 1]) ** 2 - abs(b[n - 1]) ** 2)
               for n in range(1, len(a) + 1))


def sums(x, a, b):
    x = mp.mpf(x)
    nmax = len(a)
    ext = sum((2 * n + 1) * mp.re(a[n - 1] + b[n - 1]) for n in range(1, nmax + 1))
    sca = sum((2 * n + 1) * (abs(a[n - 1]) ** 2 + abs(b[n - 1]) ** 2) for n in range(1, nmax + 1))
    back = sum((2 * n + 1) * (-1) ** n * (a[n - 1] - b[n - 1]) for n in range(1, nmax + 1))
    asy = sum(mp.mpf(n * (n + 2)) / (n + 1) * mp.re(a[n - 1] * mp.conj(a[n]) + b[n - 1] * mp.conj(b[n]))
              for n in range(1, nmax))
    asy += sum(mp.mpf(2 * n + 1) / (n * (n + 1)) * mp.re(a[n - 1] * mp.conj(b[n - 1]))
               for n in range(1, nmax + 1))
    q_ext = 2 * ext / x ** 2
    q_sca = 2 * sca / x ** 2
    q_back = abs(back) ** 2 / x ** 2
    g = 2 * asy / sca if sca != 0 else mp.mpf(0)
    s_abs = ext - sca
    return [q_ext, q_sca, q_ext - q_sca, q_back, g], s_abs


def spot_check(x, m, a, b):
    """a_1 and b_1 again from mpmath's Bessel functions (small arguments only)."""
    if abs(m * x) > 200:
        return
    with mp.workdps(50):
        def psi(n, z):
            return z * mp.sqrt(mp.pi / (2 * z)) * mp.besselj(n + mp.mpf(1) / 2, z)

        def xi(n, z):
            return z * mp.sqrt(mp.pi / (2 * z)) * mp.hankel1(n + mp.mpf(1) / 2, z)

        x = mp.mpf(x)
        m = mp.mpc(m)
        n = 1
        dpx = mp.diff(lambda t: psi(n, t), x)
        dxi = mp.diff(lambda t: xi(n, t), x)
        dpz = mp.diff(lambda t: psi(n, t), m * x)
        a1 = (m * psi(n, m * x) * dpx - psi(n, x) * dpz) / (m * psi(n, m * x) * dxi - xi(n, x) * dpz)
        b1 = (psi(n, m * x) * dpx - m * psi(n, x) * dpz) / (psi(n, m * x) * dxi - m * xi(n, x) * dpz)
        assert abs(a1 - a[0]) <= 1e-30 * abs(a1), (x, m, a1, a[0])
        assert abs(b1 - b[0]) <= 1e-30 * abs(b1), (x, m, b1, b[0])


def fmt(v):
    return repr(float(v))


def orders_to_print(nmax, x):
    if nmax <= 200:
        return list(range(1, nmax + 1))
    k = min(nmax, int(x))
    picks = set(range(1, 11)) | set(range(max(1, k - 3), min(nmax, k + 3) + 1)) | set(range(nmax - 5, nmax + 1))
    step = max(1, nmax // 40)
    picks |= set(range(step, nmax, step))
    return sorted(picks)


CASES = [
    # (x, m, allow_unvalidated, with derivatives)
    (1e-6, complex(1.5, 0.01), False, True),
    (1e-6, complex(1.33, 0.0), False, False),
    (1e-3, complex(1.5, 0.1), False, False),
    (0.1, complex(1.5, 0.0), False, True),
    (0.3, complex(1.2, 0.05), False, True),
    (1.0, complex(1.5, 0.1), False, True),
    (5.212819668567135, complex(1.55, 0.0), False, False),
    (5.5, complex(1.33, 0.01), False, True),
    (10.0, complex(1.5, 0.0), False, True),
    (12.0, complex(2.0, 0.5), False, True),
    (30.0, complex(1.5, 0.5), False, True),
    (100.0, complex(1.33, 1e-8), False, True),
    (3.0, complex(0.75, 0.0), False, False),
    (50.0, complex(10.0, 10.0), False, True),
    (20.0, complex(2.0, 5.0), False, True),
    (1.0, complex(0.0, 2.0), True, False),
    (10.0, complex(1.000001, 0.0), False, True),
    (100.0, complex(1.001, 0.001), False, True),
    (1000.0, complex(1.5, 0.01), False, False),
    (20000.0, complex(1.5, 0.01), False, False),
]


RATIO_CASES = [
    # (z, N): r_n(z) = psi_n(z)/psi_{n-1}(z) for n = 1..N+1
    (complex(1e-6, 0.0), 10),
    (complex(0.5, 0.0), 8),
    (complex(10.0, 0.0), 30),
    (complex(1000.0, 0.0), 5),
    (complex(3.0, 4.0), 20),
    (complex(50.0, 50.0), 60),
    (complex(1000.0, 10.0), 5),
    (complex(0.2, 1e-3), 6),
]


def main():
    mp.mp.dps = 60
    out = sys.stdout
    out.write("# generated by gen_mie_reference.py; x, Re m, Im m as hex floats\n")
    for z, nmax in RATIO_CASES:
        zz = mp.mpc(z)
        psi = converged(lambda: riccati(zz, nmax + 1)[0])
        out.write(f"ratio {z.real.hex()} {z.imag.hex()} {nmax}\n")
        r_prev = mp.tan(zz)  # r_0 = psi_0/psi_{-1}, psi_{-1} = cos z
        for n in range(1, nmax + 2):
            r = psi[n] / psi[n - 1]
            # Condition number |z d ln r_n/dz| = |z/r_n - z/r_{n-1} - 1|.
            kappa = abs(zz / r - zz / r_prev - 1)
            r_prev = r
            out.write(f"r {n} {fmt(r.real)} {fmt(r.imag)} {fmt(kappa)}\n")
        out.write("end\n")
    for x, m, allow, deriv in CASES:
        nmax = default_terms(x)
        a, b = converged(lambda: coefficients_at(x, m, nmax))
        spot_check(x, m, a, b)
        eff, s_abs = sums(x, a, b)
        if m.imag == 0:
            # Analytically zero for a real index; the series leave rounding residue.
            eff[2] = mp.mpf(0)
            s_abs = mp.mpf(0)
        # Derivative cases get accurate central differences (100 digits, h = 1e-25);
        # the others coarse ones (h = 1e-12), used only for the condition numbers.
        d = derivatives(x, m, nmax, accurate=deriv)
        out.write(f"case {float(x).hex()} {m.real.hex()} {m.imag.hex()} {nmax} {int(allow)} {int(deriv)}\n")
        out.write("eff " + " ".join(fmt(v) for v in eff) + f" {fmt(s_abs)}\n")
        for n in orders_to_print(nmax, x):
            A, B = a[n - 1], b[n - 1]
            # Condition numbers (|x da/dx| + |m da/dm|) / |a| and likewise for b:
            # how much a relative perturbation of the inputs moves the value.
            ka = (abs(x * d["da_dx"][n - 1]) + abs(m) * abs(d["da_dm"][n - 1])) / abs(A)
            kb = (abs(x * d["db_dx"][n - 1]) + abs(m) * abs(d["db_dm"][n - 1])) / abs(B)
            out.write(f"ab {n} {fmt(A.real)} {fmt(A.imag)} {fmt(B.real)} {fmt(B.imag)} {fmt(ka)} {fmt(kb)}\n")
        if deriv:
            dabs = d["dabs"]
            if m.imag == 0:
                dabs[0] = dabs[1] = mp.mpf(0)  # S_abs vanishes for every real m and x
            out.write("dabs " + " ".join(fmt(v) for v in dabs) + "\n")
            for n in range(1, nmax + 1):
                vals = [d[key][n - 1] for key in ("da_dx", "da_dm", "db_dx", "db_dm")]
                out.write(f"d {n} " + " ".join(f"{fmt(v.real)} {fmt(v.imag)}" for v in vals) + "\n")
        out.write("end\n")
        out.flush()


def derivatives(x, m, nmax, accurate):
    """Central differences of a_n, b_n and S_abs in x, Re m and Im m (complex d/dm)."""
    dps, h_exp, agree = (100, 25, 75) if accurate else (60, 12, 40)
    with mp.workdps(dps):
        h = mp.mpf(10) ** -h_exp
        X = mp.mpf(x)
        M = mp.mpc(m)

        def at(xx, mm):
            return converged(lambda: coefficients_at(xx, mm, nmax), agree=agree)

        ap, bp = at(X + h, M)
        am, bm = at(X - h, M)
        arp, brp = at(X, M + h)
        arm, brm = at(X, M - h)

        out = {
            "da_dx": [(p - q) / (2 * h) for p, q in zip(ap, am)],
            "db_dx": [(p - q) / (2 * h) for p, q in zip(bp, bm)],
            "da_dm": [(p - q) / (2 * h) for p, q in zip(arp, arm)],
            "db_dm": [(p - q) / (2 * h) for p, q in zip(brp, brm)],
        }
        if accurate:
            aip, bip = at(X, M + 1j * h)
            aim, bim = at(X, M - 1j * h)
            out["dabs"] = [(s_abs_of(ap, bp) - s_abs_of(am, bm)) / (2 * h),
                           (s_abs_of(arp, brp) - s_abs_of(arm, brm)) / (2 * h),
                           (s_abs_of(aip, bip) - s_abs_of(aim, bim)) / (2 * h)]
        return out


if __name__ == "__main__":
    main()
