#include "patch/drivers/patch_driver_cache.h"

#include <stdlib.h>
#include <sys/time.h>

namespace
{
const dpatch_StreamPos_t kOldSpare = 32 * 1024;
const dpatch_StreamPos_t kMinCacheSize = 32 * 1024;
const dpatch_StreamPos_t kMaxCacheExtra = 2 * 1024 * 1024;
const size_t kSmallestHalvedCache = 64 * 1024;

dpatch_StreamPos_t addSaturated(dpatch_StreamPos_t a, dpatch_StreamPos_t b)
{
    const dpatch_StreamPos_t sum = a + b;
    return sum < a ? ~(dpatch_StreamPos_t)0 : sum;
}

dpatch_StreamPos_t minPos(dpatch_StreamPos_t a, dpatch_StreamPos_t b)
{
    return a < b ? a : b;
}
} // namespace

double dpatch_clockSeconds()
{
    struct timeval tv;
    if (gettimeofday(&tv, 0) != 0)
        return 0;
    return (double)tv.tv_sec + (double)tv.tv_usec / 1000000.0;
}

unsigned char* dpatch_allocPatchCache(dpatch_StreamPos_t oldSize, BOOL loadOldAll, size_t cacheSize,
                                      size_t* outCacheSize)
{
    dpatch_StreamPos_t wanted = 0;
    if (loadOldAll)
        wanted = addSaturated(oldSize, minPos(addSaturated(oldSize, kOldSpare), kMaxCacheExtra));
    else
        wanted = minPos(cacheSize > kMinCacheSize ? cacheSize : kMinCacheSize, addSaturated(oldSize, kMaxCacheExtra));
    if (wanted > (size_t) ~(size_t)0)
        wanted = (size_t) ~(size_t)0;
    size_t size = (size_t)wanted;
    for (;;) {
        unsigned char* cache = (unsigned char*)malloc(size);
        if (cache) {
            *outCacheSize = size;
            return cache;
        }
        if (size < kSmallestHalvedCache) {
            *outCacheSize = 0;
            return 0;
        }
        size /= 2;
    }
}

BOOL dpatch_cacheHoldsOldData(size_t cacheSize, dpatch_StreamPos_t oldSize)
{
    return cacheSize >= addSaturated(oldSize, kOldSpare);
}
