#pragma once
// Generic reader of TOML values into plain records.
//
// A record declares its keys once, in a Schema specialisation: the expectation text used in
// messages ("struct MeshConfig") and a tuple of fields (key, member, required or not), in
// declaration order. Defaults are the record's member initialisers. The reader then handles
// every record the same way:
//   table form: keys are visited in the order they stand in the text, so the first failure in
//     the text is the one reported; unknown keys are skipped with their whole value; after the
//     keys, required fields are checked in declaration order ("missing field `k`").
//   array form: elements are the fields in declaration order; missing trailing fields take their
//     defaults, a missing required one fails with "invalid length i, expected <text> with N
//     elements".
// Scalars: f64 accepts floats and integers (nearest double); i32, u32 and usize accept integers
// in range only. Messages follow the forms "invalid type: {found}, expected {what}",
// "invalid value: integer `v`, expected {what}" and "invalid length n, expected {what}".
// toml++ gives each node its source region; failures carry it, and report() turns it into the
// line/column report with the source line and a caret.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <toml++/toml.h>

#include "core/support.hpp"

namespace vantrel::toml_reader {

// A failure while reading a document: the message and the part of the text it belongs to.
struct ReadFailure {
  std::string message;
  toml::source_region where;
};

// How values are read at one level of the document.
//   anchor: when set, every failure is reported at this node (the entry being read as a whole)
//     rather than at the value that failed.
//   exact_length: fixed arrays and the array form of records refuse surplus elements
//     ("invalid length n, expected N elements in sequence"); otherwise surplus is ignored.
struct ReadMode {
  const toml::node* anchor = nullptr;
  bool exact_length = false;
};

// ---- failures -------------------------------------------------------------------------------
[[noreturn]] void fail_at(const toml::node& at, const ReadMode& mode, std::string message);
// What a value is, as messages name it: "integer `5`", "floating point `2.0`",
// "boolean `true`", "string \"abc\"", "sequence" (array), "map" (table, date or time).
std::string describe(const toml::node& value);
[[noreturn]] void invalid_type(const toml::node& at, const ReadMode& mode, std::string_view expected);
[[noreturn]] void invalid_length(const toml::node& at, const ReadMode& mode, std::size_t n,
                                 std::string_view expected);
// "1 element in sequence", "3 elements in sequence".
std::string elements_in_sequence(std::size_t n);
// "struct X with 1 element", "struct X with 3 elements".
std::string with_elements(std::string_view expecting, std::size_t n);

// The key/value pairs of a table in the order the keys stand in the text (toml++ keeps them
// sorted by name).
std::vector<std::pair<std::string_view, const toml::node*>> entries_in_text_order(const toml::table& t);

// The full report of a failure: "TOML parse error at line L, column C", the source line with
// its number and a caret under the failing span, then the message, each line ending in '\n'.
std::string report(std::string_view text, const toml::source_region& where, std::string_view message);

// ---- nesting ---------------------------------------------------------------------------------
// Deepest nesting a document may have, counting key segments, table headers, arrays and inline
// tables together. The TOML parser recurses once per level (about 1 KiB of stack per inline table
// or array), so a document nested thousands deep would overflow the calling thread's stack; the
// configuration itself never goes deeper than four levels.
inline constexpr std::size_t MAX_NESTING_DEPTH = 32;

// Scans the text without parsing it (strings and comments are skipped) and returns the place
// where the nesting first goes deeper than MAX_NESTING_DEPTH, or nothing. Malformed text is
// scanned as well as it goes; the parser reports its faults.
std::optional<toml::source_region> find_excess_nesting(std::string_view text);

// ---- records --------------------------------------------------------------------------------
template <class R, class T>
struct Field {
  std::string_view key;
  T R::*member;
  bool required;
};
template <class R, class T>
constexpr Field<R, T> required(std::string_view key, T R::*member) {
  return {key, member, true};
}
template <class R, class T>
constexpr Field<R, T> defaulted(std::string_view key, T R::*member) {
  return {key, member, false};
}

// Specialised per record: `static constexpr std::string_view expecting` and
// `static constexpr auto fields` (a tuple of Field).
template <class R>
struct Schema;

template <class R>
concept Record = requires {
  Schema<R>::expecting;
  Schema<R>::fields;
};

// ---- value readers (all declared before any is defined, so they can nest) -------------------
void read_value(const toml::node& n, double& out, const ReadMode& mode);
void read_value(const toml::node& n, i32& out, const ReadMode& mode);
void read_value(const toml::node& n, std::uint32_t& out, const ReadMode& mode);
void read_value(const toml::node& n, u64& out, const ReadMode& mode);
void read_value(const toml::node& n, std::string& out, const ReadMode& mode);
template <class T, std::size_t N>
void read_value(const toml::node& n, std::array<T, N>& out, const ReadMode& mode);
template <class T>
void read_value(const toml::node& n, std::vector<T>& out, const ReadMode& mode);
template <class T>
void read_value(const toml::node& n, std::optional<T>& out, const ReadMode& mode);
template <Record R>
void read_value(const toml::node& n, R& out, const ReadMode& mode);
template <Record R>
void read_record_table(const toml::table& t, const toml::node& at, R& out, const ReadMode& mode);
template <Record R>
void read_record_elements(const toml::array& a, std::size_t first, const toml::node& at, R& out,
                          const ReadMode& mode);

// [T; N]: elements are converted in order; fewer than N fail with "an array of length N".
template <class T, std::size_t N>
void read_value(const toml::node& n, std::array<T, N>& out, const ReadMode& mode) {
  static const std::string expecting = "an array of length " + std::to_string(N);
  const toml::array* a = n.as_array();
  if (!a) invalid_type(n, mode, expecting);
  for (std::size_t i = 0; i < N; ++i) {
    if (i >= a->size()) invalid_length(n, mode, i, expecting);
    read_value((*a)[i], out[i], mode);
  }
  if (mode.exact_length && a->size() > N) invalid_length(n, mode, a->size(), elements_in_sequence(N));
}

template <class T>
void read_value(const toml::node& n, std::vector<T>& out, const ReadMode& mode) {
  const toml::array* a = n.as_array();
  if (!a) invalid_type(n, mode, "a sequence");
  std::vector<T> items;
  items.reserve(a->size());
  for (const toml::node& e : *a) read_value(e, items.emplace_back(), mode);
  out = std::move(items);
}

// TOML has no null: a written key always gives a present value.
template <class T>
void read_value(const toml::node& n, std::optional<T>& out, const ReadMode& mode) {
  T value{};
  read_value(n, value, mode);
  out = std::move(value);
}

template <Record R>
void read_value(const toml::node& n, R& out, const ReadMode& mode) {
  R record{};
  if (const toml::table* t = n.as_table()) {
    read_record_table(*t, n, record, mode);
  } else if (const toml::array* a = n.as_array()) {
    read_record_elements(*a, 0, n, record, mode);
  } else {
    invalid_type(n, mode, Schema<R>::expecting);
  }
  out = std::move(record);
}

namespace detail {
template <class F, class Tuple, std::size_t... I>
void for_each_indexed(F&& f, const Tuple& t, std::index_sequence<I...>) {
  (f(std::get<I>(t), std::integral_constant<std::size_t, I>{}), ...);
}
template <class R, class F>
void for_each_field(F&& f) {
  constexpr auto& fields = Schema<R>::fields;
  for_each_indexed(f, fields, std::make_index_sequence<std::tuple_size_v<std::decay_t<decltype(fields)>>>{});
}
template <class R>
constexpr std::size_t field_count() {
  return std::tuple_size_v<std::decay_t<decltype(Schema<R>::fields)>>;
}
}  // namespace detail

// Table form. `at` is the node failures of the whole record are reported at (the table itself).
template <Record R>
void read_record_table(const toml::table& t, const toml::node& at, R& out, const ReadMode& mode) {
  constexpr std::size_t n_fields = detail::field_count<R>();
  std::array<bool, n_fields> seen{};
  for (const auto& entry : entries_in_text_order(t)) {
    // Named copies, not structured bindings: older compilers (clang 14) cannot capture those.
    const std::string_view key = entry.first;
    const toml::node* value = entry.second;
    detail::for_each_field<R>([&](const auto& field, auto index) {
      if (key == field.key) {
        read_value(*value, out.*(field.member), mode);
        seen[index] = true;
      }
    });
  }
  detail::for_each_field<R>([&](const auto& field, auto index) {
    if (field.required && !seen[index]) fail_at(at, mode, "missing field `" + std::string(field.key) + "`");
  });
}

// Array form over the elements a[first..]: element first + i is field i.
template <Record R>
void read_record_elements(const toml::array& a, std::size_t first, const toml::node& at, R& out,
                          const ReadMode& mode) {
  constexpr std::size_t n_fields = detail::field_count<R>();
  const std::size_t given = a.size() - first;
  detail::for_each_field<R>([&](const auto& field, auto index) {
    if (index < given) {
      read_value(a[first + index], out.*(field.member), mode);
    } else if (field.required) {
      invalid_length(at, mode, index, with_elements(Schema<R>::expecting, n_fields));
    }
  });
  if (mode.exact_length && given > n_fields) invalid_length(at, mode, given, elements_in_sequence(n_fields));
}

}  // namespace vantrel::toml_reader
