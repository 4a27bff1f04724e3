"""The spheroid T-matrix through the module: the class TMatrixObject and the
function tmatrix_random. What the binding adds: refusals in check order
(class, exact message, note of a failed conversion), the type's metadata, the
shapes and dtypes of every output, the batch against the class bit for bit, and
one numeric cross-check (a sphere against the module's Mie functions, values and
Jacobian). The numerics themselves are checked by the C++ tests."""

import inspect

import numpy as np
import pytest
from conftest import assert_refcounts_kept, bcast, c, f, raises_exactly, released, unaligned, with_write_borrow

import vantok._vantok as vt
from vantok import errors

T = vt.TMatrixObject
E, D, N = errors.InvalidInputError, errors.OutsideValidatedDomainError, errors.NotConvergedError
ROW = "invalid input: "
SPHEROID = dict(x=1.0, m_re=1.5, m_im=0.01, eps=2.0, rtol=1e-6, precision="auto", n_terms=None, n_theta=None,
                allow_unconverged=False, allow_unvalidated=False, derivatives=False)
SETTINGS = dict(rtol=1e-6, precision="auto", n_terms=None, n_theta=None, allow_unconverged=False,
                allow_unvalidated=False, derivatives=False, greek=False, order=None, mu=None, normalized=True)
X, M, EPS = f([1.0, 1.5, 0.8]), c([1.5 + 0.01j, 1.33, 1.6 + 0.1j]), f([2.0, 0.5, 1.2])


def solve(**changes):
    return T(**{**SPHEROID, **changes})


def batch(x=X, m=M, eps=EPS, **changes):
    return vt.tmatrix_random(x, m, eps, **{**SETTINGS, **changes})


def spheroids(count, **changes):
    """tmatrix_random of `count` copies of one spheroid (broadcast inputs)."""
    return batch(bcast(1.0, count), bcast(1.5, count, np.complex128), bcast(1.5, count), **changes)


ONE = solve()
WITH_D = solve(derivatives=True)
GUARD = ROW + "the phase matrix would hold {} real values{}, more than 2 * MAX_MIE_VALUES = 268435456"
GREEK = ROW + "the Greek coefficients would hold {} real values{}, more than 2 * MAX_MIE_VALUES = 268435456"
PRECISION = ROW + "precision must be 'auto', 'f64' or 'double-double', got \"F64\""
HELD = "{} cannot be read: The given array is already borrowed"
# (call, exception class, message, note of the failed conversion), in check order.
REFUSALS = [
    (lambda: T(1.0), TypeError, "TMatrixObject() missing 10 required positional arguments: 'm_re', 'm_im', 'eps', "
     "'rtol', 'precision', 'n_terms', 'n_theta', 'allow_unconverged', 'allow_unvalidated', and 'derivatives'", None),
    (lambda: T(*SPHEROID.values(), 1), TypeError, "TMatrixObject() takes 11 positional arguments but 12 were given",
     None),
    (lambda: solve(y=1), TypeError, "TMatrixObject() got an unexpected keyword argument 'y'", None),
    (lambda: solve(x="1"), TypeError, "must be real number, not str", "x"),
    (lambda: solve(precision=b"f64"), TypeError, "'bytes' object is not an instance of 'str'", "precision"),
    (lambda: solve(n_terms=-1), OverflowError, "can't convert negative int to unsigned", "n_terms"),
    (lambda: solve(n_theta=2**64), OverflowError, "int too big to convert", "n_theta"),
    (lambda: solve(precision="F64", derivatives=1), TypeError, "'int' object is not an instance of 'bool'",
     "derivatives"),
    (lambda: solve(precision="F64", x=-1.0), E, PRECISION, None),
    (lambda: solve(precision="f64\0"), E, ROW + "precision must be 'auto', 'f64' or 'double-double', got \"f64\\0\"",
     None),
    (lambda: solve(eps=6.0), D, "outside validated domain: aspect ratio 6, x = 1, m = 1.5+0.01i", None),
    # A sphere needs far fewer quadrature nodes than 100 terms: 2N passes the cap at once.
    (lambda: solve(eps=1.0, m_im=0.0, n_terms=100), N, "not converged: achieved 0e0, requested 1e-6", None),
    # tmatrix_random: conversions, then borrows, shapes, precision, the guards (on the shapes, before any input
    # is copied), cosines, the spheroids.
    (lambda: batch(X.astype(np.float32)), TypeError, "'ndarray' object is not an instance of 'ndarray[float64]'", "x"),
    (lambda: batch(m=X), TypeError, "'ndarray' object is not an instance of 'ndarray[complex128]'", "m"),
    (lambda: batch(mu=[0.5]), TypeError, "'list' object is not an instance of 'ndarray[float64]'", "mu"),
    (lambda: batch(normalized=None, precision="F64"), TypeError, "'NoneType' object is not an instance of 'bool'",
     "normalized"),
    (lambda: batch(eps=unaligned(3)), TypeError, "eps must be an aligned array", None),
    (lambda: with_write_borrow(M.view(np.float64), lambda: batch(m=M)), BufferError, HELD.format("m"), None),
    (lambda: batch(eps=EPS[:, None], precision="F64"), ValueError,
     "x, m and eps must have one shape (broadcast them first)", None),
    (lambda: batch(precision="F64", mu=f([2.0])), E, PRECISION, None),
    (lambda: batch(mu=f([[0.5, np.nan]]), x=bcast(1.0, 2**40), m=bcast(1.5, 2**40, np.complex128),
                   eps=bcast(2.0, 2**40)), E, GUARD.format(2**40 * 2 * 30, ""), None),
    (lambda: batch(mu=f([[0.5, np.nan]]), x=f([1.0, 0.0]), m=c([1.5, 1.5]), eps=f([2.0, 2.0])), E,
     ROW + "element 1 of mu: a cosine of the scattering angle must be in [-1, 1], got NaN", None),
    # 30 values per spheroid and cosine (at least one), derivatives or not.
    (lambda: batch(bcast(1.0, 8947849), bcast(1.5, 8947849, np.complex128), bcast(2.0, 8947849)), E,
     GUARD.format(268435470, ""), None),
    (lambda: batch(x=f([1.0]), m=c([1.5]), eps=f([2.0]), mu=bcast(0.5, 8947849), derivatives=True), E,
     GUARD.format(268435470, " (counting derivatives)"), None),
    (lambda: batch(x=f([1.0]), m=c([1.5]), eps=f([2.0]), mu=bcast(0.5, 8947848), rtol=2.0), E,
     ROW + "element 0: rtol must be in (0, 1), got 2", None),
    (lambda: batch(bcast(1.0, 2**58), bcast(1.5, 2**58, np.complex128), bcast(2.0, 2**58), mu=f([0.5] * 4)), E,
     GUARD.format("more than usize::MAX", ""), None),
    # The Greek coefficients: six series of 2N + 1 (or order + 1) values per spheroid, 30 with derivatives,
    # guarded before any solve.
    (lambda: spheroids(44695, n_terms=500, greek=True), E, GREEK.format(268438170, ""), None),
    (lambda: spheroids(44694, n_terms=500, greek=True, rtol=2.0), E, ROW + "element 0: rtol must be in (0, 1), got 2",
     None),
    (lambda: spheroids(8939, n_terms=500, greek=True, derivatives=True), E,
     GREEK.format(268438170, " (counting derivatives)"), None),
    (lambda: spheroids(8938, n_terms=500, greek=True, derivatives=True, rtol=2.0), E,
     ROW + "element 0: rtol must be in (0, 1), got 2", None),
    (lambda: spheroids(22, greek=True, order=2097152), E, GREEK.format(276824196, ""), None),
    (lambda: spheroids(21, greek=True, order=2097152, rtol=2.0), E, ROW + "element 0: rtol must be in (0, 1), got 2",
     None),
    (lambda: spheroids(22, greek=True, order=2097152, derivatives=True), E,
     GREEK.format(1384120980, " (counting derivatives)"), None),
    (lambda: batch(x=f([[1.0, 1.0], [1.0, 0.0]]), m=c([[1.5] * 2] * 2), eps=f([[2.0] * 2] * 2)), E,
     ROW + "element 3: x must be finite and positive, got 0", None),
    (lambda: batch(greek=True, order=2097153), E,
     ROW + "element 0: the Greek order must be at most 2097152", None),
    (lambda: batch(f([1.0]), c([1.5]), f([1.0]), n_terms=100), N, "not converged: achieved 0e0, requested 1e-6",
     None),
    (lambda: batch(f([1.0, 8.0]), c([1.5, 1.5]), f([2.0, 6.0])), D,
     "outside validated domain: element 1: aspect ratio 6, x = 8, m = 1.5+0i", None),
    (lambda: solve(n_terms=5, n_theta=2**63 + 1), E,
     ROW + "Gauss-Legendre rule needs n <= 131072, got 18446744073709551615", None),
    # No spheroids: nothing but the precision word is checked, and the Greek width.
    (lambda: batch(f([]), c([]), f([]), rtol=5.0, n_terms=0, greek=True, order=2**64 - 1), RuntimeError,
     "output shape: arithmetic overflow", None),
    # Methods.
    (lambda: ONE.block(), TypeError, "TMatrixObject.block() missing 1 required positional argument: 'm'", None),
    (lambda: ONE.block(-1), OverflowError, "can't convert negative int to unsigned", "m"),
    (lambda: ONE.efficiencies(1), TypeError, "TMatrixObject.efficiencies() takes 0 positional arguments but 1 was "
     "given", None),
    (lambda: ONE.greek(None, 1), TypeError, "'int' object is not an instance of 'bool'", "normalized"),
    (lambda: ONE.greek(2097153, True), E, ROW + "the Greek order must be at most 2097152", None),
    (lambda: ONE.phase_matrix([0.5], True), TypeError, "'list' object is not an instance of 'ndarray[float64]'",
     "mu"),
    (lambda: ONE.phase_matrix(unaligned(2), True), TypeError, "mu must be an aligned array", None),
    (lambda: with_write_borrow(EPS, lambda: ONE.phase_matrix(EPS, True)), BufferError, HELD.format("mu"), None),
    (lambda: ONE.phase_matrix(f([0.5, -1.5]), False), E,
     ROW + "element 1 of mu: a cosine of the scattering angle must be in [-1, 1], got -1.5", None),
    # Six values per cosine, 30 with derivatives, guarded before the cosines are copied.
    (lambda: ONE.phase_matrix(bcast(0.5, 2**59), True), E, GUARD.format(6 * 2**59, ""), None),
    (lambda: ONE.phase_matrix(bcast(0.5, 44739243), True), E, GUARD.format(268435458, ""), None),
    (lambda: WITH_D.phase_matrix(bcast(0.5, 8947849), True), E, GUARD.format(268435470, " (counting derivatives)"),
     None),
    (lambda: WITH_D.phase_matrix(bcast(2.0, 8947848), True), E,
     ROW + "element 0 of mu: a cosine of the scattering angle must be in [-1, 1], got 2", None),
]


@pytest.mark.parametrize("call, cls, message, note", REFUSALS)
def test_refusals(call, cls, message, note):
    with raises_exactly(cls, message, note):
        call()


def test_type_and_metadata():
    assert (T.__name__, T.__qualname__, T.__module__) == ("TMatrixObject", "TMatrixObject", "vantok._vantok")
    assert T.__doc__ == "One solved spheroid, for `vantok.tmatrix.compute`." and vt.__all__.index("TMatrixObject") == \
        vt.__all__.index("tmatrix_random") + 1 == vt.__all__.index("MAX_TMATRIX_ORDER") + 2
    assert list(inspect.signature(T).parameters) == list(SPHEROID)
    assert list(inspect.signature(vt.tmatrix_random).parameters) == ["x", "m", "eps"] + list(SETTINGS)
    for name, params in {"block": "m", "efficiencies": "", "greek": "order normalized",
                         "phase_matrix": "mu normalized"}.items():
        method = getattr(T, name)
        assert method.__text_signature__ == f"($self{', ' if params else ''}{params.replace(' ', ', ')})"
        assert method.__doc__.startswith(("(orders", "The "))
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (T,), {})
    with pytest.raises(TypeError):
        T.n_terms = None
    with pytest.raises(AttributeError):
        ONE.n_terms = 3


def test_getters_and_block():
    assert (type(ONE.n_terms), type(ONE.n_theta), type(ONE.converged)) == (int, int, bool) and ONE.converged
    assert ONE.precision_paths == ["f64"] * ONE.n_modes and 0 <= ONE.error_estimate < 1e-6
    assert ONE.n_modes <= ONE.n_terms + 1 and ONE.block(ONE.n_modes) is None and ONE.block(2**64 - 1) is None
    assert solve(precision="double-double").precision_paths == ["double-double"] * ONE.n_modes
    for m in range(ONE.n_modes):
        orders, blocks = ONE.block(m)
        assert orders.dtype == np.int64 and orders.tolist() == list(range(max(m, 1), ONE.n_terms + 1))
        assert len(blocks) == 4 and all(b.dtype == np.complex128 and b.shape == (len(orders),) * 2 for b in blocks)


@pytest.mark.parametrize("derivatives", [False, True])
def test_output_shapes(derivatives):
    o = solve(derivatives=derivatives)
    n, d = o.n_terms, [4] * derivatives
    values, jacobian = o.efficiencies()
    assert values.shape == (5,) and (jacobian is None if not derivatives else jacobian.shape == (4, 5))
    full = o.greek(None, True)
    assert full[0].shape == (6, 2 * n + 1) and full[0][0, 0] == 1.0 and np.array_equal(o.greek(0, True)[0], full[0][:, :1])
    assert (full[1] is None) != derivatives and (not derivatives or not full[1][:, 0, 0].any())
    wide = o.greek(2 * n + 4, False)
    assert [a.shape for a in wide if a is not None] == [(6, 2 * n + 5), (*d, 6, 2 * n + 5)][: 1 + derivatives]
    assert not wide[0][:, 2 * n + 1:].any() and np.array_equal(wide[0][:, : 2 * n + 1], o.greek(None, False)[0])
    assert np.isclose(wide[0][0, 0], values[1], rtol=1e-12, atol=0)  # unnormalized: alpha1_0 = Q_sca
    assert [a.shape for a in o.phase_matrix(f([]), True) if a is not None] == [(6, 0), (*d, 6, 0)][: 1 + derivatives]
    mu = f([[1.0, 0.3, -0.2], [0.0, -1.0, 0.9]])
    for got, flat, shape in zip(o.phase_matrix(mu, True), o.phase_matrix(mu.ravel(), True), [(6, 6), (*d, 6, 6)]):
        assert got is flat is None or (got.shape == shape and np.array_equal(got, flat))


@pytest.mark.parametrize("derivatives", [False, True])
def test_batch_equals_the_class_bit_for_bit(derivatives):
    mu = f([[1.0, 0.5], [-0.25, -1.0]])
    out = batch(greek=True, mu=mu, normalized=False, derivatives=derivatives)
    keys = ["efficiencies", "greek", "phase"]
    assert list(out) == ["n_terms", "n_theta", "error"] + [k + s for k in keys for s in ("", "_d")[: 1 + derivatives]]
    width = out["greek"].shape[2]
    for p in range(3):
        o = solve(x=X[p], m_re=M[p].real, m_im=M[p].imag, eps=EPS[p], derivatives=derivatives)
        assert (out["n_terms"][p], out["n_theta"][p]) == (o.n_terms, o.n_theta) and out["error"][p] == o.error_estimate
        for key, (values, d) in zip(keys, (o.efficiencies(), o.greek(width - 1, False), o.phase_matrix(mu, False))):
            assert np.array_equal(out[key][:, p], values) and (d is None) == (not derivatives)
            assert not derivatives or np.array_equal(out[key + "_d"][:, :, p], d)
    lengths = [2 * int(n) + 1 for n in out["n_terms"]]
    assert width == max(lengths) and not out["greek"][:, 0, lengths[0]:].any()
    # An order asks for one more solve that checks the coefficients up to it.
    first = batch(greek=True, order=0)["greek"]
    assert first.shape == (6, 3, 1) and (first[0] == 1.0).all()


def test_batch_keys_and_shapes():
    got = batch(X.reshape(3, 1), M.reshape(3, 1), EPS.reshape(3, 1), greek=True, order=3, mu=f([]))
    assert {k: (v.dtype.name, v.shape) for k, v in got.items()} == {
        "n_terms": ("uint64", (3,)), "n_theta": ("uint64", (3,)), "error": ("float64", (3,)),
        "efficiencies": ("float64", (5, 3)), "greek": ("float64", (6, 3, 4)), "phase": ("float64", (6, 3, 0))}
    scalar = batch(f(1.0), c(1.5), f(2.0), order=2**40)  # the order is ignored without greek
    assert list(scalar) == ["n_terms", "n_theta", "error", "efficiencies"] and scalar["efficiencies"].shape == (5, 1)
    empty = batch(f([]).reshape(0, 2), c([]).reshape(0, 2), f([]).reshape(0, 2), greek=True, mu=f([0.5]))
    assert [v.shape for v in empty.values()] == [(0,), (0,), (0,), (5, 0), (6, 0, 1), (6, 0, 1)]
    assert batch(f([]), c([]), f([]), rtol=5.0, n_terms=0, greek=True, order=7)["greek"].shape == (6, 0, 8)
    empty = batch(f([]), c([]), f([]), derivatives=True, greek=True, mu=f([0.5, 0.1]))
    assert [v.shape for v in empty.values()] == [(0,), (0,), (0,), (5, 0), (4, 5, 0), (6, 0, 1), (4, 6, 0, 1),
                                                 (6, 0, 2), (4, 6, 0, 2)]


def test_sphere_equals_the_sphere_functions():
    # Every output row in its place: the efficiencies with their Jacobian (the
    # aspect-ratio row vanishes at eps = 1), phase matrix, Greek coefficients and
    # the T blocks in their order (diagonal: -b_n in T11, -a_n in T22).
    x, m, mu = f([1.0, 2.5]), c([1.5, 1.33 + 0.05j]), f([1.0, 0.4, -0.6, -1.0])
    got = batch(x, m, f([1.0, 1.0]), rtol=1e-9, greek=True, mu=mu, derivatives=True)
    q, dq = vt.mie_efficiencies(x, m, None, True, False)
    assert np.allclose(got["efficiencies"], q, rtol=1e-9, atol=1e-15)
    assert np.allclose(got["efficiencies_d"][[0, 2, 3]], dq, rtol=1e-8, atol=1e-10)
    assert np.allclose(got["efficiencies_d"][1], 0, atol=1e-10)
    phase, _ = vt.mie_phase_matrix(x, m, mu, None, False, False, True)
    assert np.allclose(got["phase"], phase[[0, 1, 0, 2, 3, 2]], rtol=1e-8, atol=1e-10)  # F22 = F11, F44 = F33
    _, greek, _ = vt.mie_greek(x, m, got["greek"].shape[2] - 1, None, False, False, True)
    assert np.allclose(got["greek"], greek, rtol=1e-8, atol=1e-10)
    _, a, b, _ = vt.mie_coefficients(x[:1], m[:1], None, False, False)
    orders, blocks = solve(eps=1.0, m_im=0.0, rtol=1e-9).block(1)
    k = len(orders)
    assert np.allclose(blocks[0], np.diag(-b[0, :k]), atol=1e-12) and np.allclose(blocks[3], np.diag(-a[0, :k]), atol=1e-12)


def test_borrows_and_references():
    mu = f([0.5, -0.5])
    assert_refcounts_kept((X, M, EPS, mu), lambda: (batch(mu=mu), pytest.raises(E, batch, rtol=2.0)), times=10)
    assert released(X, M, EPS, mu)


@pytest.mark.parametrize("count, derivatives, exact", [
    # The width the first solve gives passes the guard's bound only below count 2.13e6 (4.26e5 with
    # derivatives): the call ends after that solve with the count the solutions give.
    (2_500_000, False, True),
    (500_000, True, True),
    # Beyond even the width every solve starts from: refused before any solve.
    (3_000_000, False, False),
])
def test_greek_refusals_count_what_the_solutions_give(count, derivatives, exact):
    # Without an order the Greek width is 2N + 1 of the solutions: a refusal of a call that asks for
    # more than the guard allows must not state more values than these spheroids would give (nor
    # refuse a call whose solutions fit).
    width = spheroids(1, greek=True, derivatives=derivatives)["greek"].shape[2]
    per_order = 30 if derivatives else 6
    with pytest.raises(E) as refused:
        spheroids(count, greek=True, derivatives=derivatives)
    stated = int(refused.value.args[0].split(" would hold ")[1].split(" ")[0])
    assert 268435456 < stated <= count * width * per_order
    if exact:
        assert str(refused.value) == GREEK.format(count * width * per_order, " (counting derivatives)" * derivatives)
