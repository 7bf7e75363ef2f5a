// Reads a "DSAA" grid file as the program writes it, checking the record layout on
// the way: CR LF records, the header lines' field widths (25-column doubles for the x
// and y ranges), and rows of 16-column floats, 4 to a line, each row starting on a
// new line. The program's own DSAA reader must read the same values.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvarodine/dsaa.hpp"

namespace kelv::testing {

struct Grid {
  std::vector<std::string> lines;  // records without their CR LF
  int32_t nx = 0, ny = 0;          // windows, frequencies
  double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
  float zMin = 0, zMax = 0;
  std::vector<float> z;  // ny x nx, element (f, w) at (f - 1) + (w - 1) * ny
  float at(int f, int w) const { return z[size_t(f - 1) + size_t(w - 1) * size_t(ny)]; }
};

inline std::vector<std::string> splitRecords(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) throw std::runtime_error("record without CR LF at the end");
    const std::string line = text.substr(pos, end - pos);
    if (line.find_first_of("\r\n") != std::string::npos)
      throw std::runtime_error("stray CR or LF inside a record");
    lines.push_back(line);
    pos = end + 2;
  }
  return lines;
}

// Values of fixed-width fields; the line must be exactly a whole number of fields.
inline std::vector<std::string> fields(const std::string& line, size_t width) {
  if (line.empty() || line.size() % width != 0)
    throw std::runtime_error("line is not a sequence of " + std::to_string(width) +
                             "-column fields: [" + line + "]");
  std::vector<std::string> out;
  for (size_t p = 0; p < line.size(); p += width) {
    const std::string f = line.substr(p, width);
    if (f[0] != ' ') throw std::runtime_error("field without leading blank: [" + f + "]");
    out.push_back(f);
  }
  return out;
}

inline float fieldFloat(const std::string& f) {
  char* end = nullptr;
  const float v = std::strtof(f.c_str(), &end);
  if (end != f.c_str() + f.size()) throw std::runtime_error("not a float field: [" + f + "]");
  return v;
}

inline double fieldDouble(const std::string& f) {
  char* end = nullptr;
  const double v = std::strtod(f.c_str(), &end);
  if (end != f.c_str() + f.size()) throw std::runtime_error("not a double field: [" + f + "]");
  return v;
}

inline Grid parseGrid(const std::string& text) {
  Grid g;
  g.lines = splitRecords(text);
  if (g.lines.size() < 5 || g.lines[0] != "DSAA") throw std::runtime_error("no DSAA header");
  const auto counts = fields(g.lines[1], 12);
  const auto xs = fields(g.lines[2], 25), ys = fields(g.lines[3], 25), zs = fields(g.lines[4], 16);
  if (counts.size() != 2 || xs.size() != 2 || ys.size() != 2 || zs.size() != 2)
    throw std::runtime_error("header line with other than two values");
  g.nx = std::stoi(counts[0]);
  g.ny = std::stoi(counts[1]);
  g.xMin = fieldDouble(xs[0]);
  g.xMax = fieldDouble(xs[1]);
  g.yMin = fieldDouble(ys[0]);
  g.yMax = fieldDouble(ys[1]);
  g.zMin = fieldFloat(zs[0]);
  g.zMax = fieldFloat(zs[1]);
  if (g.nx < 1 || g.ny < 0) throw std::runtime_error("node counts out of range");

  const size_t linesPerRow = (size_t(g.nx) + 3) / 4;
  if (g.lines.size() != 5 + linesPerRow * size_t(g.ny))
    throw std::runtime_error("row count does not match the header");
  g.z.assign(size_t(g.nx) * size_t(g.ny), 0.0f);
  for (int f = 1; f <= g.ny; ++f) {
    int w = 1;
    for (size_t l = 0; l < linesPerRow; ++l) {
      const auto values = fields(g.lines[5 + size_t(f - 1) * linesPerRow + l], 16);
      const size_t expected = l + 1 < linesPerRow ? 4 : size_t(g.nx) - 4 * (linesPerRow - 1);
      if (values.size() != expected) throw std::runtime_error("row line with a wrong value count");
      for (const auto& v : values)
        g.z[size_t(f - 1) + size_t(w++ - 1) * size_t(g.ny)] = fieldFloat(v);
    }
  }

  const DsaaGrid read = parseDsaa(text, "grid");
  if (read.nx != g.nx || read.ny != g.ny || read.xMin != g.xMin || read.xMax != g.xMax ||
      read.yMin != g.yMin || read.yMax != g.yMax || float(read.zMin) != g.zMin ||
      float(read.zMax) != g.zMax)
    throw std::runtime_error("the DSAA reader reads another header");
  for (int f = 1; f <= g.ny; ++f)
    for (int w = 1; w <= g.nx; ++w) {
      const float mine = g.at(f, w), its = read.z[size_t(f - 1) * size_t(g.nx) + size_t(w - 1)];
      if (mine == kDsaaBlank ? its == its : its != mine)
        throw std::runtime_error("the DSAA reader reads another node");
    }
  return g;
}

}  // namespace kelv::testing
