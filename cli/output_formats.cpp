// The output formats by extension.
#include "cli/output_formats.hpp"

#include <array>
#include <memory>

#include "cli/netcdf_grid.hpp"
#include "console/analysis.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

namespace {

uint64_t dsaaBytes(int32_t nx, int32_t ny) {
  return dsaaFileBytes(nx, ny);
}

void writeDsaa(const GridImage& g) {
  writeGrid({g.nx, g.ny, g.xMin, g.xMax, g.yMin, g.yMax}, g.values);
}

void writeDsaaTo(OutputUnit& unit, const GridImage& g) {
  writeGrid(unit, {g.nx, g.ny, g.xMin, g.xMax, g.yMin, g.yMax}, g.values);
}

bool always() {
  return true;
}

// Each format once; a new one is a line here.
constexpr std::array kFormats = {
    OutputFormat{".grd", "DSAA ASCII grid", dsaaBytes, writeDsaa, writeDsaaTo, always},
    OutputFormat{".nc", "netCDF-4 grid, CF conventions", nullptr, nullptr, nullptr, netcdfSupported,
                 true},
};

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The extension of the file name (from its last dot, after the last slash).
std::string_view extensionOf(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return path.substr(dot);
}

}  // namespace

const OutputFormat* outputFormatOf(std::string_view path) {
  const std::string_view extension = extensionOf(path);
  for (const OutputFormat& format : kFormats) {
    if (extension.size() != format.extension.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < extension.size(); ++i)
      same = same && lower(extension[i]) == format.extension[i];
    if (same) return &format;
  }
  return nullptr;
}

std::string outputFormatList() {
  std::string list;
  for (const OutputFormat& format : kFormats)
    list += (list.empty() ? "" : ", ") + std::string(format.extension) + " (" +
            std::string(format.description) + ")";
  return list;
}

void prepareGridFile(const OutputFormat& format, const std::string& path, int32_t nx, int32_t ny) {
  openReplacement(path, format.fileBytes(nx, ny));
}

void writePreparedGrid(const OutputFormat& format, const GridImage& image) {
  format.write(image);
}

std::unique_ptr<ReplacementFile> prepareCompanion(const OutputFormat& format,
                                                  const std::string& path, int32_t nx, int32_t ny) {
  auto file = std::make_unique<ReplacementFile>();
  file->open(path, format.fileBytes(nx, ny));
  return file;
}

void writeCompanion(const OutputFormat& format, ReplacementFile& file, const GridImage& image) {
  format.writeTo(file.unit(), image);
  file.commit();
}

std::string companionName(std::string_view output, std::string_view tag) {
  const std::string_view extension = extensionOf(output);
  return std::string(output.substr(0, output.size() - extension.size())) + "." + std::string(tag) +
         std::string(extension);
}

}  // namespace kelv::cli
