#pragma once
// Run-time access to shared libraries that the system does not link (MKL PARDISO): opening a
// library by name, finding a function in it, and the check that a name can serve as a C string.
// Failures are values for the caller to test; nothing here prints or stops the call.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace vantrel {

enum class LibraryErrorKind {
  NotOpened,        // the loader refused the library and said why (text)
  NotOpenedNoText,  // the loader refused the library without a text
  SymbolNotFound,   // the library has no such symbol (text, when the loader gave one)
  InnerNul,         // a name holds a NUL byte before its last byte
  EmptyName,        // an empty name: never a valid library or symbol name
};

struct LibraryError {
  LibraryErrorKind kind;
  std::string text;  // a copy of the loader's dlerror() text, empty when it gave none
};

// The opaque handle that dlopen returns. Whoever opened a library closes it with close_library.
using LibraryHandle = void*;

// Succeeds with a flag that is set exactly when the last byte is NUL (the bytes can be handed to
// the loader as they are); fails when a NUL occurs before the last byte, or when bytes is empty.
std::variant<bool, LibraryError> check_library_path(std::span<const std::uint8_t> bytes);
std::variant<bool, LibraryError> check_library_path(std::string_view bytes);

// A NUL-terminated copy of a name (the name itself when it already ends in NUL).
std::string library_name_to_cstr(std::string_view name);

// dlopen(name, RTLD_LAZY | RTLD_LOCAL): symbols bound on first use and not offered to libraries
// loaded later. `name` must be NUL-terminated.
std::variant<LibraryHandle, LibraryError> open_library(const char* name);

// check_library_path, then open_library on the name (copied with a NUL appended if needed).
std::variant<LibraryHandle, LibraryError> load_library(std::string_view name);

// The address of an exported function, or SymbolNotFound. Clears the loader's error text first.
std::variant<void*, LibraryError> lookup_symbol(LibraryHandle library, std::string_view name);

void close_library(LibraryHandle library);

}  // namespace vantrel
