"""The phase function of a cloud droplet and its Legendre expansion.

mie_phase_matrix gives F11 (normalised: half its integral over mu is 1) at chosen
scattering angles; mie_greek gives the expansion coefficients alpha1_l that a
radiative-transfer code consumes. alpha1_1 / 3 is the asymmetry parameter g, and
summing the series at the same cosines gives F11 back.
"""

import numpy as np

import vantok._vantok as vt

x = np.array([50.0])
m = np.array([1.33 + 1e-7j])
angles = np.array([0.0, 10.0, 30.0, 90.0, 138.0, 180.0])  # 138 degrees: the rainbow
mu = np.cos(np.radians(angles))

f, _ = vt.mie_phase_matrix(x, m, mu, None, False, False, True)
_, greek, _ = vt.mie_greek(x, m, None, None, False, False, True)
alpha1 = greek[0, 0]

# F11(mu) = sum_l alpha1_l P_l(mu): Legendre series evaluated by numpy.
f11_series = np.polynomial.legendre.legval(mu, alpha1)
g = vt.mie_efficiencies(x, m, None, False, False)[0][4, 0]

print(f"{'angle':>7}{'F11':>14}{'from series':>14}{'-F12/F11':>10}")
for a, v, s, p in zip(angles, f[0, 0], f11_series, -f[1, 0] / f[0, 0]):
    print(f"{a:7.0f}{v:14.6g}{s:14.6g}{p:10.4f}")
print(f"orders: {len(alpha1) - 1}, alpha1_1 / 3 = {alpha1[1] / 3:.12f}, g = {g:.12f}")
