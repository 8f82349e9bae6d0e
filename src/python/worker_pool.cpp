#include "python/worker_pool.hpp"

#include <unistd.h>

#include <cstdlib>

namespace refsieve::py {
namespace {

std::size_t thread_count_from_environment() {
    return batch::decide_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                      sysconf(_SC_NPROCESSORS_ONLN));
}

}  // namespace

batch::ThreadPool& worker_pool() { return batch::global_pool(thread_count_from_environment); }

}  // namespace refsieve::py
