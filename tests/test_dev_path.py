"""The tests run the vantrel of their own checkout, in this interpreter and in the ones they start."""
import os
import subprocess
import sys
import venv
from pathlib import Path

import pytest

import vantrel._native

ROOT = Path(__file__).resolve().parent.parent
DEVSITE = ROOT / "tests" / "devsite"


def test_child_interpreters_import_the_module_under_test():
    # Started as the thread-count, deep-nesting and absorber tests start theirs.
    code = "import vantrel._native as n; print(n.__file__)"
    out = subprocess.run([sys.executable, "-c", code], env=dict(os.environ), capture_output=True,
                         text=True, check=True)
    assert out.stdout.strip() == vantrel._native.__file__


FOREIGN_FINDER = '''
import importlib.util, sys

class Foreign:
    """Resolves vantrel to another clone, first on sys.meta_path, as an editable install does."""
    def find_spec(self, name, path=None, target=None):
        if name == "vantrel":
            return importlib.util.spec_from_file_location(name, {init!r})

sys.meta_path.insert(0, Foreign())
'''


def test_an_editable_finder_of_another_clone_is_set_aside(tmp_path):
    # An environment whose start-up installs a finder for another clone (a .pth line, as an
    # editable install writes) and which has a sitecustomize of its own. It does not see the
    # interpreter's own site-packages, where an editable install of this clone may sit (CI).
    other = tmp_path / "other" / "vantrel"
    other.mkdir(parents=True)
    (other / "__init__.py").write_text("")
    env_dir = tmp_path / "env"
    venv.EnvBuilder(system_site_packages=False, symlinks=True).create(env_dir)
    python = env_dir / "bin" / "python"
    out = subprocess.run([str(python), "-c", "import site; print(site.getsitepackages()[0])"],
                         capture_output=True, text=True, check=True)
    site_dir = Path(out.stdout.strip())
    (site_dir / "foreign_finder.py").write_text(FOREIGN_FINDER.format(init=str(other / "__init__.py")))
    (site_dir / "foreign_finder.pth").write_text("import foreign_finder\n")
    (site_dir / "sitecustomize.py").write_text("import os; os.environ['SHADOWED_RAN'] = '1'\n")
    code = ("import importlib.util, os; "
            "print(importlib.util.find_spec('vantrel').origin, os.environ.get('SHADOWED_RAN'))")

    def origin(env):
        out = subprocess.run([str(python), "-c", code], env=env, capture_output=True, text=True,
                             check=True)
        return out.stdout.split()

    base = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VANTREL_TEST_CHECKOUT")}
    # PYTHONPATH alone loses to the finder: what the development path did before.
    assert origin(dict(base, PYTHONPATH=str(ROOT))) == [str(other / "__init__.py"), "1"]
    dev = dict(base, PYTHONPATH=os.pathsep.join([str(DEVSITE), str(ROOT)]),
               VANTREL_TEST_CHECKOUT=str(ROOT))
    assert origin(dev) == [str(ROOT / "vantrel" / "__init__.py"), "1"]
