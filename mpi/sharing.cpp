// Windows shared out among processes: the samples of each range from rank 0, the
// columns back to it in blocks.
#include "mpi/sharing.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace kelv::mpi {

namespace {

constexpr int kSamplesTag = 1;
constexpr int kColumnsTag = 2;
constexpr int kStretchesTag = 3;

// What rank 0 broadcasts before the analysis: whether the work starts, with the
// run's plan, or the run's exit status when it ends before the analysis. The processes run the same
// program on machines of one kind, so the plan travels as bytes.
struct Start {
  int32_t work = 1;
  int32_t status = 0;
  Plan plan;
  // Whether every rank reads its own samples from the inputs, whose scan (inputBytes
  // bytes of toBytes) follows; otherwise rank 0 sends them (a pipe, held whole).
  int32_t ownReading = 0;
  // Whether the null level's stretches within a rank's samples go to rank 0.
  int32_t stretches = 0;
  int64_t inputBytes = 0;
};
static_assert(std::is_trivially_copyable_v<Start>);

// Rank 0's start to every rank; the others wait for it idle (rank 0 may read a long
// record first).
void broadcastStart(Start& start, MPI_Comm comm) {
  MPI_Request request;
  MPI_Ibcast(&start, sizeof start, MPI_BYTE, 0, comm, &request);
  waitIdle(request);
}

// A scanned input from rank 0 to every rank, in messages an int can count.
void broadcastBytes(std::vector<char>& bytes, MPI_Comm comm) {
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    MPI_Request request;
    MPI_Ibcast(bytes.data() + at, static_cast<int>(std::min(kPiece, bytes.size() - at)), MPI_BYTE,
               0, comm, &request);
    waitIdle(request);
  }
}

// Record samples first .. last the windows of a range need.
struct SampleSpan {
  int64_t first = 1, last = 0;
};
SampleSpan sampleSpan(const Plan& plan, const WindowRange& r) {
  return {(r.first - 1) * plan.shift + 1, (r.last - 1) * plan.shift + plan.nlen};
}

// The samples whose null-level stretches a rank that reads its own samples hands to
// rank 0: those of its windows, and for the last rank (which always has windows)
// the samples after the last window as well.
SampleSpan stretchSpan(const Plan& plan, int ranks, int rank) {
  SampleSpan span = sampleSpan(plan, windowRange(plan.nWindows, ranks, rank));
  if (rank == ranks - 1) span.last = std::max<int64_t>(span.last, plan.realSamples);
  return span;
}

// The samples after the last window, which only the null level's stretches need.
SampleSpan tailSpan(const Plan& plan) {
  return {(plan.nWindows - 1) * int64_t(plan.shift) + plan.nlen + 1, plan.realSamples};
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

void SharedWindows::analyse(const Plan& plan, const cli::SampleHold& hold,
                            const cli::ScannedInput* input, cli::ColumnSink& sink,
                            const Options& options, cli::NullStretches* stretches) {
  started_ = true;
  Start start;
  start.plan = plan;
  start.ownReading = input != nullptr;
  start.stretches = stretches != nullptr;
  std::vector<char> scan;
  if (input) {
    scan = cli::toBytes(*input);
    start.inputBytes = static_cast<int64_t>(scan.size());
  }
  broadcastStart(start, comm_);
  if (input) broadcastBytes(scan, comm_);
  scan = {};
  int ranks = 1;
  MPI_Comm_size(comm_, &ranks);

  // Inputs that were not scanned (a pipe, held whole here): every other rank gets
  // the samples of its windows, in pieces of kSharedChunk samples of every channel,
  // taken from the record in its order; a rank's last piece is held with the samples
  // the next rank's first needs again.
  const SampleSpan tail = tailSpan(plan);
  const auto takeTail = [&] {
    if (stretches && tail.first <= tail.last) stretches->take(hold(tail.first, tail.last));
  };
  std::vector<float> chunk;
  bool sent = false;
  for (int r = 1; r < ranks && !input; ++r) {
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
  // from the record's start (again, after sending); between its windows, the blocks
  // that have come in.
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
  // The samples after the last window are the last rank's to read, or else this one's.
  if (!sent && (!input || ranks == 1)) takeTail();
  while (done < plan.nWindows) {
    const int64_t before = done;
    receiveWaiting();
    if (done == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // The stretches within every other rank's samples, which it read itself.
  std::vector<float> pieces;
  for (int r = 1; r < ranks && input && stretches; ++r) {
    if (windowRange(plan.nWindows, ranks, r).last < windowRange(plan.nWindows, ranks, r).first)
      continue;
    const SampleSpan span = stretchSpan(plan, ranks, r);
    const int64_t n = cli::NullStretches::sharedSamples(plan, span.first, span.last);
    if (n > INT_MAX) throw std::length_error("the null level's stretches do not fit one message");
    pieces.resize(static_cast<std::size_t>(n));
    MPI_Request request;
    MPI_Irecv(pieces.data(), static_cast<int>(n), MPI_FLOAT, r, kStretchesTag, comm_, &request);
    waitIdle(request);
    stretches->place(span.first, span.last, pieces.data());
  }
  gathered_ = true;
}

int serveWindows(MPI_Comm comm, const cli::BatchOptions& options) {
  Start start;
  broadcastStart(start, comm);
  if (!start.work) return start.status;
  const Plan& plan = start.plan;
  std::optional<cli::ScannedInput> input;
  if (start.ownReading) {
    std::vector<char> scan(static_cast<std::size_t>(start.inputBytes));
    broadcastBytes(scan, comm);
    input = cli::fromBytes(scan);
  }
  int rank = 0, ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  const WindowRange range = windowRange(plan.nWindows, ranks, rank);
  if (range.last < range.first) return 0;

  // Blocks of windows enough to keep every thread busy, each sent when complete.
  const bool channels = options.channels;
  const int64_t perWindow = blockBytes(plan, 1, channels) - 16;
  if (perWindow > INT_MAX - 16)
    throw std::length_error("the columns of one window do not fit one message");
  const int32_t threads = cli::batchThreads(options);
  const int64_t block = std::max<int64_t>(
      1,
      std::min<int64_t>(std::max<int64_t>(16, 8 * int64_t(threads)), (INT_MAX - 16) / perWindow));

  // The samples of this rank's windows only: read from the inputs block by block,
  // from the range's first sample on, or else sent whole by rank 0.
  const SampleSpan span = sampleSpan(plan, range);
  std::unique_ptr<cli::SampleReader> reader;
  std::vector<float> data;
  Samples sent{};
  if (input) {
    reader = std::make_unique<cli::SampleReader>(
        *input, cli::blockSamples(plan, std::min(block, range.last - range.first + 1)), span.first);
  } else {
    const int64_t count = span.last - span.first + 1;
    data.resize(static_cast<std::size_t>(count * plan.nch));
    for (int64_t k = 0; k < count; k += cli::kSharedChunk)
      for (int32_t j = 0; j < plan.nch; ++j) {
        const int64_t n = std::min(cli::kSharedChunk, count - k);
        MPI_Request request;
        MPI_Irecv(data.data() + j * count + k, static_cast<int>(n), MPI_FLOAT, 0, kSamplesTag, comm,
                  &request);
        waitIdle(request);
      }
    sent = samplesFastest(data.data(), plan.nch, count, span.first);
  }
  std::optional<cli::NullStretches> stretches;
  if (input && start.stretches) stretches.emplace(plan);

  const int64_t nfreq = plan.nfreq;
  const int64_t coherenceSize = nfreq * plan.nch;
  std::vector<float> columns, coherences;
  std::vector<char> message;
  for (int64_t first = range.first; first <= range.last; first += block) {
    const int64_t last = std::min(range.last, first + block - 1);
    const int64_t n = last - first + 1;
    const Samples samples = reader ? reader->hold((first - 1) * int64_t(plan.shift) + 1,
                                                  (last - 1) * int64_t(plan.shift) + plan.nlen)
                                   : sent;
    if (stretches) stretches->take(samples);
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

  // The null level's stretches within this rank's samples, the last rank's after
  // the last window too, to rank 0.
  if (stretches) {
    const SampleSpan tail = tailSpan(plan);
    if (rank == ranks - 1 && tail.first <= tail.last)
      stretches->take(reader->hold(tail.first, tail.last));
    const SampleSpan mine = stretchSpan(plan, ranks, rank);
    const std::vector<float> pieces = stretches->within(mine.first, mine.last);
    MPI_Request request;
    MPI_Isend(pieces.data(), static_cast<int>(pieces.size()), MPI_FLOAT, 0, kStretchesTag, comm,
              &request);
    waitIdle(request);
  }
  return 0;
}

}  // namespace kelv::mpi
