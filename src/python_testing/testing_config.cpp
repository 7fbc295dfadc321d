// Probes of the configuration reader for the pytest suite.
#include <string>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include "fd/config.hpp"
#include "python_testing/testing_parts.hpp"

namespace vantrel::testing {

namespace nb = nanobind;

void bind_config_probes(nb::module_& m) {
  // The sweep frequencies (Hz) of a problem text; parse failures raise RuntimeError.
  m.def("config_frequency_list", [](const std::string& toml_text) { return frequency_list(parse_config(toml_text).frequency); });
  // The "type" of every ports entry, in file order.
  m.def("config_port_kinds", [](const std::string& toml_text) {
    std::vector<std::string> kinds;
    for (const PortConfig& p : parse_config(toml_text).ports) kinds.emplace_back(p.type_name());
    return kinds;
  });
}

}  // namespace vantrel::testing
