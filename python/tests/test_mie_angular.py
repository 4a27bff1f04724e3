"""mie_amplitudes, mie_phase_matrix and mie_greek: amplitudes against an mpmath
reference, phase-matrix and Greek identities, derivatives against central
differences, the shared table against the per-element recurrence bit for bit,
layouts, the order and text of every refusal, borrows, leaks and threads."""

import threading
import time

import mpmath
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from numpy.polynomial import legendre
from test_mie import reference_coefficients

from conftest import FOREIGN, assert_refcounts_kept, bcast, c, f, in_threads, raises_exactly, run_py, unaligned, unaligned_complex

import vantok._vantok as vt
from vantok import errors

with_write_borrow = vt._testing.with_write_borrow


def amplitudes(x, m, mu, n_max=None, derivatives=False):
    return vt.mie_amplitudes(x, m, mu, n_max, derivatives, False)


def phase(x, m, mu, normalized=True, derivatives=False, n_max=None):
    return vt.mie_phase_matrix(x, m, mu, n_max, derivatives, False, normalized)


def greek(x, m, order=None, normalized=True, derivatives=False, n_max=None):
    return vt.mie_greek(x, m, order, n_max, derivatives, False, normalized)


MU = f([-1.0, -0.73, -0.2, 0.0, 0.31, 0.9, 0.999, 1.0])

# ---- amplitudes against mpmath --------------------------------------------------


def reference_amplitudes(x, m, mu, n_terms):
    """S1, S2 from 40-digit a_n, b_n and the angular recurrences in mpmath."""
    a, b = reference_coefficients(x, m, n_terms)
    s1, s2 = [], []
    with mpmath.workdps(30):
        for u in map(mpmath.mpf, mu):
            pi_prev, pi = mpmath.mpf(0), mpmath.mpf(1)
            t1 = t2 = mpmath.mpc(0)
            for n in range(1, n_terms + 1):
                tau = n * u * pi - (n + 1) * pi_prev
                w = mpmath.mpf(2 * n + 1) / (n * (n + 1))
                an, bn = mpmath.mpc(a[n - 1]), mpmath.mpc(b[n - 1])
                t1 += w * (an * pi + bn * tau)
                t2 += w * (an * tau + bn * pi)
                pi_prev, pi = pi, ((2 * n + 1) * u * pi - (n + 1) * pi_prev) / n
            s1.append(complex(t1))
            s2.append(complex(t2))
    return np.array(s1), np.array(s2)


@pytest.mark.parametrize("x, m", [(0.3, 1.5 + 0.01j), (2.0, 1.33 + 0j), (12.0, 1.6 + 0.1j), (30.0, 2 + 1j)])
def test_amplitudes_match_the_mpmath_reference(x, m):
    s, ds = amplitudes(f([x]), c([m]), MU)
    assert s.shape == (2, 1, len(MU)) and s.dtype == np.complex128 and ds is None
    n_terms = int(vt.mie_default_n_max(f([x]))[0])
    ref1, ref2 = reference_amplitudes(x, m, MU, n_terms)
    # The sums cancel towards the back: compare on the scale of the forward amplitude.
    scale = abs(ref1[-1])
    assert np.max(abs(s[0, 0] - ref1)) <= 1e-12 * scale
    assert np.max(abs(s[1, 0] - ref2)) <= 1e-12 * scale


def test_forward_and_backward_amplitudes():
    x = f([0.5, 3.0, 25.0, 140.0])
    m = c([1.5 + 0.01j, 1.33, 2 + 1j, 1.2 + 0.3j])
    s, _ = amplitudes(x, m, f([1.0, -1.0]))
    q, _ = vt.mie_efficiencies(x, m, None, False, False)
    # S1(1) and S2(1) are the same sum: pi_n(1) = tau_n(1) exactly.
    assert np.array_equal(s[0, :, 0], s[1, :, 0])
    assert np.array_equal(s[0, :, 1], -s[1, :, 1])
    # Optical theorem and backscatter.
    np.testing.assert_allclose(q[0], 4 / x**2 * s[0, :, 0].real, rtol=1e-12)
    np.testing.assert_allclose(q[3], 4 * abs(s[0, :, 1]) ** 2 / x**2, rtol=1e-12)


# ---- phase matrix ---------------------------------------------------------------


def test_phase_matrix_from_the_amplitudes():
    x = f([0.8, 7.0, 60.0])
    m = c([1.5 + 0.01j, 1.33, 1.7 + 0.4j])
    mu = np.linspace(-1, 1, 37)
    s, _ = amplitudes(x, m, mu)
    q, _ = vt.mie_efficiencies(x, m, None, False, False)
    s1, s2 = s
    for normalized in (False, True):
        big_f, df = phase(x, m, mu, normalized)
        assert big_f.shape == (4, 3, 37) and big_f.dtype == np.float64 and df is None
        c_ = 4 / x[:, None] ** 2 / (q[1][:, None] if normalized else 1)
        expected = [
            0.5 * c_ * (abs(s1) ** 2 + abs(s2) ** 2),
            0.5 * c_ * (abs(s2) ** 2 - abs(s1) ** 2),
            c_ * (s1 * s2.conj()).real,
            c_ * (s1.conj() * s2).imag,
        ]
        scale = np.max(abs(big_f[0]), axis=1)[:, None]
        for k in range(4):
            assert np.all(abs(big_f[k] - expected[k]) <= 1e-13 * scale)
    forward = big_f[:, :, -1]
    assert np.all(forward[1] == 0) and np.all(forward[3] == 0)
    np.testing.assert_allclose(forward[2], forward[0], rtol=1e-15)


@pytest.mark.parametrize("x, m", [(0.4, 1.5 + 0.01j), (9.0, 1.33 + 0j), (50.0, 1.6 + 0.05j)])
def test_phase_matrix_integrates_to_one_or_to_q_sca(x, m):
    n_terms = int(vt.mie_default_n_max(f([x]))[0])
    nodes, weights = vt.gauss_legendre(n_terms + 1)  # exact for the degree-2N polynomial F11
    q, _ = vt.mie_efficiencies(f([x]), c([m]), None, False, False)
    normalized, _ = phase(f([x]), c([m]), nodes, True)
    plain, _ = phase(f([x]), c([m]), nodes, False)
    assert abs(0.5 * np.dot(weights, normalized[0, 0]) - 1) < 1e-12
    assert abs(0.5 * np.dot(weights, plain[0, 0]) / q[1, 0] - 1) < 1e-12


# ---- derivatives ----------------------------------------------------------------


def partials(at, h=1e-6):
    """Central differences of at(dx, dm) in x, Re m and Im m."""

    def central(step):
        return (at(*step(h)) - at(*step(-h))) / (2 * h)

    return [central(lambda t: (t, 0)), central(lambda t: (0, t)), central(lambda t: (0, 1j * t))]


@pytest.mark.parametrize("x, m", [(1.1, 1.5 + 0.05j), (8.0, 1.33 + 0.01j)])
def test_amplitude_derivatives_match_central_differences(x, m):
    mu = f([-0.9, -0.1, 0.5, 1.0])
    n = int(vt.mie_default_n_max(f([x]))[0]) + 3  # a fixed count on both sides of the difference
    s, ds = amplitudes(f([x]), c([m]), mu, n, True)
    assert ds.shape == (4, 1, 4) and ds.dtype == np.complex128
    at = lambda dx, dm: amplitudes(f([x + dx]), c([m + dm]), mu, n)[0][:, 0]  # noqa: E731
    numeric = partials(at)
    scale = np.max(abs(ds))
    np.testing.assert_allclose(ds[0:2, 0], numeric[0], rtol=1e-6, atol=1e-8 * scale)
    np.testing.assert_allclose(ds[2:4, 0], numeric[1], rtol=1e-6, atol=1e-8 * scale)
    # The Im m derivative is i d/dm.
    np.testing.assert_allclose(1j * ds[2:4, 0], numeric[2], rtol=1e-6, atol=1e-8 * scale)
    # The values come with the derivatives unchanged.
    assert np.array_equal(s, amplitudes(f([x]), c([m]), mu, n)[0])


@pytest.mark.parametrize("normalized", [False, True])
@pytest.mark.parametrize("x, m", [(1.1, 1.5 + 0.05j), (8.0, 1.33 + 0.01j)])
def test_phase_matrix_derivatives_match_central_differences(x, m, normalized):
    mu = f([-0.9, -0.1, 0.5, 1.0])
    n = int(vt.mie_default_n_max(f([x]))[0]) + 3  # a fixed count on both sides of the difference
    big_f, df = phase(f([x]), c([m]), mu, normalized, True, n)
    assert df.shape == (3, 4, 1, 4)
    at = lambda dx, dm: phase(f([x + dx]), c([m + dm]), mu, normalized, n_max=n)[0][:, 0]  # noqa: E731
    numeric = partials(at)
    scale = np.max(abs(df))
    for r in range(3):
        np.testing.assert_allclose(df[r, :, 0], numeric[r], rtol=1e-6, atol=1e-8 * scale)
    assert np.array_equal(big_f, phase(f([x]), c([m]), mu, normalized, n_max=n)[0])


# ---- layouts, table and recurrence --------------------------------------------


def test_shapes_follow_c_order_of_x_and_mu():
    x = f([[0.5, 1.0, 2.0], [3.0, 4.0, 5.0]])
    m = c([[1.5, 1.4 + 0.1j, 1.3], [1.2, 1.6 + 0.2j, 2.0 + 1.0j]])
    mu = f([[0.1, -0.5, 1.0], [0.3, 0.7, -1.0]])
    s, ds = amplitudes(x, m, mu[0, :2].copy(), derivatives=True)
    assert s.shape == (2, 6, 2) and ds.shape == (4, 6, 2)
    s, _ = amplitudes(x, m, mu)
    assert s.shape == (2, 6, 6)
    assert np.array_equal(s, amplitudes(x.ravel(), m.ravel(), mu.ravel())[0])
    assert np.array_equal(s, amplitudes(np.asfortranarray(x), np.asfortranarray(m), np.asfortranarray(mu))[0])
    big_f, df = phase(x, m, mu, derivatives=True)
    assert big_f.shape == (4, 6, 6) and df.shape == (3, 4, 6, 6)
    # A 0-dimensional x is one element.
    assert amplitudes(f(2.0), c(1.5), f([0.5]))[0].shape == (2, 1, 1)
    for array in (s, ds, big_f, df):
        assert array.flags.c_contiguous and array.flags.writeable and array.base is not None


def test_empty_inputs():
    s, ds = amplitudes(f([]), c([]), MU, derivatives=True)
    assert s.shape == (2, 0, 8) and ds.shape == (4, 0, 8)
    big_f, df = phase(f([]), c([]), MU, derivatives=True)
    assert big_f.shape == (4, 0, 8) and df.shape == (3, 4, 0, 8)
    s, ds = amplitudes(f([1.0, 2.0]), c([1.5, 1.5]), f([]), derivatives=True)
    assert s.shape == (2, 2, 0) and ds.shape == (4, 2, 0)
    big_f, df = phase(f([1.0, 2.0]), c([1.5, 1.5]), f([]), derivatives=False)
    assert big_f.shape == (4, 2, 0) and df is None
    # Without cosines every element is still checked.
    message = "invalid input: element 1: the size parameter x must be in [1e-30, 1e6], got 0e0"
    for fun in (amplitudes, phase):
        with raises_exactly(errors.InvalidInputError, message):
            fun(f([1.0, 0.0, 2.0]), c([1.5, 1.5, 1.5]), f([]))


RNG = np.random.default_rng(11)
BATCH_X = np.concatenate([10 ** RNG.uniform(-1, 2.5, 9), [1200.0]])
BATCH_M = RNG.uniform(1.3, 1.8, 10) + 1j * RNG.uniform(0, 0.2, 10)


@pytest.mark.parametrize("derivatives", [False, True])
def test_shared_table_equals_the_recurrence(derivatives):
    mu = np.linspace(-1, 1, 91)
    s, ds = amplitudes(BATCH_X, BATCH_M, mu, derivatives=derivatives)
    big_f, df = phase(BATCH_X, BATCH_M, mu, False, derivatives)
    for i in range(len(BATCH_X)):
        one_s, one_ds = amplitudes(BATCH_X[i : i + 1], BATCH_M[i : i + 1], mu, derivatives=derivatives)
        one_f, one_df = phase(BATCH_X[i : i + 1], BATCH_M[i : i + 1], mu, False, derivatives)
        assert np.array_equal(s[:, i], one_s[:, 0]) and np.array_equal(big_f[:, i], one_f[:, 0])
        if derivatives:
            assert np.array_equal(ds[:, i], one_ds[:, 0]) and np.array_equal(df[:, :, i], one_df[:, :, 0])


@given(
    x=st.lists(st.floats(1e-3, 300.0), min_size=2, max_size=4),
    re=st.floats(1.01, 3.0),
    im=st.floats(0.0, 2.0),
    mu=st.lists(st.floats(-1.0, 1.0), min_size=1, max_size=5),
)
def test_table_and_recurrence_agree_for_any_batch(x, re, im, mu):
    x, mu = f(x), f(mu)
    m = np.full(len(x), complex(re, im))
    s, ds = amplitudes(x, m, mu, derivatives=True)
    big_f, _ = phase(x, m, mu, False)
    for i in range(len(x)):
        one_s, one_ds = amplitudes(x[i : i + 1], m[i : i + 1], mu, derivatives=True)
        assert np.array_equal(s[:, i], one_s[:, 0]) and np.array_equal(ds[:, i], one_ds[:, 0])
        assert np.array_equal(big_f[:, i], phase(x[i : i + 1], m[i : i + 1], mu, False)[0][:, 0])
    assert np.all(big_f[0] >= 0) and np.all(abs(big_f[1:]) <= big_f[0] * (1 + 1e-12))


def test_table_size_boundary_changes_nothing():
    # Two elements of 1024 terms: 2 * 1024 * 2048 values is the largest shared
    # table, one cosine more runs the recurrence.
    x, m = f([3.0, 40.0]), c([1.5 + 0.01j, 1.33])
    for n_mu in (2048, 2049):
        mu = np.linspace(-1, 1, n_mu)
        s, _ = amplitudes(x, m, mu, 1024)
        big_f, _ = phase(x, m, mu, n_max=1024)
        for i in range(2):
            assert np.array_equal(s[:, i], amplitudes(x[i : i + 1], m[i : i + 1], mu, 1024)[0][:, 0])
            assert np.array_equal(big_f[:, i], phase(x[i : i + 1], m[i : i + 1], mu, n_max=1024)[0][:, 0])


# ---- Greek coefficients ---------------------------------------------------------


def test_greek_default_order_pads_each_sphere_above_its_own_2n():
    x, m = f([1.0, 9.0, 3.0]), c([1.5 + 0.01j, 1.33, 1.7 + 0.2j])
    counts, g, dg = greek(x, m)
    assert dg is None and counts.dtype == np.uint64
    assert np.array_equal(counts, vt.mie_default_n_max(x))
    big_l = 2 * int(counts.max())
    assert g.shape == (6, 3, big_l + 1) and g.dtype == np.float64
    for i, n in enumerate(counts):
        assert np.all(g[:, i, 2 * int(n) + 1 :] == 0)
        assert g[0, i, 2 * int(n)] != 0
    # A larger order only pads; a smaller one cuts.
    _, wider, _ = greek(x, m, big_l + 5)
    assert np.array_equal(wider[:, :, : big_l + 1], g) and np.all(wider[:, :, big_l + 1 :] == 0)
    # A smaller order cuts: another quadrature rule (N + L/2 + 1 nodes), same numbers.
    _, cut, _ = greek(x, m, 4)
    assert cut.shape == (6, 3, 5)
    np.testing.assert_allclose(cut, g[:, :, :5], rtol=0, atol=1e-13)


def test_greek_order_zero_and_the_efficiencies():
    x, m = f([0.2, 4.0, 35.0]), c([1.5 + 0.01j, 1.33, 2 + 1j])
    q, _ = vt.mie_efficiencies(x, m, None, False, False)
    _, normalized, _ = greek(x, m, 0)
    _, plain, _ = greek(x, m, 0, False)
    assert normalized.shape == (6, 3, 1)
    assert np.all(normalized[0, :, 0] == 1.0)
    # alpha1_0 = Q_sca as the efficiency rule forms it: bit for bit.
    assert np.array_equal(plain[0, :, 0], q[1])
    assert np.all(normalized[[1, 2, 4, 5], :, 0] == 0)


def test_greek_identities():
    x, m = f([0.7, 6.0, 40.0]), c([1.5 + 0.01j, 1.33, 1.6 + 0.1j])
    q, _ = vt.mie_efficiencies(x, m, None, False, False)
    _, g, _ = greek(x, m)
    np.testing.assert_allclose(g[0, :, 1], 3 * q[4], rtol=1e-12)
    assert np.all(abs(g[[1, 2, 4, 5]][:, :, :2]) <= 1e-15)


@pytest.mark.parametrize("x, m", [(0.9, 1.5 + 0.01j), (15.0, 1.33 + 0.001j)])
def test_greek_reconstructs_the_phase_matrix(x, m):
    counts, g, _ = greek(f([x]), c([m]))
    mu = np.linspace(-1, 1, 57)
    big_f, _ = phase(f([x]), c([m]), mu)
    big_l = g.shape[2] - 1
    d00 = vt.wigner_d(0, 0, big_l, mu)
    d02 = vt.wigner_d(0, 2, big_l, mu)
    d22 = vt.wigner_d(2, 2, big_l, mu)
    d2m2 = vt.wigner_d(2, -2, big_l, mu)
    a1, a2, a3, a4, b1, b2 = g[:, 0]
    scale = np.max(abs(big_f[0, 0]))
    # F11 = sum a1 P_l; F33 = sum a4 P_l; F12 = sum b1 d02; F34 = sum b2 d02;
    # F11 + F33 = sum (a2 + a3) d22; F11 - F33 = sum (a2 - a3) d2,-2.
    assert np.max(abs(legendre.legval(mu, a1) - big_f[0, 0])) <= 1e-10 * scale
    assert np.max(abs(d00 @ a4 - big_f[2, 0])) <= 1e-10 * scale
    assert np.max(abs(d02 @ b1 - big_f[1, 0])) <= 1e-10 * scale
    assert np.max(abs(d02 @ b2 - big_f[3, 0])) <= 1e-10 * scale
    assert np.max(abs(d22 @ (a2 + a3) - (big_f[0, 0] + big_f[2, 0]))) <= 1e-10 * scale
    assert np.max(abs(d2m2 @ (a2 - a3) - (big_f[0, 0] - big_f[2, 0]))) <= 1e-10 * scale


@pytest.mark.parametrize("normalized", [False, True])
def test_greek_derivatives_match_central_differences(normalized):
    x, m = 3.0, 1.5 + 0.05j
    n = int(vt.mie_default_n_max(f([x]))[0]) + 3  # a fixed count on both sides of the difference
    order = 2 * n
    counts, g, dg = greek(f([x]), c([m]), order, normalized, True, n)
    assert dg.shape == (3, 6, 1, order + 1)
    at = lambda dx, dm: greek(f([x + dx]), c([m + dm]), order, normalized, n_max=n)[1][:, 0]  # noqa: E731
    numeric = partials(at)
    scale = np.max(abs(dg))
    for r in range(3):
        np.testing.assert_allclose(dg[r, :, 0], numeric[r], rtol=1e-5, atol=1e-8 * scale)
    if normalized:
        assert np.all(dg[:, 0, 0, 0] == 0)  # alpha1_0 = 1 whatever x and m
    else:
        # d alpha1_0 = 0 Q_sca + 1 dQ_sca: the Q_sca column of the Jacobian, bit for bit.
        assert np.array_equal(dg[:, 0, 0, 0], vt.mie_efficiencies(f([x]), c([m]), n, True, False)[1][:, 1, 0])
    assert np.array_equal(g, greek(f([x]), c([m]), order, normalized, n_max=n)[1])


def test_greek_empty_and_zero_dimensional():
    counts, g, dg = greek(f([]), c([]), None, True, True)
    assert counts.shape == (0,) and g.shape == (6, 0, 1) and dg.shape == (3, 6, 0, 1)
    counts, g, dg = greek(f(2.0), c(1.5), None, True, False)
    assert counts.shape == (1,) and g.shape == (6, 1, 2 * int(counts[0]) + 1) and dg is None


def test_greek_order_refusals():
    message = "invalid input: the Greek order must be at most 2097152, got 2097153"
    # The order is checked before any element is looked at.
    with raises_exactly(errors.InvalidInputError, message):
        greek(f([0.0]), c([1.5]), 2097153)
    with raises_exactly(errors.InvalidInputError, "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 0e0"):
        greek(f([0.0]), c([1.5]), 2097152)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the Greek coefficients would hold 276824196 real values, more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        greek(bcast(1.0, 22), bcast(1.5, 22, np.complex128), 2097152)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: element 0: the Greek coefficients of a sphere with 131072 terms up to order 0 need 131073 "
        "quadrature nodes, more than 131072",
    ):
        greek(f([1.0, 1.0]), c([1.5, 1.5]), 0, n_max=131072)


def test_greek_first_guard_counts_one_order():
    def call(n, derivatives):
        return greek(bcast(0.0, n), bcast(1.5, n, np.complex128), None, True, derivatives)

    element = "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 0e0"
    with raises_exactly(errors.InvalidInputError, element):
        call(2**28 // 24, True)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the Greek coefficients would hold 268435464 real values (counting derivatives), "
        "more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        call(2**28 // 24 + 1, True)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the Greek coefficients would hold 268435458 real values, more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        call(2**28 // 6 + 1, False)
    # The second guard counts the orders the first pass found: x = 2e4 has
    # 20166 terms, so 40333 orders.
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the Greek coefficients would hold 268617780 real values, more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        greek(bcast(2e4, 1110), bcast(1.5, 1110, np.complex128))


# ---- refusals -------------------------------------------------------------------

ANGULAR = {
    "mie_amplitudes": lambda x, m, mu, n_max=None, derivatives=False: vt.mie_amplitudes(
        x, m, mu, n_max, derivatives, False
    ),
    "mie_phase_matrix": lambda x, m, mu, n_max=None, derivatives=False: vt.mie_phase_matrix(
        x, m, mu, n_max, derivatives, False, True
    ),
}


@pytest.mark.parametrize("name", list(ANGULAR))
class TestAngularRefusals:
    def test_cosines(self, name):
        fun = ANGULAR[name]
        for mu, text in [([0.5, 1.0000001], "element 1 of mu: a cosine of the scattering angle must be in [-1, 1], got 1.0000001"),
                         ([np.nan], "element 0 of mu: a cosine of the scattering angle must be in [-1, 1], got NaN"),
                         ([0.0, 0.0, -np.inf], "element 2 of mu: a cosine of the scattering angle must be in [-1, 1], got -inf")]:  # fmt: skip
            with raises_exactly(errors.InvalidInputError, "invalid input: " + text):
                fun(f([1.0]), c([1.5]), f(mu))
        assert fun(f([1.0]), c([1.5]), f([-1.0, 1.0]))[0].shape[2] == 2
        # The cosines come after the shape and n_max checks, before the elements.
        with raises_exactly(ValueError, "x and m must have one shape (broadcast them first), got [1] and [2]"):
            fun(f([1.0]), c([1.5, 1.5]), f([2.0]))
        with raises_exactly(errors.InvalidInputError, "invalid input: the number of terms must be in [1, 1048576], got 0"):
            fun(f([1.0]), c([1.5]), f([2.0]), 0)
        with raises_exactly(errors.InvalidInputError, "invalid input: element 0 of mu: a cosine of the scattering angle must be in [-1, 1], got 2"):
            fun(f([0.0]), c([1.5]), f([2.0]))

    def test_a_huge_broadcast_mu_is_a_memory_error_at_once(self, name):
        with raises_exactly(
            MemoryError,
            "cannot allocate 1125899906842624 values for the cosines: memory allocation failed because the "
            "memory allocator returned an error",
        ):
            ANGULAR[name](f([1.0]), c([1.5]), bcast(0.5, 2**50))

    def test_element_errors(self, name):
        fun = ANGULAR[name]
        x = f([[1.0, 2.0], [3.0, 0.0]])
        m = c([[1.5, 1.5], [1.5, 1.5]])
        message = "invalid input: element 3: the size parameter x must be in [1e-30, 1e6], got 0e0"
        for mu in (f([0.5]), f([])):  # first pass, or the check of the second pass
            with raises_exactly(errors.InvalidInputError, message):
                fun(x, m, mu)
        with raises_exactly(errors.InvalidInputError, "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 0e0"):
            fun(f([0.0]), c([1.5]), f([0.5]))
        with pytest.raises(errors.OutsideValidatedDomainError, match=r"^outside validated domain: element 1: x = 3e4"):
            fun(f([1.0, 3e4]), c([1.5, 1.5]), f([0.5]))
        allowed = vt.mie_amplitudes(f([1.0, 3e4]), c([1.5, 1.5]), f([0.5]), None, False, True)
        assert np.all(np.isfinite(allowed[0]))

    def test_conversion_errors_name_the_argument(self, name):
        good = [f([1.0]), c([1.5]), f([0.5]), None, False, False] + ([True] if name == "mie_phase_matrix" else [])
        fun = getattr(vt, name)
        bad = {0: c([1.0]), 1: f([1.5]), 2: [0.5], 3: -1, 4: 1, 5: None}
        params = ["x", "m", "mu", "n_max", "derivatives", "allow_unvalidated", "normalized"]
        if name == "mie_phase_matrix":
            bad[6] = "yes"
        for k, value in bad.items():
            args = list(good)
            args[k] = value
            with pytest.raises((TypeError, OverflowError)) as info:
                fun(*args)
            assert info.value.__notes__ == [f"while processing '{params[k]}'"]
        # Every argument by keyword, numpy bools accepted.
        kwargs = dict(zip(params, good))
        kwargs["derivatives"] = np.bool_(True)
        assert fun(**kwargs)[1] is not None

    def test_unaligned_and_borrowed_inputs(self, name):
        fun = ANGULAR[name]
        with raises_exactly(TypeError, "mu must be an aligned array"):
            fun(f([1.0]), c([1.5]), unaligned(2))
        with raises_exactly(TypeError, "m must be an aligned array"):
            fun(f([1.0]), unaligned_complex(1), unaligned(2))
        x, m, mu = f([1.0, 2.0]), c([1.5, 1.5]), f([0.5, -0.5, 0.0])
        read = lambda: fun(x, m, mu)  # noqa: E731
        for array, param in ((x, "x"), (m.view(np.float64), "m"), (mu[1:], "mu")):
            with raises_exactly(BufferError, f"{param} cannot be read: The given array is already borrowed"):
                with_write_borrow(array, read)
        # x may be read twice: shared borrows of one array do not conflict.
        assert fun(x, m, x[:1])[0].shape[1:] == (2, 1)
        # Every failure after the borrows leaves them released.
        for call in (lambda: fun(x, m, f([3.0])), lambda: fun(x, c([1.5, 0]), mu), lambda: fun(x, m[:1], mu)):
            with pytest.raises(Exception):
                call()
            for array in (x, m.view(np.float64), mu):
                assert with_write_borrow(array, lambda: 1) == 1

    def test_no_reference_leaks(self, name):
        fun = ANGULAR[name]
        x, m, mu, bad = f([1.0, 2.0]), c([1.5, 1.5]), f([0.5, 1.0]), f([0.0, 1.0])

        def calls():
            result = fun(x, m, mu, None, True)
            del result
            with pytest.raises(errors.InvalidInputError):
                fun(bad, m, mu)
            with pytest.raises(errors.InvalidInputError):
                fun(x, m, 2 * mu)

        assert_refcounts_kept((x, m, mu, bad), calls)


def test_angular_size_guards():
    def call(fun, n, derivatives):
        # No cosines: the guard counts one per element, then element 0 is refused.
        return fun(bcast(0.0, n), bcast(1.5, n, np.complex128), f([]), None, derivatives)

    element = "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 0e0"
    cases = [
        (ANGULAR["mie_phase_matrix"], True, 2**24, "the phase matrix would hold 268435472 real values (counting derivatives), "
         "more than 2 * MAX_MIE_VALUES = 268435456"),
        (ANGULAR["mie_phase_matrix"], False, 2**26, "the phase matrix would hold 268435460 real values, more than "
         "2 * MAX_MIE_VALUES = 268435456"),
        (ANGULAR["mie_amplitudes"], True, 22369621, "the amplitudes would hold 134217732 complex values (counting derivatives), "
         "more than MAX_MIE_VALUES = 134217728"),
        (ANGULAR["mie_amplitudes"], False, 2**26, "the amplitudes would hold 134217730 complex values, more than "
         "MAX_MIE_VALUES = 134217728"),
    ]  # fmt: skip
    for fun, derivatives, n, message in cases:
        with raises_exactly(errors.InvalidInputError, element):
            call(fun, n, derivatives)
        with raises_exactly(errors.InvalidInputError, "invalid input: " + message):
            call(fun, n + 1, derivatives)
    # An overflowing count.
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the amplitudes would hold more than usize::MAX complex values, more than MAX_MIE_VALUES = 134217728",
    ):
        vt.mie_amplitudes(bcast(1.0, 2**58), bcast(1.5, 2**58, np.complex128), bcast(0.5, 2**8), None, False, False)


# ---- elements changed by a writer that bypasses the borrows -------------------


def race(call, x, small, large, seconds=30.0):
    """Calls `call` while another thread flips x[1] between `small` and `large`
    without taking a borrow; returns the messages of the refusals seen."""
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            x[1] = large
            x[1] = small

    thread = threading.Thread(target=flip)
    thread.start()
    seen = set()
    try:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and len(seen) < 1:
            try:
                call()
            except errors.InvalidInputError as e:
                seen.add(str(e))
    finally:
        stop.set()
        thread.join()
    x[1] = small
    return seen


def test_greek_refuses_an_element_changed_between_the_passes():
    x, m = f([500.0, 1.0]), c([1.5, 1.5])
    seen = race(lambda: greek(x, m), x, 1.0, 800.0)
    assert seen == {"invalid input: element 1: x or m changed during the call"}


@pytest.mark.parametrize("name, prefix", [("mie_amplitudes", ""), ("mie_phase_matrix", "element 1: ")])
def test_the_table_refuses_an_element_grown_between_the_passes(name, prefix):
    x, m, mu = f([500.0, 1.0]), c([1.5, 1.5]), f([0.5, -0.5])
    seen = race(lambda: ANGULAR[name](x, m, mu), x, 1.0, 800.0)
    orders, terms = vt.mie_default_n_max(f([500.0, 800.0]))
    assert seen == {
        f"invalid input: {prefix}the solution has {terms} terms, more than the {orders} orders of the angular table"
    }


# ---- threads --------------------------------------------------------------------


def test_threads_get_equal_results():
    mu = np.linspace(-1, 1, 33)
    calls = [
        lambda: amplitudes(BATCH_X, BATCH_M, mu, derivatives=True),
        lambda: phase(BATCH_X, BATCH_M, mu, True, True),
        lambda: greek(BATCH_X[:6], BATCH_M[:6], None, False, True),
    ]
    expected = [call() for call in calls]
    for result in in_threads(lambda: [call() for call in calls], 6):
        for got, want in zip(result, expected):
            assert all(np.array_equal(a, b) for a, b in zip(got, want))


# ---- mie_greek arguments, borrows and leaks --------------------------------------


def test_greek_argument_refusals():
    good = [f([1.0]), c([1.5]), None, None, False, False, True]
    params = ["x", "m", "order", "n_max", "derivatives", "allow_unvalidated", "normalized"]
    bad = {0: [1.0], 1: f([1.5]), 2: -1, 3: 2**64, 4: None, 5: 0, 6: "no"}
    for k, value in bad.items():
        args = list(good)
        args[k] = value
        with pytest.raises((TypeError, OverflowError)) as info:
            vt.mie_greek(*args)
        assert info.value.__notes__ == [f"while processing '{params[k]}'"]
    assert vt.mie_greek(**dict(zip(params, good)))[1].shape[:2] == (6, 1)
    with raises_exactly(ValueError, "x and m must have one shape (broadcast them first), got [2] and [1, 2]"):
        vt.mie_greek(f([1.0, 2.0]), c([[1.5, 1.5]]), None, None, False, False, True)
    # The shape and n_max come before the order.
    with raises_exactly(errors.InvalidInputError, "invalid input: the number of terms must be in [1, 1048576], got 1048577"):
        vt.mie_greek(f([1.0]), c([1.5]), 2**40, 1048577, False, False, True)
    with raises_exactly(TypeError, "x must be an aligned array"):
        vt.mie_greek(unaligned(1), c([1.5]), None, None, False, False, True)
    x, m = f([1.0, 2.0]), c([1.5, 1.5])
    with raises_exactly(BufferError, "m cannot be read: The given array is already borrowed"):
        with_write_borrow(m.view(np.float64)[1:2], lambda: greek(x, m))
    for call in (lambda: greek(x, m, 2**40), lambda: greek(x, c([1.5, -1.0]))):
        with pytest.raises(errors.InvalidInputError):
            call()
        assert with_write_borrow(x, lambda: 1) == 1 and with_write_borrow(m.view(np.float64), lambda: 2) == 2

    def calls():
        greek(x, m, 6, False, True)
        with pytest.raises(errors.InvalidInputError):
            greek(x, m, 2**40)

    assert_refcounts_kept((x, m), calls)


def test_a_foreign_registry_sees_every_borrow_released_in_reverse_order():
    out = run_py(
        FOREIGN.format(version=1)
        + """
x, m, mu = np.array([1.0, 2.0]), np.array([1.5 + 0j, 1.5 + 0j]), np.array([0.5])
names = lambda: [(name, "x" if arr is x else "m" if arr is m else "mu") for name, arr in calls]
report(lambda: vt.mie_amplitudes(x, m, mu, None, False, False)[0].shape)
print(names()); calls.clear()
report(lambda: vt.mie_phase_matrix(x, m, 2 * mu + 1, None, False, False, True))
print(names()); calls.clear()
report(lambda: vt.mie_greek(x, m, None, None, False, False, True)[1].shape)
print(names()); calls.clear()
report(lambda: vt.wigner_d(0, 0, 2, mu).shape)
print(names()); calls.clear()
report(lambda: vt.wigner_d(0, 0, 2, x))
print(names()); calls.clear()
"""
    )
    lines = out.splitlines()
    forward = "[('acquire', 'x'), ('acquire', 'm'), ('acquire', 'mu'), ('release', 'mu'), ('release', 'm'), ('release', 'x')]"
    assert lines[0] == "ok (2, 2, 1)" and lines[1] == forward
    assert lines[2].startswith("InvalidInputError | invalid input: element 0 of mu:") and lines[3] == forward
    assert lines[4] == "ok (6, 2, 27)"  # x = 2 has 13 terms
    assert lines[5] == "[('acquire', 'x'), ('acquire', 'm'), ('release', 'm'), ('release', 'x')]"
    # The release runs before the exception is raised, also when the core refuses x.
    assert lines[6] == "ok (1, 3)" and lines[7] == "[('acquire', 'mu'), ('release', 'mu')]"
    assert lines[8].startswith("InvalidInputError | invalid input: wigner_d needs -1 <= x <= 1, got 2.0 |")
    assert lines[9] == "[('acquire', 'x'), ('release', 'x')]"
