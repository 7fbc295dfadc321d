#include "td/propagator.hpp"

#include <algorithm>
#include <cmath>

namespace vantrel {

namespace {

// Below this many multiply-adds a Gram–Schmidt pass runs on the calling thread: the pool's start-up
// costs more than the work. The split does not change any result (each sum has a fixed order).
constexpr std::size_t SERIAL_WORK = 1 << 15;

void grow_to(std::vector<double>& v, std::size_t len) {
  if (v.size() < len) v.resize(len, 0.0);
}

// g[i0 + c] = ⟨V_{i0+c}, w⟩ for c < G: G sequential sums, each in index order from −0.0. Running
// them side by side only overlaps their add latencies; each is the plain sequential inner product.
template <std::size_t G>
void dot_chunk(const double* basis, std::size_t i0, const double* w, std::size_t n, double* g) {
  double s[G];
  const double* v[G];
  for (std::size_t c = 0; c < G; ++c) {
    s[c] = -0.0;
    v[c] = basis + (i0 + c) * n;
  }
  for (std::size_t t = 0; t < n; ++t) {
    const double wt = w[t];
    for (std::size_t c = 0; c < G; ++c) s[c] += v[c][t] * wt;
  }
  for (std::size_t c = 0; c < G; ++c) g[i0 + c] = s[c];
}

constexpr std::size_t MAX_DOT_GROUP = 8;

// g[i] = ⟨V_i, w⟩ for i in [lo, hi), at most MAX_DOT_GROUP sums per sweep over w.
void dot_range(const double* basis, std::size_t lo, std::size_t hi, const double* w, std::size_t n,
               double* g) {
  while (lo < hi) {
    const std::size_t c = std::min(hi - lo, MAX_DOT_GROUP);
    switch (c) {
      case 1: dot_chunk<1>(basis, lo, w, n, g); break;
      case 2: dot_chunk<2>(basis, lo, w, n, g); break;
      case 3: dot_chunk<3>(basis, lo, w, n, g); break;
      case 4: dot_chunk<4>(basis, lo, w, n, g); break;
      case 5: dot_chunk<5>(basis, lo, w, n, g); break;
      case 6: dot_chunk<6>(basis, lo, w, n, g); break;
      case 7: dot_chunk<7>(basis, lo, w, n, g); break;
      default: dot_chunk<8>(basis, lo, w, n, g); break;
    }
    lo += c;
  }
}

// w[lo, hi) −= Σ_{i≤j} g_i·V_i[lo, hi), one basis vector at a time in ascending i.
void subtract_projections(double* w, const double* basis, const double* g, std::size_t j,
                          std::size_t n, std::size_t lo, std::size_t hi) {
  for (std::size_t i = 0; i <= j; ++i) {
    const double gi = g[i];
    const double* v = basis + i * n;
    for (std::size_t t = lo; t < hi; ++t) w[t] -= gi * v[t];
  }
}

// Runs body(lo, hi) over the KRYLOV_CHUNK-entry chunks of [0, n); in parallel when the chunks
// are many or heavy enough.
template <class F>
void for_chunks(std::size_t n, std::size_t work_per_entry, F&& body) {
  const std::size_t chunks = (n + KRYLOV_CHUNK - 1) / KRYLOV_CHUNK;
  auto run = [&](std::size_t c) {
    const std::size_t lo = c * KRYLOV_CHUNK;
    body(lo, std::min(n, lo + KRYLOV_CHUNK));
  };
  if (chunks <= 1 || n * work_per_entry < SERIAL_WORK) {
    for (std::size_t c = 0; c < chunks; ++c) run(c);
  } else {
    parallel_for(chunks, run);
  }
}

// One classical Gram–Schmidt pass of w against V_0..V_j; adds the coefficients to column j of H.
void gram_schmidt_pass(KrylovWorkspace& ws, std::size_t n, std::size_t m, std::size_t j) {
  const double* basis = ws.basis.data();
  double* w = ws.w.data();
  double* g = ws.coeffs.data();
  const std::size_t count = j + 1;
  if (count == 1 || n * count < SERIAL_WORK) {
    dot_range(basis, 0, count, w, n, g);
  } else {
    // One job per group of coefficients, as many groups as workers (each coefficient's sum is
    // sequential and unsplit, so the grouping does not change any value).
    const std::size_t jobs = std::min(count, std::max<std::size_t>(worker_count(), 1));
    parallel_for(jobs, [&](std::size_t q) {
      dot_range(basis, q * count / jobs, (q + 1) * count / jobs, w, n, g);
    });
  }
  for_chunks(n, j + 1, [&](std::size_t lo, std::size_t hi) {
    subtract_projections(w, basis, g, j, n, lo, hi);
  });
  for (std::size_t i = 0; i <= j; ++i) ws.hess[i * m + j] += g[i];
}

// hess_scaled = h·H on the leading k×k block (compact), exp_hess = exp(hess_scaled).
void form_scaled_exponential(KrylovWorkspace& ws, double h, std::size_t k, std::size_t m) {
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j < k; ++j) ws.hess_scaled[i * k + j] = h * ws.hess[i * m + j];
  matrix_exponential(std::span<const double>(ws.hess_scaled.data(), k * k), k,
                     std::span<double>(ws.exp_hess.data(), k * k), ws.expm);
}

// A Krylov space cannot be larger than the state: a larger request (including one whose n·m or
// m² would overflow) is served by the whole space, which Arnoldi reaches at dimension n at most.
std::size_t effective_krylov_dim(std::size_t m, std::size_t n) { return std::min(m, n); }

bool all_finite(std::span<const double> v) {
  for (double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

}  // namespace

KrylovWorkspace new_krylov_workspace() { return KrylovWorkspace{}; }

void ensure_workspace(KrylovWorkspace& ws, std::size_t n, std::size_t m) {
  grow_to(ws.basis, n + n * m);
  grow_to(ws.w, n);
  grow_to(ws.coeffs, m);
  if (ws.hess.size() < m * m) {
    grow_to(ws.hess, m * m);
    grow_to(ws.hess_scaled, m * m);
    grow_to(ws.exp_hess, m * m);
  }
}

double norm2(std::span<const double> x) {
  double s = -0.0;
  for (double v : x) s += v * v;
  return std::sqrt(s);
}

// The j loop is the whole cost of the small exponentials; on x86-64 an AVX2 clone runs it four
// wide. Neither clone uses FMA, so both give the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VANTREL_MATMUL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VANTREL_MATMUL_CLONES
#endif
VANTREL_MATMUL_CLONES void dense_matmul(const double* a, const double* b, std::size_t d,
                                        double* c) {
  std::fill_n(c, d * d, 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    double* ci = c + i * d;
    for (std::size_t p = 0; p < d; ++p) {
      const double aip = a[i * d + p];
      if (aip == 0.0) continue;  // −0.0 == 0.0; NaN is kept
      const double* bp = b + p * d;
      for (std::size_t j = 0; j < d; ++j) ci[j] += aip * bp[j];
    }
  }
}

std::uint32_t expm_scaling_count(double nu) {
  if (!(nu > 0.5)) return 0;  // also NaN
  return saturating_cast<std::uint32_t>(std::fmax(std::ceil(std::log2(nu)) + 1.0, 0.0));
}

void matrix_exponential(std::span<const double> a, std::size_t d, std::span<double> out,
                        ExpmScratch& sc) {
  const std::size_t dd = d * d;
  if (sc.size < dd) {
    for (auto* v : {&sc.a_scaled, &sc.result, &sc.term, &sc.product, &sc.square}) v->assign(dd, 0.0);
    sc.size = dd;
  }
  // ∞-norm: largest absolute row sum; a NaN row sum does not count (fmax).
  double nu = 0.0;
  for (std::size_t i = 0; i < d; ++i) {
    double row = 0.0;
    for (std::size_t j = 0; j < d; ++j) row += std::fabs(a[i * d + j]);
    nu = std::fmax(nu, row);
  }
  if (std::isinf(nu)) {
    // No finite number of squarings brings an infinite norm down: the exponential is undefined.
    std::fill_n(out.data(), dd, std::nan(""));
    return;
  }
  const std::uint32_t s = expm_scaling_count(nu);
  // A_s = a / 2^s. ldexp is the exact division by 2^s, and stays right where 2^s itself would
  // overflow a double (s > 1023).
  for (std::size_t t = 0; t < dd; ++t) sc.a_scaled[t] = std::ldexp(a[t], -static_cast<int>(s));

  std::fill_n(sc.result.data(), dd, 0.0);
  std::fill_n(sc.term.data(), dd, 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    sc.result[i * (d + 1)] = 1.0;
    sc.term[i * (d + 1)] = 1.0;
  }
  // result = Σ_{q=0}^{18} A_s^q / q!, each term from the previous one: T_q = T_{q−1}·A_s·(1/q).
  for (int q = 1; q <= EXPM_TAYLOR_TERMS; ++q) {
    dense_matmul(sc.term.data(), sc.a_scaled.data(), d, sc.product.data());
    const double inv_q = 1.0 / static_cast<double>(q);
    for (std::size_t t = 0; t < dd; ++t) {
      sc.product[t] *= inv_q;
      sc.result[t] += sc.product[t];
    }
    std::swap(sc.term, sc.product);
  }
  // exp(a) = (exp(A_s))^(2^s).
  for (std::uint32_t q = 0; q < s; ++q) {
    dense_matmul(sc.result.data(), sc.result.data(), d, sc.square.data());
    std::swap(sc.result, sc.square);
  }
  std::copy_n(sc.result.data(), dd, out.data());
}

namespace {

struct ArnoldiOutcome {
  bool trusted;  // breakdown, or ‖h·H_k‖∞ within the range a k-dimensional space resolves
  double nu;     // ‖h·H_k‖∞
  double limit;  // the largest trusted ‖h·H_k‖∞ for this k and way of stopping
};

// One Arnoldi exponential step of length h from x (m already capped at N). When the outcome is
// trusted, out = β·V_k·exp(h·H_k)·e₁; otherwise out is left as it was.
ArnoldiOutcome arnoldi_exp(KrylovWorkspace& ws, std::span<const double> x, double h,
                           std::size_t m, ApplyRef apply, std::span<double> out) {
  const std::size_t n = x.size();
  const double beta = norm2(x);
  if (beta == 0.0) {
    std::fill(out.begin(), out.end(), 0.0);
    return {true, 0.0, 0.0};
  }
  if (!std::isfinite(beta)) throw Error("Krylov step: the state norm is not finite");

  double* basis = ws.basis.data();
  const double inv_beta = 1.0 / beta;
  for (std::size_t t = 0; t < n; ++t) basis[t] = x[t] * inv_beta;
  std::fill_n(ws.hess.data(), m * m, 0.0);

  std::size_t k = 0;
  bool breakdown = false, converged = false;
  for (std::size_t j = 0; j < m; ++j) {
    std::span<double> w(ws.w.data(), n);
    apply(std::span<const double>(basis + j * n, n), w);
    // Two classical Gram–Schmidt passes, always both: the second restores orthogonality lost to
    // cancellation in the first.
    gram_schmidt_pass(ws, n, m, j);
    gram_schmidt_pass(ws, n, m, j);
    const double b = norm2(w);
    k = j + 1;
    breakdown = b < ARNOLDI_BREAKDOWN;  // invariant subspace: the approximation is exact
    if (breakdown || k == m) break;
    // A-posteriori error of the k-dimensional approximation, relative to ‖x‖:
    // b·|e_kᵀ·exp(h·H_k)·e₁|.
    form_scaled_exponential(ws, h, k, m);
    if (b * std::fabs(ws.exp_hess[(k - 1) * k]) < KRYLOV_ERROR_STOP) {
      converged = true;
      break;
    }
    ws.hess[(j + 1) * m + j] = b;
    const double inv_b = 1.0 / b;
    double* next = basis + (j + 1) * n;
    for_chunks(n, 1, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t t = lo; t < hi; ++t) next[t] = ws.w[t] * inv_b;
    });
  }

  form_scaled_exponential(ws, h, k, m);
  double nu = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    double row = 0.0;
    for (std::size_t j = 0; j < k; ++j) row += std::fabs(ws.hess_scaled[i * k + j]);
    nu = std::fmax(nu, row);
  }
  // The estimate is the leading term of the error only while ‖h·H_k‖ is of the order of k (the
  // regime of superlinear Krylov convergence). Beyond it a strongly damped h·H_k makes exp(h·H_k)
  // tiny, the estimate passes at k = 1 or 2, and the step returns ≈ 0 where the answer keeps
  // its undamped (e.g. static) part. A space filled to m without meeting the estimate is
  // accurate only for ‖h·H_m‖ well below m. Such steps are not used.
  const double limit =
      (converged ? KRYLOV_TRUST : KRYLOV_TRUST_FULL) * static_cast<double>(k);
  if (!breakdown && !(nu <= limit)) return {false, nu, limit};

  // out = β·V_k·exp(h·H_k)·e₁: only the first column of the small exponential is used.
  double bound = 0.0;
  for (std::size_t i = 0; i < k; ++i) bound += std::fabs(beta * ws.exp_hess[i * k]);
  if (!std::isfinite(bound))
    throw Error("Krylov step overflowed: exp(h\u00b7H) is not finite (step h too large)");
  const double* e = ws.exp_hess.data();
  for_chunks(n, k, [&](std::size_t lo, std::size_t hi) {
    std::fill(out.begin() + lo, out.begin() + hi, 0.0);
    for (std::size_t i = 0; i < k; ++i) {
      const double ci = beta * e[i * k];
      const double* v = basis + i * n;
      for (std::size_t t = lo; t < hi; ++t) out[t] += ci * v[t];
    }
  });
  return {true, nu, limit};
}

// Substeps that bring ‖τ·H_k‖∞ = ν/q down to the trusted limit: at least 2.
u64 substep_factor(const ArnoldiOutcome& o) {
  const double q = std::ceil(o.nu / o.limit);
  return std::max<u64>(2, saturating_cast<u64>(q));
}

}  // namespace

void krylov_exp_step(KrylovWorkspace& ws, std::span<const double> x, double h, std::size_t m,
                     ApplyRef apply, std::span<double> out) {
  const std::size_t n = x.size();
  m = effective_krylov_dim(m, n);
  ensure_workspace(ws, n, m);
  if (m == 0) {
    std::fill(out.begin(), out.end(), 0.0);
    return;
  }
  ArnoldiOutcome o = arnoldi_exp(ws, x, h, m, apply, out);
  if (o.trusted) return;

  // The step is too long for one Krylov space: exp(h·A) = exp(τ·A)^parts with τ = h/parts. The
  // running state lives in sub_state; a substep that is itself untrusted refines τ further.
  grow_to(ws.sub_state, n);
  std::span<double> state(ws.sub_state.data(), n);
  std::copy(x.begin(), x.end(), state.begin());
  u64 parts = 1, done = 0;
  auto refine = [&](u64 factor) {
    if (factor > MAX_KRYLOV_SUBSTEPS / parts)
      throw Error("Krylov step did not converge: h is too long for krylov_dim (more than " +
                  std::to_string(MAX_KRYLOV_SUBSTEPS) + " substeps needed)");
    parts *= factor;
    done *= factor;
  };
  refine(substep_factor(o));
  while (done < parts) {
    o = arnoldi_exp(ws, state, h / static_cast<double>(parts), m, apply, out);
    if (!o.trusted) {
      refine(substep_factor(o));
      continue;
    }
    if (++done < parts) std::copy(out.begin(), out.end(), state.begin());
  }
}

void check_step_arguments(std::span<const double> y, double h, std::size_t m, std::size_t n_dof) {
  if (y.size() != n_dof) throw Error("state length must equal n_dof");
  // An infinite h·H has no finite scaling and a NaN one has no meaning.
  if (!std::isfinite(h)) throw Error("step size h must be finite");
  if (m == 0) throw Error("krylov_dim must be at least 1");
  if (!all_finite(y)) throw Error("state vector must be finite");
}

std::vector<double> step_plain(KrylovWorkspace& ws, std::span<const double> y, double h,
                               std::size_t m, std::size_t n_dof, ApplyRef apply) {
  check_step_arguments(y, h, m, n_dof);
  std::vector<double> out(y.size());
  krylov_exp_step(ws, y, h, m, apply, out);
  return out;
}

namespace {

// The augmented step: state [y; 1], operator [[A, b], [0, 0]].
std::vector<double> augmented_step(KrylovWorkspace& ws, std::span<const double> y,
                                   std::span<const double> b, double h, std::size_t m,
                                   ApplyRef apply) {
  const std::size_t n = y.size();
  ws.aug_state.resize(n + 1);
  std::copy(y.begin(), y.end(), ws.aug_state.begin());
  ws.aug_state[n] = 1.0;
  ws.aug_result.resize(n + 1);
  auto aug_apply = [&](std::span<const double> v, std::span<double> w) {
    apply(v.first(n), w.first(n));
    const double vn = v[n];
    for (std::size_t t = 0; t < n; ++t) w[t] += vn * b[t];
    w[n] = 0.0;
  };
  krylov_exp_step(ws, ws.aug_state, h, m, aug_apply, ws.aug_result);
  return std::vector<double>(ws.aug_result.begin(), ws.aug_result.begin() + n);
}

}  // namespace

std::vector<double> step_with_source(KrylovWorkspace& ws, std::span<const double> y,
                                     std::span<const double> source, double h, std::size_t m,
                                     std::size_t n_dof, ApplyRef apply) {
  if (source.size() != y.size()) throw Error("source length must equal n_dof");
  check_step_arguments(y, h, m, n_dof);
  if (!all_finite(source)) throw Error("source vector must be finite");
  return augmented_step(ws, y, source, h, m, apply);
}

std::vector<double> step_driven(KrylovWorkspace& ws, std::vector<double>& source,
                                std::span<const double> y, u64 source_dof, double source_value,
                                double h, std::size_t m, std::size_t n_dof, ApplyRef apply) {
  if (source_dof >= y.size()) throw Error("source_dof out of range");
  check_step_arguments(y, h, m, n_dof);
  if (!std::isfinite(source_value)) throw Error("source_value must be finite");
  const std::size_t n = y.size();
  if (source.size() != n) source.assign(n, 0.0);
  // The single-unknown source lives in `source` only while the step runs: cleared on every exit,
  // a failed step included, so the next call sees only its own entry.
  struct ClearEntry {
    double& entry;
    ~ClearEntry() { entry = 0.0; }
  } clear{source[source_dof]};
  source[source_dof] = source_value;
  return augmented_step(ws, y, source, h, m, apply);
}

}  // namespace vantrel
