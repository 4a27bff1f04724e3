"""Requests whose working memory cannot fit are refused with MemoryError at once,
before anything is allocated, instead of being granted page by page until the
process is killed."""

import os

import numpy as np
import pytest

import vantok._vantok as vt

PHYSICAL = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(PHYSICAL > 150e9, reason="this machine could hold the work arrays")
def test_layered_work_arrays_beyond_memory_raise_memory_error():
    layers = vt.MAX_LAYERS
    x = np.linspace(1.0, 5.0, layers)[None, :]
    m = np.full((1, layers), 1.5 + 0.01j)
    with pytest.raises(MemoryError):
        vt.layered_efficiencies(x, m, vt.MAX_MIE_ORDER, True, True)
    # The module stays usable.
    q, _ = vt.layered_efficiencies(x[:, :2], m[:, :2], None, False, False)
    assert np.all(np.isfinite(q))
