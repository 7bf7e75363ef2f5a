// Worker threads of the analysis: the ordered hand-off that lets several threads
// produce what the calling thread takes in order.
#pragma once

#include <cstdint>
#include <functional>

namespace kelv {

// Items 1..count produced on `threads` worker threads and consumed on the calling
// thread in increasing order, each as soon as it and those before it are produced:
// produce(t, i) runs on worker t (0 <= t < threads, the index of the worker's own
// working storage), consume(i) on the calling thread. No item is produced more than
// `ahead` places beyond the next one to be consumed, so a ring of `ahead` slots,
// item i in slot (i - 1) % ahead, holds everything between the two; consume(i) may
// reuse slot i's storage. The calling thread consumes in bursts of about ahead / 2
// items. With one thread, or when the system gives none, the calling thread runs
// produce(0, i) and consume(i) in turn. The workers start with the terminal's
// interrupts (SIGINT, SIGQUIT, SIGHUP, SIGTERM) blocked, so that those reach the
// calling thread. When produce or consume throws, no further item is started, the
// workers are joined and the first exception is rethrown on the calling thread.
void runInOrder(int32_t threads, int64_t count, int64_t ahead,
                const std::function<void(int32_t, int64_t)>& produce,
                const std::function<void(int64_t)>& consume);

// The number of threads for a request: `requested` when positive, otherwise one per
// processor the process may run on.
int32_t threadsFor(int32_t requested);

}  // namespace kelv
