// Worker threads: their start with the terminal's interrupts blocked, and the ordered
// hand-off from workers to the calling thread.
#include "parallel/workers.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "kelvarodine/analysis.hpp"

namespace kelv {

namespace {

// Items handed out in increasing order to the workers, and produced items waiting
// for the calling thread.
struct OrderedQueue {
  std::mutex mutex;
  std::condition_variable produced;  // the calling thread waits for its next item
  std::condition_variable consumed;  // workers wait for room ahead of the calling thread
  int64_t nextToProduce = 1;
  int64_t nextToConsume = 1;
  std::vector<char> done;      // per slot: produced and not yet consumed
  bool stopped = false;        // an item failed: start no other
  std::exception_ptr failure;  // the first failure of a worker

  explicit OrderedQueue(int64_t ahead) : done(static_cast<std::size_t>(ahead), 0) {}
  char& slot(int64_t i) { return done[static_cast<std::size_t>(i - 1) % done.size()]; }
};

// Starts threads running body(0) .. body(count - 1), with the terminal's interrupts
// blocked in them, so that those reach the calling thread; fewer when the system
// gives no more threads (those started then do all the work).
std::vector<std::thread> startWorkers(int32_t count, const std::function<void(int32_t)>& body) {
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(std::max(count, 0)));
  sigset_t interrupts, previous;
  sigemptyset(&interrupts);
  for (int s : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&interrupts, s);
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

}  // namespace

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

int32_t threadsFor(int32_t requested) {
  return requested > 0 ? requested : processorsAvailable();
}

void runInOrder(int32_t threads, int64_t count, int64_t ahead,
                const std::function<void(int32_t, int64_t)>& produce,
                const std::function<void(int64_t)>& consume) {
  if (count <= 0) return;
  OrderedQueue queue(std::max<int64_t>(ahead, 1));
  const int64_t room = static_cast<int64_t>(queue.done.size());
  // The calling thread is woken once the next half ring of items (or all that are
  // left) is ready, not for every item: each wake-up takes a processor from a worker.
  const int64_t batch = std::max<int64_t>(room / 2, 1);
  const auto work = [&](int32_t t) {
    for (;;) {
      int64_t i = 0;
      {
        std::unique_lock<std::mutex> lock(queue.mutex);
        if (queue.stopped || queue.nextToProduce > count) return;
        i = queue.nextToProduce++;
        queue.consumed.wait(lock, [&] { return queue.stopped || i - queue.nextToConsume < room; });
        if (queue.stopped) return;
      }
      // The slot's previous item has been consumed; the calling thread looks at the
      // slot again only once it is marked done.
      try {
        produce(t, i);
      } catch (...) {
        {
          std::lock_guard<std::mutex> lock(queue.mutex);
          if (!queue.failure) queue.failure = std::current_exception();
          queue.stopped = true;
        }
        queue.produced.notify_one();
        queue.consumed.notify_all();
        return;
      }
      bool wake = false;
      {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.slot(i) = 1;
        const int64_t want = std::min(batch, count - queue.nextToConsume + 1);
        int64_t ready = 0;
        while (ready < want && queue.slot(queue.nextToConsume + ready) != 0) ++ready;
        wake = ready == want;
      }
      if (wake) queue.produced.notify_one();
    }
  };
  std::vector<std::thread> workers =
      threads > 1 ? startWorkers(threads, work) : std::vector<std::thread>();
  if (workers.empty()) {
    for (int64_t i = 1; i <= count; ++i) {
      produce(0, i);
      consume(i);
    }
    return;
  }

  const auto stopAll = [&] {
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      queue.stopped = true;
    }
    queue.consumed.notify_all();
  };
  std::exception_ptr failure;
  try {
    for (int64_t i = 1; i <= count; ++i) {
      {
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.produced.wait(lock, [&] { return queue.stopped || queue.slot(i) != 0; });
        if (queue.stopped) break;
      }
      consume(i);
      {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.slot(i) = 0;
        queue.nextToConsume = i + 1;
      }
      queue.consumed.notify_all();
    }
  } catch (...) {
    failure = std::current_exception();
    stopAll();
  }
  for (std::thread& t : workers) t.join();
  if (failure) std::rethrow_exception(failure);
  if (queue.failure) std::rethrow_exception(queue.failure);
}

}  // namespace kelv
