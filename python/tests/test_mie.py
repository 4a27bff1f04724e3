"""The sphere functions through the module: the optical theorem and the
textbook series of the returned coefficients, Rayleigh limits, the phase
matrix and Greek coefficients from the amplitudes, derivatives against
central differences, and the layouts of every output. (Values against
high-precision references are checked in the core's tests.)"""

import numpy as np
import pytest
from conftest import c, f
from hypothesis import given
from hypothesis import strategies as st
from numpy.polynomial import legendre

import vantok._vantok as vt


# Q_ext = 4 Re S(1)/x^2 and Q_back = 4 |S(-1)|^2/x^2 of the returned amplitudes
# (the module forms Q_ext from the absorption and scattering sums instead); Q_sca
# and g by the textbook series of the returned coefficients; S1 = S2 forward
# and S1 = -S2 backward to the bit.
@pytest.mark.parametrize("x, m", [(0.5, 1.33), (3.0, 1.5 + 0.01j), (20.0, 1.33 + 1e-8j), (100.0, 1.2 + 0.05j)])
def test_efficiencies_from_amplitudes_and_coefficients(x, m):
    (s1, s2), _ = vt.mie_amplitudes(f([x]), c([m]), f([1.0, -1.0]), None, False, False)
    q, _ = vt.mie_efficiencies(f([x]), c([m]), None, False, False)
    counts, a, b, _ = vt.mie_coefficients(f([x]), c([m]), None, False, False)
    assert counts[0] == a.shape[1] == vt.mie_default_n_max(f([x]))[0]
    a, b, n = a[0], b[0], np.arange(1, a.shape[1] + 1)
    w = 2 * n + 1
    s_sca = np.sum(w * (abs(a) ** 2 + abs(b) ** 2))
    s_asy = np.sum(n[:-1] * (n[:-1] + 2) / (n[:-1] + 1) * (a[:-1] * a[1:].conj() + b[:-1] * b[1:].conj()).real)
    s_asy += np.sum(w / (n * (n + 1)) * (a * b.conj()).real)
    want = [4 / x**2 * s1[0, 0].real, 2 / x**2 * s_sca, 4 / x**2 * abs(s1[0, 1]) ** 2, 2 * s_asy / s_sca]
    np.testing.assert_allclose(q[[0, 1, 3, 4], 0], want, rtol=1e-11)
    assert q[0, 0] == q[1, 0] + q[2, 0] and s1[0, 0] == s2[0, 0] and s1[0, 1] == -s2[0, 1]


def test_physical_limits():
    x = 0.01
    for m in (1.5 + 0j, 1.33 + 0.1j, 2 + 1j):  # Rayleigh
        q, _ = vt.mie_efficiencies(f([x]), c([m]), None, False, False)
        polar = (m**2 - 1) / (m**2 + 2)
        assert q[1, 0] == pytest.approx(8 / 3 * x**4 * abs(polar) ** 2, rel=1e-3)
        assert q[3, 0] == pytest.approx(4 * x**4 * abs(polar) ** 2, rel=1e-3)
        assert q[2, 0] == pytest.approx(4 * x * polar.imag, rel=1e-3) or m.imag == 0
    q, _ = vt.mie_efficiencies(f([0.5, 3.0, 40.0]), c([1.33, 1.5, 1.7]), None, False, False)
    assert np.all(q[2] == 0.0) and np.array_equal(q[0], q[1])  # nothing absorbed
    q, jac = vt.mie_efficiencies(f([0.5]), c([1.0]), None, True, False)
    assert np.all(q == 0.0) and np.all(jac[:, 4] == 0.0)  # nothing scattered: g and its slopes 0, not NaN


@given(x=st.floats(1e-3, 200.0), re=st.floats(1.01, 3.0), im=st.floats(0.0, 2.0))
def test_identities(x, re, im):
    q, jac = vt.mie_efficiencies(f([x]), c([complex(re, im)]), None, True, False)
    assert q[0, 0] == q[1, 0] + q[2, 0] and np.array_equal(jac[:, 0], jac[:, 1] + jac[:, 2])
    assert q[1, 0] > 0 and q[2, 0] >= 0 and q[3, 0] >= 0 and -1 <= q[4, 0] <= 1
    batch, _ = vt.mie_efficiencies(f([2.0, x, 0.5]), c([1.5, complex(re, im), 1.2]), None, False, False)
    assert np.array_equal(batch[:, 1], q[:, 0])  # one element gives in a batch the bits it gives alone


# F11 = (|S1|^2 + |S2|^2)/2, F12 = (|S2|^2 - |S1|^2)/2, F33 = Re S1 S2*, F34 = Im S1* S2,
# times 4/x^2 (and 1/Q_sca normalised); the normalised F11 integrates to 2 on a
# rule exact for its degree; forward F12 = F34 = 0 and F33 = F11.
def test_phase_matrix_from_the_amplitudes():
    x, m = f([0.8, 7.0, 60.0]), c([1.5 + 0.01j, 1.33, 1.7 + 0.4j])
    mu, weights = vt.gauss_legendre(int(vt.mie_default_n_max(x).max()) + 1)
    mu = np.append(mu, 1.0)
    (s1, s2), _ = vt.mie_amplitudes(x, m, mu, None, False, False)
    q, _ = vt.mie_efficiencies(x, m, None, False, False)
    for normalized in (False, True):
        big_f, df = vt.mie_phase_matrix(x, m, mu, None, False, False, normalized)
        assert big_f.shape == (4, 3, len(mu)) and df is None
        k = 4 / x[:, None] ** 2 / (q[1][:, None] if normalized else 1)
        expected = [k * (abs(s1) ** 2 + abs(s2) ** 2) / 2, k * (abs(s2) ** 2 - abs(s1) ** 2) / 2,
                    k * (s1 * s2.conj()).real, k * (s1.conj() * s2).imag]
        assert np.all(abs(big_f - expected) <= 1e-13 * np.max(abs(big_f[0]), axis=1)[:, None])
        np.testing.assert_allclose(0.5 * big_f[0, :, :-1] @ weights, 1.0 if normalized else q[1], rtol=1e-12)
    assert np.all(big_f[[1, 3], :, -1] == 0) and np.allclose(big_f[2, :, -1], big_f[0, :, -1], rtol=1e-15)


# The expansion gives back the phase matrix: F11 = sum a1 P_l, F33 = sum a4 P_l,
# F12 = sum b1 d02, F34 = sum b2 d02, F11 + F33 = sum (a2 + a3) d22, F11 - F33 =
# sum (a2 - a3) d2,-2; alpha1_0 is 1 (or Q_sca to the bit), alpha1_1 = 3 g.
def test_greek_coefficients_expand_the_phase_matrix():
    x, m = f([0.9, 15.0, 3.0]), c([1.5 + 0.01j, 1.33 + 0.001j, 1.7 + 0.2j])
    counts, g, dg = vt.mie_greek(x, m, None, None, False, False, True)
    q, _ = vt.mie_efficiencies(x, m, None, False, False)
    assert dg is None and counts.dtype == np.uint64 and np.array_equal(counts, vt.mie_default_n_max(x))
    assert g.shape == (6, 3, 2 * int(counts.max()) + 1)
    mu = np.linspace(-1, 1, 57)
    big_f, _ = vt.mie_phase_matrix(x, m, mu, None, False, False, True)
    d = {k: vt.wigner_d(*k, g.shape[2] - 1, mu) for k in ((0, 0), (0, 2), (2, 2), (2, -2))}
    for i in range(3):
        assert np.all(g[:, i, 2 * int(counts[i]) + 1:] == 0) and g[0, i, 2 * int(counts[i])] != 0
        a1, a2, a3, a4, b1, b2 = g[:, i]
        f11, f12, f33, f34 = big_f[:, i]
        for got, want in ((legendre.legval(mu, a1), f11), (d[0, 0] @ a4, f33), (d[0, 2] @ b1, f12),
                          (d[0, 2] @ b2, f34), (d[2, 2] @ (a2 + a3), f11 + f33), (d[2, -2] @ (a2 - a3), f11 - f33)):
            assert np.max(abs(got - want)) <= 1e-10 * np.max(abs(f11))
    np.testing.assert_allclose(g[0, :, 1], 3 * q[4], rtol=1e-12)
    assert np.all(g[0, :, 0] == 1.0) and np.all(abs(g[[1, 2, 4, 5]][:, :, :2]) <= 1e-15)
    _, plain, _ = vt.mie_greek(x, m, 0, None, False, False, False)
    assert plain.shape == (6, 3, 1) and np.array_equal(plain[0, :, 0], q[1])
    _, wider, _ = vt.mie_greek(x, m, g.shape[2] + 4, None, False, False, True)  # a larger order pads
    assert np.array_equal(wider[:, :, : g.shape[2]], g) and np.all(wider[:, :, g.shape[2]:] == 0)
    _, cut, _ = vt.mie_greek(x, m, 4, None, False, False, True)  # a smaller one cuts (another rule)
    np.testing.assert_allclose(cut, g[:, :, :5], rtol=0, atol=1e-13)


MU4 = f([-0.9, -0.1, 0.5, 1.0])
# (function of (x, m, n, derivatives) -> (values, derivatives), whether its
# derivatives are complex derivatives d/dm (Im m then i d/dm) or a row each for
# x, Re m and Im m)
DERIVATIVES = {
    "efficiencies": (lambda x, m, n, d: vt.mie_efficiencies(x, m, n, d, True), False),
    "coefficients": (lambda x, m, n, d: (lambda r: (np.stack(r[1:3]), None if r[3] is None else r[3][[0, 2, 1, 3]]))(
        vt.mie_coefficients(x, m, n, d, True)), True),
    "amplitudes": (lambda x, m, n, d: vt.mie_amplitudes(x, m, MU4, n, d, True), True),
    "phase": (lambda x, m, n, d: vt.mie_phase_matrix(x, m, MU4, n, d, True, False), False),
    "phase normalised": (lambda x, m, n, d: vt.mie_phase_matrix(x, m, MU4, n, d, True, True), False),
    "greek": (lambda x, m, n, d: vt.mie_greek(x, m, 2 * n, n, d, True, False)[1:], False),
    "greek normalised": (lambda x, m, n, d: vt.mie_greek(x, m, 2 * n, n, d, True, True)[1:], False),
}


@pytest.mark.parametrize("name", DERIVATIVES)
@pytest.mark.parametrize("x, m", [(1.1, 1.5 + 0.05j), (8.0, 1.33 + 0.01j)])
def test_derivatives_match_central_differences(name, x, m):
    fun, complex_derivative = DERIVATIVES[name]
    n = int(vt.mie_default_n_max(f([x]))[0]) + 3  # a fixed count on both sides of the difference
    values, d = fun(f([x]), c([m]), n, True)
    assert np.array_equal(values, fun(f([x]), c([m]), n, False)[0])  # the values come unchanged
    h = 1e-6
    for r, step in enumerate((h, h, 1j * h)):
        dx, dm = (step, 0) if r == 0 else (0, step)
        numeric = (fun(f([x + dx]), c([m + dm]), n, False)[0] - fun(f([x - dx]), c([m - dm]), n, False)[0]) / (2 * h)
        if complex_derivative:
            half = d.shape[0] // 2
            analytic = d[:half] if r == 0 else d[half:] * (1j if r == 2 else 1)
            analytic = analytic.reshape(numeric.shape)
        else:
            analytic = d[r]
        np.testing.assert_allclose(analytic, numeric, rtol=2e-6, atol=1e-7 * np.max(abs(analytic)))
    if name == "greek normalised":
        assert np.all(d[:, 0, 0, 0] == 0)  # alpha1_0 = 1 whatever x and m
    if name == "greek":  # alpha1_0 = Q_sca: its slopes are the Jacobian's, to the bit
        assert np.array_equal(d[:, 0, 0, 0], vt.mie_efficiencies(f([x]), c([m]), n, True, False)[1][:, 1, 0])


def test_layouts():
    # Outputs follow the C order of x's shape (whatever x's memory order) and of mu's.
    x = f([[0.5, 1.0, 2.0], [3.0, 4.0, 5.0]])
    m = c([[1.5, 1.4 + 0.1j, 1.3], [1.2, 1.6 + 0.2j, 2.0 + 1.0j]])
    mu = f([[0.1, -0.5, 1.0], [0.3, 0.7, -1.0]])
    for fun in (lambda x, m, mu: vt.mie_efficiencies(x, m, None, True, False),
                lambda x, m, mu: vt.mie_coefficients(x, m, None, True, False),
                lambda x, m, mu: vt.mie_amplitudes(x, m, mu, None, True, False),
                lambda x, m, mu: vt.mie_phase_matrix(x, m, mu, None, True, False, True)):
        flat = fun(x.ravel(), m.ravel(), mu.ravel())
        for args in ((x, m, mu), (np.asfortranarray(x), np.asfortranarray(m), np.asfortranarray(mu))):
            assert all(np.array_equal(a, b) for a, b in zip(fun(*args), flat))
        reversed_ = fun(x[:, ::-1], m[:, ::-1], mu.ravel())
        assert np.array_equal(reversed_[0][..., [2, 1, 0, 5, 4, 3], :] if reversed_[0].ndim == 3
                              else reversed_[0][..., [2, 1, 0, 5, 4, 3]], flat[0])
        for a in flat:
            assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned and a.base is not None
    assert vt.mie_efficiencies(np.array(2.0), np.array(1.5 + 0j), None, True, False)[1].shape == (3, 5, 1)
    assert vt.mie_default_n_max(f([1.0, 100.0, 1e-30, 1e6])).tolist() == [10, 131, 4, 1000603]
    assert vt.mie_default_n_max(np.zeros((0, 3))).shape == (0,)
    # Coefficients are zero-padded to the largest count; a given n_max fills every row.
    counts, a, b, d = vt.mie_coefficients(f([1.0, 10.0]), c([1.5, 1.5]), None, True, False)
    assert counts.tolist() == [10, 26] and a.shape == (2, 26) and d.shape == (4, 2, 26)
    assert np.all(a[0, 10:] == 0) and np.all(d[:, 0, 10:] == 0) and np.all(a[0, :10] != 0)
    assert vt.mie_coefficients(f([1.0, 10.0]), c([1.5, 1.5]), 40, False, False)[0].tolist() == [40, 40]


@pytest.mark.parametrize("derivatives", [False, True])
def test_empty_inputs_and_outputs_that_outlive_them(derivatives):
    x, m, mu = f([1.0, 2.0]), c([1.5, 1.5]), f([0.5])
    calls = [(vt.mie_efficiencies, (5, 0), (3, 5, 0)), (vt.mie_coefficients, (0, 0), (4, 0, 0)),
             (lambda *r: vt.mie_amplitudes(r[0], r[1], mu, *r[2:]), (2, 0, 1), (4, 0, 1)),
             (lambda *r: vt.mie_phase_matrix(r[0], r[1], mu, *r[2:], True), (4, 0, 1), (3, 4, 0, 1)),
             (lambda *r: vt.mie_greek(r[0], r[1], None, *r[2:], True), (6, 0, 1), (3, 6, 0, 1))]
    for fun, shape, dshape in calls:
        out = fun(f([]), c([]), None, derivatives, False)
        assert out[-2].shape == shape and (out[-1].shape == dshape if derivatives else out[-1] is None)
        result = fun(x.copy(), m.copy(), None, derivatives, False)
        copies = [np.array(r) for r in result]
        assert all(np.array_equal(r, k) for r, k in zip(result, copies))
    s, _ = vt.mie_amplitudes(x, m, f([]), None, derivatives, False)
    assert s.shape == (2, 2, 0)


BATCH_X = np.concatenate([10 ** np.random.default_rng(11).uniform(-1, 2.5, 9), [1200.0]])
BATCH_M = np.random.default_rng(12).uniform(1.3, 1.8, 10) + 1j * np.random.default_rng(13).uniform(0, 0.2, 10)


# Many elements share one angular table (up to 2 * 1024 * 2048 values), one
# element runs the recurrence: the bits are the same either way.
@pytest.mark.parametrize("derivatives", [False, True])
def test_shared_table_equals_the_recurrence(derivatives):
    for x, m, mu, n_max in ((BATCH_X, BATCH_M, np.linspace(-1, 1, 91), None),
                            (f([3.0, 40.0]), c([1.5 + 0.01j, 1.33]), np.linspace(-1, 1, 2048), 1024),
                            (f([3.0, 40.0]), c([1.5 + 0.01j, 1.33]), np.linspace(-1, 1, 2049), 1024)):
        s = vt.mie_amplitudes(x, m, mu, n_max, derivatives, False)
        p = vt.mie_phase_matrix(x, m, mu, n_max, derivatives, False, False)
        for i in range(len(x)):
            one_s = vt.mie_amplitudes(x[i : i + 1], m[i : i + 1], mu, n_max, derivatives, False)
            one_p = vt.mie_phase_matrix(x[i : i + 1], m[i : i + 1], mu, n_max, derivatives, False, False)
            assert np.array_equal(s[0][:, i], one_s[0][:, 0]) and np.array_equal(p[0][:, i], one_p[0][:, 0])
            if derivatives:
                assert np.array_equal(s[1][:, i], one_s[1][:, 0]) and np.array_equal(p[1][:, :, i], one_p[1][:, :, 0])
