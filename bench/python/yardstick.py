"""The 10^5-sphere set the sphere benchmarks share (x uniform in [0.1, 100],
Re m in [1.33, 1.6], Im m in [0, 0.1], seed 25) and the plain textbook Mie
solver of bench/yardstick, compiled here with gcc -O2 and run on that set with
the same term counts."""

import ctypes
import pathlib
import subprocess
import tempfile

import numpy as np

import vantok._vantok as vt

N = 100_000
SOURCE = pathlib.Path(__file__).resolve().parent.parent / "yardstick" / "textbook_mie.c"


def sphere_set(rng):
    """Size parameters, refractive indices and term counts of the set, drawn
    from rng (which the caller may go on drawing from)."""
    x = rng.uniform(0.1, 100.0, N)
    m = rng.uniform(1.33, 1.6, N) + 1j * rng.uniform(0.0, 0.1, N)
    return x, m, vt.mie_default_n_max(x).astype(np.int64)


def textbook(x, m, terms):
    """A function that runs the textbook solver on the set and returns its
    (N, 5) efficiencies."""
    lib = pathlib.Path(tempfile.mkdtemp(prefix="vantok_yardstick_")) / "textbook_mie.so"
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-o", str(lib), str(SOURCE), "-lm"], check=True)
    f = ctypes.CDLL(str(lib)).textbook_efficiencies
    f.restype = ctypes.c_int
    doubles = ctypes.POINTER(ctypes.c_double)
    f.argtypes = [ctypes.c_long, doubles, doubles, doubles, ctypes.POINTER(ctypes.c_long), doubles]
    re, im = np.ascontiguousarray(m.real), np.ascontiguousarray(m.imag)
    out = np.empty((len(x), 5))

    def run():
        if f(len(x), x.ctypes.data_as(doubles), re.ctypes.data_as(doubles), im.ctypes.data_as(doubles),
             terms.ctypes.data_as(ctypes.POINTER(ctypes.c_long)), out.ctypes.data_as(doubles)) != 0:
            raise MemoryError("yardstick scratch")
        return out

    return run
