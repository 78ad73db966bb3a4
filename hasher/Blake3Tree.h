#pragma once

// Multi-threaded BLAKE3 update. The input is cut at chunk boundaries into the same power-of-two
// subtrees that BLAKE3's serial update would form; their chaining values are computed by
// fork-join on the hash pool, so one large file keeps every worker busy. The hasher ends up in
// exactly the state that blake3_hasher_update() would leave, so the digest is the standard one
// for every length and the two updates can be mixed freely on one hasher.

#include <blake3.h>
#include <cstddef>
#include <cstdint>

namespace hasher
{

// Subtrees of at most this many chunks are hashed on one thread (still with SIMD): below this
// the cost of forking outweighs the work.
constexpr size_t defaultLeafChunks = 64;
constexpr size_t maxLeafChunks = 256;

// leafChunks is clamped to [1, maxLeafChunks]; tests pass 1 to fork at every level.
void blake3UpdateParallel(blake3_hasher* hasher, const void* input, size_t length,
                          size_t leafChunks = defaultLeafChunks);

// The same over the bytes [offset, offset + length) of an open file, which the leaves read for
// themselves with positional reads. False when a read failed or the file ended before the range
// did; the hasher's state is then meaningless.
bool blake3UpdateParallelFromFile(blake3_hasher* hasher, int fd, uint64_t offset, size_t length,
                                  size_t leafChunks = defaultLeafChunks);

} // namespace hasher
