"""Quickstart: the efficiencies of a few homogeneous spheres.

Computes the extinction, scattering, absorption and backscattering efficiencies
and the asymmetry parameter g of four spheres with `mie_efficiencies`, one call
for all of them (the interpreter lock is released while it computes), and
shows that extinction is the sum of scattering and absorption.
"""

import numpy as np

import vantok._vantok as vt

# Size parameter x = 2 pi r / wavelength and relative refractive index m.
spheres = [
    ("water droplet, x = 0.1", 0.1, 1.33 + 0.0j),
    ("soot-like, x = 1", 1.0, 1.75 + 0.44j),
    ("mineral dust, x = 10", 10.0, 1.53 + 0.008j),
    ("cloud droplet, x = 100", 100.0, 1.33 + 1e-4j),
]
x = np.array([s[1] for s in spheres])
m = np.array([s[2] for s in spheres])

# n_max=None: each sphere takes its default number of terms.
q, _ = vt.mie_efficiencies(x, m, None, False, False)

print(f"{'sphere':<24}{'Q_ext':>11}{'Q_sca':>11}{'Q_abs':>11}{'Q_back':>11}{'g':>9}")
for i, (name, _, _) in enumerate(spheres):
    print(f"{name:<24}{q[0, i]:11.5g}{q[1, i]:11.5g}{q[2, i]:11.5g}{q[3, i]:11.5g}{q[4, i]:9.4f}")
assert np.array_equal(q[0], q[1] + q[2])
print("terms used:", vt.mie_default_n_max(x).tolist())
