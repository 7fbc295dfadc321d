// Frequency-domain classes: Simulation, SweepResult, Eigenmode, RadiationPattern.
#include "python/bind_fd.hpp"

#include "python/convert.hpp"

namespace vantrel::py {

namespace {

// Wrappers; each owns exactly one record. Members arrive with the services behind them.
struct SimulationObj {};
struct SweepResultObj {};
struct EigenmodeObj {};
struct RadiationPatternObj {};

template <class T>
void refuse_construction(nb::class_<T>& cls, const char* name) {
  cls.def("__init__", [name](T*, nb::args, nb::kwargs) { no_constructor(name); });
}

}  // namespace

void bind_fd(nb::module_& m) {
  auto sim = nb::class_<SimulationObj>(
      m, "Simulation",
      "A frequency-sweep simulation. Build once, run sweeps, inspect results.\n\n"
      "A Simulation instance must stay on the thread that created it: the port objects it\n"
      "holds are not safe to share between threads. This is fine for typical Python use.");
  refuse_construction(sim, "Simulation");
  add_to_all(m, "Simulation");

  auto sweep = nb::class_<SweepResultObj>(
      m, "SweepResult", "Result of a frequency sweep \u2014 frequencies and S-parameters.");
  refuse_construction(sweep, "SweepResult");
  add_to_all(m, "SweepResult");

  auto mode = nb::class_<EigenmodeObj>(m, "Eigenmode", "One eigenmode of a cavity / waveguide.");
  refuse_construction(mode, "Eigenmode");
  add_to_all(m, "Eigenmode");

  auto pattern = nb::class_<RadiationPatternObj>(
      m, "RadiationPattern",
      "Far-field radiation pattern with directivity, gain, axial ratio, LCP/RCP.");
  refuse_construction(pattern, "RadiationPattern");
  add_to_all(m, "RadiationPattern");
}

}  // namespace vantrel::py
