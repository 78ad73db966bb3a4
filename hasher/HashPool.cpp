#include "hasher/HashPool.h"

#include "hasher/ProcessorCount.h"

namespace hasher
{

tbb::task_arena& hashPool()
{
    // Deliberately leaked: workers may still be finishing when static destructors run at exit.
    static tbb::task_arena* const pool = new tbb::task_arena(availableProcessorCount());
    return *pool;
}

} // namespace hasher
