#!/usr/bin/python3
"""Reference values of the Wigner d functions d^l_mn(x), written to wigner_d.txt.

Wigner's sum formula, evaluated exactly in integers: for a double x = N/2^K,
c^2 = (1 + x)/2 and s^2 = (1 - x)/2 are rational, every term of the sum is
homogeneous of degree l - e in (c^2, s^2) times (c s)^e with e = (m - n) mod 2,
so d^2 is an exact rational and its sign is that of an exact integer sum. The
root and the rounding to double are taken with mpmath at 40 digits (correctly
rounded for every entry that is a normal double; entries far below the double
range come out as 0).

Convention: d^l_mn(x) = sum_k (-1)^(m-n+k) sqrt((l+m)!(l-m)!(l+n)!(l-n)!)
  / (k! (l+n-k)! (l-m-k)! (m-n+k)!) c^(2l+n-m-2k) s^(m-n+2k),
so d^1_{1,0} = -sqrt((1-x^2)/2) and d^l_00 = P_l(x).

Output lines: m n x l value, x and value as shortest round-trip reprs.
"""
from fractions import Fraction
from math import comb, factorial
import mpmath

mpmath.mp.dps = 40


def wigner_d(l, m, n, x):
    if l < max(abs(m), abs(n)):
        return 0.0
    fx = Fraction(x)
    den_bits = fx.denominator.bit_length() - 1  # x = N / 2^K
    assert fx.denominator == 1 << den_bits
    big_k, big_n = den_bits, fx.numerator
    plus, minus = (1 << big_k) + big_n, (1 << big_k) - big_n  # 2^(K+1) c^2, 2^(K+1) s^2
    e = (m - n) % 2
    # sum over k of (-1)^(m-n+k) C(l+n, k) C(l-n, m-n+k) (c^2)^a (s^2)^b, a + b = l - e
    k_lo = max(0, n - m)
    k_hi = min(l + n, l - m)
    total = 0
    for k in range(k_lo, k_hi + 1):
        a = (2 * l + n - m - 2 * k - e) // 2
        b = (m - n + 2 * k - e) // 2
        term = comb(l + n, k) * comb(l - n, m - n + k) * plus**a * minus**b
        total += -term if (m - n + k) % 2 else term
    if total == 0:
        return 0.0
    # d^2 = (l+m)!(l-m)!/((l+n)!(l-n)!) (c^2 s^2)^e total^2 / 2^(2(K+1)(l-e))
    num = factorial(l + m) * factorial(l - m) * total * total * (plus * minus) ** e
    den = factorial(l + n) * factorial(l - n) * (1 << (2 * (big_k + 1) * (l - e) + 2 * (big_k + 1) * e))
    value = mpmath.sqrt(mpmath.mpf(num) / mpmath.mpf(den))
    return float(value if total > 0 else -value)


def main():
    rows = []
    pairs = [(0, 0), (2, 2), (2, -2), (0, 2), (2, 1), (-3, 5), (7, -7), (5, 5), (1, -4)]
    xs = [1.0, -1.0, -0.95, 0.9, -0.9, -0.5, 0.0, -0.0, 0.3, 0.89, 0.999, -0.8999999999999999,
          0.9999]
    for m, n in pairs:
        for x in xs:
            for l in range(40):
                rows.append((m, n, x, l, wigner_d(l, m, n, x)))
    # Large degrees in plain mode on each recurrence, and entries that leave
    # and re-enter the double range (extended exponent).
    extreme = [
        (0, 400, 0.9999, [400, 401, 500, 1000, 2000, 2500, 2900, 2950, 3000, 3050, 3100, 3500, 3998, 3999]),
        (0, 60, 0.9999999, [60, 100, 200, 300, 399]),
        (30, -40, -0.99999, [40, 100, 200, 300, 400, 499]),
        (2, -2, 0.3, [2, 100, 999, 1000]),
        (5, 5, -0.7, [5, 1000, 1999, 2000]),
        (0, 0, 0.95, [1000, 3000]),
        (3, 1, 0.95, [3, 500, 1000]),
        (-7, 3, 0.2, [7, 250, 777]),
        (100, -100, -0.3, [100, 150, 600]),
        (1000, 999, 0.99, [1000, 1001, 1500]),
        (250, 0, 1.0, [250, 300]),
        (250, 0, -1.0, [250, 300]),
        (1, 1, -1.0, [1, 2, 3, 500]),
    ]
    for m, n, x, ls in extreme:
        for l in ls:
            rows.append((m, n, x, l, wigner_d(l, m, n, x)))
    # Whole rows to l = 300 close to x = 1, where the three-term form loses
    # digits to cancellation that the difference forms keep.
    for m, n, x in [(2, 1, 0.9999), (0, 2, 0.999), (2, -2, 0.99999), (3, 3, 0.999), (-1, 4, -0.9999)]:
        for l in range(0, 301, 3):
            rows.append((m, n, x, l, wigner_d(l, m, n, x)))
    with open(__file__.replace("gen_wigner_d.py", "wigner_d.txt"), "w") as f:
        for m, n, x, l, v in rows:
            f.write(f"{m} {n} {x!r} {l} {v!r}\n")


if __name__ == "__main__":
    main()
