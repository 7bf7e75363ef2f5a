// miniSEED files for the tests, written with libmseed's own packer: records of
// float samples for one trace at a time.
#pragma once

#include <libmseed.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelv::testing {

// Appends the records of one trace (network XX, station STA, the given channel
// code) whose first sample is at `startSeconds` (since 1970, UTC) to `file`, in
// records of 512 bytes.
inline void appendTrace(std::string& file, const std::string& channel, double startSeconds,
                        double rate, const std::vector<float>& values) {
  MSTrace* mst = mst_init(nullptr);
  std::strcpy(mst->network, "XX");
  std::strcpy(mst->station, "STA");
  std::strncpy(mst->channel, channel.c_str(), sizeof mst->channel - 1);
  mst->dataquality = 'D';
  mst->starttime = static_cast<hptime_t>(startSeconds * HPTMODULUS + 0.5);
  mst->samprate = rate;
  auto* data = static_cast<float*>(std::malloc(values.size() * sizeof(float)));
  std::memcpy(data, values.data(), values.size() * sizeof(float));
  mst->datasamples = data;  // freed with the trace
  mst->numsamples = static_cast<int64_t>(values.size());
  mst->samplecnt = mst->numsamples;
  mst->sampletype = 'f';
  int64_t packed = 0;
  const auto handler = [](char* record, int length, void* out) {
    static_cast<std::string*>(out)->append(record, static_cast<std::size_t>(length));
  };
  const int records = mst_pack(mst, handler, &file, 512, DE_FLOAT32, 1, &packed, 1, 0, nullptr);
  mst_free(&mst);
  if (records < 0 || packed != static_cast<int64_t>(values.size()))
    throw std::runtime_error("mst_pack failed");
}

}  // namespace kelv::testing
