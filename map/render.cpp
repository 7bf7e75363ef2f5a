// Drawing of the map with cairo and writing of the picture file.
#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <numbers>

#include "map/map.hpp"
#include "textio/signals_held.hpp"

namespace kelv::gridmap {
namespace {

constexpr const char* kFont = "sans-serif";
constexpr double kTickLength = 6.0;
constexpr double kTickFontSize = 13.0;
constexpr double kLabelFontSize = 15.0;
constexpr double kTitleFontSize = 18.0;
// Follows the title when nodes below their null level are dimmed.
constexpr const char* kDimmedNote = " (nodes below the 95 % null level dimmed)";

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using ContextPtr = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

uint32_t pixel(Rgb c) {
  return 0xFF000000u | uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | uint32_t(c.b);
}

// cairo's text calls need UTF-8; a file name need not be. Invalid bytes become "?".
std::string validUtf8(const std::string& s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = s[i];
    size_t len = c < 0x80           ? 1
                 : (c >> 5) == 0x6  ? 2
                 : (c >> 4) == 0xE  ? 3
                 : (c >> 3) == 0x1E ? 4
                                    : 0;
    bool ok = len > 0 && i + len <= s.size() && c != 0xC0 && c != 0xC1 && c < 0xF5;
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) >> 6) == 0x2;
    if (ok && len == 3) {
      const unsigned char c1 = s[i + 1];
      ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);  // overlong, surrogates
    }
    if (ok && len == 4) {
      const unsigned char c1 = s[i + 1];
      ok = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
    }
    if (ok && c >= 0x20 && c != 0x7F) {
      out.append(s, i, len);
      i += len;
    } else {
      out.push_back('?');
      ++i;
    }
  }
  return out;
}

void setFont(cairo_t* cr, double size, bool bold = false) {
  cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
}

double textWidth(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t te;
  cairo_text_extents(cr, text.c_str(), &te);
  return te.x_advance;
}

// Text with its baseline at y, placed left of, centred on or right of x by `align`
// (0, 0.5, 1).
void showText(cairo_t* cr, const std::string& text, double x, double y, double align) {
  cairo_move_to(cr, x - align * textWidth(cr, text), y);
  cairo_show_text(cr, text.c_str());
}

// Text turned to read bottom to top, centred on y, its baseline on the vertical x.
void showVerticalText(cairo_t* cr, const std::string& text, double x, double y) {
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_rotate(cr, -std::numbers::pi / 2.0);
  showText(cr, text, 0.0, 0.0, 0.5);
  cairo_restore(cr);
}

// Height of a digit: centres tick labels on their ticks.
double digitHeight(cairo_t* cr) {
  cairo_text_extents_t te;
  cairo_text_extents(cr, "0", &te);
  return te.height;
}

SurfacePtr makeImage(int w, int h) {
  return SurfacePtr(cairo_image_surface_create(CAIRO_FORMAT_RGB24, std::max(w, 1), std::max(h, 1)),
                    &cairo_surface_destroy);
}

// Paints `image` with its top left corner at (x, y), pixel for pixel.
void paintImage(cairo_t* cr, cairo_surface_t* image, int x, int y) {
  cairo_surface_mark_dirty(image);
  cairo_save(cr);
  cairo_set_source_surface(cr, image, x, y);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_rectangle(cr, x, y, cairo_image_surface_get_width(image),
                  cairo_image_surface_get_height(image));
  cairo_fill(cr);
  cairo_restore(cr);
}

// The nodes that each of `pixels` pixels along an axis of n nodes shows, first and
// last inclusive. With no more nodes than pixels: the nearest node to the pixel's
// centre. With more: every node whose centre lies in the pixel, so that each node
// is shown by exactly one pixel.
struct NodeSpan {
  int32_t first, last;
};
std::vector<NodeSpan> nodesOfPixel(int pixels, int32_t n, bool reversed) {
  std::vector<NodeSpan> span(size_t(std::max(pixels, 0)));
  const auto mirror = [&](int64_t k) { return int32_t(reversed ? n - 1 - k : k); };
  if (n <= pixels) {
    for (int p = 0; p < pixels; ++p) {
      const int64_t k =
          std::clamp<int64_t>((int64_t(2 * p + 1) * n) / (2 * int64_t(pixels)), 0, n - 1);
      span[size_t(p)] = {mirror(k), mirror(k)};
    }
    return span;
  }
  // Node k's centre, at (k + 1/2) / n of the axis, lies in pixel floor((2k + 1) pixels / 2n).
  int64_t k = 0;
  for (int p = 0; p < pixels; ++p) {
    const int64_t first = k;
    while (k + 1 < n && ((2 * (k + 1) + 1) * int64_t(pixels)) / (2 * int64_t(n)) == p) ++k;
    span[size_t(p)] =
        reversed ? NodeSpan{mirror(k), mirror(first)} : NodeSpan{int32_t(first), int32_t(k)};
    ++k;
  }
  return span;
}

// The larger of two values, a value without data (NaN) giving way to any other.
float larger(float a, float b) {
  return std::isnan(a) || b > a ? b : a;
}

// Each pixel shows the largest value of the nodes it shows, so that a peak of a
// single window or frequency never falls between pixels. With null levels, the
// nodes at or above their row's level come first: the pixel shows the largest of
// those in full colour, and only when it holds none the largest of all, dimmed.
void drawGridImage(cairo_t* cr, const Grid& grid, const std::vector<float>& rowLevels,
                   const PixelRect& plot, ColourRange range) {
  const AxisRange ax = axisRange(grid.xMin, grid.xMax, grid.nx);
  const AxisRange ay = axisRange(grid.yMin, grid.yMax, grid.ny);
  const std::vector<NodeSpan> columns = nodesOfPixel(plot.w, grid.nx, ax.reversed);
  // Pixel rows count from the top, grid rows from yMin at the bottom.
  const std::vector<NodeSpan> rows = nodesOfPixel(plot.h, grid.ny, !ay.reversed);
  SurfacePtr image = makeImage(plot.w, plot.h);
  cairo_surface_flush(image.get());
  unsigned char* data = cairo_image_surface_get_data(image.get());
  const int stride = cairo_image_surface_get_stride(image.get());
  if (!data) throw std::bad_alloc();
  const bool masked = !rowLevels.empty();
  std::vector<float> pooled(size_t(grid.nx));
  std::vector<float> pooledAbove(masked ? size_t(grid.nx) : 0);
  for (int py = 0; py < plot.h; ++py) {
    const NodeSpan r = rows[size_t(py)];
    std::fill(pooled.begin(), pooled.end(), NAN);
    std::fill(pooledAbove.begin(), pooledAbove.end(), NAN);
    for (int32_t j = r.first; j <= r.last; ++j) {
      const float* values = grid.z.data() + size_t(j) * size_t(grid.nx);
      for (size_t i = 0; i < pooled.size(); ++i) pooled[i] = larger(pooled[i], values[i]);
      if (!masked) continue;
      // A row without a level has nothing to be tested against: all of it counts as above.
      const float level = rowLevels[size_t(j)];
      for (size_t i = 0; i < pooled.size(); ++i) {
        if (std::isnan(level) || values[i] >= level)
          pooledAbove[i] = larger(pooledAbove[i], values[i]);
      }
    }
    auto* line = reinterpret_cast<uint32_t*>(data + size_t(py) * size_t(stride));
    for (int px = 0; px < plot.w; ++px) {
      const NodeSpan c = columns[size_t(px)];
      float z = NAN;
      for (int32_t i = c.first; i <= c.last; ++i) z = larger(z, pooled[size_t(i)]);
      if (!masked || std::isnan(z)) {
        line[px] = pixel(colourOf(z, range));
        continue;
      }
      float above = NAN;
      for (int32_t i = c.first; i <= c.last; ++i) above = larger(above, pooledAbove[size_t(i)]);
      line[px] = pixel(std::isnan(above) ? dimmed(colourOf(z, range)) : colourOf(above, range));
    }
  }
  paintImage(cr, image.get(), plot.x, plot.y);
}

// Picks a tick step for an axis of `pixels` length showing [lo, hi], with at least
// `minSpacing` pixels between ticks and room for each label when `labelsAlong`.
double chooseStep(cairo_t* cr, double lo, double hi, int pixels, double minSpacing,
                  bool labelsAlong) {
  for (int maxIntervals = std::max(1, int(pixels / minSpacing)); maxIntervals >= 1;
       --maxIntervals) {
    const double step = tickStep(hi - lo, maxIntervals);
    if (!labelsAlong || step <= 0.0) return step;
    double widest = 0.0;
    for (double v : tickValues(lo, hi, step))
      widest = std::max(widest, textWidth(cr, tickLabel(v, step)));
    if (widest + 14.0 <= step / (hi - lo) * pixels || maxIntervals == 1) return step;
  }
  return 0.0;
}

void strokeLine(cairo_t* cr, double x0, double y0, double x1, double y1) {
  cairo_move_to(cr, x0, y0);
  cairo_line_to(cr, x1, y1);
  cairo_stroke(cr);
}

// A one-pixel frame just outside the rectangle.
void frame(cairo_t* cr, const PixelRect& r) {
  cairo_rectangle(cr, r.x - 0.5, r.y - 0.5, r.w + 1.0, r.h + 1.0);
  cairo_stroke(cr);
}

void drawXAxis(cairo_t* cr, const Grid& grid, const PixelRect& plot, const std::string& label) {
  const AxisRange a = axisRange(grid.xMin, grid.xMax, grid.nx);
  setFont(cr, kTickFontSize);
  const double step = chooseStep(cr, a.lo, a.hi, plot.w, 90.0, true);
  const double bottom = plot.y + plot.h + 0.5;
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  for (double v : tickValues(a.lo, a.hi, step)) {
    const double x = std::round(plot.x + (v - a.lo) / (a.hi - a.lo) * plot.w) + 0.5;
    strokeLine(cr, x, bottom, x, bottom + kTickLength);
    showText(cr, tickLabel(v, step), x, bottom + kTickLength + 3.0 + fe.ascent, 0.5);
  }
  setFont(cr, kLabelFontSize);
  showText(cr, validUtf8(label), plot.x + plot.w / 2.0,
           bottom + kTickLength + 3.0 + fe.height + 26.0, 0.5);
}

void drawYAxis(cairo_t* cr, const Grid& grid, const PixelRect& plot, const std::string& label) {
  const AxisRange a = axisRange(grid.yMin, grid.yMax, grid.ny);
  setFont(cr, kTickFontSize);
  const double step = chooseStep(cr, a.lo, a.hi, plot.h, 50.0, false);
  const double left = plot.x - 0.5;
  const double lift = digitHeight(cr) / 2.0;
  double widest = 0.0;
  for (double v : tickValues(a.lo, a.hi, step)) {
    const double y = std::round(plot.y + plot.h - (v - a.lo) / (a.hi - a.lo) * plot.h) - 0.5;
    strokeLine(cr, left, y, left - kTickLength, y);
    const std::string label = tickLabel(v, step);
    widest = std::max(widest, textWidth(cr, label));
    showText(cr, label, left - kTickLength - 4.0, y + lift, 1.0);
  }
  setFont(cr, kLabelFontSize);
  const double x = std::max(left - kTickLength - 4.0 - widest - 10.0, 20.0);
  showVerticalText(cr, validUtf8(label), x, plot.y + plot.h / 2.0);
}

void drawColourBar(cairo_t* cr, const PixelRect& bar, ColourRange range) {
  SurfacePtr image = makeImage(bar.w, bar.h);
  cairo_surface_flush(image.get());
  unsigned char* data = cairo_image_surface_get_data(image.get());
  const int stride = cairo_image_surface_get_stride(image.get());
  if (!data) throw std::bad_alloc();
  for (int py = 0; py < bar.h; ++py) {
    const double t = (bar.h - py - 0.5) / bar.h;
    const uint32_t c = pixel(colourOf(float(range.lo + t * (range.hi - range.lo)), range));
    auto* line = reinterpret_cast<uint32_t*>(data + size_t(py) * size_t(stride));
    std::fill(line, line + bar.w, c);
  }
  paintImage(cr, image.get(), bar.x, bar.y);
  frame(cr, bar);

  setFont(cr, kTickFontSize);
  const double step = chooseStep(cr, range.lo, range.hi, bar.h, 50.0, false);
  const double right = bar.x + bar.w + 0.5;
  const double lift = digitHeight(cr) / 2.0;
  double widest = 0.0;
  for (double v : tickValues(range.lo, range.hi, step)) {
    const double y =
        std::round(bar.y + bar.h - (v - range.lo) / (range.hi - range.lo) * bar.h) - 0.5;
    strokeLine(cr, right, y, right + kTickLength, y);
    const std::string label = tickLabel(v, step);
    widest = std::max(widest, textWidth(cr, label));
    showText(cr, label, right + kTickLength + 4.0, y + lift, 0.0);
  }
  setFont(cr, kLabelFontSize);
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  showVerticalText(cr, "coherence measure", right + kTickLength + 4.0 + widest + 10.0 + fe.ascent,
                   bar.y + bar.h / 2.0);
}

void drawNoDataKey(cairo_t* cr, const PixelRect& bar, int plotBottom) {
  const PixelRect swatch{bar.x, plotBottom + 22, 14, 14};
  const Rgb g = kNoDataGrey;
  cairo_set_source_rgb(cr, g.r / 255.0, g.g / 255.0, g.b / 255.0);
  cairo_rectangle(cr, swatch.x, swatch.y, swatch.w, swatch.h);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  frame(cr, swatch);
  setFont(cr, kTickFontSize);
  showText(cr, "no data", swatch.x + swatch.w + 7.0,
           swatch.y + swatch.h / 2.0 + digitHeight(cr) / 2.0, 0.0);
}

void drawTitle(cairo_t* cr, const std::string& title, const Layout& l) {
  double size = kTitleFontSize;
  setFont(cr, size, true);
  const double room = l.width - 20.0;
  const double w = textWidth(cr, title);
  if (w > room) {
    size = std::max(6.0, size * room / w);
    setFont(cr, size, true);
  }
  const double centre = std::clamp(l.plot.x + l.plot.w / 2.0, textWidth(cr, title) / 2.0 + 10.0,
                                   l.width - textWidth(cr, title) / 2.0 - 10.0);
  showText(cr, title, centre, l.plot.y - 20.0, 0.5);
}

void drawMap(cairo_t* cr, const Grid& grid, const std::vector<float>& rowLevels,
             const MapText& text, const Layout& l) {
  const ColourRange range = colourRange(grid);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  drawGridImage(cr, grid, rowLevels, l.plot, range);

  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, 1.0);
  frame(cr, l.plot);
  drawXAxis(cr, grid, l.plot, text.xLabel);
  drawYAxis(cr, grid, l.plot, text.yLabel);
  drawColourBar(cr, l.colourBar, range);
  if (std::any_of(grid.z.begin(), grid.z.end(), [](float v) { return std::isnan(v); })) {
    drawNoDataKey(cr, l.colourBar, l.plot.y + l.plot.h);
  }
  drawTitle(cr, validUtf8(text.title) + (rowLevels.empty() ? "" : kDimmedNote), l);
}

// ---------------------------------------------------------------- output file

// The named temporary file being written, if any, for the signal handler: its
// directory and its name there.
char gTempName[NAME_MAX + 1];
volatile sig_atomic_t gTempDirFd = -1;
volatile sig_atomic_t gTempActive = 0;

void removeTempAndDie(int sig) {
  if (gTempActive) unlinkat(gTempDirFd, gTempName, 0);
  signal(sig, SIG_DFL);
  raise(sig);
}

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

MapError cannotWrite(const std::string& output, const std::string& why) {
  return MapError("cannot write " + output + ": " + why);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The file that a picture named `output` replaces: the directory the new file goes
// in, its name there and, when it exists, the old file's status.
struct Target {
  std::string dir;
  std::string base;
  bool exists = false;
  struct stat st {};
};

void placeAt(Target& t, const std::string& path) {
  const std::filesystem::path p(path);
  t.dir = p.parent_path().empty() ? "." : p.parent_path().string();
  t.base = p.filename().string();
}

// The name of the regular file open on `fd`, which `output`, a symbolic link, leads
// to: as the kernel names it, else as realpath finds it; either must still name
// that very file.
std::string reachedPath(int fd, const struct stat& st, const std::string& output) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  std::string path(PATH_MAX, '\0');
  const ssize_t n = readlink(proc, path.data(), path.size());
  struct stat found {};
  if (n > 0 && size_t(n) < path.size()) {
    path.resize(size_t(n));
    if (lstat(path.c_str(), &found) == 0 && S_ISREG(found.st_mode) && sameFile(found, st))
      return path;
  }
  if (char* real = realpath(output.c_str(), nullptr)) {
    path = real;
    std::free(real);
    if (lstat(path.c_str(), &found) == 0 && S_ISREG(found.st_mode) && sameFile(found, st))
      return path;
  }
  throw cannotWrite(output, "the file the link leads to cannot be found");
}

// Finds what `output` stands for as an open of it would reach it, the kernel's
// protections for symbolic links included: nothing, or a regular file with a single
// link. A link is followed, and the new file goes beside the file it leads to.
// Anything else is refused: a FIFO or a device would become a plain file, and a file
// with several links would be split from its other names.
Target findTarget(const std::string& output) {
  Target t;
  Descriptor d;
  do d.fd = open(output.c_str(), O_PATH | O_CLOEXEC);
  while (d.fd < 0 && errno == EINTR);
  if (d.fd < 0) {
    const int err = errno;
    struct stat own {};
    if (err != ENOENT) throw cannotWrite(output, std::strerror(err));
    // A link whose file is missing: an open for writing would make a file elsewhere.
    if (lstat(output.c_str(), &own) == 0) throw cannotWrite(output, "the link leads to no file");
    placeAt(t, output);
    return t;
  }
  if (fstat(d.fd, &t.st) != 0) throw cannotWrite(output, std::strerror(errno));
  if (!S_ISREG(t.st.st_mode)) throw cannotWrite(output, "not a regular file");
  if (t.st.st_nlink > 1) {
    throw cannotWrite(output, "the file has " + std::to_string(t.st.st_nlink) +
                                  " hard links; a new picture would part them");
  }
  t.exists = true;
  struct stat named {};
  if (lstat(output.c_str(), &named) == 0 && !S_ISLNK(named.st_mode) && sameFile(named, t.st)) {
    placeAt(t, output);
  } else {
    placeAt(t, reachedPath(d.fd, t.st, output));
  }
  return t;
}

// The new picture, in the target's directory: an unnamed file (O_TMPFILE) where the
// file system allows, given its name only when complete, so that no ending of the
// process, a kill included, leaves it behind; else a named temporary file, removed
// on every ending but a kill. An existing file's mode, owner and group carry over.
class Replacement {
 public:
  explicit Replacement(const std::string& output) : output_(output) {
    const Target target = findTarget(output);
    base_ = target.base;
    do dirFd_ = open(target.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    while (dirFd_ < 0 && errno == EINTR);
    if (dirFd_ < 0) fail(errno);
    gTempDirFd = dirFd_;
    try {
      if (detail::unnamedTemporaries) createUnnamed();
      if (fd_ < 0) createNamed();
      if (target.exists) keepOwnerAndMode(target.st);
    } catch (...) {
      discard();
      throw;
    }
  }
  ~Replacement() { discard(); }
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  int fd() const { return fd_; }

  void commit() {
    if (fsync(fd_) != 0 && errno != EINVAL) fail(errno);
    if (named_) {
      // Closed first: a write error that only closing reports leaves the old file.
      const int fd = fd_;
      fd_ = -1;
      if (close(fd) != 0) fail(errno);
      SignalsHeld held;
      if (renameat(dirFd_, gTempName, dirFd_, base_.c_str()) != 0) fail(errno);
      gTempActive = 0;
      return;
    }
    publishUnnamed();
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) fail(errno);
  }

  [[noreturn]] void fail(int err) const { throw cannotWrite(output_, std::strerror(err)); }

 private:
  // Closes the file and its directory; a named temporary file goes.
  void discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (gTempActive) {
      SignalsHeld held;
      unlinkat(dirFd_, gTempName, 0);
      gTempActive = 0;
    }
    gTempDirFd = -1;
    if (dirFd_ >= 0) close(dirFd_);
    dirFd_ = -1;
  }

  void createUnnamed() {
    do fd_ = openat(dirFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return;  // no unnamed files here: a named one follows
    // Its name is given through /proc; without it the file could not be named.
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_);
    struct stat st {};
    if (stat(proc, &st) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }

  // Writes ".BASE.PID.N" into gTempName; false when that is too long.
  bool temporaryName(int attempt) {
    const int n = std::snprintf(gTempName, sizeof gTempName, ".%s.%ld.%d", base_.c_str(),
                                static_cast<long>(getpid()), attempt);
    return n > 0 && size_t(n) < sizeof gTempName;
  }

  void createNamed() {
    named_ = true;
    for (int attempt = 0; attempt < 100; ++attempt) {
      SignalsHeld held;
      if (!temporaryName(attempt)) fail(ENAMETOOLONG);
      do fd_ = openat(dirFd_, gTempName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      while (fd_ < 0 && errno == EINTR);
      if (fd_ >= 0) {
        gTempActive = 1;
        return;
      }
      if (errno != EEXIST) fail(errno);
    }
    fail(EEXIST);
  }

  // The old file's mode, owner and group. Giving a file away takes privileges that
  // a user seldom has; the group alone may still be given. A file whose owner or
  // group could not be kept does not keep set-user-ID and set-group-ID either.
  void keepOwnerAndMode(const struct stat& old) {
    struct stat own {};
    if (fstat(fd_, &own) != 0) fail(errno);
    if (own.st_uid != old.st_uid || own.st_gid != old.st_gid) {
      if (fchown(fd_, old.st_uid, old.st_gid) != 0) (void)fchown(fd_, uid_t(-1), old.st_gid);
      if (fstat(fd_, &own) != 0) fail(errno);
    }
    mode_t mode = old.st_mode & 07777;
    if (own.st_uid != old.st_uid || own.st_gid != old.st_gid) mode &= ~mode_t(S_ISUID | S_ISGID);
    if (fchmod(fd_, mode) != 0) fail(errno);
  }

  // Links the unnamed file in under `name`; false with errno set when it cannot.
  bool linkAs(const char* name) const {
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_);
    return linkat(AT_FDCWD, proc, dirFd_, name, AT_SYMLINK_FOLLOW) == 0;
  }

  // Straight to the final name when that is free, else under a temporary name that
  // is renamed over it: the final name only ever names the old picture or the new.
  void publishUnnamed() {
    SignalsHeld held;
    if (linkAs(base_.c_str())) return;
    if (errno != EEXIST) fail(errno);
    for (int attempt = 0;; ++attempt) {
      if (attempt == 100) fail(EEXIST);
      if (!temporaryName(attempt)) fail(ENAMETOOLONG);
      if (linkAs(gTempName)) break;
      if (errno != EEXIST) fail(errno);
    }
    gTempActive = 1;
    if (renameat(dirFd_, gTempName, dirFd_, base_.c_str()) != 0) fail(errno);
    gTempActive = 0;
  }

  std::string output_;
  std::string base_;
  int dirFd_ = -1;
  int fd_ = -1;
  bool named_ = false;
};

struct Sink {
  int fd;
  int err = 0;
};

cairo_status_t writeToSink(void* closure, const unsigned char* data, unsigned int length) {
  auto* sink = static_cast<Sink*>(closure);
  while (length > 0) {
    const ssize_t n = write(sink->fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      sink->err = errno;
      return CAIRO_STATUS_WRITE_ERROR;
    }
    data += n;
    length -= unsigned(n);
  }
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

void writeMap(const Grid& grid, const std::string& title, const std::string& output, Format format,
              const std::vector<float>& rowLevels, int width, int height) {
  writeMap(grid, MapText{title}, {}, output, format, rowLevels, width, height);
}

void writeMap(const Grid& grid, const MapText& text, const std::vector<Panel>& panels,
              const std::string& output, Format format, const std::vector<float>& rowLevels,
              int width, int height) {
  const std::string& title = text.title;
  if (grid.nx <= 0 || grid.ny <= 0 || grid.z.size() != size_t(grid.nx) * size_t(grid.ny)) {
    throw MapError("cannot draw " + output + ": the grid is incomplete");
  }
  for (const Panel& p : panels)
    if (p.grid.nx != grid.nx || p.grid.ny != grid.ny || p.grid.z.size() != grid.z.size())
      throw MapError("cannot draw " + output + ": the panel " + p.title +
                     " does not match the grid");
  if (!rowLevels.empty() && rowLevels.size() != size_t(grid.ny)) {
    throw MapError("cannot draw " + output + ": the null levels do not match the grid's rows");
  }
  if (width < 400 || height < 300) {
    throw MapError("cannot draw " + output + ": a picture needs at least 400 x 300 pixels");
  }
  const Layout layout = computeLayout(width, height);
  const Layout panelLayout = computeLayout(width, kPanelHeight);
  const int fullHeight = height + int(panels.size()) * kPanelHeight;
  Replacement temp(output);
  Sink sink{temp.fd()};

  SurfacePtr surface(nullptr, &cairo_surface_destroy);
  switch (format) {
    case Format::png:
      surface.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, fullHeight));
      break;
    case Format::svg:
      surface.reset(cairo_svg_surface_create_for_stream(writeToSink, &sink, width, fullHeight));
      break;
    case Format::pdf:
      surface.reset(cairo_pdf_surface_create_for_stream(writeToSink, &sink, width, fullHeight));
      // A fixed date keeps the bytes of the file the same from run to run.
      cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATE_DATE,
                                     "2000-01-01T00:00:00Z");
      cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_TITLE,
                                     validUtf8(title).c_str());
      break;
  }
  {
    ContextPtr cr(cairo_create(surface.get()), &cairo_destroy);
    drawMap(cr.get(), grid, rowLevels, text, layout);
    // Each panel in its own band under the map, drawn as a map of its own.
    for (std::size_t i = 0; i < panels.size(); ++i) {
      cairo_save(cr.get());
      cairo_translate(cr.get(), 0, height + double(i) * kPanelHeight);
      cairo_rectangle(cr.get(), 0, 0, width, kPanelHeight);
      cairo_clip(cr.get());
      drawMap(cr.get(), panels[i].grid, {}, MapText{panels[i].title, text.xLabel, text.yLabel},
              panelLayout);
      cairo_restore(cr.get());
    }
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
      throw MapError("cannot draw " + output + ": " +
                     cairo_status_to_string(cairo_status(cr.get())));
    }
  }
  cairo_status_t status;
  if (format == Format::png) {
    status = cairo_surface_write_to_png_stream(surface.get(), writeToSink, &sink);
  } else {
    cairo_surface_finish(surface.get());
    status = cairo_surface_status(surface.get());
  }
  if (sink.err != 0) temp.fail(sink.err);
  if (status != CAIRO_STATUS_SUCCESS) {
    throw MapError("cannot write " + output + ": " + cairo_status_to_string(status));
  }
  temp.commit();
}

void releaseDrawingCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

void installCleanupOnSignals() {
  // Every signal whose usual effect ends the process, unless it is ignored already;
  // faults are left to the sanitizers and the debugger.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF,
                  SIGIO, SIGPWR, SIGSTKFLT, SIGXCPU, SIGSYS, SIGABRT}) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
      signal(sig, removeTempAndDie);
  }
  // A write beyond the file size limit then fails, and is reported, like a full disk.
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace kelv::gridmap
