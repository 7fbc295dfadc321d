#pragma once
// The frequency-domain problem description: typed records of the TOML text and its reader.
// Quantities are SI (metres, hertz, seconds, watts, ohms, henries, farads, S/m); angles are in
// degrees only where the key says so. Defaults live in the member initialisers below; a field
// the text must give is marked "required" (its initial value is never seen by a caller).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/support.hpp"

namespace vantrel {

using u32 = std::uint32_t;

// [mesh]: where the mesh comes from.
struct MeshConfig {
  std::string file;  // required
};

// [frequency]: the sweep frequencies in Hz, turned into a list by frequency_list().
struct FrequencyConfig {
  std::vector<double> values;  // explicit list; wins over range when not empty
  std::vector<double> range;   // [start, stop, count]
};

// [pec]: surface tags whose triangles are perfect electric conductors (the list may be empty).
struct PecConfig {
  std::vector<i32> tags;  // required
};

// [solver]: back-end preference as written ("auto" unless given).
struct SolverConfig {
  std::string prefer = "auto";
};

// [adaptive]: refinement parameters (read and kept; nothing refines yet).
struct AdaptiveConfig {
  double theta = 0.5;
  double refinement_ratio = 0.5;
};

// [eigenmode]: shift (Hz) and number of modes of the eigenmode search.
struct EigenmodeConfig {
  double target_frequency = 0.0;  // required
  u64 n_modes = 6;
};

// [output]: output options; nfft_tag is the far-field integration surface.
struct OutputConfig {
  std::optional<std::string> touchstone;
  double z0 = 50.0;
  std::optional<std::string> vtk;
  std::optional<std::string> farfield;
  std::optional<i32> nfft_tag;
  std::optional<std::string> group_delay;
};

// The value of "type" of each port kind, in kind-index order (the variant order of PortConfig).
inline constexpr std::array<std::string_view, 9> PORT_KIND_NAMES = {
    "rectangular", "floquet", "user_defined", "coax", "lumped",
    "abc", "pmc", "lumped_element", "surface_impedance"};

// The kinds of a [[ports]] entry, one record each (PortConfig::Rectangular, ...). They stand
// outside PortConfig so that they are complete types, default-constructible inside its variant.
namespace port_config {

// "rectangular": waveguide port driven with the TE(m,n) mode.
struct Rectangular {
  i32 tag = 0;  // required
  double width = 0.0;
  double height = 0.0;
  std::array<u64, 2> mode = {1, 0};
  double er = 1.0;
  double power = 1.0;
};
// "floquet": periodic port; mode_nr 1 selects TE/S, every other value TM/P.
struct Floquet {
  i32 tag = 0;  // required
  double scan_theta_deg = 0.0;
  double scan_phi_deg = 0.0;
  u32 mode_nr = 1;
  double er = 1.0;
  double power = 1.0;
};
// "user_defined": port with a given constant field vector.
struct UserDefined {
  i32 tag = 0;  // required
  Vec3 e_field = {};  // required
  double power = 1.0;
};
// "coax": coaxial TEM port; origin and axis default to the surface frame.
struct Coax {
  i32 tag = 0;  // required
  double ri = 0.0;  // required
  double ro = 0.0;  // required
  std::optional<Vec3> origin;
  std::optional<Vec3> z_axis;
  double er = 1.0;
  double power = 1.0;
};
// "lumped": lumped port across a gap, driven along `direction`.
struct Lumped {
  i32 tag = 0;  // required
  double z0 = 50.0;
  Vec3 direction = {};  // required
  double width = 0.0;
  double height = 0.0;
  double power = 1.0;
};
// "abc": absorbing boundary; order >= 2 adds the second-order term, abctype's first
// character picks the coefficient set (A..E, anything else B).
struct Abc {
  i32 tag = 0;  // required
  u64 order = 1;
  std::string abctype = "B";
};
// "pmc": perfect magnetic conductor (natural boundary, no object).
struct Pmc {
  i32 tag = 0;  // required
};
// "lumped_element": R, L, C sheet; no capacitive term unless c > 0.
struct LumpedElement {
  i32 tag = 0;  // required
  double r = 0.0;
  double l = 0.0;
  std::optional<double> c;
  double width = 0.0;
  double height = 0.0;
  Vec3 direction = {0.0, 0.0, 1.0};
};
// "surface_impedance": impedance boundary; zs = [re, im] when given wins over the
// impedance computed from conductivity, mur, er and thickness.
struct SurfaceImpedance {
  i32 tag = 0;  // required
  double conductivity = 0.0;
  double mur = 1.0;
  double er = 1.0;
  std::optional<double> thickness;
  std::optional<std::array<double, 2>> zs;
};

}  // namespace port_config

// One [[ports]] entry: a port or boundary condition on the surface `tag`, its kind chosen by the
// string key "type". Widths/heights of 0 (or below) are measured from the surface by the set-up.
struct PortConfig {
  using Rectangular = port_config::Rectangular;
  using Floquet = port_config::Floquet;
  using UserDefined = port_config::UserDefined;
  using Coax = port_config::Coax;
  using Lumped = port_config::Lumped;
  using Abc = port_config::Abc;
  using Pmc = port_config::Pmc;
  using LumpedElement = port_config::LumpedElement;
  using SurfaceImpedance = port_config::SurfaceImpedance;

  using Kind = std::variant<Rectangular, Floquet, UserDefined, Coax, Lumped, Abc, Pmc,
                            LumpedElement, SurfaceImpedance>;
  Kind kind;

  // The kind's record, or nullptr when the entry is of another kind.
  template <class K>
  const K* as() const {
    return std::get_if<K>(&kind);
  }
  i32 tag() const {
    return std::visit([](const auto& k) { return k.tag; }, kind);
  }
  // The value of "type" that selected this kind.
  std::string_view type_name() const { return PORT_KIND_NAMES[kind.index()]; }
};

// `debye` sub-table of a material: eps_r(w) = er_inf + (er_static - er_inf)/(1 + j w tau_s).
struct DebyeConfig {
  double er_inf = 0.0;  // required
  double er_static = 0.0;  // required
  double tau_s = 0.0;  // required, seconds
};

// `drude` sub-table of a material (frequencies in Hz, not rad/s).
struct DrudeConfig {
  double er_inf = 1.0;
  double plasma_freq_hz = 0.0;  // required
  double damping_freq_hz = 0.0;  // required
};

// One [[materials]] entry: the medium of the tetrahedra of volume_tag.
struct MaterialConfig {
  i32 volume_tag = 0;  // required
  double er = 1.0;
  double ur = 1.0;
  double tand = 0.0;
  double conductivity = 0.0;  // S/m
  std::optional<Vec3> er_diag;
  std::optional<Vec3> ur_diag;
  std::optional<DebyeConfig> debye;
  std::optional<DrudeConfig> drude;
};

// One [[pml]] entry: a graded stretched-coordinate absorbing layer on volume_tag.
struct PmlConfig {
  i32 volume_tag = 0;  // required
  Vec3 direction = {};  // required: absorbing direction, pointing outwards
  double inner_face = 0.0;  // required: inner-face coordinate along direction's dominant axis
  double thickness = 0.0;  // required, metres
  double er_base = 1.0;
  double ur_base = 1.0;
  double exponent = 1.5;
  double delta_max = 8.0;
};

// The whole problem description. Only mesh and pec are required; an absent adaptive or
// eigenmode section stays absent, other absent sections take their defaults.
struct Config {
  MeshConfig mesh;
  FrequencyConfig frequency;
  std::vector<PortConfig> ports;
  std::vector<MaterialConfig> materials;
  PecConfig pec;
  SolverConfig solver;
  std::optional<AdaptiveConfig> adaptive;
  std::optional<EigenmodeConfig> eigenmode;
  std::vector<PmlConfig> pml;
  OutputConfig output;
};

// Reads the whole TOML text into a Config with every default applied. Any failure (syntax or
// schema) throws Error("Cannot parse TOML: {report}") and no record is returned.
Config parse_config(std::string_view toml_text);

// Largest frequency count a [frequency] range may ask for; larger counts are refused.
inline constexpr u64 MAX_FREQUENCY_COUNT = 100'000'000;

// The sweep frequencies (Hz), never empty:
//   values when not empty (as given);
//   else for range = [start, stop, n] (n truncated toward zero, saturating; NaN and negative -> 0):
//     n < 2: [start];  otherwise f_i = start + ((stop - start) * i) / (n - 1), i = 0 .. n-1;
//   else [1e10].
// Throws Error when n exceeds MAX_FREQUENCY_COUNT.
std::vector<double> frequency_list(const FrequencyConfig& frequency);

}  // namespace vantrel
