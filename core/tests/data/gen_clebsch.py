#!/usr/bin/python3
"""Reference Clebsch-Gordan coefficients by Racah's closed formula, written to clebsch.txt.

<l1 m1 l2 m2 | L M> = sqrt((2L+1)(L+l1-l2)!(L-l1+l2)!(l1+l2-L)!/(l1+l2+L+1)!)
    sqrt((L+M)!(L-M)!(l1-m1)!(l1+m1)!(l2-m2)!(l2+m2)!)
    sum_k (-1)^k / (k!(l1+l2-L-k)!(l1-m1-k)!(l2+m2-k)!(L-l2+m1+k)!(L-l1-m2+k)!)
with M = m1 + m2. The square is an exact rational (Python fractions) and the
sign that of the exact sum; the root is rounded to double with mpmath at 40
digits.

Output lines: l1 m1 l2 m2 L_min c(L_min) c(L_min+1) ... c(l1+l2).
"""
from fractions import Fraction
from math import factorial as f
import mpmath

mpmath.mp.dps = 40


def clebsch_gordan(l1, m1, l2, m2, big_l):
    big_m = m1 + m2
    total = Fraction(0)
    for k in range(0, l1 + l2 + 1):
        args = [k, l1 + l2 - big_l - k, l1 - m1 - k, l2 + m2 - k, big_l - l2 + m1 + k, big_l - l1 - m2 + k]
        if min(args) < 0:
            continue
        den = 1
        for a in args:
            den *= f(a)
        total += Fraction(-1 if k % 2 else 1, den)
    if total == 0:
        return 0.0
    square = (Fraction((2 * big_l + 1) * f(big_l + l1 - l2) * f(big_l - l1 + l2) * f(l1 + l2 - big_l),
                       f(l1 + l2 + big_l + 1))
              * f(big_l + big_m) * f(big_l - big_m) * f(l1 - m1) * f(l1 + m1) * f(l2 - m2) * f(l2 + m2)
              * total * total)
    value = mpmath.sqrt(mpmath.mpf(square.numerator) / square.denominator)
    return float(value if total > 0 else -value)


def row(l1, m1, l2, m2):
    l_min = max(abs(l1 - l2), abs(m1 + m2))
    return [l1, m1, l2, m2, l_min] + [clebsch_gordan(l1, m1, l2, m2, big_l)
                                      for big_l in range(l_min, l1 + l2 + 1)]


def main():
    rows = []
    for l1 in range(7):
        for l2 in range(7):
            for m1 in range(-l1, l1 + 1):
                for m2 in range(-l2, l2 + 1):
                    rows.append(row(l1, m1, l2, m2))
    for args in [(12, 12, 12, -12), (20, 3, 15, -7), (30, 0, 30, 0), (25, -25, 24, 1),
                 (50, 10, 45, -3), (40, 0, 1, 0), (1, 1, 60, -2), (100, 17, 80, -5),
                 # 3j symbols that rise through a classically forbidden region
                 # at small L (by 16 orders of magnitude for the first), and
                 # lists spanning more than 2^500
                 (30, 30, 60, 1), (56, -56, 112, -1), (100, 99, 190, 1), (120, -119, 130, 1),
                 (275, -274, 274, 274), (400, -380, 390, 1)]:
        rows.append(row(*args))
    with open(__file__.replace("gen_clebsch.py", "clebsch.txt"), "w") as out:
        for r in rows:
            out.write(" ".join(str(v) for v in r[:5]) + " " + " ".join(repr(v) for v in r[5:]) + "\n")


if __name__ == "__main__":
    main()
