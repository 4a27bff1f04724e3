"""Every bit of wigner_d, mie_greek and layered_greek over the sets of
data/gen_greek_hashes.py equals the bits pinned in data/greek_hashes.txt (made
by that script): faster recurrences and projections must not change a value.
The sets, and those of tools/hash_outputs.py, are the same on every host."""

import json
import os
import sys

from conftest import run_py
import gen_greek_hashes
from numpy.core._multiarray_umath import __cpu_features__

TESTS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(TESTS, "..", "..", "tools"))

import hash_outputs  # noqa: E402


def test_outputs_keep_their_bits():
    expected = gen_greek_hashes.read_table()
    actual = list(gen_greek_hashes.cases())
    assert [name for name, _ in actual] == [name for name, _ in expected]
    changed = [name for (name, h), (_, h_ref) in zip(actual, expected) if h != h_ref]
    assert not changed, f"{len(changed)} of {len(expected)} cases changed bits: {changed[:10]}"


def input_digests():
    """The digest of every input set behind a pinned digest, by name."""
    sets = {f"greek {k}": v for k, v in gen_greek_hashes.input_sets().items()}
    sets.update({f"hash_outputs {k}": v for k, v in hash_outputs.inputs().items()})
    return {k: gen_greek_hashes.digest(*(v if isinstance(v, tuple) else (v,))) for k, v in sets.items()}


def test_input_sets_are_the_same_without_simd_paths():
    # NumPy's exp, log and ** take SIMD routines (not correctly rounded) where
    # the processor has AVX-512 or AVX2 with FMA, libm elsewhere, and libm its
    # own FMA or SSE2 variant: a child with all of them off draws as a host
    # without those features would. (A feature NumPy does not dispatch on only
    # warns.)
    off = ",".join(k for k, on in __cpu_features__.items() if on and (k.startswith("AVX512") or k in ("AVX2", "FMA3")))
    child = run_py(f"""
        import json, sys
        sys.path.insert(0, {TESTS!r})
        import test_greek_hashes
        print(json.dumps(test_greek_hashes.input_digests()))
        """, NPY_DISABLE_CPU_FEATURES=off, GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX2,-FMA")
    assert json.loads(child) == input_digests()
