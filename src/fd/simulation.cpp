#include "fd/simulation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "fd/ports.hpp"

namespace vantrel {

namespace {

std::vector<u64> group_list(const GroupMap& groups, i32 tag) {
  const auto it = groups.find(tag);
  return it == groups.end() ? std::vector<u64>{} : it->second;
}

std::string num(u64 v) { return std::to_string(v); }
std::string num(i32 v) { return std::to_string(v); }
std::string mm(double metres, int decimals) { return fmt_fixed(metres * 1000.0, decimals); }

void warn_no_triangles(i32 tag, const char* what) {
  eprint("  WARNING: tag " + num(tag) + " has no triangles, skipping " + what + "\n");
}

// Builds the objects of one [[ports]] entry; returns nullptr (after its warning) for an entry
// whose tag has no triangles, and for a pmc entry.
struct PortBuilder {
  const Mesh& mesh;
  u64 number;  // the number the object takes: one more than the objects built so far
  const std::vector<u64>& faces;

  std::unique_ptr<Port> operator()(const PortConfig::Rectangular& c) const {
    if (faces.empty()) return warn_no_triangles(c.tag, "port"), nullptr;
    const PortAperture ap = build_port_frame(mesh, faces);
    const double a = c.width > 0.0 ? c.width : ap.extent_major;
    const double b = c.height > 0.0 ? c.height : ap.extent_minor;
    auto port = std::make_unique<RectangularPort>(c.mode[0], c.mode[1], a, b, ap.frame, number,
                                                  c.power, c.er);
    eprint("  Port " + num(number) + ": rectangular, tag=" + num(c.tag) + ", TE" + num(c.mode[0]) +
           num(c.mode[1]) + ", dims=(" + mm(a, 2) + "mm, " + mm(b, 2) + "mm), er=" +
           fmt_fixed(c.er, 1) + "\n");
    return port;
  }

  std::unique_ptr<Port> operator()(const PortConfig::Floquet& c) const {
    if (faces.empty()) return warn_no_triangles(c.tag, "FloquetPort"), nullptr;
    const PortAperture ap = build_port_frame(mesh, faces);
    const double area = ap.extent_major * ap.extent_minor;
    auto port = std::make_unique<FloquetPort>(ap.frame, number, c.power, c.er, area,
                                              c.scan_theta_deg * DEG_TO_RAD,
                                              c.scan_phi_deg * DEG_TO_RAD, c.mode_nr);
    eprint("  Port " + num(number) + ": floquet, tag=" + num(c.tag) + ", mode=" +
           std::to_string(c.mode_nr) + " (" + (c.mode_nr == 1 ? "TE/S" : "TM/P") + "), theta=" +
           fmt_fixed(c.scan_theta_deg, 1) + "deg, phi=" + fmt_fixed(c.scan_phi_deg, 1) +
           "deg, A=" + fmt_fixed(area * 1e6, 2) + "mm^2\n");
    return port;
  }

  std::unique_ptr<Port> operator()(const PortConfig::UserDefined& c) const {
    if (faces.empty()) return warn_no_triangles(c.tag, "UserDefined"), nullptr;
    const Vec3 e = c.e_field;
    auto port = std::make_unique<UserDefinedPort>([e](double, double, double) { return e; },
                                                  number, c.power);
    eprint("  Port " + num(number) + ": user_defined, tag=" + num(c.tag) + ", E=(" +
           fmt_fixed(e[0], 3) + "," + fmt_fixed(e[1], 3) + "," + fmt_fixed(e[2], 3) + "), P=" +
           fmt_fixed(c.power, 2) + "W\n");
    return port;
  }

  std::unique_ptr<Port> operator()(const PortConfig::Coax& c) const {
    if (faces.empty()) return warn_no_triangles(c.tag, "CoaxPort"), nullptr;
    const PortAperture measured = build_port_frame(mesh, faces);
    const PortFrame frame = build_coax_frame(measured.frame, c.origin, c.z_axis, number);
    auto port = std::make_unique<CoaxPort>(frame, number, c.power, c.er, c.ri, c.ro);
    eprint("  Port " + num(number) + ": coax, tag=" + num(c.tag) + ", Ri=" + mm(c.ri, 3) +
           "mm, Ro=" + mm(c.ro, 3) + "mm, er=" + fmt_fixed(c.er, 2) + ", Z0=" +
           fmt_fixed(port->characteristic_impedance(), 2) + "Ohm\n");
    return port;
  }

  std::unique_ptr<Port> operator()(const PortConfig::Lumped& c) const {
    if (faces.empty()) return warn_no_triangles(c.tag, "port"), nullptr;
    const ApertureExtents ext = aperture_extents(mesh, faces, c.direction);
    const double width = c.width > 0.0 ? c.width : ext.width;
    const double height = c.height > 0.0 ? c.height : ext.height;
    auto port = std::make_unique<LumpedPort>(number, c.power, c.z0, width, height, c.direction);
    eprint("  Port " + num(number) + ": lumped, tag=" + num(c.tag) + ", Z0=" + fmt_fixed(c.z0, 0) +
           "Ohm, dir=(" + fmt_fixed(c.direction[0], 1) + "," + fmt_fixed(c.direction[1], 1) + "," +
           fmt_fixed(c.direction[2], 1) + ")\n");
    return port;
  }

  std::unique_ptr<Port> operator()(const PortConfig::Abc& c) const {
    if (faces.empty()) return warn_no_triangles(c.tag, "ABC"), nullptr;
    auto port = std::make_unique<AbcBoundary>(c.order, abc_kind_from_text(c.abctype));
    eprint("  ABC: tag=" + num(c.tag) + ", order=" + num(c.order) + ", type=" + c.abctype + "\n");
    return port;
  }

  std::unique_ptr<Port> operator()(const PortConfig::Pmc& c) const {
    eprint("  PMC: tag=" + num(c.tag) + ", " + num(static_cast<u64>(faces.size())) +
           " triangles (natural BC)\n");
    return nullptr;
  }

  std::unique_ptr<Port> operator()(const PortConfig::LumpedElement& c) const {
    if (faces.empty()) return warn_no_triangles(c.tag, "LumpedElement"), nullptr;
    const ApertureExtents ext = aperture_extents(mesh, faces, c.direction);
    const double width = c.width > 0.0 ? c.width : ext.width;
    const double height = c.height > 0.0 ? c.height : ext.height;
    auto port = std::make_unique<LumpedElement>(c.c, c.r, c.l, width, height, c.tag);
    eprint("  LumpedElement: tag=" + num(c.tag) + ", R=" + fmt_fixed(c.r, 2) + "Ohm, L=" +
           fmt_exp(c.l, 2) + "H, C=" + fmt_debug_opt(c.c) + "F, w=" + mm(width, 2) + "mm, h=" +
           mm(height, 2) + "mm\n");
    return port;
  }

  std::unique_ptr<Port> operator()(const PortConfig::SurfaceImpedance& c) const {
    if (faces.empty()) return warn_no_triangles(c.tag, "SurfaceImpedance"), nullptr;
    std::optional<cplx> zs;
    if (c.zs) zs = cplx((*c.zs)[0], (*c.zs)[1]);
    auto port = std::make_unique<SurfaceImpedance>(c.thickness, zs, zs ? 0.0 : c.conductivity,
                                                   c.mur, c.er, c.tag);
    eprint("  SurfaceImpedance: tag=" + num(c.tag) + ", sigma=" + fmt_exp(c.conductivity, 2) +
           "S/m, ur=" + fmt_fixed(c.mur, 2) + ", er=" + fmt_fixed(c.er, 2) + ", t=" +
           fmt_debug_opt(c.thickness) + "\n");
    return port;
  }
};

MaterialRegion build_material(const MaterialConfig& c, const Mesh& mesh) {
  MaterialRegion r;
  r.tets = group_list(mesh.volume_groups, c.volume_tag);
  if (r.tets.empty())
    eprint("  WARNING: volume tag " + num(c.volume_tag) + " has no tets\n");
  else
    eprint("  Material: tag=" + num(c.volume_tag) + ", er=" + fmt_fixed(c.er, 2) + ", ur=" +
           fmt_fixed(c.ur, 2) + ", tand=" + fmt_fixed(c.tand, 4) + ", cond=" +
           fmt_exp(c.conductivity, 2) + ", " + num(static_cast<u64>(r.tets.size())) + " tets\n");
  if (c.debye)
    r.dispersion = Dispersion::debye(c.debye->er_inf, c.debye->er_static, c.debye->tau_s);
  else if (c.drude)
    r.dispersion =
        Dispersion::drude(c.drude->er_inf, c.drude->plasma_freq_hz, c.drude->damping_freq_hz);
  if (r.dispersion.is_dispersive()) eprint("    (dispersive: er(f) recomputed per frequency)\n");
  r.er_diag = c.er_diag;
  r.ur_diag = c.ur_diag;
  r.er = c.er;
  r.ur = c.ur;
  r.tand = c.tand;
  r.conductivity = c.conductivity;
  r.volume_tag = c.volume_tag;
  return r;
}

PmlRegion build_pml(const PmlConfig& c, const Mesh& mesh) {
  PmlRegion r;
  r.tets = group_list(mesh.volume_groups, c.volume_tag);
  r.er_base = c.er_base;
  r.ur_base = c.ur_base;
  r.direction = c.direction;
  r.inner_face = c.inner_face;
  r.thickness = c.thickness;
  r.exponent = c.exponent;
  r.delta_max = c.delta_max;
  // A zero thickness makes the stretch singular and a negative one turns the layer into a gain
  // medium that still "solves": refuse such a layer before anything is assembled.
  check_pml_region(r, c.volume_tag);
  if (r.tets.empty())
    eprint("  WARNING: PML volume tag " + num(c.volume_tag) + " has no tets\n");
  else
    eprint("  PML: tag=" + num(c.volume_tag) + ", dir=(" + fmt_fixed(c.direction[0], 0) + "," +
           fmt_fixed(c.direction[1], 0) + "," + fmt_fixed(c.direction[2], 0) + "), inner=" +
           fmt_fixed(c.inner_face, 3) + "m, t=" + fmt_fixed(c.thickness, 3) + "m, n=" +
           fmt_fixed(c.exponent, 1) + ", delta_max=" + fmt_fixed(c.delta_max, 1) + ", " +
           num(static_cast<u64>(r.tets.size())) + " tets\n");
  return r;
}

}  // namespace

std::vector<const Port*> Simulation::port_list() const {
  std::vector<const Port*> list;
  list.reserve(ports.size());
  for (const auto& p : ports) list.push_back(p.get());
  return list;
}

std::vector<u64> Simulation::driven_order() const {
  std::vector<u64> order;
  for (u64 i = 0; i < ports.size(); ++i)
    if (ports[i]->is_driven()) order.push_back(i);
  return order;
}

u64 mesh_fingerprint(const Mesh& mesh) {
  u64 h = 0x243F6A8885A308D3ULL;
  const auto add = [&h](u64 word) {
    h = (h ^ word) * 0x9E3779B97F4A7C15ULL;  // multiply-xor, then fold the high bits back
    h ^= h >> 29;
  };
  add(mesh.nodes.size());
  for (const Vec3& p : mesh.nodes)
    for (double c : p) add(std::bit_cast<u64>(c));
  add(mesh.tets.size());
  for (const auto& t : mesh.tets)
    for (u64 n : t) add(n);
  return h != 0 ? h : 1;
}

Simulation build_simulation(Mesh mesh, Config config) {
  Simulation sim;
  sim.basis = build_basis(mesh);
  sim.mesh_fingerprint = mesh_fingerprint(mesh);
  eprint("vantrel - " + num(static_cast<u64>(mesh.tets.size())) + " tets, " + num(sim.basis.n_dofs) +
         " DOFs\n");

  for (const PortConfig& entry : config.ports) {
    std::vector<u64> faces = group_list(mesh.face_groups, entry.tag());
    const PortBuilder builder{mesh, static_cast<u64>(sim.ports.size()) + 1, faces};
    std::unique_ptr<Port> port = std::visit(builder, entry.kind);
    if (!port) continue;
    sim.port_faces.push_back(std::move(faces));
    sim.ports.push_back(std::move(port));
  }

  // A conductor tag that names no triangles (a typo) would leave its walls magnetic: say so, once
  // per tag.
  std::vector<i32> empty_pec;
  for (i32 tag : config.pec.tags) {
    const auto it = mesh.face_groups.find(tag);
    if (it != mesh.face_groups.end() && !it->second.empty()) {
      sim.pec_faces.insert(sim.pec_faces.end(), it->second.begin(), it->second.end());
    } else if (std::ranges::count(empty_pec, tag) == 0) {
      empty_pec.push_back(tag);
      eprint("  WARNING: PEC tag " + num(tag) + " has no triangles\n");
    }
  }

  for (const MaterialConfig& c : config.materials) sim.materials.push_back(build_material(c, mesh));
  for (const PmlConfig& c : config.pml) sim.pml_regions.push_back(build_pml(c, mesh));

  for (u64 i = 0; i < sim.ports.size(); ++i) {
    const Port& p = *sim.ports[i];
    if (!p.is_lumped()) continue;
    const std::optional<LumpedPortInfo> info = p.lumped_info();
    if (!info) panic("lumped port must report its direction, z0 and v_peak");
    const std::optional<double> h = p.lumped_height();
    if (!h) panic("lumped port must have height");
    std::vector<std::vector<Vec3>> lines =
        lumped_integration_lines(mesh, sim.port_faces[i], info->direction, *h);
    eprint("  Lumped port " + num(p.port_number()) + ": " + num(static_cast<u64>(lines.size())) +
           " integration lines x " + num(LUMPED_LINE_POINTS) + " pts, height=" + mm(*h, 4) +
           "mm\n");
    sim.lumped_lines.emplace(i, std::move(lines));
  }

  sim.config = std::move(config);
  sim.mesh = std::move(mesh);
  return sim;
}

void check_ports_at_frequencies(const Simulation& sim, const std::vector<double>& frequencies) {
  check_ports_for_frequencies(sim.ports, frequencies);
}

}  // namespace vantrel
