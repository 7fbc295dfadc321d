#include "python_testing/testing_parts.hpp"

namespace vantrel::testing {
void bind_fd_probes(nanobind::module_&) {}
}  // namespace vantrel::testing
