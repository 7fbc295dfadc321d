#pragma once
// Krylov exponential propagator: y(t+h) = exp(h·A)·y for the semi-discrete DGTD system dy/dt = A·y
// (normalised units, c = ε0 = μ0 = 1), with the operator only ever applied, never formed.
//
// Arnoldi builds an orthonormal basis V_k and an upper Hessenberg H_k with A·V_k ≈ V_k·H_k; then
// exp(h·A)·y ≈ β·V_k·exp(h·H_k)·e₁ with β = ‖y‖. The k×k exponential is scaling and squaring
// with an 18-term Taylor polynomial. A constant source b (dy/dt = A·y + b) is handled by the
// augmented system [y; 1] with the operator [[A, b], [0, 0]], whose exponential step gives
// exp(h·A)·y + ∫₀ʰ exp((h−s)·A)·b ds.
//
// All buffers live in a grow-only KrylovWorkspace owned by the caller (the TdOperator object), so
// a time loop allocates nothing but the result array of each step.

#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "core/support.hpp"

namespace vantrel {

// Non-owning reference to an operator application apply(v, w): writes Â·v into w (overwrites,
// does not accumulate). The referenced callable must outlive the call it is passed to.
class ApplyRef {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, ApplyRef>)
  ApplyRef(F&& f)  // NOLINT(google-explicit-constructor): used as a function parameter type
      : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* o, std::span<const double> v, std::span<double> w) {
          (*static_cast<std::remove_reference_t<F>*>(o))(v, w);
        }) {}
  void operator()(std::span<const double> v, std::span<double> w) const { call_(obj_, v, w); }

 private:
  void* obj_;
  void (*call_)(void*, std::span<const double>, std::span<double>);
};

// Scratch of matrix_exponential: five d×d arrays, grown to exactly d² when a larger d arrives.
struct ExpmScratch {
  std::vector<double> a_scaled;
  std::vector<double> result;
  std::vector<double> term;
  std::vector<double> product;
  std::vector<double> square;
  u64 size = 0;  // the d² to which the five arrays were last grown
};

// Every buffer of one Krylov step. Arrays only grow; entries carry no meaning between calls.
struct KrylovWorkspace {
  std::vector<double> basis;        // Krylov vector j at [j·N, j·N + N), N the stepped length
  std::vector<double> w;            // candidate vector, N entries
  std::vector<double> coeffs;       // one Gram–Schmidt pass's projection coefficients, m entries
  std::vector<double> hess;         // H, m×m row-major with row stride m
  std::vector<double> hess_scaled;  // h·H_k, compact k×k row-major
  std::vector<double> exp_hess;     // exp(h·H_k), compact k×k row-major
  ExpmScratch expm;
  std::vector<double> aug_state;   // [y; 1] of the driven steps
  std::vector<double> aug_result;  // augmented result of the driven steps
  std::vector<double> sub_state;   // running state of a step split into substeps
};

// Breakdown threshold of the Arnoldi process (the Krylov space is invariant): shared with the
// reduced-order model.
inline constexpr double ARNOLDI_BREAKDOWN = 1e-12;
// A-posteriori stop of the propagator: b·|exp(h·H_k)[k−1][0]| below this (relative to ‖y‖).
inline constexpr double KRYLOV_ERROR_STOP = 1e-10;
// A Krylov result is used only when the space is invariant, or ‖h·H_k‖∞ ≤ KRYLOV_TRUST·k after
// the estimate stop, or ‖h·H_m‖∞ ≤ KRYLOV_TRUST_FULL·m when the space filled up without it;
// a longer step is split into substeps, at most MAX_KRYLOV_SUBSTEPS of them.
inline constexpr double KRYLOV_TRUST = 2.0;
inline constexpr double KRYLOV_TRUST_FULL = 0.5;
inline constexpr u64 MAX_KRYLOV_SUBSTEPS = u64(1) << 16;
// Taylor terms after the identity in the scaled exponential.
inline constexpr int EXPM_TAYLOR_TERMS = 18;
// Chunk length of the parallel vector updates.
inline constexpr std::size_t KRYLOV_CHUNK = 8192;

KrylovWorkspace new_krylov_workspace();

// Grows basis to n + n·m, w to n, coeffs to m, and hess, hess_scaled, exp_hess to m². Never shrinks.
void ensure_workspace(KrylovWorkspace& ws, std::size_t n, std::size_t m);

// √(Σ x_i²) summed in index order from −0.0, without overflow scaling.
double norm2(std::span<const double> x);

// c = a·b for d×d row-major matrices (first d² entries of c). Zero entries of a (−0.0 included)
// are skipped, which makes products with Hessenberg and early Taylor terms cheap; NaN is not.
void dense_matmul(const double* a, const double* b, std::size_t d, double* c);

// Number of squarings for a matrix of largest absolute row sum nu: 0 for nu ≤ 0.5 or NaN, else
// max(⌈log₂ nu⌉ + 1, 0), so that nu / 2^s lies in (0.25, 0.5].
std::uint32_t expm_scaling_count(double nu);

// out (first d² entries) = exp(a) for the d×d row-major matrix in the first d² entries of a, by
// scaling and squaring with EXPM_TAYLOR_TERMS Taylor terms. A matrix with an infinite row sum has
// no finite scaling: out is filled with NaN instead (the caller reports it).
void matrix_exponential(std::span<const double> a, std::size_t d, std::span<double> out,
                        ExpmScratch& scratch);

// One Arnoldi exponential step: out (N = x.size() entries) = β·V_k·exp(h·H_k)·e₁ ≈ exp(h·Â)·x.
// Arnoldi stops at breakdown, at the a-posteriori estimate or at k = m. A result whose
// ‖h·H_k‖∞ lies beyond the trusted range (KRYLOV_TRUST, KRYLOV_TRUST_FULL) is replaced by
// substeps of h/q. Throws Error when the small exponential is not finite (the step
// overflowed) or when more than MAX_KRYLOV_SUBSTEPS substeps would be needed.
void krylov_exp_step(KrylovWorkspace& ws, std::span<const double> x, double h, std::size_t m,
                     ApplyRef apply, std::span<double> out);

// ---- the three steps of a TdOperator -------------------------------------------------------
// `apply` is the operator application A·v for vectors of n_dof entries. Every argument check runs
// before the workspace or the source array is touched, and throws Error (Python RuntimeError).

// exp(h·A)·y.
std::vector<double> step_plain(KrylovWorkspace& ws, std::span<const double> y, double h,
                               std::size_t m, std::size_t n_dof, ApplyRef apply);

// exp(h·A)·y + ∫₀ʰ exp((h−s)·A)·b ds with b = source (len(source) must equal len(y)).
std::vector<double> step_with_source(KrylovWorkspace& ws, std::span<const double> y,
                                     std::span<const double> source, double h, std::size_t m,
                                     std::size_t n_dof, ApplyRef apply);

// The same with b zero except b[source_dof] = source_value, held in the object's reusable
// `source` array (rebuilt as len(y) zeros when its length differs). The entry is cleared again
// when the step ends, whether it completes or fails, so `source` is all zero between calls.
std::vector<double> step_driven(KrylovWorkspace& ws, std::vector<double>& source,
                                std::span<const double> y, u64 source_dof, double source_value,
                                double h, std::size_t m, std::size_t n_dof, ApplyRef apply);

// Checks shared by the three steps, in this order: len(y) = n_dof, a finite h, krylov_dim ≥ 1,
// finite state entries.
void check_step_arguments(std::span<const double> y, double h, std::size_t m, std::size_t n_dof);

}  // namespace vantrel
