// Probes of the frequency sweep: the time split of one sweep, for the benchmark.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "core/mesh_io.hpp"
#include "fd/config.hpp"
#include "fd/simulation.hpp"
#include "fd/sparam.hpp"
#include "python/convert.hpp"
#include "python_testing/testing_parts.hpp"

namespace nb = nanobind;

namespace vantrel::testing {

void bind_sweep_probes(nb::module_& m) {
  // sweep_timings(mesh_bytes, config_toml) -> dict: builds the problem, runs the sweep with the
  // interpreter lock released and returns the time split (seconds) with the S-parameters.
  m.def("sweep_timings", [](nb::bytes mesh_bytes, std::string toml) {
    const std::span<const std::uint8_t> bytes = py::arg_bytes(mesh_bytes, "mesh_bytes");
    Mesh mesh = load_msh_bytes(bytes);
    Simulation sim = build_simulation(std::move(mesh), parse_config(toml));
    SweepTimings tm;
    SweepResult r;
    {
      nb::gil_scoped_release release;
      r = run_sweep(sim, &tm);
    }
    nb::dict d;
    d["n_dofs"] = sim.basis.n_dofs;
    d["n_tets"] = static_cast<u64>(sim.mesh.tets.size());
    d["n_free"] = tm.n_free;
    d["nnz"] = tm.nnz;
    d["materials_s"] = tm.materials_s;
    d["assembly_s"] = tm.assembly_s;
    d["pattern_s"] = tm.pattern_s;
    d["fill_s"] = tm.fill_s;
    d["rhs_s"] = tm.rhs_s;
    d["factor_s"] = tm.factor_s;
    d["solve_s"] = tm.solve_s;
    d["extract_s"] = tm.extract_s;
    d["solve_time_s"] = r.solve_time_s;
    return d;
  });
}

}  // namespace vantrel::testing
