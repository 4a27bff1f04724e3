#!/usr/bin/python3
"""Reference Mie scattering amplitudes S1, S2, written to mie_amplitudes.txt.

Textbook sums evaluated at 40 digits with mpmath (Bohren & Huffman 1983,
eqs. 4.53, 4.74): with psi_n(z) = sqrt(pi z / 2) J_{n+1/2}(z),
xi_n(x) = sqrt(pi x / 2) (J_{n+1/2}(x) + i Y_{n+1/2}(x)),
  a_n = (m psi_n(mx) psi_n'(x) - psi_n(x) psi_n'(mx)) / (m psi_n(mx) xi_n'(x) - xi_n(x) psi_n'(mx)),
  b_n = (psi_n(mx) psi_n'(x) - m psi_n(x) psi_n'(mx)) / (psi_n(mx) xi_n'(x) - m xi_n(x) psi_n'(mx)),
  S1 = sum (2n+1)/(n(n+1)) (a_n pi_n + b_n tau_n),  S2 = sum (2n+1)/(n(n+1)) (a_n tau_n + b_n pi_n),
pi_n and tau_n by their recurrences in exact arithmetic on the double mu. The
series runs over the same N terms as the library's default truncation,
ceil(x + 6 x^(1/3) + 3), so that the comparison measures evaluation only.

Output lines: x m_re m_im mu Re S1 Im S1 Re S2 Im S2 (shortest reprs).
"""
import math
import mpmath

mpmath.mp.dps = 40


def default_terms(x):
    return math.ceil(math.cbrt(x) * 6.0 + x + 3.0)


def psi(n, z):
    return mpmath.sqrt(mpmath.pi * z / 2) * mpmath.besselj(n + mpmath.mpf(1) / 2, z)


def xi(n, x):
    h = mpmath.mpf(1) / 2
    return mpmath.sqrt(mpmath.pi * x / 2) * (mpmath.besselj(n + h, x) + 1j * mpmath.bessely(n + h, x))


def coefficients(x, m, n_terms):
    x = mpmath.mpf(x)
    m = mpmath.mpc(m)
    mx = m * x
    p_x = [psi(n, x) for n in range(n_terms + 1)]
    p_mx = [psi(n, mx) for n in range(n_terms + 1)]
    x_x = [xi(n, x) for n in range(n_terms + 1)]
    a, b = [], []
    for n in range(1, n_terms + 1):
        dp_x = p_x[n - 1] - n * p_x[n] / x          # psi_n'(x)
        dp_mx = p_mx[n - 1] - n * p_mx[n] / mx      # psi_n'(mx)
        dx_x = x_x[n - 1] - n * x_x[n] / x          # xi_n'(x)
        a.append((m * p_mx[n] * dp_x - p_x[n] * dp_mx) / (m * p_mx[n] * dx_x - x_x[n] * dp_mx))
        b.append((p_mx[n] * dp_x - m * p_x[n] * dp_mx) / (p_mx[n] * dx_x - m * x_x[n] * dp_mx))
    return a, b


def amplitudes(a, b, mu):
    mu = mpmath.mpf(mu)
    s1 = s2 = mpmath.mpc(0)
    pi_prev, pi = mpmath.mpf(0), mpmath.mpf(1)
    for n in range(1, len(a) + 1):
        tau = n * mu * pi - (n + 1) * pi_prev
        w = mpmath.mpf(2 * n + 1) / (n * (n + 1))
        s1 += w * (a[n - 1] * pi + b[n - 1] * tau)
        s2 += w * (a[n - 1] * tau + b[n - 1] * pi)
        pi_prev, pi = pi, ((2 * n + 1) * mu * pi - (n + 1) * pi_prev) / n
    return s1, s2


CASES = [
    (0.5, 1.33 + 0j),
    (1.0, 1.5 + 0.01j),
    (3.0, 1.5 + 0j),
    (5.0, 1.5 + 0.01j),
    (10.0, 1.5 + 1.0j),
    (20.0, 1.33 + 1e-8j),
    (50.0, 2.0 + 0.5j),
    (100.0, 1.2 + 0.05j),
]
MUS = [-1.0, -0.95, -0.7, -0.3, 0.0, 0.25, 0.6, 0.9, 0.99, 1.0]


def main():
    with open(__file__.replace("gen_mie_amplitudes.py", "mie_amplitudes.txt"), "w") as f:
        for x, m in CASES:
            a, b = coefficients(x, m, default_terms(x))
            for mu in MUS:
                s1, s2 = amplitudes(a, b, mu)
                vals = [float(s1.real), float(s1.imag), float(s2.real), float(s2.imag)]
                f.write(f"{x!r} {m.real!r} {m.imag!r} {mu!r} " + " ".join(repr(v) for v in vals) + "\n")


if __name__ == "__main__":
    main()
