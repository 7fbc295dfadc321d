#include "fd/eigenmode.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include <Eigen/Dense>

#include "fd/solver/select.hpp"
#include "fd/sweep.hpp"
#include "fd/tet_assembly.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double C0 = 299792458.0;
constexpr double C0_OVER_TWO_PI = 47713451.59236942;
constexpr u64 MAX_KRYLOV_DIM = 100;
constexpr double BREAKDOWN = 1e-12;      // ‖next Krylov direction‖ below this: invariant subspace
constexpr double SMALLEST_RITZ = 1e-30;  // |θ| below this gives no finite λ = σ + 1/θ
constexpr double Q_LIMIT = 1e-30;        // |Im f| at or below this: lossless, Q = +inf
// The curl-curl operator annihilates every gradient, so λ = 0 is an eigenvalue of huge
// multiplicity; under the shift it sits at θ = −1/σ and the Krylov space always holds one
// direction of it. Its Ritz value comes back as λ = σ·ε, ε the relative rounding of θ, with
// either sign: measured 1e-14 .. 1e-12 (the larger with the target within 1e-5 of a mode),
// growing like u·σ/|λ_near − σ| (u the unit round-off, λ_near the mode nearest the shift).
// 1e-6 leaves a wide margin above that and drops a genuine mode only below 1/1000 of the
// target frequency, where the search is not aimed.
constexpr double GRADIENT_LAMBDA = 1e-6;
// A Ritz pair whose relative residual ‖E y − λ B y‖ / ‖E y‖ exceeds this is not a mode: the
// converged ones reach 1e-7 or better; the ones the Krylov space has not resolved sit at
// 1e-1 .. 1 (directions mixed with gradients, averages of several far modes). Between the two,
// 1e-3 .. 1e-2, are modes at the edge of the space, whose frequencies are still good to ~1e-6.
constexpr double RESIDUAL_LIMIT = 1e-2;
// Reciprocal condition of the projected mass matrix below which the lossy projection falls
// back to the Hermitian one.
constexpr double GRAM_RCOND = 1e-12;
// Gram–Schmidt: a second pass when a pass keeps less than this fraction of the vector's norm.
constexpr double REORTH_RATIO = 0.7071067811865476;
// Rows per block of the vector kernels: fixed, so sums do not depend on the thread count.
constexpr std::size_t ROW_BLOCK = 4096;

using CVec = std::vector<cplx>;

std::size_t n_blocks(std::size_t n) { return (n + ROW_BLOCK - 1) / ROW_BLOCK; }

// The merged free matrices in compressed columns. Both are symmetric, so column c read as a row
// gives (M x)_c = Σ_r M_rc x_r, each row summed by one task in a fixed order.
struct FreeMatrices {
  u64 n = 0;
  std::vector<u64> col_start;  // n + 1
  std::vector<u64> rows;       // local row of every entry
  std::vector<u64> cols;       // local column of every entry (handed to the back end)
  CVec shifted;                // E − σB
  CVec mass;                   // B
  bool real = true;            // every E and B value has a zero imaginary part
};

FreeMatrices build_free_matrices(u64 n_free, FreeElementSystem&& sys, double sigma) {
  FreeMatrices fm;
  fm.n = n_free;
  const std::size_t nnz = sys.rows.size();
  fm.col_start.assign(fm.n + 1, 0);
  for (u64 c : sys.cols) ++fm.col_start[c + 1];
  for (u64 c = 0; c < fm.n; ++c) fm.col_start[c + 1] += fm.col_start[c];
  fm.shifted.resize(nnz);
  for (std::size_t k = 0; k < nnz; ++k) {
    const cplx e = sys.e[k], b = sys.b[k];
    fm.shifted[k] = cplx(e.real() - sigma * b.real(), e.imag() - sigma * b.imag());
    if (e.imag() != 0.0 || b.imag() != 0.0) fm.real = false;
  }
  fm.rows = std::move(sys.rows);
  fm.cols = std::move(sys.cols);
  fm.mass = std::move(sys.b);
  return fm;
}

void sym_matvec(const FreeMatrices& fm, const CVec& vals, const CVec& x, CVec& y) {
  y.resize(fm.n);
  parallel_for(
      fm.n,
      [&](std::size_t c) {
        cplx s(0.0, 0.0);
        for (u64 k = fm.col_start[c]; k < fm.col_start[c + 1]; ++k) s += vals[k] * x[fm.rows[k]];
        y[c] = s;
      },
      1024);
}

double norm2(const CVec& x) {
  const std::size_t nb = n_blocks(x.size());
  std::vector<double> part(nb, 0.0);
  parallel_for(nb, [&](std::size_t b) {
    double s = 0.0;
    for (std::size_t i = b * ROW_BLOCK; i < std::min(x.size(), (b + 1) * ROW_BLOCK); ++i)
      s += std::norm(x[i]);
    part[b] = s;
  });
  double s = 0.0;
  for (double p : part) s += p;
  return std::sqrt(s);
}

// h_i = V_iᴴ x (Hermitian) for every stored vector, and, when `w` is given, g_i = V_iᵀ w
// (bilinear), in one pass over V.
void project(const std::vector<CVec>& V, const CVec& x, const CVec* w, std::vector<cplx>& h,
             std::vector<cplx>& g) {
  const std::size_t n = x.size(), k = V.size(), nb = n_blocks(n);
  std::vector<cplx> part_h(nb * k), part_g(w ? nb * k : 0);
  parallel_for(nb, [&](std::size_t b) {
    const std::size_t lo = b * ROW_BLOCK, hi = std::min(n, lo + ROW_BLOCK);
    for (std::size_t i = 0; i < k; ++i) {
      const cplx* v = V[i].data();
      cplx sh(0.0, 0.0), sg(0.0, 0.0);
      for (std::size_t r = lo; r < hi; ++r) sh += std::conj(v[r]) * x[r];
      part_h[b * k + i] = sh;
      if (w) {
        for (std::size_t r = lo; r < hi; ++r) sg += v[r] * (*w)[r];
        part_g[b * k + i] = sg;
      }
    }
  });
  h.assign(k, cplx(0.0, 0.0));
  g.assign(w ? k : 0, cplx(0.0, 0.0));
  for (std::size_t b = 0; b < nb; ++b)
    for (std::size_t i = 0; i < k; ++i) {
      h[i] += part_h[b * k + i];
      if (w) g[i] += part_g[b * k + i];
    }
}

// x ← x − Σ_i c_i V_i
void subtract_combination(const std::vector<CVec>& V, const std::vector<cplx>& c, CVec& x) {
  const std::size_t n = x.size(), nb = n_blocks(n);
  parallel_for(nb, [&](std::size_t b) {
    const std::size_t lo = b * ROW_BLOCK, hi = std::min(n, lo + ROW_BLOCK);
    for (std::size_t i = 0; i < c.size(); ++i) {
      const cplx* v = V[i].data();
      const cplx ci = c[i];
      for (std::size_t r = lo; r < hi; ++r) x[r] -= ci * v[r];
    }
  });
}

// y = Σ_j u_j V_j over the first u.size() stored vectors
CVec combine(const std::vector<CVec>& V, const Eigen::VectorXcd& u, u64 n) {
  CVec y(n, cplx(0.0, 0.0));
  const std::size_t nb = n_blocks(n);
  parallel_for(nb, [&](std::size_t b) {
    const std::size_t lo = b * ROW_BLOCK, hi = std::min<std::size_t>(n, lo + ROW_BLOCK);
    for (Eigen::Index j = 0; j < u.size(); ++j) {
      const cplx* v = V[j].data();
      const cplx uj = u[j];
      for (std::size_t r = lo; r < hi; ++r) y[r] += uj * v[r];
    }
  });
  return y;
}

std::string ms(double seconds) { return fmt_fixed(seconds * 1000.0, 1); }

[[noreturn]] void decomposition_failed() { throw Error("eigendecomposition failed: NoConvergence"); }

}  // namespace

void tridiagonal_to_dense(std::span<cplx> column, u64 n, std::span<const cplx> alphas,
                          std::span<const double> betas, u64 j) {
  for (u64 i = 0; i < n; ++i) {
    cplx v(0.0, 0.0);
    if (i == j) {
      check_index(j, alphas.size());
      v = alphas[j];
    } else if (j >= 1 && i == j - 1 && j - 1 < betas.size()) {
      v = cplx(betas[j - 1], 0.0);
    } else if (i == j + 1 && j < betas.size()) {
      v = cplx(betas[j], 0.0);
    }
    check_index(i, column.size());
    column[i] = v;
  }
}

bool cmp_by_distance_to_target(cplx target, cplx a, cplx b) {
  const double da = std::hypot(a.real() - target.real(), a.imag() - target.imag());
  const double db = std::hypot(b.real() - target.real(), b.imag() - target.imag());
  if (std::isnan(da) || std::isnan(db)) panic("called `Option::unwrap()` on a `None` value");
  return da < db;
}

std::vector<RitzValue> ritz_candidates(std::span<const cplx> theta, double sigma) {
  std::vector<RitzValue> out;
  for (std::size_t i = 0; i < theta.size(); ++i) {
    const cplx th = theta[i];
    if (std::hypot(th.real(), th.imag()) < SMALLEST_RITZ) continue;
    const cplx lambda = cplx(sigma, 0.0) + cdiv(cplx(1.0, 0.0), th);
    if (!std::isfinite(lambda.real()) || !std::isfinite(lambda.imag())) continue;
    if (lambda.real() <= 0.0) continue;
    if (std::hypot(lambda.real(), lambda.imag()) <= GRADIENT_LAMBDA * sigma) continue;
    out.push_back({lambda, i});
  }
  std::stable_sort(out.begin(), out.end(), [&](const RitzValue& a, const RitzValue& b) {
    return cmp_by_distance_to_target(cplx(sigma, 0.0), a.lambda, b.lambda);
  });
  return out;
}

std::vector<EigenmodeResult> solve_eigenmodes(const Mesh& mesh, const FemBasis& basis,
                                              const std::vector<u64>& pec_faces,
                                              const std::vector<MaterialRegion>* materials,
                                              u64 n_modes, double target_frequency,
                                              EigenmodeTimings* timings) {
  EigenmodeTimings local_timings;
  EigenmodeTimings& tm = timings ? *timings : local_timings;
  tm = EigenmodeTimings{};

  // Materials at the target frequency only (dispersive ones included), then the element matrices.
  auto t0 = Clock::now();
  FreeElementSystem sys;
  {
    MaterialTensors tensors = tensors_at(mesh, materials, nullptr, target_frequency);
    const auto ta = Clock::now();
    const ElementTriplets el = assemble_tet_elements(mesh, basis, tensors.eps, tensors.mu);
    eprint("  Eigenmode: assembled E,B in " + ms(seconds_since(ta)) + "ms\n");
    tm.assembly_s = seconds_since(t0);
    // Conductor unknowns removed; E and B summed on the free ones (the element lists go here).
    t0 = Clock::now();
    sys = merge_free_elements(mesh, basis, pec_faces, el);
  }
  const std::vector<u64> free = std::move(sys.free);
  const u64 n = free.size();
  eprint("\r  Eigenmode: " + std::to_string(n) + " free DOFs, target=" + fmt_exp(target_frequency, 4) +
         " Hz\n");
  const double k_t = (TWO_PI * target_frequency) / C0;
  const double sigma = k_t * k_t;
  FreeMatrices fm = build_free_matrices(n, std::move(sys), sigma);
  tm.pattern_s = seconds_since(t0);
  tm.n_free = n;
  tm.nnz = fm.rows.size();

  // One factorisation of E − σB.
  t0 = Clock::now();
  const std::unique_ptr<SparseSolver> solver = select_solver_backend(solver_preference_from_env());
  solver->factorize(n, fm.rows, fm.cols, fm.shifted);
  tm.factor_s = seconds_since(t0);
  eprint("\r  Eigenmode: " + solver->name() + " shift-invert in " + ms(tm.factor_s) + "ms\n");
  fm.cols = {};  // only the back end needed the column list

  // Krylov space of S = (E − σB)⁻¹B from the fixed start vector, one solve per step. The basis is
  // orthonormalised in the Hermitian product (classical Gram–Schmidt, repeated when needed), giving the Arnoldi
  // relation S V_k = V_{k+1} H̄ with H̄ upper Hessenberg.
  t0 = Clock::now();
  const u64 wanted = n_modes > (NONE_U64 - 20) / 3 ? NONE_U64 : 3 * n_modes + 20;
  const u64 m = std::min(std::min(wanted, n), MAX_KRYLOV_DIM);
  std::vector<CVec> V;
  V.reserve(m + 1);
  Eigen::MatrixXcd H = Eigen::MatrixXcd::Zero(m + 1, std::max<u64>(m, 1));
  // G = Vᵀ B V (bilinear), from the products B v_j that the solves need anyway
  Eigen::MatrixXcd G = Eigen::MatrixXcd::Zero(m + 1, m + 1);
  CVec v(n), w, x;
  for (u64 i = 0; i < n; ++i) v[i] = cplx(static_cast<double>((13 + 7 * i) % 97) / 97.0, 0.0);
  {
    const double nv = norm2(v);
    for (cplx& c : v) c = cplx(c.real() / nv, c.imag() / nv);
  }
  std::vector<cplx> h, h2, g, unused;
  u64 k = 0;
  bool invariant = false;
  double beta_last = 0.0;
  for (u64 j = 0; j < m; ++j) {
    V.push_back(std::move(v));
    sym_matvec(fm, fm.mass, V[j], w);
    const auto ts = Clock::now();
    x = solver->solve(w);
    tm.solve_s += seconds_since(ts);
    if (x.size() != n)
      panic("sparse solver returned " + std::to_string(x.size()) + " values for " +
            std::to_string(n) + " unknowns");
    if (fm.real)  // the exact solution of a real system with a real right-hand side is real
      for (cplx& c : x) c = cplx(c.real(), 0.0);
    const double before = norm2(x);
    project(V, x, &w, h, g);
    for (u64 i = 0; i <= j; ++i) G(i, j) = G(j, i) = g[i];
    subtract_combination(V, h, x);
    beta_last = norm2(x);
    // A second pass only when the first removed most of x (Daniel–Gragg–Kaufman–Stewart): below
    // that the first pass leaves rounding of relative size u·before/beta, which the second removes.
    if (!(beta_last > REORTH_RATIO * before)) {
      project(V, x, nullptr, h2, unused);
      subtract_combination(V, h2, x);
      for (u64 i = 0; i <= j; ++i) h[i] += h2[i];
      beta_last = norm2(x);
      ++tm.reorthogonalisations;
    }
    for (u64 i = 0; i <= j; ++i) H(i, j) = h[i];
    H(j + 1, j) = beta_last;
    k = j + 1;
    if (beta_last < BREAKDOWN) {  // NaN does not stop here; it surfaces in the projection
      invariant = true;
      break;
    }
    v.resize(n);
    for (u64 i = 0; i < n; ++i) v[i] = cplx(x[i].real() / beta_last, x[i].imag() / beta_last);
  }
  if (k > 0 && !invariant) {  // the column of G that the Arnoldi remainder meets
    sym_matvec(fm, fm.mass, v, w);
    project(V, w, &w, h, g);  // only g_i = v_iᵀ B v_k is used
    for (u64 i = 0; i < k; ++i) G(i, k) = g[i];
  }
  tm.steps = k;
  tm.krylov_s = seconds_since(t0);
  eprint("\r  Eigenmode: " + std::to_string(k) + " Lanczos iterations in " + ms(tm.krylov_s) +
         "ms\n");

  // Rayleigh–Ritz of S on span V_k in the bilinear form <x, y>_B = xᵀ B y, in which S is
  // symmetric (E and B are complex symmetric): with G = V_kᵀ B V_k and, by the Arnoldi relation,
  // F = V_kᵀ B S V_k = G_{k,k+1} H̄, the projected problem is F u = θ G u, and the Ritz pair
  // (θ, y = V_k u) gives λ = σ + 1/θ. Gradients are B-orthogonal to every mode, so their one
  // Krylov direction separates cleanly (λ = 0 to ~1e-14 σ; the Hermitian Arnoldi values of H_k
  // leave it at up to ~1e-5 σ for lossy fillings).
  //  Lossless (E, B real, so V real): G is symmetric positive definite and F symmetric, so every
  //  θ, hence every λ, is exactly real and Q = +inf.
  //  Lossy: G⁻¹F by LU and a complex eigendecomposition.
  t0 = Clock::now();
  const Eigen::Index K = static_cast<Eigen::Index>(k);
  Eigen::VectorXcd theta;
  Eigen::MatrixXcd U;
  if (K > 0) {
    Eigen::MatrixXcd Fc = G.topLeftCorner(K, K) * H.topLeftCorner(K, K);
    if (!invariant) Fc.col(K - 1) += beta_last * G.col(K).head(K);
    Fc = (0.5 * (Fc + Fc.transpose())).eval();
    if (fm.real) {
      const Eigen::MatrixXcd Gc = G.topLeftCorner(K, K);
      const Eigen::MatrixXd Gk = Gc.real();
      const Eigen::MatrixXd F = Fc.real();
      if (!F.allFinite() || !Gk.allFinite()) decomposition_failed();
      // G = L Lᵀ; C = L⁻¹ F L⁻ᵀ is symmetric with the same θ; u = L⁻ᵀ z (so uᵀ G u = 1)
      const Eigen::LLT<Eigen::MatrixXd> chol(Gk);
      if (chol.info() != Eigen::Success) decomposition_failed();
      Eigen::MatrixXd C = F;
      chol.matrixL().solveInPlace<Eigen::OnTheLeft>(C);
      chol.matrixU().solveInPlace<Eigen::OnTheRight>(C);
      Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> es(0.5 * (C + C.transpose()));
      if (es.info() != Eigen::Success) decomposition_failed();
      Eigen::MatrixXd Z = es.eigenvectors();
      chol.matrixU().solveInPlace(Z);
      theta = es.eigenvalues().cast<cplx>();
      U = Z.cast<cplx>();
    } else {
      // G is complex symmetric here, definite only in the loose sense that its Hermitian part
      // is when Re εr > 0; where it is numerically singular the Hermitian Galerkin projection
      // (the Arnoldi Ritz values of H_k) takes over.
      const Eigen::MatrixXcd Gk = G.topLeftCorner(K, K);
      const Eigen::MatrixXcd Hk = H.topLeftCorner(K, K);
      if (!Fc.allFinite() || !Gk.allFinite() || !Hk.allFinite()) decomposition_failed();
      const Eigen::PartialPivLU<Eigen::MatrixXcd> lu(Gk);
      const bool pencil = lu.rcond() > GRAM_RCOND;
      Eigen::ComplexEigenSolver<Eigen::MatrixXcd> es(pencil ? Eigen::MatrixXcd(lu.solve(Fc)) : Hk, true);
      if (es.info() != Eigen::Success) decomposition_failed();
      theta = es.eigenvalues();
      U = es.eigenvectors();
    }
  }

  const std::vector<RitzValue> candidates =
      ritz_candidates(std::span<const cplx>(theta.data(), static_cast<std::size_t>(K)), sigma);

  // Nearest first, each Ritz pair checked against the full problem before it is taken.
  std::vector<EigenmodeResult> out;
  CVec ay, by;
  for (const RitzValue& c : candidates) {
    if (out.size() >= n_modes) break;
    const CVec y = combine(V, Eigen::VectorXcd(U.col(static_cast<Eigen::Index>(c.index))), n);
    // E y − λ B y = A y + (σ − λ) B y and E y = A y + σ B y, with A = E − σB
    sym_matvec(fm, fm.shifted, y, ay);
    sym_matvec(fm, fm.mass, y, by);
    double r2 = 0.0, e2 = 0.0;
    const cplx shift_gap = cplx(sigma, 0.0) - c.lambda;
    for (u64 i = 0; i < n; ++i) {
      r2 += std::norm(ay[i] + shift_gap * by[i]);
      e2 += std::norm(ay[i] + sigma * by[i]);
    }
    EigenmodeResult r;
    r.residual = std::sqrt(r2) / std::sqrt(e2);
    if (!(r.residual <= RESIDUAL_LIMIT)) continue;  // NaN (E y = 0) included
    r.field.assign(basis.n_dofs, cplx(0.0, 0.0));
    for (u64 l = 0; l < n; ++l) r.field[free[l]] = y[l];
    const cplx kappa = csqrt_principal(c.lambda);
    const cplx f = cmul(kappa, cplx(C0_OVER_TWO_PI, 0.0));
    r.frequency_hz = f.real();
    r.frequency_imag_hz = f.imag();
    r.q_factor = std::abs(f.imag()) > Q_LIMIT ? f.real() / (2.0 * std::abs(f.imag()))
                                              : std::numeric_limits<double>::infinity();
    r.eigenvalue = c.lambda;
    out.push_back(std::move(r));
  }
  tm.ritz_s = seconds_since(t0);
  return out;
}

}  // namespace vantrel
