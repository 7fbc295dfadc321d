#pragma once
// The operator A of dy/dt = A*y as an explicit compressed-row matrix, measured by probing
// element_rhs with unit vectors over each element's face stencil.

#include <cstdint>
#include <vector>

#include "core/support.hpp"
#include "td/rhs.hpp"

namespace vantrel {

struct CsrMatrix {
  u64 n = 0;                         // n_dof
  std::vector<std::int64_t> row_ptr; // n + 1 values
  std::vector<std::int64_t> col_idx; // ascending and distinct within a row
  std::vector<double> values;
};

// Rows come in state order: element rows, then the Debye rows in `debye` order.
CsrMatrix state_space(const MaxwellOperator& op);

}  // namespace vantrel
