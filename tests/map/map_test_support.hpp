// Grid texts and PNG pixel access shared by the map tests.
#pragma once

#include <cairo.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "map/map.hpp"

namespace kelv::testing {

struct GridText {
  int nx = 1, ny = 1;
  double xMin = 0, xMax = 1, yMin = 0, yMax = 1, zMin = 0, zMax = 1;
  std::vector<std::string> values;  // row by row, as written
  int perLine = 4;                  // values to a line
  std::string eol = "\r\n";

  std::string text() const {
    auto num = [](double v) {
      char b[40];
      std::snprintf(b, sizeof b, "%16.6E", v);
      return std::string(b);
    };
    std::string t = "DSAA" + eol + std::to_string(nx) + " " + std::to_string(ny) + eol;
    t += num(xMin) + num(xMax) + eol + num(yMin) + num(yMax) + eol + num(zMin) + num(zMax) + eol;
    // Each row starts on a new line, as the analysis program writes them.
    for (int j = 0; j < ny; ++j) {
      for (int i = 0; i < nx; ++i) {
        const size_t k = size_t(j) * size_t(nx) + size_t(i);
        t += (k < values.size() ? values[k] : "0") + " ";
        if ((i + 1) % perLine == 0 || i + 1 == nx) t += eol;
      }
    }
    return t;
  }
};

// The numbers as value tokens.
inline std::vector<std::string> tokens(std::initializer_list<double> vs) {
  std::vector<std::string> out;
  for (double v : vs) {
    char b[40];
    std::snprintf(b, sizeof b, "%.9g", v);
    out.push_back(b);
  }
  return out;
}

// A PNG read back through cairo.
class Png {
 public:
  explicit Png(const std::filesystem::path& p)
      : s_(cairo_image_surface_create_from_png(p.c_str()), &cairo_surface_destroy) {}
  bool ok() const { return cairo_surface_status(s_.get()) == CAIRO_STATUS_SUCCESS; }
  int width() const { return cairo_image_surface_get_width(s_.get()); }
  int height() const { return cairo_image_surface_get_height(s_.get()); }
  gridmap::Rgb at(int x, int y) const {
    const unsigned char* d = cairo_image_surface_get_data(s_.get());
    const int stride = cairo_image_surface_get_stride(s_.get());
    uint32_t p;
    std::memcpy(&p, d + size_t(y) * size_t(stride) + 4 * size_t(x), 4);
    return {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)};
  }

 private:
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> s_;
};

}  // namespace kelv::testing

namespace kelv::gridmap {
inline std::ostream& operator<<(std::ostream& os, const Rgb& c) {
  return os << "rgb(" << int(c.r) << ", " << int(c.g) << ", " << int(c.b) << ")";
}
}  // namespace kelv::gridmap
