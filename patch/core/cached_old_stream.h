#pragma once
// The stream that replaces the old data when the planner has cached the old bytes of the short covers: it
// walks its own copy of the cover list in the order the patch reads the old data, serves a cached cover's
// bytes from the cache and the others from the real old stream.

#include "patch/core/array_covers.h"
#include "patch/core/dpatch_types.h"
#include "patch/core/streams.h"

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

// Fills self over the covers of arrayCovers (their own reading position, from the first) and stream as the
// replacement of oldData. The cached bytes [cache, cacheEnd) are laid out in new-position order; covers
// longer than maxCachedLength are read from oldData.
void _cachedOldStream_init(_TCachedOldStream* self, dpatch_TStreamInput* stream, const _TArrayCovers* arrayCovers,
                           dpatch_StreamPos_t maxCachedLength, const dpatch_byte* cache, const dpatch_byte* cacheEnd,
                           const dpatch_TStreamInput* oldData);

BOOL _cachedOld_read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                     dpatch_byte* out_data_end);
