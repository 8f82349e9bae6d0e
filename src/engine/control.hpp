// How the caller steers long work on the pool: a flag that stops it, a count
// of what is done, and what the waiting thread does meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

#include "batch/thread_pool.hpp"

namespace refsieve::engine {

// stop asks the work to end early; done counts the items finished so far.
struct MatchControl {
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> done{0};
    // Called on the calling thread about every `period` while it waits.
    std::function<void()> while_waiting;
    std::chrono::milliseconds period{50};
};

// Runs body(lo, hi) over ranges covering [0, n), on the worker pool.
using ParallelFor = std::function<void(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body)>;

// Work divided over the pool's threads while the calling thread waits as
// control says.
inline ParallelFor on_pool(batch::ThreadPool& pool, MatchControl& control) {
    return [&pool, &control](std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
        pool.parallel_for(n, body, control.period, control.while_waiting);
    };
}

}  // namespace refsieve::engine
