"""The layered-sphere functions through the module: the one-layer identity,
amplitudes, phase matrix and Greek coefficients from the coefficients,
per-layer derivatives against central differences, and the particle and layer
axes of every output. (Values against the mpmath reference and the
degenerate shells are checked in the core's tests.)"""

import numpy as np
import pytest
from conftest import c, f

import vantok._vantok as vt

MU = f([-1.0, -0.7, -0.2, 0.0, 0.35, 0.8, 0.99, 1.0])
THREE_LAYERS = (
    f([[1.0, 2.5, 4.0], [2.0, 3.0, 7.5]]),
    c([[1.6 + 0.05j, 1.2 + 0.01j, 1.45 + 0.01j], [2.0 + 0.8j, 1.33 + 1e-3j, 1.5 + 0.1j]]),
)


def textbook_amplitudes(a, b, mu):
    """S1, S2 from the coefficients and the recurrences of pi_n, tau_n."""
    s1, s2 = np.zeros(len(mu), complex), np.zeros(len(mu), complex)
    pi_prev, pi = np.zeros(len(mu)), np.ones(len(mu))
    for n in range(1, len(a) + 1):
        tau = n * mu * pi - (n + 1) * pi_prev
        w = (2 * n + 1) / (n * (n + 1))
        s1 += w * (a[n - 1] * pi + b[n - 1] * tau)
        s2 += w * (a[n - 1] * tau + b[n - 1] * pi)
        pi_prev, pi = pi, ((2 * n + 1) * mu * pi - (n + 1) * pi_prev) / n
    return s1, s2


# The amplitudes are the textbook sums of the returned coefficients (forward
# S1 = S2 and the optical theorem; backward Q_back); the phase matrix follows
# from them and integrates to 1 (normalised) or Q_sca; the Greek coefficients
# count orders per particle, start with 1 (or Q_sca to the bit) and 3 g, and
# expand the normalised F11.
def test_angular_outputs_follow_from_the_coefficients():
    x, m = THREE_LAYERS
    counts, a, b, _ = vt.layered_coefficients(x, m, None, False, False)
    q, _ = vt.layered_efficiencies(x, m, None, False, False)
    assert np.array_equal(q[0], q[1] + q[2])
    nodes, weights = np.polynomial.legendre.leggauss(64)
    mu = np.concatenate([nodes, MU])
    (s1, s2), ds = vt.layered_amplitudes(x, m, mu, None, False, False)
    assert ds is None and s1.shape == (2, len(mu))
    for p in range(2):
        n = int(counts[p])
        ref1, ref2 = textbook_amplitudes(a[p, :n], b[p, :n], mu)
        scale = abs(ref1).max()
        assert np.max(abs(s1[p] - ref1)) <= 1e-13 * scale and np.max(abs(s2[p] - ref2)) <= 1e-13 * scale
        assert s1[p, -1] == s2[p, -1]
        assert 4 / x[p, -1] ** 2 * s1[p, -1].real == pytest.approx(q[0, p], rel=1e-12)
        assert 4 / x[p, -1] ** 2 * abs(s1[p, 64]) ** 2 == pytest.approx(q[3, p], rel=1e-12)
    for normalized in (False, True):
        big_f, _ = vt.layered_phase_matrix(x, m, mu, None, False, False, normalized)
        k = 4 / x[:, -1:] ** 2 / (q[1][:, None] if normalized else 1.0)
        expected = [k * (abs(s1) ** 2 + abs(s2) ** 2) / 2, k * (abs(s2) ** 2 - abs(s1) ** 2) / 2,
                    k * (s1 * s2.conj()).real, k * (s1.conj() * s2).imag]
        for got, want in zip(big_f, expected):
            np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12 * big_f[0].max())
        np.testing.assert_allclose(0.5 * big_f[0, :, :64] @ weights, 1.0 if normalized else q[1], rtol=1e-12)
    g_counts, g, dg = vt.layered_greek(x, m, None, None, False, False, True)
    assert np.array_equal(g_counts, counts) and g.shape == (6, 2, 2 * int(max(counts)) + 1) and dg is None
    assert np.all(g[0, :, 0] == 1.0) and np.all(g[[1, 2, 4, 5], :, :2] == 0)
    np.testing.assert_allclose(g[0, :, 1], 3 * q[4], rtol=1e-12)
    for p in range(2):
        assert np.all(g[:, p, 2 * int(counts[p]) + 1 :] == 0)
        np.testing.assert_allclose(np.polynomial.legendre.legval(MU, g[0, p]), big_f[0, p, 64:], rtol=1e-10)
    assert np.array_equal(vt.layered_greek(x, m, 0, None, False, False, False)[1][0, :, 0], q[1])


FUNCTIONS = {
    "efficiencies": lambda x, m, d: vt.layered_efficiencies(x, m, None, d, False),
    "coefficients": lambda x, m, d: vt.layered_coefficients(x, m, None, d, False),
    "amplitudes": lambda x, m, d: vt.layered_amplitudes(x, m, MU, None, d, False),
    "phase": lambda x, m, d: vt.layered_phase_matrix(x, m, MU, None, d, False, False),
    "greek": lambda x, m, d: vt.layered_greek(x, m, None, None, d, False, True),
}


# One layer is the homogeneous sphere, bit for bit (its record is the outer
# layer's: the sphere's derivatives); a column of a wider array is a particle.
@pytest.mark.parametrize("name", FUNCTIONS)
def test_one_layer_is_the_homogeneous_sphere(name):
    x, m = f([0.3, 2.0, 15.0]), c([1.5 + 0.01j, 1.33, 2.0 + 1.0j])
    sphere = {"efficiencies": lambda d: vt.mie_efficiencies(x, m, None, d, False),
              "coefficients": lambda d: vt.mie_coefficients(x, m, None, d, False),
              "amplitudes": lambda d: vt.mie_amplitudes(x, m, MU, None, d, False),
              "phase": lambda d: vt.mie_phase_matrix(x, m, MU, None, d, False, False),
              "greek": lambda d: vt.mie_greek(x, m, None, None, d, False, True)}[name]
    for derivatives in (False, True):
        layered, homogeneous = FUNCTIONS[name](x[:, None], m[:, None], derivatives), sphere(derivatives)
        assert all(np.array_equal(a, b) for a, b in zip(layered[:-1], homogeneous[:-1]))
        assert np.array_equal(layered[-1][0], homogeneous[-1]) if derivatives else layered[-1] is None
    # With L = 1 the layer stride is free: one particle may be a column of a wider array.
    column = FUNCTIONS[name](np.stack([x, x + 9], axis=1)[:1, :1], np.stack([m, m], axis=1)[:1, :1], False)
    assert np.array_equal(column[-2], FUNCTIONS[name](x[:1, None], m[:1, None], False)[-2])
    # Values with derivatives are those without (the first layer's evaluation).
    x3, m3 = THREE_LAYERS
    assert np.array_equal(FUNCTIONS[name](x3, m3, False)[-2], FUNCTIONS[name](x3, m3, True)[-2])


# Per layer and parameter (x_l, Re m_l, Im m_l) against central differences of
# every particle; the outer layer's x row alone carries the explicit terms of
# the 1/x_L^2 factors. dS/dm and da/dm are complex derivatives (times i for Im m).
@pytest.mark.parametrize("name", ["efficiencies", "coefficients", "amplitudes", "phase", "greek"])
def test_derivatives_match_central_differences(name):
    x, m = THREE_LAYERS
    fun = {"efficiencies": lambda x, m, d: vt.layered_efficiencies(x, m, 40, d, False),
           "coefficients": lambda x, m, d: (lambda r: (np.stack(r[1:3]), None if r[3] is None else r[3][:, [0, 2, 1, 3]]))(
               vt.layered_coefficients(x, m, 40, d, False)),
           "amplitudes": lambda x, m, d: vt.layered_amplitudes(x, m, MU[1:-1], 40, d, False),
           "phase": lambda x, m, d: vt.layered_phase_matrix(x, m, MU[1:-1], 40, d, False, False),
           "greek": lambda x, m, d: vt.layered_greek(x, m, 12, 40, d, False, False)[1:]}[name]
    derivatives = fun(x, m, True)[1]
    h = 1e-6
    for layer in range(3):
        for r, step in enumerate((h, h, 1j * h)):
            moved = [(x.copy(), m.copy()) for _ in (1, -1)]
            for (xs, ms), sign in zip(moved, (1, -1)):
                if r == 0:
                    xs[:, layer] += sign * h
                else:
                    ms[:, layer] += sign * step
            numeric = (fun(*moved[0], False)[0] - fun(*moved[1], False)[0]) / (2 * h)
            if name in ("coefficients", "amplitudes"):
                half = derivatives.shape[1] // 2
                analytic = derivatives[layer, :half] if r == 0 else derivatives[layer, half:] * (1j if r == 2 else 1)
            else:
                analytic = derivatives[layer, r]
            assert np.max(abs(analytic - numeric)) <= 1e-7 * abs(analytic).max(), (layer, r)
    if name == "greek":  # normalised, alpha1_0 = 1 has no derivative
        assert np.all(vt.layered_greek(x, m, 4, None, True, False, True)[2][:, :, 0, :, 0] == 0)


def test_particles_layouts_and_tables():
    x, m = THREE_LAYERS
    for name, fun in FUNCTIONS.items():
        batch = fun(x, m, True)
        for p in range(2):  # rows are independent particles (outputs padded to the largest count)
            for big, one in zip(batch, fun(x[p : p + 1], m[p : p + 1], True)):
                axis = -1 if big.ndim == 1 or name == "efficiencies" else -2
                assert np.array_equal(np.take(big, [p], axis=axis)[..., : one.shape[-1]], one), name
        for a in batch:
            assert a.flags.c_contiguous and a.flags.writeable and a.base is not None
        empty = fun(np.zeros((0, 3)), np.zeros((0, 3), complex), True)
        assert empty[-1].shape[-1 if name == "efficiencies" else -2] == 0 and empty[-1].shape[0] == 3
    counts, a, _, d = vt.layered_coefficients(x, m, 30, True, False)
    assert counts.tolist() == [30, 30] and d.shape == (3, 4, 2, 30) and np.all(a != 0)
    # The cosines in C order of their shape; none: every particle checked, none solved.
    mu = f([[0.1, 0.2, 0.3], [-0.4, -0.5, 1.0]])
    s, _ = vt.layered_amplitudes(x, m, np.asfortranarray(mu), None, False, False)
    assert np.array_equal(s, vt.layered_amplitudes(x, m, mu.ravel(), None, False, False)[0])
    far = f([[500.0, 1000.5], [1.0, 2.0]])
    assert vt.layered_amplitudes(far, c([[1.5, 1.33]] * 2), np.zeros(0), None, True, False)[1].shape == (2, 4, 2, 0)
    # Many particles share one angular table (up to 2 * 1024 * 2048 values):
    # the same bits as one particle's recurrence.
    x2, m2 = f([[400.0, 900.0], [300.0, 800.0]]), c([[1.5 + 0.01j, 1.33], [1.4, 1.2 + 1e-3j]])
    grid = np.linspace(-1, 1, 2049)
    with_table = vt.layered_amplitudes(x2, m2, grid[:2048], 1024, False, False)[0]
    assert np.array_equal(with_table, vt.layered_amplitudes(x2, m2, grid, 1024, False, False)[0][:, :, :2048])
    assert np.array_equal(with_table[:, 1], vt.layered_amplitudes(x2[1:], m2[1:], grid[:2048], 1024, False, False)[0][:, 0])
