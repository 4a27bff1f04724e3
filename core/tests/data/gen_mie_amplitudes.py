#!/usr/bin/python3
"""Reference Mie scattering amplitudes S1, S2, written to mie_amplitudes.txt.

The textbook sums (Bohren & Huffman 1983, eq. 4.74)
  S1 = sum (2n+1)/(n(n+1)) (a_n pi_n + b_n tau_n),  S2 = sum (2n+1)/(n(n+1)) (a_n tau_n + b_n pi_n),
with pi_n and tau_n by their recurrences on the double mu, over the
coefficients of gen_mie_reference.py (textbook formulas at 40 converged
digits) and the library's default truncation, so that the comparison measures
evaluation only.

Output lines: x m_re m_im mu Re S1 Im S1 Re S2 Im S2 (shortest reprs).
"""
import mpmath

from gen_mie_reference import coefficients_at, converged, default_terms

CASES = [(0.5, 1.33 + 0j), (1.0, 1.5 + 0.01j), (3.0, 1.5 + 0j), (5.0, 1.5 + 0.01j), (10.0, 1.5 + 1.0j),
         (20.0, 1.33 + 1e-8j), (50.0, 2.0 + 0.5j), (100.0, 1.2 + 0.05j)]
MUS = [-1.0, -0.95, -0.7, -0.3, 0.0, 0.25, 0.6, 0.9, 0.99, 1.0]


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


def main():
    mpmath.mp.dps = 40
    with open(__file__.replace("gen_mie_amplitudes.py", "mie_amplitudes.txt"), "w") as f:
        for x, m in CASES:
            a, b = converged(lambda: coefficients_at(x, m, default_terms(x)))
            for mu in MUS:
                s1, s2 = amplitudes(a, b, mu)
                vals = [float(s1.real), float(s1.imag), float(s2.real), float(s2.imag)]
                f.write(f"{x!r} {m.real!r} {m.imag!r} {mu!r} " + " ".join(repr(v) for v in vals) + "\n")


if __name__ == "__main__":
    main()
