// libFuzzer harness of the MSH reader: any byte string either gives a mesh (topology and groups
// built) or a vantrel::Error; every other outcome (a crash, a sanitizer report, another
// exception, a hang, an outsized allocation) is a finding.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mesh_io.hpp"
#include "core/support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const vantrel::Mesh mesh = vantrel::load_msh_bytes(std::span<const std::uint8_t>(data, size));
    // Touch what the import built so the sanitizers see every list read once.
    std::size_t sum = mesh.edges.size() + mesh.faces.size();
    for (const auto& [tag, faces] : mesh.face_groups)
      for (const auto f : faces) sum += mesh.faces.at(f)[0];
    for (const auto& [tag, tets] : mesh.volume_groups)
      for (const auto t : tets) sum += mesh.tets.at(t)[0];
    volatile std::size_t sink = sum;
    (void)sink;
  } catch (const vantrel::Error&) {
  }
  return 0;
}
