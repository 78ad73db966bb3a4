#include "hasher/HashPool.h"

#include "hasher/ProcessorCount.h"

#include <memory>

namespace hasher
{

tbb::task_arena& hashPool()
{
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
