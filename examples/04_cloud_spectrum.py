"""A water cloud's optical properties over a spectrum, with error bars.

ensemble_compute averages the sphere's optics over a gamma size distribution
(effective radius 5 um, effective variance 0.1) at every wavelength at once;
each output comes with the integration's error estimate. Lengths are in um.
Saves cloud_spectrum.png when matplotlib is installed.
"""

import numpy as np

import vantok._vantok as vt

# Wavelengths (um) and refractive indices of liquid water (approximate).
wl = np.array([0.4, 0.55, 0.7, 0.9, 1.2, 1.6, 2.0, 2.2])
m = np.array([1.339 + 1.9e-9j, 1.333 + 2.0e-9j, 1.331 + 3.4e-8j, 1.328 + 4.9e-7j,
              1.324 + 9.9e-6j, 1.317 + 8.6e-5j, 1.306 + 1.1e-3j, 1.292 + 2.9e-4j])
cloud = [(("gamma", 5.0, 0.1), ("sphere", m), 1.0)]
out = vt.ensemble_compute(cloud, wl, False, None, False, np.zeros(0), True, [], 1e-5, 100000, False, True)
v, e = out["values"], out["errors"]
q, dq = v[:3] / v[9], e[:3] / v[9]  # efficiencies: over the mean geometric cross section

print(f"{'um':>5}{'Q_ext':>10}{'+-':>9}{'Q_abs':>11}{'+-':>9}{'g':>9}{'+-':>9}  panels")
for i, lam in enumerate(wl):
    print(f"{lam:5.2f}{q[0, i]:10.5f}{dq[0, i]:9.1e}{q[2, i]:11.3e}{dq[2, i]:9.1e}"
          f"{v[5, i]:9.5f}{e[5, i]:9.1e}  {out['panels'][i]}")
print(f"effective radius {v[8, 0]:.6f} um, all converged: {bool(out['converged'].all())}")

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    plt = None
if plt is not None:
    fig, ax = plt.subplots()
    ax.errorbar(wl, q[2], yerr=dq[2], marker="o", capsize=3)
    ax.set(xlabel="wavelength (um)", ylabel="Q_abs", yscale="log", title="water cloud, r_eff = 5 um")
    fig.savefig("cloud_spectrum.png")
