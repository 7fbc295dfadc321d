// Probes of the eigenmode search: eigenvalues and residuals the public Eigenmode does not carry,
// and the time split of one search, for the tests and the benchmark.
#include <nanobind/nanobind.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/string.h>

#include "core/mesh_io.hpp"
#include "fd/config.hpp"
#include "fd/eigenmode.hpp"
#include "fd/simulation.hpp"
#include "python/convert.hpp"
#include "python_testing/testing_parts.hpp"

namespace nb = nanobind;

namespace vantrel::testing {

void bind_eigenmode_probes(nb::module_& m) {
  // eigenmode_search(mesh_bytes, config_toml) -> dict: builds the problem, runs the search with the
  // interpreter lock released; "modes" holds one dict per mode (eigenvalue, residual, frequency_hz,
  // frequency_imag_hz, q_factor, field), the other keys the time split in seconds and the counts
  // of the search (steps, restarts, checks for missing copies, moves of the shift).
  m.def("eigenmode_search", [](nb::bytes mesh_bytes, std::string toml) {
    const std::span<const std::uint8_t> bytes = py::arg_bytes(mesh_bytes, "mesh_bytes");
    Simulation sim = build_simulation(load_msh_bytes(bytes), parse_config(toml));
    if (!sim.config.eigenmode) throw Error("config.eigenmode block not set in TOML");
    EigenmodeTimings tm;
    std::vector<EigenmodeResult> modes;
    {
      nb::gil_scoped_release release;
      modes = solve_eigenmodes(sim.mesh, sim.basis, sim.pec_faces,
                               sim.materials.empty() ? nullptr : &sim.materials,
                               sim.config.eigenmode->n_modes, sim.config.eigenmode->target_frequency, &tm);
    }
    nb::list out;
    for (EigenmodeResult& r : modes) {
      nb::dict d;
      d["eigenvalue"] = r.eigenvalue;
      d["residual"] = r.residual;
      d["frequency_hz"] = r.frequency_hz;
      d["frequency_imag_hz"] = r.frequency_imag_hz;
      d["q_factor"] = r.q_factor;
      d["field"] = py::complex_vector_result(std::move(r.field));
      out.append(d);
    }
    nb::dict d;
    d["modes"] = out;
    d["n_dofs"] = sim.basis.n_dofs;
    d["n_free"] = tm.n_free;
    d["nnz"] = tm.nnz;
    d["steps"] = tm.steps;
    d["restarts"] = tm.restarts;
    d["checks"] = tm.checks;
    d["check_steps"] = tm.check_steps;
    d["shift_moves"] = tm.shift_moves;
    d["n_gradients"] = tm.n_gradients;
    d["shift"] = tm.shift;
    d["scale"] = tm.scale;
    d["gradient_s"] = tm.gradient_s;
    d["reorthogonalisations"] = tm.reorthogonalisations;
    d["assembly_s"] = tm.assembly_s;
    d["pattern_s"] = tm.pattern_s;
    d["factor_s"] = tm.factor_s;
    d["solve_s"] = tm.solve_s;
    d["krylov_s"] = tm.krylov_s;
    d["ritz_s"] = tm.ritz_s;
    return d;
  });
}

}  // namespace vantrel::testing
