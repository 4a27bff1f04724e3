"""The example scripts run to completion against the built module."""

import os
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parents[2] / "examples").glob("[0-9][0-9]_*.py"))


@pytest.mark.parametrize("script", EXAMPLES, ids=lambda p: p.name)
def test_example_runs(script):
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                            env=dict(os.environ), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip()
