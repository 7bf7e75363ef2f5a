// Time per value of reading a series file (one plain decimal a line, as the example
// writes them): the series reader (readSeriesValues), the general free-format read
// statement alone, and the floor of a std::from_chars loop over the whole file.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "console/series_reading.hpp"
#include "kelvarodine/inputs.hpp"
#include "textio/textio.hpp"

namespace {

constexpr int kValues = 40000;

const std::string& seriesPath() {
  static const std::string path = [] {
    std::string p = "/tmp/kelv_series_read_bench.txt";
    std::FILE* f = std::fopen(p.c_str(), "w");
    std::mt19937_64 rng(1);
    std::normal_distribution<double> value(0.0, 3.0);
    for (int i = 0; i < kValues; ++i) std::fprintf(f, "%.6f\n", value(rng));
    std::fclose(f);
    return p;
  }();
  return path;
}

void BM_readSeriesValues(benchmark::State& state) {
  std::vector<float> values(kValues);
  for (auto _ : state) {
    kelv::InputFile file;
    if (file.open(seriesPath()) != 0) std::abort();
    const kelv::SeriesEnd end = kelv::readSeriesValues(
        file.unit(), kValues, [&](int32_t offset, const float* v, int32_t n) {
          std::copy(v, v + n, values.begin() + offset);
        });
    benchmark::DoNotOptimize(end.count);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_readSeriesValues);

void BM_freeFormatRead(benchmark::State& state) {
  std::vector<float> values(kValues);
  for (auto _ : state) {
    kelv::InputFile file;
    if (file.open(seriesPath()) != 0) std::abort();
    for (float& v : values) kelv::freeFormatRead(file.unit(), {kelv::item(v)}, kelv::kHandleBoth);
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_freeFormatRead);

void BM_fromCharsFloor(benchmark::State& state) {
  std::vector<float> values(kValues);
  for (auto _ : state) {
    std::ifstream in(seriesPath(), std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    const char* p = text.data();
    const char* const end = p + text.size();
    for (float& v : values) {
      p = std::from_chars(p, end, v).ptr;
      ++p;
    }
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_fromCharsFloor);

}  // namespace

// A text table of eight blank-separated columns, as the values above, parsed whole:
// time per value.
void BM_parseTextTable(benchmark::State& state) {
  constexpr int kRows = kValues / 8;
  std::string text;
  std::mt19937_64 rng(2);
  std::normal_distribution<double> value(0.0, 3.0);
  char field[32];
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c < 8; ++c) {
      const int n = std::snprintf(field, sizeof field, "%.6f", value(rng));
      text.append(field, static_cast<std::size_t>(n));
      text += c == 7 ? '\n' : ' ';
    }
  for (auto _ : state) {
    const kelv::Record record = kelv::parseTextTable(text, "table", {});
    benchmark::DoNotOptimize(record.data.data());
  }
  state.SetItemsProcessed(state.iterations() * kRows * 8);
}
BENCHMARK(BM_parseTextTable);

BENCHMARK_MAIN();
