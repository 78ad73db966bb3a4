#pragma once

// The process-wide worker pool that the per-file loop and the tree-parallel BLAKE3 update share,
// so that the subtrees of a big file and the steps of small files balance across the same
// workers. Created on first use, never shut down.

#include <oneapi/tbb/task_arena.h>

namespace hasher
{

tbb::task_arena& hashPool();

} // namespace hasher
