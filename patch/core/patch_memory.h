#pragma once
// Planning of the patch's memory range before a diff is applied: the whole old data in memory, the
// covers in memory (with an optional cache of the old bytes of the short covers), or plain streaming.

#include "patch/core/compressed_diff.h"
#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"

// Covers in memory, 16-byte items when both sizes fit in 32 bits, else 32-byte items. cachePos is the
// offset of a cached cover's old bytes in the old-data cache.
typedef struct _TCoverItem32
{
    uint32_t oldPos;
    uint32_t newPos;
    uint32_t length;
    uint32_t cachePos;
} _TCoverItem32;

typedef struct _TCoverItem64
{
    uint64_t oldPos;
    uint64_t newPos;
    uint64_t length;
    uint64_t cachePos;
} _TCoverItem64;

typedef struct _TArrayCovers
{
    dpatch_TCovers base;
    void* items;
    dpatch_StreamPos_t coverCount;
    dpatch_StreamPos_t curIndex; // next item to hand out
    int32_t is32;
} _TArrayCovers;

// Owner of the stream that replaces the old data when the old bytes of short covers are cached. It
// walks its own copy of the cover list in the order the patch reads the old data.
typedef struct _TCachedOldStream
{
    _TArrayCovers arrayCovers;
    int32_t isInCache;
    dpatch_StreamPos_t maxCachedLength;
    dpatch_StreamPos_t readFromPos;
    dpatch_StreamPos_t readFromPosEnd;
    const dpatch_byte* cacheNext;
    const dpatch_byte* cacheEnd;
    const dpatch_TStreamInput* oldData;
} _TCachedOldStream;

// Memory kept at the top of the range for the cover reader while the covers are loaded.
static const size_t dpatch_kCompressedCoverReaderMemSize = 65720;
static const size_t dpatch_kRawCoverReaderMemSize = 196840;

// After the call: fail the patch if *out_isReadError is 1; otherwise apply the diff with *pOldData,
// *out_covers (null: read the covers from the diff) and [*pTempCache, *pTempCacheEnd), then close
// *out_covers if it is not null. The result only tells whether the old data was replaced.
BOOL _patch_prepare_cache(dpatch_TCovers** out_covers, const dpatch_TStreamInput** pOldData,
                          dpatch_StreamPos_t newDataSize, const dpatch_TStreamInput* diffStream, BOOL isCompressedDiff,
                          const dpatch_TDecompressPlugin* decompressPlugin, size_t kCacheCount,
                          dpatch_byte** pTempCache, dpatch_byte** pTempCacheEnd, int* out_isReadError);

BOOL _cachedOld_read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                     dpatch_byte* out_data_end);

int _cmpByOldPos32(const void* a, const void* b);
int _cmpByOldPos64(const void* a, const void* b);
int _cmpByNewPos32(const void* a, const void* b);
int _cmpByNewPos64(const void* a, const void* b);
int _cmpByLength32(const void* a, const void* b);
int _cmpByLength64(const void* a, const void* b);
