#include "hasher/HashPool.h"

#include "hasher/ProcessorCount.h"

#include <blake3.h>
#include <memory>
#include <mutex>

namespace hasher
{

void detectBlake3FeaturesOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Finalizing even an empty input goes through the dispatcher, which stores the features.
        blake3_hasher hasher;
        blake3_hasher_init(&hasher);
        uint8_t digest[BLAKE3_OUT_LEN];
        blake3_hasher_finalize(&hasher, digest, sizeof digest);
    });
}

tbb::task_arena& hashPool()
{
    detectBlake3FeaturesOnce();
    // Deliberately leaked: workers may still be finishing when static destructors run at exit.
    static tbb::task_arena* const pool = new tbb::task_arena(availableProcessorCount());
    return *pool;
}

uint8_t* threadBuffer()
{
    // On the heap rather than in thread-local storage itself, so threads that never hash (every
    // thread of the launcher has that storage) don't carry it.
    struct alignas(64) Buffer
    {
        uint8_t bytes[threadBufferSize];
    };
    static thread_local std::unique_ptr<Buffer> buffer;
    if (!buffer)
        buffer = std::make_unique<Buffer>();
    return buffer->bytes;
}

} // namespace hasher
