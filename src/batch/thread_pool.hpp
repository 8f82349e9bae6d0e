// The worker pool, the parallel map that runs on it, and the process-wide
// pool whose size its caller decides.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "batch/failure.hpp"

namespace refsieve::batch {

// An unsigned decimal thread count: an optional '+', then digits only,
// below 2^64. Anything else is not a count.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// A pool size from two counts given as text, each null when not given: the
// requested one when it is a count (0 selects the default), else the
// fallback when it is a count other than 0, else the online processor
// count (1 when unknown); at most 65535. The caller that starts the pool
// says where the two texts come from.
std::size_t decide_thread_count(const char* requested, const char* fallback, long online_processors);

// A fixed set of worker threads sharing one queue. Work is divided by
// recursive halving; a thread that splits a range keeps the first half and
// offers the second to the pool, taking it back if nobody started it.
class ThreadPool {
public:
    // Starts all workers; throws std::system_error if one cannot start.
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t thread_count() const noexcept { return thread_count_; }

    // Calls body(lo, hi) on disjoint ranges covering [0, n), each range in
    // ascending order. Blocks the calling thread (which must not be one of
    // the pool's) until every range has ended. A fault escaping body voids
    // the map: the remaining ranges are skipped, and once every range has
    // ended the first fault is thrown here as an InternalFailure.
    void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

    // parallel_for with every range run on the pool's threads, while the
    // calling thread only waits and calls while_waiting() about every
    // period (to look for an interrupt, say). while_waiting must not throw.
    void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                      std::chrono::milliseconds period, const std::function<void()>& while_waiting);

    struct Job;
    struct Map;

private:
    void worker_loop();
    void run_range(Map& map, std::size_t lo, std::size_t hi, std::size_t budget, bool migrated);
    void run_leaf(Map& map, std::size_t lo, std::size_t hi) noexcept;
    void offer(Job* job);
    // Takes job back if no thread started it; true when taken back.
    bool reclaim(Job* job);
    // Waits for a job another thread took, running queued work meanwhile.
    void wait_for(Job* job);
    void execute(Job* job) noexcept;
    // Queues the whole map as one job and waits for it, calling
    // while_waiting (when given) every period.
    void run_on_pool(Map& map, std::size_t n, std::chrono::milliseconds period,
                     const std::function<void()>* while_waiting);

    std::size_t thread_count_;
    std::mutex mutex_;
    std::condition_variable wake_;  // new work offered, or a job finished
    std::deque<Job*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// The process-wide pool, started by the first call with thread_count()
// workers: its size is the caller's to decide, asked when the pool starts
// (once per process; a forked child starts a pool of its own). When the
// pool cannot start, the call throws an InternalFailure, and every later
// call the same one.
ThreadPool& global_pool(std::size_t (*thread_count)());

}  // namespace refsieve::batch
