#include "fd/solver/blas_threads.hpp"

#include <dlfcn.h>

#include "core/support.hpp"

namespace vantrel {

void match_blas_threads_to_pool() {
  // The BLAS is a dependency of this module, loaded with local visibility: find it by name
  // among the loaded libraries (RTLD_NOLOAD never loads anything new).
  for (const char* name : {"libopenblas.so.0", "libblas.so.3"}) {
    void* lib = ::dlopen(name, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
    if (lib == nullptr) continue;
    auto set = reinterpret_cast<void (*)(int)>(::dlsym(lib, "openblas_set_num_threads"));
    auto get = reinterpret_cast<int (*)()>(::dlsym(lib, "openblas_get_num_threads"));
    const int want = static_cast<int>(worker_count());
    if (set != nullptr && (get == nullptr || get() != want)) set(want);
    ::dlclose(lib);
    if (set != nullptr) return;
  }
}

}  // namespace vantrel
