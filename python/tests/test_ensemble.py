"""The ensemble functions through the module: one refusal table in check order,
parameter names, accepted spec forms, the dict's keys and shapes, a monodisperse
ensemble against the sphere functions, batches against separate calls, and the
input arrays copied before the interpreter lock is released (the engine's
values are checked against references by the core tests)."""

import threading

import numpy as np
import pytest
from conftest import assert_refcounts_kept, bcast, c, f, raises_exactly, released, unaligned, with_write_borrow

import vantok._vantok as vt
from vantok import errors

E = errors.InvalidInputError
W = f([0.4, 0.55])
M = c([1.53 + 0.008j, 1.5 + 0.01j])
LOGNORMAL = ("lognormal", 0.1, 2.0)
SPHERE = ("sphere", M)
LAYERED = ("layered", f([0.6]), c([[1.6 + 0.02j, 1.5], [1.4, 1.3 + 1e-3j]]))
ITEM = (LOGNORMAL, SPHERE, 1.0)
NONE = np.zeros(0)
SETTINGS = dict(greek=None, all_orders=False, mu=NONE, normalized=True, rtol=1e-4, max_panels=1000,
                allow_unvalidated=False, refine_backscatter=True)


def compute(items=(ITEM,), wavelengths=W, mixture=False, derivatives=(), **changes):
    return vt.ensemble_compute(items=items, wavelengths=wavelengths, mixture=mixture, derivatives=derivatives,
                               **{**SETTINGS, **changes})


def batch(specs=(LOGNORMAL,), particle_spec=SPHERE, wavelengths=W, **changes):
    return vt.ensemble_compute_batch(specs, particle_spec, wavelengths, **{**SETTINGS, **changes})


def dist(spec):
    return lambda: compute([(spec, SPHERE, 1.0)])


def part(spec):
    return lambda: compute([(LOGNORMAL, spec, 1.0)])


def nested(depth):
    spec = LOGNORMAL
    for _ in range(depth):
        spec = ("multimodal", [(1.0, spec)])
    return spec


class Retyping:
    """An index whose conversion reinterprets an array converted before it as float32."""

    def __init__(self, array):
        self.array = array

    def __index__(self):
        self.array.dtype = np.float32
        return 0


def item_error(value, cls, message):
    return (lambda: compute([(BAD, SPHERE, 1.0), value]), cls, message, "items")


BAD = ("gamma", 1.0)  # missing item: parsed only after every conversion
NAN_M = complex(np.nan, np.nan)
NAN_SPHERE = ("sphere", c([1.53 + 0.008j, complex(1.5, np.nan)]))
NAN_INDEX = "at wavelength 5.5e-1, radius 1e-1: the refractive index must be finite, got 1.5e0 + NaNi"
ROW = "invalid input: "
GUARD = ROW + "the ensemble outputs would exceed 2 * MAX_MIE_VALUES = 268435456 real values"
HELD = "refractive_index cannot be read: The given array is already borrowed"
# (call, exception class, message, note of the failed conversion), in check order.
REFUSALS = [
    # Parsers: form only, nothing prefixed.
    (dist(list(LOGNORMAL)), TypeError, "a distribution spec must be a tuple", None),
    (dist(()), IndexError, "tuple index out of range", None),
    (dist((b"gamma", 1.0, 0.1)), TypeError, "'bytes' object cannot be converted to 'PyString'", None),
    (dist(("Lognormal", 0.1, 2.0)), TypeError, 'unknown distribution kind "Lognormal"', None),
    (dist(('a"\\\n\x01', 1.0)), TypeError, 'unknown distribution kind "a\\"\\\\\\n\\u{1}"', None),
    (dist(BAD), IndexError, "tuple index out of range", None),
    (dist(("gamma", 1.0, "0.1")), TypeError, "must be real number, not str", None),
    (dist(("tabulated", "12", [1.0])), TypeError, "Can't extract `str` to `Vec`", None),
    (dist(("tabulated", 1.0, [1.0])), TypeError, "'float' object cannot be converted to 'Sequence'", None),
    (dist(("multimodal", [(1.0, BAD), (1.0, LOGNORMAL, 0)])), ValueError,
     "expected tuple of length 2, but got tuple of length 3", None),
    (dist(("multimodal", [[1.0, LOGNORMAL]])), TypeError, "'list' object cannot be converted to 'PyTuple'", None),
    # Eight levels parse (validation refuses any nesting); a ninth is refused before the parser recurses.
    (lambda: vt.ensemble_parameters([(nested(7), SPHERE, 1.0)], False), None, None, None),
    (dist(nested(8)), RecursionError, "distribution specs nest at most 8 deep", None),
    (dist(nested(100_000)), RecursionError, "distribution specs nest at most 8 deep", None),
    # A tabulated sequence is measured before it is read.
    (dist(("tabulated", bcast(1.0, 2**28 + 1), [1.0])), E,
     ROW + "the tabulated radii would hold 268435457 real values, more than 2 * MAX_MIE_VALUES = 268435456", None),
    (dist(("tabulated", [0.1, 0.2], bcast(1.0, 2**40))), E,
     ROW + "the tabulated densities would hold 1099511627776 real values, more than 2 * MAX_MIE_VALUES = 268435456",
     None),
    (part(["sphere", M]), TypeError, "a particle spec must be a tuple", None),
    (part(("Sphere", M)), TypeError, 'unknown particle kind "Sphere"', None),
    (part(("sphere",)), IndexError, "tuple index out of range", None),
    (part(("sphere", M.real.copy())), TypeError, "a sphere's refractive indices must be an array", None),
    (part(("sphere", unaligned(2, np.complex128))), TypeError, "refractive_index must be an aligned array", None),
    (lambda: with_write_borrow(M.view(np.float64), part(SPHERE)), BufferError, HELD, None),
    (part(("layered", M, M)), TypeError, "a layered sphere's radius fractions must be an array", None),
    (part(("layered", f([0.5]), W)), TypeError, "a layered sphere's refractive indices must be an array", None),
    (part(("layered", f([0.5]), M)), TypeError,
     "a layered sphere's refractive indices must have shape (layers, wavelengths), got 1 axes", None),
    # ensemble_compute: conversions in parameter order before any spec is parsed.
    (lambda: compute("items"), TypeError, "Can't extract `str` to `Vec`", "items"),
    item_error([LOGNORMAL, SPHERE, 1.0], TypeError, "'list' object cannot be converted to 'PyTuple'"),
    item_error((LOGNORMAL, SPHERE), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    item_error((LOGNORMAL, SPHERE, 1.0, 1.0), ValueError, "expected tuple of length 3, but got tuple of length 4"),
    item_error((LOGNORMAL, SPHERE, "1"), TypeError, "must be real number, not str"),
    (lambda: compute([(BAD, SPHERE, 1.0)], W.astype(np.float32)), TypeError, None, "wavelengths"),
    (lambda: compute([(BAD, SPHERE, 1.0)], mixture=1), TypeError, None, "mixture"),
    (lambda: compute([(BAD, SPHERE, 1.0)], mu=None), TypeError, None, "mu"),
    (lambda: compute([(BAD, SPHERE, 1.0)], derivatives=[0, -1]), OverflowError, None, "derivatives"),
    (lambda: compute([(BAD, SPHERE, 1.0)], max_panels=-1), OverflowError, None, "max_panels"),
    (lambda: compute(wavelengths=unaligned(2)), TypeError, "wavelength must be an aligned array", None),
    (lambda: compute(wavelengths=(w := W.copy()), derivatives=[Retyping(w)]), TypeError,
     "'ndarray' object is not an instance of 'ndarray[float64]'", "wavelengths"),
    (lambda: compute(), None, None, None),
    (lambda: compute([]), E, ROW + "a mixture needs a component", None),
    (lambda: compute([], mixture=True, derivatives=[7]), E, ROW + "a mixture needs a component", None),
    (lambda: compute([ITEM, ITEM]), E, ROW + "a single distribution needs exactly one component, got 2", None),
    (lambda: compute(derivatives=[0, 0]), E, ROW + "parameter median_radius requested twice", None),
    (lambda: compute(mixture=True, derivatives=[4, 4]), E, ROW + "parameter c0.weight requested twice", None),
    (lambda: compute(derivatives=[4]), E, ROW + "no parameter 4", None),
    (lambda: compute(derivatives=[5, 0, 0]), E, ROW + "no parameter 5", None),
    (lambda: compute(greek=2097153), E, ROW + "the Greek order must be at most 2097152, got 2097153", None),
    (lambda: compute(greek=2097153, all_orders=True, rtol=1.0), E, ROW + "rtol must be in [1e-13, 0.1], got 1", None),
    # 1000 wavelengths, 1000 cosines: 10 parameters pass the guard, 100 do not.
    (lambda: compute([(LOGNORMAL, ("sphere", np.full(1000, 1.5 + 0j)), 1.0)] * 20, np.ones(1000), True, range(10),
                     mu=np.zeros(1000), rtol=1.0), E, ROW + "rtol must be in [1e-13, 0.1], got 1", None),
    (lambda: compute([(LOGNORMAL, ("sphere", np.full(1000, 1.5 + 0j)), 1.0)] * 20, np.ones(1000), True, range(100),
                     mu=np.zeros(1000)), E, GUARD, None),
    # The guard and the shape checks run on the shapes: vast broadcast inputs are refused before any copy.
    (lambda: compute([(LOGNORMAL, ("sphere", bcast(1.5 + 0j, 2**40, np.complex128)), 1.0)], bcast(0.5, 2**40)), E,
     GUARD, None),
    (lambda: compute(mu=bcast(0.0, 2**40)), E, GUARD, None),
    (lambda: compute(max_panels=0), E, ROW + "max_panels must be at least 1", None),
    (lambda: compute([(("lognormal", 0.1, 0.5), SPHERE, 1.0)]), E,
     ROW + "component 0: invalid input: the lognormal width must be finite and > 1, got 0.5", None),
    (part(("layered", f([0.5]), bcast(1.5 + 0j, 2**40, np.complex128)[:, None])), E,
     ROW + "component 0: a layered sphere needs 1 to 1024 layers, got 1099511627776", None),
    (part(("layered", bcast(0.5, 2**40), c(np.ones((3, 2))))), E,
     ROW + "component 0: a layered sphere of 3 layers needs 2 radius fractions, got 1099511627776", None),
    (part(("sphere", bcast(1.5 + 0j, 2**40, np.complex128))), E,
     ROW + "component 0 has 1099511627776 refractive indices for 2 wavelengths", None),
    (lambda: compute([(("monodisperse", 0.1), NAN_SPHERE, 1.0)]), E, ROW + NAN_INDEX, None),
    # Every wavelength runs; the lowest failing one (2, not 5) is reported.
    (lambda: compute([(("monodisperse", 1.0), ("sphere", np.full(6, 1.5 + 0j)), 1.0)], f([1, 1, 1e-7, 1, 1, 1e-8])),
     E, ROW + "at wavelength 1e-7, radius 1e0: the size parameter x must be in [1e-30, 1e6], got 6.2831853071795866e7",
     None),
    # ensemble_compute_batch.
    (lambda: batch("specs"), TypeError, "Can't extract `str` to `Vec`", "specs"),
    (lambda: batch([LOGNORMAL, LOGNORMAL, list(LOGNORMAL)]), TypeError, "a distribution spec must be a tuple", None),
    (lambda: batch([], greek=2097153), E, ROW + "the Greek order must be at most 2097152, got 2097153", None),
    # 120 x 65793 rows of 17 values (Greek order 0) and their errors fit exactly; one wavelength more does not.
    (lambda: batch([LOGNORMAL] * 120, wavelengths=np.ones(65794), greek=0), E, GUARD, None),
    (lambda: batch([LOGNORMAL] * 120, wavelengths=np.ones(65793), greek=0), E,
     ROW + "2 refractive indices for 65793 wavelengths", None),
    (lambda: batch([]), E, ROW + "a batch needs a distribution", None),
    (lambda: batch(particle_spec=("layered", f([0.5, 0.6]), M[None, :]), rtol=1.0), E,
     ROW + "a layered sphere of 1 layers needs 0 radius fractions, got 2", None),
    (lambda: batch(particle_spec=("sphere", c([1.5] * 3)), rtol=1.0), E,
     ROW + "3 refractive indices for 2 wavelengths", None),
    (lambda: batch(particle_spec=("sphere", bcast(1.5 + 0j, 2**40, np.complex128))), E,
     ROW + "1099511627776 refractive indices for 2 wavelengths", None),
    (lambda: batch(wavelengths=bcast(0.5, 2**40)), E, GUARD, None),
    (lambda: batch([LOGNORMAL, ("lognormal", 0.1, 0.5)]), E,
     ROW + "distribution 1: invalid input: the lognormal width must be finite and > 1, got 0.5", None),
    (lambda: batch([LOGNORMAL, nested(2)]), E,
     ROW + "component 1: the modes of a multimodal distribution cannot be multimodal", None),
    (lambda: batch(rtol=1.0), E, ROW + "rtol must be in [1e-13, 0.1], got 1", None),
    # A NaN refractive index (equal to no value, itself included) is refused as ensemble_compute refuses it, in
    # either part, in a sphere or in any layer; the monodisperse distribution's group is evaluated first.
    (lambda: batch([LOGNORMAL, ("monodisperse", 0.1)], NAN_SPHERE), E, ROW + NAN_INDEX, None),
    (lambda: batch([("monodisperse", 0.1)], ("sphere", c([np.nan + 0.008j, 1.5]))), E,
     ROW + "at wavelength 4e-1, radius 1e-1: the refractive index must be finite, got NaN + 8e-3i", None),
    (lambda: batch([LOGNORMAL, ("monodisperse", 0.1)], ("layered", f([0.6]), c([[1.6, 1.5], [1.4, NAN_M]]))), E,
     ROW + "at wavelength 5.5e-1, radius 1e-1: the refractive index of layer 1 must be finite, got NaN + NaNi", None),
    (lambda: batch([("monodisperse", 0.1)], ("layered", f([]), c([[np.nan + 0.02j, 1.5]]))), E,
     ROW + "at wavelength 4e-1, radius 1e-1: the refractive index of layer 0 must be finite, got NaN + 2e-2i", None),
    # ensemble_parameters.
    (lambda: vt.ensemble_parameters([ITEM, ITEM], False), E,
     ROW + "a single distribution needs exactly one component, got 2", None),
    (lambda: vt.ensemble_parameters([ITEM], 1), TypeError, None, "mixture"),
    (lambda: vt.ensemble_parameters([(BAD, SPHERE, 1.0)], False), IndexError, "tuple index out of range", None),
]


@pytest.mark.parametrize("call, cls, message, note", REFUSALS)
def test_refusals(call, cls, message, note):
    if cls is None:
        call()  # the baseline of the cases around it passes
        return
    with raises_exactly(cls, message, note):
        call()


def test_parameter_names():
    # The core tests pin every kind's names; the refusals above, the naming each flag picks.
    assert vt.ensemble_parameters([ITEM, (("gamma", 0.5, 0.1), LAYERED, 2.0)], True)[3:] == [
        "c0.m_imag", "c0.weight", "c1.effective_radius", "c1.effective_variance", "c1.layer0.m_real",
        "c1.layer0.m_imag", "c1.layer1.m_real", "c1.layer1.m_imag", "c1.layer0.radius_fraction", "c1.weight"]
    modes = ("multimodal", [(1.0, ("monodisperse", 0.2)), (2.0, ("lognormal", 0.1, 0.5))])  # refused only later
    assert vt.ensemble_parameters([(modes, SPHERE, 1.0)], False) == [
        "mode0.radius", "mode0.weight", "mode1.median_radius", "mode1.width", "mode1.weight", "m_real", "m_imag"]
    assert vt.ensemble_parameters([], False) == vt.ensemble_parameters([], True) == []


def test_specs_accepted():
    # Radius fractions (2, 1) and indices (3, wavelengths) read in index order whatever the strides, core first.
    m = c([[1.65, 1.6], [1.55, 1.5], [1.45, 1.4]])
    layered = ("layered", f([[0.6], [0.8]]), np.asfortranarray(m[:, ::-1])[:, ::-1])
    odd = [("lognormal", 0.1, np.float64(2.0), "extra"), ("monodisperse", True),
           ("tabulated", f([0.1, 0.2, 0.3]), (1, 2.0, 1.0)), ("power_law", 3, 0.05, 0.5)]
    r = batch(odd, layered, greek=2, mu=f([[1.0, 0.0]]))
    assert r["values"].shape == (11, 8) and r["greek"].shape == (6, 8, 3) and r["phase"].shape == (4, 8, 2)
    x = 2 * np.pi / W  # radius True reads as 1.0
    q, _ = vt.layered_efficiencies(np.outer(x, [0.6, 0.8, 1.0]), m.T.copy(), None, False, False)
    assert r["values"][8, 2] == 1.0 and np.allclose(r["values"][0, 2:4], np.pi * q[0], rtol=1e-13, atol=0)
    with raises_exactly(E, ROW + "component 0: a layered sphere of 3 layers needs 2 radius fractions, got 1"):
        compute([(LOGNORMAL, ("layered", f([0.6]), c(np.ones((3, 2)))), 1.0)], derivatives=[5])


def test_tabulated_sequences_read_alike():
    # A plain float64 vector is read in place, any other sequence by iteration (an unaligned or a write-borrowed
    # array among them): the same values, the same outputs to the bit.
    radii, densities = [0.1, 0.15, 0.2, 0.3, 0.5], [0.5, 1.0, 2.0, 1.0, 0.25]
    held = f(radii)
    unaligned_radii = unaligned(5)
    unaligned_radii[:] = radii
    forms = [f(radii), f(radii[::-1])[::-1], np.repeat(f(radii), 2)[::2], unaligned_radii, tuple(radii)]
    want = compute([(("tabulated", radii, densities), SPHERE, 1.0)])["values"]
    for form in forms:
        got = compute([(("tabulated", form, f(densities)), SPHERE, 1.0)])["values"]
        assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
    got = with_write_borrow(held, lambda: compute([(("tabulated", held, densities), SPHERE, 1.0)])["values"])
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))


def test_keys_shapes_and_rows():
    mu = f([1.0, 0.0, -1.0])
    full = compute(derivatives=[3, 0], all_orders=True, mu=mu)
    keys = ["values", "errors", "d", "d_errors"]
    for base in ("greek", "phase"):
        keys += [base, base + "_errors", base + "_d", base + "_d_errors"]
    assert list(full) == keys + ["converged", "panels"]
    G = full["greek"].shape[2]
    assert [full[k].shape for k in keys[:4]] == [(11, 2), (11, 2), (2, 11, 2), (2, 11, 2)]
    assert full["greek_d"].shape == (2, 6, 2, G) and full["phase_d_errors"].shape == (2, 4, 2, 3)
    assert full["converged"].dtype == bool and full["panels"].dtype == np.uint64 and full["converged"].all()
    assert full["greek"][0, :, 0].tolist() == [1.0, 1.0] and (full["greek"][:, 1, -5:] == 0).all()  # padded
    swapped = compute(derivatives=[0, 3], all_orders=True, mu=mu)
    for key in ("d", "d_errors", "greek_d", "phase_d"):  # m_imag, then median_radius (Greek rows to rounding)
        assert np.allclose(full[key], swapped[key][::-1], rtol=0, atol=1e-14 * np.abs(full[key]).max())
    # No parameters, no wavelengths: zero-length axes; Greek of all orders get G = 1.
    empty = compute([(LOGNORMAL, ("sphere", c([])), 1.0)], NONE, all_orders=True)
    assert list(empty) == keys[:8] + ["converged", "panels"]
    assert empty["d"].shape == (0, 11, 0) and empty["greek"].shape == (6, 0, 1) and empty["panels"].shape == (0,)
    plain = compute(wavelengths=f([[0.4, 0.55], [0.7, 0.9]]), items=[(LOGNORMAL, ("sphere", np.full(4, M[0])), 1.0)])
    assert list(plain) == keys[:4] + ["converged", "panels"]
    assert np.array_equal(plain["values"][:, [0, 1]], compute(items=[(LOGNORMAL, ("sphere", M[:1].repeat(2)), 1.0)])
                          ["values"])


def test_monodisperse_equals_the_sphere_functions():
    r, lam, mu = 0.3, f([0.55, 1.1]), f([-1.0, -0.3, 0.7, 1.0])
    x = r * 6.283185307179586 / lam
    got = compute([(("monodisperse", r), SPHERE, 1.0)], lam, derivatives=[0, 1, 2], all_orders=True, mu=mu)
    q, jac = vt.mie_efficiencies(x, M, None, True, False)
    area, k = np.pi * r * r, 2 * np.pi / lam
    cross = area * q[:4]
    assert np.allclose(got["values"][:4], cross, rtol=1e-13, atol=0)
    assert np.allclose(got["values"][4:], [q[1] / q[0], q[4], 4 * np.pi * q[0] / q[3], 0 * k, r + 0 * k,
                                           area + 0 * k, 4 * np.pi / 3 * r**3 + 0 * k], rtol=1e-13, atol=0)
    d_cross = [2 * cross / r + area * k * jac[0, :4], area * jac[1, :4], area * jac[2, :4]]
    assert np.allclose(got["d"][:, :4], d_cross, rtol=1e-11, atol=0)
    assert np.allclose(got["d"][:, 5], [k * jac[0, 4], jac[1, 4], jac[2, 4]], rtol=1e-11, atol=0)
    assert not got["errors"].any() and not got["d_errors"].any() and not got["panels"].any()
    phase, _ = vt.mie_phase_matrix(x, M, mu, None, False, False, True)
    _, greek, _ = vt.mie_greek(x, M, None, None, False, False, True)
    assert got["greek"].shape == greek.shape
    for key, want in (("phase", phase), ("greek", greek)):  # on the scale of the largest value
        assert np.allclose(got[key], want, rtol=0, atol=1e-13 * np.abs(want).max())


def test_batch_rows_are_separate_calls():
    specs = [LOGNORMAL, ("gamma", 0.3, 0.1), ("monodisperse", 0.2)]
    wavelengths = f([0.4, 0.55, 0.7])
    sphere = ("sphere", np.full(3, M[0]))
    rows = batch(specs, sphere, wavelengths, greek=4, mu=f([0.5]), rtol=1e-6)
    assert rows["values"].shape == (11, 9) and rows["d"].shape == (0, 11, 9) and rows["greek_d"].shape == (0, 6, 9, 5)
    for k, spec in enumerate(specs):
        one = compute([(spec, sphere, 1.0)], wavelengths, greek=4, mu=f([0.5]), rtol=1e-6)
        for key in ("values", "greek", "phase"):
            assert np.allclose(rows[key][:, 3 * k: 3 * k + 3], one[key], rtol=1e-5, atol=1e-12), (spec, key)


def test_arrays_are_copied_before_the_lock_is_released():
    wavelengths, m, mu = np.linspace(0.4, 1.0, 4), np.full(4, M[0]), f([1.0, 0.0])
    items = [(LOGNORMAL, ("sphere", m), 1.0)]
    done = threading.Event()
    worker = threading.Thread(target=lambda: (compute(items, wavelengths, all_orders=True, mu=mu, rtol=1e-8),
                                              done.set()))
    worker.start()
    writes = 0
    while not done.is_set() and writes < 50:  # a read borrow would refuse these with BufferError
        writes += with_write_borrow(wavelengths, lambda: 1) + with_write_borrow(m.view(np.float64), lambda: 1)
        done.wait(0.005)
    worker.join()
    assert writes > 0 and released(wavelengths, m, mu)
    assert_refcounts_kept((W, M, ITEM), lambda: (compute(), pytest.raises(E, compute, wavelengths=W[:1])), times=20)
