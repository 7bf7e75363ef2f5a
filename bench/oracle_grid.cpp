// The grid of a run computed by the model's definition in double precision (the
// reference the program's own window analysis is held to): reads "list" and its
// series in the working directory as plain decimal numbers, one per line, and writes
// the grid body (nfreq rows of nWindows values, 1.70141e+38 where undefined) to
// standard output, for a node-by-node comparison with the program's grid file.
//
//   oracle_grid IDIFF NLEN SHIFT ORDER > oracle.txt
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "estimation/estimation.hpp"
#include "kelvarodine/dsaa.hpp"
#include "support/oracle.hpp"

namespace {

std::vector<float> readSeries(const std::string& name) {
  std::ifstream in(name);
  std::vector<float> x;
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    char* end = nullptr;
    const float v = std::strtof(line.c_str(), &end);
    if (end == line.c_str()) break;
    x.push_back(v);
  }
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: oracle_grid IDIFF NLEN SHIFT ORDER\n");
    return 2;
  }
  const int idiff = std::atoi(argv[1]), nlen = std::atoi(argv[2]), shift = std::atoi(argv[3]),
            order = std::atoi(argv[4]);
  std::vector<std::vector<float>> channels;
  std::ifstream list("list");
  for (std::string name; std::getline(list, name);) {
    const auto first = name.find_first_not_of(' '), last = name.find_last_not_of(" \r");
    if (first != std::string::npos)
      channels.push_back(readSeries(name.substr(first, last - first + 1)));
  }
  const int nch = int(channels.size());
  size_t samples = channels.empty() ? 0 : channels[0].size();
  for (const auto& c : channels) samples = std::min(samples, c.size());
  int nfft = 2;
  while (nfft < nlen) nfft *= 2;
  const int nfreq = nfft / 2;
  const int nWindows = (int(samples) - nlen) / shift + 1;
  std::vector<double> grid(size_t(nfreq) * nWindows);
  std::vector<float> x(size_t(nch) * nfft);
  for (int w = 0; w < nWindows; ++w) {
    std::fill(x.begin(), x.end(), 0.0f);
    for (int k = 0; k < nlen; ++k)
      for (int j = 0; j < nch; ++j) x[size_t(k) * nch + j] = channels[j][size_t(w) * shift + k];
    kelv::TRANSFX(nch, nlen, nfft, 1, idiff, x.data());
    const kelv::testing::OracleWindow o =
        kelv::testing::oracleMeasures(order, nch, nlen, nfft, x.data());
    for (int f = 0; f < nfreq; ++f) {
      const double v = o.degenerate > 0 ? NAN : o.measures[size_t(f)];
      grid[size_t(f) + size_t(w) * nfreq] = std::isfinite(v) ? v : kelv::kDsaaBlankText;
    }
  }
  std::printf("DSAA\n%d %d\n0 0\n0 0\n0 0\n", nWindows, nfreq);
  for (int f = 0; f < nfreq; ++f) {
    for (int w = 0; w < nWindows; ++w) std::printf(" %.9g", grid[size_t(f) + size_t(w) * nfreq]);
    std::printf("\n");
  }
  return 0;
}
