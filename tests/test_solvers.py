"""Sparse direct solver back ends against SciPy, the VANTREL_SOLVER selection and its lines."""
import functools
import importlib.metadata
import threading

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spl

from vantrel import _testing as T

BACKENDS = ["faer", "accelerate", "pardiso"]
ACCEL = "Apple Accelerate (Bunch-Kaufman)"
LOADED = "  PARDISO: MKL loaded successfully\n"


def has_mkl_package():
    try:
        importlib.metadata.distribution("mkl")
        return True
    except importlib.metadata.PackageNotFoundError:
        return False


def backend_or_skip(word):
    if word == "pardiso" and not T.pardiso_available():
        pytest.skip("MKL PARDISO not installed")
    return word


def helmholtz(m, k2):
    """Triplets of -Laplacian (7-point, m^3 grid, h = 1/(m+1)) - k2: complex symmetric,
    indefinite once Re k2 passes the lowest eigenvalues (3 pi^2 for the unit cube). Assembled
    edge by edge, so diagonal positions repeat."""
    h = 1.0 / (m + 1)
    idx = np.arange(m ** 3).reshape(m, m, m)
    rows, cols, vals = [], [], []
    for axis in range(3):
        a = np.take(idx, range(m - 1), axis=axis).ravel()
        b = np.take(idx, range(1, m), axis=axis).ravel()
        for r, c in ((a, b), (b, a)):  # both triangles
            rows.append(r); cols.append(c); vals.append(np.full(r.size, -1.0 / h**2, complex))
        for r in (a, b):  # each edge adds 1/h^2 to both end diagonals
            rows.append(r); cols.append(r); vals.append(np.full(r.size, 1.0 / h**2, complex))
    n = m ** 3
    # Boundary nodes miss neighbours outside the box (Dirichlet): their diagonal is 6/h^2 too.
    deg = np.zeros(n)
    for r in rows[2::4] + rows[3::4]:
        np.add.at(deg, r, 1)
    diag = idx.ravel()
    rows.append(diag); cols.append(diag); vals.append((6 - deg) / h**2 - k2 + 0j)
    return n, np.concatenate(rows).astype(np.int64), np.concatenate(cols).astype(np.int64), \
        np.concatenate(vals)


def scipy_solve(n, rows, cols, vals, b):
    return spl.spsolve(sp.csc_matrix((vals, (rows, cols)), shape=(n, n)), b)


@functools.lru_cache(maxsize=None)
def reference(m, shift):
    """The Helmholtz system, its right-hand side and SciPy's solution, computed once."""
    n, rows, cols, vals = helmholtz(m, shift)
    b = rhs(n)
    return n, rows, cols, vals, b, scipy_solve(n, rows, cols, vals, b)


def rhs(n, seed=3):
    rng = np.random.default_rng(seed)
    return rng.standard_normal(n) + 1j * rng.standard_normal(n)


# k^2 past several eigenvalues of the Laplacian, with absorbing and gaining losses.
SHIFTS = {"lossy": 200.0 - 15.0j, "nearly_lossless": 350.0 - 1e-3j, "gain": 120.0 + 4.0j}


@pytest.mark.parametrize("shift", SHIFTS.values(), ids=SHIFTS.keys())
@pytest.mark.parametrize("word", BACKENDS)
def test_backend_matches_scipy(word, shift):
    backend_or_skip(word)
    n, rows, cols, vals, b, ref = reference(9, shift)
    x = T.solve_sparse(word, n, rows, cols, vals, b)
    # Direct solvers with pivoting on a system of condition ~1e4: agreement far below 1e-8.
    assert np.linalg.norm(x - ref) / np.linalg.norm(ref) < 1e-8


@pytest.mark.parametrize("word", BACKENDS)
def test_refactorize_and_repeated_solves(word):
    backend_or_skip(word)
    n, rows, cols, vals1 = helmholtz(8, 150.0 - 2.0j)
    _, _, _, vals2 = helmholtz(8, 420.0 - 9.0j)
    b = rhs(n)
    p = T.SolverProbe(word)
    p.factorize(n, rows, cols, vals1)
    x1 = p.solve(b)
    # a second solve with the same factors: the same solution, up to the rounding of a
    # multithreaded substitution whose summation order may change from call to call
    assert np.linalg.norm(p.solve(b) - x1) <= 1e-12 * np.linalg.norm(x1)
    p.refactorize(n, rows, cols, vals2)
    x2 = p.solve(b)
    ref = scipy_solve(n, rows, cols, vals2, b)
    assert np.linalg.norm(x2 - ref) / np.linalg.norm(ref) < 1e-8


BAD_CALLS = {
    "faer": ("faer LU: solve before factorize", "faer LU: RHS length 4 \u2260 n = 3",
             "faer numeric LU: Singular"),
    "accelerate": ("Accelerate: solve before factorize", "Accelerate: RHS length 4 \u2260 N = 3",
                   "Accelerate: LDL\u1d40 factorisation failed"),
    "pardiso": ("PARDISO: solve before factorize", "PARDISO: RHS length 4 \u2260 n = 3",
                "PARDISO analyze+factorize (phase 12) error: -4"),
}


@pytest.mark.parametrize("word", BACKENDS)
def test_messages_for_bad_calls(word):
    backend_or_skip(word)
    before, length, singular = BAD_CALLS[word]
    rows = np.array([0, 0, 1, 1, 2], np.int64)
    cols = np.array([0, 1, 0, 1, 2], np.int64)
    good = np.array([2 + 1j, 1, 1, 3, 1 - 1j])
    p = T.SolverProbe(word)
    with pytest.raises(RuntimeError, match=f"^{before}$"):
        p.solve(np.zeros(3, complex))
    p.factorize(3, rows, cols, good)
    with pytest.raises(RuntimeError, match=f"^{length}$"):
        p.solve(np.zeros(4, complex))
    with pytest.raises(RuntimeError) as e:
        p.factorize(3, rows, cols, np.array([1, 1, 1, 1, 1 - 1j], complex))  # [1 1; 1 1] block
    assert str(e.value) == singular
    nan = good.copy()
    nan[3] = np.nan
    with pytest.raises(RuntimeError, match="not finite|NonFinite"):
        T.solve_sparse(word, 3, rows, cols, nan, np.ones(3, complex))


def test_two_threads_solve_independently():
    words = [w for w in BACKENDS if w != "pardiso" or T.pardiso_available()]
    problems = [reference(8, s) for s in (180.0 - 3.0j, 300.0 + 1.0j)]
    errors = []

    def sweep(word, k):
        n, rows, cols, vals, b, ref = problems[k]
        try:
            p = T.SolverProbe(word)
            for _ in range(3):
                p.refactorize(n, rows, cols, vals)
                x = p.solve(b)
                errors.append(np.linalg.norm(x - ref) / np.linalg.norm(ref))
        except Exception as exc:  # reported below, on the main thread
            errors.append(exc)

    for word in words:
        threads = [threading.Thread(target=sweep, args=(word, k)) for k in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert len(errors) == 6 * len(words)
    assert all(isinstance(e, float) and e < 1e-8 for e in errors), errors


# ---- selection -------------------------------------------------------------------------------

PREFERENCES = {  # value -> (Auto 0, Pardiso 1, Accelerate 2, Faer 3)
    "faer": 3, "FAER": 3, "fAeR": 3, "pardiso": 1, "PARDISO": 1, "Accelerate": 2,
    " faer": 0, "faer ": 0, "fa er": 0, "": 0, "umfpack": 0, "acceler\u00c5te": 0,
}


@pytest.mark.parametrize("value,want", PREFERENCES.items(), ids=[repr(k) for k in PREFERENCES])
def test_preference_words(value, want, monkeypatch):
    assert T.solver_preference(value) == want
    monkeypatch.setenv("VANTREL_SOLVER", value)
    assert T.solver_preference_from_env() == want


def test_unset_is_auto(monkeypatch):
    monkeypatch.delenv("VANTREL_SOLVER", raising=False)
    assert T.solver_preference(None) == 0
    assert T.solver_preference_from_env() == 0


@pytest.mark.parametrize("value", ["faer", "Faer", "accelerate", "ACCELERATE"])
def test_explicit_choice_lines(value, monkeypatch, capfd):
    monkeypatch.setenv("VANTREL_SOLVER", value)
    capfd.readouterr()
    name = T.select_solver_name()
    want = "faer LU" if value.lower() == "faer" else ACCEL
    assert name == want
    assert capfd.readouterr().err == f"  solver: using {want}\n"


@pytest.mark.parametrize("value", [None, "pardiso"], ids=["auto", "pardiso"])
def test_pardiso_or_fallback_lines(value, monkeypatch, capfd):
    if value is None:
        monkeypatch.delenv("VANTREL_SOLVER", raising=False)
    else:
        monkeypatch.setenv("VANTREL_SOLVER", value)
    available = T.pardiso_available()
    capfd.readouterr()
    name = T.select_solver_name()
    err = capfd.readouterr().err
    if available:
        assert (name, err) == ("PARDISO", LOADED + "  solver: using PARDISO\n")
    elif value is None:
        assert (name, err) == (ACCEL, f"  solver: using {ACCEL}\n")
    else:
        assert (name, err) == ("faer LU", "  solver: PARDISO requested but unavailable, "
                                          "falling back to faer LU\n  solver: using faer LU\n")


@pytest.mark.skipif(not has_mkl_package(), reason="the pip package mkl is not installed")
def test_pardiso_is_used_when_mkl_is_installed(monkeypatch, capfd):
    # The pip package puts libmkl_rt.so.N into the interpreter's lib/ folder, on no loader path.
    monkeypatch.delenv("VANTREL_SOLVER", raising=False)
    monkeypatch.delenv("LD_LIBRARY_PATH", raising=False)
    assert any(c.endswith(("libmkl_rt.so.2", "libmkl_rt.so.3")) and "/" in c
               for c in T.pardiso_library_candidates())
    capfd.readouterr()
    p = T.SolverProbe("select")
    assert p.name() == "PARDISO"
    assert capfd.readouterr().err == LOADED + "  solver: using PARDISO\n"
    n, rows, cols, vals = helmholtz(6, 90.0 - 1.0j)
    b = rhs(n)
    p.factorize(n, rows, cols, vals)
    ref = scipy_solve(n, rows, cols, vals, b)
    assert np.linalg.norm(p.solve(b) - ref) / np.linalg.norm(ref) < 1e-10


def test_upper_csr_layout():
    a, b, c, d, e = 1 + 1j, 2.0, 3 - 1j, 0.5 + 4j, -7.0
    ia, ja, vals = T.upper_csr_from_triplets(
        3, np.array([2, 0, 1, 0, 0]), np.array([0, 2, 1, 2, 0]), np.array([a, b, c, d, e]))
    assert (ia, ja) == ([0, 2, 3, 3], [0, 2, 1])
    np.testing.assert_array_equal(vals, [e, b + d, c])
