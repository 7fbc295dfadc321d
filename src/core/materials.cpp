#include "core/materials.hpp"

#include <cmath>
#include <string>

namespace vantrel {

bool is_vacuum(const MaterialRegion& region) {
  const auto ones = [](const std::optional<Vec3>& diag, double scalar) {
    return diag ? (*diag)[0] == 1.0 && (*diag)[1] == 1.0 && (*diag)[2] == 1.0 : scalar == 1.0;
  };
  return !region.dispersion.is_dispersive() && region.tand == 0.0 && region.conductivity == 0.0 &&
         ones(region.er_diag, region.er) && ones(region.ur_diag, region.ur);
}

cplx region_permittivity(const MaterialRegion& region, int k, double omega) {
  const Dispersion& d = region.dispersion;
  switch (d.kind) {
    case Dispersion::Kind::Debye: {
      // eps = eps_inf + (eps_s - eps_inf)/(1 + j*omega*tau)
      const double delta = d.er_static - d.er_inf;
      const double x = omega * d.tau_s;
      const double den = 1.0 + x * x;
      return {d.er_inf + delta / den, -delta * x / den};
    }
    case Dispersion::Kind::Drude: {
      // eps = eps_inf - wp^2/(w^2 - j*w*gamma): under e^{+jwt} the collision term must give
      // Im(eps) < 0, so a lossy metal absorbs.
      const double wp = TWO_PI * d.plasma_freq_hz;
      const double gamma = TWO_PI * d.damping_freq_hz;
      const cplx q = cdiv(cplx(wp * wp, 0.0), cplx(omega * omega, -omega * gamma));
      return cplx(d.er_inf, 0.0) - q;
    }
    case Dispersion::Kind::None:
      break;
  }
  return {region.er_diag ? (*region.er_diag)[k] : region.er, 0.0};
}

MaterialTensors material_tensors_at(u64 n_tets, const std::vector<MaterialRegion>& regions,
                                    double freq_hz) {
  const std::size_t n = static_cast<std::size_t>(n_tets);
  // Diagonals accumulate in place; loss tangent and conductivity are the same on all three axes
  // of a region, so one sum per tetrahedron each carries them.
  MaterialTensors out;
  out.eps.assign(n, Tensor3{});
  out.mu.assign(n, Tensor3{});
  std::vector<double> tand(n, 0.0);
  std::vector<double> sigma(n, 0.0);
  std::vector<char> covered(n, 0);

  const double omega = TWO_PI * freq_hz;
  for (const MaterialRegion& region : regions) {
    std::array<cplx, 3> e{};
    Vec3 m{};
    for (int k = 0; k < 3; ++k) {
      e[k] = region_permittivity(region, k, omega);
      m[k] = region.ur_diag ? (*region.ur_diag)[k] : region.ur;
    }
    // A tetrahedron listed by several regions gets the sum of their values.
    for (u64 t : region.tets) {
      check_index(t, n_tets);
      for (int k = 0; k < 3; ++k) {
        out.eps[t][4 * k] += e[k];
        out.mu[t][4 * k] += m[k];
      }
      tand[t] += region.tand;
      sigma[t] += region.conductivity;
      covered[t] = 1;
    }
  }

  const cplx w_eps0(omega * EPS0, 0.0);
  for (std::size_t t = 0; t < n; ++t) {
    if (!covered[t]) {
      out.eps[t] = tensor_identity();
      out.mu[t] = tensor_identity();
      continue;
    }
    const cplx loss = sigma[t] != 0.0 ? cdiv(cplx(0.0, sigma[t]), w_eps0) : cplx(0.0, 0.0);
    for (int k = 0; k < 3; ++k) {
      // eps <- eps*(1 - j*tand) - j*sigma/(omega*eps0)
      cplx& v = out.eps[t][4 * k];
      v = cmul(v, cplx(1.0, -tand[t])) - loss;
    }
  }
  return out;
}

void check_pml_region(const PmlRegion& layer, i32 tag) {
  const std::string label = "pml on volume tag " + std::to_string(tag) + ": ";
  if (!(std::isfinite(layer.thickness) && layer.thickness > 0.0)) {
    throw Error(label + "thickness must be above 0 m, got " + fmt_float(layer.thickness));
  }
  for (double d : layer.direction) {
    if (!std::isfinite(d)) throw Error(label + "direction must be finite");
  }
  if (!std::isfinite(layer.inner_face)) throw Error(label + "inner_face must be finite");
  if (!(std::isfinite(layer.exponent) && layer.exponent >= 0.0)) {
    throw Error(label + "exponent must not be negative, got " + fmt_float(layer.exponent));
  }
  if (!(std::isfinite(layer.delta_max) && layer.delta_max >= 0.0)) {
    throw Error(label + "delta_max must not be negative, got " + fmt_float(layer.delta_max));
  }
}

std::array<cplx, 3> pml_stretch(const PmlRegion& layer, const Vec3& c) {
  const int a = dominant_axis(layer.direction);
  const double s = signum(layer.direction[a]);
  double depth = s * (c[a] - layer.inner_face) / layer.thickness;
  // Clamped below only; NaN depth becomes 0 (fmax ignores a NaN operand).
  depth = std::fmax(depth, 0.0);
  const double sig = layer.delta_max * std::pow(depth, layer.exponent);
  std::array<cplx, 3> st{cplx(1.0, 0.0), cplx(1.0, 0.0), cplx(1.0, 0.0)};
  st[a] = cplx(1.0, -sig);
  std::array<cplx, 3> lambda{};
  for (int i = 0; i < 3; ++i) {
    lambda[i] = cdiv(cmul(st[(i + 1) % 3], st[(i + 2) % 3]), st[i]);
  }
  return lambda;
}

MaterialTensors material_tensors_with_pml(u64 n_tets, const std::vector<MaterialRegion>& regions,
                                          const std::vector<PmlRegion>& pml_regions,
                                          const Mesh& mesh, double freq_hz) {
  MaterialTensors out = material_tensors_at(n_tets, regions, freq_hz);
  for (const PmlRegion& layer : pml_regions) {
    for (u64 t : layer.tets) {
      check_index(t, mesh.tets.size());
      check_index(t, out.eps.size());
      Vec3 c{0.0, 0.0, 0.0};
      for (u64 node : mesh.tets[t]) {
        check_index(node, mesh.nodes.size());
        for (int k = 0; k < 3; ++k) c[k] += mesh.nodes[node][k];
      }
      for (int k = 0; k < 3; ++k) c[k] *= 0.25;
      const std::array<cplx, 3> lam = pml_stretch(layer, c);
      // Replaced whole: the layer's medium overrides whatever the material regions gave.
      out.eps[t] = tensor_diag(layer.er_base * lam[0], layer.er_base * lam[1], layer.er_base * lam[2]);
      out.mu[t] = tensor_diag(layer.ur_base * lam[0], layer.ur_base * lam[1], layer.ur_base * lam[2]);
    }
  }
  return out;
}

}  // namespace vantrel
