"""The sphere and layered-sphere functions through the module: every angular
output follows from the returned coefficients (textbook sums, optical theorem,
the phase matrix from the amplitudes, the Greek expansion of the phase
matrix), limits, derivatives against central differences, one layer = the
homogeneous sphere, the layouts of every output, and lanes: each element of a
batch has the bits of its own call. (Values against high-precision references
are checked in the core's tests.)"""

import numpy as np
import pytest
from conftest import c, f, raises_exactly
from hypothesis import given
from hypothesis import strategies as st
from numpy.polynomial import legendre
from portable_math import exp, log

import vantok._vantok as vt
from vantok.errors import InvalidInputError

MU = f([-1.0, -0.7, -0.2, 0.0, 0.35, 0.8, 0.99, 1.0])
SAMPLES = {  # (x, m) of three spheres and of two particles of three layers
    "mie": (f([0.9, 15.0, 3.0]), c([1.5 + 0.01j, 1.33 + 0.001j, 1.7 + 0.2j])),
    "layered": (f([[1.0, 2.5, 4.0], [2.0, 3.0, 7.5]]),
                c([[1.6 + 0.05j, 1.2 + 0.01j, 1.45 + 0.01j], [2.0 + 0.8j, 1.33 + 1e-3j, 1.5 + 0.1j]])),
}


def fn(kind, name):
    return getattr(vt, f"{kind}_{name}")


def outer(x):
    return x if x.ndim == 1 else x[:, -1]


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


# Q_ext = 4 Re S(1)/x^2 and Q_back = 4 |S(-1)|^2/x^2 of the returned amplitudes
# (the module forms Q_ext from the absorption and scattering sums instead); Q_sca
# and g by the textbook series; S1 = S2 forward and S1 = -S2 backward to the bit.
# F11 = (|S1|^2 + |S2|^2)/2, F12 = (|S2|^2 - |S1|^2)/2, F33 = Re S1 S2*, F34 =
# Im S1* S2, times 4/x^2 (and 1/Q_sca normalised); the normalised F11
# integrates to 1 on a rule exact for its degree. The Greek expansion gives back
# the phase matrix: F11 = sum a1 P_l, F33 = sum a4 P_l, F12 = sum b1 d02, F34 =
# sum b2 d02, F11 +- F33 = sum (a2 +- a3) d2,+-2; alpha1_0 is 1 (or Q_sca to the
# bit), alpha1_1 = 3 g.
@pytest.mark.parametrize("kind", SAMPLES)
def test_angular_outputs_follow_from_the_coefficients(kind):
    x, m = SAMPLES[kind]
    xl = outer(x)
    counts, a, b, _ = fn(kind, "coefficients")(x, m, None, False, False)
    assert np.array_equal(counts, vt.mie_default_n_max(xl))
    q, _ = fn(kind, "efficiencies")(x, m, None, False, False)
    nodes, weights = vt.gauss_legendre(int(counts.max()) + 1)
    mu = np.concatenate([nodes, MU])
    (s1, s2), ds = fn(kind, "amplitudes")(x, m, mu, None, False, False)
    assert ds is None and s1.shape == (len(xl), len(mu))
    for p in range(len(xl)):
        n = int(counts[p])
        ap, bp, k = a[p, :n], b[p, :n], np.arange(1, n + 1)
        assert np.all(a[p, n:] == 0)
        ref1, ref2 = textbook_amplitudes(ap, bp, mu)
        assert np.max(abs(s1[p] - ref1) + abs(s2[p] - ref2)) <= 1e-13 * abs(ref1).max()
        s_sca = np.sum((2 * k + 1) * (abs(ap) ** 2 + abs(bp) ** 2))
        s_asy = np.sum(k[:-1] * (k[:-1] + 2) / (k[:-1] + 1) * (ap[:-1] * ap[1:].conj() + bp[:-1] * bp[1:].conj()).real)
        s_asy += np.sum((2 * k + 1) / (k * (k + 1)) * (ap * bp.conj()).real)
        k2 = 4 / xl[p] ** 2
        want = [k2 * s1[p, -1].real, k2 / 2 * s_sca, k2 * abs(s1[p, len(nodes)]) ** 2, 2 * s_asy / s_sca]
        np.testing.assert_allclose(q[[0, 1, 3, 4], p], want, rtol=1e-11)
        assert q[0, p] == q[1, p] + q[2, p] and s1[p, -1] == s2[p, -1] and s1[p, len(nodes)] == -s2[p, len(nodes)]
    for normalized in (False, True):
        big_f, df = fn(kind, "phase_matrix")(x, m, mu, None, False, False, normalized)
        assert big_f.shape == (4, len(xl), len(mu)) and df is None
        k = 4 / xl[:, None] ** 2 / (q[1][:, None] if normalized else 1)
        expected = [k * (abs(s1) ** 2 + abs(s2) ** 2) / 2, k * (abs(s2) ** 2 - abs(s1) ** 2) / 2,
                    k * (s1 * s2.conj()).real, k * (s1.conj() * s2).imag]
        assert np.all(abs(big_f - expected) <= 1e-12 * np.max(abs(big_f[0]), axis=1)[:, None])
        np.testing.assert_allclose(0.5 * big_f[0, :, : len(nodes)] @ weights, 1.0 if normalized else q[1], rtol=1e-12)
    assert np.all(big_f[[1, 3], :, -1] == 0) and np.allclose(big_f[2, :, -1], big_f[0, :, -1], rtol=1e-15)
    g_counts, g, dg = fn(kind, "greek")(x, m, None, None, False, False, True)
    assert dg is None and g_counts.dtype == np.uint64 and np.array_equal(g_counts, counts)
    assert g.shape == (6, len(xl), 2 * int(counts.max()) + 1)
    d = {key: vt.wigner_d(*key, g.shape[2] - 1, MU) for key in ((0, 0), (0, 2), (2, 2), (2, -2))}
    for p in range(len(xl)):
        assert np.all(g[:, p, 2 * int(counts[p]) + 1 :] == 0) and g[0, p, 2 * int(counts[p])] != 0
        a1, a2, a3, a4, b1, b2 = g[:, p]
        f11, f12, f33, f34 = big_f[:, p, len(nodes):]
        for got, want in ((legendre.legval(MU, a1), f11), (d[0, 0] @ a4, f33), (d[0, 2] @ b1, f12),
                          (d[0, 2] @ b2, f34), (d[2, 2] @ (a2 + a3), f11 + f33), (d[2, -2] @ (a2 - a3), f11 - f33)):
            assert np.max(abs(got - want)) <= 1e-10 * np.max(abs(f11))
    np.testing.assert_allclose(g[0, :, 1], 3 * q[4], rtol=1e-12)
    assert np.all(g[0, :, 0] == 1.0) and np.all(abs(g[[1, 2, 4, 5]][:, :, :2]) <= 1e-15)
    _, plain, _ = fn(kind, "greek")(x, m, 0, None, False, False, False)
    assert plain.shape == (6, len(xl), 1) and np.array_equal(plain[0, :, 0], q[1])
    _, wider, _ = fn(kind, "greek")(x, m, g.shape[2] + 4, None, False, False, True)  # a larger order pads
    assert np.array_equal(wider[:, :, : g.shape[2]], g) and np.all(wider[:, :, g.shape[2]:] == 0)
    _, cut, _ = fn(kind, "greek")(x, m, 4, None, False, False, True)  # a smaller one cuts (another rule)
    np.testing.assert_allclose(cut, g[:, :, :5], rtol=0, atol=1e-13)


def test_physical_limits():
    # (The Rayleigh limit is among the core's high-precision references.)
    q, _ = vt.mie_efficiencies(f([0.5, 3.0, 40.0]), c([1.33, 1.5, 1.7]), None, False, False)
    assert np.all(q[2] == 0.0) and np.array_equal(q[0], q[1])  # nothing absorbed
    q, jac = vt.mie_efficiencies(f([0.5]), c([1.0]), None, True, False)
    assert np.all(q == 0.0) and np.all(jac[:, 4] == 0.0)  # nothing scattered: g and its slopes 0, not NaN


@given(x=st.floats(1e-3, 200.0), re=st.floats(1.01, 3.0), im=st.floats(0.0, 2.0))
def test_identities(x, re, im):
    q, jac = vt.mie_efficiencies(f([x]), c([complex(re, im)]), None, True, False)
    assert q[0, 0] == q[1, 0] + q[2, 0] and np.array_equal(jac[:, 0], jac[:, 1] + jac[:, 2])
    assert q[1, 0] > 0 and q[2, 0] >= 0 and q[3, 0] >= 0 and -1 <= q[4, 0] <= 1


def derivative_calls(kind, n):
    """name: (fun(x, m, derivatives) -> (values, derivatives), whether the derivatives are complex
    derivatives d/dm (Im m then i d/dm) rather than a row each for x, Re m and Im m)."""
    mu, call = MU[1:-1], (lambda name: fn(kind, name))
    return {
        "efficiencies": (lambda x, m, d: call("efficiencies")(x, m, n, d, True), False),
        "coefficients": (lambda x, m, d: (lambda r: (np.stack(r[1:3]), None if r[3] is None else
                                                     np.take(r[3], [0, 2, 1, 3], axis=-3)))(
            call("coefficients")(x, m, n, d, True)), True),
        "amplitudes": (lambda x, m, d: call("amplitudes")(x, m, mu, n, d, True), True),
        "phase": (lambda x, m, d: call("phase_matrix")(x, m, mu, n, d, True, False), False),
        "phase normalised": (lambda x, m, d: call("phase_matrix")(x, m, mu, n, d, True, True), False),
        "greek": (lambda x, m, d: call("greek")(x, m, 12, n, d, True, False)[1:], False),
        "greek normalised": (lambda x, m, d: call("greek")(x, m, 12, n, d, True, True)[1:], False),
    }


# Per layer and parameter (x_l, Re m_l, Im m_l) against central differences of
# every particle at a fixed term count; the outer layer's x row alone carries
# the explicit terms of the 1/x_L^2 factors.
@pytest.mark.parametrize("name", list(derivative_calls("mie", 1)))
@pytest.mark.parametrize("kind, x, m", [("mie", f([1.1]), c([1.5 + 0.05j])), ("mie", f([8.0]), c([1.33 + 0.01j])),
                                        ("layered", *SAMPLES["layered"])])
def test_derivatives_match_central_differences(kind, x, m, name):
    n = int(vt.mie_default_n_max(outer(x)).max()) + 3
    fun, complex_derivative = derivative_calls(kind, n)[name]
    values, d = fun(x, m, True)
    d = d[None] if kind == "mie" else d  # a layer axis first
    assert np.array_equal(values, fun(x, m, False)[0])  # the values come unchanged
    h = 1e-6
    for layer in range(d.shape[0]):
        for r, step in enumerate((h, h, 1j * h)):
            moved = []
            for sign in (1, -1):
                xs, ms = x.copy(), m.copy()
                (xs if r == 0 else ms)[..., layer] += sign * step
                moved.append(fun(xs, ms, False)[0])
            numeric = (moved[0] - moved[1]) / (2 * h)
            if complex_derivative:
                half = d.shape[1] // 2
                analytic = d[layer, :half] if r == 0 else d[layer, half:] * (1j if r == 2 else 1)
                analytic = analytic.reshape(numeric.shape)
            else:
                analytic = d[layer, r]
            np.testing.assert_allclose(analytic, numeric, rtol=2e-6, atol=1e-7 * np.max(abs(analytic)))
    if name == "greek normalised":
        assert np.all(d[:, :, 0, :, 0] == 0)  # alpha1_0 = 1 whatever x and m
    if name == "greek" and kind == "mie":  # alpha1_0 = Q_sca: its slopes are the Jacobian's, to the bit
        assert np.array_equal(d[0, :, 0, 0, 0], vt.mie_efficiencies(x, m, n, True, True)[1][:, 1, 0])


FUNCTIONS = {
    "efficiencies": lambda k, x, m, d: fn(k, "efficiencies")(x, m, None, d, False),
    "coefficients": lambda k, x, m, d: fn(k, "coefficients")(x, m, None, d, False),
    "amplitudes": lambda k, x, m, d: fn(k, "amplitudes")(x, m, MU, None, d, False),
    "phase": lambda k, x, m, d: fn(k, "phase_matrix")(x, m, MU, None, d, False, False),
    "greek": lambda k, x, m, d: fn(k, "greek")(x, m, None, None, d, False, True),
}


# One layer is the homogeneous sphere, bit for bit (its record is the outer
# layer's: the sphere's derivatives); with L = 1 the layer stride is free.
@pytest.mark.parametrize("name", FUNCTIONS)
def test_one_layer_is_the_homogeneous_sphere(name):
    x, m = f([0.3, 2.0, 15.0]), c([1.5 + 0.01j, 1.33, 2.0 + 1.0j])
    for derivatives in (False, True):
        layered = FUNCTIONS[name]("layered", x[:, None], m[:, None], derivatives)
        sphere = FUNCTIONS[name]("mie", x, m, derivatives)
        assert all(np.array_equal(a, b) for a, b in zip(layered[:-1], sphere[:-1]))
        assert np.array_equal(layered[-1][0], sphere[-1]) if derivatives else layered[-1] is None
    column = FUNCTIONS[name]("layered", np.stack([x, x + 9], axis=1)[:1, :1], np.stack([m, m], axis=1)[:1, :1], False)
    assert np.array_equal(column[-2], FUNCTIONS[name]("layered", x[:1, None], m[:1, None], False)[-2])


def element(big, one, i, name):
    """Element i of an output of a batch, its term or order axis cut to the element's own."""
    axis = -1 if big.ndim == 1 or name == "efficiencies" else -2
    return np.take(big, [i], axis=axis)[..., : one.shape[-1]]


EMPTY = {"efficiencies": ((5, 0), (3, 5, 0)), "coefficients": ((0, 0), (4, 0, 0)), "amplitudes": ((2, 0, 8), (4, 0, 8)),
         "phase": ((4, 0, 8), (3, 4, 0, 8)), "greek": ((6, 0, 1), (3, 6, 0, 1))}  # (values, derivatives) of no sphere


def test_layouts_and_empty_inputs():
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
        reversed_ = fun(x[:, ::-1], m[:, ::-1], mu.ravel())[0]
        assert np.array_equal(reversed_[..., [2, 1, 0, 5, 4, 3], :] if reversed_.ndim == 3
                              else reversed_[..., [2, 1, 0, 5, 4, 3]], flat[0])
    assert vt.mie_efficiencies(np.array(2.0), np.array(1.5 + 0j), None, True, False)[1].shape == (3, 5, 1)
    assert vt.mie_default_n_max(f([1.0, 100.0, 1e-30, 1e6])).tolist() == [10, 131, 4, 1000603]
    assert vt.mie_default_n_max(np.zeros((0, 3))).shape == (0,)
    # Coefficients are zero-padded to the largest count; a given n_max fills every row.
    counts, a, _, d = vt.mie_coefficients(f([1.0, 10.0]), c([1.5, 1.5]), None, True, False)
    assert counts.tolist() == [10, 26] and a.shape == (2, 26) and d.shape == (4, 2, 26) and np.all(d[:, 0, 10:] == 0)
    x, m = SAMPLES["layered"]
    counts, a, _, d = vt.layered_coefficients(x, m, 30, True, False)
    assert counts.tolist() == [30, 30] and d.shape == (3, 4, 2, 30) and np.all(a != 0)
    for kind, (x, m) in SAMPLES.items():
        layers = () if kind == "mie" else (3,)
        empty = np.zeros((0,) + layers)
        for name, fun in FUNCTIONS.items():
            batch = fun(kind, x.copy(), m.copy(), True)
            np.zeros(10**5)  # the inputs' memory freed and taken again: the outputs are their own
            assert all(np.array_equal(r, k) for r, k in zip(batch, fun(kind, x, m, True)))
            for a in batch:
                assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned and a.base is not None
            values, derivatives = fun(kind, empty, empty.astype(complex), True)[-2:]
            assert (values.shape, derivatives.shape) == (EMPTY[name][0], layers + EMPTY[name][1])
            assert fun(kind, empty, empty.astype(complex), False)[-1] is None
    s, _ = vt.mie_amplitudes(f([1.0, 2.0]), c([1.5, 1.5]), f([]), None, True, False)
    assert s.shape == (2, 2, 0)
    far = f([[500.0, 1000.5], [1.0, 2.0]])  # no cosines: every particle checked, none solved
    assert vt.layered_amplitudes(far, c([[1.5, 1.33]] * 2), np.zeros(0), None, True, False)[1].shape == (2, 4, 2, 0)


def sphere_set(seed, n):
    """Random spheres of every regime: tiny x to x = 2e4, strongly absorbing, real and near-unity indices."""
    rng = np.random.default_rng(seed)
    u = rng.uniform(size=n)
    x = exp(np.where(u < 0.1, rng.uniform(log(1e-6), log(1e-2), n),
                     np.where(u < 0.93, rng.uniform(log(1e-2), log(300.0), n),
                              rng.uniform(log(300.0), log(2e4), n))))
    kind = rng.integers(0, 6, n)
    re = np.choose(kind, [rng.uniform(1.33, 1.6, n), rng.uniform(1.0, 10.0, n), rng.uniform(1.2, 3.0, n),
                          1.0 + exp(rng.uniform(log(1e-9), log(1e-3), n)), np.ones(n),
                          rng.uniform(0.1, 0.9, n)])
    im = np.choose(kind, [rng.uniform(0.0, 0.1, n), exp(rng.uniform(0.0, log(10.0), n)), np.zeros(n),
                          exp(rng.uniform(log(1e-12), log(1e-4), n)), np.zeros(n), rng.uniform(0.0, 1e-3, n)])
    return x, re + 1j * im


def particle_set(seed, n, layers):
    x, m = sphere_set(seed, n)
    if layers == 0:
        return x, m
    x = np.minimum(x, 2000.0)
    xs = np.sort(x[:, None] * np.random.default_rng(seed).uniform(size=(n, layers)), axis=1)
    xs[:, -1] = x
    m = np.stack([sphere_set(seed + 1 + l, n)[1] for l in range(layers - 1)] + [m], axis=1)
    m[0, :] = m[0, 0]  # equal neighbouring indices
    return np.ascontiguousarray(xs), np.ascontiguousarray(m)


LANE_CALLS = {
    "efficiencies": lambda k, x, m, d: fn(k, "efficiencies")(x, m, None, d, True),
    "coefficients": lambda k, x, m, d: fn(k, "coefficients")(x, m, None, d, True),
    "amplitudes": lambda k, x, m, d: fn(k, "amplitudes")(x, m, MU[::2], None, d, True),
    "phase": lambda k, x, m, d: fn(k, "phase_matrix")(x, m, MU[::2], None, d, True, k == "layered"),
    "greek": lambda k, x, m, d: fn(k, "greek")(x, m, 12, None, d, True, k == "mie"),
}


# The elements of a call are solved side by side in SIMD lanes, grouped by term
# count (a call of one element by the scalar kernel), over random sets of
# every regime and batches of 2 to 60 elements with mixed term counts.
@pytest.mark.parametrize("derivatives", [False, True])
@pytest.mark.parametrize("layers, seed, size", [(0, 1, 2), (0, 2, 3), (0, 3, 4), (0, 4, 5), (0, 5, 9), (0, 6, 60),
                                                (1, 11, 7), (2, 12, 40), (3, 13, 9)])
def test_each_element_of_a_batch_has_the_bits_of_its_own_call(layers, seed, size, derivatives):
    kind = "mie" if layers == 0 else "layered"
    x, m = particle_set(seed, size, layers)
    for name, call in LANE_CALLS.items():
        keep = outer(x) <= 300.0 if name == "greek" else slice(None)  # the largest expansions take seconds
        xs, ms = x[keep], m[keep]
        batch = call(kind, xs, ms, derivatives)
        for i in range(len(xs)):
            alone = call(kind, xs[i:i + 1], ms[i:i + 1], derivatives)
            for k, (big, one) in enumerate(zip(batch, alone)):
                assert (big is None) == (one is None)
                if one is not None:
                    got = element(big, one, i, name)
                    assert got.shape == one.shape and got.tobytes() == one.tobytes(), (name, i, k)


def test_large_batches_tables_and_the_first_failure():
    # More elements than one block of the grouped pass, in any order.
    x, m = sphere_set(7, 5000)
    x = np.minimum(x, 500.0)
    order = np.random.default_rng(8).permutation(len(x))
    q, dq = vt.mie_efficiencies(x, m, None, True, True)
    qs, dqs = vt.mie_efficiencies(x[order], m[order], None, True, True)
    assert q[:, order].tobytes() == qs.tobytes() and dq[:, :, order].tobytes() == dqs.tobytes()
    # Many elements share one angular table (up to 2 * 1024 * 2048 values), one
    # runs the recurrence: the same bits either way.
    for kind, x, m in (("mie", f([3.0, 40.0]), c([1.5 + 0.01j, 1.33])),
                       ("layered", f([[400.0, 900.0], [300.0, 800.0]]), c([[1.5 + 0.01j, 1.33], [1.4, 1.2 + 1e-3j]]))):
        for size, d in ((2048, False), (2049, False)) + (((2048, True), (2049, True)) if kind == "mie" else ()):
            mu = np.linspace(-1, 1, size)
            both = lambda x, m: fn(kind, "amplitudes")(x, m, mu, 1024, d, False) + (
                vt.mie_phase_matrix(x, m, mu, 1024, d, False, False) if kind == "mie" else ())
            for i in range(2):
                for big, one in zip(both(x, m), both(x[i:i + 1], m[i:i + 1])):
                    assert (big is None and one is None) or np.array_equal(np.take(big, [i], axis=-2), one)
    # Refusals in the check (a gain medium) and in the expansion (a Greek order
    # needing too many nodes), met in another order by the grouped pass: C order decides.
    x, m = np.full(4100, 2.0), np.full(4100, 1.5 + 0.01j)
    m[3000] = m[3500] = 1.5 - 0.1j
    with raises_exactly(InvalidInputError, "invalid input: element 3000: the refractive index must have Re m >= 0 "
                                           "and Im m >= 0 (Im m < 0 is a gain medium), got 1.5e0 + -1e-1i"):
        vt.mie_efficiencies(x, m, None, False, True)
    with pytest.raises(InvalidInputError, match="^invalid input: element 1: the Greek coefficients of a sphere"):
        vt.mie_greek(f([1.0, 7e4, 2.0, 8e4]), c([1.5] * 4), None, None, False, True, True)
