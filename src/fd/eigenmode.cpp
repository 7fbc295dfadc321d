#include "fd/eigenmode.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include <Eigen/Dense>

#include "fd/gradients.hpp"
#include "fd/solver/select.hpp"
#include "fd/sweep.hpp"
#include "fd/tet_assembly.hpp"

namespace vantrel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double C0 = 299792458.0;
constexpr double C0_OVER_TWO_PI = 47713451.59236942;
constexpr double SMALLEST_RITZ = 1e-30;  // |θ| below this gives no finite λ = s + 1/θ
constexpr double Q_LIMIT = 1e-30;        // |Im f| at or below this: lossless, Q = +inf
// What the gradient projection leaves of the null space of E comes back as λ = s·ε with ε of the
// order of the rounding (1e-14 .. 1e-12 measured); 1e-6 leaves a wide margin and drops a genuine
// mode only below 1/1000 of the shift's frequency, where the search is not aimed.
constexpr double GRADIENT_LAMBDA = 1e-6;
// The shift never comes closer to 0 than this fraction of the scale Σ E_ii / Σ B_ii (about the
// middle of the discrete spectrum): below it E − sB is singular to working precision on the
// gradients. The lowest resonance of a mesh lies far above it (1e-3 .. 1e-5 of the scale for
// 10 .. 300 elements across), so a shift of −floor converges on the lowest modes.
constexpr double SHIFT_FLOOR = 1e-6;
// A new Krylov direction whose B-size is below this fraction of S v's adds nothing: the space is
// invariant (relative, so the test does not depend on the units).
constexpr double BREAKDOWN = 1e-12;
// |xᵀBx| below this fraction of |xᴴBx| (complex vectors of a lossy filling): the bilinear form
// cannot normalise the vector, which is treated as a breakdown.
constexpr double ISOTROPIC = 1e-10;
// A gradient part removed from a new Krylov vector below this fraction of its B-size leaves B x
// as it was: what B x then holds in excess is B g, g a gradient, which is B-orthogonal to the
// basis (the coefficients and norms do not see it) and which the next projection removes from
// the next solution. Above it, B x is formed again.
constexpr double GRADIENT_STALE = 1e-8;
// Gram–Schmidt: another pass when a pass keeps less than this fraction of the vector's B-size,
// at most MAX_PASSES in all.
constexpr double REORTH_RATIO = 0.7071067811865476;
constexpr int MAX_PASSES = 4;
// The residual of a Ritz pair in the shift-inverted problem, relative to θ, below which its true
// residual ‖E y − λ B y‖ / ‖E y‖ is worth computing: the true one is not smaller (Ey − λBy =
// −A r/θ with A = E − sB, and A does not shrink the residual direction below |λ − s|).
constexpr double ESTIMATE_GATE = 1e-6;
// Basis size: min(3·n_modes + 20, 100) as a first space, at least 2·n_modes + 20 so that a
// restart keeps the wanted pairs and room to improve them, never above this.
constexpr u64 MAX_BASIS = 1000;
// Budget: the search stops after this many times the basis size in solves.
constexpr u64 BUDGET_FACTOR = 10;
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
  CVec shifted;                // E − sB
  CVec mass;                   // B
  bool real = true;            // every E and B value has a zero imaginary part
  // The same values as real numbers, in place of the complex ones once the back end has them
  // (lossless fillings: half the memory traffic of every product).
  std::vector<double> shifted_re, mass_re;
};

void keep_real_values(FreeMatrices& fm) {
  if (!fm.real) return;
  for (auto [src, dst] : {std::pair{&fm.shifted, &fm.shifted_re}, std::pair{&fm.mass, &fm.mass_re}}) {
    dst->resize(src->size());
    for (std::size_t k = 0; k < src->size(); ++k) (*dst)[k] = (*src)[k].real();
    *src = CVec{};
  }
}

// Σ Re E_ii / Σ Re B_ii: a size of the pencil's spectrum in rad²/m² that scales with the units
// and the materials as the eigenvalues do.
double spectral_scale(const FreeElementSystem& sys) {
  double e = 0.0, b = 0.0;
  for (std::size_t k = 0; k < sys.rows.size(); ++k)
    if (sys.rows[k] == sys.cols[k]) {
      e += sys.e[k].real();
      b += sys.b[k].real();
    }
  return e / b;
}

FreeMatrices build_free_matrices(u64 n_free, FreeElementSystem&& sys, double shift) {
  FreeMatrices fm;
  fm.n = n_free;
  const std::size_t nnz = sys.rows.size();
  fm.col_start.assign(fm.n + 1, 0);
  for (u64 c : sys.cols) ++fm.col_start[c + 1];
  for (u64 c = 0; c < fm.n; ++c) fm.col_start[c + 1] += fm.col_start[c];
  fm.shifted.resize(nnz);
  for (std::size_t k = 0; k < nnz; ++k) {
    const cplx e = sys.e[k], b = sys.b[k];
    fm.shifted[k] = cplx(e.real() - shift * b.real(), e.imag() - shift * b.imag());
    if (e.imag() != 0.0 || b.imag() != 0.0) fm.real = false;
  }
  fm.rows = std::move(sys.rows);
  fm.cols = std::move(sys.cols);
  fm.mass = std::move(sys.b);
  return fm;
}

template <class Value, class T>
void sym_matvec(const FreeMatrices& fm, const std::vector<Value>& vals, std::span<const T> x,
                std::vector<T>& y) {
  y.resize(fm.n);
  parallel_for(
      fm.n,
      [&](std::size_t c) {
        T s(0.0);
        for (u64 k = fm.col_start[c]; k < fm.col_start[c + 1]; ++k) s += vals[k] * x[fm.rows[k]];
        y[c] = s;
      },
      1024);
}

// Real for a lossless filling (every vector of the search stays real), complex otherwise.
template <class T>
using Vec = std::vector<T>;
template <class T>
using DenseVec = Eigen::Matrix<T, Eigen::Dynamic, 1>;
template <class T>
using DenseMat = Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic>;

inline double conj_of(double x) { return x; }
inline cplx conj_of(cplx x) { return std::conj(x); }

// Row-block sums of per-row terms, added in block order (independent of the thread count).
template <class T, class Term>
T blocked_sum(std::size_t n, Term term) {
  const std::size_t nb = n_blocks(n);
  std::vector<T> part(nb);
  parallel_for(nb, [&](std::size_t b) {
    T s(0.0);
    for (std::size_t r = b * ROW_BLOCK; r < std::min(n, (b + 1) * ROW_BLOCK); ++r) s += term(r);
    part[b] = s;
  });
  T s(0.0);
  for (const T& p : part) s += p;
  return s;
}

template <class T>
T bilinear(std::span<const T> x, std::span<const T> y) {
  return blocked_sum<T>(x.size(), [&](std::size_t r) { return x[r] * y[r]; });
}
template <class T>
T hermitian(std::span<const T> x, std::span<const T> y) {
  return blocked_sum<T>(x.size(), [&](std::size_t r) { return conj_of(x[r]) * y[r]; });
}
// |xᴴ B x|^½ from x and B x: the size of x the Gram–Schmidt passes compare.
template <class T>
double b_size(const Vec<T>& x, const Vec<T>& bx) {
  return std::sqrt(std::abs(hermitian<T>(x, bx)));
}

// B x and (E − sB) x: a real search (lossless filling) reads the real copies of the values.
template <class T>
void mass_product(const FreeMatrices& fm, std::span<const T> x, Vec<T>& y) {
  if constexpr (std::is_same_v<T, double>) sym_matvec(fm, fm.mass_re, x, y);
  else sym_matvec(fm, fm.mass, x, y);
}
template <class T>
void shifted_product(const FreeMatrices& fm, std::span<const T> x, Vec<T>& y) {
  if constexpr (std::is_same_v<T, double>) sym_matvec(fm, fm.shifted_re, x, y);
  else sym_matvec(fm, fm.shifted, x, y);
}

// The Krylov basis: column j of an n × cap column-major block.
template <class T>
struct Basis {
  std::size_t n = 0, cap = 0;
  Vec<T> data;
  T* col(std::size_t j) { return data.data() + j * n; }
  const T* col(std::size_t j) const { return data.data() + j * n; }
};

// c_i = V_iᵀ y (bilinear) for the first k columns, in one pass over V.
template <class T>
DenseVec<T> basis_dots(const Basis<T>& V, std::size_t k, std::span<const T> y) {
  const std::size_t n = V.n, nb = n_blocks(n);
  std::vector<T> part(nb * k);
  parallel_for(nb, [&](std::size_t b) {
    const std::size_t lo = b * ROW_BLOCK, hi = std::min(n, lo + ROW_BLOCK);
    for (std::size_t i = 0; i < k; ++i) {
      const T* v = V.col(i);
      T s(0.0);
      for (std::size_t r = lo; r < hi; ++r) s += v[r] * y[r];
      part[b * k + i] = s;
    }
  });
  DenseVec<T> c = DenseVec<T>::Zero(static_cast<Eigen::Index>(k));
  for (std::size_t b = 0; b < nb; ++b)
    for (std::size_t i = 0; i < k; ++i) c[static_cast<Eigen::Index>(i)] += part[b * k + i];
  return c;
}

// x ← x − Σ_i c_i V_i over the first c.size() columns
template <class T>
void subtract_combination(const Basis<T>& V, const DenseVec<T>& c, Vec<T>& x) {
  const std::size_t n = V.n;
  parallel_for(n_blocks(n), [&](std::size_t b) {
    const std::size_t lo = b * ROW_BLOCK, hi = std::min(n, lo + ROW_BLOCK);
    for (Eigen::Index i = 0; i < c.size(); ++i) {
      const T* v = V.col(static_cast<std::size_t>(i));
      const T ci = c[i];
      for (std::size_t r = lo; r < hi; ++r) x[r] -= ci * v[r];
    }
  });
}

// Y = V_k U (n × p), row block by row block.
template <class T>
DenseMat<T> combine(const Basis<T>& V, const DenseMat<T>& U) {
  const std::size_t n = V.n;
  const Eigen::Index k = U.rows(), p = U.cols();
  DenseMat<T> Y(static_cast<Eigen::Index>(n), p);
  const Eigen::Map<const DenseMat<T>> Vm(V.data.data(), static_cast<Eigen::Index>(n), k);
  parallel_for(n_blocks(n), [&](std::size_t b) {
    const Eigen::Index lo = static_cast<Eigen::Index>(b * ROW_BLOCK);
    const Eigen::Index rows = std::min<Eigen::Index>(static_cast<Eigen::Index>(ROW_BLOCK),
                                                     static_cast<Eigen::Index>(n) - lo);
    Y.middleRows(lo, rows).noalias() = Vm.middleRows(lo, rows) * U;
  });
  return Y;
}

// The first p columns of V become V_k U, in place (each row block is read before it is written).
template <class T>
void rotate_basis(Basis<T>& V, const DenseMat<T>& U) {
  const std::size_t n = V.n;
  const Eigen::Index k = U.rows(), p = U.cols();
  Eigen::Map<DenseMat<T>> Vm(V.data.data(), static_cast<Eigen::Index>(n), k);
  parallel_for(n_blocks(n), [&](std::size_t b) {
    const Eigen::Index lo = static_cast<Eigen::Index>(b * ROW_BLOCK);
    const Eigen::Index rows = std::min<Eigen::Index>(static_cast<Eigen::Index>(ROW_BLOCK),
                                                     static_cast<Eigen::Index>(n) - lo);
    const DenseMat<T> block = Vm.middleRows(lo, rows) * U;
    Vm.middleRows(lo, rows).leftCols(p) = block;
  });
}

// The projected problem is kept complex; a real search takes the real parts of its vectors.
template <class T>
DenseMat<T> as_scalar(const Eigen::MatrixXcd& m) {
  if constexpr (std::is_same_v<T, double>) return m.real();
  else return m;
}

std::string ms(double seconds) { return fmt_fixed(seconds * 1000.0, 1); }

[[noreturn]] void decomposition_failed() { throw Error("eigendecomposition failed: NoConvergence"); }

// Eigenpairs of the projected matrix H (complex symmetric; real symmetric for a lossless
// filling). Eigenvectors are normalised in the bilinear form, uᵀu = 1; `usable` is false for one
// that cannot be (uᵀu ≈ 0).
struct ProjectedEigen {
  Eigen::VectorXcd theta;
  Eigen::MatrixXcd U;
  std::vector<bool> usable;
};

ProjectedEigen projected_eigen(const Eigen::MatrixXcd& H, bool real) {
  ProjectedEigen pe;
  const Eigen::Index k = H.rows();
  if (!H.allFinite()) decomposition_failed();
  if (real) {
    // exactly symmetric and real: the Ritz values of a lossless problem are real
    const Eigen::MatrixXd Hr = H.real();
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> es(0.5 * (Hr + Hr.transpose()));
    if (es.info() != Eigen::Success) decomposition_failed();
    pe.theta = es.eigenvalues().cast<cplx>();
    pe.U = es.eigenvectors().cast<cplx>();
    pe.usable.assign(static_cast<std::size_t>(k), true);
    return pe;
  }
  Eigen::ComplexEigenSolver<Eigen::MatrixXcd> es(0.5 * (H + H.transpose()), true);
  if (es.info() != Eigen::Success) decomposition_failed();
  pe.theta = es.eigenvalues();
  pe.U = es.eigenvectors();
  pe.usable.assign(static_cast<std::size_t>(k), true);
  for (Eigen::Index i = 0; i < k; ++i) {
    const cplx s = (pe.U.col(i).transpose() * pe.U.col(i))(0, 0);
    if (std::abs(s) <= 1e-8 * pe.U.col(i).squaredNorm()) {
      pe.usable[static_cast<std::size_t>(i)] = false;
      continue;
    }
    pe.U.col(i) /= csqrt_principal(s);
  }
  return pe;
}

// Bilinear Gram–Schmidt on the columns of U (within a cluster of equal θ the eigenvectors of a
// complex symmetric matrix need not be bilinearly orthogonal); columns that cannot be normalised
// are dropped. The span, an invariant subspace of H, is kept.
Eigen::MatrixXcd bilinear_orthonormalise(const Eigen::MatrixXcd& U) {
  Eigen::MatrixXcd Q(U.rows(), U.cols());
  Eigen::Index p = 0;
  for (Eigen::Index j = 0; j < U.cols(); ++j) {
    Eigen::VectorXcd u = U.col(j);
    for (int pass = 0; pass < 2; ++pass)
      for (Eigen::Index i = 0; i < p; ++i) u -= (Q.col(i).transpose() * u)(0, 0) * Q.col(i);
    const cplx s = (u.transpose() * u)(0, 0);
    if (std::abs(s) <= 1e-8 * u.squaredNorm()) continue;
    Q.col(p++) = u / csqrt_principal(s);
  }
  return Q.leftCols(p);
}

// Deterministic fill of a fresh direction when the Krylov space has become invariant.
template <class T>
void pseudo_random(Vec<T>& x, u64 seed) {
  u64 s = 0x9E3779B97F4A7C15ull ^ (seed * 0xBF58476D1CE4E5B9ull);
  auto next = [&] {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<double>(s >> 11) * (2.0 / 9007199254740992.0) - 1.0;
  };
  for (T& c : x) {
    const double re = next();
    if constexpr (std::is_same_v<T, double>) c = re;
    else c = cplx(re, next());
  }
}

struct Pair {
  cplx lambda;
  CVec y;  // over the free unknowns
  double residual;
};

struct SearchResult {
  std::vector<Pair> pairs;  // converged, nearest to σ first
  u64 wanted = 0;           // how many the search tried to converge
  bool short_of_wanted = false;  // stopped (budget spent) before every wanted pair converged
};

// Shift-invert Lanczos on S = P (E − sB)⁻¹ B in the bilinear form <x, y> = xᵀB y, P the
// B-orthogonal projection off the gradients. E and B are complex symmetric, so S is symmetric in
// that form: with V B-orthonormal (VᵀBV = I) the projected matrix H = VᵀB S V is symmetric and
//   S V_k = V_k H_k + v_k h_k e_kᵀ.
// A Ritz pair (θ, y = V_k u) of H_k gives λ = s + 1/θ, and its residual in S is v_k h_k u_k. Every
// restart keeps the Ritz vectors nearest σ (an invariant subspace of H_k), so the relation holds
// with an arrow row in place of h_k (thick restart). T = double for a lossless filling.
template <class T>
SearchResult lanczos_search(const FreeMatrices& fm, const SparseSolver& solver,
                            const GradientProjector& grad, double shift, double sigma, u64 n_modes,
                            EigenmodeTimings& tm) {
  constexpr bool REAL = std::is_same_v<T, double>;
  const u64 n = fm.n;
  const u64 first = std::min<u64>(n_modes > (NONE_U64 - 20) / 3 ? NONE_U64 : 3 * n_modes + 20, 100);
  const u64 roomy = n_modes > (MAX_BASIS - 20) / 2 ? MAX_BASIS : 2 * n_modes + 20;
  const u64 m = std::min({n, MAX_BASIS, std::max(first, roomy)});
  SearchResult out;
  // A basis that cannot hold the whole space serves at most half its size.
  out.wanted = m == n ? n_modes : std::min(n_modes, m / 2);
  const u64 budget = BUDGET_FACTOR * m;

  Basis<T> V{n, m + 1, Vec<T>(n * (m + 1))};
  Eigen::MatrixXcd H = Eigen::MatrixXcd::Zero(static_cast<Eigen::Index>(m + 1),
                                              static_cast<Eigen::Index>(m + 1));
  Vec<T> v(n), bv, x, bx;
  CVec rhs;  // the back ends take complex right-hand sides: a real search copies bv here

  // x ← P x, then B-orthogonal to the first k columns (twice); returns its B-size before and
  // after, and leaves B x in bx. For a start and after a breakdown only.
  auto fresh_direction = [&](std::size_t k) {
    mass_product<T>(fm, x, bx);
    remove_gradients(grad, x, bx);
    mass_product<T>(fm, x, bx);
    const double before = b_size(x, bx);
    for (int pass = 0; pass < 2 && k > 0; ++pass) {
      subtract_combination(V, basis_dots<T>(V, k, bx), x);
      mass_product<T>(fm, x, bx);
    }
    return std::pair<double, double>(before, b_size(x, bx));
  };
  // v = x / sqrt(xᵀBx), bv = B v; false when x cannot be normalised.
  auto take_direction = [&](double before, double after) {
    const T beta2 = bilinear<T>(x, bx);
    if (!(after > BREAKDOWN * before) || !(std::abs(beta2) > ISOTROPIC * after * after)) return false;
    T inv;
    if constexpr (REAL) inv = 1.0 / std::sqrt(beta2);  // B is positive definite: β² > 0
    else inv = cdiv(cplx(1.0, 0.0), csqrt_principal(beta2));
    v.resize(n);
    bv.resize(n);
    for (u64 i = 0; i < n; ++i) {
      v[i] = x[i] * inv;
      bv[i] = bx[i] * inv;
    }
    return true;
  };

  // Start: the fixed pattern ((13 + 7i) mod 97) / 97, off the gradients, normalised.
  x.resize(n);
  for (u64 i = 0; i < n; ++i) x[i] = T(static_cast<double>((13 + 7 * i) % 97) / 97.0);
  bool have_next = n > 0;
  if (have_next) {
    auto [before, after] = fresh_direction(0);
    have_next = take_direction(before, after);
    for (u64 seed = 1; !have_next && seed <= 3; ++seed) {  // a start inside range(G): another one
      pseudo_random(x, seed);
      auto [b2, a2] = fresh_direction(0);
      have_next = take_direction(b2, a2);
    }
  }

  u64 k = 0;
  cplx coupling(0.0, 0.0);  // h_k: the weight of the next vector v in S v_{k−1}
  while (true) {
    // Expand to m columns (or until the space is exhausted).
    const auto tk = Clock::now();
    while (have_next && k < m) {
      std::copy(v.begin(), v.end(), V.col(k));
      std::span<const cplx> b;
      if constexpr (REAL) {
        rhs.assign(bv.begin(), bv.end());
        b = rhs;
      } else {
        b = bv;
      }
      const auto ts = Clock::now();
      CVec solved = solver.solve(b);
      tm.solve_s += seconds_since(ts);
      ++tm.steps;
      if (solved.size() != n)
        panic("sparse solver returned " + std::to_string(solved.size()) + " values for " +
              std::to_string(n) + " unknowns");
      // the exact solution of a real system with a real right-hand side is real
      if constexpr (REAL) {
        x.resize(n);
        for (u64 i = 0; i < n; ++i) x[i] = solved[i].real();
      } else {
        x = std::move(solved);
      }
      // S v = P x, then B-orthogonal to V. The gradients go first: rounding in the solve can give
      // x a gradient part far above its new direction, and V's own rounding-level gradient
      // content, met by that part, would spoil the coefficients.
      mass_product<T>(fm, x, bx);
      const double removed = remove_gradients(grad, x, bx);
      double before = b_size(x, bx);
      if (removed > GRADIENT_STALE * before) {
        mass_product<T>(fm, x, bx);
        before = b_size(x, bx);
      }
      DenseVec<T> c = basis_dots<T>(V, k + 1, bx);
      subtract_combination(V, c, x);
      mass_product<T>(fm, x, bx);
      double after = b_size(x, bx);
      // Further passes while one removes most of what is left (Daniel–Gragg–Kaufman–Stewart):
      // each leaves rounding of the size of its input, so the last keeps the new direction
      // B-orthogonal to working precision even where it is tiny against S v.
      double pass_in = before;
      for (int pass = 1; pass < MAX_PASSES && !(after > REORTH_RATIO * pass_in); ++pass) {
        const DenseVec<T> c2 = basis_dots<T>(V, k + 1, bx);
        subtract_combination(V, c2, x);
        mass_product<T>(fm, x, bx);
        c += c2;
        pass_in = after;
        after = b_size(x, bx);
        if (pass == 1) ++tm.reorthogonalisations;
      }
      H.col(static_cast<Eigen::Index>(k)).head(static_cast<Eigen::Index>(k + 1)) = c.template cast<cplx>();
      ++k;
      if (take_direction(before, after)) {
        coupling = csqrt_principal(cplx(bilinear<T>(x, bx)));
        H(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k - 1)) = coupling;
        continue;
      }
      // S V_k lies in span V_k: its Ritz pairs are exact. Go on from a fresh direction.
      coupling = cplx(0.0, 0.0);
      have_next = false;
      for (u64 seed = 1; !have_next && seed <= 3 && k < n; ++seed) {
        pseudo_random(x, tm.steps * 8 + seed);
        auto [b2, a2] = fresh_direction(k);
        have_next = take_direction(b2, a2);
      }
    }
    if (k < m) have_next = false;  // the space is exhausted
    tm.krylov_s += seconds_since(tk);

    // Rayleigh–Ritz on span V_k.
    const auto tr = Clock::now();
    const Eigen::Index K = static_cast<Eigen::Index>(k);
    ProjectedEigen pe;
    if (K > 0) pe = projected_eigen(H.topLeftCorner(K, K), REAL);
    const std::vector<RitzValue> cands =
        ritz_candidates(std::span<const cplx>(pe.theta.data(), static_cast<std::size_t>(K)), shift, sigma);
    std::vector<const RitzValue*> usable;
    for (const RitzValue& c : cands)
      if (pe.usable[c.index]) usable.push_back(&c);
    const std::size_t w = std::min<std::size_t>(out.wanted, usable.size());
    // Estimated residuals first; the true ones only when every wanted pair looks converged.
    bool all_estimated = w == out.wanted || !have_next;
    for (std::size_t i = 0; i < w && all_estimated; ++i) {
      const Eigen::Index j = static_cast<Eigen::Index>(usable[i]->index);
      const double est = std::abs(coupling * pe.U(K - 1, j)) / std::abs(pe.theta[j]);
      all_estimated = est <= ESTIMATE_GATE;
    }
    out.pairs.clear();
    bool converged = all_estimated;
    constexpr std::size_t CHUNK = 16;  // Ritz vectors formed at a time
    for (std::size_t i0 = 0; all_estimated && i0 < w; i0 += CHUNK) {
      const std::size_t nc = std::min(CHUNK, w - i0);
      Eigen::MatrixXcd Uw(K, static_cast<Eigen::Index>(nc));
      for (std::size_t i = 0; i < nc; ++i)
        Uw.col(static_cast<Eigen::Index>(i)) = pe.U.col(static_cast<Eigen::Index>(usable[i0 + i]->index));
      const DenseMat<T> Y = combine(V, as_scalar<T>(Uw));
      Vec<T> ay, by;
      for (std::size_t i = 0; i < nc; ++i) {
        const std::span<const T> y(Y.col(static_cast<Eigen::Index>(i)).data(), n);
        // E y − λ B y = A y + (s − λ) B y and E y = A y + s B y, with A = E − sB
        shifted_product<T>(fm, y, ay);
        mass_product<T>(fm, y, by);
        const cplx lambda = usable[i0 + i]->lambda, gap = cplx(shift, 0.0) - lambda;
        const double r2 = blocked_sum<double>(n, [&](std::size_t l) { return std::norm(cplx(ay[l]) + gap * cplx(by[l])); });
        const double e2 = blocked_sum<double>(n, [&](std::size_t l) { return std::norm(cplx(ay[l]) + shift * cplx(by[l])); });
        const double res = std::sqrt(r2) / std::sqrt(e2);
        if (res <= EIGEN_RESIDUAL_TOL)  // NaN (E y = 0) never passes
          out.pairs.push_back({lambda, CVec(y.begin(), y.end()), res});
        else
          converged = false;
      }
    }
    tm.ritz_s += seconds_since(tr);
    if (converged) return out;
    if (!have_next || tm.steps >= budget) {
      out.short_of_wanted = true;
      return out;
    }

    // Thick restart: keep the usable Ritz vectors nearest σ, the wanted ones and as many again
    // as fill half the room left, so that each cycle adds at least a quarter of the basis.
    const u64 keep = std::min<u64>({usable.size(), out.wanted + (m - out.wanted) / 2, m - m / 4});
    Eigen::MatrixXcd Uk(K, static_cast<Eigen::Index>(keep));
    for (u64 i = 0; i < keep; ++i) Uk.col(static_cast<Eigen::Index>(i)) = pe.U.col(static_cast<Eigen::Index>(usable[i]->index));
    const Eigen::MatrixXcd Q = REAL ? Uk : bilinear_orthonormalise(Uk);
    const Eigen::Index p = Q.cols();
    const Eigen::MatrixXcd Hs = 0.5 * (H.topLeftCorner(K, K) + H.topLeftCorner(K, K).transpose());
    const Eigen::MatrixXcd Hp = Q.transpose() * Hs * Q;
    const Eigen::RowVectorXcd arrow = coupling * Q.row(K - 1);
    rotate_basis(V, as_scalar<T>(Q));
    H.setZero();
    H.topLeftCorner(p, p) = Hp;
    H.row(p).head(p) = arrow;
    k = static_cast<u64>(p);
    ++tm.restarts;
  }
}

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

std::vector<RitzValue> ritz_candidates(std::span<const cplx> theta, double shift, double sigma) {
  std::vector<RitzValue> out;
  for (std::size_t i = 0; i < theta.size(); ++i) {
    const cplx th = theta[i];
    if (std::hypot(th.real(), th.imag()) < SMALLEST_RITZ) continue;
    const cplx lambda = cplx(shift, 0.0) + cdiv(cplx(1.0, 0.0), th);
    if (!std::isfinite(lambda.real()) || !std::isfinite(lambda.imag())) continue;
    if (lambda.real() <= 0.0) continue;
    if (std::hypot(lambda.real(), lambda.imag()) <= GRADIENT_LAMBDA * std::fabs(shift)) continue;
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

  // The target decides the shift: refused before anything is assembled when it cannot.
  const double k_t = (TWO_PI * target_frequency) / C0;
  const double sigma = k_t * k_t;
  if (!std::isfinite(target_frequency))
    throw Error("eigenmode target_frequency must be a finite frequency in Hz, got " +
                fmt_float(target_frequency));
  if (!std::isfinite(sigma))
    throw Error("eigenmode target_frequency " + fmt_exp(target_frequency, 4) +
                " Hz is too large: (2π f / c0)² overflows");

  // Materials at the target frequency only (dispersive ones included), then the element matrices.
  auto t0 = Clock::now();
  FreeElementSystem sys;
  GradientSystem gsys;
  const SolverPreference preference = solver_preference_from_env();
  {
    MaterialTensors tensors = tensors_at(mesh, materials, nullptr, target_frequency);
    const auto ta = Clock::now();
    const ElementTriplets el = assemble_tet_elements(mesh, basis, tensors.eps, tensors.mu);
    eprint("  Eigenmode: assembled E,B in " + ms(seconds_since(ta)) + "ms\n");
    tm.assembly_s = seconds_since(t0);
    // Conductor unknowns removed; E and B summed on the free ones (the element lists go here).
    t0 = Clock::now();
    sys = merge_free_elements(mesh, basis, pec_faces, el);
    tm.pattern_s = seconds_since(t0);
    const auto tg = Clock::now();
    std::vector<u64> local_of(basis.n_dofs, NONE_U64);
    for (u64 l = 0; l < sys.free.size(); ++l) local_of[sys.free[l]] = l;
    gsys = build_gradient_system(mesh, basis, pec_faces, local_of, el);
    tm.gradient_s = seconds_since(tg);
  }
  t0 = Clock::now();
  const std::vector<u64> free = std::move(sys.free);
  const u64 n = free.size();
  eprint("\r  Eigenmode: " + std::to_string(n) + " free DOFs, target=" + fmt_exp(target_frequency, 4) +
         " Hz\n");
  // Below the floor the shift is negative: E − sB is then definite on the gradients (and
  // positive definite for a lossless filling), and the modes nearest σ are the lowest.
  tm.scale = n > 0 ? spectral_scale(sys) : 0.0;
  const double floor = std::isfinite(tm.scale) && tm.scale > 0.0 ? SHIFT_FLOOR * tm.scale : 0.0;
  const double shift = sigma >= floor ? sigma : -floor;
  tm.shift = shift;
  FreeMatrices fm = build_free_matrices(n, std::move(sys), shift);
  tm.pattern_s += seconds_since(t0);
  tm.n_free = n;
  tm.nnz = fm.rows.size();

  // The gradient matrix K first: its factor is small, and the large one then meets no peak of
  // K's assembly.
  t0 = Clock::now();
  tm.n_gradients = gsys.g.n_cols;
  const GradientProjector grad = factorize_gradient_projector(std::move(gsys), preference);
  tm.gradient_s += seconds_since(t0);

  // One factorisation of E − sB.
  t0 = Clock::now();
  const std::unique_ptr<SparseSolver> solver = select_solver_backend(preference);
  solver->factorize(n, fm.rows, fm.cols, fm.shifted);
  tm.factor_s = seconds_since(t0);
  eprint("\r  Eigenmode: " + solver->name() + " shift-invert in " + ms(tm.factor_s) + "ms\n");
  fm.cols = {};  // only the back end needed the column list
  keep_real_values(fm);

  t0 = Clock::now();
  const SearchResult found = fm.real ? lanczos_search<double>(fm, *solver, grad, shift, sigma, n_modes, tm)
                                     : lanczos_search<cplx>(fm, *solver, grad, shift, sigma, n_modes, tm);
  eprint("\r  Eigenmode: " + std::to_string(tm.steps) + " Lanczos iterations in " +
         ms(seconds_since(t0)) + "ms\n");
  if (found.short_of_wanted || found.wanted < n_modes)
    eprint("  WARNING: eigenmode search converged " + std::to_string(found.pairs.size()) + " of " +
           std::to_string(n_modes) + " requested modes in " + std::to_string(tm.steps) + " solves\n");

  std::vector<EigenmodeResult> out;
  for (const Pair& p : found.pairs) {
    EigenmodeResult r;
    r.residual = p.residual;
    r.field.assign(basis.n_dofs, cplx(0.0, 0.0));
    for (u64 l = 0; l < n; ++l) r.field[free[l]] = p.y[l];
    const cplx kappa = csqrt_principal(p.lambda);
    const cplx f = cmul(kappa, cplx(C0_OVER_TWO_PI, 0.0));
    r.frequency_hz = f.real();
    r.frequency_imag_hz = f.imag();
    r.q_factor = std::abs(f.imag()) > Q_LIMIT ? f.real() / (2.0 * std::abs(f.imag()))
                                              : std::numeric_limits<double>::infinity();
    r.eigenvalue = p.lambda;
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace vantrel
