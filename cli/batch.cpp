// The command line without questions: the run from its options to its grid files,
// with the settings, gaps, progress and outcome reported for a log.
#include "cli/batch.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/inputs.hpp"
#include "cli/netcdf_grid.hpp"
#include "cli/options.hpp"
#include "cli/output_formats.hpp"
#include "cli/progress.hpp"
#include "cli/sample_source.hpp"
#include "cli/streaming.hpp"
#include "console/analysis.hpp"
#include "formats/fields.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

const char* const kUsage =
    "kelvarodine [--null] | kelvarodine --window N --shift N --order N [OPTION...] [INPUT...]";

const char* const kHelp =
    "usage: kelvarodine [--null]\n"
    "       kelvarodine --window N --shift N --order N [OPTION...] [INPUT...]\n"
    "       kelvarodine --help | --version\n"
    "\n"
    "Run without arguments in a directory holding the file \"list\" (one series file\n"
    "name per line, one line per channel, at least two) and the series files it names\n"
    "(one sample per line, at least 64 samples). The program then asks five questions\n"
    "on the console, one answer per line (they may be piped in):\n"
    "  1. analyse first differences? (0/1)\n"
    "  2. length of the time window, in samples\n"
    "  3. shift between the starts of consecutive windows\n"
    "  4. order of the autoregressive model (1 or more)\n"
    "  5. time of the first sample and time step (Tini Tstep)\n"
    "and writes the coherence measure of every window and frequency to the grid file\n"
    "\"Kelvarodine.grd\" (ASCII DSAA format) in that directory. OMP_NUM_THREADS sets\n"
    "the number of threads; the results do not depend on it.\n"
    "\n"
    "  --null     also estimate the level the measure reaches by chance (independent\n"
    "             channels, 99 simulated windows) and write its 95 % and 99 % quantiles\n"
    "             per frequency to \"Kelvarodine.null.grd\" (as KELVARODINE_NULL=1 does)\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "With --window, --shift and --order the program asks nothing: it reads the INPUT\n"
    "files, each adding its channels in order (without any, the series that \"list\"\n"
    "names), and writes the same grid the answers would give.\n"
    "  --window N          window length in samples\n"
    "  --shift N           samples between the starts of consecutive windows\n"
    "  --order N           order of the autoregressive model\n"
    "  --diff              analyse first differences\n"
    "  --start T0          time of the first sample (default: the inputs' time marks, or 0)\n"
    "  --step DT           time between samples (default: the inputs' time marks, or 1)\n"
    "  --time-column C     the column of text tables holding the time (name or number)\n"
    "  --list FILE         the series named in FILE, in place of INPUT files\n"
    "  --output FILE       the grid file (default Kelvarodine.grd); .grd: DSAA,\n"
    "                      .nc: netCDF-4 (CF conventions, as GMT and xarray read it)\n"
    "  --time-unit U       the unit of the time marks, for the axes of a .nc grid\n"
    "                      (default: s for miniSEED input, else none)\n"
    "  --channels          also one grid per channel of its multiple coherence R(m),\n"
    "                      FILE.ch-CHANNEL.grd beside the output (.nc: a variable)\n"
    "  --null              also the null levels, FILE.null.grd beside the output\n"
    "                      (.nc: variables)\n"
    "  --threads N         threads (default: OMP_NUM_THREADS, or every processor)\n"
    "  --quiet             no settings and no progress: warnings and errors only\n"
    "INPUT: text tables (columns separated by blanks, tabs, commas or semicolons, an\n"
    "optional header line of names, # comments; NA, NaN, inf, empty fields and values\n"
    "beyond the float range are gaps) and miniSEED files (every trace a channel).\n"
    "Exit status: 0 the grid holds values, 2 usage error, 3 every node is blank.\n"
    "\n"
    "Manual: man kelvarodine (the questions, the files, the grid, exit statuses).\n";

namespace {

constexpr const char* kName = "kelvarodine";
// The status of a run whose inputs were read but cannot be analysed (a data
// format error, as the convention of sysexits numbers it).
constexpr int kStatusBadInput = 65;
// The status of a run whose grid holds no value.
constexpr int kStatusAllBlank = 3;

// Control characters of names never reach the terminal raw: they are written as C
// escapes.
std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out += ch;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

// The run's lines: reports on standard output (none when quiet), warnings and
// errors on standard error.
class Reports {
 public:
  explicit Reports(bool quiet) : quiet_(quiet) {}
  void line(const std::string& text) const {
    if (quiet_) return;
    std::fputs((printable(text) + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
  void warning(const std::string& text) const {
    std::fflush(stdout);
    std::fputs((std::string(kName) + ": warning: " + printable(text) + "\n").c_str(), stderr);
  }
  void detail(const std::string& text) const {
    std::fputs(("  " + printable(text) + "\n").c_str(), stderr);
  }
  int error(const std::string& text, int status) const {
    std::fflush(stdout);
    std::fputs((std::string(kName) + ": " + printable(text) + "\n").c_str(), stderr);
    return status;
  }

 private:
  bool quiet_;
};

int inputStatus(InputError::Kind kind) {
  switch (kind) {
    case InputError::Kind::notFound:
      return kErrFileNotFound;
    case InputError::Kind::permission:
      return kErrPermission;
    case InputError::Kind::openFailure:
      return kErrOpenFailure;
    case InputError::Kind::readFailure:
      return kErrRead;
    case InputError::Kind::content:
      break;
  }
  return kStatusBadInput;
}

// The option that gives a setting the library names.
std::string optionOf(const std::string& setting) {
  if (setting == "dt") return "--step";
  if (setting == "t0") return "--start";
  return "--" + setting;
}

std::string listText(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// A channel's name as a part of a file name: letters, digits, '.', '_', '+' and '-'
// as they are, anything else as '_'.
std::string fileNamePart(const std::string& name) {
  std::string part = name;
  for (char& c : part)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
          c == '_' || c == '+' || c == '-'))
      c = '_';
  return part;
}

// The gaps of the record, and the windows they blank, before the analysis.
void reportGaps(const Reports& reports, const Plan& plan, const Record& record,
                const std::vector<Gap>& gaps) {
  if (gaps.empty()) return;
  int64_t missing = 0;
  for (const Gap& g : gaps) missing += g.last - g.first + 1;
  const int64_t blanked = windowsWithGaps(plan, gaps);
  reports.warning(std::to_string(gaps.size()) + (gaps.size() == 1 ? " gap" : " gaps") + " (" +
                  std::to_string(missing) + " missing samples) blank " + std::to_string(blanked) +
                  " of " + std::to_string(plan.nWindows) + " windows:");
  constexpr std::size_t kShown = 20;
  for (std::size_t i = 0; i < std::min(gaps.size(), kShown); ++i) {
    const Gap& g = gaps[i];
    const auto time = [&](int64_t k) {
      return shortestDouble(std::fma(double(k - 1), plan.Tstep, plan.Tini));
    };
    reports.detail(record.names[static_cast<std::size_t>(g.channel - 1)] +
                   (g.first == g.last
                        ? ": sample " + std::to_string(g.first) + " (time " + time(g.first) + ")"
                        : ": samples " + std::to_string(g.first) + " to " + std::to_string(g.last) +
                              " (time " + time(g.first) + " to " + time(g.last) + ")"));
  }
  if (gaps.size() > kShown)
    reports.detail("and " + std::to_string(gaps.size() - kShown) + " more gaps");
}

// One channel's multiple coherence R(m) out of the coherences (nch x nfreq x
// windows) into a grid (nfreq x windows).
void channelGrid(const Plan& plan, const std::vector<float>& coherences, int32_t m,
                 std::vector<float>& grid) {
  const int64_t nodes = int64_t(plan.nfreq) * plan.nWindows;
  grid.resize(static_cast<std::size_t>(nodes));
  for (int64_t node = 0; node < nodes; ++node)
    grid[static_cast<std::size_t>(node)] =
        coherences[static_cast<std::size_t>(node * plan.nch + (m - 1))];
}

// `sharing` null: this process analyses every window, streamed where it can be.
int run(const BatchOptions& o, const OutputFormat& format, WindowSharing* sharing) {
  const Reports reports(o.quiet);
  // Inputs that are regular files are read as the windows need them (the files
  // twice), and the grid's columns go through a temporary file, so that the run's
  // memory is bounded by the window; an input that cannot be read twice (a pipe) is
  // held whole, and with `sharing` the grid never.
  Record record;
  std::optional<ScannedInput> streamed;
  try {
    if (streamable(format.extension)) streamed = scanInputs(o, batchThreads(o));
    record = streamed ? streamed->record : loadRecord(o);
  } catch (const InputError& e) {
    return reports.error(e.what(), inputStatus(e.kind()));
  }
  for (const std::string& w : record.warnings) reports.warning(w);

  Settings settings;
  settings.idiff = o.diff ? 1 : 0;
  settings.nlen = *o.window;
  settings.shift = *o.shift;
  settings.order = *o.order;
  settings.Tini = o.start.value_or(record.timed ? record.start : 0.0);
  settings.Tstep = o.step.value_or(record.timed ? record.step : 1.0);
  Plan plan;
  try {
    plan = makePlan(settings, record.channels(), record.count);
  } catch (const SettingsError& e) {
    if (e.setting() == "data")
      return reports.error(record.source + ": " + e.what(), kStatusBadInput);
    return cli::usageError(kName, optionOf(e.setting()) + ": " + printable(e.what()), kUsage);
  }
  if (plan.shift != settings.shift)
    reports.warning("--shift " + std::to_string(settings.shift) + " is taken as " +
                    std::to_string(plan.shift) + ", the window length less 1");
  if (record.timed && o.step && std::fabs(*o.step - record.step) > 1e-4 * record.step)
    reports.warning("--step " + shortestDouble(*o.step) +
                    " labels the grid, while the inputs' "
                    "time step is " +
                    shortestDouble(record.step));

  const int32_t threads = batchThreads(o);
  const std::string settingsLine =
      settingsText(plan.nlen, plan.shift, plan.order, plan.idiff == 1, plan.Tini, plan.Tstep) +
      " --threads " + std::to_string(threads) + " --output " + o.output +
      (o.timeUnit.empty() ? "" : " --time-unit " + o.timeUnit) + (o.channels ? " --channels" : "") +
      (o.nullLevel ? " --null" : "");
  reports.line(std::string(kName) + " " KELV_VERSION ": " + std::to_string(plan.nch) +
               " channels of " + std::to_string(plan.realSamples) + " samples from " +
               record.source);
  reports.line("channels: " + listText(record.names));
  reports.line("settings: " + settingsLine);
  const GridAxes axes = gridAxes(plan);
  reports.line("grid: " + std::to_string(plan.nWindows) + " windows x " +
               std::to_string(plan.nfreq) + " frequencies, time " + shortestDouble(axes.xMin) +
               " to " + shortestDouble(axes.xMax) + ", frequency 0 to " +
               shortestDouble(axes.yMax));

  const Samples samples = samplesFastest(record.data.data(), plan.nch, record.count);
  reportGaps(reports, plan, record, streamed ? streamed->gaps : findGaps(samples));

  // The output is opened, and its room reserved, before the work. A netCDF file is
  // defined before the work too, and takes the columns of every finished block.
  std::unique_ptr<NetcdfGrid> netcdf;
  if (format.writtenByRun) {
    NetcdfRun described{plan,         record.names, record.source, o.timeUnit,
                        settingsLine, o.channels,   o.nullLevel};
    if (described.timeUnit.empty()) described.timeUnit = record.timeUnit;
    netcdf = std::make_unique<NetcdfGrid>(o.output, described);
  } else {
    prepareGridFile(format, o.output, plan.nWindows, plan.nfreq);
  }
  // Companions too: one that cannot be written is found before the grid is replaced.
  std::vector<std::string> channelNames;
  std::vector<std::unique_ptr<ReplacementFile>> channelFiles;
  std::unique_ptr<ReplacementFile> nullFile;
  if (!netcdf) {
    if (o.channels)
      for (int32_t m = 1; m <= plan.nch; ++m) {
        channelNames.push_back(companionName(
            o.output, "ch-" + fileNamePart(record.names[static_cast<std::size_t>(m - 1)])));
        channelFiles.push_back(
            prepareCompanion(format, channelNames.back(), plan.nWindows, plan.nfreq));
      }
    if (o.nullLevel)
      nullFile = prepareCompanion(format, companionName(o.output, "null"), 2, plan.nfreq);
  }
  const int64_t nodes = int64_t(plan.nfreq) * plan.nWindows;
  const bool held = !streamed && !sharing;
  std::vector<float> grid(held ? arraySize({nodes}, sizeof(float)) : 0);
  std::vector<float> coherences;
  if (o.channels && held) coherences.resize(arraySize({nodes, plan.nch}, sizeof(float)));
  std::unique_ptr<StreamedGrid> columns;
  if (!held) columns = std::make_unique<StreamedGrid>(plan, o.output, netcdf.get(), o.channels);
  std::optional<NullStretches> stretches;
  if (!held && o.nullLevel) stretches.emplace(plan);

  Progress progress(plan.nWindows, o.quiet, ::isatty(1) == 1);
  int64_t singular = 0;
  Options options;
  options.threads = threads;
  options.channelCoherences = o.channels && held ? coherences.data() : nullptr;
  options.progress = [&](int64_t w, int32_t degenerate) {
    if (degenerate > 0) ++singular;
    if (netcdf && held) netcdf->windowDone(w, grid.data(), coherences.data());
    progress.update(w);
  };
  progress.update(0);
  try {
    if (streamed && !sharing) {
      const int64_t block = streamedBlock(plan, threads);
      SampleReader series(*streamed, blockSamples(plan, block), 1, threads);
      const SampleHold hold = [&](int64_t first, int64_t last) { return series.hold(first, last); };
      analyseStreamed(plan, hold, block, options, *columns, stretches ? &*stretches : nullptr);
    } else if (sharing) {
      // Scanned inputs read again, a block of this process's windows at a time, the
      // other processes reading theirs; a held record whole.
      std::unique_ptr<SampleReader> series;
      if (streamed)
        series = std::make_unique<SampleReader>(*streamed,
                                                blockSamples(plan, streamedBlock(plan, threads)));
      const SampleHold hold = [&](int64_t first, int64_t last) {
        return series ? series->hold(first, last) : samples;
      };
      sharing->analyse(plan, hold, streamed ? &*streamed : nullptr, *columns, options,
                       stretches ? &*stretches : nullptr);
    } else {
      analyseWindows(plan, samples, 1, plan.nWindows, grid.data(), options);
    }
  } catch (const InputError& e) {
    progress.finish();
    closeAllUnits();
    return reports.error(e.what(), inputStatus(e.kind()));
  } catch (const MemoryError& e) {
    progress.finish();
    closeAllUnits();
    return reports.error(e.what(), kErrNoMemory);
  }
  progress.finish();

  const auto image = [&](const std::vector<float>& values) {
    return GridImage{plan.nWindows, plan.nfreq, axes.xMin,    axes.xMax,
                     axes.yMin,     axes.yMax,  values.data()};
  };
  std::vector<float> levels;
  if (o.nullLevel)
    levels = stretches ? nullLevelsOfStretches(plan, stretches->data(), threads)
                       : nullLevels(plan, samples, threads);
  std::vector<std::string> written = {o.output};
  if (netcdf) {
    if (o.nullLevel) netcdf->writeNullLevels(levels.data());
    netcdf->commit();
  } else if (held) {
    writePreparedGrid(format, image(grid));
  } else {
    columns->writeGrid(axes, threads);
  }
  if (o.channels && !netcdf) {
    std::vector<float> channel;
    for (int32_t m = 1; m <= plan.nch; ++m) {
      ReplacementFile& file = *channelFiles[static_cast<std::size_t>(m - 1)];
      if (held) {
        channelGrid(plan, coherences, m, channel);
        writeCompanion(format, file, image(channel));
      } else {
        columns->writeChannel(m, file.unit(), axes, threads);
        file.commit();
      }
      written.push_back(channelNames[static_cast<std::size_t>(m - 1)]);
    }
  }
  if (o.nullLevel && !netcdf) {
    writeCompanion(format, *nullFile,
                   {2, plan.nfreq, 95.0, 99.0, axes.yMin, axes.yMax, levels.data()});
    written.push_back(companionName(o.output, "null") + " (null levels, 95 % and 99 %)");
  }

  const int64_t blank =
      held ? std::count_if(grid.begin(), grid.end(), [](float z) { return !std::isfinite(z); })
           : columns->blank();
  if (singular > 0)
    reports.warning(std::to_string(singular) + " of " + std::to_string(plan.nWindows) +
                    " windows met a singular matrix in the model fit; their columns are blank");
  reports.line("written: " + listText(written) + "; " + std::to_string(blank) + " of " +
               std::to_string(nodes) + " nodes blank; settings: " + settingsLine);
  closeAllUnits();
  if (blank == nodes)
    return reports.error("every node of " + o.output +
                             " is blank: the run gave no value (see the warnings above: gaps, "
                             "singular matrices, or channels constant in every window); the "
                             "grid was written as the record of the run",
                         kStatusAllBlank);
  return 0;
}

}  // namespace

int32_t batchThreads(const BatchOptions& options) {
  return options.threads > 0 ? std::min(options.threads, processorsAvailable()) : analysisThreads();
}

namespace {

int runBatch(const std::vector<std::string_view>& args, WindowSharing* sharing) {
  BatchOptions options;
  try {
    options = parseBatchOptions(args);
  } catch (const UsageError& e) {
    return cli::usageError(kName, printable(e.what()), kUsage);
  }
  const OutputFormat* format = outputFormatOf(options.output);
  if (!format)
    return cli::usageError(kName,
                           "--output " + printable(quoted(options.output)) +
                               ": unknown grid format; the formats are " + outputFormatList(),
                           kUsage);
  if (!format->supported()) {
    std::fprintf(stderr,
                 "kelvarodine: --output %s: this kelvarodine was built without netCDF support; "
                 "install libnetcdf-dev (sh scripts/setup-debian.sh on Debian) and rebuild\n",
                 printable(quoted(options.output)).c_str());
    return 2;
  }
  startUp();
  return run(options, *format, sharing);
}

}  // namespace

int runBatch(const std::vector<std::string_view>& args) {
  return runBatch(args, nullptr);
}

int runBatch(const std::vector<std::string_view>& args, WindowSharing& sharing) {
  return runBatch(args, &sharing);
}

}  // namespace kelv::cli
