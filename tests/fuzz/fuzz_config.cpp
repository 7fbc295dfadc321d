// libFuzzer harness of the configuration reader: any text either parses into a Config (and its
// frequency list is formed) or fails with a vantrel::Error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fd/config.hpp"

namespace {
// A range may ask for up to MAX_FREQUENCY_COUNT frequencies (800 MB); the list is formed only
// for modest counts.
constexpr double MAX_LISTED = 1e5;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const vantrel::Config config = vantrel::parse_config(text);
    const auto& range = config.frequency.range;
    std::size_t n = 0;
    if (range.size() < 3 || !(range[2] > MAX_LISTED)) n = vantrel::frequency_list(config.frequency).size();
    volatile std::size_t sink = n + config.ports.size();
    (void)sink;
  } catch (const vantrel::Error&) {
  }
  return 0;
}
