#include "fd/solver/dynlib.hpp"

#include <dlfcn.h>

namespace vantrel {

std::variant<bool, LibraryError> check_library_path(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return LibraryError{LibraryErrorKind::EmptyName, {}};
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == 0) return LibraryError{LibraryErrorKind::InnerNul, {}};
  }
  return bytes.back() == 0;
}

std::variant<bool, LibraryError> check_library_path(std::string_view bytes) {
  return check_library_path(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string library_name_to_cstr(std::string_view name) {
  std::string out(name);
  if (out.empty() || out.back() != '\0') out.push_back('\0');
  return out;
}

std::variant<LibraryHandle, LibraryError> open_library(const char* name) {
  // RTLD_LAZY | RTLD_LOCAL by name: the numeric values differ between platforms.
  void* handle = ::dlopen(name, RTLD_LAZY | RTLD_LOCAL);
  if (handle != nullptr) return handle;
  const char* text = ::dlerror();
  if (text == nullptr) return LibraryError{LibraryErrorKind::NotOpenedNoText, {}};
  return LibraryError{LibraryErrorKind::NotOpened, std::string(text)};
}

std::variant<LibraryHandle, LibraryError> load_library(std::string_view name) {
  auto checked = check_library_path(name);
  if (auto* err = std::get_if<LibraryError>(&checked)) return *err;
  if (std::get<bool>(checked)) return open_library(name.data());
  const std::string cstr = library_name_to_cstr(name);
  return open_library(cstr.c_str());
}

std::variant<void*, LibraryError> lookup_symbol(LibraryHandle library, std::string_view name) {
  auto checked = check_library_path(name);
  if (auto* err = std::get_if<LibraryError>(&checked)) return *err;
  const std::string cstr = library_name_to_cstr(name);
  ::dlerror();  // clear a stale text, so the one read below belongs to this look-up
  void* address = ::dlsym(library, cstr.c_str());
  if (address != nullptr) return address;
  const char* text = ::dlerror();
  return LibraryError{LibraryErrorKind::SymbolNotFound, text ? std::string(text) : std::string()};
}

void close_library(LibraryHandle library) {
  if (library != nullptr) ::dlclose(library);
}

}  // namespace vantrel
