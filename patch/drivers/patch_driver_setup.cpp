#include "patch/drivers/patch_driver_setup.h"

#include "patch/core/dpatch_log.h"
#include "patch/drivers/dir_patch_result.h"
#include "patch/os/zstd_decompress_plugin.h"

#include <stdio.h>
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

int dpatch_openDiffWindow(dpatch_TFileStreamInput* diffData, const char* diffFileName,
                          dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize)
{
    if (!dpatch_TFileStreamInput_open(diffData, diffFileName)) {
        dpatch_fprintf(stderr, "open diffFile for read ERROR!\n");
        return DPATCH_OPENREAD_ERROR;
    }
    if (diffDataOffert == 0)
        return DPATCH_SUCCESS;
    if (!dpatch_TFileStreamInput_setOffset(diffData, diffDataOffert)) {
        dpatch_fprintf(stderr, "readed sfx diffFile offset ERROR!\n");
        return DPATCH_SFX_DIFFDATA_ERROR;
    }
    if (diffData->base.streamSize < diffDataSize) {
        dpatch_fprintf(stderr, "readed sfx diffFile size ERROR!\n");
        return DPATCH_SFX_DIFFDATA_ERROR;
    }
    diffData->base.streamSize = diffDataSize;
    return DPATCH_SUCCESS;
}

int dpatch_chooseDecompressPlugin(const char* compressType, int need, const dpatch_TDecompressPlugin** out_plugin)
{
    *out_plugin = 0;
    if (compressType[0] != '\0' && zstdDecompressPlugin.canOpen(compressType)) {
        dpatch_printf("dirpatch run with decompress plugin: \"%s\" (need decompress %d)\n", compressType, need);
        *out_plugin = &zstdDecompressPlugin;
        return DPATCH_SUCCESS;
    }
    if (need > 0) {
        dpatch_fprintf(stderr, "can not decompress \"%s\" data ERROR!\n", compressType);
        return DPATCH_COMPRESSTYPE_ERROR;
    }
    if (compressType[0] != '\0')
        dpatch_printf("  diffFile added useless compress tag \"%s\"\n", compressType);
    return DPATCH_SUCCESS;
}

int dpatch_allocRunCache(dpatch_StreamPos_t oldSize, BOOL loadOldAll, size_t cacheSize, unsigned char** out_cache,
                         size_t* out_cacheSize)
{
    *out_cache = dpatch_allocPatchCache(oldSize, loadOldAll, cacheSize, out_cacheSize);
    if (*out_cache)
        return DPATCH_SUCCESS;
    dpatch_fprintf(stderr, "alloc cache memory ERROR!\n");
    return DPATCH_MEM_ERROR;
}

int dpatch_closeRun(int result, const dpatch_TCloseStep* steps, size_t stepCount, unsigned char* cache,
                    const char* timeNote, double startTime)
{
    for (size_t i = 0; i < stepCount; ++i) {
        if (steps[i].close(steps[i].what))
            continue;
        dpatch_fprintf(stderr, "%s", steps[i].message);
        if (result == DPATCH_SUCCESS)
            result = steps[i].code;
    }
    free(cache);
    dpatch_printf("%s%.3f s\n", timeNote, dpatch_clockSeconds() - startTime);
    return result;
}
