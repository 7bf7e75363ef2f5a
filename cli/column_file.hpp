// The grid's columns of a streamed run, kept in a temporary file as they finish and
// turned into the DSAA files' rows (or read back in order) at the end.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kelvarodine/analysis.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

// The grid's columns in an unnamed temporary file beside the output. The windows are
// cut into slots of a fixed number of windows (a multiple of four, the last slot
// shorter), each slot a tile of the file holding plane after plane (the measure,
// then each channel's coherence), each plane row after row (row f's values of the
// slot's windows side by side), so that a row of a DSAA file is read a tile at a
// time. Blocks of columns may come in any order and with any boundaries: a slot is
// gathered in memory until its last window has come, then written whole. The z range
// and the blank nodes of each plane are counted per slot in the order dsaaHeader
// visits them, and combined in slot order, so they are the held grid's.
class ColumnFile {
 public:
  // nch channels' coherences besides the measure (0: the measure only);
  // slotWindows 0: about kTileNodes nodes a slot.
  ColumnFile(const std::string& output, int32_t nfreq, int64_t nWindows, int32_t nch = 0,
             int64_t slotWindows = 0);
  ~ColumnFile();
  ColumnFile(const ColumnFile&) = delete;
  ColumnFile& operator=(const ColumnFile&) = delete;

  // The columns of windows first .. first + windows - 1 (nfreq floats a window) and,
  // with channels, their coherences as Options::channelCoherences holds them (nch x
  // nfreq floats a window). Each window comes once.
  void append(int64_t first, const float* columns, int64_t windows,
              const float* coherences = nullptr);

  // Windows 1 .. completed() are all in the file (whole slots, or every window).
  int64_t completed() const { return completed_; }
  int64_t slotWindows() const { return slot_; }
  // Blank nodes of plane 0 (the measure) or of channel m's plane (m from 1).
  int64_t blank(int32_t plane = 0) const;

  // Plane `plane`'s DSAA file into `out` (the caller commits it). Every window must
  // have come.
  void writeDsaa(int32_t plane, OutputUnit& out, const GridAxes& axes, int32_t threads) const;
  // Windows first .. first + windows - 1 read back, all within completed(), in the
  // layout append takes (coherences only with channels).
  void read(int64_t first, int64_t windows, float* columns, float* coherences) const;

 private:
  struct Range {
    bool anyFinite = false;
    float zMin = 0, zMax = 0;
    int64_t blank = 0;
  };
  struct Pending {
    std::vector<float> values;
    int64_t windows = 0;
  };

  int64_t slotFirst(int64_t slot) const { return slot * slot_ + 1; }
  int64_t slotSize(int64_t slot) const;
  int64_t slotOffset(int64_t slot) const;
  void flush(int64_t slot, Pending& pending);
  void writeAll(const void* data, std::size_t size, int64_t offset);
  void readAll(void* data, std::size_t size, int64_t offset) const;

  int32_t nfreq_, nch_, planes_;
  int64_t nWindows_, slot_, slots_;
  std::string name_;
  int fd_ = -1;
  std::map<int64_t, Pending> pending_;
  std::vector<std::vector<Range>> ranges_;  // per slot, per plane
  std::vector<bool> written_;
  int64_t completed_ = 0;
};

}  // namespace kelv::cli
