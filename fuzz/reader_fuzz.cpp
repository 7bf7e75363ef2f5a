// Feeds arbitrary bytes to the reader as the content of a file (and of the
// console input) through every kind of read statement, with both conditions
// handled, and checks that each statement makes progress and the reading ends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "textio/textio.hpp"
#include "textio/units.hpp"

namespace {

using namespace kelv;

// Runs statements until the end of the input; `selector` picks the statement kinds.
void readAll(InputUnit& unit, uint8_t selector, std::size_t records) {
  int32_t i1 = 0, i2 = 0;
  float f1 = 0.0f, f2 = 0.0f;
  std::string field;
  std::size_t statements = 0;
  for (;;) {
    ReadStatus s = ReadStatus::success;
    switch ((selector >> (2 * (statements % 4))) & 7) {
      case 0:
        s = freeFormatRead(unit, {item(f1)}, kHandleBoth);
        break;
      case 1:
        s = freeFormatRead(unit, {item(i1)}, kHandleBoth);
        break;
      case 2:
        s = freeFormatRead(unit, {item(f1), item(f2)}, kHandleBoth);
        break;
      case 3:
        s = freeFormatRead(unit, {item(i1), item(f1), item(i2), item(f2)}, kHandleBoth);
        break;
      case 4:
        s = freeFormatRead(unit, {}, kHandleBoth);
        break;
      case 5:
        s = formattedLineRead(unit, field, kHandleBoth);
        if (s == ReadStatus::success && field.size() != kNameFieldWidth) __builtin_trap();
        break;
      case 6:
        s = freeFormatRead(unit, {item(i1), item(i2)}, kHandleBoth);
        break;
      default:
        s = freeFormatRead(unit, {item(f2), item(i2)}, kHandleBoth);
        break;
    }
    if (s == ReadStatus::endOfFile) break;
    // Every statement consumes at least one record.
    if (++statements > records + 1) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const std::string_view content(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t records = 1;
  for (char c : content) records += c == '\n';

  textio_internal::attachFileInput("fuzz.dat", content);
  readAll(fileInput(), selector, records);
  rewindFile();
  readAll(fileInput(), static_cast<uint8_t>(selector ^ 0x5A), records);
  closeFile();

  textio_internal::attachConsoleInput(content);
  readAll(consoleInput(), static_cast<uint8_t>(selector >> 1), records);
  return 0;
}
