// The module's worker pool: the process-wide pool, sized from the
// environment when it starts.
#pragma once

#include "batch/thread_pool.hpp"

namespace refsieve::py {

// The pool that score_batch runs on. Its size is RAYON_NUM_THREADS when
// that is a count (0 selects the default), else RAYON_RS_NUM_CPUS when
// that is a count other than 0, else the number of online processors; at
// most 65535. Throws InternalFailure when the pool cannot start.
batch::ThreadPool& worker_pool();

}  // namespace refsieve::py
