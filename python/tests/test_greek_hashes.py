"""Every bit of wigner_d, mie_greek and layered_greek over the sets of
data/gen_greek_hashes.py equals the bits pinned in data/greek_hashes.txt (made
by that script): faster recurrences and projections must not change a value."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "data"))

import gen_greek_hashes  # noqa: E402


def test_outputs_keep_their_bits():
    expected = gen_greek_hashes.read_table()
    actual = list(gen_greek_hashes.cases())
    assert [name for name, _ in actual] == [name for name, _ in expected]
    changed = [name for (name, h), (_, h_ref) in zip(actual, expected) if h != h_ref]
    assert not changed, f"{len(changed)} of {len(expected)} cases changed bits: {changed[:10]}"
