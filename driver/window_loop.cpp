// The moving-window loop: every window of nlen samples, shift samples apart, is
// preprocessed, fitted and turned into one column of the result grid. Windows are
// independent of each other, so several threads may analyse them at once; the
// console still receives exactly the bytes of a one-thread run.
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/analysis.hpp"
#include "estimation/estimation.hpp"
#include "estimation/lanes.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

constexpr std::array<Field, 4> kProgressFields = {literal("+"), literal("Processing interval # "),
                                                  intField(10), intField(10)};

void writeProgressLine(int32_t w, int32_t nWindows) {
  const std::array<int32_t, 2> counts = {w, nWindows - w + 1};
  formattedWrite(consoleOutput(), kProgressFields, counts, {});
}

// One thread's working storage for a window: the window buffer (the caller's or its
// own) and the spectral stage's arrays, created before the loop and reused for every
// window.
struct WindowWork {
  std::unique_ptr<float[]> ownWindow;
  float* windowData;  // nch x nfft
  SpectralWork spectral;

  WindowWork(const RunParameters& run, float* windowData)
      : windowData(windowData), spectral(run.order, run.nch, run.nfft, run.nfreq) {}

  explicit WindowWork(const RunParameters& run)
      : ownWindow(createArray<float>({run.nch, run.nfft})),
        windowData(ownWindow.get()),
        spectral(run.order, run.nch, run.nfft, run.nfreq) {}
};

// The console lines that follow a window's progress line: one warning for every
// inversion of the fit that met a singular matrix.
void writeDegenerateWarnings(int32_t count) {
  for (int32_t i = 1; i <= count; ++i) writeConsoleLine("ATTENSION: MATRIX DEGENERATES !");
}

// Window w, from the samples to gridColumn(1..nfreq); returns the number of singular
// matrices the fit met (the column is then blank). Writes nothing to the console.
int32_t analyseWindow(const RunParameters& run, const float* samples, int32_t w, WindowWork& work,
                      float* gridColumn) {
  const int32_t nch = run.nch;
  const int32_t nlen = run.nlen;
  const int32_t nfft = run.nfft;

  // Offsets are 64-bit: nch x maxSamples may exceed the range of a 32-bit index.
  const View2<const float> sampleView(samples, nch, run.maxSamples);
  const View2<float> window(work.windowData, nch, nfft);
  const int64_t windowSize = int64_t(nch) * nfft;
  const int64_t windowStart = 1 + int64_t(w - 1) * run.shift;

  std::fill(work.windowData, work.windowData + windowSize, 0.0f);
  // A window never reaches past the common length of the series; the bound only
  // matters for a window longer than the record, which must not read storage the
  // series never filled.
  const int64_t copied = std::min<int64_t>(nlen, int64_t(run.realSamples) - windowStart + 1);
  for (int64_t k = 1; k <= copied; ++k)
    for (int32_t j = 1; j <= nch; ++j) window(j, k) = sampleView(j, windowStart + k - 1);

  return analyseWindowData(run, work.windowData, work.spectral, gridColumn);
}

float* gridColumn(const RunParameters& run, float* grid, int64_t w) {
  return grid + (w - 1) * int64_t(run.nfreq);
}

void runSequentially(const RunParameters& run, const float* samples, WindowWork& work,
                     float* grid) {
  for (int32_t w = 1; w <= run.nWindows; ++w) {
    writeProgressLine(w, run.nWindows);
    writeDegenerateWarnings(analyseWindow(run, samples, w, work, gridColumn(run, grid, w)));
  }
}

// Windows handed out in increasing order to the workers, and finished windows
// waiting for the console. A worker may run at most slots.size() windows ahead of
// the console, so the ring of slots is all the memory the console order needs.
struct WindowQueue {
  struct Slot {
    bool done = false;
    int32_t degenerate = 0;  // singular matrices the window's fit met
  };

  std::mutex mutex;
  std::condition_variable windowDone;  // the console thread waits for its next window
  std::condition_variable slotFreed;   // workers wait for room ahead of the console
  int64_t nextWindow = 1;              // next window to hand out
  int64_t nextToWrite = 1;             // next window the console shows
  std::vector<Slot> slots;

  explicit WindowQueue(std::size_t slotCount) : slots(slotCount) {}
  Slot& slot(int64_t w) { return slots[static_cast<std::size_t>(w - 1) % slots.size()]; }
};

void workerLoop(const RunParameters& run, const float* samples, float* grid, WindowWork& work,
                WindowQueue& queue) {
  const int64_t ahead = static_cast<int64_t>(queue.slots.size());
  for (;;) {
    int64_t w = 0;
    {
      std::unique_lock<std::mutex> lock(queue.mutex);
      if (queue.nextWindow > run.nWindows) return;
      w = queue.nextWindow++;
      queue.slotFreed.wait(lock, [&] { return w - queue.nextToWrite < ahead; });
    }
    // The slot's previous window has been shown; the console thread reads the slot
    // again only once it is marked done.
    WindowQueue::Slot& slot = queue.slot(w);
    slot.degenerate =
        analyseWindow(run, samples, static_cast<int32_t>(w), work, gridColumn(run, grid, w));
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      slot.done = true;
    }
    queue.windowDone.notify_one();
  }
}

// The calling thread only writes the console, window after window, as soon as each
// is finished; the workers start with the console interrupts blocked, so that those
// are handled here.
void runInParallel(const RunParameters& run, const float* samples, std::vector<WindowWork>& works,
                   float* grid) {
  WindowQueue queue(4 * works.size());
  std::vector<std::thread> workers =
      startWorkers(static_cast<int32_t>(works.size()), [&](int32_t t) {
        workerLoop(run, samples, grid, works[static_cast<std::size_t>(t)], queue);
      });

  if (workers.empty()) {
    runSequentially(run, samples, works.front(), grid);
    return;
  }

  for (int32_t w = 1; w <= run.nWindows; ++w) {
    WindowQueue::Slot& slot = queue.slot(w);
    {
      std::unique_lock<std::mutex> lock(queue.mutex);
      queue.windowDone.wait(lock, [&] { return slot.done; });
    }
    writeProgressLine(w, run.nWindows);
    writeDegenerateWarnings(slot.degenerate);
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      slot.done = false;
      queue.nextToWrite = w + 1;
    }
    queue.slotFreed.notify_all();
  }
  for (std::thread& t : workers) t.join();
}

int32_t processorsAvailable() {
  // The affinity mask may be wider than the default set on machines with many CPUs.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (!set) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int status = sched_getaffinity(0, size, set);
    const int error = errno;
    const int count = status == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (status == 0) return std::max(count, 1);
    if (error != EINVAL) break;
  }
  return 1;
}

}  // namespace

std::vector<std::thread> startWorkers(int32_t count, const std::function<void(int32_t)>& body) {
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(std::max(count, 0)));
  sigset_t interrupts, previous;
  sigemptyset(&interrupts);
  for (int s : {SIGINT, SIGQUIT, SIGHUP}) sigaddset(&interrupts, s);
  pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
  for (int32_t t = 0; t < count; ++t) {
    try {
      workers.emplace_back(body, t);
    } catch (const std::system_error&) {
      break;  // the system gives no more threads: those already running do all the work
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return workers;
}

int32_t analyseWindowData(const RunParameters& run, float* windowData, SpectralWork& spectral,
                          float* gridColumn) {
  TRANSFX(run.nch, run.nlen, run.nfft, 1, run.idiff, windowData);
  // The fit, the spectral matrices and the measure at every frequency, in double
  // precision from the preprocessed window on.
  return coherenceSpectrum(run.nlen, windowData, spectral, gridColumn);
}

int32_t analysisThreads() {
  if (const char* setting = std::getenv("OMP_NUM_THREADS")) {
    const char* end = setting + std::strlen(setting);
    int32_t n = 0;
    const auto r = std::from_chars(setting, end, n);
    if (r.ec == std::errc() && r.ptr == end && n > 0) return std::min(n, processorsAvailable());
  }
  return processorsAvailable();
}

void runWindowLoop(const RunParameters& run, const float* samples, float* windowData, float* grid) {
  if (run.nWindows <= 0) return;
  const int32_t threads = std::min(analysisThreads(), run.nWindows);
  std::vector<WindowWork> works;
  works.reserve(static_cast<std::size_t>(threads));
  works.emplace_back(run, windowData);
  if (threads == 1) {
    runSequentially(run, samples, works.front(), grid);
    return;
  }
  for (int32_t t = 2; t <= threads; ++t) works.emplace_back(run);
  runInParallel(run, samples, works, grid);
}

}  // namespace kelv
