// Feeds arbitrary bytes to the text-table reader, with and without a time column:
// it either takes them as a consistent record or refuses them with an InputError
// naming the file, and never crashes or reads out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kelvarodine/inputs.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* const kTimeColumns[] = {"", "1", "2", "time"};
  kelv::TableOptions options;
  options.timeColumn = kTimeColumns[data[0] % 4];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  (void)kelv::looksLikeMiniSeed(text);
  try {
    const kelv::Record r = kelv::parseTextTable(text, "fuzz.csv", options);
    if (r.count <= 0 || r.names.empty() ||
        r.data.size() != static_cast<std::size_t>(r.count) * r.names.size())
      __builtin_trap();
    if (r.timed != !options.timeColumn.empty() || (r.timed && !(r.step > 0.0))) __builtin_trap();
  } catch (const kelv::InputError& e) {
    if (e.file() != "fuzz.csv" || e.reason().empty()) __builtin_trap();
  }
  return 0;
}
