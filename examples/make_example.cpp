// kelvarodine-example: writes the bundled example data set into a directory.
//
//   kelvarodine-example DIR [--channels N] [--samples N] [--seed N]
//   kelvarodine-example --help | --version
//
// Writes channel1.txt ... channelN.txt (one sample per line, "%.6f", LF line ends)
// and the file "list" naming them, into DIR (made when missing, its parent not).
// Any failure is one line on standard error and status 1, and leaves no files. The defaults (4
// channels, 30000 samples, seed 1) make the bundled example; other sizes serve benchmarking. The
// same arguments give the same bytes on every run.
//
// The data come from a vector autoregressive process of order 2. Channel 1 resonates
// near 0.1 cycles per sample (AR(2), pole radius 0.95); channel j > 1 resonates at
// 0.05 + 0.4 (j - 1) / N with pole radius 0.8. In the first and last thirds of the
// record the channels are independent, so the coherence measure is 0 at every
// frequency. In the middle third channel j also follows channel j - 1 one sample
// later (coefficient 0.9), a chain that lets every channel be explained by the
// others where channel 1's resonance dominates: the measure there peaks at about
// 0.996 near 0.1 and falls to a few hundredths above 0.4. The process runs
// continuously through both switches, after a burn-in of 2000 samples.
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.hpp"
#include "examples/example_model.hpp"
#include "examples/varsim.hpp"

namespace {

using kelv::sim::VarModel;

constexpr const char* kHelp =
    "usage: kelvarodine-example DIR [--channels N] [--samples N] [--seed N]\n"
    "       kelvarodine-example --help | --version\n"
    "\n"
    "Writes the bundled example data set into the directory DIR (made when missing):\n"
    "the series files channel1.txt ... channelN.txt, one sample per line, and the file\n"
    "\"list\" naming them, ready for kelvarodine. N channels >= 2 (default 4), samples\n"
    ">= 64 (default 30000), seed (default 1); the same arguments give the same bytes.\n"
    "\n"
    "Manual: man kelvarodine.\n";

int usage() {
  std::fprintf(stderr,
               "usage: kelvarodine-example DIR [--channels N] [--samples N] [--seed N]\n"
               "  N channels >= 2 (default 4), samples >= 64 (default 30000), seed (default 1)\n");
  return 2;
}

bool parseNumber(std::string_view text, int64_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Writes one file under a temporary name beside it; false on any failure.
bool writeTemporary(const std::filesystem::path& path, const std::vector<float>& data, int nch,
                    int64_t nsamples, int channel, const std::vector<std::string>& names) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  if (channel < 0) {
    for (const auto& name : names) ok = ok && std::fprintf(f, "%s\n", name.c_str()) > 0;
  } else {
    for (int64_t t = 0; ok && t < nsamples; ++t)
      ok = std::fprintf(f, "%.6f\n", double(data[t * nch + channel])) > 0;
  }
  ok = std::fflush(f) == 0 && ok;
  return std::fclose(f) == 0 && ok;
}

// Writes the series files and "list" into `dir`, each first under a temporary
// name, and gives them their names only when all are complete: a failure (a full
// disk, a file size limit) leaves none of them.
bool writeSeries(const std::filesystem::path& dir, const std::vector<std::string>& names,
                 const std::vector<float>& data, int nch, int64_t nsamples) {
  std::vector<std::string> all = names;
  all.push_back("list");
  std::vector<std::filesystem::path> temporaries;
  const auto temporary = [&](const std::string& name) { return dir / ("." + name + ".part"); };
  bool ok = true;
  for (int j = 0; ok && j <= nch; ++j) {
    temporaries.push_back(temporary(all[j]));
    ok = writeTemporary(temporaries.back(), data, nch, nsamples, j < nch ? j : -1, names);
  }
  std::error_code ec;
  for (int j = 0; ok && j <= nch; ++j) {
    std::filesystem::rename(temporaries[j], dir / all[j], ec);
    ok = !ec;
  }
  if (!ok)
    for (const auto& t : temporaries) std::filesystem::remove(t, ec);
  return ok;
}

int fail(const char* what, const std::filesystem::path& dir) {
  std::fprintf(stderr, "kelvarodine-example: %s %s\n", what, dir.c_str());
  return 1;
}

int generate(const std::filesystem::path& dir, int n, int64_t nsamples, int64_t seed) {
  std::vector<float> data(size_t(n) * size_t(nsamples));
  const VarModel independent = kelv::sim::exampleModel(n, false);
  const VarModel coupled = kelv::sim::exampleModel(n, true);
  kelv::sim::VarSimulator sim(n, 2, uint64_t(seed));
  std::vector<double> burn(n);
  for (int t = 0; t < 2000; ++t) sim.step(independent, burn.data());
  const int64_t switchOn = nsamples / 3, switchOff = 2 * nsamples / 3;
  for (int64_t t = 0; t < nsamples; ++t) {
    const bool on = t >= switchOn && t < switchOff;
    sim.step(on ? coupled : independent, data.data() + t * n);
  }

  std::vector<std::string> names;
  for (int j = 1; j <= n; ++j) names.push_back("channel" + std::to_string(j) + ".txt");
  // Only the directory itself is made: a missing parent is more likely a typing
  // error than a wish.
  std::error_code ec;
  const bool made = std::filesystem::create_directory(dir, ec);
  if (ec) return fail("cannot create", dir);
  if (!writeSeries(dir, names, data, n, nsamples)) {
    if (made) std::filesystem::remove(dir, ec);
    return fail("cannot write into", dir);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int status = kelv::cli::standardOption(argc, argv, "kelvarodine-example", kHelp);
      status >= 0)
    return status;
  // An option where the directory belongs would otherwise become a directory's name.
  if (argc >= 2 && argv[1][0] == '-')
    return kelv::cli::usageError("kelvarodine-example",
                                 "unknown option \"" + std::string(argv[1]) + "\"",
                                 "kelvarodine-example DIR [--channels N] [--samples N] [--seed N]");
  if (argc < 2 || argc % 2 != 0) return usage();
  const std::filesystem::path dir = argv[1];
  int64_t nch = 4, nsamples = 30000, seed = 1;
  for (int i = 2; i < argc; i += 2) {
    const std::string_view flag = argv[i];
    int64_t* target = flag == "--channels"  ? &nch
                      : flag == "--samples" ? &nsamples
                      : flag == "--seed"    ? &seed
                                            : nullptr;
    if (!target || !parseNumber(argv[i + 1], *target)) return usage();
  }
  if (nch < 2 || nch > 1000 || nsamples < 64 || nsamples > 100000000 || seed < 0) return usage();
  // A write beyond the file size limit then fails like a full disk.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    return generate(dir, int(nch), nsamples, seed);
  } catch (const std::bad_alloc&) {
    return fail("not enough memory for the data of", dir);
  }
}
