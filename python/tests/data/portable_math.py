"""exp and log from IEEE arithmetic alone, for drawing inputs whose outputs are
pinned bit for bit.

NumPy's vectorised exp, log and ** run SIMD routines that are not correctly
rounded where the processor has the instructions for them (AVX-512 for double
precision) and libm elsewhere, and glibc's libm has an FMA and an SSE2 variant:
the same draw can become inputs an ulp apart on two hosts, and then every
pinned digest differs. These
use only + - * /, floor and exact power-of-two scaling, each correctly rounded
(or exact) on every IEEE host, in a fixed order, so their bits are the same
everywhere. They are accurate to a few ulps, which is all a draw needs.
"""
import numpy as np

# ln 2 split so that k * LN2_HI is exact for |k| < 2**20 (its low 32 bits are
# zero), and LN2_LO the rest: the reduction then loses nothing to the rounding
# of ln 2.
LN2_HI = 6.93147180369123816490e-01
LN2_LO = 1.90821492927058770002e-10
LN10 = 2.302585092994046  # ln 10, rounded


def exp(y):
    """e**y: y = k ln 2 + t with |t| <= ln 2 / 2, the Taylor series of e**t
    (to t**18 / 18!, below 1e-19), scaled by 2**k exactly."""
    y = np.asarray(y, dtype=np.float64)
    k = np.floor(y / (LN2_HI + LN2_LO) + 0.5)
    t = (y - k * LN2_HI) - k * LN2_LO
    p = np.ones_like(t)
    for j in range(18, 0, -1):
        p = 1.0 + p * t / j
    return np.ldexp(p, k.astype(np.int64))


def exp10(e):
    """10**e."""
    return exp(np.asarray(e, dtype=np.float64) * LN10)


def log(y):
    """ln y for y > 0: y = f 2**k exactly with f in [sqrt(1/2), sqrt(2)), and
    ln f = 2 atanh(s), s = (f - 1) / (f + 1) in (-0.172, 0.172), by its
    series to s**41."""
    f, k = np.frexp(np.asarray(y, dtype=np.float64))
    low = f < 0.7071067811865476
    f = np.where(low, 2.0 * f, f)
    k = np.where(low, k - 1, k)
    s = (f - 1.0) / (f + 1.0)
    s2 = s * s
    q = np.zeros_like(s)
    for j in range(41, 0, -2):
        q = 1.0 / j + s2 * q
    return k * LN2_HI + (k * LN2_LO + 2.0 * s * q)
