"""Start-up hook of the interpreters that the tests of a development build start.

tests/conftest.py puts this directory first on PYTHONPATH and names the checkout under test in
VANTREL_TEST_CHECKOUT. An editable install (of this clone or another) puts a redirecting finder
on sys.meta_path while the interpreter starts, and that finder comes before every path entry:
here it is set aside, so that `vantrel` comes from the checkout on PYTHONPATH. The sitecustomize
module that this one shadows, if any, runs afterwards as it would have.
"""
import importlib.machinery
import importlib.util
import os
import sys

CHECKOUT_VARIABLE = "VANTREL_TEST_CHECKOUT"


def set_aside_other_finders(checkout):
    """Drops from sys.meta_path every finder that resolves `vantrel`, or its module `_native`, to
    anything outside the package of `checkout`; the path-based finder, which searches sys.path in
    order, always stays. An editable install of this very clone finds the package here but the
    module in site-packages: it goes too."""
    own = os.path.realpath(os.path.join(checkout, "vantrel"))

    def elsewhere(find_spec, name):
        origin = getattr(find_spec(name, None), "origin", None)
        return origin is not None and os.path.realpath(os.path.dirname(origin)) != own

    kept = []
    for finder in sys.meta_path:
        find_spec = getattr(finder, "find_spec", None)
        if finder is not importlib.machinery.PathFinder and find_spec is not None:
            if elsewhere(find_spec, "vantrel") or elsewhere(find_spec, "vantrel._native"):
                continue
        kept.append(finder)
    sys.meta_path[:] = kept


def run_shadowed_sitecustomize():
    here = os.path.dirname(os.path.realpath(__file__))
    rest = [p for p in sys.path if os.path.realpath(p or os.curdir) != here]
    spec = importlib.machinery.PathFinder.find_spec("sitecustomize", rest)
    if spec is not None and spec.loader is not None:
        module = importlib.util.module_from_spec(spec)
        sys.modules["sitecustomize"] = module
        spec.loader.exec_module(module)


if __name__ == "sitecustomize":
    if os.environ.get(CHECKOUT_VARIABLE):
        set_aside_other_finders(os.environ[CHECKOUT_VARIABLE])
    run_shadowed_sitecustomize()
