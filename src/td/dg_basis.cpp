#include "td/dg_basis.hpp"

#include <cmath>
#include <string>

namespace vantrel {

namespace {

using Exponents = std::array<u64, 3>;

// Equality check of an internal invariant, with the message shape of an assertion.
void assert_eq(u64 left, u64 right, const std::string& what) {
  if (left != right) {
    panic("assertion `left == right` failed: " + what + "\n  left: " + std::to_string(left) +
          "\n right: " + std::to_string(right));
  }
}

}  // namespace

double int_pow(double x, u64 n) {
  double result = 1.0;
  double base = x;
  while (n > 0) {
    if (n & 1) result *= base;
    n >>= 1;
    if (n > 0) base *= base;
  }
  return result;
}

double factorial(u64 n) {
  double f = 1.0;
  for (u64 k = 2; k <= n; ++k) f *= static_cast<double>(k);
  return f;
}

double monomial_derivative(const Exponents& ex, const Vec3& p, int axis) {
  const u64 e = ex[static_cast<std::size_t>(axis)];
  if (e == 0) return 0.0;
  Exponents lowered = ex;
  lowered[static_cast<std::size_t>(axis)] = e - 1;
  return ((int_pow(p[0], lowered[0]) * int_pow(p[1], lowered[1])) * int_pow(p[2], lowered[2])) *
         static_cast<double>(e);
}

void swap_rows(std::vector<double>& m, u64 n, u64 p, u64 q) {
  for (u64 j = 0; j < n; ++j) std::swap(m[p * n + j], m[q * n + j]);
}

std::vector<double> invert(const std::vector<double>& a, u64 n) {
  std::vector<double> A = a;
  std::vector<double> X(n * n, 0.0);
  for (u64 i = 0; i < n; ++i) X[i * n + i] = 1.0;
  for (u64 k = 0; k < n; ++k) {
    u64 p = k;
    double best = std::fabs(A[k * n + k]);
    for (u64 i = k + 1; i < n; ++i) {
      const double v = std::fabs(A[i * n + k]);
      if (v > best) {
        best = v;
        p = i;
      }
    }
    if (!(best > 1e-300)) panic("singular matrix in invert()");
    if (p != k) {
      swap_rows(A, n, p, k);
      swap_rows(X, n, p, k);
    }
    const double pivot = A[k * n + k];
    for (u64 j = 0; j < n; ++j) {
      A[k * n + j] /= pivot;
      X[k * n + j] /= pivot;
    }
    for (u64 i = 0; i < n; ++i) {
      if (i == k) continue;
      const double f = A[i * n + k];
      if (f == 0.0) continue;
      for (u64 j = 0; j < n; ++j) {
        A[i * n + j] -= f * A[k * n + j];
        X[i * n + j] -= f * X[k * n + j];
      }
    }
  }
  return X;
}

std::vector<double> square_matmul(const std::vector<double>& a, const std::vector<double>& b,
                                  u64 n) {
  std::vector<double> r(n * n, 0.0);
  for (u64 i = 0; i < n; ++i) {
    for (u64 k = 0; k < n; ++k) {
      const double aik = a[i * n + k];
      if (aik == 0.0) continue;
      for (u64 j = 0; j < n; ++j) r[i * n + j] += aik * b[k * n + j];
    }
  }
  return r;
}

std::vector<double> congruence_product(const std::vector<double>& a, const std::vector<double>& b,
                                       const std::vector<double>& c, u64 n) {
  std::vector<double> d(n * n, 0.0);
  for (u64 i = 0; i < n; ++i) {
    for (u64 j = 0; j < n; ++j) {
      double s = 0.0;
      for (u64 k = 0; k < n; ++k) s += a[k * n + i] * b[k * n + j];
      d[i * n + j] = s;
    }
  }
  return square_matmul(d, c, n);
}

ReferenceElement new_reference_element(u64 N) {
  if (N == 0) panic("DG reference element needs order >= 1");
  const u64 np = (N + 1) * (N + 2) * (N + 3) / 6;
  const u64 nfp = ((N + 2) + (N + 2) * N) / 2;
  const double dn = static_cast<double>(N);

  // Modal basis r^a s^b t^c by total degree, and the lattice nodes (k innermost).
  std::vector<Exponents> monomials;
  for (u64 d = 0; d <= N; ++d)
    for (u64 a = 0; a <= d; ++a)
      for (u64 b = 0; b <= d - a; ++b) monomials.push_back({a, b, d - a - b});
  std::vector<std::array<u64, 3>> lattice;
  std::vector<Vec3> nodes;
  for (u64 i = 0; i <= N; ++i)
    for (u64 j = 0; j <= N - i; ++j)
      for (u64 k = 0; k <= N - i - j; ++k) {
        lattice.push_back({i, j, k});
        nodes.push_back({static_cast<double>(i) / dn, static_cast<double>(j) / dn,
                         static_cast<double>(k) / dn});
      }
  assert_eq(monomials.size(), nodes.size(), "monomial / node count mismatch");

  // Vandermonde: rows nodes, columns monomials.
  std::vector<double> V(np * np);
  for (u64 i = 0; i < np; ++i)
    for (u64 j = 0; j < np; ++j) {
      const auto& m = monomials[j];
      V[i * np + j] = (int_pow(nodes[i][0], m[0]) * int_pow(nodes[i][1], m[1])) *
                      int_pow(nodes[i][2], m[2]);
    }
  const std::vector<double> Vinv = invert(V, np);

  // Exact monomial mass: integral of r^A s^B t^C over the reference tetrahedron.
  std::vector<double> S(np * np);
  for (u64 i = 0; i < np; ++i)
    for (u64 j = 0; j < np; ++j) {
      const u64 A = monomials[i][0] + monomials[j][0];
      const u64 B = monomials[i][1] + monomials[j][1];
      const u64 C = monomials[i][2] + monomials[j][2];
      S[i * np + j] = ((factorial(A) * factorial(B)) * factorial(C)) / factorial(A + B + C + 3);
    }

  ReferenceElement ref;
  ref.order = N;
  ref.np = np;
  ref.nfp = nfp;
  ref.mass = congruence_product(Vinv, S, Vinv, np);
  ref.inv_mass = invert(ref.mass, np);

  std::array<std::vector<double>, 3> vd;
  for (int axis = 0; axis < 3; ++axis) {
    vd[axis].resize(np * np);
    for (u64 i = 0; i < np; ++i)
      for (u64 j = 0; j < np; ++j)
        vd[axis][i * np + j] = monomial_derivative(monomials[j], nodes[i], axis);
  }
  ref.dr = square_matmul(vd[0], Vinv, np);
  ref.ds = square_matmul(vd[1], Vinv, np);
  ref.dt = square_matmul(vd[2], Vinv, np);

  // Face node lists: t = 0, r = 0, s = 0, r + s + t = 1.
  for (u64 n = 0; n < np; ++n) {
    const auto [i, j, k] = lattice[n];
    if (k == 0) ref.face_nodes[0].push_back(n);
    if (i == 0) ref.face_nodes[1].push_back(n);
    if (j == 0) ref.face_nodes[2].push_back(n);
    if (i + j + k == N) ref.face_nodes[3].push_back(n);
  }
  for (u64 f = 0; f < 4; ++f)
    assert_eq(ref.face_nodes[f].size(), nfp, "face " + std::to_string(f) + " node count");

  // Face monomials u^p v^q by total degree.
  std::vector<std::array<u64, 2>> fmono;
  for (u64 d = 0; d <= N; ++d)
    for (u64 p = 0; p <= d; ++p) fmono.push_back({p, d - p});
  std::vector<double> Sf(nfp * nfp);
  for (u64 a = 0; a < nfp; ++a)
    for (u64 b = 0; b < nfp; ++b) {
      const u64 P = fmono[a][0] + fmono[b][0];
      const u64 Q = fmono[a][1] + fmono[b][1];
      Sf[a * nfp + b] = (factorial(P) * factorial(Q)) / factorial(P + Q + 2);
    }

  const u64 ecols = 4 * nfp;
  std::vector<double> E(np * ecols, 0.0);
  for (u64 f = 0; f < 4; ++f) {
    std::vector<std::array<double, 2>> uv;
    for (u64 n : ref.face_nodes[f]) {
      const auto [i, j, k] = lattice[n];
      double u = 0.0, v = 0.0;
      switch (f) {
        case 0: u = static_cast<double>(i) / dn; v = static_cast<double>(j) / dn; break;
        case 1: u = static_cast<double>(j) / dn; v = static_cast<double>(k) / dn; break;
        case 2: u = static_cast<double>(i) / dn; v = static_cast<double>(k) / dn; break;
        default: u = static_cast<double>(i) / dn; v = static_cast<double>(j) / dn; break;
      }
      uv.push_back({u, v});
    }
    std::vector<double> Vf(nfp * nfp);
    for (u64 j = 0; j < nfp; ++j)
      for (u64 m = 0; m < nfp; ++m)
        Vf[j * nfp + m] = int_pow(uv[j][0], fmono[m][0]) * int_pow(uv[j][1], fmono[m][1]);
    const std::vector<double> Vfinv = invert(Vf, nfp);
    const std::vector<double> Mf = congruence_product(Vfinv, Sf, Vfinv, nfp);
    ref.face_weights[f].assign(nfp, 0.0);
    for (u64 j = 0; j < nfp; ++j) {
      const u64 i = ref.face_nodes[f][j];
      double row_sum = 0.0;
      for (u64 c = 0; c < nfp; ++c) {
        E[i * ecols + f * nfp + c] = Mf[j * nfp + c];
        row_sum += Mf[j * nfp + c];
      }
      ref.face_weights[f][j] = row_sum;
    }
  }

  // lift = M^-1 E (Np x 4 Nfp), skipping exact zeros of M^-1.
  ref.lift.assign(np * ecols, 0.0);
  for (u64 i = 0; i < np; ++i)
    for (u64 k = 0; k < np; ++k) {
      const double m = ref.inv_mass[i * np + k];
      if (m == 0.0) continue;
      for (u64 c = 0; c < ecols; ++c) ref.lift[i * ecols + c] += m * E[k * ecols + c];
    }
  ref.nodes = std::move(nodes);
  return ref;
}

}  // namespace vantrel
