"""The module surface: registration, docstrings and the refusal to construct classes."""
import importlib

import pytest

import vantrel._native as native

CLASSES = ["Simulation", "SweepResult", "Eigenmode", "RadiationPattern", "TdOperator", "ReducedModel"]


def test_module_doc_and_all():
    assert native.__doc__ == "vantrel \u2014 frequency- and time-domain EM FEM solver."
    assert native.__all__ == CLASSES
    assert importlib.import_module("vantrel._native") is native
    assert not [n for n in dir(native) if not n.startswith("__") and n not in CLASSES]


@pytest.mark.parametrize("name", ["Simulation", "SweepResult", "Eigenmode", "RadiationPattern", "ReducedModel"])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        getattr(native, name)()


def test_class_docstrings():
    assert native.Simulation.__doc__.startswith(
        "A frequency-sweep simulation. Build once, run sweeps, inspect results.\n\n")
    assert native.SweepResult.__doc__ == "Result of a frequency sweep \u2014 frequencies and S-parameters."
    assert native.Eigenmode.__doc__ == "One eigenmode of a cavity / waveguide."
    assert native.RadiationPattern.__doc__ == (
        "Far-field radiation pattern with directivity, gain, axial ratio, LCP/RCP.")
    assert "structured box cavity." in native.TdOperator.__doc__
    assert native.ReducedModel.__doc__.endswith(
        "with `\u00c2` small and dense. Propagates states at a fraction of the cost.")


SUBINTERPRETER_SCRIPT = r"""
import json, os, sys, tempfile
import vantrel._native as native
try:
    import _interpreters as interpreters  # Python 3.13+
except ImportError:
    import _xxsubinterpreters as interpreters  # Python 3.8 to 3.12
fd, path = tempfile.mkstemp()
os.close(fd)
interp = interpreters.create()
interpreters.run_string(interp, f'''
import sys
sys.path[:0] = {sys.path!r}
try:
    import vantrel._native
    outcome = "imported"
except ImportError as e:
    outcome = type(e).__name__ + ": " + str(e)
open({path!r}, "w").write(outcome)
''')
interpreters.destroy(interp)
outcome = open(path).read()
os.remove(path)
# the first interpreter keeps a working module
print(json.dumps([outcome, native.TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1).n_dof()]))
"""


def test_second_interpreter_is_refused():
    # Run apart, so that whatever a sub-interpreter does stays out of the test process.
    import json
    import os
    import subprocess
    import sys

    try:
        import _interpreters  # noqa: F401
    except ImportError:
        pytest.importorskip("_xxsubinterpreters")
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT], capture_output=True, text=True,
                          env=dict(os.environ), timeout=120)
    assert proc.returncode == 0, proc.stderr
    outcome, n_dof = json.loads(proc.stdout)
    assert outcome.startswith("ImportError: PyO3 modules do not yet support subinterpreters")
    assert n_dof == 144
