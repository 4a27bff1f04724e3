"""The rules every array function of the module shares, and the refusal table of
each: argument conversion, shape, range and element checks in their order with
their exact messages; read borrows refused and released on every path; size
guards before allocation; reference counts; equal results in threads; the
interpreter lock released while computing; elements changed during a call."""

import inspect
import math

import numpy as np
import pytest
from conftest import (SANITIZED, assert_refcounts_kept, bcast, c, f, in_threads, longest_stall, race,
                      raises_exactly, released, run_py, unaligned, with_write_borrow)
from portable_math import exp10

import vantok._vantok as vt
from vantok import errors

MU = f([0.5, -0.5, 1.0])
# Every sphere and layered function as fun(x, m, n_max, derivatives, allow_unvalidated),
# with fixed cosines, the default order and normalised outputs.
CALLS = {
    "mie_efficiencies": vt.mie_efficiencies,
    "mie_coefficients": vt.mie_coefficients,
    "mie_amplitudes": lambda x, m, *r: vt.mie_amplitudes(x, m, MU, *r),
    "mie_phase_matrix": lambda x, m, *r: vt.mie_phase_matrix(x, m, MU, *r, True),
    "mie_greek": lambda x, m, *r: vt.mie_greek(x, m, None, *r, True),
    "layered_efficiencies": vt.layered_efficiencies,
    "layered_coefficients": vt.layered_coefficients,
    "layered_amplitudes": lambda x, m, *r: vt.layered_amplitudes(x, m, MU, *r),
    "layered_phase_matrix": lambda x, m, *r: vt.layered_phase_matrix(x, m, MU, *r, True),
    "layered_greek": lambda x, m, *r: vt.layered_greek(x, m, None, *r, True),
}
NAMES = list(CALLS)


def inputs(name):
    """Good (x, m) for the function: two spheres, or two particles of two layers."""
    if name.startswith("mie"):
        return f([1.0, 2.0]), c([1.5, 1.4 + 0.01j])
    return f([[1.0, 2.0], [1.5, 3.0]]), c([[1.5, 1.4], [1.5, 1.4 + 0.01j]])


E = errors.InvalidInputError
D = errors.OutsideValidatedDomainError
SPHERE_DOMAIN = ("x in [1e-6, 2e4], 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1")
LAYERED_DOMAIN = ("x_L in [1e-6, 1e4], every layer 0 < Re m <= 10, 0 <= Im m <= 10, |m| >= 0.1 and |m| x_L <= 3e4, "
                  "at most 16 layers")


def frame_refusals(name):
    """(x, m, n_max, derivatives, cls, message) refused by every sphere or layered
    function, in the order of the checks: shape and layout, n_max, each element."""
    bad = "invalid input: element {}: "
    rows = [(*inputs(name), n, False, E, f"invalid input: the number of terms must be in [1, 1048576], got {n}")
            for n in (0, 1048577)]
    if name.startswith("mie"):
        return rows + [
            (f([1.0, 2.0, 3.0]), c([[1.5] * 3]), 0, False, ValueError,
             "x and m must have one shape (broadcast them first), got [3] and [1, 3]"),
            (np.asfortranarray(f([[1.0, 2.0], [0.0, 3.0]])), c(np.ones((2, 2))), None, False, E,
             bad.format(2) + "the size parameter x must be in [1e-30, 1e6], got 0e0"),
            (f([1.0, 2.0]), c([1.5, 11.0 + 0.01j]), None, False, D, "outside validated domain: element 1: x = 2e0, "
             f"m = 1.1e1 + 1e-2i is outside the validated domain {SPHERE_DOMAIN}"),
            (f([1.0]), c([1.5]), 9, False, D,
             "outside validated domain: element 0: n_max = 9 is below the default truncation 10 for x = 1e0"),
            (unaligned(2), c([1.5, 1.5]), None, False, TypeError, "x must be an aligned array"),
            (f([1.0, 1.0]), unaligned(2, np.complex128), None, False, TypeError, "m must be an aligned array"),
        ]
    x, m = np.ones((3, 2)), np.full((2, 3), 1.5 + 0j)
    rank = "x and m must be two-dimensional: ShapeError/IncompatibleShape: incompatible shapes"
    layout = "x and m must be C-contiguous"
    return rows + [
        (f([1.0, 2.0]), c([1.5, 1.5]), 0, False, ValueError, rank),
        (np.ones((1, 1, 2)), np.ones((1, 1, 2), complex), 0, False, ValueError, rank),
        (np.ones((1, 2)), np.ones(2, complex), 0, False, ValueError, rank),
        (x.T, x.astype(complex), 0, False, ValueError,
         "x and m must have one shape (broadcast them first), got [2, 3] and [3, 2]"),
        (x.T, m, 0, False, ValueError, layout),
        (np.ones((2, 3)), m[:, ::-1], 0, False, ValueError, layout),
        (np.ones((4, 3))[::2], m, 0, False, ValueError, layout),
        (np.broadcast_to(f([1.0, 2.0, 3.0]), (2, 3)), m, 0, False, ValueError, layout),
        # An aligned complex array whose particle stride (24 bytes) divided by
        # 16 would give L = 1: the rule compares bytes.
        (np.ones((2, 1)), np.ndarray((2, 1), np.complex128, np.zeros(10), 8, (24, 16)), 0, False, ValueError, layout),
        (np.zeros((2, 0)), np.zeros((2, 0), complex), None, True, E, bad.format(0) +
         "a layered sphere needs one size parameter and one refractive index per layer, got 0 and 0"),
        (f([[1.0, 2.0], [1.0, 2.0]]), c([[1.5, 1.5], [1.5, 11.0]]), None, False, D, "outside validated domain: "
         "element 1: a layered sphere of 2 layers with x_L = 2e0 and m = [Complex { re: 1.5, im: 0.0 }, Complex { "
         f"re: 11.0, im: 0.0 }}] is outside the validated domain {LAYERED_DOMAIN}"),
        (f([[500.0, 1000.5]]), c([[1.5, 1.33]]), None, True, D,
         "outside validated domain: element 0: the derivatives are validated up to x_L = 1e3, got 1.0005e3"),
        (unaligned(2).reshape(1, 2), np.ones((1, 2), complex), None, False, TypeError, "x must be an aligned array"),
        (np.ones((1, 2)), unaligned(2, np.complex128).reshape(1, 2), None, False, TypeError, "m must be an aligned array"),
    ]


@pytest.mark.parametrize("name", NAMES)
def test_frame_refusals_and_what_passes(name):
    fun = CALLS[name]
    for x, m, n_max, derivatives, cls, message in frame_refusals(name):
        with raises_exactly(cls, message):
            fun(x, m, n_max, derivatives, False)
        if cls is D:  # allowed when asked for
            fun(x, m, n_max, derivatives, True)
    x, m = inputs(name)
    empty = (x[:0], m[:0])
    fun(*empty, 1048576, True, False)  # n_max at its limit with nothing to solve
    fun(x, m, np.int64(40), np.bool_(True), np.False_)  # integer-likes and NumPy bools
    if name.startswith("layered"):
        x, m = f([[500.0, 1000.5]]), c([[1.5, 1.33]])
        fun(x, m, None, False, False)  # the derivative limit binds only with derivatives
        fun(x[:, 1:], m[:, 1:], None, True, False)  # one layer: the sphere's limits


def bad_values(param):
    """(value, exception class) that fail the conversion of a parameter."""
    return {
        "x": [(np.ones(1, np.float32), TypeError), ([1.0], TypeError), (np.ones(1, ">f8"), TypeError)],
        "m": [(np.ones(1, np.complex64), TypeError), (np.ones(1, ">c16"), TypeError), (f([1.0]), TypeError)],
        "mu": [([0.5], TypeError)],
        "n_max": [(-1, OverflowError), (2**64, OverflowError), (5.0, TypeError)],
        "order": [(-1, OverflowError)],
        "derivatives": [(1, TypeError)],
        "allow_unvalidated": [(None, TypeError)],
        "normalized": [("yes", TypeError)],
    }[param]


@pytest.mark.parametrize("name", NAMES)
def test_conversion_errors_name_the_first_bad_argument(name):
    fun = getattr(vt, name)
    params = list(inspect.signature(fun).parameters)
    x, m = inputs(name)
    good = {"x": x, "m": m, "mu": MU, "order": None, "n_max": None, "derivatives": False,
            "allow_unvalidated": False, "normalized": True}
    for k, param in enumerate(params):
        for value, cls in bad_values(param):
            args = [good[p] for p in params]
            args[k] = value
            if param in ("x", "m") and name.startswith("layered"):
                args[k] = value if isinstance(value, list) else value.reshape(1, 1)
            with raises_exactly(cls, note=param):
                fun(*args)
    # Conversion comes first: a bad x and a bad n_max report x.
    with raises_exactly(TypeError, note="x"):
        fun(*[[1.0] if p == "x" else -1 if p == "n_max" else good[p] for p in params])
    assert fun(**{p: good[p] for p in params})[0] is not None  # every argument by keyword


@pytest.mark.parametrize("name", NAMES)
def test_borrows_and_references_are_released_on_every_path(name):
    fun = CALLS[name]
    x, m = inputs(name)
    flat = m.view(np.float64).reshape(-1)
    for view, param in ((x.reshape(-1)[1:2], "x"), (flat, "m"), (flat[3:], "m")):
        with raises_exactly(BufferError, f"{param} cannot be read: The given array is already borrowed"):
            with_write_borrow(view, lambda: fun(x, m, None, True, False))
    both = np.concatenate([x.reshape(-1), [9.0, 9.0]])  # other memory of the same base is free to read
    with_write_borrow(both[x.size:], lambda: fun(both[: x.size].reshape(x.shape), m, None, False, False))
    bad = np.where(m == m.flat[-1], 0, m)

    def calls():  # a solve, and failures of the shape, of n_max, of an element with the lock released
        fun(x, m, None, True, False)
        for x_bad, m_bad, n_max in ((x, m[..., :1], None), (x, m, 0), (x, bad, None)):
            with pytest.raises((ValueError, errors.InvalidInputError)):
                fun(x_bad, m_bad, n_max, True, False)

    assert_refcounts_kept((x, m, bad, MU), calls)
    assert released(x, m, bad)
    if "amplitudes" in name or "phase" in name:
        mu, call = f([0.5, -0.5, 0.0]), getattr(vt, name)
        extra = (True,) if "phase" in name else ()
        with raises_exactly(BufferError, "mu cannot be read: The given array is already borrowed"):
            with_write_borrow(mu[1:], lambda: call(x, m, mu, None, False, False, *extra))
        assert call(x, m, x.reshape(-1)[:1], None, False, False, *extra)[0].shape[-1] == 1  # x read twice
        with pytest.raises(errors.InvalidInputError):
            call(x, m, 3 * mu, None, False, False, *extra)
        assert released(x, m, mu)


@pytest.mark.parametrize("name", NAMES)
def test_threads_get_equal_results(name):
    fun = CALLS[name]
    rng = np.random.default_rng(7)
    x, m = exp10(rng.uniform(-1, 2, 12)), rng.uniform(1.33, 1.6, 12) + 1j * rng.uniform(0, 0.1, 12)
    if name.startswith("layered"):
        x, m = np.stack([0.5 * x, x], axis=1), np.stack([m, np.full(12, 1.33 + 0j)], axis=1)
    expected = fun(x, m, None, True, False)
    for result in in_threads(lambda: fun(x, m, None, True, False), 6):
        assert all(np.array_equal(r, e) for r, e in zip(result, expected))


def long_call(name, scale):
    """A call of 0.02 to 0.13 s on a current processor, times scale."""
    if name == "gauss_legendre":
        return lambda: vt.gauss_legendre(131072 * scale)
    if name == "wigner_d":
        return lambda: vt.wigner_d(2, 0, 4000, np.linspace(-1, 1, 2000 * scale))
    greek = "greek" in name
    n = (60 if greek else 800 if name.startswith("mie") else 300) * scale
    x = np.full(n, 300.0 if greek else 3000.0)
    m = np.full(n, 1.5 + 0.01j)
    if name.startswith("layered"):
        x, m = np.stack([0.5 * x, x], axis=1), np.stack([m, np.full(n, 1.33 + 0j)], axis=1)
    return lambda: CALLS[name](x, m, None, False, False)


@pytest.mark.parametrize("name", NAMES + ["gauss_legendre", "wigner_d"])
def test_the_interpreter_lock_is_released_while_computing(name):
    # A counting thread is never stalled for a good part of the call, as it
    # would be by a call that holds the lock every time (a loaded machine may
    # deschedule it once: three tries). The call is made longer until it lasts
    # long enough to tell, however fast the processor.
    scale, tries = 1, 0
    while tries < 3:
        duration, stall = longest_stall(long_call(name, scale))
        if duration <= 0.03 and scale < 64:
            scale *= 4
            continue
        if stall < duration / 3:
            break
        tries += 1
    assert duration > 0.03 and stall < duration / 3, (duration, stall)


def test_a_call_that_holds_the_lock_stalls_other_threads():
    # mie_default_n_max keeps the lock (each element costs a cube root): the
    # measurement above does see a held lock.
    x = bcast(2.0, 10**7)
    duration, stall = longest_stall(lambda: vt.mie_default_n_max(x))
    assert stall > duration / 2, (duration, stall)


# Elements changed by a writer that bypasses the borrows: refused, never written
# past the row of the first pass (coefficients, Greek) or the angular table.
RACES = [
    (CALLS["mie_coefficients"], (1,), "element 1: x or m changed during the call"),
    (CALLS["mie_greek"], (1,), "element 1: x or m changed during the call"),
    (CALLS["layered_coefficients"], (1, 1), "element 1: x or m changed during the call"),
    (CALLS["mie_amplitudes"], (1,), "the solution has {} terms, more than the {} orders of the angular table"),
    (CALLS["mie_phase_matrix"], (1,), "element 1: the solution has {} terms, more than the {} orders of the angular table"),
]


@pytest.mark.parametrize("fun, index, message", RACES)
def test_an_element_grown_during_the_call_is_refused(fun, index, message):
    x = f([500.0, 1.0]) if len(index) == 1 else f([[250.0, 500.0], [0.5, 1.0]])
    m = c(np.full(x.shape, 1.5))
    orders, terms = vt.mie_default_n_max(f([500.0, 800.0]))
    seen = race(lambda: fun(x, m, None, False, False), x, index, 1.0, 800.0)
    assert seen == {"InvalidInputError: invalid input: " + message.format(terms, orders)}


# Function-specific refusals in the order of the checks (what comes first is
# reported), each as (call, class, message).
G = 2097152
REFUSALS = [
    (lambda: vt.mie_default_n_max(f([1.0, 2.0, math.nan])), E,
     "invalid input: element 2: the size parameter x must be in [1e-30, 1e6], got NaN"),
    (lambda: vt.mie_default_n_max(f([[1.0, 1.0], [-1.0, 1.0]]).T), E,
     "invalid input: element 1: the size parameter x must be in [1e-30, 1e6], got -1e0"),
    (lambda: vt.mie_default_n_max(bcast(1.0, 2**50)), MemoryError, "cannot allocate 1125899906842624 values for "
     "the numbers of terms: memory allocation failed because the memory allocator returned an error"),
    (lambda: vt.mie_amplitudes(f([1.0]), c([1.5]), f([0.5, 1.0000001]), None, False, False), E,
     "invalid input: element 1 of mu: a cosine of the scattering angle must be in [-1, 1], got 1.0000001"),
    (lambda: vt.mie_phase_matrix(f([0.0]), c([1.5]), f([0.0, 0.0, -np.inf]), None, False, False, True), E,
     "invalid input: element 2 of mu: a cosine of the scattering angle must be in [-1, 1], got -inf"),
    (lambda: vt.layered_phase_matrix(f([[0.0, 1.0]]), c([[1.5, 1.5]]), f([0.5, math.nan]), None, False, False, True),
     E, "invalid input: element 1 of mu: a cosine of the scattering angle must be in [-1, 1], got NaN"),
    (lambda: vt.mie_amplitudes(f([1.0]), c([1.5, 1.5]), f([2.0]), None, False, False), ValueError,
     "x and m must have one shape (broadcast them first), got [1] and [2]"),
    (lambda: vt.mie_phase_matrix(f([1.0]), c([1.5]), f([2.0]), 0, False, False, True), E,
     "invalid input: the number of terms must be in [1, 1048576], got 0"),
    # The cosines are checked in place and counted by the size guard before they are copied.
    (lambda: vt.mie_amplitudes(f([1.0]), c([1.5]), bcast(0.5, 2**50), None, False, False), E,
     "invalid input: the amplitudes would hold 2251799813685248 complex values, more than MAX_MIE_VALUES = 134217728"),
    (lambda: vt.mie_phase_matrix(f([1.0]), c([1.5]), np.broadcast_to(f([0.5, 1.5]), (2**40, 2)), None, False, False,
                                 True), E,
     "invalid input: element 1 of mu: a cosine of the scattering angle must be in [-1, 1], got 1.5"),
    (lambda: vt.layered_amplitudes(f([[1.0]]), c([[1.5]]), np.broadcast_to(f([[0.5], [-2.0]]), (2, 2**40)), None,
                                   False, False), E,
     f"invalid input: element {2**40} of mu: a cosine of the scattering angle must be in [-1, 1], got -2"),
    (lambda: vt.mie_amplitudes(f([[1.0, 2.0], [3.0, 0.0]]), c(np.ones((2, 2))), f([]), None, False, False), E,
     "invalid input: element 3: the size parameter x must be in [1e-30, 1e6], got 0e0"),
    (lambda: vt.mie_greek(f([0.0]), c([1.5]), G + 1, None, False, False, True), E,
     f"invalid input: the Greek order must be at most {G}, got {G + 1}"),
    (lambda: vt.mie_greek(f([1.0]), c([1.5]), 2**40, 1048577, False, False, True), E,
     "invalid input: the number of terms must be in [1, 1048576], got 1048577"),
    (lambda: vt.mie_greek(f([1.0, 1.0]), c([1.5, 1.5]), 0, 131072, False, False, True), E,
     "invalid input: element 0: the Greek coefficients of a sphere with 131072 terms up to order 0 need 131073 "
     "quadrature nodes, more than 131072"),
    (lambda: vt.layered_greek(f([[1.0, 2.0], [1.5, 3.0]]).T.copy().T, c([[1.5, 1.5]] * 2), G + 1, None, True, False, True), ValueError,
     "x and m must be C-contiguous"),
    (lambda: vt.layered_greek(f([[1.0, 2.0]]), c([[1.5, 1.5]]), G + 1, None, True, False, True), E,
     f"invalid input: the Greek order must be at most {G}, got {G + 1}"),
    # The first pass checks every particle before any is solved; the
    # efficiencies solve in order and stop at particle 0.
    (lambda: vt.layered_coefficients(f([[500.0, 1000.5], [1.0, 2.0], [1.0, 0.5]]), c([[1.5, 1.33]] * 3), None, True,
                                     False), E, "invalid input: element 2: the size parameters must be nondecreasing "
     "from the core out, but layer 1 has 5e-1 < 1e0"),
    (lambda: vt.layered_efficiencies(f([[500.0, 1000.5], [1.0, 0.5]]), c([[1.5, 1.33]] * 2), None, True, False), D,
     "outside validated domain: element 0: the derivatives are validated up to x_L = 1e3, got 1.0005e3"),
    (lambda: vt.layered_amplitudes(f([[500.0, 1000.5], [1.0, 2.0]]), c([[1.5, 1.33], [1.5, 0.0]]), f([]), None, True,
                                   False), E, "invalid input: element 1: |m| of layer 1 must be in [1e-6, 1e3], got 0e0"),
    (lambda: vt.gauss_legendre(131073), E, "invalid input: Gauss-Legendre rule needs n <= 131072, got 131073"),
    (lambda: vt.wigner_d(0, 0, 2, f([0.5, 0.1, 1 + 2**-52, 7.0])), E,
     "invalid input: wigner_d needs -1 <= x <= 1, got 1.0000000000000002"),
    (lambda: vt.wigner_d(0, 0, 2, np.zeros(6)[::2]), TypeError, "The given array is not contiguous or is misaligned."),
    (lambda: vt.wigner_d(0, 0, 2, np.zeros(3)[::-1]), TypeError, "The given array is not contiguous or is misaligned."),
    (lambda: vt.wigner_d(0, 0, 2**40, unaligned(3)), TypeError, "The given array is not contiguous or is misaligned."),
] + [
    (lambda size=size, l_max=l_max: vt.wigner_d(0, 0, l_max, np.zeros(size)), E,
     f"invalid input: wigner_d needs max(x.size, 1) * (l_max + 1) <= 268435456, got x.size = {size}, l_max = {l_max}")
    for size, l_max in [(0, 268435456), (2, 134217728), (1, 2**64 - 1), (2**14 + 1, 2**14 - 1)]
]
CONVERSIONS = [
    (lambda: vt.gauss_legendre(-1), OverflowError, "n"),
    (lambda: vt.gauss_legendre(2.0), TypeError, "n"),
    (lambda: vt.wigner_d(2**31, 0, 1, np.zeros(2)), OverflowError, "m"),
    (lambda: vt.wigner_d(0, -(2**31) - 1, 1, np.zeros(2)), OverflowError, "n"),
    (lambda: vt.wigner_d(0, 0, 2**64, np.zeros(2)), OverflowError, "l_max"),
    (lambda: vt.wigner_d(0, 0, 1, np.zeros((2, 2))), TypeError, "x"),
    (lambda: vt.wigner_d(0, 0, 1, np.zeros(2, ">f8")), TypeError, "x"),
    (lambda: vt.mie_default_n_max([1.0]), TypeError, "x"),
]


@pytest.mark.parametrize("call, cls, message", REFUSALS)
def test_refusals(call, cls, message):
    with raises_exactly(cls, message):
        call()


@pytest.mark.parametrize("name", ["mie_amplitudes", "mie_phase_matrix", "layered_amplitudes", "layered_phase_matrix"])
def test_cosines_are_copied_only_for_elements_within_the_guard(name):
    # A mu the guard refuses is not copied first: under an address-space cap with
    # no room for a copy the refusal is the guard's, not a MemoryError; with no
    # elements the cosines only give the outputs their last axis.
    x, m = (f([1.0]), c([1.5])) if name.startswith("mie") else (f([[1.0]]), c([[1.5]]))
    rest = "None, True, False" + (", True" if name.endswith("matrix") else "")
    out = run_py(f"""
        import re, resource, numpy as np, vantok._vantok as vt
        mu = np.full(2**25, 0.5)
        size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 2**27, size + 2**27))
        try:
            vt.{name}(np.array({x.tolist()}), np.array({m.tolist()}), mu, {rest})
        except Exception as e:
            print(type(e).__name__, e)
        """)
    what = "amplitudes" if name.endswith("amplitudes") else "phase matrix"
    assert out.startswith(f"InvalidInputError invalid input: the {what} would hold "), out
    empty = np.zeros((0,) + x.shape[1:])
    values, derivatives = getattr(vt, name)(empty, empty.astype(complex), bcast(0.5, 2**40), None, True, False,
                                            *([True] if name.endswith("matrix") else []))
    assert values.shape[-2:] == derivatives.shape[-2:] == (0, 2**40)


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves address space and holds freed memory")
@pytest.mark.parametrize("name", ["mie_amplitudes", "layered_phase_matrix"])
def test_an_angular_table_without_room_is_done_without(name):
    # Two elements of 2078 terms at 1000 cosines share a table of 2 * 16.6 MB; with
    # 16 MiB of address space left the table cannot be had, the outputs can: the call
    # runs the recurrence and gives the bits of each element's own call (no table).
    x, m = ("np.array([2000.0, 1999.0])", "np.array([1.5 + 0.01j, 1.33 + 0j])") if name.startswith("mie") else \
        ("np.array([[1000.0, 2000.0], [3.0, 1999.0]])", "np.array([[1.5 + 0.01j, 1.2 + 0j], [1.33 + 0j, 1.5 + 0j]])")
    rest = "None, False, True" + (", True" if name.endswith("matrix") else "")
    out = run_py(f"""
        import re, resource, numpy as np, vantok._vantok as vt
        x, m, mu = {x}, {m}, np.linspace(-1.0, 1.0, 1000)
        alone = [vt.{name}(x[i:i + 1], m[i:i + 1], mu, {rest})[0] for i in range(2)]
        size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 2**24, size + 2**24))
        try:
            both = vt.{name}(x, m, mu, {rest})[0]
            print(all(both[:, i:i + 1].tobytes() == alone[i].tobytes() for i in range(2)))
        except Exception as e:
            print(type(e).__name__, e)
        """)
    assert out == "True\n"


@pytest.mark.parametrize("name", ["mie_greek", "layered_greek"])
def test_a_large_greek_order_costs_its_outputs_alone(name):
    # Order 2^21 for two small spheres: 192 MB of outputs, almost all of them the zeros
    # above 2N. With 64 MiB of address space to spare beyond them the call succeeds (no
    # padded copy of an element's coefficients), and its orders up to 2N are the bits of
    # the default order 2N.
    x, m = ("np.array([1.0, 2.0])", "np.array([1.5 + 0j, 1.33 + 0.1j])") if name == "mie_greek" else \
        ("np.array([[0.5, 1.0], [1.0, 2.0]])", "np.array([[1.5 + 0j, 1.2 + 0j], [1.33 + 0.1j, 1.5 + 0j]])")
    out = run_py(f"""
        import re, resource, numpy as np, vantok._vantok as vt
        x, m = {x}, {m}
        n, low, _ = vt.{name}(x, m, None, None, False, False, True)
        size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
        room = size + 6 * 2 * (2**21 + 1) * 8 + 2**26
        resource.setrlimit(resource.RLIMIT_AS, (room, room))
        try:
            _, high, _ = vt.{name}(x, m, 2**21, None, False, False, True)
            L = low.shape[-1]
            print(high.shape, high[:, :, :L].tobytes() == low.tobytes(), not high[:, :, L:].any(), L == 2 * n.max() + 1)
        except Exception as e:
            print(type(e).__name__, e)
        """)
    assert out == "(6, 2, 2097153) True True True\n"


@pytest.mark.parametrize("call, cls, param", CONVERSIONS)
def test_conversions(call, cls, param):
    with raises_exactly(cls, note=param):
        call()


def test_wigner_d_borrow_comes_after_conversion_and_before_layout():
    x = np.linspace(-1, 1, 6)
    for view in (x, x[::2], x[1:3]):
        with raises_exactly(BufferError, "x cannot be read: The given array is already borrowed"):
            with_write_borrow(x, lambda: vt.wigner_d(0, 0, 2, view))
    with raises_exactly(OverflowError, "number too large to fit in target type", note="m"):
        with_write_borrow(x, lambda: vt.wigner_d(2**31, 0, 2, x))
    y = np.zeros(8)
    assert with_write_borrow(y[:4], lambda: vt.wigner_d(0, 0, 1, y[4:])).shape == (4, 2)
    assert released(x, y)


# Output sizes are bounded before anything is allocated (x = 0 elements pass
# the guard at its limit and are refused by their check afterwards).
def guard(what, count, kind, limit, derivatives):
    name = "MAX_MIE_VALUES" if kind == "complex values" else "2 * MAX_MIE_VALUES"
    note = " (counting derivatives)" if derivatives else ""
    return f"invalid input: {what} would hold {count} {kind}{note}, more than {name} = {limit}"


REAL, CPLX = ("real values", 268435456), ("complex values", 134217728)
ZERO_X = "invalid input: element 0: the size parameter x must be in [1e-30, 1e6], got 0e0"
# (function, elements at the limit, derivatives, what, values per element, kind)
SPHERE_GUARDS = [
    (CALLS["mie_efficiencies"], 53687091, False, "the efficiencies", 5, REAL),
    (CALLS["mie_efficiencies"], 13421772, True, "the efficiencies", 20, REAL),
    (CALLS["mie_coefficients"], 2**26, False, "the coefficients", 2, CPLX),
    (lambda x, m, *r: vt.mie_phase_matrix(x, m, f([]), *r, True), 2**24, True, "the phase matrix", 16, REAL),
    (lambda x, m, *r: vt.mie_phase_matrix(x, m, f([]), *r, True), 2**26, False, "the phase matrix", 4, REAL),
    (lambda x, m, *r: vt.mie_amplitudes(x, m, f([]), *r), 22369621, True, "the amplitudes", 6, CPLX),
    (lambda x, m, *r: vt.mie_amplitudes(x, m, f([]), *r), 2**26, False, "the amplitudes", 2, CPLX),
    (CALLS["mie_greek"], 2**28 // 24, True, "the Greek coefficients", 24, REAL),
    (CALLS["mie_greek"], 2**28 // 6, False, "the Greek coefficients", 6, REAL),
]


@pytest.mark.parametrize("fun, n, derivatives, what, per, kind", SPHERE_GUARDS)
def test_size_guards(fun, n, derivatives, what, per, kind):
    with raises_exactly(E, ZERO_X):
        fun(bcast(0.0, n), bcast(1.5, n, np.complex128), None, derivatives, False)
    with raises_exactly(E, guard(what, per * (n + 1), *kind, derivatives)):
        fun(bcast(0.0, n + 1), bcast(1.5, n + 1, np.complex128), None, derivatives, False)


def layer_guard(fun, per, base, what, kind, layers=None):
    """A particle of as many layers as one value more than the limit needs (per L + base values): refused
    before the layer count."""
    layers = layers or (kind[1] - base) // per + 1
    return lambda: fun(np.zeros((1, layers)), np.zeros((1, layers), complex), None, True, False), guard(
        what, base + per * layers, *kind, True)


x2, m2 = np.tile(f([1.0, 2.0]), (13, 1)), np.tile(c([1.5, 1.33]), (13, 1))
# Second guards: the terms (or orders) the first pass found, and per layer: 15 L + 5
# values of efficiencies, 4 L + 2 of coefficients and 6 + 18 L of Greek coefficients.
COUNTED_GUARDS = [
    (lambda: vt.mie_coefficients(bcast(1.0, 2**22), bcast(1.5, 2**22, np.complex128), None, True, False),
     guard("the coefficients", 251658240, *CPLX, True)),
    (lambda: vt.mie_greek(bcast(2e4, 1110), bcast(1.5, 1110, np.complex128), None, None, False, False, True),
     guard("the Greek coefficients", 268617780, *REAL, False)),  # x = 2e4: 40333 orders
    (lambda: vt.layered_coefficients(x2, m2, 1048576, True, False), guard("the coefficients", 13 * 2**20 * 10, *CPLX, True)),
    (lambda: vt.layered_greek(np.tile(x2[:1], (22, 1)), np.tile(m2[:1], (22, 1)), None, 1048576, False, False, True),
     guard("the Greek coefficients", 22 * 6 * (2**21 + 1), *REAL, False)),
    (lambda: vt.layered_amplitudes(np.zeros((134218, 2)), np.zeros((134218, 2), complex), np.zeros(100), None, True,
                                   False), guard("the amplitudes", 1000 * 134218, *CPLX, True)),  # 2 layers, 100 cosines
    layer_guard(CALLS["layered_efficiencies"], 15, 5, "the efficiencies", REAL),
    layer_guard(CALLS["layered_coefficients"], 4, 2, "the coefficients", CPLX),
    layer_guard(CALLS["layered_greek"], 18, 6, "the Greek coefficients", REAL),
    (layer_guard(CALLS["layered_efficiencies"], 15, 5, "", REAL, (268435456 - 5) // 15)[0],
     f"invalid input: element 0: at most 1024 layers are accepted, got {(268435456 - 5) // 15}"),
    (lambda: vt.mie_amplitudes(bcast(1.0, 2**58), bcast(1.5, 2**58, np.complex128), bcast(0.5, 2**8), None, False,
                               False),
     "invalid input: the amplitudes would hold more than usize::MAX complex values, more than MAX_MIE_VALUES = 134217728"),
]


@pytest.mark.parametrize("call, message", COUNTED_GUARDS)
def test_size_guards_count_the_first_pass_and_every_layer(call, message):
    with raises_exactly(E, message):
        call()


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves address space and holds freed memory")
def test_memory_is_bounded_and_returned():
    # An exhausted address space is a MemoryError, and the module stays usable;
    # output buffers go with their arrays.
    out = run_py("""
        import resource
        import numpy as np
        import vantok._vantok as vt
        x, m = np.array([1.0]), np.array([1.5 + 0j])
        vt.mie_efficiencies(x, m, None, True, False)
        size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 48 * 2**20, resource.RLIM_INFINITY))
        try:
            vt.mie_efficiencies(x, m, 1048576, True, True)
        except MemoryError:
            print("MemoryError")
        print(vt.mie_efficiencies(x, m, None, False, False)[0][1, 0] > 0)
        """)
    assert out.split() == ["MemoryError", "True"]

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * 4096

    x, small = np.full(10**6, 2.0), (np.full(1000, 0.1), np.full(1000, 1.5 + 0j))
    for rounds in (3, 30):
        if rounds == 30:
            before = rss()
        for _ in range(rounds):
            vt.mie_default_n_max(x)  # 8 MB
            vt.mie_coefficients(*small, 400, False, True)  # 2 x 6.4 MB
    assert rss() - before < 100 * 2**20
