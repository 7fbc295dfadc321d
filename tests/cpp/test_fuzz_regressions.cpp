// Inputs the fuzz harnesses once found to break a reader (tests/fuzz/regressions/<reader>/):
// each one must now give a result or a vantrel::Error, never a crash or another exception.
// Run under scripts/sanitize.sh they are also checked for memory errors and undefined behaviour.
#include "core/mesh_io.hpp"
#include "fd/config.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

using namespace vantrel;

namespace {

std::vector<std::filesystem::path> inputs(const char* reader) {
  std::vector<std::filesystem::path> files;
  const auto dir = std::filesystem::path(VANTREL_FUZZ_REGRESSIONS) / reader;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "" when `read` returns or throws Error, else what went wrong.
template <class Read>
std::string outcome(Read read) {
  try {
    read();
  } catch (const Error&) {
  } catch (const std::exception& e) {
    return std::string("exception other than Error: ") + e.what();
  }
  return "";
}

}  // namespace

TEST(FuzzRegressions, MshInputsGiveAMeshOrAnError) {
  const auto files = inputs("msh");
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    const std::string bytes = contents(file);
    EXPECT_EQ(outcome([&] {
                (void)load_msh_bytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                               bytes.size()));
              }),
              "")
        << file.filename();
  }
}

TEST(FuzzRegressions, TomlInputsGiveAConfigOrAnError) {
  const auto files = inputs("config");
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    const std::string text = contents(file);
    EXPECT_EQ(outcome([&] { (void)frequency_list(parse_config(text).frequency); }), "")
        << file.filename();
  }
}
