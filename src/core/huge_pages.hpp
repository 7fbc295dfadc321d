#pragma once
// reserve_huge: reserves a large vector's capacity and asks the kernel to back it with
// transparent huge pages (Linux, "madvise" mode). A large mesh fills hundreds of MB of fresh
// memory; with 2 MB pages the first-touch page faults cost several times less and random
// accesses miss the TLB less. Only a hint: without huge pages nothing changes.

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vantrel {

inline void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t PAGE = std::uintptr_t{2} << 20;  // a transparent huge page
  if (bytes < 2 * PAGE) return;
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (at + PAGE - 1) & ~(PAGE - 1);
  const std::uintptr_t end = (at + bytes) & ~(PAGE - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// Reserves room for n elements (before they are first written) and advises huge pages for it.
template <class V>
void reserve_huge(V& v, std::size_t n) {
  if (n <= v.capacity()) return;
  v.reserve(n);
  advise_huge_pages(v.data(), v.capacity() * sizeof(typename V::value_type));
}

// reserve_huge, then resize to n value-initialised elements.
template <class V>
void resize_huge(V& v, std::size_t n) {
  if (v.empty()) reserve_huge(v, n);
  v.resize(n);
}

}  // namespace vantrel
