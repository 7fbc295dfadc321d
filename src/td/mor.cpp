#include "td/mor.hpp"

#include <algorithm>
#include <cmath>

namespace vantrel {

namespace {

// Below this many multiply-adds the calling thread does the work alone.
constexpr std::size_t PARALLEL_WORK = 1 << 16;

// Σ a_i·b_i over the common length, in index order from −0.0.
double dot(std::span<const double> a, std::span<const double> b) {
  const std::size_t n = std::min(a.size(), b.size());
  double s = -0.0;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

std::vector<double> divide_by_scalar(std::span<const double> a, double s) {
  std::vector<double> out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] / s;
  return out;
}

}  // namespace

PyReducedModel reduced_model(std::span<const double> start, std::size_t r, std::size_t n_dof,
                             ApplyRef apply) {
  if (std::all_of(start.begin(), start.end(), [](double x) { return x == 0.0; }))
    throw Error("reduced_model: start vector must be nonzero");
  if (r == 0) throw Error("reduced_model: r must be at least 1");
  if (start.size() != n_dof) throw Error("reduced_model: start length must equal n_dof");
  const std::size_t n = start.size();
  const double nu = std::sqrt(dot(start, start));
  if (!(nu > 0.0)) panic("start vector must be nonzero");
  if (std::isinf(nu)) throw Error("reduced_model: start vector norm is not finite");
  // No Krylov space is larger than the state: a request beyond n is served by the whole space
  // (and never sizes H as r² for an r the memory cannot hold).
  const std::size_t rr = std::min(r, n);

  PyReducedModel model;
  model.n = n;
  model.basis.push_back(divide_by_scalar(start, nu));
  std::vector<double> hess(rr * rr, 0.0);
  std::size_t r_eff = rr;
  std::vector<double> w(n_dof);
  for (std::size_t j = 0; j < rr; ++j) {
    apply(model.basis[j], w);
    // One modified Gram–Schmidt pass: h_i = ⟨w, V_i⟩ from the w updated by V_0..V_{i−1}, then
    // w −= h_i·V_i. Each sweep over w subtracts one projection and, on the same entries just
    // updated, sums the next coefficient (or ‖w‖² after the last): every sum is the sequential
    // index-order sum of the updated w, in half the passes over memory.
    double h = dot(w, model.basis[0]);
    double b2 = -0.0;
    for (std::size_t i = 0; i <= j; ++i) {
      hess[i * rr + j] = h;
      const double* v = model.basis[i].data();
      const double* next = i < j ? model.basis[i + 1].data() : w.data();
      double s = -0.0;
      for (std::size_t t = 0; t < n; ++t) {
        w[t] -= h * v[t];
        s += w[t] * next[t];
      }
      if (i < j) h = s;
      else b2 = s;
    }
    const double b = std::sqrt(b2);
    if (b < ARNOLDI_BREAKDOWN) {  // invariant subspace: the model is exact on it
      r_eff = j + 1;
      break;
    }
    if (j + 1 >= rr) break;
    hess[(j + 1) * rr + j] = b;
    model.basis.push_back(divide_by_scalar(w, b));
  }

  model.r = r_eff;
  model.a_hat.resize(r_eff * r_eff);
  for (std::size_t i = 0; i < r_eff; ++i)
    for (std::size_t j = 0; j < r_eff; ++j) model.a_hat[i * r_eff + j] = hess[i * rr + j];
  return model;
}

std::vector<double> project_reduced_state(const PyReducedModel& model, std::span<const double> y) {
  const std::size_t r = model.basis.size();
  std::vector<double> yhat(r);
  // One sequential inner product per coefficient, the coefficients spread over the pool.
  auto coeff = [&](std::size_t k) { yhat[k] = dot(model.basis[k], y); };
  if (r * y.size() < PARALLEL_WORK) {
    for (std::size_t k = 0; k < r; ++k) coeff(k);
  } else {
    parallel_for(r, coeff);
  }
  return yhat;
}

std::vector<double> lift_reduced_state(const PyReducedModel& model, std::span<const double> yhat) {
  const std::size_t n = model.n;
  std::vector<double> y(n, 0.0);
  const std::size_t terms = std::min(model.basis.size(), yhat.size());
  // y[t] = Σ_k V_k[t]·ŷ_k accumulated in ascending k for every t; chunks of t run in parallel.
  auto chunk = [&](std::size_t c) {
    const std::size_t lo = c * KRYLOV_CHUNK, hi = std::min(n, lo + KRYLOV_CHUNK);
    for (std::size_t k = 0; k < terms; ++k) {
      const std::vector<double>& v = model.basis[k];
      const double ck = yhat[k];
      const std::size_t end = std::min(hi, v.size());
      for (std::size_t t = lo; t < end; ++t) y[t] += v[t] * ck;
    }
  };
  const std::size_t chunks = (n + KRYLOV_CHUNK - 1) / KRYLOV_CHUNK;
  if (chunks <= 1 || terms * n < PARALLEL_WORK) {
    for (std::size_t c = 0; c < chunks; ++c) chunk(c);
  } else {
    parallel_for(chunks, chunk);
  }
  return y;
}

std::vector<double> propagate(const PyReducedModel& model, std::span<const double> y0, double t) {
  if (!std::isfinite(t)) throw Error("propagate: t must be finite");
  for (double x : y0)
    if (!std::isfinite(x)) throw Error("propagate: state vector must be finite");
  const std::size_t r = model.r;
  const std::vector<double> yhat = project_reduced_state(model, y0);
  std::vector<double> scaled(r * r);
  for (std::size_t i = 0; i < r * r; ++i) scaled[i] = t * model.a_hat[i];
  // Fresh scratch: a model is read-only and shares nothing with an operator's workspace.
  ExpmScratch scratch;
  std::vector<double> e(r * r);
  matrix_exponential(scaled, r, e, scratch);
  std::vector<double> z(r);
  for (std::size_t i = 0; i < r; ++i) {
    double s = 0.0;
    for (std::size_t j = 0; j < r; ++j) s += e[i * r + j] * yhat[j];
    z[i] = s;
  }
  for (double x : z)
    if (!std::isfinite(x)) throw Error("propagate: exp(t\u00b7\u00c2) is not finite (t too large)");
  return lift_reduced_state(model, z);
}

}  // namespace vantrel
