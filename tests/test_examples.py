"""Every script in examples/ runs to its end: each checks its own numbers against its closed
forms and exits with an error when one strays beyond the tolerance its docstring states."""
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples").glob("*.py"))


@pytest.mark.parametrize("script", EXAMPLES, ids=lambda p: p.stem)
def test_example_runs_and_meets_its_tolerances(script, tmp_path):
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, f"{script.name}: {run.returncode}\n{run.stdout}\n{run.stderr[-4000:]}"
