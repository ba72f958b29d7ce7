// Work split over threads: the one place where the C++ side starts threads.
//
// Callers decide the thread count (Python: tarnfold.threads.thread_count,
// which reads the `threads=` settings and TARNFOLD_THREADS) and hand it
// here.  Work is cut into independent items (instruments, blocks of dates)
// whose results never depend on which thread computed them, so a result is
// bit-identical whatever the count.  No Python object may be touched
// inside `body`: run these with the GIL released.
#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::kern {

// Runs body(thread, begin, end) over [0, n) in chunks of `grain` items,
// handed out in increasing order to up to `threads` threads (the calling
// thread is one of them).  `thread` (0 .. threads-1) lets a body keep
// scratch of its own.  An exception thrown by a body stops the handing out
// of further chunks and is rethrown once every thread has finished: the
// one of the earliest chunk, as a single thread would have met it first.
template <class Body>
void parallel_chunks(index_t n, int threads, index_t grain, Body &&body) {
    grain = std::max<index_t>(grain, 1);
    const index_t chunks = (n + grain - 1) / grain;
    const int t = static_cast<int>(std::clamp<index_t>(threads, 1, std::max<index_t>(chunks, 1)));
    if (t <= 1) {
        for (index_t lo = 0; lo < n; lo += grain) body(0, lo, std::min(n, lo + grain));
        return;
    }
    std::atomic<index_t> next{0};
    std::atomic<bool> stop{false};
    std::vector<std::exception_ptr> error(static_cast<std::size_t>(chunks));
    auto work = [&](int thread) {
        while (!stop.load(std::memory_order_relaxed)) {
            const index_t c = next.fetch_add(1);
            if (c >= chunks) break;
            const index_t lo = c * grain;
            try {
                body(thread, lo, std::min(n, lo + grain));
            } catch (...) {
                error[static_cast<std::size_t>(c)] = std::current_exception();
                stop.store(true);
            }
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(t - 1));
    for (int k = 1; k < t; ++k) pool.emplace_back(work, k);
    work(0);
    for (std::thread &th : pool) th.join();
    for (const std::exception_ptr &e : error)
        if (e) std::rethrow_exception(e);
}

// The number of threads worth starting for `work` (about nanoseconds of
// work on one thread): each thread should get a quarter of a millisecond
// or more, or starting it costs more than it saves.
inline int threads_for(index_t work, int threads) {
    constexpr index_t kPerThread = index_t{1} << 18;
    return static_cast<int>(std::clamp<index_t>(work / kPerThread, 1, std::max(threads, 1)));
}

// Runs of rows for work in which each row also reads rows before it, kept
// in a ring of `ring` rows (the row itself included) that each run fills
// again (sorts again) before its first row: one run on one thread, else
// runs long enough for that repeated work to cost little, several per
// thread for balance.
inline index_t ring_run_length(index_t rows, index_t ring, int threads) {
    if (threads <= 1) return std::max<index_t>(rows, 1);
    return std::max<index_t>(4 * ring, (rows + 8 * threads - 1) / (8 * threads));
}

}  // namespace tarnfold::kern
