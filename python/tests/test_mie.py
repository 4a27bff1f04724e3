"""mie_default_n_max, mie_efficiencies and mie_coefficients: values against an
independent high-precision reference, identities, derivatives against finite
differences, layouts, refusals with their exact messages, leaks and threads."""

import math
import threading

import mpmath
import numpy as np
import pytest
from conftest import (
    FOREIGN,
    SANITIZED,
    assert_refcounts_kept,
    bcast,
    c,
    f,
    in_threads,
    raises_exactly,
    run_py,
    unaligned,
    unaligned_complex,
)
from hypothesis import given
from hypothesis import strategies as st

import vantok._vantok as vt
from vantok import errors

with_write_borrow = vt._testing.with_write_borrow


# ---- an independent reference: Riccati-Bessel functions in mpmath -------------


def reference_coefficients(x, m, n_terms, dps=40):
    """a_n, b_n for n = 1..n_terms from psi_n(z) = sqrt(pi z / 2) J_{n+1/2}(z) and
    xi_n(x) = sqrt(pi x / 2) H1_{n+1/2}(x), at `dps` digits."""
    with mpmath.workdps(dps):
        x = mpmath.mpf(x)
        m = mpmath.mpc(m.real, m.imag)
        z = m * x

        def psi(n, w):
            return mpmath.sqrt(mpmath.pi * w / 2) * mpmath.besselj(n + mpmath.mpf(1) / 2, w)

        def xi(n, w):
            return mpmath.sqrt(mpmath.pi * w / 2) * mpmath.hankel1(n + mpmath.mpf(1) / 2, w)

        a, b = [], []
        psi_x_prev, psi_z_prev, xi_x_prev = psi(0, x), psi(0, z), xi(0, x)
        for n in range(1, n_terms + 1):
            psi_x, psi_z, xi_x = psi(n, x), psi(n, z), xi(n, x)
            # psi_n'(w) = psi_{n-1}(w) - n psi_n(w) / w
            dpsi_x = psi_x_prev - n * psi_x / x
            dpsi_z = psi_z_prev - n * psi_z / z
            dxi_x = xi_x_prev - n * xi_x / x
            a.append((m * psi_z * dpsi_x - psi_x * dpsi_z) / (m * psi_z * dxi_x - xi_x * dpsi_z))
            b.append((psi_z * dpsi_x - m * psi_x * dpsi_z) / (psi_z * dxi_x - m * xi_x * dpsi_z))
            psi_x_prev, psi_z_prev, xi_x_prev = psi_x, psi_z, xi_x
        return np.array([complex(v) for v in a]), np.array([complex(v) for v in b])


def efficiencies_from(a, b, x):
    """Q_ext (extinction series), Q_sca, Q_abs = Q_ext - Q_sca, Q_back, g."""
    n = np.arange(1, len(a) + 1)
    w = 2 * n + 1
    q_ext = 2 / x**2 * np.sum(w * (a + b).real)
    s_sca = np.sum(w * (abs(a) ** 2 + abs(b) ** 2))
    q_sca = 2 / x**2 * s_sca
    q_back = abs(np.sum(w * (-1.0) ** n * (a - b))) ** 2 / x**2
    s_asy = np.sum(n[:-1] * (n[:-1] + 2) / (n[:-1] + 1) * (a[:-1] * a[1:].conj() + b[:-1] * b[1:].conj()).real)
    s_asy += np.sum(w / (n * (n + 1)) * (a * b.conj()).real)
    g = 2 * s_asy / s_sca if s_sca != 0 else 0.0
    return np.array([q_ext, q_sca, q_ext - q_sca, q_back, g])


CASES = [(x, m) for x in (0.1, 1.0, 10.0, 30.0) for m in (1.33 + 0j, 1.5 + 0.01j, 2 + 1j)]


@pytest.mark.parametrize("x, m", CASES)
def test_coefficients_match_the_mpmath_reference(x, m):
    counts, a, b, d = vt.mie_coefficients(f([x]), c([m]), None, False, False)
    assert d is None
    n = int(counts[0])
    ref_a, ref_b = reference_coefficients(x, m, n)
    # Relative to the largest coefficient: the small high orders carry absolute,
    # not relative, rounding of the recurrences.
    scale = max(abs(ref_a).max(), abs(ref_b).max())
    assert np.max(abs(a[0] - ref_a)) <= 1e-12 * scale
    assert np.max(abs(b[0] - ref_b)) <= 1e-12 * scale


@pytest.mark.parametrize("x, m", CASES)
def test_efficiencies_match_the_reference_series(x, m):
    q, jac = vt.mie_efficiencies(f([x]), c([m]), None, False, False)
    assert jac is None
    n = int(vt.mie_default_n_max(f([x]))[0])
    ref = efficiencies_from(*reference_coefficients(x, m, n), x)
    # Q_abs of a weakly absorbing sphere is a difference of near-equal series in
    # the reference; compare it on the scale of Q_ext.
    np.testing.assert_allclose(q[[0, 1, 3, 4], 0], ref[[0, 1, 3, 4]], rtol=1e-10, atol=1e-300)
    assert abs(q[2, 0] - ref[2]) <= 1e-10 * ref[0]


def test_non_absorbing_sphere_absorbs_exactly_nothing():
    q, _ = vt.mie_efficiencies(f([0.5, 3.0, 40.0]), c([1.33, 1.5, 1.7]), None, False, False)
    assert np.all(q[2] == 0.0)
    assert np.array_equal(q[0], q[1])


def test_rayleigh_limit():
    x = 0.01
    for m in (1.5 + 0j, 1.33 + 0.1j, 2 + 1j):
        q, _ = vt.mie_efficiencies(f([x]), c([m]), None, False, False)
        polar = (m**2 - 1) / (m**2 + 2)
        assert q[1, 0] == pytest.approx(8 / 3 * x**4 * abs(polar) ** 2, rel=1e-3)
        if m.imag:
            assert q[2, 0] == pytest.approx(4 * x * polar.imag, rel=1e-3)
        assert q[3, 0] == pytest.approx(4 * x**4 * abs(polar) ** 2, rel=1e-3)


def test_unit_index_scatters_nothing():
    q, jac = vt.mie_efficiencies(f([0.5]), c([1.0]), None, True, False)
    assert np.all(q == 0.0)
    assert np.all(jac[:, 4] == 0.0)  # g and its derivatives are 0, not NaN


def test_optical_theorem_from_the_coefficients():
    x = f([0.3, 2.0, 15.0, 80.0])
    m = c([1.5 + 0.02j, 1.33 + 0j, 3 + 2j, 1.2 + 0.5j])
    q, _ = vt.mie_efficiencies(x, m, None, False, False)
    counts, a, b, _ = vt.mie_coefficients(x, m, None, False, False)
    n = np.arange(1, a.shape[1] + 1)
    ext = 2 / x**2 * np.sum((2 * n + 1) * (a + b).real, axis=1)
    sca = 2 / x**2 * np.sum((2 * n + 1) * (abs(a) ** 2 + abs(b) ** 2), axis=1)
    np.testing.assert_allclose(q[0], ext, rtol=1e-12)
    np.testing.assert_allclose(q[1], sca, rtol=1e-13)


@given(
    x=st.floats(1e-3, 200.0),
    re=st.floats(1.01, 3.0),
    im=st.floats(0.0, 2.0),
)
def test_identities(x, re, im):
    q, jac = vt.mie_efficiencies(f([x]), c([complex(re, im)]), None, True, False)
    assert q[0, 0] == q[1, 0] + q[2, 0]
    assert np.array_equal(jac[:, 0], jac[:, 1] + jac[:, 2])
    assert q[1, 0] > 0 and q[2, 0] >= 0 and q[3, 0] >= 0 and -1 <= q[4, 0] <= 1
    # One element alone gives the bits it gives in a batch.
    batch, _ = vt.mie_efficiencies(f([2.0, x, 0.5]), c([1.5, complex(re, im), 1.2]), None, False, False)
    assert np.array_equal(batch[:, 1], q[:, 0])


def central(fun, h):
    return (fun(h) - fun(-h)) / (2 * h)


@pytest.mark.parametrize("x, m", [(0.7, 1.5 + 0.01j), (4.0, 1.33 + 0.2j), (25.0, 2.0 + 1.0j)])
def test_jacobian_matches_central_differences(x, m):
    _, jac = vt.mie_efficiencies(f([x]), c([m]), 60, True, False)
    q = lambda dx, dm: vt.mie_efficiencies(f([x + dx]), c([m + dm]), 60, False, False)[0][:, 0]  # noqa: E731
    h = 1e-5
    numeric = [
        central(lambda t: q(t * x, 0), h) / x,
        central(lambda t: q(0, t), h),
        central(lambda t: q(0, 1j * t), h),
    ]
    for r in range(3):
        np.testing.assert_allclose(jac[r, :, 0], numeric[r], rtol=2e-6, atol=2e-8 * np.max(abs(jac)))


@pytest.mark.parametrize("x, m", [(1.3, 1.5 + 0.1j), (12.0, 1.33 + 0.01j)])
def test_coefficient_derivatives_match_central_differences(x, m):
    _, a, b, d = vt.mie_coefficients(f([x]), c([m]), None, True, False)
    n = a.shape[1]
    at = lambda dx, dm: vt.mie_coefficients(f([x + dx]), c([m + dm]), n, False, True)  # noqa: E731
    h = 1e-6
    for k, (dx, dm) in enumerate([(h, 0), (0, h)]):
        plus, minus = at(dx, dm), at(-dx, -dm)
        for side, index in ((1, 0), (2, 2)):
            numeric = (plus[side][0] - minus[side][0]) / (2 * h)
            analytic = d[index + k, 0]
            np.testing.assert_allclose(analytic, numeric, rtol=1e-6, atol=1e-9 * np.max(abs(analytic)))
    # The Im m derivative is i d/dm.
    plus, minus = at(0, 1j * h), at(0, -1j * h)
    np.testing.assert_allclose(1j * d[1, 0], (plus[1][0] - minus[1][0]) / (2 * h), rtol=1e-6, atol=1e-12)


# ---- layouts --------------------------------------------------------------------


def test_shapes_and_c_order():
    x = f([[0.5, 1.0, 2.0], [3.0, 4.0, 5.0]])
    m = c([[1.5, 1.4 + 0.1j, 1.3], [1.2, 1.6 + 0.2j, 2.0 + 1.0j]])
    q, jac = vt.mie_efficiencies(x, m, None, True, False)
    assert q.shape == (5, 6) and jac.shape == (3, 5, 6)
    flat, flat_jac = vt.mie_efficiencies(x.ravel(), m.ravel(), None, True, False)
    assert np.array_equal(q, flat) and np.array_equal(jac, flat_jac)
    # Column-major and reversed inputs read in C order of their shape.
    q_f, _ = vt.mie_efficiencies(np.asfortranarray(x), np.asfortranarray(m), None, False, False)
    assert np.array_equal(q_f, q)
    q_r, _ = vt.mie_efficiencies(x[:, ::-1], m[:, ::-1], None, False, False)
    assert np.array_equal(q_r, flat.reshape(5, 2, 3)[:, :, ::-1].reshape(5, 6))
    for array in (q, jac):
        assert array.dtype == np.float64 and array.flags.c_contiguous and array.flags.writeable
        assert array.flags.aligned and array.base is not None


def test_zero_dimensional_and_empty_inputs():
    q, jac = vt.mie_efficiencies(np.array(2.0), np.array(1.5 + 0j), None, True, False)
    assert q.shape == (5, 1) and jac.shape == (3, 5, 1)
    q, jac = vt.mie_efficiencies(f([]), c([]), None, True, False)
    assert q.shape == (5, 0) and jac.shape == (3, 5, 0)
    counts, a, b, d = vt.mie_coefficients(f([]), c([]), None, True, False)
    assert counts.shape == (0,) and counts.dtype == np.uint64
    assert a.shape == (0, 0) and b.shape == (0, 0) and d.shape == (4, 0, 0)
    assert vt.mie_default_n_max(np.zeros((0, 3))).shape == (0,)


def test_coefficients_are_zero_padded_to_the_largest_count():
    counts, a, b, d = vt.mie_coefficients(f([1.0, 10.0]), c([1.5, 1.5]), None, True, False)
    assert counts.tolist() == [10, 26] and counts.dtype == np.uint64
    assert counts.tolist() == vt.mie_default_n_max(f([1.0, 10.0])).tolist()
    assert a.shape == b.shape == (2, 26) and d.shape == (4, 2, 26)
    assert a.dtype == np.complex128 and d.dtype == np.complex128
    assert np.all(a[0, 10:] == 0) and np.all(b[0, 10:] == 0) and np.all(d[:, 0, 10:] == 0)
    assert np.all(a[0, :10] != 0) and np.all(d[:, 1, :] != 0)
    alone = vt.mie_coefficients(f([1.0]), c([1.5]), None, True, False)
    assert np.array_equal(alone[1][0], a[0, :10]) and np.array_equal(alone[3][:, 0], d[:, 0, :10])
    counts, a, _, _ = vt.mie_coefficients(f([1.0, 10.0]), c([1.5, 1.5]), 40, False, False)
    assert counts.tolist() == [40, 40] and a.shape == (2, 40) and np.all(a[:, :30] != 0)


def test_efficiencies_from_the_returned_coefficients():
    x = f([0.8, 6.0])
    m = c([1.5 + 0.1j, 1.33])
    q, _ = vt.mie_efficiencies(x, m, None, False, False)
    _, a, b, _ = vt.mie_coefficients(x, m, None, False, False)
    n = np.arange(1, a.shape[1] + 1)
    np.testing.assert_allclose(q[1], 2 / x**2 * np.sum((2 * n + 1) * (abs(a) ** 2 + abs(b) ** 2), axis=1), rtol=1e-13)


def test_default_n_max_values():
    counts = vt.mie_default_n_max(f([1.0, 100.0, 1e-30, 1e6]))
    assert counts.dtype == np.uint64 and counts.tolist() == [10, 131, 4, 1000603]
    assert vt.mie_default_n_max(np.arange(1.0, 7.0).reshape(2, 3)).shape == (6,)
    assert vt.mie_default_n_max(np.array(10.0)).tolist() == [26]


# ---- refusals -------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, message",
    [
        (f([0.0]), "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 0e0"),
        (f([1.0, 2.0, math.nan]), "invalid input: element 2: the size parameter x must be in [1e-30, 1e6], got NaN"),
        (f([2e6]), "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 2e6"),
        (f([[1.0, 1.0], [-1.0, 1.0]]).T, "invalid input: element 1: the size parameter x must be in [1e-30, 1e6], got -1e0"),
    ],
)
def test_default_n_max_refuses_x_out_of_range(x, message):
    with raises_exactly(errors.InvalidInputError, message):
        vt.mie_default_n_max(x)
    base = x if x.base is None else x.base
    assert with_write_borrow(base.reshape(-1), lambda: 1) == 1  # the borrow was released


def test_default_n_max_of_a_huge_broadcast_fails_at_once():
    with raises_exactly(
        MemoryError,
        "cannot allocate 1125899906842624 values for the numbers of terms: "
        "memory allocation failed because the memory allocator returned an error",
    ):
        vt.mie_default_n_max(bcast(1.0, 2**50))


SPHERE_FUNCTIONS = [vt.mie_efficiencies, vt.mie_coefficients]


@pytest.mark.parametrize("fun", SPHERE_FUNCTIONS, ids=lambda fun: fun.__name__)
class TestRefusals:
    def test_element_errors_name_the_c_order_index(self, fun):
        x = np.asfortranarray(f([[1.0, 2.0], [0.0, 3.0]]))
        with raises_exactly(
            errors.InvalidInputError,
            "invalid input: element 2: the size parameter x must be in [1e-30, 1e6], got 0e0",
        ):
            fun(x, c(np.ones((2, 2))), None, False, False)
        with raises_exactly(
            errors.InvalidInputError,
            "invalid input: element 1: |m| must be in [1e-6, 1e3], got 0e0",
        ):
            fun(f([1.0, 1.0]), c([1.5, 0.0]), None, False, False)

    def test_validated_domain(self, fun):
        with raises_exactly(
            errors.OutsideValidatedDomainError,
            "outside validated domain: element 0: x = 3e4, m = 1.5e0 + 1e-2i is outside the validated domain "
            "x in [1e-6, 2e4], 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1",
        ):
            fun(f([3e4]), c([1.5 + 0.01j]), None, False, False)
        fun(f([3e4]), c([1.5 + 0.01j]), None, False, True)
        with raises_exactly(
            errors.OutsideValidatedDomainError,
            "outside validated domain: element 0: n_max = 9 is below the default truncation 10 for x = 1e0",
        ):
            fun(f([1.0]), c([1.5]), 9, False, False)
        fun(f([1.0]), c([1.5]), 9, False, True)

    @pytest.mark.parametrize("n_max", [0, 1048577])
    def test_n_max_range(self, fun, n_max):
        with raises_exactly(
            errors.InvalidInputError, f"invalid input: the number of terms must be in [1, 1048576], got {n_max}"
        ):
            fun(f([1.0]), c([1.5]), n_max, False, False)

    def test_n_max_at_the_limit_passes_with_empty_input(self, fun):
        fun(f([]), c([]), 1048576, True, False)

    @pytest.mark.parametrize(
        "x, m, shapes",
        [
            (f([1.0, 2.0, 3.0]), c([[1.5, 1.5, 1.5]]), "[3] and [1, 3]"),
            (np.array(1.0), c([1.5]), "[] and [1]"),
            (f(np.ones((2, 3))), c(np.ones((3, 2))), "[2, 3] and [3, 2]"),
        ],
    )
    def test_shapes_must_match(self, fun, x, m, shapes):
        with raises_exactly(ValueError, f"x and m must have one shape (broadcast them first), got {shapes}"):
            fun(x, m, 0, False, False)  # the shape is reported before n_max

    @pytest.mark.parametrize(
        "args, param, cls",
        [
            ((np.ones(2, np.float32), c([1, 1]), None, False, False), "x", TypeError),
            (([1.0], c([1]), None, False, False), "x", TypeError),
            ((np.ones(1, ">f8"), c([1]), None, False, False), "x", TypeError),
            ((f([1]), np.ones(1, np.complex64), None, False, False), "m", TypeError),
            ((f([1]), np.ones(1, ">c16"), None, False, False), "m", TypeError),
            ((f([1]), f([1]), None, False, False), "m", TypeError),
            ((f([1]), c([1]), -1, False, False), "n_max", OverflowError),
            ((f([1]), c([1]), 2**64, False, False), "n_max", OverflowError),
            ((f([1]), c([1]), 5.0, False, False), "n_max", TypeError),
            ((f([1]), c([1]), None, 1, False), "derivatives", TypeError),
            ((f([1]), c([1]), None, False, None), "allow_unvalidated", TypeError),
            (([1.0], c([1]), -1, False, False), "x", TypeError),
        ],
    )
    def test_conversion_errors_name_the_first_bad_argument(self, fun, args, param, cls):
        with pytest.raises(cls) as info:
            fun(*args)
        assert type(info.value) is cls and info.value.__notes__ == [f"while processing '{param}'"]

    def test_integer_likes_and_numpy_bools_are_accepted(self, fun):
        fun(f([1.0]), c([1.5]), np.int64(12), np.bool_(True), np.True_)

    def test_unaligned_arrays(self, fun):
        with raises_exactly(TypeError, "x must be an aligned array"):
            fun(unaligned(2), c([1, 1]), None, False, False)
        with raises_exactly(TypeError, "m must be an aligned array"):
            fun(f([1, 1]), unaligned_complex(2), None, False, False)

    def test_borrowed_inputs_are_refused_and_released_on_every_path(self, fun):
        x = f([1.0, 2.0, 3.0, 4.0])
        m = c([1.5, 1.5, 1.5, 1.5])
        read = lambda: fun(x, m, None, False, False)  # noqa: E731
        with raises_exactly(BufferError, "x cannot be read: The given array is already borrowed"):
            with_write_borrow(x, read)
        with raises_exactly(BufferError, "x cannot be read: The given array is already borrowed"):
            with_write_borrow(x[1:3], read)
        with_write_borrow(f([1.0]), read)  # another base
        floats = m.view(np.float64)
        for view in (floats, floats[1::2], floats[6:]):
            with raises_exactly(BufferError, "m cannot be read: The given array is already borrowed"):
                with_write_borrow(view, read)
        # Interleaved views of one buffer do not conflict.
        both = f([1.0, 2.0, 3.0, 4.0])
        fun(both[::2], m[:2], None, False, False)
        with_write_borrow(both[1::2], lambda: fun(both[::2], m[:2], None, False, False))
        # Every failure after the borrows leaves them released.
        failing = [
            lambda: fun(x, m[:2], None, False, False),  # shape
            lambda: fun(x, m, 0, False, False),  # n_max
            lambda: fun(x, c([1.5, 1.5, 0.0, 1.5]), None, True, False),  # element error, lock released
        ]
        for call in failing:
            with pytest.raises(Exception):
                call()
            assert with_write_borrow(x, lambda: 1) == 1
            assert with_write_borrow(floats, lambda: 2) == 2

    def test_no_reference_leaks(self, fun):
        x = f([1.0, 2.0])
        m = c([1.5, 1.5])
        bad = c([1.5, 0.0])

        def calls():
            result = fun(x, m, None, True, False)
            del result
            with pytest.raises(errors.InvalidInputError):
                fun(x, bad, None, True, False)
            with pytest.raises(ValueError):
                fun(x, m[:1], None, False, False)

        assert_refcounts_kept((x, m, bad), calls)

    def test_outputs_outlive_the_inputs(self, fun):
        x = f([1.0, 2.0])
        m = c([1.5, 1.5])
        result = fun(x, m, None, True, False)
        copies = [np.array(r) for r in result]
        del x, m
        for r, copy in zip(result, copies):
            assert np.array_equal(r, copy) and r.base is not None


def test_size_guards_of_efficiencies():
    def call(n, derivatives):
        return vt.mie_efficiencies(bcast(0.0, n), bcast(1.5, n, np.complex128), None, derivatives, False)

    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the efficiencies would hold 268435460 real values, more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        call(53687092, False)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the efficiencies would hold 268435460 real values (counting derivatives), "
        "more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        call(13421773, True)
    # At the limit the guard passes, and the first element is refused.
    with raises_exactly(errors.InvalidInputError, "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 0e0"):
        call(13421772, True)


def test_borrows_are_released_after_a_size_guard_refusal():
    x_base, m_base = f([1.0]), c([1.5])
    n = 2**26 + 1
    for fun in SPHERE_FUNCTIONS:
        with pytest.raises(errors.InvalidInputError, match="would hold"):
            fun(np.broadcast_to(x_base, (n,)), np.broadcast_to(m_base, (n,)), None, True, False)
        assert with_write_borrow(x_base, lambda: 1) == 1
        assert with_write_borrow(m_base.view(np.float64), lambda: 2) == 2


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer holds freed memory")
def test_output_buffers_are_freed_with_their_arrays():
    x = np.full(10**6, 2.0)
    small_x, small_m = np.full(1000, 0.1), np.full(1000, 1.5 + 0j)

    def call():
        vt.mie_default_n_max(x)  # 8 MB
        vt.mie_coefficients(small_x, small_m, 400, False, True)  # 2 x 6.4 MB

    for _ in range(3):
        call()
    before = rss_bytes()
    for _ in range(30):
        call()
    assert rss_bytes() - before < 100 * 2**20


def test_size_guards_of_coefficients():
    def call(n, derivatives=False):
        return vt.mie_coefficients(bcast(0.0, n), bcast(1.5, n, np.complex128), None, derivatives, False)

    # Exactly at the first guard: the first pass then refuses element 0 before any allocation.
    with raises_exactly(errors.InvalidInputError, "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 0e0"):
        call(2**26)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the coefficients would hold 134217730 complex values, more than MAX_MIE_VALUES = 134217728",
    ):
        call(2**26 + 1)
    # The second guard counts the terms found by the first pass.
    n = 2**22
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the coefficients would hold 251658240 complex values (counting derivatives), "
        "more than MAX_MIE_VALUES = 134217728",
    ):
        vt.mie_coefficients(bcast(1.0, n), bcast(1.5, n, np.complex128), None, True, False)


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves more address space than the limit")
def test_memory_exhaustion_in_the_solver_is_a_memory_error():
    out = run_py(
        """
        import resource
        import numpy as np
        import vantok._vantok as vt
        x, m = np.array([1.0]), np.array([1.5 + 0j])
        vt.mie_efficiencies(x, m, None, True, False)
        size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 48 * 2**20, resource.RLIM_INFINITY))
        try:
            vt.mie_efficiencies(x, m, 1048576, True, True)
        except MemoryError as e:
            print("MemoryError")
        print(vt.mie_efficiencies(x, m, None, False, False)[0][1, 0] > 0)
        """
    )
    assert out.split() == ["MemoryError", "True"]


def test_a_foreign_registry_sees_borrows_in_order_and_every_release():
    out = run_py(
        FOREIGN.format(version=1)
        + """
x, m = np.array([1.0, 2.0]), np.array([1.5 + 0j, 1.5 + 0j])
report(lambda: vt.mie_efficiencies(x, m, None, False, False)[0].shape)
print([(name, "x" if arr is x else "m") for name, arr in calls])
calls.clear()
codes["acquire"] = -1
report(lambda: vt.mie_efficiencies(x, m, None, False, False))
print([name for name, arr in calls])
calls.clear()
codes["acquire"] = 7
report(lambda: vt.mie_coefficients(x, m, None, False, False))
"""
    )
    lines = out.splitlines()
    assert lines[0] == "ok (5, 2)"
    assert lines[1] == "[('acquire', 'x'), ('acquire', 'm'), ('release', 'm'), ('release', 'x')]"
    assert lines[2].startswith("BufferError | x cannot be read: The given array is already borrowed |")
    assert lines[3] == "['acquire']"
    assert lines[4].startswith("InternalFailure | Unexpected return code 7 from borrow checking API | False |")


def test_threads_get_equal_results_and_run_while_a_call_computes():
    rng = np.random.default_rng(7)
    x = 10 ** rng.uniform(-1, 2.5, 300)
    m = rng.uniform(1.33, 1.6, 300) + 1j * rng.uniform(0, 0.1, 300)
    expected = vt.mie_efficiencies(x, m, None, True, False)
    for q, jac in in_threads(lambda: vt.mie_efficiencies(x, m, None, True, False), 6):
        assert np.array_equal(q, expected[0]) and np.array_equal(jac, expected[1])

    # Another Python thread advances while a long call holds no interpreter lock.
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        start = counter[0]
        vt.mie_efficiencies(np.full(400, 5000.0), np.full(400, 1.5 + 0.01j), None, False, False)
        advanced = counter[0] - start
    finally:
        stop.set()
        thread.join()
    assert advanced > 10
