#include "batch/thread_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <new>
#include <system_error>

#include "batch/failure.hpp"

namespace refsieve::batch {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t decide_thread_count(const char* requested, const char* fallback, long online_processors) {
    constexpr std::uint64_t kMaxThreads = 65535;
    std::uint64_t count = 0;
    const std::optional<std::uint64_t> requested_count =
        requested != nullptr ? parse_thread_count(requested) : std::nullopt;
    if (requested_count) {
        count = *requested_count;  // 0 selects the default below
    } else if (fallback != nullptr) {
        count = parse_thread_count(fallback).value_or(0);
    }
    if (count == 0) count = online_processors > 0 ? static_cast<std::uint64_t>(online_processors) : 1;
    return static_cast<std::size_t>(std::min(count, kMaxThreads));
}

namespace {

// The first split budget, per thread. Budget t leaves about 2t ranges when
// nobody steals; the last of them decides how long the others wait, so a
// few times more ranges than threads keeps the threads busy to the end of
// an uneven batch (subjects that take the DOI shortcut are cheap).
constexpr std::size_t kInitialSplitsPerThread = 8;

}  // namespace

// One parallel map: its body and the first fault that escaped it.
struct ThreadPool::Map {
    Map(const std::function<void(std::size_t, std::size_t)>& body, std::size_t thread_count)
        : body(body), thread_count(thread_count) {}
    const std::function<void(std::size_t, std::size_t)>& body;
    std::size_t thread_count;
    std::atomic<bool> failed{false};
    std::mutex fault_mutex;
    std::optional<InternalFailure> fault;
};

// A range offered to the pool. Its state is guarded by the pool's mutex.
struct ThreadPool::Job {
    enum class State { Queued, Running, Done };
    Job(Map* map, std::size_t lo, std::size_t hi, std::size_t budget) : map(map), lo(lo), hi(hi), budget(budget) {}
    Map* map;
    std::size_t lo, hi, budget;
    bool is_root = false;
    State state = State::Queued;
    // Completion latch of the top-level job, waited on by the caller.
    std::mutex latch_mutex;
    std::condition_variable latch;
    bool latch_set = false;
};

ThreadPool::ThreadPool(std::size_t threads) : thread_count_(threads) {
    workers_.reserve(threads);
    try {
        for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { worker_loop(); });
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
        throw;
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void ThreadPool::worker_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Job* job = queue_.front();
        queue_.pop_front();
        job->state = Job::State::Running;
        lock.unlock();
        execute(job);
        lock.lock();
    }
}

void ThreadPool::execute(Job* job) noexcept {
    run_range(*job->map, job->lo, job->hi, job->budget, /*migrated=*/true);
    if (job->is_root) {
        std::lock_guard latch_lock(job->latch_mutex);
        job->latch_set = true;
        job->latch.notify_all();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        job->state = Job::State::Done;
    }
    wake_.notify_all();
}

void ThreadPool::offer(Job* job) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(job);
    }
    wake_.notify_one();
}

bool ThreadPool::reclaim(Job* job) {
    std::lock_guard lock(mutex_);
    if (job->state != Job::State::Queued) return false;
    // Usually the newest entry, so search from the back.
    const auto it = std::find(queue_.rbegin(), queue_.rend(), job);
    if (it == queue_.rend()) abort_with_report("refsieve: worker pool queue lost a job");
    queue_.erase(std::next(it).base());
    return true;
}

void ThreadPool::wait_for(Job* job) {
    std::unique_lock lock(mutex_);
    while (job->state != Job::State::Done) {
        if (!queue_.empty()) {
            Job* other = queue_.front();
            queue_.pop_front();
            other->state = Job::State::Running;
            lock.unlock();
            execute(other);
            lock.lock();
            continue;
        }
        wake_.wait(lock);
    }
}

void ThreadPool::run_range(Map& map, std::size_t lo, std::size_t hi, std::size_t budget, bool migrated) {
    const std::size_t len = hi - lo;
    bool split = false;
    if (len >= 2) {
        if (migrated) {
            budget = std::max(map.thread_count, budget / 2);
            split = true;
        } else if (budget > 0) {
            budget /= 2;
            split = true;
        }
    }
    if (!split) {
        run_leaf(map, lo, hi);
        return;
    }
    const std::size_t mid = lo + len / 2;
    Job second{&map, mid, hi, budget};
    offer(&second);
    run_range(map, lo, mid, budget, /*migrated=*/false);
    if (reclaim(&second)) {
        run_range(map, mid, hi, budget, /*migrated=*/false);
    } else {
        wait_for(&second);
    }
}

void ThreadPool::run_leaf(Map& map, std::size_t lo, std::size_t hi) noexcept {
    if (map.failed.load(std::memory_order_relaxed)) return;  // the map is void already
    try {
        map.body(lo, hi);
    } catch (const std::bad_alloc&) {
        abort_out_of_memory();
    } catch (...) {
        InternalFailure fault = failure_from_current_exception();
        std::lock_guard lock(map.fault_mutex);
        if (!map.fault) map.fault = std::move(fault);
        map.failed.store(true, std::memory_order_relaxed);
    }
}

void ThreadPool::run_on_pool(Map& map, std::size_t n, std::chrono::milliseconds period,
                             const std::function<void()>* while_waiting) {
    Job root{&map, 0, n, thread_count_ * kInitialSplitsPerThread};
    root.is_root = true;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(&root);
    }
    wake_.notify_one();
    std::unique_lock latch_lock(root.latch_mutex);
    if (while_waiting == nullptr) {
        root.latch.wait(latch_lock, [&] { return root.latch_set; });
    } else {
        while (!root.latch.wait_for(latch_lock, period, [&] { return root.latch_set; })) {
            latch_lock.unlock();
            (*while_waiting)();
            latch_lock.lock();
        }
    }
    if (map.fault) throw std::move(*map.fault);
}

void ThreadPool::parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    Map map{body, thread_count_};
    if (n <= 1) {
        if (n == 1) run_leaf(map, 0, 1);
        if (map.fault) throw std::move(*map.fault);
        return;
    }
    run_on_pool(map, n, {}, nullptr);
}

void ThreadPool::parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                              std::chrono::milliseconds period, const std::function<void()>& while_waiting) {
    Map map{body, thread_count_};
    if (n == 0) return;
    run_on_pool(map, n, period, &while_waiting);
}

namespace {

// The global pool, or the reason it could not be started. A forked child
// has none of its parent's threads, so it starts a pool of its own.
std::mutex global_mutex;
ThreadPool* global = nullptr;
std::string* global_failure = nullptr;
bool fork_handler_installed = false;

// Fork keeps global_mutex consistent by holding it across the fork.
void lock_before_fork() { global_mutex.lock(); }
void unlock_in_parent() { global_mutex.unlock(); }
void forget_pool_in_child() {
    // The parent's pool cannot be used or destroyed here: its threads do not
    // exist in the child. It is deliberately leaked.
    global = nullptr;
    global_mutex.unlock();
}

}  // namespace

ThreadPool& global_pool(std::size_t (*thread_count)()) {
    std::lock_guard lock(global_mutex);
    if (global_failure != nullptr) fail(*global_failure);
    if (global != nullptr) return *global;
    if (!fork_handler_installed) {
        pthread_atfork(lock_before_fork, unlock_in_parent, forget_pool_in_child);
        fork_handler_installed = true;
    }
    const std::size_t threads = thread_count();
    try {
        global = new ThreadPool(threads);
    } catch (const std::system_error& e) {
        global_failure = new std::string(
            std::string("The global thread pool has not been initialized. Its worker threads could not be started: ") +
            e.what());
        fail(*global_failure);
    }
    return *global;
}

}  // namespace refsieve::batch
