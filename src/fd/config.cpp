#include "fd/config.hpp"

#include <algorithm>
#include <cctype>
#include <string>
#include <tuple>
#include <utility>

#include "fd/toml_reader.hpp"

namespace vantrel {
namespace toml_reader {

// Field declarations of every record, in declaration order (also the order of the array form).

template <>
struct Schema<MeshConfig> {
  static constexpr std::string_view expecting = "struct MeshConfig";
  static constexpr auto fields = std::tuple{
      required("file", &MeshConfig::file),
  };
};

template <>
struct Schema<FrequencyConfig> {
  static constexpr std::string_view expecting = "struct FrequencyConfig";
  static constexpr auto fields = std::tuple{
      defaulted("values", &FrequencyConfig::values),
      defaulted("range", &FrequencyConfig::range),
  };
};

template <>
struct Schema<PecConfig> {
  static constexpr std::string_view expecting = "struct PecConfig";
  static constexpr auto fields = std::tuple{
      required("tags", &PecConfig::tags),
  };
};

template <>
struct Schema<SolverConfig> {
  static constexpr std::string_view expecting = "struct SolverConfig";
  static constexpr auto fields = std::tuple{
      defaulted("prefer", &SolverConfig::prefer),
  };
};

template <>
struct Schema<AdaptiveConfig> {
  static constexpr std::string_view expecting = "struct AdaptiveConfig";
  static constexpr auto fields = std::tuple{
      defaulted("theta", &AdaptiveConfig::theta),
      defaulted("refinement_ratio", &AdaptiveConfig::refinement_ratio),
  };
};

template <>
struct Schema<EigenmodeConfig> {
  static constexpr std::string_view expecting = "struct EigenmodeConfig";
  static constexpr auto fields = std::tuple{
      required("target_frequency", &EigenmodeConfig::target_frequency),
      defaulted("n_modes", &EigenmodeConfig::n_modes),
  };
};

template <>
struct Schema<OutputConfig> {
  static constexpr std::string_view expecting = "struct OutputConfig";
  static constexpr auto fields = std::tuple{
      defaulted("touchstone", &OutputConfig::touchstone),
      defaulted("z0", &OutputConfig::z0),
      defaulted("vtk", &OutputConfig::vtk),
      defaulted("farfield", &OutputConfig::farfield),
      defaulted("nfft_tag", &OutputConfig::nfft_tag),
      defaulted("group_delay", &OutputConfig::group_delay),
  };
};

template <>
struct Schema<DebyeConfig> {
  static constexpr std::string_view expecting = "struct DebyeConfig";
  static constexpr auto fields = std::tuple{
      required("er_inf", &DebyeConfig::er_inf),
      required("er_static", &DebyeConfig::er_static),
      required("tau_s", &DebyeConfig::tau_s),
  };
};

template <>
struct Schema<DrudeConfig> {
  static constexpr std::string_view expecting = "struct DrudeConfig";
  static constexpr auto fields = std::tuple{
      defaulted("er_inf", &DrudeConfig::er_inf),
      required("plasma_freq_hz", &DrudeConfig::plasma_freq_hz),
      required("damping_freq_hz", &DrudeConfig::damping_freq_hz),
  };
};

template <>
struct Schema<MaterialConfig> {
  using M = MaterialConfig;
  static constexpr std::string_view expecting = "struct MaterialConfig";
  static constexpr auto fields = std::tuple{
      required("volume_tag", &M::volume_tag),
      defaulted("er", &M::er),
      defaulted("ur", &M::ur),
      defaulted("tand", &M::tand),
      defaulted("conductivity", &M::conductivity),
      defaulted("er_diag", &M::er_diag),
      defaulted("ur_diag", &M::ur_diag),
      defaulted("debye", &M::debye),
      defaulted("drude", &M::drude),
  };
};

template <>
struct Schema<PmlConfig> {
  using P = PmlConfig;
  static constexpr std::string_view expecting = "struct PmlConfig";
  static constexpr auto fields = std::tuple{
      required("volume_tag", &P::volume_tag),
      required("direction", &P::direction),
      required("inner_face", &P::inner_face),
      required("thickness", &P::thickness),
      defaulted("er_base", &P::er_base),
      defaulted("ur_base", &P::ur_base),
      defaulted("exponent", &P::exponent),
      defaulted("delta_max", &P::delta_max),
  };
};

template <>
struct Schema<PortConfig::Rectangular> {
  using K = PortConfig::Rectangular;
  static constexpr std::string_view expecting = "struct variant PortConfig::Rectangular";
  static constexpr auto fields = std::tuple{
      required("tag", &K::tag),
      defaulted("width", &K::width),
      defaulted("height", &K::height),
      defaulted("mode", &K::mode),
      defaulted("er", &K::er),
      defaulted("power", &K::power),
  };
};

template <>
struct Schema<PortConfig::Floquet> {
  using K = PortConfig::Floquet;
  static constexpr std::string_view expecting = "struct variant PortConfig::Floquet";
  static constexpr auto fields = std::tuple{
      required("tag", &K::tag),
      defaulted("scan_theta_deg", &K::scan_theta_deg),
      defaulted("scan_phi_deg", &K::scan_phi_deg),
      defaulted("mode_nr", &K::mode_nr),
      defaulted("er", &K::er),
      defaulted("power", &K::power),
  };
};

template <>
struct Schema<PortConfig::UserDefined> {
  using K = PortConfig::UserDefined;
  static constexpr std::string_view expecting = "struct variant PortConfig::UserDefined";
  static constexpr auto fields = std::tuple{
      required("tag", &K::tag),
      required("e_field", &K::e_field),
      defaulted("power", &K::power),
  };
};

template <>
struct Schema<PortConfig::Coax> {
  using K = PortConfig::Coax;
  static constexpr std::string_view expecting = "struct variant PortConfig::Coax";
  static constexpr auto fields = std::tuple{
      required("tag", &K::tag),
      required("ri", &K::ri),
      required("ro", &K::ro),
      defaulted("origin", &K::origin),
      defaulted("z_axis", &K::z_axis),
      defaulted("er", &K::er),
      defaulted("power", &K::power),
  };
};

template <>
struct Schema<PortConfig::Lumped> {
  using K = PortConfig::Lumped;
  static constexpr std::string_view expecting = "struct variant PortConfig::Lumped";
  static constexpr auto fields = std::tuple{
      required("tag", &K::tag),
      defaulted("z0", &K::z0),
      required("direction", &K::direction),
      defaulted("width", &K::width),
      defaulted("height", &K::height),
      defaulted("power", &K::power),
  };
};

template <>
struct Schema<PortConfig::Abc> {
  using K = PortConfig::Abc;
  static constexpr std::string_view expecting = "struct variant PortConfig::Abc";
  static constexpr auto fields = std::tuple{
      required("tag", &K::tag),
      defaulted("order", &K::order),
      defaulted("abctype", &K::abctype),
  };
};

template <>
struct Schema<PortConfig::Pmc> {
  static constexpr std::string_view expecting = "struct variant PortConfig::Pmc";
  static constexpr auto fields = std::tuple{
      required("tag", &PortConfig::Pmc::tag),
  };
};

template <>
struct Schema<PortConfig::LumpedElement> {
  using K = PortConfig::LumpedElement;
  static constexpr std::string_view expecting = "struct variant PortConfig::LumpedElement";
  static constexpr auto fields = std::tuple{
      required("tag", &K::tag),
      defaulted("r", &K::r),
      defaulted("l", &K::l),
      defaulted("c", &K::c),
      defaulted("width", &K::width),
      defaulted("height", &K::height),
      defaulted("direction", &K::direction),
  };
};

template <>
struct Schema<PortConfig::SurfaceImpedance> {
  using K = PortConfig::SurfaceImpedance;
  static constexpr std::string_view expecting = "struct variant PortConfig::SurfaceImpedance";
  static constexpr auto fields = std::tuple{
      required("tag", &K::tag),
      defaulted("conductivity", &K::conductivity),
      defaulted("mur", &K::mur),
      defaulted("er", &K::er),
      defaulted("thickness", &K::thickness),
      defaulted("zs", &K::zs),
  };
};

template <>
struct Schema<Config> {
  static constexpr std::string_view expecting = "struct Config";
  static constexpr auto fields = std::tuple{
      required("mesh", &Config::mesh),
      defaulted("frequency", &Config::frequency),
      defaulted("ports", &Config::ports),
      defaulted("materials", &Config::materials),
      required("pec", &Config::pec),
      defaulted("solver", &Config::solver),
      defaulted("adaptive", &Config::adaptive),
      defaulted("eigenmode", &Config::eigenmode),
      defaulted("pml", &Config::pml),
      defaulted("output", &Config::output),
  };
};

}  // namespace toml_reader

namespace {

using toml_reader::ReadMode;

// The kind named by the value of "type" (or the first element of the array form).
std::size_t read_port_kind(const toml::node& value, const ReadMode& mode) {
  const auto* name = value.as_string();
  if (!name) toml_reader::invalid_type(value, mode, "variant identifier");
  for (std::size_t k = 0; k < PORT_KIND_NAMES.size(); ++k) {
    if (name->get() == PORT_KIND_NAMES[k]) return k;
  }
  std::string message = "unknown variant `" + name->get() + "`, expected one of ";
  for (std::size_t k = 0; k < PORT_KIND_NAMES.size(); ++k) {
    if (k) message += ", ";
    message += "`" + std::string(PORT_KIND_NAMES[k]) + "`";
  }
  toml_reader::fail_at(value, mode, std::move(message));
}

// Reads the fields of kind I from the entry: its keys (table form) or its elements from
// position `first` on (array form).
template <std::size_t I>
void read_port_fields(const toml::node& entry, std::size_t first, PortConfig& out, const ReadMode& mode) {
  using K = std::variant_alternative_t<I, PortConfig::Kind>;
  K fields{};
  if (const toml::table* t = entry.as_table()) {
    toml_reader::read_record_table(*t, entry, fields, mode);  // "type" is no field: skipped
  } else {
    toml_reader::read_record_elements(*entry.as_array(), first, entry, fields, mode);
  }
  out.kind.template emplace<I>(std::move(fields));
}

using PortFieldsReader = void (*)(const toml::node&, std::size_t, PortConfig&, const ReadMode&);

template <std::size_t... I>
constexpr std::array<PortFieldsReader, sizeof...(I)> port_fields_readers(std::index_sequence<I...>) {
  return {&read_port_fields<I>...};
}

constexpr auto PORT_FIELDS_READERS =
    port_fields_readers(std::make_index_sequence<std::variant_size_v<PortConfig::Kind>>{});

// toml++ reports "Error while parsing {scope}: {reason}". A key defined twice becomes
// "duplicate key"; other reasons keep toml++'s wording under an "invalid {scope}" line.
std::string syntax_message(std::string_view description) {
  constexpr std::string_view prefix = "Error while parsing ";
  std::string_view scope;
  std::string_view reason = description;
  if (reason.substr(0, prefix.size()) == prefix) {
    reason.remove_prefix(prefix.size());
    const std::size_t colon = reason.find(": ");
    if (colon != std::string_view::npos) {
      scope = reason.substr(0, colon);
      reason.remove_prefix(colon + 2);
    }
  }
  if (reason.substr(0, 24) == "cannot redefine existing") return "duplicate key";
  if (scope.empty()) return std::string(reason);
  return "invalid " + std::string(scope) + "\n" + std::string(reason);
}

// toml++ places a key-value pair's duplicate-key error just after its '='; the region returned
// covers the key itself (bare, quoted or dotted) on that line. Other regions are kept.
toml::source_region duplicate_key_region(std::string_view text, toml::source_region where) {
  std::string_view line = text;
  for (std::size_t l = 1; l < where.begin.line && !line.empty(); ++l) {
    const std::size_t nl = line.find('\n');
    line = nl == std::string_view::npos ? std::string_view{} : line.substr(nl + 1);
  }
  line = line.substr(0, line.find('\n'));
  auto is_cont = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
  // Byte offset of the 1-based code-point column, and back.
  std::size_t pos = 0;
  for (std::size_t col = 1; col < where.begin.column && pos < line.size();) {
    ++pos;
    if (pos >= line.size() || !is_cont(line[pos])) ++col;
  }
  auto column_of = [&](std::size_t byte) {
    std::size_t col = 1;
    for (std::size_t b = 0; b < byte && b < line.size(); ++b) col += is_cont(line[b]) ? 0 : 1;
    return static_cast<toml::source_index>(col);
  };
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t i = std::min(pos, line.size());
  while (i > 0 && blank(line[i - 1])) --i;
  if (i == 0 || line[i - 1] != '=') return where;
  --i;
  while (i > 0 && blank(line[i - 1])) --i;
  const std::size_t key_end = i;
  while (i > 0) {
    const char c = line[i - 1];
    if (c == '"' || c == '\'') {  // a quoted segment: back to its opening quote
      const std::size_t open = line.rfind(c, i - 2 < line.size() ? i - 2 : 0);
      if (open == std::string_view::npos || i < 2) break;
      i = open;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || blank(c)) {
      --i;
    } else {
      break;
    }
  }
  while (i < key_end && blank(line[i])) ++i;
  if (i == key_end) return where;
  where.begin.column = column_of(i);
  where.end = {where.begin.line, column_of(key_end)};
  return where;
}

}  // namespace

// One element of `ports`, found by argument-dependent lookup from the list reader. The entry is
// read as a whole: the kind first, then its fields; every failure but that of the kind value is
// reported at the entry, and fixed arrays must have exactly their length.
void read_value(const toml::node& entry, PortConfig& out, const ReadMode& mode) {
  const ReadMode fields_mode{&entry, true};
  if (const toml::table* t = entry.as_table()) {
    const toml::node* type = t->get("type");
    if (!type) toml_reader::fail_at(entry, fields_mode, "missing field `type`");
    PORT_FIELDS_READERS[read_port_kind(*type, mode)](entry, 0, out, fields_mode);
  } else if (const toml::array* a = entry.as_array()) {
    if (a->empty()) toml_reader::fail_at(entry, fields_mode, "missing field `type`");
    PORT_FIELDS_READERS[read_port_kind((*a)[0], mode)](entry, 1, out, fields_mode);
  } else {
    toml_reader::invalid_type(entry, mode, "internally tagged enum PortConfig");
  }
}

Config parse_config(std::string_view toml_text) {
  // Refused before the parser sees it: the parser (and the table it would build) recurse once
  // per level, so extreme nesting would overflow the stack.
  if (const auto where = toml_reader::find_excess_nesting(toml_text)) {
    throw Error("Cannot parse TOML: " +
                toml_reader::report(toml_text, *where,
                                    "nested deeper than " +
                                        std::to_string(toml_reader::MAX_NESTING_DEPTH) + " levels"));
  }
  toml::table root;
  try {
    root = toml::parse(toml_text);
  } catch (const toml::parse_error& e) {
    const std::string message = syntax_message(e.description());
    toml::source_region where = e.source();
    if (message == "duplicate key") {
      where = duplicate_key_region(toml_text, where);
    } else {
      where.end = {where.begin.line, static_cast<toml::source_index>(where.begin.column + 1)};  // one caret
    }
    throw Error("Cannot parse TOML: " + toml_reader::report(toml_text, where, message));
  }
  try {
    Config config;
    toml_reader::read_record_table(root, root, config, ReadMode{});
    return config;
  } catch (const toml_reader::ReadFailure& f) {
    throw Error("Cannot parse TOML: " + toml_reader::report(toml_text, f.where, f.message));
  }
}

std::vector<double> frequency_list(const FrequencyConfig& frequency) {
  if (!frequency.values.empty()) return frequency.values;
  if (frequency.range.size() != 3) return {1.0e10};
  const double start = frequency.range[0];
  const double stop = frequency.range[1];
  const u64 n = saturating_cast<u64>(frequency.range[2]);  // toward zero; NaN and negatives -> 0
  if (n < 2) return {start};
  if (n > MAX_FREQUENCY_COUNT) {
    throw Error("frequency range asks for " + std::to_string(n) + " frequencies; at most " +
                std::to_string(MAX_FREQUENCY_COUNT) + " are supported");
  }
  std::vector<double> list(n);
  const double span = stop - start;
  const double intervals = static_cast<double>(n - 1);
  for (u64 i = 0; i < n; ++i) list[i] = start + (span * static_cast<double>(i)) / intervals;
  return list;
}

}  // namespace vantrel
