"""Makes the tests import the vantrel of this checkout.

The development path, `bash scripts/dev_build.sh` then `PYTHONPATH=$PWD python3 -m pytest tests`,
is meant to test the module just built in build/dev. An editable install, of this clone or of
another, puts a redirecting finder on sys.meta_path, ahead of every PYTHONPATH entry. So when
PYTHONPATH names this checkout and its vantrel/ holds a built module, that finder is set aside
here and, through devsite/sitecustomize.py, in every interpreter the tests start. Whichever way
the tests run, they refuse to test the vantrel package of another checkout.
"""
import importlib
import importlib.machinery
import importlib.util
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DEVSITE = Path(__file__).resolve().parent / "devsite"
PACKAGE = ROOT / "vantrel"


def load_devsite():
    spec = importlib.util.spec_from_file_location("vantrel_test_devsite", DEVSITE / "sitecustomize.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def development_build():
    """True when PYTHONPATH names this checkout and dev_build.sh has linked a module into it."""
    entries = [Path(p).resolve() for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    built = any(p.name.endswith(suffixes) for p in PACKAGE.glob("_native.*"))
    return ROOT in entries and built


def pytest_configure(config):
    development = development_build()
    if development and "vantrel" not in sys.modules:
        devsite = load_devsite()
        devsite.set_aside_other_finders(str(ROOT))
        os.environ[devsite.CHECKOUT_VARIABLE] = str(ROOT)
        os.environ["PYTHONPATH"] = os.pathsep.join([str(DEVSITE), os.environ["PYTHONPATH"]])
    try:
        native = importlib.import_module("vantrel._native")
    except ImportError as e:
        if development:
            raise pytest.UsageError(f"the build linked into {PACKAGE} does not import: {e}") from e
        return  # nothing installed or built: every test module says so when it imports vantrel
    package = Path(sys.modules["vantrel"].__file__).resolve().parent
    native_dir = Path(native.__file__).parent.resolve()
    if development and (package, native_dir) != (PACKAGE, PACKAGE):
        raise pytest.UsageError(
            f"the tests of {ROOT} would import vantrel from {package} and its module from "
            f"{native_dir}, not the build linked into {PACKAGE}")
    if package != PACKAGE and (package.parent / "pyproject.toml").exists():
        raise pytest.UsageError(
            f"the tests of {ROOT} would import vantrel from another checkout, {package}: run "
            "`bash scripts/dev_build.sh` and `PYTHONPATH=$PWD python3 -m pytest tests` here, or "
            "install this checkout with `bash scripts/setup.sh`")
