// Frequency-domain classes: Simulation, SweepResult, Eigenmode, RadiationPattern.
#include "python/bind_fd.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/mesh_io.hpp"
#include "fd/config.hpp"
#include "fd/eigenmode.hpp"
#include "fd/farfield.hpp"
#include "fd/fields.hpp"
#include "fd/simulation.hpp"
#include "fd/sparam.hpp"
#include "python/convert.hpp"

namespace vantrel::py {

namespace {

// Wrappers; each owns exactly one record.
struct SimulationObj {
  explicit SimulationObj(Simulation* sim) : sim(sim, "vantrel::PySimulation") {}
  ThreadBound<Simulation> sim;  // owned; used and dropped on the creating thread only
};
struct SweepResultObj {
  SweepResult result;
};
// One resonant mode as Python holds it (the eigenvalue of the search is not kept).
struct EigenmodeRecord {
  std::vector<cplx> field;
  double frequency_hz = 0.0;
  double frequency_imag_hz = 0.0;
  double q_factor = 0.0;
};
struct EigenmodeObj {
  explicit EigenmodeObj(EigenmodeRecord* rec) : mode(rec, "vantrel::PyEigenmode") {}
  ThreadBound<EigenmodeRecord> mode;  // owned; used and dropped on the creating thread only
};
struct RadiationPatternObj {
  explicit RadiationPatternObj(RadiationPattern* p) : pattern(p, "vantrel::PyRadiationPattern") {}
  ThreadBound<RadiationPattern> pattern;  // owned; used and dropped on the creating thread only
};

nb::object wrap_simulation(Simulation&& sim) {
  auto* obj = new SimulationObj(new Simulation(std::move(sim)));
  return nb::cast(obj, nb::rv_policy::take_ownership);
}

// A fresh (rows, cols) int64 array that takes over the buffer.
nb::object index_grid_result(std::vector<std::int64_t>&& v, std::size_t rows, std::size_t cols) {
  auto* owned = new std::vector<std::int64_t>(std::move(v));
  nb::capsule keeper(owned, [](void* p) noexcept { delete static_cast<std::vector<std::int64_t>*>(p); });
  const std::size_t shape[2] = {rows, cols};
  return nb::ndarray<nb::numpy, std::int64_t>(owned->data(), 2, shape, keeper).cast();
}

// The text of an operating-system error as the file messages show it.
std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

// Reads a whole file. Returns false with the error text in `err` on failure.
bool read_whole_file(const std::string& path, std::string& out, std::string& err) {
  if (path.find('\0') != std::string::npos) {
    err = "file name contained an unexpected NUL byte";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = os_error_text(errno);
    return false;
  }
  out.clear();
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = os_error_text(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool valid_utf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned cp;
    if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07;
    else return false;
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

nb::object simulation_from_files(nb::handle, const nb::args& args, const nb::kwargs& kwargs) {
  Call c("Simulation.from_files()", {{"mesh_path"}, {"config_path"}}, args, kwargs);
  const std::string mesh_path = arg_text(c[0], "mesh_path");
  const std::string config_path = arg_text(c[1], "config_path");

  // the configuration is read and parsed before the mesh file is opened
  std::string text, err;
  if (!read_whole_file(config_path, text, err))
    throw Error("config: Cannot read " + config_path + ": " + err);
  if (!valid_utf8(text))
    throw Error("config: Cannot read " + config_path + ": stream did not contain valid UTF-8");
  Config config;
  try {
    config = parse_config(text);
  } catch (const Error& e) {
    throw Error("config: " + config_path + ": " + e.message());
  }

  std::string bytes;
  if (!read_whole_file(mesh_path, bytes, err))
    throw Error("mesh: Cannot read " + mesh_path + ": " + err);
  Mesh mesh;
  try {
    mesh = load_msh_bytes(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  } catch (const Error& e) {
    throw Error("mesh: " + mesh_path + ": " + e.message());
  }
  return wrap_simulation(build_simulation(std::move(mesh), std::move(config)));
}

nb::object simulation_from_bytes(nb::handle, const nb::args& args, const nb::kwargs& kwargs) {
  Call c("Simulation.from_bytes()", {{"mesh_bytes"}, {"config_toml"}}, args, kwargs);
  const std::span<const std::uint8_t> bytes = arg_bytes(c[0], "mesh_bytes");
  const std::string toml = arg_text(c[1], "config_toml");
  Mesh mesh = load_msh_bytes(bytes);
  Config config = parse_config(toml);
  return wrap_simulation(build_simulation(std::move(mesh), std::move(config)));
}

nb::object simulation_run_sweep(nb::handle self, const nb::args&, const nb::kwargs&) {
  const Simulation& sim = record_of<SimulationObj>(self, "Simulation").sim.get();
  auto* obj = new SweepResultObj();
  try {
    // the only call that lets other Python threads run: the whole sweep, extraction included
    nb::gil_scoped_release release;
    obj->result = run_sweep(sim);
  } catch (...) {
    delete obj;
    throw;
  }
  return nb::cast(obj, nb::rv_policy::take_ownership);
}

nb::object simulation_run_eigenmode(nb::handle self, const nb::args&, const nb::kwargs&) {
  const Simulation& sim = record_of<SimulationObj>(self, "Simulation").sim.get();
  if (!sim.config.eigenmode) throw Error("config.eigenmode block not set in TOML");
  std::vector<EigenmodeResult> modes =
      solve_eigenmodes(sim.mesh, sim.basis, sim.pec_faces, sim.materials.empty() ? nullptr : &sim.materials,
                       sim.config.eigenmode->n_modes, sim.config.eigenmode->target_frequency);
  nb::list out;
  for (EigenmodeResult& r : modes) {
    auto* rec = new EigenmodeRecord{std::move(r.field), r.frequency_hz, r.frequency_imag_hz, r.q_factor};
    out.append(nb::cast(new EigenmodeObj(rec), nb::rv_policy::take_ownership));
  }
  return out;
}

u64 simulation_n_driven_ports(const SimulationObj& self) {
  u64 n = 0;
  for (const auto& p : self.sim.get().ports)
    if (p->is_driven()) ++n;
  return n;
}

nb::object simulation_mesh_nodes(const SimulationObj& self) {
  const Mesh& mesh = self.sim.get().mesh;
  std::vector<double> flat;
  flat.reserve(3 * mesh.nodes.size());
  for (const Vec3& p : mesh.nodes) flat.insert(flat.end(), p.begin(), p.end());
  return grid_result(std::move(flat), mesh.nodes.size(), 3);
}

nb::object simulation_mesh_tets(const SimulationObj& self) {
  const Mesh& mesh = self.sim.get().mesh;
  std::vector<std::int64_t> flat;
  flat.reserve(4 * mesh.tets.size());
  for (const auto& t : mesh.tets)
    for (u64 n : t) flat.push_back(static_cast<std::int64_t>(n));
  return index_grid_result(std::move(flat), mesh.tets.size(), 4);
}

nb::object sweep_sparams(const SweepResultObj& self) {
  const SweepResult& r = self.result;
  const std::size_t nf = r.frequencies.size(), nd = r.n_driven;
  std::vector<cplx> flat;
  flat.reserve(nf * nd * nd);
  for (const auto& per_freq : r.sparams)
    for (const auto& row : per_freq) flat.insert(flat.end(), row.begin(), row.end());
  if (flat.size() != nf * nd * nd) panic("shape matches data");
  auto* owned = new std::vector<cplx>(std::move(flat));
  nb::capsule keeper(owned, [](void* p) noexcept { delete static_cast<std::vector<cplx>*>(p); });
  const std::size_t shape[3] = {nf, nd, nd};
  return nb::ndarray<nb::numpy, cplx>(owned->data(), 3, shape, keeper).cast();
}


// ---- fields at the nodes and the far field -------------------------------------------------------

// The `result` argument kind: a SweepResult instance.
const SweepResult& arg_sweep_result(nb::handle h, const char* name) {
  if (!h.is_valid() || !nb::isinstance<SweepResultObj>(h)) raise_cannot_convert(h, "SweepResult", name);
  return record_of<SweepResultObj>(h, "SweepResult").result;
}

// Binds (result, freq_idx, port_idx) of the three nodal members.
struct NodalArgs {
  const SweepResult* result;
  u64 freq_idx, port_idx;
};
NodalArgs nodal_args(const char* callable, const nb::args& args, const nb::kwargs& kwargs) {
  Call c(callable, {{"result"}, {"freq_idx"}, {"port_idx"}}, args, kwargs);
  const SweepResult& r = arg_sweep_result(c[0], "result");
  return {&r, arg_index(c[1], "freq_idx"), arg_index(c[2], "port_idx")};
}

nb::object simulation_field_at_nodes(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  const Simulation& sim = record_of<SimulationObj>(self, "Simulation").sim.get();
  const NodalArgs a = nodal_args("Simulation.field_at_nodes()", args, kwargs);
  const std::vector<cplx>* x = sweep_solution(sim, *a.result, a.freq_idx, a.port_idx);
  if (!x) return nb::none();
  return nodal_result(nodal_field_samples(sim, *x));
}

nb::object simulation_current_density_at_nodes(nb::handle self, const nb::args& args,
                                               const nb::kwargs& kwargs) {
  const Simulation& sim = record_of<SimulationObj>(self, "Simulation").sim.get();
  const NodalArgs a = nodal_args("Simulation.current_density_at_nodes()", args, kwargs);
  return nodal_result(current_density_at_nodes(sim, *a.result, a.freq_idx, a.port_idx));
}

nb::object simulation_h_field_at_nodes(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  const Simulation& sim = record_of<SimulationObj>(self, "Simulation").sim.get();
  const NodalArgs a = nodal_args("Simulation.h_field_at_nodes()", args, kwargs);
  return nodal_result(h_field_at_nodes(sim, *a.result, a.freq_idx, a.port_idx));
}

// The `mode` argument kind: an Eigenmode made on this thread (another thread's stops the call).
const EigenmodeRecord& arg_mode(nb::handle h, const char* name) {
  if (!h.is_valid() || !nb::isinstance<EigenmodeObj>(h)) raise_cannot_convert(h, "Eigenmode", name);
  return record_of<EigenmodeObj>(h, "Eigenmode").mode.get();
}

nb::object simulation_mode_field_at_nodes(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  const Simulation& sim = record_of<SimulationObj>(self, "Simulation").sim.get();
  Call c("Simulation.mode_field_at_nodes()", {{"mode"}}, args, kwargs);
  const EigenmodeRecord& mode = arg_mode(c[0], "mode");
  if (mode.field.empty()) return nb::none();
  return nodal_result(nodal_field_samples(sim, mode.field));
}

nb::object simulation_compute_farfield(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  const Simulation& sim = record_of<SimulationObj>(self, "Simulation").sim.get();
  Call c("Simulation.compute_farfield()",
         {{"result"}, {"freq_idx", true}, {"port_idx", true}, {"n_theta", true}, {"n_phi", true}},
         args, kwargs);
  const SweepResult& r = arg_sweep_result(c[0], "result");
  const u64 freq_idx = c.given(1) ? arg_index(c[1], "freq_idx") : 0;
  const u64 port_idx = c.given(2) ? arg_index(c[2], "port_idx") : 0;
  const u64 n_theta = c.given(3) ? arg_index(c[3], "n_theta") : 91;
  const u64 n_phi = c.given(4) ? arg_index(c[4], "n_phi") : 72;
  // θ_i = i·π/(n_theta − 1) needs two poles, and the power Σ U·sin θ·Δθ·Δφ a point between them
  if (n_theta == 1 || n_theta == 2) {
    PyErr_SetString(PyExc_ValueError,
                    n_theta == 1 ? "n_theta = 1 gives no polar step: use 0 or at least 3 polar angles"
                                 : "n_theta = 2 samples only the poles, where sin(theta) = 0 gives "
                                   "no power: use 0 or at least 3 polar angles");
    throw nb::python_error();
  }
  std::optional<RadiationPattern> pat = compute_farfield(sim, r, freq_idx, port_idx, n_theta, n_phi);
  if (!pat) return nb::none();
  auto* obj = new RadiationPatternObj(new RadiationPattern(std::move(*pat)));
  return nb::cast(obj, nb::rv_policy::take_ownership);
}

// A (n_phi, n_theta) grid; no rows means no columns either.
template <class T>
nb::object pattern_grid(const RadiationPattern& p, const std::vector<T>& g) {
  const std::size_t rows = p.phi_rad.size(), cols = rows ? p.theta_rad.size() : 0;
  if constexpr (std::is_same_v<T, cplx>) {
    return complex_grid_result(std::vector<cplx>(g), rows, cols);
  } else {
    return grid_result(std::vector<double>(g), rows, cols);
  }
}

}  // namespace

void bind_fd(nb::module_& m) {
  auto sim = nb::class_<SimulationObj>(
      m, "Simulation",
      "A frequency-sweep simulation. Build once, run sweeps, inspect results.\n\n"
      "A Simulation instance must stay on the thread that created it: the port objects it\n"
      "holds are not safe to share between threads. This is fine for typical Python use.",
      nb::type_slots(NO_CONSTRUCTOR_SLOTS));
  def_static_method<&simulation_from_files>(
      sim, "from_files",
      "from_files(mesh_path, config_path)\n--\n\n"
      "Construct a simulation by loading a gmsh `.msh` file and a TOML config from disk.\n"
      "The configuration is read and parsed first, then the mesh.");
  def_static_method<&simulation_from_bytes>(
      sim, "from_bytes",
      "from_bytes(mesh_bytes, config_toml)\n--\n\n"
      "Construct from in-memory mesh bytes and a TOML config string.");
  def_method<&simulation_run_sweep>(
      sim, "run_sweep",
      "run_sweep($self)\n--\n\n"
      "Run the configured frequency sweep. Returns a SweepResult with frequencies\n"
      "and S-parameters. Other Python threads run while the sweep runs.",
      true);
  sim
      .def_prop_ro(
          "n_tets", [](const SimulationObj& s) { return static_cast<u64>(s.sim.get().mesh.tets.size()); },
          "Number of tetrahedra in the mesh.")
      .def_prop_ro(
          "n_dofs", [](const SimulationObj& s) { return s.sim.get().basis.n_dofs; },
          "Number of degrees of freedom in the FEM basis.")
      .def_prop_ro("n_driven_ports", &simulation_n_driven_ports,
                   "Number of driven ports (i.e., ports with excitation: rect waveguide, lumped, "
                   "coax, ...).");
  def_method<&simulation_run_eigenmode>(
      sim, "run_eigenmode",
      "run_eigenmode($self)\n--\n\n"
      "Run an eigenmode analysis. Requires `[eigenmode]` block in the TOML config.\n"
      "Returns a list of Eigenmode, closest to the target frequency first.",
      true);
  sim.def_prop_ro("mesh_nodes", &simulation_mesh_nodes,
                   "Mesh node coordinates as a `(n_nodes, 3)` float64 numpy array.")
      .def_prop_ro("mesh_tets", &simulation_mesh_tets,
                   "Mesh tetrahedra as a `(n_tets, 4)` int64 numpy array of node indices.");
  // ---- fields at the nodes
  def_method<&simulation_field_at_nodes>(
      sim, "field_at_nodes",
      "field_at_nodes($self, result, freq_idx, port_idx)\n--\n\n"
      "FEM E-field interpolated at every mesh node for a given (freq_idx, port_idx).\n"
      "Returns a complex128 array `(n_nodes, 3)` in V/m, or None if an index is out of range.\n"
      "Each node takes the field of the lowest-numbered tetrahedron that contains it; nodes\n"
      "of no tetrahedron get zeros. RuntimeError if `result` was solved on another mesh\n"
      "(another number of unknowns, other nodes or tetrahedra, or the same in another order).");
  def_method<&simulation_current_density_at_nodes>(
      sim, "current_density_at_nodes",
      "current_density_at_nodes($self, result, freq_idx, port_idx)\n--\n\n"
      "Loss-equivalent current density J = \u03c3_eff \u00b7 E at every mesh node for\n"
      "a given (freq_idx, port_idx), with \u03c3_eff = \u03c3 + tan\u03b4 \u00b7 \u03c9\u03b5\u2080\u03b5_r of the\n"
      "node's first tetrahedron. Returns a complex128 array `(n_nodes, 3)` in A/m\u00b2, or None\n"
      "if an index is out of range. RuntimeError if `result` was solved on another mesh\n"
      "(another number of unknowns, other nodes or tetrahedra, or the same in another order).");
  def_method<&simulation_h_field_at_nodes>(
      sim, "h_field_at_nodes",
      "h_field_at_nodes($self, result, freq_idx, port_idx)\n--\n\n"
      "Magnetic field H = j \u00b7 \u2207\u00d7E / (\u03c9\u03bc\u2080\u03bc_r) at every mesh node for a given\n"
      "(freq_idx, port_idx) (Faraday's law under the e^{+j\u03c9t} convention). Returns a\n"
      "complex128 array `(n_nodes, 3)` in A/m, or None if an index is out of range.\n"
      "RuntimeError if `result` was solved on another mesh (another number of unknowns,\n"
      "other nodes or tetrahedra, or the same in another order).");
  def_method<&simulation_mode_field_at_nodes>(
      sim, "mode_field_at_nodes",
      "mode_field_at_nodes($self, mode)\n--\n\n"
      "Same as ``field_at_nodes`` but for an :class:`Eigenmode`. Returns a\n"
      "`(n_nodes, 3)` complex128 array of E at every mesh node, or None when the mode has no\n"
      "field. The magnitude is that of the mode's coefficient vector, not normalised.");
  // ---- far field
  def_method<&simulation_compute_farfield>(
      sim, "compute_farfield",
      "compute_farfield($self, result, freq_idx=0, port_idx=0, n_theta=91, n_phi=72)\n--\n\n"
      "Compute the far-field radiation pattern at (freq_idx, port_idx) on a (theta, phi) grid.\n"
      "Returns None if the NFFT surface is empty or out-of-bounds indices.\n"
      "The gain uses the radiation efficiency 1 - sum |S[:, port_idx]|^2. ValueError for\n"
      "n_theta = 1 or 2; RuntimeError if `result` was solved on another mesh (another number\n"
      "of unknowns, other nodes or tetrahedra, or the same in another order).\n"
      "The surface is `[output] nfft_tag`, else the first abc entry's tag, else 2; each face is\n"
      "taken once. The pattern is the free-space radiation of the equivalent currents\n"
      "J = n x H, M = -n x E on the surface that bounds the enclosed region, plus the physical\n"
      "currents of the [pec] conductors outside that region. The enclosed region is the\n"
      "tetrahedra that the surface, closed where its rim lies on a conductor, cuts off from the\n"
      "rest of the mesh (for the outer boundary: the whole mesh). On the surface n points out\n"
      "of the region, and E and H come from the tetrahedron beyond the face, else from its own,\n"
      "whatever the order of the tetrahedra. A surface face with the region on both sides (a\n"
      "wall between two enclosed boxes under one tag) is dropped; faces with the region on\n"
      "neither side are a RuntimeError naming the tag. Conductor faces inside the region add\n"
      "nothing. Bounding it, a conducting sheet radiates n x H of its outer side, a conductor\n"
      "meshed as a hole nothing, and a face of the mesh's outer boundary (a floor) closes the\n"
      "surface where it is reached from the rim without crossing the surface or an edge of more\n"
      "than two conductor faces (n x H of its own side, no M). Outside the region a conductor\n"
      "radiates n x H, n into the air, on each side with air; not on the mesh's outer boundary,\n"
      "whose currents no surface radiates (no image theory). The console line counts the\n"
      "surface and conductor faces that radiate. A surface that cuts off no region (open in the\n"
      "air) radiates alone: its normals agree across shared edges and point out of the mesh\n"
      "where it lies on the mesh boundary, else to its convex side (a flat surface: along the\n"
      "positive direction of the axis nearest its normal).");
  add_to_all(m, "Simulation");

  auto sweep = nb::class_<SweepResultObj>(
      m, "SweepResult", "Result of a frequency sweep \u2014 frequencies and S-parameters.",
      nb::type_slots(NO_CONSTRUCTOR_SLOTS));
  sweep
      .def_prop_ro(
          "frequencies",
          [](const SweepResultObj& s) { return vector_result(std::vector<double>(s.result.frequencies)); },
          "Frequencies in Hz, shape `[n_freq]`, dtype float64.")
      .def_prop_ro("sparams", &sweep_sparams,
                   "S-parameter matrix, shape `[n_freq, n_driven, n_driven]`, dtype complex128.\n"
                   "Indexing: `S[freq_idx, observation_port, excitation_port]`.")
      .def_prop_ro(
          "n_driven", [](const SweepResultObj& s) { return s.result.n_driven; },
          "Number of driven ports (S-matrix dimension).")
      .def_prop_ro(
          "solve_time_s", [](const SweepResultObj& s) { return s.result.solve_time_s; },
          "Total wall-clock for the sweep in seconds.");
  add_to_all(m, "SweepResult");

  auto mode = nb::class_<EigenmodeObj>(m, "Eigenmode", "One eigenmode of a cavity / waveguide.",
                                       nb::type_slots(NO_CONSTRUCTOR_SLOTS));
  mode.def_prop_ro(
          "frequency_hz", [](const EigenmodeObj& e) { return e.mode.get().frequency_hz; },
          "Real part of the resonant frequency (Hz).")
      .def_prop_ro(
          "frequency_imag_hz", [](const EigenmodeObj& e) { return e.mode.get().frequency_imag_hz; },
          "Imaginary part of the resonant frequency (Hz). Non-zero for lossy / leaky modes.")
      .def_prop_ro(
          "q_factor", [](const EigenmodeObj& e) { return e.mode.get().q_factor; },
          "Quality factor Q = f_re / (2 * f_im). Infinite for lossless modes.")
      .def_prop_ro(
          "field", [](const EigenmodeObj& e) { return complex_vector_result(std::vector<cplx>(e.mode.get().field)); },
          "E-field DOF coefficient vector for this mode (complex128).");
  add_to_all(m, "Eigenmode");

  auto pattern = nb::class_<RadiationPatternObj>(
      m, "RadiationPattern",
      "Far-field radiation pattern with directivity, gain, axial ratio, LCP/RCP.",
      nb::type_slots(NO_CONSTRUCTOR_SLOTS));
  auto pat_of = [](const RadiationPatternObj& o) -> const RadiationPattern& { return o.pattern.get(); };
  pattern
      .def_prop_ro(
          "theta_rad",
          [pat_of](const RadiationPatternObj& o) { return vector_result(std::vector<double>(pat_of(o).theta_rad)); },
          "Theta angles (radians, 0..pi).")
      .def_prop_ro(
          "phi_rad",
          [pat_of](const RadiationPatternObj& o) { return vector_result(std::vector<double>(pat_of(o).phi_rad)); },
          "Phi angles (radians, 0..2pi).")
      .def_prop_ro(
          "directivity_dbi",
          [pat_of](const RadiationPatternObj& o) { return pattern_grid(pat_of(o), pat_of(o).directivity_dbi); },
          "")
      .def_prop_ro(
          "gain_dbi",
          [pat_of](const RadiationPatternObj& o) { return pattern_grid(pat_of(o), pat_of(o).gain_dbi); }, "")
      .def_prop_ro(
          "axial_ratio_db",
          [pat_of](const RadiationPatternObj& o) { return pattern_grid(pat_of(o), pat_of(o).axial_ratio_db); },
          "")
      .def_prop_ro(
          "lcp_dbi",
          [pat_of](const RadiationPatternObj& o) { return pattern_grid(pat_of(o), pat_of(o).lcp_dbi); }, "")
      .def_prop_ro(
          "rcp_dbi",
          [pat_of](const RadiationPatternObj& o) { return pattern_grid(pat_of(o), pat_of(o).rcp_dbi); }, "")
      .def_prop_ro(
          "e_theta",
          [pat_of](const RadiationPatternObj& o) { return pattern_grid(pat_of(o), pat_of(o).e_theta); },
          "Complex E_theta(theta, phi), shape `[n_phi, n_theta]`.")
      .def_prop_ro(
          "e_phi",
          [pat_of](const RadiationPatternObj& o) { return pattern_grid(pat_of(o), pat_of(o).e_phi); },
          "Complex E_phi(theta, phi), shape `[n_phi, n_theta]`.")
      .def_prop_ro(
          "peak_directivity_dbi",
          [pat_of](const RadiationPatternObj& o) { return pat_of(o).peak_directivity_dbi; }, "")
      .def_prop_ro(
          "peak_gain_dbi", [pat_of](const RadiationPatternObj& o) { return pat_of(o).peak_gain_dbi; }, "")
      .def_prop_ro(
          "radiated_power", [pat_of](const RadiationPatternObj& o) { return pat_of(o).radiated_power; }, "");
  // these getters carry an empty docstring, not a generated signature
  for (const char* name : {"directivity_dbi", "gain_dbi", "axial_ratio_db", "lcp_dbi", "rcp_dbi",
                           "peak_directivity_dbi", "peak_gain_dbi", "radiated_power"}) {
    nb::setattr(nb::getattr(pattern, name), "__doc__", nb::str(""));
  }
  add_to_all(m, "RadiationPattern");
}

}  // namespace vantrel::py
