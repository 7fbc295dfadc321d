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
// The check for missing copies of repeated modes. The nearest Ritz value of a check sequence on
// each side of σ counts as located once its estimated residual is at most CHECK_GATE (its λ is
// then known to 1e-3 of |λ − s|, and a random start leaves no nearer eigenvalue hidden behind a
// Ritz value that has settled that far); no sooner than CHECK_MIN_STEPS steps into the sequence,
// so that both sides have had the time to show. Distances to σ within TIE·|λ| of the reach of
// the wanted pairs are ties, which the converged pairs' own error (1e-8) does not order.
constexpr double CHECK_GATE = 1e-3;
constexpr u64 CHECK_MIN_STEPS = 6;
constexpr double TIE = 1e-8;
// A Ritz value lies within its error bound of some eigenvalue, not of every one near it: a Ritz
// vector that mixes the members of a tight cluster (near-degenerate modes, each in several copies)
// has a residual of the order of the cluster's spread times the square root of the smaller
// weight, so a member of a hundredth the weight lies up to ten times the bound away. A side is
// clear only with that margin (measured: no missed copy in 162 searches of 2 to 4 copied boxes
// and cubes, against 2 with the bound alone; the cost is the same).
constexpr double CLUSTER_MARGIN = 10.0;
// A shift within NEAR_SHIFT of the problem's scale of an eigenvalue leaves E − sB singular to the
// precision the other pairs need: its solves carry rounding of eps·scale / |λ − s| in every other
// direction (measured: residuals of 3e-9 at 1e-9 of the scale, 1e-10 at 1e-7; the iteration
// stalls closer in). Such a shift, or one the back end cannot factorise (a zero or perturbed
// pivot), moves by SHIFT_MOVE of the scale, away from the eigenvalue, at most MAX_SHIFT_MOVES
// times; the distances that order the modes stay those to σ. The test looks at the Ritz pairs
// after NEAR_PROBE_STEPS steps (the pair at the shift dominates every solve and settles at once)
// and at the end of every cycle.
constexpr double NEAR_SHIFT = 1e-7;
constexpr double SHIFT_MOVE = 1e-5;
constexpr int MAX_SHIFT_MOVES = 3;
constexpr u64 NEAR_PROBE_STEPS = 6;
constexpr u64 SETTLE_LOOK_MAX = 200;
constexpr double SETTLED_MARGIN = 1e-2;
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

// Σ Re E_ii / Σ |Re B_ii|: a size of the pencil's spectrum in rad²/m² that scales with the units
// and the materials as the eigenvalues do (the modulus keeps it positive where a negative
// permittivity makes some B_ii negative).
double spectral_scale(const FreeElementSystem& sys) {
  double e = 0.0, b = 0.0;
  for (std::size_t k = 0; k < sys.rows.size(); ++k)
    if (sys.rows[k] == sys.cols[k]) {
      e += sys.e[k].real();
      b += std::fabs(sys.b[k].real());
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

// The residual of Ritz pair j in S relative to its θ, |h_k u_j[K−1]| / |θ_j|, with h_k the
// weight of the next vector (`coupling`).
double ritz_estimate(const ProjectedEigen& pe, cplx coupling, Eigen::Index j) {
  return std::abs(coupling * pe.U(pe.U.rows() - 1, j)) / std::abs(pe.theta[j]);
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

// What one search is asked: the shift s of the factorised E − sB, the target σ the distances are
// measured to, and the form of the iteration.
struct SearchSettings {
  double shift = 0.0;
  double sigma = 0.0;
  u64 n_modes = 0;
  // A settled eigenvalue closer than this to s leaves E − sB too near singular for the other
  // pairs (the solves lose their digits to it): the search stops and says so. 0: never.
  double near = 0.0;
  // The form xᵀE y in place of xᵀB y: a lossless filling whose permittivity is negative
  // somewhere makes B indefinite, while E stays semi-definite and, off the gradients, definite.
  // S is symmetric in both, as E S = B + s B (E − sB)⁻¹ B.
  bool stiff_form = false;
};

struct SearchResult {
  std::vector<Pair> pairs;  // converged, nearest to σ first
  u64 wanted = 0;           // how many the search tried to converge
  u64 budget = 0;           // solves it could spend
  bool exhausted = false;        // the Krylov space came to hold every field the free space has
  std::optional<cplx> near_lambda;  // a settled eigenvalue within `near` of the shift
};

// The Ritz pairs of a check sequence, against the reach of the locked pairs (the distance of the
// farthest of them to σ). `nearer`: a located Ritz value (estimated residual at most CHECK_GATE)
// lies, error included, nearer σ than the reach: a copy the locked set lacks. `clear`: on each
// side of σ the Ritz value nearest σ is located and lies, CLUSTER_MARGIN times its error
// included, no nearer than the reach. Hb is the projected matrix of the sequence (or of the whole space, with the `skip`
// nearest pairs, the locked ones, passed over); `coupling` the weight of the next vector.
struct CheckView {
  bool nearer = false;
  bool clear = true;
};

CheckView check_view(const Eigen::MatrixXcd& Hb, cplx coupling, bool real, double shift, double sigma,
                     double reach, double tie, std::size_t skip);

// The eigenvalue of a settled Ritz pair (estimated residual at most ESTIMATE_GATE) within `near`
// of the shift, if there is one.
std::optional<cplx> settled_near_shift(const ProjectedEigen& pe, cplx coupling, double shift, double near) {
  const Eigen::Index K = pe.U.rows();
  for (Eigen::Index j = 0; j < K; ++j) {
    const cplx th = pe.theta[j];
    // |λ − s| = 1/|θ| < near
    if (!pe.usable[static_cast<std::size_t>(j)] || !(std::abs(th) * near > 1.0)) continue;
    if (ritz_estimate(pe, coupling, j) <= ESTIMATE_GATE)
      return cplx(shift, 0.0) + cdiv(cplx(1.0, 0.0), th);
  }
  return std::nullopt;
}

// Shift-invert Lanczos on S = P (E − sB)⁻¹ B in the bilinear form <x, y> = xᵀB y (xᵀE y with
// `stiff_form`), P the B-orthogonal projection off the gradients. E and B are complex symmetric,
// so S is symmetric in that form: with V orthonormal in it the projected matrix H = VᵀB S V is
// symmetric and
//   S V_k = V_k H_k + v_k h_k e_kᵀ.
// A Ritz pair (θ, y = V_k u) of H_k gives λ = s + 1/θ, and its residual in S is v_k h_k u_k. Every
// restart keeps the Ritz vectors nearest σ (an invariant subspace of H_k), so the relation holds
// with an arrow row in place of h_k (thick restart).
//
// A single start vector has a component along one direction only of an exactly repeated
// eigenspace (copies of one resonator, symmetric meshes): the others enter through rounding, if
// ever. So once the wanted pairs have converged they are locked (kept, their residuals dropped)
// and the iteration goes on from a fresh random vector orthogonal to them, until the nearest Ritz
// values of that sequence lie, on both sides of σ, no nearer than the farthest wanted pair. A
// sequence that brings a nearer pair in is followed, once that pair has converged, by another.
// T = double for a lossless filling.
template <class T>
SearchResult lanczos_search(const FreeMatrices& fm, const SparseSolver& solver,
                            const GradientProjector& grad, const SearchSettings& set,
                            EigenmodeTimings& tm) {
  constexpr bool REAL = std::is_same_v<T, double>;
  const u64 n = fm.n, n_modes = set.n_modes;
  const double shift = set.shift, sigma = set.sigma;
  const bool stiff = set.stiff_form;
  const u64 first = std::min<u64>(n_modes > (NONE_U64 - 20) / 3 ? NONE_U64 : 3 * n_modes + 20, 100);
  const u64 roomy = n_modes > (MAX_BASIS - 20) / 2 ? MAX_BASIS : 2 * n_modes + 20;
  const u64 m = std::min({n, MAX_BASIS, std::max(first, roomy)});
  SearchResult out;
  // A basis that cannot hold the whole space serves at most half its size.
  out.wanted = m == n ? n_modes : std::min(n_modes, m / 2);
  out.budget = BUDGET_FACTOR * m;
  const u64 steps0 = tm.steps;

  Basis<T> V{n, m + 1, Vec<T>(n * (m + 1))};
  Eigen::MatrixXcd H = Eigen::MatrixXcd::Zero(static_cast<Eigen::Index>(m + 1),
                                              static_cast<Eigen::Index>(m + 1));
  Vec<T> v(n), bv, x, bx, ex;
  CVec rhs;  // the back ends take complex right-hand sides: a real search copies bv here

  // B x into bx and, in the E-form, E x = A x + s B x into ex (with A = E − sB): the vector of
  // the form, whose products with the basis give the coefficients of x.
  auto form_of = [&]() -> const Vec<T>& {
    mass_product<T>(fm, x, bx);
    if (!stiff) return bx;
    shifted_product<T>(fm, x, ex);
    for (u64 i = 0; i < n; ++i) ex[i] += shift * bx[i];
    return ex;
  };
  auto form = [&]() -> const Vec<T>& { return stiff ? ex : bx; };
  // x ← P x, then orthogonal to the first k columns (twice); returns its size in the form before
  // and after, and leaves the form's vector of x in form(). For a start and after a breakdown.
  auto fresh_direction = [&](std::size_t k) {
    mass_product<T>(fm, x, bx);
    remove_gradients(grad, x, bx);
    const double before = b_size(x, form_of());
    for (int pass = 0; pass < 2 && k > 0; ++pass) {
      subtract_combination(V, basis_dots<T>(V, k, form()), x);
      form_of();
    }
    return std::pair<double, double>(before, b_size(x, form()));
  };
  // v = x / sqrt(<x, x>) and bv = B v, the next right-hand side; false when x cannot be
  // normalised.
  auto take_direction = [&](double before, double after) {
    const T beta2 = bilinear<T>(x, form());
    if (!(after > BREAKDOWN * before) || !(std::abs(beta2) > ISOTROPIC * after * after)) return false;
    T inv;
    if constexpr (REAL) {
      if (!(beta2 > 0.0)) return false;  // the form is definite off the gradients
      inv = 1.0 / std::sqrt(beta2);
    } else {
      inv = cdiv(cplx(1.0, 0.0), csqrt_principal(beta2));
    }
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
  bool first_cycle = true;
  // The check for missing copies: active after a lock; `locked` columns lead V; the sequence
  // after them is a clean block of H until the next restart.
  bool checking = false, clean_block = false, check_nearer = false, check_clear = false;
  u64 locked = 0;
  double reach = 0.0, tie = 0.0;
  // The projected problem is looked at during an expansion every step at first, then at every
  // eighth of the length (it grows with it).
  const auto due = [](u64 len) { return len <= 24 || len % (len / 8) == 0; };
  // The largest estimated residual of the wanted pairs (+inf while fewer are usable).
  const auto worst_estimate = [&](Eigen::Index K) {
    const ProjectedEigen pe = projected_eigen(H.topLeftCorner(K, K), REAL);
    double worst = 0.0;
    u64 w = 0;
    const std::span<const cplx> theta(pe.theta.data(), static_cast<std::size_t>(K));
    for (const RitzValue& c : ritz_candidates(theta, shift, sigma)) {
      if (w == out.wanted) break;
      if (!pe.usable[c.index]) continue;
      const Eigen::Index j = static_cast<Eigen::Index>(c.index);
      const double est = ritz_estimate(pe, coupling, j);
      if (!(est <= worst)) worst = est;  // NaN stays
      ++w;
    }
    return w == out.wanted ? worst : std::numeric_limits<double>::infinity();
  };
  // The wanted pairs often settle long before the space is full: once they all look converged
  // (estimated residuals at most `settle`), the expansion stops and the Rayleigh–Ritz step tries
  // their true residuals, against SETTLED_MARGIN times the tolerance; should one miss it, the
  // expansion goes on, with a bar a thousand times lower. Looked at up to SETTLE_LOOK_MAX vectors
  // (a larger projected problem costs more than the solves it could save).
  double settle = ESTIMATE_GATE;
  bool settled_early = false;
  while (true) {
    // Expand to m columns (or until the space is exhausted, a check is clear, or the wanted
    // pairs have settled).
    const auto tk = Clock::now();
    settled_early = false;
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
      if (checking) ++tm.check_steps;
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
      // S v = P x, then orthogonal to V. The gradients go first: rounding in the solve can give
      // x a gradient part far above its new direction, and V's own rounding-level gradient
      // content, met by that part, would spoil the coefficients.
      mass_product<T>(fm, x, bx);
      const double removed = remove_gradients(grad, x, bx);
      double before;
      if (stiff) {
        // E x does not see the gradients; B x, the next right-hand side, does
        before = b_size(x, form_of());
      } else {
        before = b_size(x, bx);
        if (removed > GRADIENT_STALE * before) {
          mass_product<T>(fm, x, bx);
          before = b_size(x, bx);
        }
      }
      DenseVec<T> c = basis_dots<T>(V, k + 1, form());
      subtract_combination(V, c, x);
      double after = b_size(x, form_of());
      // Further passes while one removes most of what is left (Daniel–Gragg–Kaufman–Stewart):
      // each leaves rounding of the size of its input, so the last keeps the new direction
      // orthogonal to working precision even where it is tiny against S v.
      double pass_in = before;
      for (int pass = 1; pass < MAX_PASSES && !(after > REORTH_RATIO * pass_in); ++pass) {
        const DenseVec<T> c2 = basis_dots<T>(V, k + 1, form());
        subtract_combination(V, c2, x);
        c += c2;
        pass_in = after;
        after = b_size(x, form_of());
        if (pass == 1) ++tm.reorthogonalisations;
      }
      H.col(static_cast<Eigen::Index>(k)).head(static_cast<Eigen::Index>(k + 1)) = c.template cast<cplx>();
      ++k;
      if (take_direction(before, after)) {
        coupling = csqrt_principal(cplx(bilinear<T>(x, form())));
        H(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k - 1)) = coupling;
      } else {
        // S V_k lies in span V_k: its Ritz pairs are exact. Go on from a fresh direction.
        coupling = cplx(0.0, 0.0);
        have_next = false;
        for (u64 seed = 1; !have_next && seed <= 3 && k < n; ++seed) {
          pseudo_random(x, tm.steps * 8 + seed);
          auto [b2, a2] = fresh_direction(k);
          have_next = take_direction(b2, a2);
        }
      }
      const Eigen::Index K = static_cast<Eigen::Index>(k);
      // A pair settled at the shift within a few steps: E − sB is singular to the precision
      // the others need, and the caller moves the shift before they are spent.
      if (first_cycle && set.near > 0.0 && k == NEAR_PROBE_STEPS && k < m) {
        const ProjectedEigen pe = projected_eigen(H.topLeftCorner(K, K), REAL);
        out.near_lambda = settled_near_shift(pe, coupling, shift, set.near);
        if (out.near_lambda) {
          tm.krylov_s += seconds_since(tk);
          return out;
        }
      }
      // A check sequence stops as soon as it is clear.
      const u64 j = k - locked;
      if (checking && clean_block && j >= CHECK_MIN_STEPS && due(j)) {
        const Eigen::Index L = static_cast<Eigen::Index>(locked), J = static_cast<Eigen::Index>(j);
        const CheckView view = check_view(H.block(L, L, J, J), coupling, REAL, shift, sigma, reach, tie, 0);
        check_nearer = check_nearer || view.nearer;
        if (view.clear && !check_nearer) {
          check_clear = true;
          break;
        }
      }
      const bool look = !checking || check_nearer;  // a check sequence has a rule of its own
      if (look && out.wanted > 0 && k > out.wanted && k < m && k <= SETTLE_LOOK_MAX && due(k) &&
          worst_estimate(K) <= settle) {
        settled_early = true;
        break;
      }
    }
    if (k < m && !check_clear && !settled_early) have_next = false;  // the space is exhausted
    first_cycle = false;
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
      const double est = ritz_estimate(pe, coupling, j);
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
        // a space cut short is kept only with a margin: the residuals stay where a full one
        // takes them
        if (settled_early && !(res <= SETTLED_MARGIN * EIGEN_RESIDUAL_TOL)) converged = false;
      }
    }
    tm.ritz_s += seconds_since(tr);
    if (set.near > 0.0 && K > 0) {
      out.near_lambda = settled_near_shift(pe, coupling, shift, set.near);
      if (out.near_lambda) return out;
    }
    const bool budget_spent = tm.steps - steps0 >= out.budget;
    bool lock = false;
    if (converged) {
      if (!have_next) {
        out.exhausted = true;  // every field of the free space is in V: every copy too
        return out;
      }
      if (w == 0) return out;
      if (!checking) {
        lock = true;
      } else {
        // A nearer pair came in: its copies may still be missing, so another sequence follows.
        const double reach_now = std::abs(usable[w - 1]->lambda - sigma);
        check_nearer = check_nearer || reach_now < reach - tie;
        if (!check_nearer && !check_clear) {
          // the sequence alone while no restart has mixed it with the locked pairs
          const Eigen::Index L = clean_block ? static_cast<Eigen::Index>(locked) : 0;
          const CheckView view = check_view(H.block(L, L, K - L, K - L), coupling, REAL, shift, sigma, reach,
                                            tie, clean_block ? 0 : w);
          check_nearer = view.nearer;
          check_clear = view.clear;
        }
        if (check_nearer) lock = true;
        else if (check_clear) return out;
      }
      if (budget_spent) return out;  // converged; the check could not finish
    } else if (!have_next || budget_spent) {
      out.exhausted = !have_next;
      return out;
    } else if (settled_early) {
      settle *= 1e-3;
      continue;  // V and H stand as they were: the expansion goes on from v
    }

    // V ← the `count` usable Ritz vectors nearest σ (an invariant subspace of H), H ← their
    // projected matrix; the row that couples them to the next vector v stays (thick restart) or
    // goes (a lock: the residuals of converged pairs, at the tolerance, are dropped).
    const auto keep_nearest = [&](std::size_t count, bool coupled) {
      Eigen::MatrixXcd Uk(K, static_cast<Eigen::Index>(count));
      for (std::size_t i = 0; i < count; ++i)
        Uk.col(static_cast<Eigen::Index>(i)) = pe.U.col(static_cast<Eigen::Index>(usable[i]->index));
      const Eigen::MatrixXcd Q = REAL ? Uk : bilinear_orthonormalise(Uk);
      const Eigen::Index p = Q.cols();
      const Eigen::MatrixXcd Hs = 0.5 * (H.topLeftCorner(K, K) + H.topLeftCorner(K, K).transpose());
      const Eigen::MatrixXcd Hp = Q.transpose() * Hs * Q;
      const Eigen::RowVectorXcd arrow = coupling * Q.row(K - 1);
      rotate_basis(V, as_scalar<T>(Q));
      H.setZero();
      H.topLeftCorner(p, p) = Hp;
      if (coupled) H.row(p).head(p) = arrow;
      k = static_cast<u64>(p);
    };
    if (lock) {
      // Only the converged wanted pairs stay; the iteration goes on from a fresh random
      // direction orthogonal to them.
      keep_nearest(w, false);
      coupling = cplx(0.0, 0.0);
      const cplx far = usable[w - 1]->lambda;
      reach = std::abs(far - sigma);
      tie = TIE * std::abs(far);
      pseudo_random(x, tm.steps * 8 + 5);
      auto [b2, a2] = fresh_direction(k);
      have_next = take_direction(b2, a2);
      if (!have_next) {
        out.exhausted = true;  // nothing outside the locked pairs
        return out;
      }
      checking = clean_block = true;
      check_nearer = check_clear = false;
      locked = k;
      settle = ESTIMATE_GATE;
      ++tm.checks;
      continue;
    }
    // Thick restart: keep the usable Ritz vectors nearest σ, the wanted ones and as many again
    // as fill half the room left, so that each cycle adds at least a quarter of the basis.
    keep_nearest(std::min<u64>({usable.size(), out.wanted + (m - out.wanted) / 2, m - m / 4}), true);
    ++tm.restarts;
    clean_block = check_clear = false;
    settle = ESTIMATE_GATE;
  }
}

CheckView check_view(const Eigen::MatrixXcd& Hb, cplx coupling, bool real, double shift, double sigma,
                     double reach, double tie, std::size_t skip) {
  CheckView view;
  const Eigen::Index K = Hb.rows();
  const ProjectedEigen pe = projected_eigen(Hb, real);
  const std::vector<RitzValue> cands =
      ritz_candidates(std::span<const cplx>(pe.theta.data(), static_cast<std::size_t>(K)), shift, sigma);
  bool seen[2] = {false, false};
  for (const RitzValue& c : cands) {
    if (!pe.usable[c.index]) continue;
    if (skip > 0) {
      --skip;
      continue;
    }
    // The Ritz value θ is within est·|θ| of an eigenvalue of S, so λ = s + 1/θ is within
    // err = est/(1 − est)·|λ − s| of one.
    const Eigen::Index j = static_cast<Eigen::Index>(c.index);
    const double est = ritz_estimate(pe, coupling, j);
    const double err = est < 1.0 ? est / (1.0 - est) * std::abs(c.lambda - shift)
                                 : std::numeric_limits<double>::infinity();
    const double d = std::abs(c.lambda - sigma);
    if (est <= CHECK_GATE && d + err < reach - tie) view.nearer = true;
    const bool above = c.lambda.real() >= sigma;
    if (seen[above]) continue;
    seen[above] = true;
    if (!(est <= CHECK_GATE && d - CLUSTER_MARGIN * err >= reach - tie)) view.clear = false;
  }
  if (!seen[0] && !seen[1]) view.clear = false;  // nothing located yet
  return view;
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

namespace {

// The [[materials]] entry of a tetrahedron, for messages (the first that lists it).
const MaterialRegion* material_of(const std::vector<MaterialRegion>* materials, u64 t) {
  if (materials)
    for (const MaterialRegion& r : *materials)
      if (std::find(r.tets.begin(), r.tets.end(), t) != r.tets.end()) return &r;
  return nullptr;
}

i32 material_tag_of(const std::vector<MaterialRegion>* materials, u64 t) {
  const MaterialRegion* r = material_of(materials, t);
  return r ? r->volume_tag : 0;
}

// What the media at the target ask of the search.
struct MediaAtTarget {
  bool stiff_form = false;  // lossless, with a negative permittivity somewhere: the E-form
  i32 negative_tag = 0;     // then a [[materials]] entry with that permittivity
};

bool finite(cplx z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

// The tensors at the target, checked before anything is assembled. Refused, naming the
// [[materials]] entry: a value that is not finite (a conductivity or a Drude term at 0 Hz); in a
// lossless filling a permittivity of 0 (B singular, and the gradients' matrix with it), and a
// negative permittivity beside a negative permeability (neither E nor B is then definite, and
// the search needs one of them to be).
MediaAtTarget check_media(const MaterialTensors& tensors, const std::vector<MaterialRegion>* materials,
                          double target_frequency) {
  const std::string at = "eigenmode target_frequency " + fmt_exp(target_frequency, 4) + " Hz: the ";
  auto of = [&](u64 t) {
    return " of the material on volume tag " + std::to_string(material_tag_of(materials, t));
  };
  bool lossless = true;
  std::optional<u64> eps_negative, eps_zero, mu_negative;
  for (u64 t = 0; t < tensors.eps.size(); ++t)
    for (int a = 0; a < 3; ++a) {
      const cplx e = tensors.eps[t][4 * a], u = tensors.mu[t][4 * a];
      if (!finite(e)) {
        const MaterialRegion* r = material_of(materials, t);
        std::string why;
        if (r && r->conductivity != 0.0)
          why = ": its conductivity term σ/(ω ε0) needs a target above 0";
        else if (r && r->dispersion.kind == Dispersion::Kind::Drude)
          why = ": its Drude term needs a target above 0";
        throw Error(at + "permittivity" + of(t) + " is not finite at that frequency" + why);
      }
      if (!finite(u)) throw Error(at + "permeability" + of(t) + " is not finite at that frequency");
      if (e.imag() != 0.0 || u.imag() != 0.0) lossless = false;
      if (e.real() < 0.0 && !eps_negative) eps_negative = t;
      if (e.real() == 0.0 && !eps_zero) eps_zero = t;
      if (u.real() < 0.0 && !mu_negative) mu_negative = t;
    }
  MediaAtTarget media;
  if (!lossless) return media;
  if (eps_zero)
    throw Error(at + "permittivity" + of(*eps_zero) +
                " is 0 at that frequency: the search needs a lossless permittivity that is not 0");
  if (eps_negative && mu_negative)
    throw Error(at + "permittivity" + of(*eps_negative) + " and the permeability" + of(*mu_negative) +
                " are both negative at that frequency: a lossless search needs one of the two positive "
                "everywhere");
  if (eps_negative) {
    media.stiff_form = true;
    media.negative_tag = material_tag_of(materials, *eps_negative);
  }
  return media;
}

// E − s'B from E − sB: the shifted values less (s' − s) B, in whichever copy is held.
void move_shift(FreeMatrices& fm, double step) {
  if (fm.shifted.empty()) {
    for (std::size_t k = 0; k < fm.shifted_re.size(); ++k) fm.shifted_re[k] -= step * fm.mass_re[k];
  } else {
    for (std::size_t k = 0; k < fm.shifted.size(); ++k)
      fm.shifted[k] = cplx(fm.shifted[k].real() - step * fm.mass[k].real(),
                           fm.shifted[k].imag() - step * fm.mass[k].imag());
  }
}

// E − sB factorised anew once the column list and the complex values are gone (a moved shift).
void refactorize_shifted(const FreeMatrices& fm, SparseSolver& solver) {
  std::vector<u64> cols(fm.rows.size());
  for (u64 c = 0; c < fm.n; ++c)
    for (u64 k = fm.col_start[c]; k < fm.col_start[c + 1]; ++k) cols[k] = c;
  if (fm.shifted.empty()) {
    const CVec values(fm.shifted_re.begin(), fm.shifted_re.end());
    solver.refactorize(fm.n, fm.rows, cols, values);
  } else {
    solver.refactorize(fm.n, fm.rows, cols, fm.shifted);
  }
}

}  // namespace

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
  MediaAtTarget media;
  const SolverPreference preference = solver_preference_from_env();
  {
    MaterialTensors tensors = tensors_at(mesh, materials, nullptr, target_frequency);
    media = check_media(tensors, materials, target_frequency);
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
  if (n == 0)
    throw Error("eigenmode search has no free unknown: the [pec] conductor faces cover every edge "
                "and face of the mesh");
  // Below the floor the shift is negative: E − sB is then definite on the gradients (and
  // positive definite for a lossless filling), and the modes nearest σ are the lowest.
  tm.scale = spectral_scale(sys);
  const double floor = std::isfinite(tm.scale) && tm.scale > 0.0 ? SHIFT_FLOOR * tm.scale : 0.0;
  double shift = sigma >= floor ? sigma : -floor;
  // The unit of the shift's moves: the scale, or σ where the scale has no use.
  const double unit = floor > 0.0 ? tm.scale : std::max(std::fabs(sigma), 1.0);
  FreeMatrices fm = build_free_matrices(n, std::move(sys), shift);
  tm.pattern_s += seconds_since(t0);
  tm.n_free = n;
  tm.nnz = fm.rows.size();

  // The gradient matrix K first: its factor is small, and the large one then meets no peak of
  // K's assembly. A negative permittivity makes K = ∫ ε ∇φ_i·∇φ_j indefinite, and singular where
  // the filling has a static resonance.
  t0 = Clock::now();
  tm.n_gradients = gsys.g.n_cols;
  GradientProjector grad;
  try {
    grad = factorize_gradient_projector(std::move(gsys), preference);
  } catch (const Error& e) {
    if (!media.stiff_form) throw;
    throw Error("eigenmode target_frequency " + fmt_exp(target_frequency, 4) +
                " Hz: with the negative permittivity of the material on volume tag " +
                std::to_string(media.negative_tag) +
                " the gradient fields cannot be kept out of the search (their matrix is singular: " +
                e.message() + ")");
  }
  tm.gradient_s += seconds_since(t0);

  // One factorisation of E − sB. A shift the back end cannot factorise (an eigenvalue at it:
  // a zero or perturbed pivot) moves up by SHIFT_MOVE of the scale; should every move fail, the
  // back end's first message is the error.
  t0 = Clock::now();
  const std::unique_ptr<SparseSolver> solver = select_solver_backend(preference);
  std::string first_failure;
  for (int move = 0;; ++move) {
    try {
      solver->factorize(n, fm.rows, fm.cols, fm.shifted);
      break;
    } catch (const Error& e) {
      if (move == 0) first_failure = e.message();
      if (move == MAX_SHIFT_MOVES) throw Error(first_failure);
    }
    move_shift(fm, SHIFT_MOVE * unit);
    shift += SHIFT_MOVE * unit;
    ++tm.shift_moves;
  }
  tm.factor_s = seconds_since(t0);
  eprint("\r  Eigenmode: " + solver->name() + " shift-invert in " + ms(tm.factor_s) + "ms\n");
  fm.cols = {};  // only the back end needed the column list
  keep_real_values(fm);

  t0 = Clock::now();
  SearchSettings set;
  set.sigma = sigma;
  set.n_modes = n_modes;
  set.stiff_form = media.stiff_form;
  SearchResult found;
  while (true) {
    set.shift = shift;
    set.near = tm.shift_moves < static_cast<u64>(MAX_SHIFT_MOVES) ? NEAR_SHIFT * unit : 0.0;
    found = fm.real ? lanczos_search<double>(fm, *solver, grad, set, tm)
                    : lanczos_search<cplx>(fm, *solver, grad, set, tm);
    if (!found.near_lambda) break;
    // away from the eigenvalue that sits at the shift
    const double step = (shift >= found.near_lambda->real() ? SHIFT_MOVE : -SHIFT_MOVE) * unit;
    move_shift(fm, step);
    shift += step;
    ++tm.shift_moves;
    const auto tf = Clock::now();
    refactorize_shifted(fm, *solver);
    tm.factor_s += seconds_since(tf);
  }
  tm.shift = shift;
  eprint("\r  Eigenmode: " + std::to_string(tm.steps) + " Lanczos iterations in " +
         ms(seconds_since(t0)) + "ms\n");
  if (found.pairs.size() < n_modes) {
    std::string why;
    if (found.wanted < n_modes)
      why = "one search serves at most " + std::to_string(found.wanted) + " modes";
    else if (found.exhausted)
      why = "the " + std::to_string(n) + " free unknowns hold only " + std::to_string(found.pairs.size()) +
            " modes";
    else
      why = "its budget of " + std::to_string(found.budget) + " solves ran out";
    eprint("  WARNING: eigenmode search converged " + std::to_string(found.pairs.size()) + " of " +
           std::to_string(n_modes) + " requested modes in " + std::to_string(tm.steps) + " solves: " +
           why + "\n");
  }

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
