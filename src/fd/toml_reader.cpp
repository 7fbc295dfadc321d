#include "fd/toml_reader.hpp"

#include <algorithm>
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
