#include "patch/core/cached_old_stream.h"

#include <cstring>

void _cachedOldStream_init(_TCachedOldStream* self, dpatch_TStreamInput* stream, const _TArrayCovers* arrayCovers,
                           dpatch_StreamPos_t maxCachedLength, const dpatch_byte* cache, const dpatch_byte* cacheEnd,
                           const dpatch_TStreamInput* oldData)
{
    _arrayCovers_init(&self->arrayCovers, arrayCovers->items, arrayCovers->coverCount, arrayCovers->is32);
    self->isInCache = 0;
    self->maxCachedLength = maxCachedLength;
    self->readFromPos = 0;
    self->readFromPosEnd = 0;
    self->cacheNext = cache;
    self->cacheEnd = cacheEnd;
    self->oldData = oldData;
    stream->streamOwner = self;
    stream->streamSize = oldData->streamSize;
    stream->read = _cachedOld_read;
}

BOOL _cachedOld_read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                     dpatch_byte* out_data_end)
{
    _TCachedOldStream* self = (_TCachedOldStream*)stream->streamOwner;
    if (out_data_end < out_data)
        return 0;
    const dpatch_StreamPos_t length = (dpatch_StreamPos_t)(out_data_end - out_data);
    if (length == 0)
        return 1;
    if (self->readFromPos == self->readFromPosEnd) {
        // The patch reads no old bytes for zero-length covers, so they are passed over here too.
        dpatch_TCover cover;
        do {
            if (!self->arrayCovers.base.readCover(&self->arrayCovers.base, &cover))
                return 0;
        } while (cover.length == 0);
        self->readFromPos = cover.oldPos;
        self->readFromPosEnd = cover.oldPos + cover.length;
        self->isInCache = cover.length <= self->maxCachedLength;
    }
    if (length > self->readFromPosEnd - self->readFromPos || readFromPos != self->readFromPos)
        return 0;
    self->readFromPos += length;
    if (!self->isInCache)
        return self->oldData->read(self->oldData, readFromPos, out_data, out_data_end);
    if (length > (dpatch_StreamPos_t)(self->cacheEnd - self->cacheNext))
        return 0;
    std::memcpy(out_data, self->cacheNext, (size_t)length);
    self->cacheNext += length;
    return 1;
}
