"""TdOperator on a box cavity: the Python surface, the exported state-space matrix, energy
behaviour of the central and upwind fluxes, and cavity resonances against the closed form."""
import inspect
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse as sp
from other_thread import raised_on_other_thread
from workers import run_with_workers

from vantrel._native import ReducedModel, TdOperator


def panic_type():
    """The PanicException class of the module, taken from a stop the operator raises."""
    try:
        TdOperator(0, 1, 1, 1.0, 1.0, 1.0, 1)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        assert type(e).__name__ == "PanicException" and type(e).__module__ == "pyo3_runtime"
        return type(e)
    raise AssertionError("no stop raised")


def csr(op):
    n, row_ptr, col_idx, values = op.state_space()
    return sp.csr_matrix((values, col_idx, row_ptr), shape=(n, n))


def energy_form(op, y, z):
    """y^T W z from the field energy E(y) = y^T W y / 2 by polarisation."""
    return op.field_energy(y + z) - op.field_energy(y) - op.field_energy(z)


# ---- Python surface ------------------------------------------------------------------------------

def test_counts_and_signatures():
    op = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
    assert (op.n_dof(), op.n_dispersive(), op.n_ports()) == (144, 0, 0)
    assert callable(op.n_dof) and not isinstance(op.n_dof, int)
    assert TdOperator(2, 1, 3, 1.0, 1.0, 1.0, 2, flux_alpha=0.0).n_dof() == 6 * 10 * 6 * 6
    assert TdOperator.__text_signature__ == "(nx, ny, nz, lx, ly, lz, order, flux_alpha=1.0)"
    assert str(inspect.signature(TdOperator.apply)) == "(self, /, y)"
    assert TdOperator.__doc__.startswith(
        "Time-domain DGTD Maxwell operator (vacuum, PEC walls), built on a\nstructured box cavity.")
    docs = {
        "n_dof": ("($self)", "Degrees of freedom \u2014 `6\u00b7Np\u00b7n_elem` for the `[E,H]` block, plus"),
        "n_dispersive": ("($self)", "Number of Debye dispersive elements \u2014 the count of appended"),
        "n_ports": ("($self)", "Number of waveguide ports on the operator."),
        "apply": ("($self, y)",
                  "Apply the semi-discrete operator \u2014 `dy/dt = A\u00b7y`. Zero-copy numpy in"),
        "field_energy": ("($self, y)", "Instantaneous electromagnetic field energy"),
        "state_space": ("($self)", "The explicit sparse state-space matrix `A`, as a CSR quadruple"),
    }
    for name, (sig, first) in docs.items():
        member = getattr(TdOperator, name)
        assert member.__text_signature__ == sig
        assert member.__doc__.splitlines()[0] == first


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((0, 1, 1, 1.0, 1.0, 1.0, 1), {}, "panic", "assertion failed: nx >= 1 && ny >= 1 && nz >= 1"),
        ((1, 1, 0, 1.0, 1.0, 1.0, 1), {}, "panic", "assertion failed: nx >= 1 && ny >= 1 && nz >= 1"),
        ((1, 1, 1, 1.0, 1.0, 1.0, 0), {}, "panic", "DG reference element needs order >= 1"),
        ((1.0, 1, 1, 1.0, 1.0, 1.0, 1), {}, TypeError, "argument 'nx': "),
        ((1, 1, 1, 1.0, 1.0, 1.0, 1), {"flux_alpha": None}, TypeError, "argument 'flux_alpha': "),
        ((-1, 1, 1, 1.0, 1.0, 1.0, 1), {}, OverflowError, ""),
        ((1, 1, 1, 1.0, 1.0, 1.0), {}, TypeError, "missing 1 required positional argument: 'order'"),
        # flat, inverted or unbounded boxes and a non-finite flux weight have no finite operator
        ((1, 1, 1, 0.0, 1.0, 1.0, 1), {}, RuntimeError, "lx must be a positive finite length, got 0.0"),
        ((1, 1, 1, 1.0, -2.0, 1.0, 1), {}, RuntimeError, "ly must be a positive finite length, got -2.0"),
        ((1, 1, 1, 1.0, 1.0, math.inf, 1), {}, RuntimeError, "lz must be a positive finite length, got inf"),
        ((1, 1, 1, 1.0, 1.0, math.nan, 1), {}, RuntimeError, "lz must be a positive finite length, got NaN"),
        ((1, 1, 1, 1.0, 1.0, 1.0, 1), {"flux_alpha": math.nan}, RuntimeError,
         "flux_alpha must be finite, got NaN"),
        ((1, 1, 1, 1.0, 1.0, 1.0, 1, -math.inf), {}, RuntimeError, "flux_alpha must be finite, got -inf"),
    ],
    ids=["nx0", "nz0", "order0", "float-nx", "none-alpha", "negative", "missing-order", "lx0", "ly-neg",
         "lz-inf", "lz-nan", "alpha-nan", "alpha-inf"],
)
def test_constructor_refusals(args, kwargs, exc, message):
    exc = panic_type() if exc == "panic" else exc
    with pytest.raises(exc) as info:
        TdOperator(*args, **kwargs)
    assert message in str(info.value)
    if exc is RuntimeError:
        assert str(info.value) == message
    elif exc is not TypeError and exc is not OverflowError:
        assert not isinstance(info.value, Exception)  # a stop is not caught by `except Exception`


def test_constructor_signature_is_visible():
    params = inspect.signature(TdOperator).parameters
    assert list(params) == ["nx", "ny", "nz", "lx", "ly", "lz", "order", "flux_alpha"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert params["flux_alpha"].default == 1.0
    assert all(p.default is inspect.Parameter.empty for n, p in params.items() if n != "flux_alpha")
    import pydoc
    text = pydoc.render_doc(TdOperator, renderer=pydoc.plaintext)
    assert "TdOperator(nx, ny, nz, lx, ly, lz, order, flux_alpha=1.0)" in text
    # __init__ called by hand builds the same object once, and refuses a second time
    op = TdOperator.__new__(TdOperator)
    TdOperator.__init__(op, 1, 1, 1, 1.0, 1.0, 1.0, 2, flux_alpha=0.5)
    assert op.n_dof() == TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 2).n_dof()
    with pytest.raises(RuntimeError, match="^TdOperator object is already initialised$"):
        TdOperator.__init__(op, 1, 1, 1, 1.0, 1.0, 1.0, 1)


class Reentrant:
    """An argument whose conversion calls back into the operator while a member holds it."""

    def __init__(self, callback, value):
        self.callback, self.value = callback, value

    def __float__(self):
        self.callback()
        return float(self.value)

    def __index__(self):
        self.callback()
        return int(self.value)


def test_reentrant_calls_follow_the_borrow_rules():
    op = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
    y = np.zeros(op.n_dof())
    y[0] = 1.0
    step = lambda: op.step(y, 0.01)  # noqa: E731 - exclusive borrow
    apply = lambda: op.apply(y)  # noqa: E731 - shared borrow
    # a step holds the operator exclusively while it converts h and krylov_dim
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        op.step(y, Reentrant(apply, 0.01))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        op.step(y, 0.01, krylov_dim=Reentrant(step, 10))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        op.step_driven(y, 0, Reentrant(step, 1.0), 0.01)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        op.step_with_source(y, np.zeros_like(y), Reentrant(apply, 0.01))
    # a shared member meets a step: refused; two shared borrows do not conflict
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        op.reduced_model(y, Reentrant(step, 4))
    assert op.reduced_model(y, Reentrant(apply, 4)).r == 4
    # the queries borrow shared too
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        op.nearest_node_dof((0.5, 0.5, 0.5), Reentrant(step, 0), 0)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        op.port_projections(y, Reentrant(step, 0))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        op.step(y, Reentrant(lambda: op.port_cutoff(0), 0.01))
    # every borrow was given back: the operator works as before
    np.testing.assert_array_equal(op.step(y, 0.01), TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1).step(y, 0.01))


# The readers without arguments: each borrows the operator shared, like apply and the queries.
READERS = {
    "n_dof": lambda op: op.n_dof(),
    "n_dispersive": lambda op: op.n_dispersive(),
    "n_ports": lambda op: op.n_ports(),
    "state_space": lambda op: op.state_space(),
    "node_coords": lambda op: op.node_coords(),
    "corner_local_nodes": lambda op: op.corner_local_nodes(),
}


@pytest.mark.parametrize("reader", READERS.values(), ids=READERS.keys())
def test_readers_wait_for_a_step_on_another_thread(reader):
    op = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
    y = np.zeros(op.n_dof())
    y[0] = 1.0
    seen = []

    def from_other_thread():
        err = raised_on_other_thread(lambda: seen.append(reader(op)))
        if err is not None:
            raise err

    # while a step converts h it holds the operator exclusively: the reader is refused
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        op.step(y, Reentrant(from_other_thread, 0.01))
    assert seen == []
    # under another shared borrow (reduced_model converting r) the reader runs
    assert op.reduced_model(y, Reentrant(from_other_thread, 4)).r == 4
    assert len(seen) == 1
    # the step gave its borrow back
    op.step(y, 0.01)
    np.testing.assert_equal(reader(op), seen[0])


@pytest.mark.parametrize("name", ["Simulation", "SweepResult", "Eigenmode", "RadiationPattern", "ReducedModel"])
def test_classes_without_a_constructor_cannot_be_made_from_python(name):
    # __new__ alone would give an object without a record, whose getters fail unclearly
    import vantrel._native as native

    cls = getattr(native, name)
    for make in (lambda: cls(), lambda: cls(1, x=2), lambda: cls.__new__(cls)):
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            make()


def test_apply_and_energy_arguments():
    op = TdOperator(1, 1, 2, 1.0, 1.0, 1.0, 2)
    n = op.n_dof()
    out = op.apply(np.zeros(n))
    assert out.dtype == np.float64 and out.shape == (n,) and not out.any()
    y = np.random.default_rng(1).standard_normal(2 * n)
    with pytest.raises(RuntimeError, match="^The given array is not contiguous$"):
        op.apply(y[::2])
    with pytest.raises(TypeError, match="PyArray<T, D>"):
        op.apply(list(y[:n]))
    with pytest.raises(TypeError, match="PyArray<T, D>"):
        op.apply(y[:n].astype(np.float32))
    with pytest.raises(panic_type(), match="index out of bounds"):
        op.apply(y[: n - 1])
    ro = y[:n].copy()
    ro.flags.writeable = False
    np.testing.assert_array_equal(op.apply(ro), op.apply(y[:n]))
    # Values past n_dof are ignored by apply and by the energy.
    np.testing.assert_array_equal(op.apply(y), op.apply(y[:n]))
    assert op.field_energy(y) == op.field_energy(y[:n])


@pytest.mark.parametrize("dims", [(1.0, 1.0, 1.0), (2.0, 0.5, 0.3)], ids=["cube", "slab"])
def test_uniform_field_energy_is_half_volume(dims):
    op = TdOperator(2, 3, 1, *dims, 3)
    y = np.zeros(op.n_dof())
    y[0::6] = 1.0  # E = (1, 0, 0) everywhere
    vol = dims[0] * dims[1] * dims[2]
    assert op.field_energy(y) == pytest.approx(0.5 * vol, rel=1e-13)  # rounding only
    y[:] = 0.0
    y[4::6] = 2.0  # H = (0, 2, 0): energy 0.5 * mu * |H|^2 * V
    assert op.field_energy(y) == pytest.approx(2.0 * vol, rel=1e-13)


# ---- state-space export ----------------------------------------------------------------------------

@pytest.mark.parametrize("order, alpha", [(1, 1.0), (2, 0.0), (3, 1.0), (4, 0.5)],
                         ids=["N1-upwind", "N2-central", "N3-upwind", "N4-partial"])
def test_state_space_matches_apply(order, alpha):
    op = TdOperator(2, 1, 2, 1.0, 0.7, 1.3, order, alpha)
    n, row_ptr, col_idx, values = op.state_space()
    assert n == op.n_dof()
    assert row_ptr.dtype == np.int64 and col_idx.dtype == np.int64 and values.dtype == np.float64
    assert row_ptr.shape == (n + 1,) and row_ptr[0] == 0 and row_ptr[-1] == len(col_idx) == len(values)
    assert np.all(np.diff(row_ptr) >= 0)
    A = sp.csr_matrix((values, col_idx, row_ptr), shape=(n, n))
    assert A.has_sorted_indices
    assert np.all(values != 0.0)
    rng = np.random.default_rng(order)
    for _ in range(3):
        y = rng.standard_normal(n)
        ay = op.apply(y)
        # Same products, summed in another order: agreement to rounding.
        np.testing.assert_allclose(A @ y, ay, rtol=0, atol=1e-12 * np.abs(ay).max())


def test_central_flux_drops_couplings():
    up, central = csr(TdOperator(2, 2, 2, 1.0, 1.0, 1.0, 2, 1.0)), csr(TdOperator(2, 2, 2, 1.0, 1.0, 1.0, 2, 0.0))
    assert central.nnz < up.nnz


# ---- energy behaviour ------------------------------------------------------------------------------

@pytest.mark.parametrize("order", [1, 2, 3])
def test_central_flux_conserves_energy(order):
    """Central flux in a PEC box: W*A is skew (W the energy mass), so dE/dt = y^T W A y = 0 and
    y^T W A z = -z^T W A y for every pair of states."""
    op = TdOperator(2, 2, 1, 1.0, 0.8, 0.6, order, 0.0)
    rng = np.random.default_rng(10 + order)
    for _ in range(3):
        y, z = rng.standard_normal(op.n_dof()), rng.standard_normal(op.n_dof())
        ay, az = op.apply(y), op.apply(z)
        scale = np.sqrt(op.field_energy(y) * op.field_energy(az))
        assert abs(energy_form(op, y, ay)) < 1e-12 * scale  # rounding of the sums
        assert abs(energy_form(op, y, az) + energy_form(op, z, ay)) < 1e-12 * scale


@pytest.mark.parametrize("alpha", [1.0, 0.5])
def test_upwind_flux_dissipates(alpha, spectra):
    op = TdOperator(2, 1, 1, 1.0, 0.8, 0.6, 2, alpha)
    rng = np.random.default_rng(5)
    for _ in range(5):
        y = rng.standard_normal(op.n_dof())
        assert energy_form(op, y, op.apply(y)) < 0.0
    # Every eigenvalue of the exported matrix lies in the closed left half-plane.
    max_re, max_abs = spectra["upwind"][str(alpha)]
    assert max_re < 1e-10 * max_abs  # rounding of the dense eigensolver


def test_central_flux_spectrum_is_imaginary(spectra):
    max_abs_re, max_abs = spectra["central"]
    assert max_abs_re < 1e-10 * max_abs


# ---- thread-count independence -----------------------------------------------------------------------

SCRIPT = """
import hashlib, numpy as np
from vantrel._native import TdOperator
op = TdOperator(4, 3, 3, 1.0, 0.9, 0.7, 3, 1.0)
y = np.random.default_rng(0).standard_normal(op.n_dof())
n, rp, ci, v = op.state_space()
h = hashlib.sha256()
for a in (op.apply(y), rp, ci, v, np.array([op.field_energy(y)])):
    h.update(a.tobytes())
print(h.hexdigest())
"""


def test_results_do_not_depend_on_thread_count():
    digests = []
    for threads in ("1", "3", None):
        digests.append(run_with_workers(SCRIPT, threads).stdout.strip())
    assert digests[0] == digests[1] == digests[2]


# ---- spectra: eigenvalues of the exported matrix --------------------------------------------------
# Computed in a child process with single-threaded BLAS: dense and shift-invert eigensolvers on a
# busy machine otherwise spend their time in spinning BLAS threads.

BOX = (1.0, 0.8, 0.6)
CASES = [(1, 2), (2, 1), (2, 2), (2, 3), (2, 4), (3, 2), (4, 1)]

SPECTRA_SCRIPT = """
import json, sys
import numpy as np, scipy.sparse as sp, scipy.sparse.linalg as spla
from vantrel._native import TdOperator

BOX, CASES, exact = json.loads(sys.argv[1])

def csr(op):
    n, rp, ci, v = op.state_space()
    return sp.csr_matrix((v, ci, rp), shape=(n, n))

def resonances(op, count, shift=6.2):
    # Shift-invert Arnoldi around i*shift (one sparse LU); keep the weakly damped eigenvalues
    # i*omega - d of the upper half-plane. Spurious DG modes are damped strongly by the upwind
    # flux (Re < -1 on these meshes).
    A = csr(op).astype(np.complex128).tocsc()
    n = A.shape[0]
    lu = spla.splu(A - 1j * shift * sp.identity(n, format="csc"))
    inv = spla.LinearOperator((n, n), matvec=lu.solve, dtype=np.complex128)
    mu = spla.eigs(inv, k=8, which="LM", return_eigenvectors=False, tol=1e-9, ncv=40)
    vals = 1j * shift + 1.0 / mu
    vals = vals[(vals.real > -1.0) & (vals.imag > 0)]
    return np.sort(vals.imag)[:count]

out = {"upwind": {}, "resonance": {}}
for alpha in (1.0, 0.5):
    ev = np.linalg.eigvals(csr(TdOperator(2, 1, 1, 1.0, 0.8, 0.6, 2, alpha)).toarray())
    out["upwind"][str(alpha)] = [ev.real.max(), np.abs(ev).max()]
ev = np.linalg.eigvals(csr(TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 3, 0.0)).toarray())
out["central"] = [np.abs(ev.real).max(), np.abs(ev).max()]
for nx, order in CASES:
    got = resonances(TdOperator(nx, nx, nx, *BOX, order, 1.0), len(exact))
    out["resonance"][f"{nx},{order}"] = (np.abs(got - exact) / exact).tolist()
print(json.dumps(out))
"""


def exact_resonances(count):
    """omega = pi*sqrt((m/lx)^2 + (n/ly)^2 + (p/lz)^2) (c = 1); a mode with one zero index is
    single (TE or TM), with none zero it is double; two zero indices give no field."""
    lx, ly, lz = BOX
    out = []
    for m in range(4):
        for n in range(4):
            for p in range(4):
                if (m == 0) + (n == 0) + (p == 0) > 1:
                    continue
                w = np.pi * np.sqrt((m / lx) ** 2 + (n / ly) ** 2 + (p / lz) ** 2)
                out += [w] * (2 if min(m, n, p) > 0 else 1)
    return sorted(out)[:count]


@pytest.fixture(scope="module")
def spectra():
    exact = exact_resonances(5)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    res = subprocess.run([sys.executable, "-c", SPECTRA_SCRIPT, json.dumps([BOX, CASES, exact])],
                         env=env, capture_output=True, text=True, check=True, timeout=600)
    out = json.loads(res.stdout.strip().splitlines()[-1])
    print("\n  box %s, lowest five resonances %s" % (BOX, np.round(exact, 4)))
    print("  nx order   n_dof    max rel. error")
    for nx, order in CASES:
        n = 6 * nx ** 3 * (order + 1) * (order + 2) * (order + 3)
        print(f"  {nx:2d} {order:5d} {n:7d}    {max(out['resonance'][f'{nx},{order}']):.3e}")
    return out


def max_error(spectra, nx, order):
    return max(spectra["resonance"][f"{nx},{order}"])


def test_resonances_converge_with_order(spectra):
    errs = [max_error(spectra, 2, N) for N in (1, 2, 3, 4)]
    assert all(b < a / 3 for a, b in zip(errs, errs[1:])), errs  # spectral: fast decay with N
    assert errs[-1] < 1e-5  # order 4 on 2x2x2 cells: 1.5e-6 measured


def test_resonances_converge_with_mesh(spectra):
    errs = [max_error(spectra, nx, 2) for nx in (1, 2, 3)]
    # For N = 2 the eigenvalue error falls like h^(2N) = h^4 asymptotically; allow slack.
    assert errs[1] < errs[0] / 8 and errs[2] < errs[1] / 4, errs
    assert max_error(spectra, 4, 1) < max_error(spectra, 2, 1) / 4
