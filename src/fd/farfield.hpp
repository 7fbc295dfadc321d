#pragma once
// Far-field radiation pattern by the surface equivalence principle (time convention e^{+jωt}).
// E and H of one solution are sampled once on the integration surface (six points per face);
// the electric current J = n̂ × H and the magnetic current M = −n̂ × E radiate with the
// far-zone phase e^{+j·k0·r̂·r′}. Far-field values are r·E with e^{−j·k0·r} removed (volts).

#include <optional>
#include <span>
#include <vector>

#include "core/support.hpp"
#include "fd/farfield_surface.hpp"
#include "fd/simulation.hpp"
#include "fd/sparam.hpp"

namespace vantrel {

// One integration point of the surface.
struct FarFieldSample {
  Vec3 position{};  // m
  CVec3 e{};        // V/m
  CVec3 h{};        // A/m, H = j·(∇×E)/(ωμ0)
  Vec3 normal{};    // unit, as farfield_surface orients it
  double weight = 0.0;  // quadrature weight × face area, m²
  bool is_pec = false;  // a conductor carries no magnetic current
};

// The surface currents of the samples, laid out flat for the direction loop: per sample the
// position, the weight and the real and imaginary parts of J = n̂ × H and M = −n̂ × E (M = 0 on
// a conductor).
struct FarFieldSources {
  std::vector<double> x, y, z, w;
  std::array<std::vector<double>, 3> j_re, j_im, m_re, m_im;
  double r_max = 0.0;  // largest |position|, m: bounds the phase k0·r̂·r′
  std::size_t size() const { return w.size(); }
};
FarFieldSources farfield_sources(std::span<const FarFieldSample> samples);

// sin x and cos x as the direction loop takes them (a branch-free reduction and polynomial up to
// |x| = 1e6, the standard functions beyond); within a few units in the last place.
void sincos_for_farfield(double x, double& s, double& c);

// The value of one direction.
struct FarFieldDirection {
  cplx e_theta;  // V
  cplx e_phi;    // V
  u64 phi_index = 0;
  u64 theta_index = 0;
  double intensity = 0.0;  // U, W/sr
};

// One direction (θ = theta[theta_idx], φ = phi[phi_idx]): N = Σ w·e^{jk0 r̂·r′}·J and
// L = Σ w·e^{jk0 r̂·r′}·M in sample order, E_θ = −j·k0/(4π)·(L_φ + η0·N_θ),
// E_φ = −j·k0/(4π)·(η0·N_φ − L_θ), U = (|E_θ|² + |E_φ|²)/(2η0). Pure; no allocation.
FarFieldDirection farfield_direction_kernel(u64 phi_idx, u64 theta_idx,
                                            std::span<const double> theta,
                                            std::span<const double> phi,
                                            const FarFieldSources& sources, double k0);

// Every direction of the θ × φ grid in φ-major order (φ outer, θ inner), in parallel on the
// worker pool; each direction is its own slot, so the values do not depend on the thread count.
std::vector<FarFieldDirection> farfield_directions(std::span<const double> theta,
                                                   std::span<const double> phi,
                                                   const FarFieldSources& sources, double k0);

// The pattern; grids are row-major (n_phi rows of n_theta), entry [j·n_theta + i] belongs to
// (θ_i, φ_j).
struct RadiationPattern {
  std::vector<double> theta_rad;  // n_theta, 0..π
  std::vector<double> phi_rad;    // n_phi, 0..2π (2π excluded)
  std::vector<cplx> e_theta, e_phi;
  std::vector<double> directivity_dbi, gain_dbi, axial_ratio_db, lcp_dbi, rcp_dbi;
  double peak_directivity_dbi = 0.0;
  double peak_gain_dbi = 0.0;
  double radiated_power = 0.0;  // W
};

// Radiated power, directivity, gain (efficiency eta), axial ratio and circular components from
// the directions' values (any order; each carries its grid indices). P = Σ U·sin θ·Δθ·Δφ with
// Δθ = π/(n_theta − 1), Δφ = 2π/n_phi; D = 10·log10(4πU/P); G = D + 10·log10(eta);
// E_L,R = (E_θ ∓ jE_φ)/√2. Zero or undefined values give −100 dB (99 dB for the axial ratio).
RadiationPattern pattern_from_directions(std::vector<double> theta, std::vector<double> phi,
                                         std::span<const FarFieldDirection> dirs, double eta);

// The surface tag: [output] nfft_tag, else the tag of the first abc entry, else 2.
i32 farfield_surface_tag(const Config& config);

// Samples E and H of `solution` at six points of every radiating face, in the tetrahedron the
// face names (one of its own: the field of that side, whatever the other side holds). `omega` in
// rad/s.
std::vector<FarFieldSample> farfield_samples(const Simulation& sim, std::span<const cplx> solution,
                                             double omega, const FarFieldSurface& surface);

// The radiation pattern of solution (freq_idx, port_idx) on an n_theta × n_phi grid, or none
// when an index is out of range or the surface has no faces. The faces that radiate are those of
// farfield_surface (each once, whatever the tags that list it; its error when it refuses the
// surface). Prints the two far-field lines, and between them a warning per material volume
// outside the enclosed region. Error when the result does not belong to this simulation.
// n_theta = 1 has no polar step and n_theta = 2 only the poles, where sin θ = 0 leaves no power;
// the caller refuses both.
std::optional<RadiationPattern> compute_farfield(const Simulation& sim, const SweepResult& result,
                                                 u64 freq_idx, u64 port_idx, u64 n_theta,
                                                 u64 n_phi);

}  // namespace vantrel
