#pragma once
// The sparse direct solver interface. Matrices arrive as triplets of a complex symmetric matrix
// with both triangles present; repeated positions add up. Every failure is an Error carrying the
// back end's own message.

#include <span>
#include <string>
#include <vector>

#include "core/support.hpp"

namespace vantrel {

class SparseSolver {
 public:
  virtual ~SparseSolver() = default;
  // Analyses and factorises from scratch.
  virtual void factorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                         std::span<const cplx> vals) = 0;
  // Numeric factorisation on the pattern of the last factorize (a full factorize if none).
  virtual void refactorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                           std::span<const cplx> vals) = 0;
  // Solves A x = rhs with the current factorisation; changes nothing.
  virtual std::vector<cplx> solve(std::span<const cplx> rhs) const = 0;
  virtual std::string name() const = 0;
};

}  // namespace vantrel
