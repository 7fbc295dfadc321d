"""Krylov exponential propagator, sources and the reduced-order model of TdOperator.

References: SciPy's expm_multiply on the operator's own state-space matrix (exp(h·A)·y), the
augmented matrix [[A, b], [0, 0]] for constant sources, and the semigroup and energy laws of the
semi-discrete Maxwell system in a PEC box (normalised units c = ε0 = μ0 = 1).
"""
import numpy as np
import pytest
import scipy.sparse as sp
from scipy.sparse.linalg import expm_multiply

from vantrel._native import ReducedModel, TdOperator
from workers import run_with_workers

# The propagator stops when its a-posteriori estimate falls below 1e-10 relative to ‖y‖; a few
# times that covers the estimate's slack and the rounding of 40 Arnoldi vectors.
STEP_TOL = 1e-9


def csr(op):
    n, row_ptr, col_idx, values = op.state_space()
    return sp.csr_matrix((values, col_idx, row_ptr), shape=(n, n))


def random_state(op, seed):
    return np.random.default_rng(seed).standard_normal(op.n_dof())


def rel(x, ref):
    return np.linalg.norm(x - ref) / np.linalg.norm(ref)


BOXES = [
    pytest.param((1, 1, 1, 1.0, 1.0, 1.0, 1, 1.0), id="1cell-p1-upwind"),
    pytest.param((2, 1, 2, 1.0, 0.5, 0.8, 2, 1.0), id="4cell-p2-upwind"),
    pytest.param((2, 2, 2, 1.0, 1.0, 1.0, 3, 0.0), id="8cell-p3-central"),
    pytest.param((2, 2, 1, 1.0, 1.0, 0.5, 2, 0.5), id="4cell-p2-alpha0.5"),
]


@pytest.fixture(scope="module")
def op2():
    return TdOperator(2, 2, 2, 1.0, 1.0, 1.0, 2)


class TestStep:
    @pytest.mark.parametrize("box", BOXES)
    # A Krylov space of dimension m resolves a step of about m/‖A‖: the long step takes a larger
    # space or substeps.
    @pytest.mark.parametrize("h, m", [(0.01, 40), (0.1, 40), (-0.1, 40), (0.4, 40), (0.4, 120)],
                             ids=["h0.01", "h0.1", "h-0.1", "h0.4-substeps", "h0.4-m120"])
    def test_matches_expm_multiply(self, box, h, m):
        op = TdOperator(*box)
        y = random_state(op, 1)
        y_before = y.copy()
        ref = expm_multiply(h * csr(op), y)
        out = op.step(y, h, m)
        assert out.shape == y.shape and out.dtype == np.float64
        assert rel(out, ref) < STEP_TOL
        np.testing.assert_array_equal(y, y_before)  # y is read, never written

    @pytest.mark.parametrize("h", [0.05, 0.2])
    def test_semigroup(self, op2, h):
        # exp(hA)·exp(hA)·y = exp(2hA)·y; m = 100 resolves the longest step here (2h·‖A‖ ≈ 150)
        y = random_state(op2, 2)
        assert rel(op2.step(op2.step(y, h, 100), h, 100), op2.step(y, 2 * h, 100)) < STEP_TOL
        # With central flux (lossless) the backward step undoes the forward one; upwind damping
        # would make the backward step amplify the rounding of the damped modes.
        central = TdOperator(2, 2, 2, 1.0, 1.0, 1.0, 2, flux_alpha=0.0)
        assert rel(central.step(central.step(y, h, 100), -h, 100), y) < STEP_TOL

    def test_energy_conserved_by_central_flux_and_dissipated_by_upwind(self):
        # Central flux in a PEC box: A is skew-adjoint in the energy inner product, so the field
        # energy ½∫(ε|E|²+μ|H|²) is invariant under exp(hA). Upwind flux only removes energy.
        central = TdOperator(2, 2, 2, 1.0, 1.0, 1.0, 2, flux_alpha=0.0)
        upwind = TdOperator(2, 2, 2, 1.0, 1.0, 1.0, 2, flux_alpha=1.0)
        y = random_state(central, 3)
        w0 = central.field_energy(y)
        x = y
        for _ in range(5):
            x = central.step(x, 0.1)
        assert abs(central.field_energy(x) / w0 - 1.0) < 1e-9
        x, w_prev = y, upwind.field_energy(y)
        for _ in range(5):
            x = upwind.step(x, 0.1)
            w = upwind.field_energy(x)
            assert w <= w_prev * (1 + 1e-12)
            w_prev = w
        assert w_prev < 0.9 * w0  # a random state is rich in unresolved modes that upwind damps

    @pytest.mark.parametrize("h", [1.0, 2.0, 5.0, 20.0])
    def test_long_steps_keep_static_fields(self, h):
        # The PEC box has static (null-space) fields that upwind damping leaves alone, so
        # exp(hA)·y tends to their part of y, not to 0. One Krylov space of 40 vectors cannot
        # resolve h·‖A‖ ≈ 150..3000: the step is split into substeps.
        op = TdOperator(2, 2, 2, 1.0, 1.0, 1.0, 1)
        y = random_state(op, 20)
        ref = expm_multiply(h * csr(op), y)
        assert np.linalg.norm(ref) > 0.2 * np.linalg.norm(y)
        assert rel(op.step(y, h), ref) < STEP_TOL

    def test_step_beyond_substep_budget_is_refused(self):
        op = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
        fresh = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
        y = random_state(op, 21)
        with pytest.raises(RuntimeError, match="^Krylov step did not converge"):
            op.step(y, 1e10)
        # a driven step failing after its source entry was set leaves the entry cleared
        with pytest.raises(RuntimeError, match="^Krylov step did not converge"):
            op.step_driven(y, 7, 3.0, 1e10)
        np.testing.assert_array_equal(op.step_driven(y, 9, 1.0, 0.1), fresh.step_driven(y, 9, 1.0, 0.1))

    def test_edge_cases(self, op2):
        y = random_state(op2, 4)
        np.testing.assert_array_equal(op2.step(np.zeros(op2.n_dof()), 1.0), 0.0)
        assert rel(op2.step(y, 0.0), y) < 1e-14
        # krylov_dim = 1: exp(h·ρ)·y with ρ the Rayleigh quotient ⟨y, Ay⟩/⟨y, y⟩
        rho = y @ op2.apply(y) / (y @ y)
        assert rel(op2.step(y, 0.3, krylov_dim=1), np.exp(0.3 * rho) * y) < 1e-13
        # a smaller Krylov space after a larger one: same result as on a fresh object
        fresh = TdOperator(2, 2, 2, 1.0, 1.0, 1.0, 2)
        op2.step(y, 0.3, 60)
        np.testing.assert_array_equal(op2.step(y, 0.05, 10), fresh.step(y, 0.05, 10))
        # krylov_dim larger than the state: the whole space, still exact
        small = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
        ys = random_state(small, 5)
        assert rel(small.step(ys, 0.5, 10**6), expm_multiply(0.5 * csr(small), ys)) < STEP_TOL


class TestSources:
    def augmented_reference(self, op, y, b, h):
        a = csr(op)
        n = a.shape[0]
        aug = sp.bmat([[a, sp.csr_matrix(b.reshape(n, 1))], [None, sp.csr_matrix((1, 1))]])
        return expm_multiply(h * aug.tocsr(), np.append(y, 1.0))[:n]

    @pytest.mark.parametrize("h", [0.05, 0.3])
    def test_step_with_source(self, op2, h):
        y = random_state(op2, 6)
        b = np.random.default_rng(7).standard_normal(op2.n_dof())
        assert rel(op2.step_with_source(y, b, h), self.augmented_reference(op2, y, b, h)) < STEP_TOL

    def test_step_driven_is_single_entry_source(self, op2):
        n = op2.n_dof()
        y = random_state(op2, 8)
        b = np.zeros(n)
        b[17] = 2.5
        ref = self.augmented_reference(op2, y, b, 0.2)
        assert rel(op2.step_driven(y, 17, 2.5, 0.2), ref) < STEP_TOL
        # the entry is cleared: a second call with another dof sees only its own source
        c = np.zeros(n)
        c[40] = -1.0
        assert rel(op2.step_driven(y, 40, -1.0, 0.2), self.augmented_reference(op2, y, c, 0.2)) < STEP_TOL
        # zero value: the plain step
        assert rel(op2.step_driven(y, 3, 0.0, 0.2), op2.step(y, 0.2)) < STEP_TOL

    def test_source_starting_from_rest(self, op2):
        # From y = 0, ∫₀ʰ exp((h−s)A)·b ds = Σ_q h^(q+1)·A^q·b/(q+1)!; with h·‖A‖ < 1 ten terms
        # leave a remainder far below the tolerance.
        n = op2.n_dof()
        b = random_state(op2, 9)
        h = 1e-3
        out = op2.step_with_source(np.zeros(n), b, h)
        ref, term = np.zeros(n), h * b
        for q in range(10):
            ref += term
            term = h * op2.apply(term) / (q + 2)
        assert rel(out, ref) < STEP_TOL


class TestReducedModel:
    @pytest.mark.parametrize(
        "order, dims",
        [pytest.param(1, (5, 10, 20, 40), id="p1"), pytest.param(2, (10, 20, 40, 80), id="p2"),
         pytest.param(3, (10, 20, 40, 80), id="p3")],
    )
    def test_error_falls_with_r(self, order, dims):
        op = TdOperator(2, 2, 2, 1.0, 1.0, 1.0, order)
        y = random_state(op, 10)
        t = 0.5
        ref = expm_multiply(t * csr(op), y)
        errors = []
        for r in dims:
            model = op.reduced_model(y, r)
            assert (model.r, model.n, model.a_hat.shape) == (r, op.n_dof(), (r, r))
            errors.append(rel(model.propagate(y, t), ref))
        print(f"\norder {order}, t = {t}: " + ", ".join(f"r={r}: {e:.2e}" for r, e in zip(dims, errors)))
        assert all(b < a for a, b in zip(errors, errors[1:]))
        assert errors[-1] < 1e-8

    def test_model_identities(self, op2):
        y = random_state(op2, 11)
        model = op2.reduced_model(y, 25)
        assert isinstance(model, ReducedModel)
        # Â = VᵀAV with V recovered column by column from lift(e_k)
        v = np.column_stack([model.lift(np.eye(25)[k]) for k in range(25)])
        np.testing.assert_allclose(v.T @ v, np.eye(25), atol=1e-12)
        np.testing.assert_allclose(v.T @ (csr(op2) @ v), model.a_hat, atol=1e-10)
        # propagate(y, 0) is the orthogonal projection V·Vᵀ·y; the seed lies in the space
        z = random_state(op2, 12)
        assert rel(model.propagate(z, 0.0), v @ (v.T @ z)) < 1e-13
        assert rel(model.propagate(y, 0.0), y) < 1e-13
        assert len(model.lift(model.project(z))) == model.n
        # the model outlives its operator and does not see later steps
        a_hat = model.a_hat
        op2.step(y, 0.1)
        np.testing.assert_array_equal(model.a_hat, a_hat)
        assert model.a_hat is not model.a_hat

    def test_scaled_start_gives_same_model(self, op2):
        y = random_state(op2, 13)
        m1, m2 = op2.reduced_model(y, 12), op2.reduced_model(-3.0 * y, 12)
        np.testing.assert_allclose(m1.a_hat, m2.a_hat, atol=1e-10)
        np.testing.assert_allclose(m1.lift(np.eye(12)[4]), -m2.lift(np.eye(12)[4]), atol=1e-10)


class TestRefusals:
    @pytest.mark.parametrize(
        "call, message",
        [
            pytest.param(lambda op, y: op.step(y, np.inf), "step size h must be finite", id="step-h-inf"),
            pytest.param(lambda op, y: op.step(y, np.nan), "step size h must be finite", id="step-h-nan"),
            pytest.param(lambda op, y: op.step_driven(y, 0, 1.0, -np.inf), "step size h must be finite",
                         id="driven-h-inf"),
            pytest.param(lambda op, y: op.step_with_source(y, y, np.nan), "step size h must be finite",
                         id="source-h-nan"),
            pytest.param(lambda op, y: op.step(y, 0.1, krylov_dim=0), "krylov_dim must be at least 1",
                         id="step-m0"),
            pytest.param(lambda op, y: op.step_driven(y, 0, 1.0, 0.1, 0), "krylov_dim must be at least 1",
                         id="driven-m0"),
            pytest.param(lambda op, y: op.step(y[:-1], 0.1), "state length must equal n_dof", id="step-short"),
            pytest.param(lambda op, y: op.step(np.append(y, 0.0), 0.1), "state length must equal n_dof",
                         id="step-long"),
            pytest.param(lambda op, y: op.step_driven(y[:-1], 0, 1.0, 0.1), "state length must equal n_dof",
                         id="driven-short"),
            pytest.param(lambda op, y: op.step_with_source(y[:-1], y[:-1], 0.1), "state length must equal n_dof",
                         id="source-short"),
            pytest.param(lambda op, y: op.step_driven(y, len(y), 1.0, 0.1), "source_dof out of range",
                         id="driven-dof"),
            pytest.param(lambda op, y: op.step_with_source(y, y[:-1], 0.1), "source length must equal n_dof",
                         id="source-length"),
            pytest.param(lambda op, y: op.step(np.where(np.arange(len(y)) == 5, np.nan, y), 0.1),
                         "state vector must be finite", id="step-y-nan"),
            pytest.param(lambda op, y: op.step_driven(y, 1, np.inf, 0.1), "source_value must be finite",
                         id="driven-value-inf"),
            pytest.param(lambda op, y: op.step_with_source(y, np.full(len(y), np.inf), 0.1),
                         "source vector must be finite", id="source-inf"),
            pytest.param(lambda op, y: op.reduced_model(np.zeros(len(y)), 5),
                         "reduced_model: start vector must be nonzero", id="rom-zero"),
            pytest.param(lambda op, y: op.reduced_model(y, 0), "reduced_model: r must be at least 1", id="rom-r0"),
            pytest.param(lambda op, y: op.reduced_model(y[:-1], 5), "reduced_model: start length must equal n_dof",
                         id="rom-short"),
            pytest.param(lambda op, y: op.reduced_model(y, 5).propagate(y, np.inf), "propagate: t must be finite",
                         id="propagate-t-inf"),
            pytest.param(lambda op, y: op.step(y[::2], 0.1), "The given array is not contiguous",
                         id="step-strided"),
        ],
    )
    def test_runtime_errors(self, call, message):
        op = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
        y = random_state(op, 14)
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            call(op, y)
        # the object stays usable and unchanged in behaviour
        fresh = TdOperator(1, 1, 1, 1.0, 1.0, 1.0, 1)
        np.testing.assert_array_equal(op.step_driven(y, 2, 1.0, 0.1), fresh.step_driven(y, 2, 1.0, 0.1))

    def test_argument_kinds(self, op2):
        y = random_state(op2, 15)
        with pytest.raises(TypeError, match="argument 'krylov_dim'"):
            op2.step(y, 0.1, krylov_dim=None)
        with pytest.raises(OverflowError):
            op2.step(y, 0.1, -1)
        with pytest.raises(TypeError, match="PyArray"):
            op2.step(list(y), 0.1)
        with pytest.raises(TypeError, match=r"TdOperator\.step\(\) missing 1 required positional argument: 'h'"):
            op2.step(y)
        assert TdOperator.step.__text_signature__ == "($self, y, h, krylov_dim=40)"
        assert TdOperator.step_driven.__text_signature__ == (
            "($self, y, source_dof, source_value, h, krylov_dim=40)")
        assert ReducedModel.propagate.__text_signature__ == "($self, y0, t)"
        with pytest.raises(TypeError, match="^No constructor defined for ReducedModel$"):
            ReducedModel()

    def test_nonfinite_start_stops(self, op2):
        start = np.full(op2.n_dof(), 1e-200)  # every square underflows: norm 0
        with pytest.raises(BaseException, match="^start vector must be nonzero$") as info:
            op2.reduced_model(start, 5)
        assert type(info.value).__name__ == "PanicException"
        assert not isinstance(info.value, Exception)


THREAD_SCRIPT = """
import hashlib, numpy as np
from vantrel._native import TdOperator
op = TdOperator(4, 4, 4, 1.0, 1.0, 1.0, 2)
y = np.random.default_rng(16).standard_normal(op.n_dof())
b = np.random.default_rng(17).standard_normal(op.n_dof())
out = [op.step(y, 0.1), op.step_with_source(y, b, 0.1), op.step_driven(y, 5, 1.0, 0.1)]
print(hashlib.sha256(b"".join(x.tobytes() for x in out)).hexdigest())
"""


@pytest.mark.parametrize("threads", ["1", "3"])
def test_steps_do_not_depend_on_thread_count(threads):
    # Every inner product and chunk update is a sequential loop in a fixed order: one worker or
    # several must give the same bits (23040 unknowns take the parallel Gram–Schmidt path).
    assert (run_with_workers(THREAD_SCRIPT, threads).stdout
            == run_with_workers(THREAD_SCRIPT, None).stdout)


@pytest.mark.parametrize(
    "member, first_line",
    [
        (TdOperator.step, "Advance the state by `h` with the matrix-free exponential propagator."),
        (TdOperator.step_driven, "One source-driven step \u2014 `dy/dt = A\u00b7y + b` with `b` a single-DOF soft"),
        (TdOperator.step_with_source, "One source-driven step `dy/dt = A\u00b7y + b` with a full source vector"),
        (TdOperator.reduced_model, "Build a Krylov model-order-reduced model \u2014 `r`-step Arnoldi on the"),
        (ReducedModel.__dict__["r"], "Reduced dimension `r` \u2014 at most the requested Krylov dimension,"),
        (ReducedModel.__dict__["n"], "Full state dimension `n`."),
        (ReducedModel.__dict__["a_hat"], "The reduced operator `\u00c2 = V\u1d40AV` as an `r\u00d7r` numpy array."),
        (ReducedModel.project, "Project a full state into the reduced space \u2014 `\u0177 = V\u1d40\u00b7y`."),
        (ReducedModel.lift, "Lift a reduced state back to the full space \u2014 `y = V\u00b7\u0177`."),
        (ReducedModel.propagate, "Propagate a full state by `t` through the reduced model \u2014"),
    ],
    ids=["step", "step_driven", "step_with_source", "reduced_model", "r", "n", "a_hat", "project", "lift",
         "propagate"],
)
def test_docstrings(member, first_line):
    assert member.__doc__.splitlines()[0] == first_line
