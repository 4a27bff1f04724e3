"""A coated sphere and what its shell does: layered_efficiencies with derivatives.

A black-carbon core (m = 1.95 + 0.79i) inside a growing water shell. The shell
focuses light onto the absorbing core ("lensing"), so absorption rises with the
shell; the Jacobian gives the sensitivity of Q_abs to the shell's Im m, the kind
of derivative a retrieval needs.
"""

import numpy as np

import vantok._vantok as vt

x_core = 1.0
shell_ratios = np.array([1.0, 1.2, 1.5, 2.0, 3.0])  # outer radius / core radius
x = np.stack([np.full_like(shell_ratios, x_core), x_core * shell_ratios], axis=1)
m = np.tile(np.array([1.95 + 0.79j, 1.33 + 1e-8j]), (len(shell_ratios), 1))

q, jac = vt.layered_efficiencies(x, m, None, True, False)
q_abs = q[2]
# Absorption cross section relative to the bare core: Q_abs * x_outer^2 / x_core^2.
enhancement = q_abs * x[:, 1] ** 2 / (q_abs[0] * x_core**2)
# jac[layer, variable, efficiency, particle]; variable 2 is Im m, efficiency 2 is Q_abs.
dqabs_dim_shell = jac[1, 2, 2]

print(f"{'r_out/r_core':>12}{'Q_abs':>10}{'C_abs/C_core':>14}{'dQ_abs/dIm m_shell':>20}")
for r, qa, e, d in zip(shell_ratios, q_abs, enhancement, dqabs_dim_shell):
    print(f"{r:12.2f}{qa:10.4f}{e:14.3f}{d:20.4f}")
