#pragma once
// The symmetric-indefinite back end ("Apple Accelerate (Bunch-Kaufman)"): the complex symmetric
// system A x = b of order N is solved as the real symmetric indefinite system of order 2N
//
//   M = [ Ar  -Ai ; -Ai  -Ar ],   M [xr; xi] = [br; -bi],
//
// with A = Ar + j Ai, x = xr + j xi, b = br + j bi (complex unknown k is real unknown k, its
// imaginary part real unknown N + k). The upper triangle of M goes to an LDL^T factorisation
// behind the C shim of accelerate_shim.h. Every factorize, refactorize included, is a full one.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fd/solver/sparse_solver.hpp"

struct AccelerateHandle;

namespace vantrel {

// The upper triangle of M in compressed columns, as handed to the shim.
struct RealEmbedding {
  std::vector<std::int64_t> col_starts;  // 2N + 1
  std::vector<std::int32_t> row_indices;
  std::vector<double> values;
};
// Throws Error for an index not below N, a non-finite value or an order 2N beyond 32 bits.
RealEmbedding real_symmetric_embedding(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                       std::span<const cplx> vals);

class AccelerateSolver final : public SparseSolver {
 public:
  AccelerateSolver() = default;
  ~AccelerateSolver() override;
  AccelerateSolver(const AccelerateSolver&) = delete;
  AccelerateSolver& operator=(const AccelerateSolver&) = delete;

  void factorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                 std::span<const cplx> vals) override;
  void refactorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                   std::span<const cplx> vals) override;
  std::vector<cplx> solve(std::span<const cplx> rhs) const override;
  std::string name() const override { return "Apple Accelerate (Bunch-Kaufman)"; }

 private:
  AccelerateHandle* handle_ = nullptr;  // owned; freed with accel_free
  u64 n_ = 0;                           // N, the complex order
};

std::unique_ptr<SparseSolver> new_accelerate_solver();

}  // namespace vantrel
