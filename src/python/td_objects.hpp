#pragma once
// The records behind the time-domain Python classes. Each Python object owns one of these.

#include <vector>

#include "python/convert.hpp"
#include "td/mor.hpp"
#include "td/propagator.hpp"
#include "td/rhs.hpp"

namespace vantrel::py {

// Value of a TdOperator object: the operator, plus the state that only the stepping members
// change (their Krylov workspace and the single-unknown source vector).
struct PyTdOperator {
  MaxwellOperator op;
  KrylovWorkspace workspace;   // grow-only buffers of the Krylov steps
  std::vector<double> source;  // empty at creation; reused by step_driven
  BorrowFlag borrow;           // the steps borrow exclusively, every other member shared
};

}  // namespace vantrel::py
