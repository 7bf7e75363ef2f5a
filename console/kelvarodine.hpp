// The main program of Kelvarodine and its steps: the start-up notice, the list and
// series files, the operator dialogue and the sizes derived from the answers.
//
// The main program owns every array of the run; each is created once, from the
// counts and answers, and lives until the process ends. Counts are 32-bit; offsets
// into the sample matrix (nch x maxSamples) are 64-bit.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "kelvarodine/settings.hpp"

namespace kelv {

// The whole run up to and including the grid file, and the null-level file when
// nullLevel is set; returns on a normal end. Orderly stops and fatal errors end the
// process from inside.
void KELVARODINE(bool nullLevel = false);

// Writes the two-line start-up notice.
inline constexpr int kNoticeLength = 70;
void AU();

// ---------------------------------------------------------------- series files
// Longest line count taken from the first series file.
inline constexpr int32_t kMaxSampleLines = 2000000000;

// Writes `lines` as console lines, waits for the operator's Enter and stops.
[[noreturn]] void orderlyStop(std::initializer_list<std::string_view> lines);

// Leading blanks moved to the end (the length stays the same).
std::string leftAdjusted(std::string_view name);
// The name without its trailing blanks, as it is opened.
std::string_view fileName(std::string_view name);

// Opens and counts "list", reads its names (blank-padded to 256 characters) and
// creates seriesNames and sampleCounts (nch entries each). Stops A and B.
void readListFile(int32_t& nch, std::unique_ptr<std::string[]>& seriesNames,
                  std::unique_ptr<int32_t[]>& sampleCounts);

// Reads the first series file once, counting its lines (the capacity maxSamples),
// creates the sample matrix (nch x maxSamples, zero-filled), reads every series into
// it (names are left-adjusted in place), reports each, with a warning line under a
// series that stopped at a line it could not read, and returns the common length
// realSamples. Stop C.
int32_t readSeriesFiles(int32_t nch, std::string* seriesNames, int32_t* sampleCounts,
                        int32_t& maxSamples, std::unique_ptr<float[]>& samples);

// ---------------------------------------------------------------- answers
// Whether the dialogue takes an answer: the library's rules, which the dialogue
// applies silently (a refused answer is asked again).
bool acceptDifferencing(int32_t idiff);
bool acceptWindowLength(int32_t nlen, int32_t nch, int32_t realSamples);
bool acceptOrder(int32_t order, int32_t nch, int32_t nlen);
struct RunParameters;
bool acceptTimeMarks(const RunParameters& run);  // needs nlen, nfft, nfreq, shift, nWindows

}  // namespace kelv
