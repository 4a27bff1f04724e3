"""The sphere and layered functions solve the elements of a call side by side in
SIMD lanes, grouped by term count; a call of one element is solved alone, by the
scalar kernel. Every function of the module that uses the kernels gives, for
each element of a batch, the bits of that element's call on its own, over
random sets of every regime (tiny x to x = 2e4, strongly absorbing, real and
near-unity indices, derivatives on and off, batches of 2 to 9 elements with
mixed term counts and a large shuffled batch); and the first failing element
in C order is the one reported."""

import numpy as np
import pytest

import vantok._vantok as vt
from conftest import c, f, raises_exactly
from vantok.errors import InvalidInputError

MU = np.array([-1.0, -0.3, 0.0, 0.5, 1.0])


def sphere_set(seed, n):
    rng = np.random.default_rng(seed)
    u = rng.uniform(size=n)
    x = np.where(u < 0.1, np.exp(rng.uniform(np.log(1e-6), np.log(1e-2), n)),
                 np.where(u < 0.93, np.exp(rng.uniform(np.log(1e-2), np.log(300.0), n)),
                          np.exp(rng.uniform(np.log(300.0), np.log(2e4), n))))
    kind = rng.integers(0, 6, n)
    re = np.choose(kind, [rng.uniform(1.33, 1.6, n), rng.uniform(1.0, 10.0, n), rng.uniform(1.2, 3.0, n),
                          1.0 + np.exp(rng.uniform(np.log(1e-9), np.log(1e-3), n)), np.ones(n),
                          rng.uniform(0.1, 0.9, n)])
    im = np.choose(kind, [rng.uniform(0.0, 0.1, n), np.exp(rng.uniform(0.0, np.log(10.0), n)), np.zeros(n),
                          np.exp(rng.uniform(np.log(1e-12), np.log(1e-4), n)), np.zeros(n),
                          rng.uniform(0.0, 1e-3, n)])
    return x, re + 1j * im


def layered_set(seed, n, layers):
    rng = np.random.default_rng(seed)
    x_outer, m_outer = sphere_set(seed, n)
    x_outer = np.minimum(x_outer, 2000.0)
    x = np.sort(x_outer[:, None] * rng.uniform(size=(n, layers)), axis=1)
    x[:, -1] = x_outer
    m = np.stack([sphere_set(seed + 1 + l, n)[1] for l in range(layers - 1)] + [m_outer], axis=1)
    m[0, :] = m[0, 0]  # equal neighbouring indices
    return np.ascontiguousarray(x), np.ascontiguousarray(m)


def sphere_calls(derivatives):
    return {
        "mie_efficiencies": lambda x, m: vt.mie_efficiencies(x, m, None, derivatives, True),
        "mie_coefficients": lambda x, m: vt.mie_coefficients(x, m, None, derivatives, True),
        "mie_amplitudes": lambda x, m: vt.mie_amplitudes(x, m, MU, None, derivatives, True),
        "mie_phase_matrix": lambda x, m: vt.mie_phase_matrix(x, m, MU, None, derivatives, True, False),
        "mie_greek": lambda x, m: vt.mie_greek(x, m, 12, None, derivatives, True, True),
    }


def layered_calls(derivatives):
    return {
        "layered_efficiencies": lambda x, m: vt.layered_efficiencies(x, m, None, derivatives, True),
        "layered_coefficients": lambda x, m: vt.layered_coefficients(x, m, None, derivatives, True),
        "layered_amplitudes": lambda x, m: vt.layered_amplitudes(x, m, MU, None, derivatives, True),
        "layered_phase_matrix": lambda x, m: vt.layered_phase_matrix(x, m, MU, None, derivatives, True, True),
        "layered_greek": lambda x, m: vt.layered_greek(x, m, 12, None, derivatives, True, False),
    }


def element(result, i, name):
    """Element i of each output of a call, its term axes cut to the element's own N."""
    kind = name.split("_", 1)[1]
    out = []
    for k, a in enumerate(result):
        if a is None:
            out.append(None)
            continue
        if kind == "efficiencies":
            axis = a.ndim - 1
        elif a.ndim == 1 or (kind == "coefficients" and a.ndim == 2):
            axis = 0
        else:
            axis = a.ndim - 2
        a = np.take(a, [i], axis=axis)
        if kind == "coefficients" and k > 0:
            a = a[..., : result[0][i]]
        out.append(a)
    return out


def assert_same_bits(batch, alone, what):
    for k, (p, q) in enumerate(zip(batch, alone)):
        assert (p is None) == (q is None), (what, k)
        if p is not None:
            assert p.shape == q.shape, (what, k, p.shape, q.shape)
            assert p.tobytes() == q.tobytes(), (what, k)


def check(calls, x, m):
    for name, call in calls.items():
        xs, ms = x, m
        if name.endswith("greek"):
            # The expansions of the largest spheres take seconds.
            keep = (x if x.ndim == 1 else x[:, -1]) <= 300.0
            xs, ms = x[keep], m[keep]
        batch = call(xs, ms)
        for i in range(len(xs)):
            alone = call(xs[i:i + 1], ms[i:i + 1])
            assert_same_bits(element(batch, i, name), alone, f"{name} element {i}")


@pytest.mark.parametrize("derivatives", [False, True])
@pytest.mark.parametrize("seed, size", [(1, 2), (2, 3), (3, 4), (4, 5), (5, 9), (6, 60)])
def test_spheres_in_lanes_give_the_bits_of_one_sphere(seed, size, derivatives):
    x, m = sphere_set(seed, size)
    check(sphere_calls(derivatives), x, m)


@pytest.mark.parametrize("derivatives", [False, True])
@pytest.mark.parametrize("layers, size", [(1, 7), (2, 40), (3, 9)])
def test_layered_particles_in_lanes_give_the_bits_of_one_particle(layers, size, derivatives):
    x, m = layered_set(10 + layers, size, layers)
    check(layered_calls(derivatives), x, m)


def test_a_large_batch_in_any_order():
    # More elements than one block of the grouped pass, of every term count:
    # each element's efficiencies are those of the same element in a shuffled call.
    x, m = sphere_set(7, 5000)
    x = np.minimum(x, 500.0)
    order = np.random.default_rng(8).permutation(len(x))
    for derivatives in (False, True):
        q, dq = vt.mie_efficiencies(x, m, None, derivatives, True)
        qs, dqs = vt.mie_efficiencies(x[order], m[order], None, derivatives, True)
        assert q[:, order].tobytes() == qs.tobytes()
        if derivatives:
            assert dq[:, :, order].tobytes() == dqs.tobytes()


def test_the_first_failing_element_is_reported():
    # Elements beyond the first block and refusals in the check (a gain
    # medium) and in the expansion (a Greek order needing too many nodes),
    # met in another order by the grouped pass: C order decides.
    x = np.full(4100, 2.0)
    m = np.full(4100, 1.5 + 0.01j)
    m[3000] = m[3500] = 1.5 - 0.1j
    with raises_exactly(InvalidInputError, "invalid input: element 3000: the refractive index must have Re m >= 0 "
                                           "and Im m >= 0 (Im m < 0 is a gain medium), got 1.5e0 + -1e-1i"):
        vt.mie_efficiencies(x, m, None, False, True)
    x = f([1.0, 7e4, 2.0, 8e4])
    with pytest.raises(InvalidInputError, match="^invalid input: element 1: the Greek coefficients of a sphere"):
        vt.mie_greek(x, c([1.5] * 4), None, None, False, True, True)
