#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "batch/thread_pool.hpp"

namespace refsieve::batch {
namespace {

struct ParseCase {
    const char* text;
    std::optional<std::uint64_t> expected;
};

class ParseThreadCount : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCount, AcceptsOnlyPlainUnsignedDecimals) {
    EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseThreadCount,
                         ::testing::Values(ParseCase{"4", 4}, ParseCase{"+4", 4}, ParseCase{"0", 0},
                                           ParseCase{"007", 7},
                                           ParseCase{"18446744073709551615", 18446744073709551615ull},
                                           ParseCase{"18446744073709551616", std::nullopt}, ParseCase{"", std::nullopt},
                                           ParseCase{"+", std::nullopt}, ParseCase{"-1", std::nullopt},
                                           ParseCase{" 4", std::nullopt}, ParseCase{"4 ", std::nullopt},
                                           ParseCase{"++4", std::nullopt}, ParseCase{"4x", std::nullopt},
                                           ParseCase{"0x10", std::nullopt}, ParseCase{"1e3", std::nullopt}));

struct CountCase {
    const char* requested;
    const char* fallback;
    long online;
    std::size_t expected;
};

class DecideThreadCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(DecideThreadCount, FollowsTheRequestThenTheFallbackThenTheProcessorCount) {
    const CountCase& c = GetParam();
    EXPECT_EQ(decide_thread_count(c.requested, c.fallback, c.online), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecideThreadCount,
                         ::testing::Values(CountCase{nullptr, nullptr, 2, 2},       // default: online processors
                                           CountCase{nullptr, nullptr, 0, 1},       // unknown processor count
                                           CountCase{nullptr, nullptr, -1, 1},      // sysconf failed
                                           CountCase{"3", "5", 2, 3},               // the request wins
                                           CountCase{"+3", nullptr, 2, 3},          //
                                           CountCase{"0", "5", 2, 2},               // 0 means default, fallback ignored
                                           CountCase{"abc", "5", 2, 5},             // unparseable: the fallback
                                           CountCase{"", "5", 2, 5},                //
                                           CountCase{nullptr, "0", 6, 6},           // fallback 0: default
                                           CountCase{nullptr, "x", 6, 6},           //
                                           CountCase{"100000", nullptr, 2, 65535},  // capped
                                           CountCase{nullptr, "70000", 2, 65535},   //
                                           CountCase{nullptr, nullptr, 100000, 65535}));

// Every position of [0, n) is visited exactly once, in ascending order
// within each range handed to the body.
void expect_exact_cover(ThreadPool& pool, std::size_t n) {
    std::vector<std::atomic<int>> visits(n);
    std::atomic<bool> ordered{true};
    EXPECT_NO_THROW(pool.parallel_for(n, [&](std::size_t lo, std::size_t hi) {
        if (!(lo < hi && hi <= n)) ordered = false;
        for (std::size_t i = lo; i < hi; ++i) visits[i].fetch_add(1);
    }));
    EXPECT_TRUE(ordered.load());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(visits[i].load(), 1) << "position " << i << " of " << n;
}

class ThreadPoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ThreadPoolSizes, CoversEveryPositionOnce) {
    ThreadPool pool(GetParam());
    EXPECT_EQ(pool.thread_count(), GetParam());
    for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 8u, 17u, 100u, 1000u}) expect_exact_cover(pool, n);
}

INSTANTIATE_TEST_SUITE_P(Threads, ThreadPoolSizes, ::testing::Values(1, 2, 3, 4, 8));

TEST(ThreadPool, SinglePositionRunsOnTheCallingThread) {
    ThreadPool pool(4);
    std::thread::id ran_on;
    pool.parallel_for(1, [&](std::size_t, std::size_t) { ran_on = std::this_thread::get_id(); });
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(ThreadPool, LargeBatchesRunOnTheWorkers) {
    ThreadPool pool(2);
    std::atomic<bool> on_caller{false};
    const auto caller = std::this_thread::get_id();
    pool.parallel_for(64, [&](std::size_t, std::size_t) {
        if (std::this_thread::get_id() == caller) on_caller = true;
    });
    EXPECT_FALSE(on_caller.load());
}

// The internal failure that parallel_for throws, if it throws one.
std::optional<InternalFailure> failure_of(ThreadPool& pool, std::size_t n,
                                          const std::function<void(std::size_t, std::size_t)>& body) {
    try {
        pool.parallel_for(n, body);
    } catch (const InternalFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

TEST(ThreadPool, FaultInATaskVoidsTheMapAndKeepsThePoolUsable) {
    ThreadPool pool(4);
    for (std::size_t n : {1u, 2u, 50u}) {
        const std::optional<InternalFailure> fault = failure_of(pool, n, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                if (i == n - 1) throw std::runtime_error("task failed at the last position");
            }
        });
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->message, "task failed at the last position");
    }
    const std::optional<InternalFailure> unnamed = failure_of(pool, 10, [](std::size_t, std::size_t) { throw 42; });
    ASSERT_TRUE(unnamed.has_value());
    EXPECT_FALSE(unnamed->message.has_value());
    expect_exact_cover(pool, 257);
}

// Many callers at once, many small maps each: the shape that shakes out
// races in the queue, the reclaiming of offered halves and the latch.
TEST(ThreadPoolStress, ConcurrentCallersWithManySmallMaps) {
    ThreadPool pool(6);
    constexpr int kCallers = 6;
    constexpr int kRounds = 300;
    std::vector<std::thread> callers;
    std::atomic<int> failures{0};
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < kRounds; ++round) {
                const std::size_t n = static_cast<std::size_t>((round * 7 + c) % 40);
                std::vector<int> slots(n, 0);
                const auto fault = failure_of(pool, n, [&](std::size_t lo, std::size_t hi) {
                    for (std::size_t i = lo; i < hi; ++i) slots[i] += static_cast<int>(i) + 1;
                });
                if (fault) ++failures;
                for (std::size_t i = 0; i < n; ++i) {
                    if (slots[i] != static_cast<int>(i) + 1) ++failures;
                }
            }
        });
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(ThreadPoolStress, ManyPoolsStartAndStop) {
    for (int i = 0; i < 50; ++i) {
        ThreadPool pool(static_cast<std::size_t>(i % 5 + 1));
        expect_exact_cover(pool, static_cast<std::size_t>(i));
    }
}

// The size rule is the caller's, asked once: later calls get the same pool.
TEST(GlobalThreadPool, StartsOnceWithTheSizeItsCallerDecides) {
    static int asked = 0;
    const auto three_threads = []() -> std::size_t {
        ++asked;
        return 3;
    };
    ThreadPool& first = global_pool(three_threads);
    ThreadPool& second = global_pool(three_threads);
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(first.thread_count(), 3u);
    EXPECT_EQ(asked, 1);
    expect_exact_cover(first, 100);
}

}  // namespace
}  // namespace refsieve::batch
