"""The layered-sphere functions: values against the mpmath field-propagation
reference of the core's tests, the degenerate-shell and one-layer identities,
per-layer derivatives against central differences, layouts of the layer and
particle axes, refusals with their exact messages, leaks and threads."""

import math
import pathlib

import numpy as np
import pytest
from conftest import assert_refcounts_kept, c, f, in_threads, raises_exactly, unaligned, unaligned_complex

import vantok._vantok as vt
from vantok import errors

with_write_borrow = vt._testing.with_write_borrow

REFERENCE = pathlib.Path(__file__).resolve().parents[2] / "core" / "tests" / "data" / "layered_reference.txt"


def read_reference():
    """The cases of layered_reference.txt (mpmath at 60 digits, derivatives by
    100-digit central differences): inputs, efficiencies, a_n, b_n and per
    layer (da/dx, da/dm, db/dx, db/dm) of shape (L, 4, N)."""
    cases = []
    for line in REFERENCE.read_text().splitlines():
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        if words[0] == "case":
            layers, n = int(words[1]), int(words[2])
            nums = [float.fromhex(w) for w in words[3:]]
            case = {
                "xs": np.array(nums[:layers]),
                "ms": np.array(nums[layers::2]) + 1j * np.array(nums[layers + 1 :: 2]),
                "a": np.zeros(n, complex),
                "b": np.zeros(n, complex),
                "d": np.zeros((layers, 4, n), complex),
            }
        elif words[0] == "eff":
            case["eff"] = np.array([float(w) for w in words[1:6]])
        elif words[0] == "ab":
            n = int(words[1]) - 1
            v = [float(w) for w in words[2:6]]
            case["a"][n], case["b"][n] = complex(v[0], v[1]), complex(v[2], v[3])
        elif words[0] == "d":
            layer, n = int(words[1]), int(words[2]) - 1
            v = [float(w) for w in words[3:11]]
            case["d"][layer, :, n] = [complex(v[2 * k], v[2 * k + 1]) for k in range(4)]
        elif words[0] == "end":
            cases.append(case)
    return cases


CASES = read_reference()


def by_layers(layers):
    return [case for case in CASES if len(case["xs"]) == layers]


# ---- values against the reference ------------------------------------------------


@pytest.mark.parametrize("layers", sorted({len(case["xs"]) for case in CASES}))
def test_batch_matches_the_mpmath_reference(layers):
    # Every case with this many layers in one call: rows are particles, outputs
    # are zero-padded to the largest N.
    cases = by_layers(layers)
    x = f([case["xs"] for case in cases])
    m = c([case["ms"] for case in cases])
    q, jac = vt.layered_efficiencies(x, m, None, True, False)
    counts, a, b, d = vt.layered_coefficients(x, m, None, True, False)
    assert q.shape == (5, len(cases)) and jac.shape == (layers, 3, 5, len(cases))
    assert a.shape == b.shape == (len(cases), max(counts)) and d.shape == (layers, 4, len(cases), max(counts))
    for p, case in enumerate(cases):
        n = len(case["a"])
        assert counts[p] == n
        assert np.all(a[p, n:] == 0) and np.all(b[p, n:] == 0) and np.all(d[:, :, p, n:] == 0)
        scale = max(abs(case["a"]).max(), abs(case["b"]).max())
        assert np.max(abs(a[p, :n] - case["a"])) <= 1e-13 * scale
        assert np.max(abs(b[p, :n] - case["b"])) <= 1e-13 * scale
        for layer in range(layers):
            for k in range(4):
                ref = case["d"][layer, k]
                # High orders of inner layers are tiny: compare on the scale of the row.
                assert np.max(abs(d[layer, k, p, :n] - ref)) <= 1e-11 * abs(ref).max(), (p, layer, k)
        eff = case["eff"]
        np.testing.assert_allclose(q[[0, 1, 3, 4], p], eff[[0, 1, 3, 4]], rtol=1e-12)
        assert abs(q[2, p] - eff[2]) <= 1e-12 * eff[0]


def test_the_coefficients_give_the_efficiencies():
    x = f([[1.0, 2.0, 4.0], [0.5, 3.0, 9.0]])
    m = c([[1.5 + 0.1j, 2.0, 1.33 + 0.01j], [1.2, 1.8 + 0.5j, 1.4]])
    q, _ = vt.layered_efficiencies(x, m, None, False, False)
    _, a, b, _ = vt.layered_coefficients(x, m, None, False, False)
    n = np.arange(1, a.shape[1] + 1)
    x_outer = x[:, -1]
    np.testing.assert_allclose(q[0], 2 / x_outer**2 * np.sum((2 * n + 1) * (a + b).real, axis=1), rtol=1e-12)
    np.testing.assert_allclose(q[1], 2 / x_outer**2 * np.sum((2 * n + 1) * (abs(a) ** 2 + abs(b) ** 2), axis=1), rtol=1e-13)
    assert np.array_equal(q[0], q[1] + q[2])


# ---- identities -----------------------------------------------------------------


@pytest.mark.parametrize("derivatives", [False, True])
def test_one_layer_is_the_homogeneous_sphere_bit_for_bit(derivatives):
    x = f([0.3, 2.0, 15.0, 120.0])
    m = c([1.5 + 0.01j, 1.33, 2.0 + 1.0j, 1.2 + 1e-4j])
    q, jac = vt.layered_efficiencies(x[:, None], m[:, None], None, derivatives, False)
    q_h, jac_h = vt.mie_efficiencies(x, m, None, derivatives, False)
    assert np.array_equal(q, q_h)
    counts, a, b, d = vt.layered_coefficients(x[:, None], m[:, None], None, derivatives, False)
    counts_h, a_h, b_h, d_h = vt.mie_coefficients(x, m, None, derivatives, False)
    assert np.array_equal(counts, counts_h) and np.array_equal(a, a_h) and np.array_equal(b, b_h)
    if derivatives:
        # The single layer is the outer one: its record is the sphere's own.
        assert np.array_equal(jac[0], jac_h) and np.array_equal(d[0], d_h)
    else:
        assert jac is None and d is None


def test_one_layer_may_be_a_strided_column():
    # With L = 1 the layer stride is free; a column of a wider array is not C-contiguous
    # across particles, but one particle of it is.
    wide_x = f([[2.0, 9.0, 9.0]])
    wide_m = c([[1.5, 9.0, 9.0]])
    q, _ = vt.layered_efficiencies(wide_x[:, :1], wide_m[:, :1], None, False, False)
    assert np.array_equal(q, vt.mie_efficiencies(f([2.0]), c([1.5]), None, False, False)[0])
    # A transposed column vector is one contiguous particle.
    q, _ = vt.layered_efficiencies(f([[1.0], [2.0]]).T, c([[1.5], [1.5]]).T, None, False, False)
    assert np.array_equal(q, vt.layered_efficiencies(f([[1.0, 2.0]]), c([[1.5, 1.5]]), None, False, False)[0])


@pytest.mark.parametrize("x0, x1, m", [(0.5, 1.0, 1.5 + 0.01j), (3.0, 7.0, 1.33 + 1e-3j), (20.0, 60.0, 2.0 + 1.0j)])
def test_a_shell_of_the_core_index_is_the_homogeneous_sphere(x0, x1, m):
    _, a, b, d = vt.layered_coefficients(f([[x0, x1]]), c([[m, m]]), None, True, False)
    _, a_h, b_h, d_h = vt.mie_coefficients(f([x1]), c([m]), None, True, False)
    scale = max(abs(a_h).max(), abs(b_h).max())
    assert np.max(abs(a - a_h)) <= 1e-13 * scale and np.max(abs(b - b_h)) <= 1e-13 * scale
    # An interface between equal indices has no x: the core's x-derivatives vanish exactly.
    assert np.all(d[0, 0] == 0) and np.all(d[0, 2] == 0)
    q, jac = vt.layered_efficiencies(f([[x0, x1]]), c([[m, m]]), None, True, False)
    assert np.all(jac[0, 0] == 0)
    # The index of both layers moves together: their m-derivatives add up to the sphere's.
    for k in (1, 3):
        total = d[0, k] + d[1, k]
        assert np.max(abs(total - d_h[k])) <= 1e-11 * abs(d_h[k]).max()
    np.testing.assert_allclose(jac[0, 1:] + jac[1, 1:], vt.mie_efficiencies(f([x1]), c([m]), None, True, False)[1][1:],
                               rtol=1e-10, atol=1e-13)


@pytest.mark.parametrize("x, m0, m1", [(1.0, 1.5 + 0.01j, 1.2), (6.0, 2.0 + 0.5j, 1.33 + 1e-3j)])
def test_a_shell_of_no_thickness_is_the_homogeneous_core(x, m0, m1):
    _, a, b, _ = vt.layered_coefficients(f([[x, x]]), c([[m0, m1]]), None, False, False)
    _, a_h, b_h, _ = vt.mie_coefficients(f([x]), c([m0]), None, False, False)
    scale = max(abs(a_h).max(), abs(b_h).max())
    assert np.max(abs(a - a_h)) <= 1e-13 * scale and np.max(abs(b - b_h)) <= 1e-13 * scale


# ---- per-layer derivatives against central differences ---------------------------------

THREE_LAYERS = (
    f([[1.0, 2.5, 4.0], [2.0, 3.0, 7.5]]),
    c([[1.6 + 0.05j, 1.2 + 0.01j, 1.45 + 0.01j], [2.0 + 0.8j, 1.33 + 1e-3j, 1.5 + 0.1j]]),
)


def moved(x, m, layer, r, h):
    """Copies of x and m with parameter r (x_l, Re m_l, Im m_l) of `layer` of every particle moved by h."""
    x, m = x.copy(), m.copy()
    if r == 0:
        x[:, layer] += h
    else:
        m[:, layer] += h if r == 1 else 1j * h
    return x, m


def test_efficiency_jacobian_matches_central_differences():
    # Also checks the layer axis order and that only the outer layer's x row
    # carries the explicit terms of Q = 2 S / x_L^2 (moving an inner x_l leaves x_L).
    x, m = THREE_LAYERS
    _, jac = vt.layered_efficiencies(x, m, 40, True, False)
    h = 1e-6
    for layer in range(3):
        for r in range(3):
            plus = vt.layered_efficiencies(*moved(x, m, layer, r, h), 40, False, False)[0]
            minus = vt.layered_efficiencies(*moved(x, m, layer, r, -h), 40, False, False)[0]
            numeric = (plus - minus) / (2 * h)
            np.testing.assert_allclose(jac[layer, r], numeric, rtol=1e-6, atol=1e-8, err_msg=f"layer {layer}, r {r}")


def test_coefficient_derivatives_match_central_differences():
    x, m = THREE_LAYERS
    _, _, _, d = vt.layered_coefficients(x, m, 40, True, False)
    h = 1e-6
    for layer in range(3):
        for r, k in ((0, 0), (1, 1)):
            plus = vt.layered_coefficients(*moved(x, m, layer, r, h), 40, False, False)
            minus = vt.layered_coefficients(*moved(x, m, layer, r, -h), 40, False, False)
            for side in (0, 1):  # a (k), b (k + 2)
                numeric = (plus[1 + side] - minus[1 + side]) / (2 * h)
                analytic = d[layer, k + 2 * side]
                assert np.max(abs(analytic - numeric)) <= 1e-7 * abs(analytic).max(), (layer, r, side)
        # The Im m_l derivative is i times the complex derivative.
        plus = vt.layered_coefficients(*moved(x, m, layer, 2, h), 40, False, False)
        minus = vt.layered_coefficients(*moved(x, m, layer, 2, -h), 40, False, False)
        numeric = (plus[1] - minus[1]) / (2 * h)
        assert np.max(abs(1j * d[layer, 1] - numeric)) <= 1e-7 * abs(d[layer, 1]).max()


# ---- layouts ----------------------------------------------------------------------


def test_rows_are_independent_particles():
    x, m = THREE_LAYERS
    q, jac = vt.layered_efficiencies(x, m, None, True, False)
    counts, a, b, d = vt.layered_coefficients(x, m, None, True, False)
    for p in range(2):
        q1, jac1 = vt.layered_efficiencies(x[p : p + 1], m[p : p + 1], None, True, False)
        counts1, a1, b1, d1 = vt.layered_coefficients(x[p : p + 1], m[p : p + 1], None, True, False)
        n = int(counts1[0])
        assert np.array_equal(q1[:, 0], q[:, p]) and np.array_equal(jac1[..., 0], jac[..., p])
        assert counts[p] == n and np.array_equal(a1[0], a[p, :n]) and np.array_equal(b1[0], b[p, :n])
        assert np.array_equal(d1[:, :, 0], d[:, :, p, :n])
    for array in (q, jac, counts, a, b, d):
        assert array.flags.c_contiguous and array.flags.writeable and array.base is not None
    assert q.dtype == jac.dtype == np.float64 and counts.dtype == np.uint64
    assert a.dtype == b.dtype == d.dtype == np.complex128


def test_a_given_n_max_fills_every_row():
    x, m = THREE_LAYERS
    counts, a, _, d = vt.layered_coefficients(x, m, 30, True, False)
    assert counts.tolist() == [30, 30] and a.shape == (2, 30) and d.shape == (3, 4, 2, 30)
    assert np.all(a != 0)


@pytest.mark.parametrize("derivatives", [False, True])
def test_no_particles(derivatives):
    x, m = np.zeros((0, 3)), np.zeros((0, 3), complex)
    q, jac = vt.layered_efficiencies(x, m, None, derivatives, False)
    assert q.shape == (5, 0)
    counts, a, b, d = vt.layered_coefficients(x, m, None, derivatives, False)
    assert counts.shape == (0,) and a.shape == b.shape == (0, 0)
    if derivatives:
        assert jac.shape == (3, 3, 5, 0) and d.shape == (3, 4, 0, 0)
    else:
        assert jac is None and d is None
    # n_max at its limit passes with nothing to solve.
    vt.layered_coefficients(x, m, 1048576, derivatives, False)


# ---- refusals ----------------------------------------------------------------------

MU = np.array([-1.0, -0.7, -0.2, 0.0, 0.35, 0.8, 0.99, 1.0])

# The five functions as (x, m, n_max, derivatives, allow_unvalidated), with
# fixed cosines, the default order and the unnormalised phase matrix.
FUNCTIONS = [
    vt.layered_efficiencies,
    vt.layered_coefficients,
    lambda x, m, *rest: vt.layered_amplitudes(x, m, MU, *rest),
    lambda x, m, *rest: vt.layered_phase_matrix(x, m, MU, *rest, False),
    lambda x, m, *rest: vt.layered_greek(x, m, None, *rest, False),
]
NAMES = ["efficiencies", "coefficients", "amplitudes", "phase_matrix", "greek"]


def call(fun, x, m, n_max=None, derivatives=False, allow_unvalidated=False):
    return fun(x, m, n_max, derivatives, allow_unvalidated)


@pytest.mark.parametrize("fun", FUNCTIONS, ids=NAMES)
class TestFrame:
    def test_rank(self, fun):
        message = "x and m must be two-dimensional: ShapeError/IncompatibleShape: incompatible shapes"
        for x, m in [
            (f([1.0, 2.0, 3.0]), c([1.5, 1.5, 1.5])),
            (np.ones((1, 1, 2)), np.ones((1, 1, 2), complex)),
            (np.ones((1, 2)), np.ones(2, complex)),  # m is checked too
            (np.array(1.0), np.ones((1, 1), complex)),
        ]:
            with raises_exactly(ValueError, message):
                call(fun, x, m, 0)  # before n_max

    def test_shape_before_contiguity(self, fun):
        with raises_exactly(ValueError, "x and m must have one shape (broadcast them first), got [2, 3] and [3, 2]"):
            call(fun, np.ones((3, 2)).T, np.ones((3, 2), complex), 0)

    def test_contiguity_before_n_max(self, fun):
        x = np.ones((3, 2))
        m = np.full((2, 3), 1.5 + 0j)
        bad = [
            (x.T, m),  # transposed
            (np.ones((2, 3)), m[:, ::-1]),  # reversed layers
            (np.ones((4, 3))[::2], m),  # every other particle
            (np.broadcast_to(f([1.0, 2.0, 3.0]), (2, 3)), m),  # one row for all particles
            # An aligned complex array whose particle stride (24 bytes) divided by 16
            # would give L = 1: the rule compares bytes.
            (np.ones((2, 1)), np.ndarray((2, 1), np.complex128, np.zeros(10), 8, (24, 16))),
        ]
        for bx, bm in bad:
            with raises_exactly(ValueError, "x and m must be C-contiguous"):
                call(fun, bx, bm, 0)

    @pytest.mark.parametrize("n_max", [0, 1048577])
    def test_n_max_range(self, fun, n_max):
        with raises_exactly(
            errors.InvalidInputError, f"invalid input: the number of terms must be in [1, 1048576], got {n_max}"
        ):
            call(fun, np.ones((1, 2)), np.ones((1, 2), complex), n_max)

    def test_no_layers(self, fun):
        with raises_exactly(
            errors.InvalidInputError,
            "invalid input: element 0: a layered sphere needs one size parameter and one refractive index per layer, "
            "got 0 and 0",
        ):
            call(fun, np.zeros((2, 0)), np.zeros((2, 0), complex), None, True)

    def test_too_many_layers(self, fun):
        x = np.linspace(1.0, 2.0, 1025)[None, :]
        m = np.full((1, 1025), 1.5 + 0j)
        with raises_exactly(errors.InvalidInputError, "invalid input: element 0: at most 1024 layers are accepted, got 1025"):
            call(fun, x, m, None, True)
        call(fun, x[:, :1024], m[:, :1024], None, False, True)

    def test_particle_errors_name_the_row(self, fun):
        x = f([[1.0, 2.0], [1.0, 2.0], [3.0, 2.0]])
        m = c([[1.5, 1.5], [1.5, 1.5], [1.5, 1.5]])
        with raises_exactly(
            errors.InvalidInputError,
            "invalid input: element 2: the size parameters must be nondecreasing from the core out, but layer 1 "
            "has 2e0 < 3e0",
        ):
            call(fun, x, m)
        with raises_exactly(
            errors.OutsideValidatedDomainError,
            "outside validated domain: element 1: a layered sphere of 2 layers with x_L = 2e0 and "
            "m = [Complex { re: 1.5, im: 0.0 }, Complex { re: 11.0, im: 0.0 }] is outside the validated domain "
            "x_L in [1e-6, 1e4], every layer 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1 and |m| x_L <= 3e4, "
            "at most 16 layers",
        ):
            call(fun, x[:2], c([[1.5, 1.5], [1.5, 11.0]]))
        call(fun, x[:2], c([[1.5, 1.5], [1.5, 11.0]]), allow_unvalidated=True)

    def test_derivative_limit(self, fun):
        x = f([[500.0, 1000.5]])
        m = c([[1.5, 1.33]])
        with raises_exactly(
            errors.OutsideValidatedDomainError,
            "outside validated domain: element 0: the derivatives are validated up to x_L = 1e3, got 1.0005e3",
        ):
            call(fun, x, m, derivatives=True)
        call(fun, x, m, derivatives=True, allow_unvalidated=True)
        call(fun, x, m, derivatives=False)
        call(fun, x[:, 1:], m[:, 1:], derivatives=True)  # one layer: the sphere's limits
        call(fun, f([[500.0, 1000.0]]), m, derivatives=True)

    @pytest.mark.parametrize(
        "args, param, cls",
        [
            ((np.ones((1, 1), np.float32), c([[1]]), None, False, False), "x", TypeError),
            (([[1.0]], c([[1]]), None, False, False), "x", TypeError),
            ((f([[1]]), np.ones((1, 1), ">c16"), None, False, False), "m", TypeError),
            ((f([[1]]), c([[1]]), -1, False, False), "n_max", OverflowError),
            ((f([[1]]), c([[1]]), None, 1, False), "derivatives", TypeError),
            ((f([[1]]), c([[1]]), None, False, "no"), "allow_unvalidated", TypeError),
        ],
    )
    def test_conversion_errors_name_the_argument(self, fun, args, param, cls):
        with pytest.raises(cls) as info:
            fun(*args)
        assert type(info.value) is cls and info.value.__notes__ == [f"while processing '{param}'"]

    def test_unaligned_and_borrowed_inputs(self, fun):
        with raises_exactly(TypeError, "x must be an aligned array"):
            call(fun, unaligned(2).reshape(1, 2), np.ones((1, 2), complex))
        with raises_exactly(TypeError, "m must be an aligned array"):
            call(fun, np.ones((1, 2)), unaligned_complex(2).reshape(1, 2))
        x = f([[1.0, 2.0], [1.5, 3.0]])
        m = c([[1.5, 1.4], [1.5, 1.4]])
        read = lambda: call(fun, x, m, None, True)  # noqa: E731
        with raises_exactly(BufferError, "x cannot be read: The given array is already borrowed"):
            with_write_borrow(x[1], read)
        with raises_exactly(BufferError, "m cannot be read: The given array is already borrowed"):
            with_write_borrow(m.view(np.float64).reshape(-1)[3:], read)
        # Every failure after the borrows leaves them released.
        for failing in (
            lambda: call(fun, x, m[:, :1]),  # shape
            lambda: call(fun, x.T, m),  # contiguity
            lambda: call(fun, x, m, 0),  # n_max
            lambda: call(fun, x, c([[1.5, 1.4], [1.5, 0.0]]), None, True),  # particle 1, lock released
        ):
            with pytest.raises(Exception):
                failing()
            assert with_write_borrow(x.reshape(-1), lambda: 1) == 1
            assert with_write_borrow(m.view(np.float64).reshape(-1), lambda: 2) == 2

    def test_no_reference_leaks(self, fun):
        x = f([[1.0, 2.0], [1.5, 3.0]])
        m = c([[1.5, 1.4], [1.5, 1.4]])
        bad = c([[1.5, 1.4], [1.5, 0.0]])

        def calls():
            result = fun(x, m, None, True, False)
            del result
            with pytest.raises(errors.InvalidInputError):
                fun(x, bad, None, True, False)
            with pytest.raises(ValueError):
                fun(x, m[:1], None, False, False)

        assert_refcounts_kept((x, m, bad, MU), calls)

    def test_threads_get_equal_results(self, fun):
        rng = np.random.default_rng(11)
        core = 10 ** rng.uniform(-1, 1.5, 120)
        x = np.stack([core, core * rng.uniform(1.0, 2.0, 120)], axis=1)
        m = np.stack([rng.uniform(1.3, 2.0, 120) + 1j * rng.uniform(0, 0.5, 120), np.full(120, 1.33 + 0j)], axis=1)
        expected = fun(x, m, None, True, False)
        for result in in_threads(lambda: fun(x, m, None, True, False), 6):
            assert all(np.array_equal(r, e) for r, e in zip(result, expected))


def test_the_first_pass_of_the_coefficients_reports_the_last_particle_before_solving():
    # Particle 0 would fail its derivative limit when solved; the first pass finds
    # the bad last particle first, since it only checks.
    x = f([[500.0, 1000.5], [1.0, 2.0], [1.0, 0.5]])
    m = c([[1.5, 1.33]] * 3)
    message = (
        "invalid input: element 2: the size parameters must be nondecreasing from the core out, but layer 1 "
        "has 5e-1 < 1e0"
    )
    with raises_exactly(errors.InvalidInputError, message):
        vt.layered_coefficients(x, m, None, True, False)
    # The efficiencies solve in order and stop at particle 0.
    with raises_exactly(
        errors.OutsideValidatedDomainError,
        "outside validated domain: element 0: the derivatives are validated up to x_L = 1e3, got 1.0005e3",
    ):
        vt.layered_efficiencies(x, m, None, True, False)


def test_size_guard_of_the_efficiencies_counts_every_layer_before_allocating():
    # 15 L + 5 real values per particle with derivatives. The arrays are lazily
    # zeroed pages: nothing reads them before the guard and the layer count.
    layers = (268435456 - 5) // 15
    x = np.zeros((1, layers + 1))
    m = np.zeros((1, layers + 1), complex)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the efficiencies would hold 268435460 real values (counting derivatives), "
        "more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        vt.layered_efficiencies(x, m, None, True, False)
    # At the limit the guard passes and the layer count refuses particle 0 before
    # the 2 GB Jacobian is allocated.
    with raises_exactly(
        errors.InvalidInputError, f"invalid input: element 0: at most 1024 layers are accepted, got {layers}"
    ):
        vt.layered_efficiencies(x[:, :layers], m[:, :layers], None, True, False)


def test_size_guards_of_the_coefficients():
    # The early guard: 4 L + 2 complex values per particle and term, one term each.
    layers = (134217728 - 2) // 4
    x = np.zeros((1, layers + 1))
    m = np.zeros((1, layers + 1), complex)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the coefficients would hold 134217730 complex values (counting derivatives), "
        "more than MAX_MIE_VALUES = 134217728",
    ):
        vt.layered_coefficients(x, m, None, True, False)
    # The second guard counts the terms of the first pass: 13 particles of 2^20
    # terms and 2 layers make 13 * 2^20 * 10 values.
    x = np.tile(f([1.0, 2.0]), (13, 1))
    m = np.tile(c([1.5, 1.33]), (13, 1))
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the coefficients would hold 136314880 complex values (counting derivatives), "
        "more than MAX_MIE_VALUES = 134217728",
    ):
        vt.layered_coefficients(x, m, 1048576, True, False)
    # Without derivatives 2 values per particle and term.
    x = np.tile(f([1.0, 2.0]), (65, 1))
    m = np.tile(c([1.5, 1.33]), (65, 1))
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: the coefficients would hold 136314880 complex values, more than MAX_MIE_VALUES = 134217728",
    ):
        vt.layered_coefficients(x, m, 1048576, False, False)


# ---- amplitudes, phase matrix and Greek coefficients ---------------------------------------

def reference_amplitudes(a, b, mu):
    """S1, S2 from the coefficients and the textbook recurrences of pi_n, tau_n."""
    s1 = np.zeros(len(mu), complex)
    s2 = np.zeros(len(mu), complex)
    pi_prev, pi = np.zeros(len(mu)), np.ones(len(mu))
    for n in range(1, len(a) + 1):
        tau = n * mu * pi - (n + 1) * pi_prev
        w = (2 * n + 1) / (n * (n + 1))
        s1 += w * (a[n - 1] * pi + b[n - 1] * tau)
        s2 += w * (a[n - 1] * tau + b[n - 1] * pi)
        pi_prev, pi = pi, ((2 * n + 1) * mu * pi - (n + 1) * pi_prev) / n
    return s1, s2


def test_amplitudes_from_the_coefficients_and_the_efficiencies():
    x, m = THREE_LAYERS
    S, dS = vt.layered_amplitudes(x, m, MU, None, False, False)
    assert S.shape == (2, 2, len(MU)) and S.dtype == np.complex128 and dS is None
    counts, a, b, _ = vt.layered_coefficients(x, m, None, False, False)
    q, _ = vt.layered_efficiencies(x, m, None, False, False)
    for p in range(2):
        n = int(counts[p])
        s1, s2 = reference_amplitudes(a[p, :n], b[p, :n], MU)
        scale = abs(s1).max()
        assert np.max(abs(S[0, p] - s1)) <= 1e-13 * scale and np.max(abs(S[1, p] - s2)) <= 1e-13 * scale
        x_outer = x[p, -1]
        # Forward: S1 = S2 and the optical theorem; backward: Q_back.
        assert S[0, p, -1] == S[1, p, -1]
        assert 4 / x_outer**2 * S[0, p, -1].real == pytest.approx(q[0, p], rel=1e-12)
        assert 4 / x_outer**2 * abs(S[0, p, 0]) ** 2 == pytest.approx(q[3, p], rel=1e-12)


def test_phase_matrix_from_the_amplitudes_and_its_integral():
    x, m = THREE_LAYERS
    nodes, weights = np.polynomial.legendre.leggauss(64)
    q, _ = vt.layered_efficiencies(x, m, None, False, False)
    S, _ = vt.layered_amplitudes(x, m, nodes, None, False, False)
    for normalized in (False, True):
        F, dF = vt.layered_phase_matrix(x, m, nodes, None, False, False, normalized)
        assert F.shape == (4, 2, 64) and F.dtype == np.float64 and dF is None
        half_integral = 0.5 * F[0] @ weights
        np.testing.assert_allclose(half_integral, 1.0 if normalized else q[1], rtol=1e-12)
        c = 4 / x[:, -1:] ** 2 / (q[1][:, None] if normalized else 1.0)
        s1, s2 = S
        np.testing.assert_allclose(F[0], c * (abs(s1) ** 2 + abs(s2) ** 2) / 2, rtol=1e-12)
        np.testing.assert_allclose(F[1], c * (abs(s2) ** 2 - abs(s1) ** 2) / 2, rtol=1e-12, atol=1e-12 * F[0].max())
        np.testing.assert_allclose(F[2], c * (s1 * s2.conj()).real, rtol=1e-12, atol=1e-12 * F[0].max())
        np.testing.assert_allclose(F[3], c * (s1.conj() * s2).imag, rtol=1e-12, atol=1e-12 * F[0].max())


def test_greek_identities():
    x, m = THREE_LAYERS
    q, _ = vt.layered_efficiencies(x, m, None, False, False)
    counts, g, dg = vt.layered_greek(x, m, None, None, False, False, True)
    assert counts.tolist() == vt.layered_coefficients(x, m, None, False, False)[0].tolist()
    assert g.shape == (6, 2, 2 * int(max(counts)) + 1) and dg is None
    assert np.all(g[0, :, 0] == 1.0)
    np.testing.assert_allclose(g[0, :, 1], 3 * q[4], rtol=1e-12)
    # alpha2, alpha3, beta1 and beta2 have no orders below 2.
    assert np.all(g[[1, 2, 4, 5], :, :2] == 0)
    for p in range(2):
        assert np.all(g[:, p, 2 * int(counts[p]) + 1 :] == 0)  # zero above the particle's own 2N
    # Unnormalised, alpha1_0 is the particle's Q_sca, bit for bit.
    _, g0, _ = vt.layered_greek(x, m, 0, None, False, False, False)
    assert g0.shape == (6, 2, 1) and np.array_equal(g0[0, :, 0], q[1])
    # The expansion gives back the normalised F11.
    mu = np.linspace(-1, 1, 9)
    F, _ = vt.layered_phase_matrix(x, m, mu, None, False, False, True)
    for p in range(2):
        np.testing.assert_allclose(np.polynomial.legendre.legval(mu, g[0, p]), F[0, p], rtol=1e-10)
    # A larger order pads with zeros; a smaller one cuts.
    order = g.shape[2] - 1
    _, longer, _ = vt.layered_greek(x, m, order + 5, None, False, False, True)
    assert np.array_equal(longer[:, :, : order + 1], g) and np.all(longer[:, :, order + 1 :] == 0)


@pytest.mark.parametrize("derivatives", [False, True])
def test_one_layer_angular_outputs_are_the_homogeneous_sphere(derivatives):
    x = f([0.3, 2.0, 15.0])
    m = c([1.5 + 0.01j, 1.33, 2.0 + 1.0j])
    S, dS = vt.layered_amplitudes(x[:, None], m[:, None], MU, None, derivatives, False)
    S_h, dS_h = vt.mie_amplitudes(x, m, MU, None, derivatives, False)
    assert np.array_equal(S, S_h)
    F, dF = vt.layered_phase_matrix(x[:, None], m[:, None], MU, None, derivatives, False, False)
    F_h, dF_h = vt.mie_phase_matrix(x, m, MU, None, derivatives, False, False)
    assert np.array_equal(F, F_h)
    counts, g, dg = vt.layered_greek(x[:, None], m[:, None], None, None, derivatives, False, True)
    counts_h, g_h, dg_h = vt.mie_greek(x, m, None, None, derivatives, False, True)
    assert np.array_equal(counts, counts_h)
    assert np.array_equal(g, g_h)
    if derivatives:
        # The sole layer is the outer one: the sphere's derivatives.
        assert np.array_equal(dS[0], dS_h) and np.array_equal(dF[0], dF_h) and np.array_equal(dg[0], dg_h)


def test_angular_values_are_the_same_with_derivatives():
    # With derivatives the values come from the first layer's derivative
    # evaluation: the bits of the evaluation without derivatives.
    x, m = THREE_LAYERS
    for values in (
        lambda d: vt.layered_amplitudes(x, m, MU, None, d, False)[0],
        lambda d: vt.layered_phase_matrix(x, m, MU, None, d, False, True)[0],
        lambda d: vt.layered_phase_matrix(x, m, MU, None, d, False, False)[0],
        lambda d: vt.layered_greek(x, m, None, None, d, False, True)[1],
        lambda d: vt.layered_greek(x, m, 7, None, d, False, False)[1],
    ):
        assert np.array_equal(values(False), values(True))


def test_angular_derivatives_match_central_differences():
    x, m = THREE_LAYERS
    mu = np.array([-0.9, -0.3, 0.4, 0.95])
    _, dS = vt.layered_amplitudes(x, m, mu, 40, True, False)
    _, dF = vt.layered_phase_matrix(x, m, mu, 40, True, False, False)
    assert dS.shape == (3, 4, 2, 4) and dF.shape == (3, 3, 4, 2, 4)
    h = 1e-6
    for layer in range(3):
        for r in range(3):
            plus, minus = moved(x, m, layer, r, h), moved(x, m, layer, r, -h)
            numeric_s = (
                vt.layered_amplitudes(*plus, mu, 40, False, False)[0]
                - vt.layered_amplitudes(*minus, mu, 40, False, False)[0]
            ) / (2 * h)
            # dS/dm is the complex derivative: times i for Im m.
            analytic_s = dS[layer, 0:2] if r == 0 else dS[layer, 2:4] * (1 if r == 1 else 1j)
            assert np.max(abs(analytic_s - numeric_s)) <= 1e-7 * abs(analytic_s).max(), (layer, r)
            numeric_f = (
                vt.layered_phase_matrix(*plus, mu, 40, False, False, False)[0]
                - vt.layered_phase_matrix(*minus, mu, 40, False, False, False)[0]
            ) / (2 * h)
            assert np.max(abs(dF[layer, r] - numeric_f)) <= 1e-7 * abs(dF[layer, r]).max(), (layer, r)


def test_greek_derivatives_match_central_differences():
    x, m = THREE_LAYERS
    _, _, dg = vt.layered_greek(x, m, 12, 40, True, False, False)
    assert dg.shape == (3, 3, 6, 2, 13)
    h = 1e-6
    for layer in range(3):
        for r in range(3):
            plus = vt.layered_greek(*moved(x, m, layer, r, h), 12, 40, False, False, False)[1]
            minus = vt.layered_greek(*moved(x, m, layer, r, -h), 12, 40, False, False, False)[1]
            numeric = (plus - minus) / (2 * h)
            assert np.max(abs(dg[layer, r] - numeric)) <= 1e-7 * abs(dg[layer, r]).max(), (layer, r)
    # Normalised, alpha1_0 = 1 has no derivative.
    _, _, dg = vt.layered_greek(x, m, 4, None, True, False, True)
    assert np.all(dg[:, :, 0, :, 0] == 0)


@pytest.mark.parametrize("derivatives", [False, True])
def test_the_shared_table_gives_the_bits_of_the_recurrence(derivatives):
    x, m = THREE_LAYERS
    mu = np.linspace(-1, 1, 7)
    batch = [vt.layered_amplitudes(x, m, mu, None, derivatives, False)]
    batch.append(vt.layered_phase_matrix(x, m, mu, None, derivatives, False, True))
    for p in range(2):
        # One particle never builds a table.
        single = [vt.layered_amplitudes(x[p : p + 1], m[p : p + 1], mu, None, derivatives, False)]
        single.append(vt.layered_phase_matrix(x[p : p + 1], m[p : p + 1], mu, None, derivatives, False, True))
        for (values, d), (values1, d1) in zip(batch, single):
            assert np.array_equal(values[:, p], values1[:, 0])
            if derivatives:
                assert np.array_equal(d[..., p, :], d1[..., 0, :])


def test_the_table_limit_is_inclusive_and_invisible():
    # Two particles of 1024 terms: 2 * 1024 * 2048 values make a table, one
    # cosine more does not; the results are the same bits either way.
    x = f([[400.0, 900.0], [300.0, 800.0]])
    m = c([[1.5 + 0.01j, 1.33], [1.4, 1.2 + 1e-3j]])
    mu = np.linspace(-1, 1, 2049)
    with_table, _ = vt.layered_amplitudes(x, m, mu[:2048], 1024, False, False)
    without, _ = vt.layered_amplitudes(x, m, mu, 1024, False, False)
    assert np.array_equal(with_table, without[:, :, :2048])
    alone, _ = vt.layered_amplitudes(x[1:], m[1:], mu[:2048], 1024, False, False)
    assert np.array_equal(alone[:, 0], with_table[:, 1])


def test_empty_cosines_check_every_particle_but_solve_none():
    x = f([[500.0, 1000.5], [1.0, 2.0]])
    m = c([[1.5, 1.33], [1.5, 1.33]])
    S, dS = vt.layered_amplitudes(x, m, np.zeros(0), None, True, False)
    assert S.shape == (2, 2, 0) and dS.shape == (2, 4, 2, 0)
    F, dF = vt.layered_phase_matrix(x, m, np.zeros((0, 3)), None, True, False, True)
    assert F.shape == (4, 2, 0) and dF.shape == (2, 3, 4, 2, 0)
    with raises_exactly(errors.InvalidInputError, "invalid input: element 1: |m| of layer 1 must be in [1e-6, 1e3], got 0e0"):
        vt.layered_amplitudes(x, c([[1.5, 1.33], [1.5, 0.0]]), np.zeros(0), None, True, False)
    # With cosines particle 0 is solved and meets the derivative limit.
    with raises_exactly(
        errors.OutsideValidatedDomainError,
        "outside validated domain: element 0: the derivatives are validated up to x_L = 1e3, got 1.0005e3",
    ):
        vt.layered_phase_matrix(x, m, f([0.5]), None, True, False, True)


def test_cosines_are_read_in_c_order_and_checked_first():
    x, m = THREE_LAYERS
    mu = f([[0.1, 0.2, 0.3], [-0.4, -0.5, 1.0]])
    S, _ = vt.layered_amplitudes(x, m, mu, None, False, False)
    assert np.array_equal(S, vt.layered_amplitudes(x, m, mu.ravel(), None, False, False)[0])
    assert np.array_equal(S, vt.layered_amplitudes(x, m, np.asfortranarray(mu), None, False, False)[0])
    bad_x = x.copy()
    bad_x[0, 0] = 0.0
    for value, shown in ((1.5, "1.5"), (math.nan, "NaN"), (1.0000001, "1.0000001")):
        with raises_exactly(
            errors.InvalidInputError,
            f"invalid input: element 1 of mu: a cosine of the scattering angle must be in [-1, 1], got {shown}",
        ):
            vt.layered_phase_matrix(bad_x, m, f([0.5, value]), None, False, False, True)


def test_greek_first_pass_and_order_check():
    x = f([[500.0, 1000.5], [1.0, 2.0], [1.0, 0.5]])
    m = c([[1.5, 1.33]] * 3)
    with raises_exactly(
        errors.InvalidInputError,
        "invalid input: element 2: the size parameters must be nondecreasing from the core out, but layer 1 "
        "has 5e-1 < 1e0",
    ):
        vt.layered_greek(x, m, None, None, True, False, True)
    with raises_exactly(errors.InvalidInputError, "invalid input: the Greek order must be at most 2097152, got 2097153"):
        vt.layered_greek(x, m, 2097153, None, True, False, True)
    with raises_exactly(ValueError, "x and m must be C-contiguous"):
        vt.layered_greek(x.T.copy().T, m, 2097153, None, True, False, True)


def test_angular_outputs_of_no_particles():
    x, m = np.zeros((0, 3)), np.zeros((0, 3), complex)
    S, dS = vt.layered_amplitudes(x, m, MU, None, True, False)
    assert S.shape == (2, 0, len(MU)) and dS.shape == (3, 4, 0, len(MU))
    F, dF = vt.layered_phase_matrix(x, m, MU, None, True, False, False)
    assert F.shape == (4, 0, len(MU)) and dF.shape == (3, 3, 4, 0, len(MU))
    counts, g, dg = vt.layered_greek(x, m, None, None, True, False, True)
    assert counts.shape == (0,) and g.shape == (6, 0, 1) and dg.shape == (3, 3, 6, 0, 1)
    assert vt.layered_greek(x, m, None, None, False, False, True)[2] is None


def test_angular_size_guards():
    # Two layers, 100 cosines, derivatives: 1000 complex values per particle for
    # the amplitudes, 2800 real values for the phase matrix. Particles of x = 0
    # pass the guard at the limit and fail their check afterwards.
    mu = np.linspace(-1, 1, 100)
    for fun, limit, per, what, kind, extra in (
        (vt.layered_amplitudes, 134217728, 1000, "the amplitudes", "complex values", ()),
        (vt.layered_phase_matrix, 268435456, 2800, "the phase matrix", "real values", (True,)),
    ):
        largest = limit // per
        name = "MAX_MIE_VALUES" if limit == 134217728 else "2 * MAX_MIE_VALUES"
        x, m = np.zeros((largest + 1, 2)), np.zeros((largest + 1, 2), complex)
        with raises_exactly(
            errors.InvalidInputError,
            f"invalid input: {what} would hold {per * (largest + 1)} {kind} (counting derivatives), "
            f"more than {name} = {limit}",
        ):
            fun(x, m, mu, None, True, False, *extra)
        with raises_exactly(
            errors.InvalidInputError,
            "invalid input: element 0: the size parameters must be in [1e-30, 1e6], got 0e0 to 0e0",
        ):
            fun(x[:largest], m[:largest], mu, None, True, False, *extra)


def test_greek_size_guard_counts_every_layer_before_the_particles():
    layers = (268435456 - 6) // 18 + 1  # 6 + 18 L values per particle and order
    x, m = np.zeros((1, layers)), np.zeros((1, layers), complex)
    with raises_exactly(
        errors.InvalidInputError,
        f"invalid input: the Greek coefficients would hold {6 + 18 * layers} real values (counting derivatives), "
        "more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        vt.layered_greek(x, m, None, None, True, False, True)
    # The second guard counts the orders of the first pass: 2^20 terms give
    # L + 1 = 2^21 + 1 orders, 6 values each, for 22 particles.
    x = np.tile(f([1.0, 2.0]), (22, 1))
    m = np.tile(c([1.5, 1.33]), (22, 1))
    with raises_exactly(
        errors.InvalidInputError,
        f"invalid input: the Greek coefficients would hold {22 * 6 * (2**21 + 1)} real values, "
        "more than 2 * MAX_MIE_VALUES = 268435456",
    ):
        vt.layered_greek(x, m, None, 1048576, False, False, True)
