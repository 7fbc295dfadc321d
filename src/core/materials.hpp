#pragma once
// Per-tetrahedron complex material tensors at one frequency: constant, lossy (loss tangent,
// conductivity), Debye and Drude media, and uniaxial stretched-coordinate absorbing layers.
// Time convention e^{+jwt}: a lossy medium has a negative imaginary permittivity.

#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"

namespace vantrel {

inline constexpr double TWO_PI = 6.283185307179586;
// The system's own value of the vacuum permittivity (F/m), not the 8.8541878128e-12 of the tables.
inline constexpr double EPS0 = 8.854187818814e-12;

// A 3x3 complex tensor, row-major; entry (i, j) at 3*i + j. Only the diagonal is ever set here.
using Tensor3 = std::array<cplx, 9>;

inline Tensor3 tensor_diag(cplx x, cplx y, cplx z) {
  Tensor3 t{};
  t[0] = x;
  t[4] = y;
  t[8] = z;
  return t;
}
inline Tensor3 tensor_identity() { return tensor_diag(1.0, 1.0, 1.0); }

// Relative permittivity and permeability of every tetrahedron, in tetrahedron index order.
struct MaterialTensors {
  std::vector<Tensor3> eps;
  std::vector<Tensor3> mu;
};

struct Dispersion {
  enum class Kind : int { None = 0, Debye = 1, Drude = 2 };
  Kind kind = Kind::None;
  double er_inf = 0.0;
  double er_static = 0.0;        // Debye
  double tau_s = 0.0;            // Debye relaxation time, s
  double plasma_freq_hz = 0.0;   // Drude
  double damping_freq_hz = 0.0;  // Drude collision frequency, Hz

  static Dispersion none() { return {}; }
  static Dispersion debye(double er_inf, double er_static, double tau_s) {
    Dispersion d;
    d.kind = Kind::Debye;
    d.er_inf = er_inf;
    d.er_static = er_static;
    d.tau_s = tau_s;
    return d;
  }
  static Dispersion drude(double er_inf, double plasma_freq_hz, double damping_freq_hz) {
    Dispersion d;
    d.kind = Kind::Drude;
    d.er_inf = er_inf;
    d.plasma_freq_hz = plasma_freq_hz;
    d.damping_freq_hz = damping_freq_hz;
    return d;
  }
  bool is_dispersive() const { return kind != Kind::None; }
};

struct MaterialRegion {
  std::optional<Vec3> er_diag;  // used instead of er when present and not dispersive
  std::optional<Vec3> ur_diag;  // used instead of ur when present
  Dispersion dispersion;
  std::vector<u64> tets;
  double er = 1.0;
  double ur = 1.0;
  double tand = 0.0;
  double conductivity = 0.0;  // S/m
  i32 volume_tag = 0;         // the volume tag of its [[materials]] entry, for messages
};

// A uniaxial stretched-coordinate layer; only the dominant axis of direction and its sign matter.
struct PmlRegion {
  std::vector<u64> tets;
  double er_base = 1.0;
  double ur_base = 1.0;
  Vec3 direction{0.0, 0.0, 1.0};  // outwards
  double inner_face = 0.0;        // coordinate of the inner face along the dominant axis, m
  double thickness = 0.0;         // m
  double exponent = 2.0;
  double delta_max = 0.0;         // stretch at normalised depth 1
};

// True when the region holds free space: er = ur = 1 on every axis, no loss tangent, no
// conductivity and no dispersion.
bool is_vacuum(const MaterialRegion& region);

// Complex relative permittivity of a region along axis k (0, 1, 2) at angular frequency omega,
// before loss tangent and conductivity.
cplx region_permittivity(const MaterialRegion& region, int k, double omega);

// Tensors of every tetrahedron: the sum of the regions that list it, then
// eps <- eps*(1 - j*tand) - j*sigma/(omega*EPS0). A tetrahedron that no region lists is vacuum
// (identity tensors), the same medium as a problem without any material entry.
MaterialTensors material_tensors_at(u64 n_tets, const std::vector<MaterialRegion>& regions,
                                    double freq_hz);

// material_tensors_at, then every tetrahedron of every layer replaced by the layer's tensors
// er_base*Lambda and ur_base*Lambda, Lambda_i = s_{i+1} s_{i+2} / s_i, s_a = 1 - j*sigma(depth).
MaterialTensors material_tensors_with_pml(u64 n_tets, const std::vector<MaterialRegion>& regions,
                                          const std::vector<PmlRegion>& pml_regions,
                                          const Mesh& mesh, double freq_hz);

// Refuses a layer whose stretch has no finite value: thickness not above 0, a non-finite
// direction, inner face, exponent or delta_max, or a negative exponent or delta_max (a negative
// stretch amplifies). Error "pml on volume tag {tag}: ...".
void check_pml_region(const PmlRegion& layer, i32 tag);

// Diagonal stretch tensor Lambda (x, y, z) of a layer for a tetrahedron whose centroid is c.
std::array<cplx, 3> pml_stretch(const PmlRegion& layer, const Vec3& centroid);

// Dominant axis of a direction: x when |dx| > |dy| and |dx| > |dz|, else y when |dy| > |dz|,
// else z (strict comparisons: ties go to the later axis).
inline int dominant_axis(const Vec3& d) {
  const double ax = std::abs(d[0]), ay = std::abs(d[1]), az = std::abs(d[2]);
  if (ax > ay && ax > az) return 0;
  if (ay > az) return 1;
  return 2;
}

// Bounds-checked access to one tensor of a per-tetrahedron list.
inline const Tensor3& tensor_at(const std::vector<Tensor3>& list, u64 index) {
  check_index(index, list.size());
  return list[index];
}

}  // namespace vantrel
