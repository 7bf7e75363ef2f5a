// AU: the start-up notice, two lines of 70 characters held as 16-bit codes.
#include <array>
#include <cstdint>
#include <string>

#include "console/kelvarodine.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

// Each code is the character's byte XOR kNoticeKey; the table was generated from
// the two lines of text with that rule.
constexpr int16_t kNoticeKey = 0x4B1D;

// clang-format off
constexpr std::array<std::array<int16_t, kNoticeLength>, 2> kNoticeCodes = {{
    {{
        19286, 19320, 19313, 19307, 19324, 19311, 19314, 19321, 19316, 19315,
        19320, 19239, 19261, 19309, 19311, 19314, 19321, 19304, 19326, 19305,
        19261, 19314, 19323, 19261, 19326, 19324, 19315, 19314, 19315, 19316,
        19326, 19324, 19313, 19261, 19326, 19314, 19317, 19320, 19311, 19320,
        19315, 19326, 19320, 19310, 19261, 19314, 19307, 19320, 19311, 19261,
        19324, 19261, 19312, 19314, 19307, 19316, 19315, 19322, 19261, 19305,
        19316, 19312, 19320, 19261, 19306, 19316, 19315, 19321, 19314, 19306,
    }},
    {{
        19280, 19320, 19305, 19317, 19314, 19321, 19239, 19261, 19307, 19320,
        19326, 19305, 19314, 19311, 19261, 19324, 19304, 19305, 19314, 19311,
        19320, 19322, 19311, 19320, 19310, 19310, 19316, 19307, 19320, 19261,
        19312, 19314, 19321, 19320, 19313, 19261, 19323, 19316, 19305, 19261,
        19309, 19320, 19311, 19261, 19306, 19316, 19315, 19321, 19314, 19306,
        19249, 19261, 19310, 19309, 19320, 19326, 19305, 19311, 19324, 19313,
        19261, 19312, 19324, 19305, 19311, 19316, 19326, 19320, 19310, 19251,
    }},
}};
// clang-format on

}  // namespace

void AU() {
  for (const auto& codes : kNoticeCodes) {
    std::string line(kNoticeLength, ' ');
    for (int i = 0; i < kNoticeLength; ++i) line[i] = static_cast<char>(codes[i] ^ kNoticeKey);
    beginFreeFormatWrite(consoleOutput());
    writeItem(consoleOutput(), line);
    endWrite(consoleOutput());
  }
}

}  // namespace kelv
