#include "fd/toml_reader.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>

namespace vantrel::toml_reader {

namespace {

// Debug form of a string as messages quote it: in double quotes, with \t \r \n \0 \\ \" and
// \u{..} for the other control characters (C0, DEL and C1); everything else as written.
std::string quote_debug(std::string_view s) {
  static constexpr char HEX[] = "0123456789abcdef";
  auto hex_escape = [](std::string& out, unsigned cp) {
    out += "\\u{";
    std::string digits;
    do {
      digits.insert(digits.begin(), HEX[cp & 0xF]);
      cp >>= 4;
    } while (cp);
    out += digits;
    out += '}';
  };
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          hex_escape(out, c);
        } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
          hex_escape(out, static_cast<unsigned char>(s[i + 1]));  // C1 control U+0080..U+009F
          ++i;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

// Number of code points in a UTF-8 text.
std::size_t count_chars(std::string_view s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Replaces every byte that does not start a well-formed UTF-8 sequence by U+FFFD, so a report
// quoting a line of malformed text is still valid text.
std::string to_valid_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = len > 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (ok && len > 1) {
      // Reject overlong forms, surrogates and code points beyond U+10FFFF.
      std::uint32_t cp = c & (0x7Fu >> len);
      for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
      static constexpr std::uint32_t MIN_CP[] = {0, 0, 0x80, 0x800, 0x10000};
      ok = cp >= MIN_CP[len] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    }
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

const toml::source_region& region_of(const toml::node& at, const ReadMode& mode) {
  return mode.anchor ? mode.anchor->source() : at.source();
}

}  // namespace

void fail_at(const toml::node& at, const ReadMode& mode, std::string message) {
  throw ReadFailure{std::move(message), region_of(at, mode)};
}

std::string describe(const toml::node& value) {
  switch (value.type()) {
    case toml::node_type::integer:
      return "integer `" + std::to_string(*value.value<std::int64_t>()) + "`";
    case toml::node_type::floating_point:
      return "floating point `" + fmt_float(*value.value<double>()) + "`";
    case toml::node_type::boolean:
      return std::string("boolean `") + (*value.value<bool>() ? "true" : "false") + "`";
    case toml::node_type::string:
      return "string " + quote_debug(value.as_string()->get());
    case toml::node_type::array:
      return "sequence";
    default:  // tables; dates and times reach a record reader as a one-key map
      return "map";
  }
}

void invalid_type(const toml::node& at, const ReadMode& mode, std::string_view expected) {
  fail_at(at, mode, "invalid type: " + describe(at) + ", expected " + std::string(expected));
}

void invalid_length(const toml::node& at, const ReadMode& mode, std::size_t n, std::string_view expected) {
  fail_at(at, mode, "invalid length " + std::to_string(n) + ", expected " + std::string(expected));
}

std::string elements_in_sequence(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " element in sequence" : " elements in sequence");
}

std::string with_elements(std::string_view expecting, std::size_t n) {
  return std::string(expecting) + " with " + std::to_string(n) + (n == 1 ? " element" : " elements");
}

std::vector<std::pair<std::string_view, const toml::node*>> entries_in_text_order(const toml::table& t) {
  struct Entry {
    toml::source_position at;
    std::string_view key;
    const toml::node* value;
  };
  std::vector<Entry> entries;
  entries.reserve(t.size());
  for (const auto& [key, value] : t) entries.push_back({key.source().begin, key.str(), &value});
  // Keys carry their own source position; ties (none in parsed text) keep toml++'s name order.
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.at.line != b.at.line ? a.at.line < b.at.line : a.at.column < b.at.column;
  });
  std::vector<std::pair<std::string_view, const toml::node*>> ordered;
  ordered.reserve(entries.size());
  for (const Entry& e : entries) ordered.emplace_back(e.key, e.value);
  return ordered;
}

std::string report(std::string_view text, const toml::source_region& where, std::string_view message) {
  std::string out;
  std::size_t line = where.begin.line;
  std::size_t column = where.begin.column;
  if (line == 0) line = 1;  // a region toml++ did not record: the start of the text
  if (column == 0) column = 1;

  // The source line, without its line break.
  std::string_view content = text;
  for (std::size_t l = 1; l < line; ++l) {
    const std::size_t nl = content.find('\n');
    content = nl == std::string_view::npos ? std::string_view{} : content.substr(nl + 1);
  }
  content = content.substr(0, content.find('\n'));
  if (!content.empty() && content.back() == '\r') content.remove_suffix(1);

  // Caret under the span, clipped to the line; at least one.
  const std::size_t line_chars = count_chars(content);
  const std::size_t col0 = column - 1;
  std::size_t rest = line_chars > col0 ? line_chars - col0 : 0;
  std::size_t width = rest;
  if (where.end.line == where.begin.line && where.end.column > where.begin.column)
    width = std::min<std::size_t>(where.end.column - where.begin.column, rest);
  width = std::max<std::size_t>(width, 1);

  const std::string line_num = std::to_string(line);
  const std::string gutter(line_num.size() + 1, ' ');
  out += "TOML parse error at line " + line_num + ", column " + std::to_string(column) + "\n";
  out += gutter + "|\n";
  out += line_num + " | " + std::string(content) + "\n";
  out += gutter + "|" + std::string(column, ' ') + std::string(width, '^') + "\n";
  out += std::string(message) + "\n";
  return to_valid_utf8(out);
}

// ---- nesting --------------------------------------------------------------------------------

namespace {

// A linear scan over the text that follows the document's structure just far enough to know the
// depth of every key, header and bracket: key segments add one level each, a table header sets
// the depth of the keys below it, an array adds one level for its elements and an inline table
// holds keys at its own depth.
class NestingScan {
 public:
  explicit NestingScan(std::string_view text) : s_(text) {}

  std::optional<toml::source_region> run() {
    while (i_ < s_.size() && !excess_) {
      const char c = s_[i_];
      if (c == ' ' || c == '\t' || c == '\r') {
        ++i_;
      } else if (c == '#') {
        skip_comment();
      } else if (c == '\n') {
        ++i_;
        if (open_.empty()) expect_ = Expect::key;
      } else if (expect_ == Expect::key) {
        scan_key_position(c);
      } else if (expect_ == Expect::value) {
        scan_value(c);
      } else {
        scan_after_value(c);
      }
    }
    if (!excess_) return std::nullopt;
    return region_at(*excess_);
  }

 private:
  enum class Expect { key, value, after_value };
  struct Open {
    char kind;          // '[' (array) or '{' (inline table)
    std::size_t depth;  // depth of the array's elements, or of the inline table itself
  };

  static bool is_bare(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == '-' || u >= 0x80;
  }

  // Fails when `depth` is too deep, at the byte offset `at`.
  bool too_deep(std::size_t depth, std::size_t at) {
    if (depth <= MAX_NESTING_DEPTH) return false;
    excess_ = at;
    return true;
  }

  void skip_comment() {
    while (i_ < s_.size() && s_[i_] != '\n') ++i_;
  }

  // A basic or literal string, single- or multi-line, from its opening quote to past its close.
  void skip_string() {
    const char q = s_[i_];
    const bool triple = s_.substr(i_, 3) == std::string(3, q);
    i_ += triple ? 3 : 1;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '\\' && q == '"') {
        i_ += 2;
      } else if (c == q && (!triple || s_.substr(i_, 3) == std::string(3, q))) {
        i_ += triple ? 3 : 1;
        while (triple && i_ < s_.size() && s_[i_] == q) ++i_;  // up to two quotes end the content
        return;
      } else if (c == '\n' && !triple) {
        return;  // unterminated: the parser reports it
      } else {
        ++i_;
      }
    }
  }

  // A dotted key starting at i_: returns its number of segments (0 when none is there). Stops
  // with a failure at the first segment that lies deeper than the limit below `base`.
  std::size_t scan_key(std::size_t base) {
    std::size_t segments = 0;
    while (i_ < s_.size()) {
      while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
      if (i_ >= s_.size()) break;
      const std::size_t start = i_;
      if (s_[i_] == '"' || s_[i_] == '\'') {
        skip_string();
      } else if (is_bare(s_[i_])) {
        while (i_ < s_.size() && is_bare(s_[i_])) ++i_;
      } else {
        break;
      }
      ++segments;
      if (too_deep(base + segments, start)) return segments;
      while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
      if (i_ >= s_.size() || s_[i_] != '.') break;
      ++i_;
    }
    return segments;
  }

  void scan_key_position(char c) {
    if (open_.empty() && c == '[') {  // [table] or [[array of tables]]
      ++i_;
      if (i_ < s_.size() && s_[i_] == '[') ++i_;
      base_ = scan_key(0);
      expect_ = Expect::after_value;  // the closing brackets and the rest of the line
      return;
    }
    if (c == '}' && !open_.empty() && open_.back().kind == '{') {  // {} or a trailing comma
      ++i_;
      open_.pop_back();
      expect_ = Expect::after_value;
      return;
    }
    const std::size_t base = open_.empty() ? base_ : open_.back().depth;
    const std::size_t segments = scan_key(base);
    if (segments == 0) {
      ++i_;  // not a key: the parser reports it
      return;
    }
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    if (i_ < s_.size() && s_[i_] == '=') ++i_;
    value_depth_ = base + segments;
    expect_ = Expect::value;
  }

  void scan_value(char c) {
    if (c == '[') {
      if (too_deep(value_depth_ + 1, i_)) return;
      ++i_;
      open_.push_back({'[', value_depth_ + 1});
      value_depth_ += 1;
    } else if (c == ']' && !open_.empty() && open_.back().kind == '[') {  // [] or a trailing comma
      ++i_;
      open_.pop_back();
      expect_ = Expect::after_value;
    } else if (c == '{') {
      ++i_;
      open_.push_back({'{', value_depth_});
      expect_ = Expect::key;
    } else if (c == '"' || c == '\'') {
      skip_string();
      expect_ = Expect::after_value;
    } else {
      const std::size_t start = i_;
      while (i_ < s_.size() && std::string_view(" \t\r\n,]}#").find(s_[i_]) == std::string_view::npos)
        ++i_;
      if (i_ == start) ++i_;
      expect_ = Expect::after_value;
    }
  }

  void scan_after_value(char c) {
    ++i_;
    if (open_.empty()) return;  // the rest of a header line, or stray text
    if (c == ',') {
      if (open_.back().kind == '[') {
        value_depth_ = open_.back().depth;
        expect_ = Expect::value;
      } else {
        expect_ = Expect::key;
      }
    } else if ((c == ']' && open_.back().kind == '[') || (c == '}' && open_.back().kind == '{')) {
      open_.pop_back();
    }
  }

  // Line and column (1-based, the column in characters) of a byte offset, as the parser counts.
  toml::source_region region_at(std::size_t at) const {
    toml::source_position p{1, 1};
    for (std::size_t k = 0; k < at; ++k) {
      if (s_[k] == '\n') {
        ++p.line;
        p.column = 1;
      } else if ((static_cast<unsigned char>(s_[k]) & 0xC0) != 0x80) {
        ++p.column;
      }
    }
    return {p, {p.line, static_cast<toml::source_index>(p.column + 1)}, nullptr};
  }

  std::string_view s_;
  std::size_t i_ = 0;
  Expect expect_ = Expect::key;
  std::vector<Open> open_;
  std::size_t base_ = 0;         // depth of the current table header
  std::size_t value_depth_ = 0;  // depth of the value being scanned
  std::optional<std::size_t> excess_;
};

}  // namespace

std::optional<toml::source_region> find_excess_nesting(std::string_view text) {
  return NestingScan(text).run();
}

// ---- scalars --------------------------------------------------------------------------------

void read_value(const toml::node& n, double& out, const ReadMode& mode) {
  if (const auto* f = n.as_floating_point()) {
    out = f->get();
  } else if (const auto* i = n.as_integer()) {
    out = static_cast<double>(i->get());  // nearest double
  } else {
    invalid_type(n, mode, "f64");
  }
}

namespace {
template <class I>
I read_integer(const toml::node& n, const ReadMode& mode, std::string_view expecting) {
  const auto* v = n.as_integer();
  if (!v) invalid_type(n, mode, expecting);
  const std::int64_t x = v->get();
  const bool fits = std::is_signed_v<I>
                        ? x >= static_cast<std::int64_t>(std::numeric_limits<I>::min()) &&
                              x <= static_cast<std::int64_t>(std::numeric_limits<I>::max())
                        : x >= 0 && static_cast<std::uint64_t>(x) <= std::numeric_limits<I>::max();
  if (!fits) fail_at(n, mode, "invalid value: " + describe(n) + ", expected " + std::string(expecting));
  return static_cast<I>(x);
}
}  // namespace

void read_value(const toml::node& n, i32& out, const ReadMode& mode) { out = read_integer<i32>(n, mode, "i32"); }

void read_value(const toml::node& n, std::uint32_t& out, const ReadMode& mode) {
  out = read_integer<std::uint32_t>(n, mode, "u32");
}

void read_value(const toml::node& n, u64& out, const ReadMode& mode) { out = read_integer<u64>(n, mode, "usize"); }

void read_value(const toml::node& n, std::string& out, const ReadMode& mode) {
  const auto* s = n.as_string();
  if (!s) invalid_type(n, mode, "a string");
  out = s->get();
}

}  // namespace vantrel::toml_reader
