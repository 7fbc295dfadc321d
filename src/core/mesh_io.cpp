#include "core/mesh_io.hpp"

#include "core/huge_pages.hpp"
#include "core/index_map.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vantrel {

namespace {

// ---- element types ----------------------------------------------------------------------------
// Nodes per element of every Gmsh element type code that has a fixed node count; 0 marks codes
// that Gmsh does not define or whose node count varies (polygons, polyhedra, XFEM elements).
// Blocks of any listed type can be stepped over without knowing the element's geometry.
constexpr std::array<std::uint16_t, 141> ELEMENT_NODES = {
    0,   2,   3,   4,   4,   8,   6,   5,   3,   6,   9,   10,  27,  18,  14,  1,   8,   20,
    15,  13,  9,   10,  12,  15,  15,  21,  4,   5,   6,   20,  35,  56,  22,  28,  0,   0,
    16,  25,  36,  12,  16,  20,  28,  36,  45,  55,  66,  49,  64,  81,  100, 121, 18,  21,
    24,  27,  30,  24,  28,  32,  36,  40,  7,   8,   9,   10,  11,  0,   0,   0,   0,   84,
    120, 165, 220, 286, 0,   0,   0,   34,  40,  46,  52,  58,  1,   1,   1,   1,   1,   1,
    0,   0,   64,  125, 216, 343, 512, 729, 1000, 32,  44,  56,  68,  80,  92,  104, 0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   30,  55,  91,  140, 204, 285, 385, 21,
    29,  37,  45,  53,  61,  69,  1,   0,   0,   0,   0,   16};

constexpr int TYPE_TRIANGLE = 2;
constexpr int TYPE_TETRAHEDRON = 4;

// ---- parsed content ---------------------------------------------------------------------------
struct ElementBlock {
  int type;            // TYPE_TRIANGLE or TYPE_TETRAHEDRON
  i32 entity_tag;
  std::size_t first;   // first element in the tetrahedron or triangle list
  std::size_t count;
};

struct EntityPhysicals {
  i32 tag;
  std::vector<i32> physicals;
};

struct MshContent {
  bool has_entities = false, has_nodes = false, has_elements = false;
  std::vector<EntityPhysicals> surfaces, volumes;
  std::vector<u64> node_tags;  // parallel to coords, file order
  std::vector<Vec3> coords;
  // Node tags of the taken elements, in file order; mapped to node indices afterwards.
  std::vector<std::array<u64, 4>> tets;
  std::vector<u64> tet_element_tags;  // for messages naming a tetrahedron
  std::vector<std::array<u64, 3>> tris;
  std::vector<ElementBlock> blocks;  // the triangle and tetrahedron blocks, file order
};

// A syntax error at a position of the input; the reader adds the section context.
struct SyntaxError {
  std::string what;
  const std::uint8_t* at;
};

// Grows a vector's capacity geometrically to hold `n` elements (many small blocks stay linear).
template <class V>
void reserve_for(V& v, std::size_t n) {
  if (n > v.capacity()) reserve_huge(v, std::max(n, 2 * v.capacity()));
}

inline bool is_space(std::uint8_t c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f';
}

// ---- the reader -------------------------------------------------------------------------------
class MshReader {
 public:
  explicit MshReader(std::span<const std::uint8_t> bytes)
      : begin_(bytes.data()), p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  MshContent read();

  // "line N" (ASCII files and the ASCII parts of binary files) or "byte offset N".
  std::string position(const std::uint8_t* at) const {
    if (at == nullptr || at < begin_ || at > end_) return "end of input";
    if (binary_ && at > binary_start_) {
      return "byte offset " + std::to_string(at - begin_);
    }
    return "line " + std::to_string(1 + std::count(begin_, at, std::uint8_t('\n')));
  }
  const std::string& context() const { return context_; }

 private:
  [[noreturn]] void fail(std::string what, const std::uint8_t* at) const {
    throw SyntaxError{std::move(what), at};
  }
  [[noreturn]] void fail_expected(const char* what) const {
    fail(std::string("expected ") + what + ", found " + describe_here(), p_);
  }
  std::string describe_here() const {
    if (p_ >= end_) return "end of input";
    const std::uint8_t* q = p_;
    std::string tok;
    while (q < end_ && !is_space(*q) && tok.size() < 24) {
      const std::uint8_t c = *q++;
      tok += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    if (tok.empty()) return "a blank";
    return "'" + tok + "'";
  }

  void skip_space() {
    while (p_ < end_ && is_space(*p_)) ++p_;
  }
  // The start of the next field (blanks skipped in ASCII), for error positions.
  const std::uint8_t* here() {
    if (!binary_) skip_space();
    return p_;
  }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

  // ASCII tokens --------------------------------------------------------------------------------
  std::string_view token() {
    skip_space();
    const std::uint8_t* s = p_;
    while (p_ < end_ && !is_space(*p_)) ++p_;
    return {reinterpret_cast<const char*>(s), static_cast<std::size_t>(p_ - s)};
  }
  // A number must end at a blank or at the end of the input.
  void end_of_number(const std::uint8_t* start, const char* what) {
    if (p_ < end_ && !is_space(*p_)) {
      p_ = start;
      fail_expected(what);
    }
  }
  u64 ascii_u64(const char* what) {
    skip_space();
    const std::uint8_t* start = p_;
    if (p_ < end_ && *p_ == '+') ++p_;
    if (p_ >= end_ || unsigned(*p_ - '0') > 9) {
      p_ = start;
      fail_expected(what);
    }
    u64 v = 0;
    while (p_ < end_ && unsigned(*p_ - '0') <= 9) {
      const u64 d = *p_ - '0';
      if (v > (NONE_U64 - d) / 10) fail(std::string(what) + " out of range", start);
      v = v * 10 + d;
      ++p_;
    }
    end_of_number(start, what);
    return v;
  }
  i32 ascii_i32(const char* what) {
    skip_space();
    const std::uint8_t* start = p_;
    bool neg = false;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) neg = *p_++ == '-';
    if (p_ >= end_ || unsigned(*p_ - '0') > 9) {
      p_ = start;
      fail_expected(what);
    }
    std::int64_t v = 0;
    while (p_ < end_ && unsigned(*p_ - '0') <= 9) {
      v = v * 10 + (*p_ - '0');
      if (v > (std::int64_t{1} << 31)) fail(std::string(what) + " out of range", start);
      ++p_;
    }
    if (neg) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) fail(std::string(what) + " out of range", start);
    end_of_number(start, what);
    return static_cast<i32>(v);
  }
  double ascii_f64(const char* what) {
    skip_space();
    const std::uint8_t* start = p_;
    const char* first = reinterpret_cast<const char*>(p_);
    if (p_ < end_ && *p_ == '+') ++first;
    double v = 0;
    const auto [ptr, ec] = std::from_chars(first, reinterpret_cast<const char*>(end_), v);
    if (ec == std::errc::invalid_argument || ptr == first) fail_expected(what);
    // Out of range (e.g. 1e999) is a malformed coordinate, not an infinity.
    if (ec == std::errc::result_out_of_range) fail(std::string(what) + " out of range", start);
    p_ = reinterpret_cast<const std::uint8_t*>(ptr);
    end_of_number(start, what);
    return v;
  }

  // Binary values -------------------------------------------------------------------------------
  template <class T>
  T load_raw(const std::uint8_t* q) const {
    T v;
    std::memcpy(&v, q, sizeof(T));
    if (swap_) {
      if constexpr (sizeof(T) == 4) {
        std::uint32_t u;
        std::memcpy(&u, &v, 4);
        u = __builtin_bswap32(u);
        std::memcpy(&v, &u, 4);
      } else {
        std::uint64_t u;
        std::memcpy(&u, &v, 8);
        u = __builtin_bswap64(u);
        std::memcpy(&v, &u, 8);
      }
    }
    return v;
  }
  void need(std::size_t n, const char* what) {
    if (remaining() < n) fail(std::string("unexpected end of input reading ") + what, p_);
  }
  u64 bin_size(const char* what) {
    need(size_bytes_, what);
    const u64 v = size_bytes_ == 8 ? load_raw<u64>(p_) : load_raw<std::uint32_t>(p_);
    p_ += size_bytes_;
    return v;
  }
  i32 bin_int(const char* what) {
    need(4, what);
    const i32 v = load_raw<i32>(p_);
    p_ += 4;
    return v;
  }
  double bin_f64(const char* what) {
    need(8, what);
    const double v = load_raw<double>(p_);
    p_ += 8;
    return v;
  }

  // Fields in the file's own encoding.
  u64 size_field(const char* what) { return binary_ ? bin_size(what) : ascii_u64(what); }
  i32 int_field(const char* what) { return binary_ ? bin_int(what) : ascii_i32(what); }
  double f64_field(const char* what) { return binary_ ? bin_f64(what) : ascii_f64(what); }

  // Sections ------------------------------------------------------------------------------------
  void expect_end(std::string_view name) {
    skip_space();
    const std::string want = "$End" + std::string(name);
    if (remaining() < want.size() || std::memcmp(p_, want.data(), want.size()) != 0 ||
        (remaining() > want.size() && !is_space(p_[want.size()]))) {
      fail_expected(want.c_str());
    }
    p_ += want.size();
  }
  // After a section header line: binary data starts right after its newline.
  void end_header_line() {
    while (p_ < end_ && *p_ != '\n') {
      if (!is_space(*p_)) fail_expected("the end of the section header line");
      ++p_;
    }
    if (p_ < end_) ++p_;
  }
  void skip_section(std::string_view name) {
    const std::string want = "$End" + std::string(name);
    const void* hit = memmem(p_, remaining(), want.data(), want.size());
    if (hit == nullptr) fail("missing " + want, end_);
    p_ = static_cast<const std::uint8_t*>(hit) + want.size();
  }

  void read_format();
  void read_entities(MshContent& out);
  void read_nodes(MshContent& out);
  void read_elements(MshContent& out);
  void read_ascii_node_block(MshContent& out, std::size_t n);
  void read_binary_node_block(MshContent& out, std::size_t n);
  template <std::size_t K>
  void take_elements(std::vector<std::array<u64, K>>& dst, std::vector<u64>* element_tags,
                     std::size_t n, std::size_t per);
  void skip_elements(std::size_t n, std::size_t per);

  const std::uint8_t* begin_;
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  const std::uint8_t* binary_start_ = nullptr;
  bool binary_ = false;
  bool swap_ = false;
  std::size_t size_bytes_ = 8;
  std::string context_;
};

void MshReader::read_format() {
  context_ = "$MeshFormat section";
  const std::uint8_t* at = here();
  const std::string_view version = token();
  double v = 0;
  const auto [ptr, ec] = std::from_chars(version.data(), version.data() + version.size(), v);
  if (version.empty() || ec != std::errc() || ptr != version.data() + version.size()) {
    p_ = at;
    fail_expected("a format version");
  }
  if (v != 4.1) {
    fail("unsupported MSH format version " + std::string(version) + " (only 4.1 is read)", at);
  }
  const std::uint8_t* ft_at = here();
  const u64 file_type = ascii_u64("a file type (0 or 1)");
  if (file_type > 1) fail("file type must be 0 (ASCII) or 1 (binary)", ft_at);
  const std::uint8_t* ds_at = here();
  const u64 data_size = ascii_u64("a data size");
  binary_ = file_type == 1;
  if (binary_) {
    if (data_size != 4 && data_size != 8) fail("data size must be 4 or 8", ds_at);
    size_bytes_ = data_size;
    end_header_line();
    binary_start_ = p_;
    need(4, "the endianness check");
    std::uint32_t one;
    std::memcpy(&one, p_, 4);
    if (one == 1) {
      swap_ = false;
    } else if (__builtin_bswap32(one) == 1) {
      swap_ = true;
    } else {
      fail("endianness check: expected the integer 1", p_);
    }
    p_ += 4;
  }
  expect_end("MeshFormat");
}

void MshReader::read_entities(MshContent& out) {
  context_ = "$Entities section";
  const u64 n_points = size_field("the number of points");
  const u64 n_curves = size_field("the number of curves");
  const u64 n_surfaces = size_field("the number of surfaces");
  const u64 n_volumes = size_field("the number of volumes");
  const auto physical_list = [&](std::vector<i32>* keep) {
    const u64 n = size_field("the number of physical tags");
    for (u64 i = 0; i < n; ++i) {
      const i32 tag = int_field("a physical tag");
      if (keep != nullptr) keep->push_back(tag);
    }
  };
  const auto bounding_list = [&] {
    const u64 n = size_field("the number of bounding entities");
    for (u64 i = 0; i < n; ++i) int_field("a bounding entity tag");
  };
  for (u64 i = 0; i < n_points; ++i) {
    context_ = "$Entities section, point " + std::to_string(i + 1);
    int_field("a point tag");
    for (int k = 0; k < 3; ++k) f64_field("a point coordinate");
    physical_list(nullptr);
  }
  for (u64 i = 0; i < n_curves; ++i) {
    context_ = "$Entities section, curve " + std::to_string(i + 1);
    int_field("a curve tag");
    for (int k = 0; k < 6; ++k) f64_field("a bounding box coordinate");
    physical_list(nullptr);
    bounding_list();
  }
  for (int dim = 2; dim <= 3; ++dim) {
    const u64 n = dim == 2 ? n_surfaces : n_volumes;
    auto& dst = dim == 2 ? out.surfaces : out.volumes;
    for (u64 i = 0; i < n; ++i) {
      context_ = std::string("$Entities section, ") + (dim == 2 ? "surface " : "volume ") +
                 std::to_string(i + 1);
      EntityPhysicals e;
      e.tag = int_field(dim == 2 ? "a surface tag" : "a volume tag");
      for (int k = 0; k < 6; ++k) f64_field("a bounding box coordinate");
      physical_list(&e.physicals);
      bounding_list();
      dst.push_back(std::move(e));
    }
  }
  context_ = "$Entities section";
  expect_end("Entities");
}

void MshReader::read_ascii_node_block(MshContent& out, std::size_t n) {
  // Every node takes a tag and three coordinates, at least two bytes each.
  if (n > remaining() / 8) fail(std::to_string(n) + " nodes run past the end of the input", p_);
  const std::size_t base = out.node_tags.size();
  reserve_for(out.node_tags, base + n);
  reserve_for(out.coords, base + n);
  out.node_tags.resize(base + n);
  out.coords.resize(base + n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* at = here();
    out.node_tags[base + i] = ascii_u64("a node tag");
    if (out.node_tags[base + i] == 0) fail("node tag 0 is reserved", at);
  }
  for (std::size_t i = 0; i < n; ++i) {
    Vec3& x = out.coords[base + i];
    x[0] = ascii_f64("a node coordinate");
    x[1] = ascii_f64("a node coordinate");
    x[2] = ascii_f64("a node coordinate");
  }
}

void MshReader::read_binary_node_block(MshContent& out, std::size_t n) {
  const std::size_t per = size_bytes_ + 24;
  if (n > remaining() / per) fail(std::to_string(n) + " nodes run past the end of the input", p_);
  const std::size_t base = out.node_tags.size();
  reserve_for(out.node_tags, base + n);
  reserve_for(out.coords, base + n);
  out.node_tags.resize(base + n);
  out.coords.resize(base + n);
  for (std::size_t i = 0; i < n; ++i, p_ += size_bytes_) {
    out.node_tags[base + i] = size_bytes_ == 8 ? load_raw<u64>(p_) : load_raw<std::uint32_t>(p_);
    if (out.node_tags[base + i] == 0) fail("node tag 0 is reserved", p_);
  }
  if (n == 0) return;  // an empty block: no data (and possibly no storage) to copy
  if (!swap_) {
    std::memcpy(out.coords.data() + base, p_, 24 * n);
    p_ += 24 * n;
  } else {
    for (std::size_t i = 0; i < n; ++i)
      for (int k = 0; k < 3; ++k, p_ += 8) out.coords[base + i][k] = load_raw<double>(p_);
  }
}

void MshReader::read_nodes(MshContent& out) {
  context_ = "$Nodes section";
  const u64 n_blocks = size_field("the number of entity blocks");
  const u64 n_nodes = size_field("the number of nodes");
  size_field("the minimum node tag");
  size_field("the maximum node tag");
  // The header's count is only a capacity hint: the blocks carry their own counts.
  reserve_for(out.node_tags, std::min<u64>(n_nodes, remaining() / 8));
  reserve_for(out.coords, std::min<u64>(n_nodes, remaining() / 8));
  for (u64 b = 0; b < n_blocks; ++b) {
    context_ = "$Nodes section, entity block " + std::to_string(b + 1);
    const std::uint8_t* at = here();
    const i32 dim = int_field("an entity dimension");
    if (dim < 0 || dim > 3) fail("entity dimension must be 0 to 3", at);
    int_field("an entity tag");
    at = here();
    const i32 parametric = int_field("the parametric flag");
    if (parametric == 1) fail("parametric node coordinates are not supported", at);
    if (parametric != 0) fail("the parametric flag must be 0 or 1", at);
    const u64 n = size_field("the number of nodes in the block");
    if (binary_) {
      read_binary_node_block(out, n);
    } else {
      read_ascii_node_block(out, n);
    }
  }
  context_ = "$Nodes section";
  expect_end("Nodes");
}

template <std::size_t K>
void MshReader::take_elements(std::vector<std::array<u64, K>>& dst,
                              std::vector<u64>* element_tags, std::size_t n, std::size_t per) {
  // `per` = 1 + nodes per element: the element's own tag, then its node tags. Only the first K
  // node tags are kept (all of them for the two taken types).
  if (binary_) {
    const std::size_t rec = per * size_bytes_;
    if (n > remaining() / rec)
      fail(std::to_string(n) + " elements run past the end of the input", p_);
    const std::size_t base = dst.size();
    reserve_for(dst, base + n);
    dst.resize(base + n);
    if (element_tags != nullptr) {
      reserve_for(*element_tags, base + n);
      element_tags->resize(base + n);
    }
    for (std::size_t i = 0; i < n; ++i, p_ += rec) {
      if (element_tags != nullptr)
        (*element_tags)[base + i] =
            size_bytes_ == 8 ? load_raw<u64>(p_) : load_raw<std::uint32_t>(p_);
      for (std::size_t k = 0; k < K; ++k) {
        const std::uint8_t* q = p_ + (k + 1) * size_bytes_;
        dst[base + i][k] = size_bytes_ == 8 ? load_raw<u64>(q) : load_raw<std::uint32_t>(q);
      }
    }
  } else {
    if (n > remaining() / (2 * per))
      fail(std::to_string(n) + " elements run past the end of the input", p_);
    const std::size_t base = dst.size();
    reserve_for(dst, base + n);
    dst.resize(base + n);
    if (element_tags != nullptr) {
      reserve_for(*element_tags, base + n);
      element_tags->resize(base + n);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const u64 tag = ascii_u64("an element tag");
      if (element_tags != nullptr) (*element_tags)[base + i] = tag;
      for (std::size_t k = 0; k < K; ++k) dst[base + i][k] = ascii_u64("a node tag");
    }
  }
}

void MshReader::skip_elements(std::size_t n, std::size_t per) {
  if (binary_) {
    const std::size_t rec = per * size_bytes_;
    if (n > remaining() / rec)
      fail(std::to_string(n) + " elements run past the end of the input", p_);
    p_ += n * rec;
  } else {
    if (n > remaining() / (2 * per))
      fail(std::to_string(n) + " elements run past the end of the input", p_);
    for (std::size_t i = 0; i < n * per; ++i) ascii_u64(i % per == 0 ? "an element tag" : "a node tag");
  }
}

void MshReader::read_elements(MshContent& out) {
  context_ = "$Elements section";
  const u64 n_blocks = size_field("the number of entity blocks");
  size_field("the number of elements");
  size_field("the minimum element tag");
  size_field("the maximum element tag");
  for (u64 b = 0; b < n_blocks; ++b) {
    context_ = "$Elements section, entity block " + std::to_string(b + 1);
    const std::uint8_t* at = here();
    const i32 dim = int_field("an entity dimension");
    if (dim < 0 || dim > 3) fail("entity dimension must be 0 to 3", at);
    const i32 entity = int_field("an entity tag");
    at = here();
    const i32 type = int_field("an element type");
    const std::size_t nodes_per =
        (type >= 0 && static_cast<std::size_t>(type) < ELEMENT_NODES.size()) ? ELEMENT_NODES[type] : 0;
    if (nodes_per == 0) fail("unknown element type " + std::to_string(type), at);
    const u64 n = size_field("the number of elements in the block");
    if (type == TYPE_TETRAHEDRON) {
      out.blocks.push_back({type, entity, out.tets.size(), static_cast<std::size_t>(n)});
      take_elements(out.tets, &out.tet_element_tags, n, 1 + nodes_per);
    } else if (type == TYPE_TRIANGLE) {
      out.blocks.push_back({type, entity, out.tris.size(), static_cast<std::size_t>(n)});
      take_elements(out.tris, nullptr, n, 1 + nodes_per);
    } else {
      skip_elements(n, 1 + nodes_per);
    }
  }
  context_ = "$Elements section";
  expect_end("Elements");
}

MshContent MshReader::read() {
  MshContent out;
  context_ = "file header";
  skip_space();
  const std::uint8_t* at = here();
  if (token() != "$MeshFormat") {
    p_ = at;
    fail_expected("$MeshFormat");
  }
  read_format();
  for (;;) {
    context_ = "between sections";
    skip_space();
    if (p_ >= end_) break;
    at = p_;
    const std::string_view name = token();
    if (name.size() < 2 || name[0] != '$' || name.starts_with("$End")) {
      p_ = at;
      fail_expected("a section header ($Name)");
    }
    const std::string_view section = name.substr(1);
    const auto once = [&](bool& seen) {
      if (seen) fail("more than one " + std::string(name) + " section", at);
      seen = true;
      if (binary_) end_header_line();
    };
    if (section == "Entities") {
      once(out.has_entities);
      read_entities(out);
    } else if (section == "Nodes") {
      once(out.has_nodes);
      read_nodes(out);
    } else if (section == "Elements") {
      once(out.has_elements);
      read_elements(out);
    } else if (section == "MeshFormat") {
      fail("more than one $MeshFormat section", at);
    } else {
      // $PhysicalNames, $Periodic, $NodeData, ... carry nothing the import uses.
      context_ = std::string(name) + " section";
      skip_section(section);
    }
  }
  return out;
}

// Node tag -> node index. Later nodes with the same tag replace earlier ones. A direct table
// when the tags are compact (the usual Gmsh numbering), a hash map otherwise.
class NodeTagMap {
 public:
  explicit NodeTagMap(const std::vector<u64>& tags) {
    if (tags.empty()) return;
    const auto [lo, hi] = std::minmax_element(tags.begin(), tags.end());
    min_ = *lo;
    const u64 span = *hi - *lo;
    if (span < 4 * tags.size() + 1024) {
      table_.assign(span + 1, NONE_U64);
      for (u64 i = 0; i < tags.size(); ++i) table_[tags[i] - min_] = i;
      dense_ = true;
    } else {
      ids_.reserve(tags.size());
      index_of_id_.reserve(tags.size());
      for (u64 i = 0; i < tags.size(); ++i) {
        const auto [id, inserted] = ids_.insert({tags[i]});
        if (inserted) {
          index_of_id_.push_back(i);
        } else {
          index_of_id_[id] = i;
        }
      }
    }
  }
  // The node index of `tag`, or NONE_U64.
  u64 operator()(u64 tag) const {
    if (dense_) {
      const u64 off = tag - min_;  // wraps to a huge value below the minimum
      return off < table_.size() ? table_[off] : NONE_U64;
    }
    const u64 id = ids_.lookup({tag});
    return id == NONE_U64 ? NONE_U64 : index_of_id_[id];
  }

 private:
  bool dense_ = false;
  u64 min_ = 0;
  std::vector<u64> table_;
  IndexMap<1> ids_;
  std::vector<u64> index_of_id_;
};

}  // namespace

Mesh load_msh_bytes(std::span<const std::uint8_t> bytes) {
  MshContent c;
  {
    MshReader reader(bytes);
    try {
      c = reader.read();
    } catch (const SyntaxError& e) {
      throw Error("Cannot parse mesh bytes: MshParserError([" + reader.context() + ": " +
                  reader.position(e.at) + ": " + e.what + "])");
    }
  }
  if (!c.has_nodes) throw Error("No nodes in mesh");
  for (std::size_t i = 0; i < c.coords.size(); ++i) {
    const Vec3& x = c.coords[i];
    if (!std::isfinite(x[0]) || !std::isfinite(x[1]) || !std::isfinite(x[2])) {
      throw Error("Node " + std::to_string(c.node_tags[i]) + " has a non-finite coordinate");
    }
  }
  // Nodes are numbered in file order; elements name them by their real tags, whatever order
  // or gaps the tags have.
  const NodeTagMap node_index(c.node_tags);
  c.node_tags = {};
  if (!c.has_elements) throw Error("No elements in mesh");

  for (const ElementBlock& b : c.blocks) {
    if (b.type == TYPE_TETRAHEDRON) {
      for (std::size_t i = b.first; i < b.first + b.count; ++i) {
        std::array<u64, 4>& t = c.tets[i];
        const std::array<u64, 4> tags = t;
        for (int k = 0; k < 4; ++k) {
          t[k] = node_index(tags[k]);
          if (t[k] == NONE_U64) throw Error("Unknown node tag in tet");
        }
        for (int j = 0; j < 4; ++j)
          for (int k = j + 1; k < 4; ++k)
            if (t[j] == t[k])
              throw Error("Degenerate tetrahedron: element " +
                          std::to_string(c.tet_element_tags[i]) + " repeats node " +
                          std::to_string(tags[j]));
      }
    } else {
      for (std::size_t i = b.first; i < b.first + b.count; ++i) {
        std::array<u64, 3>& t = c.tris[i];
        for (int k = 0; k < 3; ++k) {
          t[k] = node_index(t[k]);
          if (t[k] == NONE_U64) throw Error("Unknown node tag in tri");
        }
        std::sort(t.begin(), t.end());
      }
    }
  }
  if (c.tets.empty()) throw Error("No tetrahedra found in mesh");

  Mesh mesh = build_topology(std::move(c.coords), std::move(c.tets));

  // Entity tag -> physical tags; a later entity with the same tag replaces an earlier one, an
  // entity without physical tags has no entry.
  std::unordered_map<i32, std::vector<i32>> surface_map, volume_map;
  for (auto& e : c.surfaces)
    if (!e.physicals.empty()) surface_map[e.tag] = std::move(e.physicals);
  for (auto& e : c.volumes)
    if (!e.physicals.empty()) volume_map[e.tag] = std::move(e.physicals);

  // Groups: each element goes under every physical tag of its entity, or under the entity tag.
  const auto group_tags = [](const std::unordered_map<i32, std::vector<i32>>& map, i32 entity) {
    const auto it = map.find(entity);
    return it != map.end() ? it->second : std::vector<i32>{entity};
  };
  for (const ElementBlock& b : c.blocks) {
    if (b.type != TYPE_TRIANGLE) continue;
    const std::vector<i32> tags = group_tags(surface_map, b.entity_tag);
    for (std::size_t i = b.first; i < b.first + b.count; ++i) {
      const u64 f = mesh.find_face(c.tris[i]);
      if (f == NONE_U64) continue;  // not a face of the tetrahedra
      for (const i32 p : tags) mesh.face_groups[p].push_back(f);
    }
  }
  for (const ElementBlock& b : c.blocks) {
    if (b.type != TYPE_TETRAHEDRON) continue;
    std::vector<std::vector<u64>*> groups;
    for (const i32 p : group_tags(volume_map, b.entity_tag)) {
      groups.push_back(&mesh.volume_groups[p]);
      reserve_for(*groups.back(), groups.back()->size() + b.count);
    }
    for (std::size_t i = b.first; i < b.first + b.count; ++i)
      for (std::vector<u64>* g : groups) g->push_back(i);
  }

  eprint("Mesh: " + std::to_string(mesh.nodes.size()) + " nodes, " +
         std::to_string(mesh.edges.size()) + " edges, " + std::to_string(mesh.faces.size()) +
         " tris, " + std::to_string(mesh.tets.size()) + " tets\n");
  return mesh;
}

}  // namespace vantrel
