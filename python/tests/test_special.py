"""gauss_legendre and wigner_d: SciPy's Gauss-Legendre rules, Wigner's sum formula
in mpmath and closed forms; the order and text of every refusal; borrows,
layout checks, reference counts and threads."""


import mpmath
import numpy as np
import pytest
from numpy.polynomial import legendre
from scipy.special import roots_legendre

from conftest import assert_refcounts_kept, in_threads, raises_exactly, unaligned

import vantok._vantok as vt
from vantok import errors

with_write_borrow = vt._testing.with_write_borrow


# ---- gauss_legendre ---------------------------------------------------------


def legendre_rule(start):
    """The n-point rule in mpmath at 30 digits: Newton's method on P_n from each
    starting node, then w = 2 / ((1 - x^2) P_n'(x)^2)."""
    n = len(start)

    def p_and_derivative(x):
        p0, p1 = mpmath.mpf(1), x
        for k in range(2, n + 1):
            p0, p1 = p1, ((2 * k - 1) * x * p1 - (k - 1) * p0) / k
        return p1, (n * (x * p1 - p0) / (x * x - 1) if n > 1 else mpmath.mpf(1))

    nodes, weights = [], []
    with mpmath.workdps(30):
        for x in map(mpmath.mpf, start):
            for _ in range(3):
                p, dp = p_and_derivative(x)
                x -= p / dp
            dp = p_and_derivative(x)[1]
            nodes.append(float(x))
            weights.append(float(2 / ((1 - x * x) * dp**2)))
    return np.array(nodes), np.array(weights)


@pytest.mark.parametrize("n", [1, 2, 3, 7, 40, 100, 101, 257, 1000])
def test_gauss_legendre_matches_scipy(n):
    nodes, weights = vt.gauss_legendre(n)
    ref_nodes, ref_weights = roots_legendre(n)
    assert nodes.shape == weights.shape == (n,)
    # SciPy's nodes are good to an ulp or two of 1; its weights (eigenvector
    # and asymptotic forms) only to about 1e-11 up to a few hundred points and
    # 1e-7 at 1000, so they are checked at that level and against mpmath below.
    np.testing.assert_allclose(nodes, ref_nodes, rtol=0, atol=5e-16)
    np.testing.assert_allclose(weights, ref_weights, rtol=1e-10 if n < 300 else 1e-7, atol=0)


@pytest.mark.parametrize("n", [3, 40, 100, 101, 257])
def test_gauss_legendre_matches_mpmath(n):
    nodes, weights = vt.gauss_legendre(n)
    ref_nodes, ref_weights = legendre_rule(nodes)
    # Newton in double-double up to 100 points: correctly rounded nodes and
    # weights to an ulp; the asymptotic rule above is accurate to about 1e-15.
    tol = 2.3e-16 if n <= 100 else 1e-15
    np.testing.assert_allclose(nodes, ref_nodes, rtol=0, atol=tol)
    np.testing.assert_allclose(weights, ref_weights, rtol=tol, atol=0)


def test_gauss_legendre_small_rules_exactly():
    nodes, weights = vt.gauss_legendre(n=1)
    assert nodes.tolist() == [0.0] and weights.tolist() == [2.0]
    nodes, weights = vt.gauss_legendre(2)
    np.testing.assert_allclose(nodes, [-1 / np.sqrt(3), 1 / np.sqrt(3)], rtol=2e-16)
    np.testing.assert_allclose(weights, [1.0, 1.0], rtol=2e-16)


@pytest.mark.parametrize("n", [100, 101, 1000, 1001])
def test_gauss_legendre_rule_properties(n):
    nodes, weights = vt.gauss_legendre(n)
    assert abs(weights.sum() - 2) < 1e-14
    assert np.all(np.diff(nodes) > 0)
    assert np.array_equal(nodes, -nodes[::-1]) and np.array_equal(weights, weights[::-1])
    if n % 2:
        assert nodes[n // 2] == 0.0 and not np.signbit(nodes[n // 2])
    # Exact up to degree 2n - 1: the even monomial of degree 2n - 2 integrates to 2/(2n - 1).
    k = 2 * n - 2
    assert abs(np.dot(weights, nodes**k) - 2 / (k + 1)) < 1e-13


def test_gauss_legendre_outputs_own_their_memory():
    nodes, weights = vt.gauss_legendre(5)
    for a in (nodes, weights):
        assert a.dtype == np.float64 and a.ndim == 1
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
        assert a.base is not None and not a.flags.owndata
    nodes[:] = 7.0  # its own buffer: a later call is unaffected
    assert vt.gauss_legendre(5)[0][0] != 7.0


def test_gauss_legendre_largest_rule():
    nodes, weights = vt.gauss_legendre(vt.MAX_GAUSS_LEGENDRE_POINTS)
    assert nodes.shape == (131072,)
    assert abs(weights.sum() - 2) < 1e-13 and np.all(np.diff(nodes) > 0)


def test_gauss_legendre_refusals():
    with raises_exactly(errors.InvalidInputError, "invalid input: Gauss-Legendre rule needs n >= 1"):
        vt.gauss_legendre(0)
    with raises_exactly(errors.InvalidInputError, "invalid input: Gauss-Legendre rule needs n <= 131072, got 131073"):
        vt.gauss_legendre(131073)
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError) as info:
            vt.gauss_legendre(bad)
        assert info.value.__notes__ == ["while processing 'n'"]
    with pytest.raises(TypeError) as info:
        vt.gauss_legendre(2.0)
    assert info.value.__notes__ == ["while processing 'n'"]
    assert vt.gauss_legendre(np.uint8(3))[0].shape == (3,)  # anything with __index__


# ---- wigner_d ---------------------------------------------------------------


def wigner_sum(l, m, n, x):
    """d^l_mn(arccos x) by Wigner's finite sum, in mpmath at 40 digits."""
    with mpmath.workdps(40):
        beta = mpmath.acos(mpmath.mpf(x))
        c, s = mpmath.cos(beta / 2), mpmath.sin(beta / 2)
        f = mpmath.factorial
        total = mpmath.mpf(0)
        for k in range(0, 2 * l + 1):
            if l + n - k < 0 or m - n + k < 0 or l - m - k < 0:
                continue
            term = (-1) ** (m - n + k) * mpmath.sqrt(f(l + m) * f(l - m) * f(l + n) * f(l - n))
            term /= f(l + n - k) * f(k) * f(m - n + k) * f(l - m - k)
            total += term * c ** (2 * l + n - m - 2 * k) * s ** (m - n + 2 * k)
        return float(total)


X = np.array([-1.0, -0.999, -0.7, -0.2, 0.0, 0.3, 0.65, 0.9, 0.9999, 1.0])


@pytest.mark.parametrize("m,n", [(0, 0), (1, 0), (0, 1), (2, 2), (2, -2), (0, 2), (-1, 3), (3, -1), (-2, -2)])
def test_wigner_d_matches_wigner_sum(m, n):
    l_max = 12
    d = vt.wigner_d(m, n, l_max, X)
    assert d.shape == (len(X), l_max + 1) and d.dtype == np.float64
    ref = np.array([[wigner_sum(l, m, n, x) if l >= max(abs(m), abs(n)) else 0.0 for l in range(l_max + 1)] for x in X])
    # |d| <= 1 and the recurrences lose a few ulps per degree.
    np.testing.assert_allclose(d, ref, rtol=0, atol=1e-14)


def test_wigner_d_closed_forms():
    x = np.linspace(-1, 1, 41)
    np.testing.assert_allclose(vt.wigner_d(0, 0, 30, x), legendre.legvander(x, 30), rtol=0, atol=1e-14)
    # Closed-form start values: a few roundings each.
    np.testing.assert_allclose(vt.wigner_d(1, 1, 1, x)[:, 1], (1 + x) / 2, rtol=1e-15, atol=1e-300)
    np.testing.assert_allclose(vt.wigner_d(2, -2, 2, x)[:, 2], ((1 - x) / 2) ** 2, rtol=1e-15, atol=1e-300)
    np.testing.assert_allclose(vt.wigner_d(1, 0, 1, x)[:, 1], -np.sqrt((1 - x * x) / 2), rtol=1e-15, atol=1e-300)


def test_wigner_d_zeros_below_the_first_degree():
    d = vt.wigner_d(2, 1, 5, np.array([-0.5, 0.25, 0.75]))
    assert np.all(d[:, :2] == 0) and np.all(d[:, 2:] != 0)
    # -2^31 fits the argument type; no degree up to l_max reaches |m|, so all zeros.
    d = vt.wigner_d(-(2**31), 0, 6, np.array([0.3, -1.0]))
    assert d.shape == (2, 7) and np.all(d == 0)
    assert np.all(vt.wigner_d(0, -(2**31), 3, np.array([1.0])) == 0)


def test_wigner_d_empty_and_largest_empty():
    assert vt.wigner_d(0, 0, 3, np.zeros(0)).shape == (0, 4)
    assert vt.wigner_d(0, 0, 268435455, np.zeros(0)).shape == (0, 268435456)
    # An empty x is not tested for layout.
    assert vt.wigner_d(0, 0, 2, unaligned(0)).shape == (0, 3)
    assert vt.wigner_d(0, 0, 2, np.zeros(4)[::2][:0]).shape == (0, 3)


def test_wigner_d_reads_any_contiguous_one_dimensional_x():
    base = np.linspace(-1, 1, 7)
    expected = vt.wigner_d(1, -1, 4, base)
    readonly = base.copy()
    readonly.flags.writeable = False
    assert np.array_equal(vt.wigner_d(1, -1, 4, readonly), expected)
    assert np.array_equal(vt.wigner_d(x=base, l_max=4, n=-1, m=1), expected)
    # One element: any stride is contiguous.
    assert np.array_equal(vt.wigner_d(1, -1, 4, base[3::100]), expected[3:4])


def test_wigner_d_size_refusals():
    for size, l_max in [(0, 268435456), (2, 134217728), (1, 2**64 - 1), (2**14 + 1, 2**14 - 1)]:
        message = (
            f"invalid input: wigner_d needs max(x.size, 1) * (l_max + 1) <= 268435456, got x.size = {size}, "
            f"l_max = {l_max}"
        )
        with raises_exactly(errors.InvalidInputError, message):
            vt.wigner_d(0, 0, l_max, np.zeros(size))


def test_wigner_d_cosine_refusals_carry_no_index():
    for bad, text in [(1.5, "1.5"), (2.0, "2.0"), (np.nan, "NaN"), (-np.inf, "-inf"), (1e16, "1e16"), (1 + 2**-52, "1.0000000000000002")]:
        with raises_exactly(errors.InvalidInputError, f"invalid input: wigner_d needs -1 <= x <= 1, got {text}"):
            vt.wigner_d(0, 0, 2, np.array([0.5, 0.1, bad, 7.0]))


def test_wigner_d_conversion_refusals():
    x = np.zeros(2)
    cases = [
        (lambda: vt.wigner_d(2**31, 0, 1, x), OverflowError, "number too large to fit in target type", "m"),
        (lambda: vt.wigner_d(0, -(2**31) - 1, 1, x), OverflowError, "number too small to fit in target type", "n"),
        (lambda: vt.wigner_d(0, 0, -1, x), OverflowError, None, "l_max"),
        (lambda: vt.wigner_d(0, 0, 2**64, x), OverflowError, None, "l_max"),
        (lambda: vt.wigner_d(0.0, 0, 1, x), TypeError, None, "m"),
        (lambda: vt.wigner_d(0, 0, 1, np.zeros((2, 2))), TypeError,
         "'ndarray' object is not an instance of 'one-dimensional ndarray[float64]'", "x"),
        (lambda: vt.wigner_d(0, 0, 1, np.zeros(2, np.float32)), TypeError, None, "x"),
        (lambda: vt.wigner_d(0, 0, 1, np.zeros(2, ">f8")), TypeError, None, "x"),
        (lambda: vt.wigner_d(0, 0, 1, [0.0]), TypeError, None, "x"),
    ]  # fmt: skip
    for call, cls, message, param in cases:
        with raises_exactly(cls, message) as info:
            call()
        assert info.value.__notes__ == [f"while processing '{param}'"]


def test_wigner_d_layout_refusals():
    message = "The given array is not contiguous or is misaligned."
    for x in (np.zeros(6)[::2], np.zeros(3)[::-1], unaligned(3)):
        with raises_exactly(TypeError, message) as info:
            vt.wigner_d(0, 0, 2, x)
        assert not hasattr(info.value, "__notes__")
    # The layout is checked before the size.
    with raises_exactly(TypeError, message):
        vt.wigner_d(0, 0, 2**40, np.zeros(6)[::2])


def test_wigner_d_borrow_comes_before_the_layout_check():
    x = np.linspace(-1, 1, 6)
    message = "x cannot be read: The given array is already borrowed"
    for view in (x, x[::2], x[1:3]):
        with raises_exactly(BufferError, message):
            with_write_borrow(x, lambda: vt.wigner_d(0, 0, 2, view))
    # Conversion comes before the borrow.
    with raises_exactly(OverflowError, "number too large to fit in target type"):
        with_write_borrow(x, lambda: vt.wigner_d(2**31, 0, 2, x))
    # A view of other memory of the same base is free.
    y = np.zeros(8)
    assert with_write_borrow(y[:4], lambda: vt.wigner_d(0, 0, 1, y[4:])).shape == (4, 2)
    # The borrows are gone once the calls return, also after failures.
    assert with_write_borrow(x, lambda: 1) == 1


def test_wigner_d_and_gauss_legendre_keep_reference_counts():
    x = np.linspace(-1, 1, 5)
    bad = np.array([0.0, 3.0])
    strided = np.zeros(4)[::2]

    def calls():
        vt.wigner_d(1, 2, 6, x)
        vt.gauss_legendre(4)
        for call in (lambda: vt.wigner_d(0, 0, 2, bad), lambda: vt.wigner_d(0, 0, 2, strided)):
            with pytest.raises(Exception):
                call()

    assert_refcounts_kept((x, bad, strided), calls, times=200)


def test_threads_get_equal_results():
    x = np.linspace(-1, 1, 301)
    expected = vt.wigner_d(2, 0, 200, x)
    expected_rule = vt.gauss_legendre(3000)
    for tables, rule in in_threads(lambda: ([vt.wigner_d(2, 0, 200, x) for _ in range(5)], vt.gauss_legendre(3000)), 8):
        assert all(np.array_equal(t, expected) for t in tables)
        assert np.array_equal(rule[0], expected_rule[0]) and np.array_equal(rule[1], expected_rule[1])
