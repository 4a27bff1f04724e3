"""The phase function of randomly oriented spheroids beside that of the sphere of equal volume.

tmatrix_random solves an oblate (aspect ratio 2) and a prolate (0.5) spheroid of
mineral dust at size parameter 5 by the T-matrix method and averages over every
orientation; mie_phase_matrix gives the sphere. Spheroids smooth the sphere's
backscatter peak and depolarise it (F22 < F11 at 180 degrees, where a sphere has
F22 = F11).
"""

import numpy as np

import vantok._vantok as vt

angles = np.array([0.0, 30.0, 60.0, 90.0, 120.0, 150.0, 170.0, 180.0])
mu = np.cos(np.radians(angles))
x, m = 5.0, 1.53 + 0.008j

out = vt.tmatrix_random(np.full(2, x), np.full(2, m), np.array([2.0, 0.5]), 1e-6, "auto", None, None,
                        False, False, False, False, None, mu, True)
sphere, _ = vt.mie_phase_matrix(np.array([x]), np.array([m]), mu, None, False, False, True)
q, _ = vt.mie_efficiencies(np.array([x]), np.array([m]), None, False, False)

print(f"{'angle':>6}{'sphere':>10}{'eps = 2':>10}{'eps = 0.5':>10}   F22/F11 (eps = 2)")
for k, a in enumerate(angles):
    f11 = out["phase"][0, :, k]
    print(f"{a:6.0f}{sphere[0, 0, k]:10.4f}{f11[0]:10.4f}{f11[1]:10.4f}{out['phase'][2, 0, k] / f11[0]:12.4f}")
print(f"Q_ext: sphere {q[0, 0]:.4f}, spheroids {out['efficiencies'][0, 0]:.4f} and {out['efficiencies'][0, 1]:.4f}")
print(f"g:     sphere {q[4, 0]:.4f}, spheroids {out['efficiencies'][4, 0]:.4f} and {out['efficiencies'][4, 1]:.4f}")
print(f"terms N: {out['n_terms'].tolist()}, relative error estimates: {out['error'].tolist()}")
