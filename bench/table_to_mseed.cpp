// Writes the columns of a text table of numbers (one channel each, blank-separated,
// no header) as the traces of a miniSEED file at 20 Hz, for peak_memory.sh.
//
//   table_to_mseed TABLE OUT.mseed
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/mseed_writer.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: table_to_mseed TABLE OUT.mseed\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  std::vector<std::vector<float>> channels;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    float v;
    for (std::size_t c = 0; fields >> v; ++c) {
      if (c == channels.size()) channels.emplace_back();
      channels[c].push_back(v);
    }
  }
  std::string file;
  for (std::size_t c = 0; c < channels.size(); ++c)
    kelv::testing::appendTrace(file, "C" + std::to_string(c + 1), 1.7e9, 20.0, channels[c]);
  std::ofstream(argv[2], std::ios::binary).write(file.data(), std::streamsize(file.size()));
  return 0;
}
