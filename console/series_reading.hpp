// Reading one series file by the dialogue's rules: one value per line, the first
// number of the line, until the end of the file or the first line that cannot be
// read. Shared by the dialogue and the command line's `list` input.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "textio/textio.hpp"

namespace kelv {

// How the reading of a series ended.
struct SeriesEnd {
  int32_t count = 0;  // values read
  // The error number of the read that stopped it (kErrSyntax: not a number,
  // kErrConversion: outside the float range, kErrRead: the file could not be read),
  // and the line it stood on; 0 when the reading met the end of the file or the
  // capacity.
  int32_t error = 0;
  uint64_t line = 0;
};

// What stopped a series, for a warning: "not a number", ...
std::string seriesStopReason(int32_t error);

// Reads up to `limit` values, one per record; a null value reads as 0.0. The values
// go to store(offset, values, n) in blocks, offset counting from 0.
template <class Store>
SeriesEnd readSeriesValues(InputUnit& unit, int32_t limit, Store store) {
  // A block of values at a time: the rows of the dialogue's sample matrix interleave
  // the series, so threads reading other series write the same cache lines, and do
  // so in bursts rather than value by value.
  constexpr int32_t kBlock = 4096;
  std::array<float, kBlock> block;
  SeriesEnd end;
  bool more = true;
  while (more && end.count < limit) {
    const int32_t want = std::min(kBlock, limit - end.count);
    int32_t got = 0;
    while (got < want) {
      // The plain lines at once, each other line by the general reader.
      got += static_cast<int32_t>(
          readPlainReals(unit, block.data() + got, static_cast<std::size_t>(want - got)));
      if (got == want) break;
      float& value = block[static_cast<std::size_t>(got)];
      value = 0.0f;
      const ReadStatus status = freeFormatRead(unit, {item(value)}, kHandleBoth);
      if (status == ReadStatus::success) {
        ++got;
        continue;
      }
      if (status == ReadStatus::readError) {
        end.error = lastReadError(unit);
        end.line = recordNumber(unit);
      }
      more = false;
      break;
    }
    store(end.count, block.data(), got);
    end.count += got;
  }
  return end;
}

}  // namespace kelv
