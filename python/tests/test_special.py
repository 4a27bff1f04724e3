"""gauss_legendre and wigner_d through the module: NumPy's Legendre
polynomials as reference, output arrays, the layouts x may have,
reference counts and threads. (Their refusals are tabled in test_calls.)"""

import numpy as np
import pytest
from conftest import assert_refcounts_kept, in_threads, unaligned
from numpy.polynomial import legendre

import vantok._vantok as vt


@pytest.mark.parametrize("n", [1, 2, 7, 100, 101, 1000])
def test_gauss_legendre_arrays(n):
    # (The rules' values are checked against high-precision roots in the core.)
    nodes, weights = vt.gauss_legendre(np.uint64(n))  # anything with __index__
    assert nodes.tolist() == sorted(nodes) and abs(weights.sum() - 2.0) < 1e-13
    for a in (nodes, weights):
        assert a.shape == (n,) and a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable
        assert a.base is not None and not a.flags.owndata
    nodes[:] = 7.0  # its own buffer: a later call is unaffected
    assert vt.gauss_legendre(n)[0][0] != 7.0


def test_wigner_d_values_shapes_and_layouts():
    x = np.linspace(-1, 1, 41)
    d = vt.wigner_d(0, 0, 30, x)
    assert d.shape == (41, 31) and d.dtype == np.float64
    np.testing.assert_allclose(d, legendre.legvander(x, 30), rtol=0, atol=1e-14)
    d = vt.wigner_d(2, 1, 5, np.array([-0.5, 0.25, 0.75]))
    assert np.all(d[:, :2] == 0) and np.all(d[:, 2:] != 0)
    # -2^31 fits the argument type; no degree up to l_max reaches |m|.
    assert np.all(vt.wigner_d(-(2**31), 0, 6, np.array([0.3, -1.0])) == 0)
    # An empty x is not tested for layout, and its size is not l_max's.
    assert vt.wigner_d(0, 0, 268435455, np.zeros(0)).shape == (0, 268435456)
    assert vt.wigner_d(0, 0, 2, unaligned(0)).shape == vt.wigner_d(0, 0, 2, np.zeros(4)[::2][:0]).shape == (0, 3)
    base = np.linspace(-1, 1, 7)
    expected = vt.wigner_d(1, -1, 4, base)
    readonly = base.copy()
    readonly.flags.writeable = False
    assert np.array_equal(vt.wigner_d(1, -1, 4, readonly), expected)
    assert np.array_equal(vt.wigner_d(x=base, l_max=4, n=-1, m=1), expected)
    assert np.array_equal(vt.wigner_d(1, -1, 4, base[3::100]), expected[3:4])  # one element: any stride


def test_reference_counts_and_threads():
    x, bad, strided = np.linspace(-1, 1, 5), np.array([0.0, 3.0]), np.zeros(4)[::2]

    def calls():
        vt.wigner_d(1, 2, 6, x)
        vt.gauss_legendre(4)
        for arg in (bad, strided):
            with pytest.raises(Exception):
                vt.wigner_d(0, 0, 2, arg)

    assert_refcounts_kept((x, bad, strided), calls, times=200)
    x = np.linspace(-1, 1, 301)
    expected = vt.wigner_d(2, 0, 200, x), vt.gauss_legendre(3000)
    for table, rule in in_threads(lambda: (vt.wigner_d(2, 0, 200, x), vt.gauss_legendre(3000)), 8):
        assert np.array_equal(table, expected[0]) and all(np.array_equal(a, b) for a, b in zip(rule, expected[1]))
