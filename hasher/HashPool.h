#pragma once

// The process-wide worker pool that the per-file loop and the tree-parallel BLAKE3 update share,
// so that the subtrees of a big file and the steps of small files balance across the same
// workers. Created on first use, never shut down.

#include <cstddef>
#include <cstdint>
#include <oneapi/tbb/task_arena.h>

namespace hasher
{

tbb::task_arena& hashPool();

// BLAKE3 picks its SIMD routines on first use by filling a plain static, with no lock. Every entry
// point of the hasher calls this before any worker can hash, so that the detection runs once, on
// the calling thread, and every worker's later read of it is ordered after that write.
void detectBlake3FeaturesOnce();

// Every thread that reads files for the hasher reads into one buffer of its own, made on first
// use and kept for the thread's life. Only code that never waits on the pool while the buffer
// holds data may use it: a worker waiting at a fork may pick up another file or another leaf,
// which would take the same buffer.
constexpr size_t threadBufferSize = 256 * 1024;
uint8_t* threadBuffer();

// From this size on a regular file is hashed by subtrees on the whole pool, each leaf reading its
// own range of the file; below it one worker reads the file through its buffer while other files
// keep the other workers busy. Measured on 8 processors with files in the page cache: a lone file
// is hashed faster by leaves from 512 KiB on, but many files of up to 2 MiB go 20-40% faster one
// per worker, and by leaves only from 4 MiB on; a lone file of 4 MiB loses 0.1-0.3 ms.
constexpr uint64_t parallelReadThreshold = 4 * 1024 * 1024;

} // namespace hasher
