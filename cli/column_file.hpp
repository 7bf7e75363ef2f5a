// The grid's columns of a streamed run, kept in a temporary file as they finish and
// turned into the DSAA file's rows at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kelvarodine/analysis.hpp"

namespace kelv::cli {

// The grid's columns in an unnamed temporary file beside the output, a tile per
// block of windows, each tile row after row (row f's values of the block's windows
// side by side), so that a row of the DSAA file is read a tile at a time. The z
// range and the blank nodes are counted as the columns come, in the order
// dsaaHeader visits them.
class ColumnFile {
 public:
  ColumnFile(const std::string& output, int32_t nfreq);
  ~ColumnFile();
  ColumnFile(const ColumnFile&) = delete;
  ColumnFile& operator=(const ColumnFile&) = delete;

  // The columns of the next `windows` windows (nfreq floats a window).
  void append(const float* columns, int64_t windows);

  int64_t blank() const { return blank_; }

  // The DSAA file into the replacement opened for it, put in place.
  void writeDsaa(const GridAxes& axes, int32_t threads);

 private:
  struct Tile {
    int64_t offset, windows;
  };

  void writeAll(const void* data, std::size_t size, int64_t offset);
  void readAll(void* data, std::size_t size, int64_t offset) const;

  int32_t nfreq_;
  std::string name_;
  int fd_ = -1;
  std::vector<float> tile_;
  std::vector<Tile> tiles_;
  int64_t bytes_ = 0, windows_ = 0, blank_ = 0;
  bool anyFinite_ = false;
  float zMin_ = 0, zMax_ = 0;
};

}  // namespace kelv::cli
