// Windows shared out among processes: the samples of each range from rank 0, the
// columns back to it in blocks.
#include "mpi/sharing.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace kelv::mpi {

namespace {

constexpr int kSamplesTag = 1;
constexpr int kColumnsTag = 2;

// What rank 0 broadcasts before the analysis: whether the work starts, with the
// run's plan, or the run's exit status when it ends before the analysis. The processes run the same
// program on machines of one kind, so the plan travels as bytes.
struct Start {
  int32_t work = 1;
  int32_t status = 0;
  Plan plan;
};
static_assert(std::is_trivially_copyable_v<Start>);

// Rank 0's start to every rank; the others wait for it idle (rank 0 may read a long
// record first).
void broadcastStart(Start& start, MPI_Comm comm) {
  MPI_Request request;
  MPI_Ibcast(&start, sizeof start, MPI_BYTE, 0, comm, &request);
  waitIdle(request);
}

// Record samples first .. last the windows of a range need.
struct SampleSpan {
  int64_t first = 1, last = 0;
};
SampleSpan sampleSpan(const Plan& plan, const WindowRange& r) {
  return {(r.first - 1) * plan.shift + 1, (r.last - 1) * plan.shift + plan.nlen};
}

// A block of columns on the wire: windows first, last (int64), each window's count
// of singular matrices (int32), its columns and, when asked, its channels'
// coherences (floats).
int64_t blockBytes(const Plan& plan, int64_t windows, bool channels) {
  const int64_t floats = int64_t(plan.nfreq) * (channels ? 1 + plan.nch : 1);
  return 16 + windows * (4 + 4 * floats);
}

}  // namespace

void waitIdle(MPI_Request& request) {
  // MPI implementations spin while they wait, which takes a processor from the
  // processes with work on a machine shared by several of them: test, then sleep.
  for (int done = 0;;) {
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    if (done) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

WindowRange windowRange(int64_t nWindows, int ranks, int rank) {
  return {nWindows * rank / ranks + 1, nWindows * (rank + 1) / ranks};
}

void SharedWindows::stop(int status) {
  Start start;
  start.work = 0;
  start.status = status;
  broadcastStart(start, comm_);
}

void SharedWindows::analyse(const Plan& plan, const cli::SampleHold& hold, cli::ColumnSink& sink,
                            const Options& options, cli::NullStretches* stretches) {
  started_ = true;
  Start start;
  start.plan = plan;
  broadcastStart(start, comm_);
  int ranks = 1;
  MPI_Comm_size(comm_, &ranks);

  // Every other rank gets the samples of its windows, in pieces of kSharedChunk
  // samples of every channel, taken from the record in its order; a rank's last piece
  // is held with the samples the next rank's first needs again.
  const int64_t lastSample = (plan.nWindows - 1) * int64_t(plan.shift) + plan.nlen;
  // The null level's stretches may reach past the last window.
  const auto takeTail = [&] {
    if (stretches && lastSample < plan.realSamples)
      stretches->take(hold(lastSample + 1, plan.realSamples));
  };
  std::vector<float> chunk;
  bool sent = false;
  for (int r = 1; r < ranks; ++r) {
    const WindowRange range = windowRange(plan.nWindows, ranks, r);
    if (range.last < range.first) continue;
    const SampleSpan span = sampleSpan(plan, range);
    int64_t next = span.last + 1;
    for (int q = r + 1; q < ranks && next > span.last; ++q) {
      const WindowRange later = windowRange(plan.nWindows, ranks, q);
      if (later.first <= later.last) next = sampleSpan(plan, later).first;
    }
    for (int64_t k = span.first; k <= span.last; k += cli::kSharedChunk) {
      const int64_t n = std::min(cli::kSharedChunk, span.last - k + 1);
      const Samples samples = hold(std::min(k, next), k + n - 1);
      if (stretches) stretches->take(samples);
      chunk.resize(static_cast<std::size_t>(n));
      for (int32_t j = 0; j < plan.nch; ++j) {
        const float* from = samples.data + j * samples.channelStride;
        for (int64_t i = 0; i < n; ++i)
          chunk[static_cast<std::size_t>(i)] = from[(k + i - samples.first) * samples.sampleStride];
        MPI_Send(chunk.data(), static_cast<int>(n), MPI_FLOAT, r, kSamplesTag, comm_);
      }
    }
    sent = true;
  }
  chunk = {};
  if (sent) takeTail();

  const bool channels = sink.channels();
  const int64_t nfreq = plan.nfreq;
  const int64_t coherenceSize = nfreq * plan.nch;
  int64_t done = 0;
  const auto finished = [&](int32_t degenerate) {
    ++done;
    if (options.progress) options.progress(done, degenerate);
  };
  // One block of columns from another rank, to the sink as it comes.
  std::vector<char> message;
  std::vector<float> received, receivedCoherences;
  const auto receive = [&](const MPI_Status& probed) {
    int bytes = 0;
    MPI_Get_count(&probed, MPI_BYTE, &bytes);
    message.resize(static_cast<std::size_t>(bytes));
    MPI_Recv(message.data(), bytes, MPI_BYTE, probed.MPI_SOURCE, kColumnsTag, comm_,
             MPI_STATUS_IGNORE);
    int64_t first = 0, last = 0;
    std::memcpy(&first, message.data(), 8);
    std::memcpy(&last, message.data() + 8, 8);
    const int64_t n = last - first + 1;
    if (first < 1 || last > plan.nWindows || n < 1 || bytes != blockBytes(plan, n, channels))
      throw std::runtime_error("a block of columns from rank " + std::to_string(probed.MPI_SOURCE) +
                               " does not fit the run");
    const char* p = message.data() + 16;
    std::vector<int32_t> degenerate(static_cast<std::size_t>(n));
    std::memcpy(degenerate.data(), p, static_cast<std::size_t>(4 * n));
    p += 4 * n;
    received.resize(static_cast<std::size_t>(n * nfreq));
    std::memcpy(received.data(), p, static_cast<std::size_t>(4 * n * nfreq));
    p += 4 * n * nfreq;
    receivedCoherences.resize(channels ? static_cast<std::size_t>(n * coherenceSize) : 0);
    if (channels)
      std::memcpy(receivedCoherences.data(), p, static_cast<std::size_t>(4 * n * coherenceSize));
    sink.append(first, n, received.data(), receivedCoherences.data());
    for (const int32_t d : degenerate) finished(d);
  };
  const auto receiveWaiting = [&] {
    for (;;) {
      int waiting = 0;
      MPI_Status probed;
      MPI_Iprobe(MPI_ANY_SOURCE, kColumnsTag, comm_, &waiting, &probed);
      if (!waiting) return;
      receive(probed);
    }
  };

  // Rank 0's own windows in blocks, each to the sink when complete, the samples
  // from the record's start again; between its windows, the blocks that have come in.
  const WindowRange own = windowRange(plan.nWindows, ranks, 0);
  const int64_t block = cli::streamedBlock(plan, options.threads);
  std::vector<float> columns(
      static_cast<std::size_t>(std::min<int64_t>(block, plan.nWindows) * nfreq));
  std::vector<float> coherences(channels ? columns.size() * static_cast<std::size_t>(plan.nch) : 0);
  Options mine = options;
  mine.channelCoherences = channels ? coherences.data() : nullptr;
  mine.progress = [&](int64_t, int32_t degenerate) {
    finished(degenerate);
    receiveWaiting();
  };
  for (int64_t first = own.first; first <= own.last; first += block) {
    const int64_t last = std::min(own.last, first + block - 1);
    const Samples samples =
        hold((first - 1) * int64_t(plan.shift) + 1, (last - 1) * int64_t(plan.shift) + plan.nlen);
    if (stretches) stretches->take(samples);
    analyseWindows(plan, samples, first, last, columns.data(), mine);
    sink.append(first, last - first + 1, columns.data(), coherences.data());
  }
  if (!sent) takeTail();
  while (done < plan.nWindows) {
    const int64_t before = done;
    receiveWaiting();
    if (done == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  gathered_ = true;
}

int serveWindows(MPI_Comm comm, const cli::BatchOptions& options) {
  Start start;
  broadcastStart(start, comm);
  if (!start.work) return start.status;
  const Plan& plan = start.plan;
  int rank = 0, ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  const WindowRange range = windowRange(plan.nWindows, ranks, rank);
  if (range.last < range.first) return 0;

  // The samples of this rank's windows only.
  const SampleSpan span = sampleSpan(plan, range);
  const int64_t count = span.last - span.first + 1;
  std::vector<float> data(static_cast<std::size_t>(count * plan.nch));
  for (int64_t k = 0; k < count; k += cli::kSharedChunk)
    for (int32_t j = 0; j < plan.nch; ++j) {
      const int64_t n = std::min(cli::kSharedChunk, count - k);
      MPI_Request request;
      MPI_Irecv(data.data() + j * count + k, static_cast<int>(n), MPI_FLOAT, 0, kSamplesTag, comm,
                &request);
      waitIdle(request);
    }
  const Samples samples = samplesFastest(data.data(), plan.nch, count, span.first);

  // Blocks of windows enough to keep every thread busy, each sent when complete.
  const bool channels = options.channels;
  const int64_t perWindow = blockBytes(plan, 1, channels) - 16;
  if (perWindow > INT_MAX - 16)
    throw std::length_error("the columns of one window do not fit one message");
  const int32_t threads = cli::batchThreads(options);
  const int64_t block = std::max<int64_t>(
      1,
      std::min<int64_t>(std::max<int64_t>(16, 8 * int64_t(threads)), (INT_MAX - 16) / perWindow));
  const int64_t nfreq = plan.nfreq;
  const int64_t coherenceSize = nfreq * plan.nch;
  std::vector<float> columns, coherences;
  std::vector<char> message;
  for (int64_t first = range.first; first <= range.last; first += block) {
    const int64_t last = std::min(range.last, first + block - 1);
    const int64_t n = last - first + 1;
    columns.resize(static_cast<std::size_t>(n * nfreq));
    if (channels) coherences.resize(static_cast<std::size_t>(n * coherenceSize));
    Options o;
    o.threads = threads;
    o.channelCoherences = channels ? coherences.data() : nullptr;
    const std::vector<int32_t> degenerate =
        analyseWindows(plan, samples, first, last, columns.data(), o);
    message.resize(static_cast<std::size_t>(blockBytes(plan, n, channels)));
    char* p = message.data();
    std::memcpy(p, &first, 8);
    std::memcpy(p + 8, &last, 8);
    p += 16;
    std::memcpy(p, degenerate.data(), static_cast<std::size_t>(4 * n));
    p += 4 * n;
    std::memcpy(p, columns.data(), static_cast<std::size_t>(4 * n * nfreq));
    p += 4 * n * nfreq;
    if (channels)
      std::memcpy(p, coherences.data(), static_cast<std::size_t>(4 * n * coherenceSize));
    MPI_Request request;
    MPI_Isend(message.data(), static_cast<int>(message.size()), MPI_BYTE, 0, kColumnsTag, comm,
              &request);
    waitIdle(request);
  }
  return 0;
}

}  // namespace kelv::mpi
