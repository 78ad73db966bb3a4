#include "hasher/Blake3Tree.h"

#include "hasher/HashPool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <oneapi/tbb/parallel_invoke.h>
#include <unistd.h>

// Compression entries of the BLAKE3 C sources. They are exported by the library but declared only
// in its internal header, which cannot be included from C++ (it pulls in the intrinsics headers
// inside C linkage), so the declarations are repeated here exactly.
extern "C" {
void blake3_compress_in_place(uint32_t cv[8], const uint8_t block[BLAKE3_BLOCK_LEN], uint8_t block_len,
                              uint64_t counter, uint8_t flags);
void blake3_hash_many(const uint8_t* const* inputs, size_t num_inputs, size_t blocks, const uint32_t key[8],
                      uint64_t counter, bool increment_counter, uint8_t flags, uint8_t flags_start, uint8_t flags_end,
                      uint8_t* out);
}

namespace hasher
{

namespace
{

// Domain flags of the BLAKE3 compression function.
constexpr uint8_t chunkStart = 1 << 0;
constexpr uint8_t chunkEnd = 1 << 1;
constexpr uint8_t parentNode = 1 << 2;

constexpr size_t chunkLength = BLAKE3_CHUNK_LEN;
constexpr size_t cvLength = BLAKE3_OUT_LEN;
constexpr size_t blocksPerChunk = BLAKE3_CHUNK_LEN / BLAKE3_BLOCK_LEN;

// Where the input comes from: memory, or a range of an open file that each leaf reads for itself
// with positional reads, so that copying out of the page cache is spread over the workers just
// like the hashing.
struct Source
{
    const uint8_t* memory = nullptr;
    int fd = -1;
    uint64_t fileOffset = 0;                 // file position of input offset 0
    mutable std::atomic<bool> failed{false}; // a read failed or ended early: the result is void

    // The input bytes [offset, offset + length), either in place or read into scratch (which
    // holds at least length bytes). Null once the source has failed.
    const uint8_t* fetch(uint64_t offset, size_t length, uint8_t* scratch) const
    {
        if (memory)
            return memory + offset;
        if (failed.load(std::memory_order_relaxed))
            return nullptr;
        size_t done = 0;
        while (done < length) {
            const ssize_t got = pread(fd, scratch + done, length - done, off_t(fileOffset + offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                // The file shrank under us (or cannot be read): no digest of it can be right.
                failed.store(true, std::memory_order_relaxed);
                return nullptr;
            }
            done += size_t(got);
        }
        return scratch;
    }
};

struct TreeContext
{
    const uint32_t* key;
    uint8_t flags;
    size_t leafChunks;
    const Source& source;
};

// A leaf never forks, so the worker's buffer is free while it runs.
static_assert(maxLeafChunks * BLAKE3_CHUNK_LEN <= threadBufferSize);

void storeWords(uint8_t* out, const uint32_t words[8])
{
    for (int i = 0; i < 8; ++i) {
        out[4 * i + 0] = static_cast<uint8_t>(words[i]);
        out[4 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
        out[4 * i + 2] = static_cast<uint8_t>(words[i] >> 16);
        out[4 * i + 3] = static_cast<uint8_t>(words[i] >> 24);
    }
}

// block holds the two child chaining values side by side; out may alias block's first half.
void compressParent(const TreeContext& tree, const uint8_t block[2 * cvLength], uint8_t out[cvLength])
{
    uint8_t parent[2 * cvLength];
    std::memcpy(parent, block, sizeof parent);
    const uint8_t* input = parent;
    blake3_hash_many(&input, 1, 1, tree.key, 0, false, tree.flags | parentNode, 0, 0, out);
}

// A complete subtree of `chunks` full chunks (a power of two, at most maxLeafChunks) on this
// thread: every chunk in one SIMD-wide call, then the parent levels the same way.
void leafSubtreeCv(const TreeContext& tree, uint64_t offset, size_t chunks, uint64_t chunkCounter,
                   uint8_t out[cvLength])
{
    const uint8_t* input = tree.source.fetch(offset, chunks * chunkLength, threadBuffer());
    if (!input)
        return;
    const uint8_t* inputs[maxLeafChunks];
    uint8_t levelA[maxLeafChunks * cvLength];
    uint8_t levelB[maxLeafChunks / 2 * cvLength];
    for (size_t i = 0; i < chunks; ++i)
        inputs[i] = input + i * chunkLength;
    blake3_hash_many(inputs, chunks, blocksPerChunk, tree.key, chunkCounter, true, tree.flags, chunkStart, chunkEnd,
                     levelA);

    uint8_t* children = levelA;
    uint8_t* parents = levelB;
    for (size_t count = chunks; count > 1; count /= 2) {
        for (size_t i = 0; i < count / 2; ++i)
            inputs[i] = children + 2 * i * cvLength;
        blake3_hash_many(inputs, count / 2, 1, tree.key, 0, false, tree.flags | parentNode, 0, 0, parents);
        std::swap(children, parents);
    }
    std::memcpy(out, children, cvLength);
}

// Chaining value of a complete subtree of `chunks` full chunks, a power of two. Never the root:
// the caller keeps the top two children of every subtree unmerged, as the serial update does.
void subtreeCv(const TreeContext& tree, uint64_t offset, size_t chunks, uint64_t chunkCounter, uint8_t out[cvLength])
{
    if (chunks <= tree.leafChunks) {
        leafSubtreeCv(tree, offset, chunks, chunkCounter, out);
        return;
    }
    const size_t half = chunks / 2;
    uint8_t children[2 * cvLength];
    tbb::parallel_invoke(
        [&] { subtreeCv(tree, offset, half, chunkCounter, children); },
        [&] { subtreeCv(tree, offset + half * chunkLength, half, chunkCounter + half, children + cvLength); });
    compressParent(tree, children, out);
}

// The serial update's lazy merge: before a new chaining value goes on the stack, fold the stack
// until it holds one entry per 1-bit of the number of chunks that precede the new value. The
// newest entry is never folded here, so the root is only formed at finalisation.
void pushCv(blake3_hasher* hasher, const TreeContext& tree, const uint8_t cv[cvLength], uint64_t chunkCounter)
{
    const size_t keep = static_cast<size_t>(__builtin_popcountll(chunkCounter));
    while (hasher->cv_stack_len > keep) {
        uint8_t* pair = &hasher->cv_stack[(hasher->cv_stack_len - 2) * cvLength];
        compressParent(tree, pair, pair);
        hasher->cv_stack_len -= 1;
    }
    std::memcpy(&hasher->cv_stack[hasher->cv_stack_len * cvLength], cv, cvLength);
    hasher->cv_stack_len += 1;
}

size_t chunkStateLength(const blake3_chunk_state& chunk)
{
    return BLAKE3_BLOCK_LEN * static_cast<size_t>(chunk.blocks_compressed) + chunk.buf_len;
}

void updateOnPool(blake3_hasher* hasher, const Source& source, size_t length, size_t leafChunks)
{
    const TreeContext tree{hasher->key, hasher->chunk.flags, leafChunks, source};
    uint64_t input = 0; // offset into the source
    uint8_t small[chunkLength];

    // A chunk left partly filled by an earlier update is completed serially; once more input
    // follows it is certainly not the root, so its chaining value can go on the stack.
    if (const size_t buffered = chunkStateLength(hasher->chunk); buffered > 0) {
        const size_t take = std::min(chunkLength - buffered, length);
        const uint8_t* bytes = source.fetch(input, take, small);
        if (!bytes)
            return;
        blake3_hasher_update(hasher, bytes, take);
        input += take;
        length -= take;
        if (length == 0)
            return;
        blake3_chunk_state& chunk = hasher->chunk;
        uint32_t words[8];
        std::memcpy(words, chunk.cv, sizeof words);
        const uint8_t startFlag = chunk.blocks_compressed == 0 ? chunkStart : 0;
        blake3_compress_in_place(words, chunk.buf, chunk.buf_len, chunk.chunk_counter,
                                 chunk.flags | startFlag | chunkEnd);
        uint8_t cv[cvLength];
        storeWords(cv, words);
        pushCv(hasher, tree, cv, chunk.chunk_counter);
        std::memcpy(chunk.cv, hasher->key, sizeof chunk.cv);
        chunk.chunk_counter += 1;
        chunk.blocks_compressed = 0;
        std::memset(chunk.buf, 0, sizeof chunk.buf);
        chunk.buf_len = 0;
    }

    // The largest power-of-two subtree that fits the input and is aligned to the chunks already
    // hashed, again and again; the last chunk (even a full one) stays in the chunk state because
    // it may turn out to be the root.
    while (length > chunkLength) {
        size_t subtreeLength = size_t(1) << (63 - __builtin_clzll(length));
        const uint64_t hashedSoFar = hasher->chunk.chunk_counter * chunkLength;
        while (((subtreeLength - 1) & hashedSoFar) != 0)
            subtreeLength /= 2;
        const uint64_t counter = hasher->chunk.chunk_counter;
        const size_t chunks = subtreeLength / chunkLength;
        if (chunks == 1) {
            uint8_t cv[cvLength];
            leafSubtreeCv(tree, input, 1, counter, cv);
            pushCv(hasher, tree, cv, counter);
        } else {
            const size_t half = chunks / 2;
            uint8_t children[2 * cvLength];
            auto left = [&] { subtreeCv(tree, input, half, counter, children); };
            auto right = [&] {
                subtreeCv(tree, input + half * chunkLength, half, counter + half, children + cvLength);
            };
            if (half >= leafChunks) {
                tbb::parallel_invoke(left, right);
            } else {
                left();
                right();
            }
            pushCv(hasher, tree, children, counter);
            pushCv(hasher, tree, children + cvLength, counter + half);
        }
        hasher->chunk.chunk_counter += chunks;
        input += subtreeLength;
        length -= subtreeLength;
    }

    // At most one chunk is left and the chunk state is empty: the serial update buffers it and
    // folds the stack exactly as it would have.
    if (length > 0) {
        if (const uint8_t* bytes = source.fetch(input, length, small))
            blake3_hasher_update(hasher, bytes, length);
    }
}

void runOnPool(blake3_hasher* hasher, const Source& source, size_t length, size_t leafChunks)
{
    if (length == 0)
        return;
    leafChunks = std::clamp<size_t>(leafChunks, 1, maxLeafChunks);
    // Runs directly when the caller is already one of the pool's workers; otherwise the caller
    // joins the pool for the duration, so forks never land on a different scheduler.
    hashPool().execute([&] { updateOnPool(hasher, source, length, leafChunks); });
}

} // namespace

void blake3UpdateParallel(blake3_hasher* hasher, const void* input, size_t length, size_t leafChunks)
{
    Source source;
    source.memory = static_cast<const uint8_t*>(input);
    runOnPool(hasher, source, length, leafChunks);
}

bool blake3UpdateParallelFromFile(blake3_hasher* hasher, int fd, uint64_t offset, size_t length, size_t leafChunks)
{
    Source source;
    source.fd = fd;
    source.fileOffset = offset;
    runOnPool(hasher, source, length, leafChunks);
    return !source.failed.load();
}

} // namespace hasher
