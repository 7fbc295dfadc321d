#include "td/rhs.hpp"

namespace vantrel {

u64 n_field(const MaxwellOperator& op) { return 6 * op.reference.np * op.n_elem; }
u64 n_dof(const MaxwellOperator& op) {
  return op.reference.np * (6 * op.n_elem + 3 * static_cast<u64>(op.debye.size()));
}

void apply_operator_parallel(const MaxwellOperator&, std::span<const double>, std::span<double>) {
  panic("not yet implemented");
}
std::vector<double> apply_operator(const MaxwellOperator& op, std::span<const double> y) {
  std::vector<double> out(n_dof(op), 0.0);
  apply_operator_parallel(op, y, out);
  return out;
}

}  // namespace vantrel
