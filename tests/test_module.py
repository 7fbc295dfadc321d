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
