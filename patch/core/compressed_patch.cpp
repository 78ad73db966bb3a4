#include "patch/core/compressed_patch.h"

#include "patch/core/memory_planner.h"

#include <cstring>

namespace
{
enum TRleType
{
    kRleType_zero = 0,
    kRleType_ff = 1,
    kRleType_value = 2,
    kRleType_copy = 3,
};

const size_t kFixedPartSize = 4096;
const size_t kPartCountWithCoverClip = 6;
const size_t kPartCountWithoutCoverClip = 5;
const size_t kSectionCount = 4;

dpatch_StreamPos_t minPos(dpatch_StreamPos_t a, dpatch_StreamPos_t b)
{
    return a < b ? a : b;
}

// Applies pending runs to the next *n output bytes, advancing *out (when not null) and *n.
BOOL _TRleDecoder_drain(_TRleDecoder* decoder, dpatch_byte** out, dpatch_StreamPos_t* n)
{
    if (decoder->setLength > 0) {
        const dpatch_StreamPos_t k = minPos(decoder->setLength, *n);
        if (*out != nullptr) {
            if (decoder->setValue != 0) {
                dpatch_byte* p = *out;
                for (dpatch_StreamPos_t i = 0; i < k; ++i)
                    p[i] = (dpatch_byte)(p[i] + decoder->setValue);
            }
            *out += k;
        }
        decoder->setLength -= k;
        *n -= k;
    }
    while (decoder->copyLength > 0 && *n > 0) {
        const dpatch_StreamPos_t k = minPos(minPos(*n, decoder->codeClip.cacheEnd), decoder->copyLength);
        if (k == 0)
            return 0;
        const dpatch_byte* code = _TStreamCacheClip_readData(&decoder->codeClip, (size_t)k);
        if (code == nullptr)
            return 0;
        if (*out != nullptr) {
            _addBytes(*out, code, (size_t)k);
            *out += k;
        }
        decoder->copyLength -= k;
        *n -= k;
    }
    return 1;
}

// Moves n bytes of the new-data section to the output.
BOOL copyNewData(TStreamCacheClip* newDataClip, _TOutStreamCache* outCache, dpatch_StreamPos_t n)
{
    while (n > 0) {
        const dpatch_StreamPos_t chunk = minPos(n, newDataClip->cacheEnd);
        if (chunk == 0)
            return 0;
        const dpatch_byte* data = _TStreamCacheClip_readData(newDataClip, (size_t)chunk);
        if (data == nullptr)
            return 0;
        if (!_TOutStreamCache_write(outCache, data, (size_t)chunk))
            return 0;
        n -= chunk;
    }
    return 1;
}

// New bytes between covers come from the new-data section; the RLE sequence still runs over them.
BOOL copyGap(TStreamCacheClip* newDataClip, _TRleDecoder* rleDecoder, _TOutStreamCache* outCache, dpatch_StreamPos_t n)
{
    return copyNewData(newDataClip, outCache, n) && _TRleDecoder_decodeAdd(rleDecoder, nullptr, n);
}
} // namespace

size_t _patch_partSize(size_t memSize, size_t partCount)
{
    const size_t partSize = memSize / partCount;
    return partSize < dpatch_kMaxPatchPartSize ? partSize : dpatch_kMaxPatchPartSize;
}

void _addBytes(dpatch_byte* dst, const dpatch_byte* src, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        dst[i] = (dpatch_byte)(dst[i] + src[i]);
}

BOOL _TRleDecoder_decodeAdd(_TRleDecoder* decoder, dpatch_byte* out, dpatch_StreamPos_t n)
{
    if (!_TRleDecoder_drain(decoder, &out, &n))
        return 0;
    while (n > 0) {
        if (_TStreamCacheClip_isFinish(&decoder->ctrlClip))
            return 0;
        const dpatch_byte* ctrl = _TStreamCacheClip_accessData(&decoder->ctrlClip, 1);
        if (ctrl == nullptr)
            return 0;
        const unsigned int type = *ctrl >> 6;
        dpatch_StreamPos_t value = 0;
        if (!_TStreamCacheClip_unpackUIntWithTag(&decoder->ctrlClip, &value, 2))
            return 0;
        // A run of 2^64 bytes cannot belong to any new data; its length would wrap to 0.
        if (value == ~(dpatch_StreamPos_t)0)
            return 0;
        const dpatch_StreamPos_t run = value + 1;
        switch (type) {
        case kRleType_value: {
            const dpatch_byte* setValue = _TStreamCacheClip_readData(&decoder->codeClip, 1);
            if (setValue == nullptr)
                return 0;
            decoder->setValue = *setValue;
            decoder->setLength = run;
            break;
        }
        case kRleType_copy:
            decoder->copyLength = run;
            break;
        case kRleType_ff:
            decoder->setValue = 0xFF;
            decoder->setLength = run;
            break;
        default:
            decoder->setValue = 0;
            decoder->setLength = run;
            break;
        }
        if (!_TRleDecoder_drain(decoder, &out, &n))
            return 0;
    }
    return 1;
}

BOOL _TOutStreamCache_write(_TOutStreamCache* cache, const dpatch_byte* data, size_t n)
{
    while (n > 0) {
        if (cache->cacheUsed == 0 && n >= cache->cacheCapacity) {
            if (!cache->dstStream->write(cache->dstStream, cache->writeToPos, data, data + n))
                return 0;
            cache->writeToPos += n;
            return 1;
        }
        size_t k = cache->cacheCapacity - cache->cacheUsed;
        if (k > n)
            k = n;
        std::memcpy(cache->cacheBuf + cache->cacheUsed, data, k);
        cache->cacheUsed += k;
        data += k;
        n -= k;
        if (cache->cacheUsed == cache->cacheCapacity) {
            if (!cache->dstStream->write(cache->dstStream, cache->writeToPos, cache->cacheBuf,
                                         cache->cacheBuf + cache->cacheCapacity))
                return 0;
            cache->writeToPos += cache->cacheCapacity;
            cache->cacheUsed = 0;
        }
    }
    return 1;
}

BOOL _TOutStreamCache_flush(_TOutStreamCache* cache)
{
    if (cache->cacheUsed == 0)
        return 1;
    if (!cache->dstStream->write(cache->dstStream, cache->writeToPos, cache->cacheBuf,
                                 cache->cacheBuf + cache->cacheUsed))
        return 0;
    cache->writeToPos += cache->cacheUsed;
    cache->cacheUsed = 0;
    return 1;
}

BOOL _patch_apply_covers(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                         dpatch_TCovers* covers, TStreamCacheClip* newDataClip, _TRleDecoder* rleDecoder,
                         dpatch_byte* buf, size_t partSize)
{
    const dpatch_StreamPos_t newSize = out_newData->streamSize;
    const dpatch_StreamPos_t oldSize = oldData->streamSize;
    const dpatch_StreamPos_t coverCount = covers->leaveCoverCount(covers);
    _TOutStreamCache outCache;
    outCache.writeToPos = 0;
    outCache.dstStream = out_newData;
    outCache.cacheBuf = buf + partSize;
    outCache.cacheUsed = 0;
    outCache.cacheCapacity = partSize;
    dpatch_StreamPos_t newPosBack = 0;
    for (dpatch_StreamPos_t i = 0; i < coverCount; ++i) {
        dpatch_TCover cover;
        if (!covers->readCover(covers, &cover))
            return 0;
        if (cover.newPos > newSize || cover.length > newSize - cover.newPos)
            return 0;
        if (cover.oldPos > oldSize || cover.length > oldSize - cover.oldPos)
            return 0;
        if (cover.newPos < newPosBack)
            return 0;
        if (cover.newPos > newPosBack && !copyGap(newDataClip, rleDecoder, &outCache, cover.newPos - newPosBack))
            return 0;
        dpatch_StreamPos_t oldPos = cover.oldPos;
        dpatch_StreamPos_t left = cover.length;
        while (left > 0) {
            const size_t chunk = (size_t)minPos(left, partSize);
            if (!oldData->read(oldData, oldPos, buf, buf + chunk))
                return 0;
            if (!_TRleDecoder_decodeAdd(rleDecoder, buf, chunk))
                return 0;
            if (!_TOutStreamCache_write(&outCache, buf, chunk))
                return 0;
            oldPos += chunk;
            left -= chunk;
        }
        newPosBack = cover.newPos + cover.length;
    }
    if (newPosBack < newSize && !copyGap(newDataClip, rleDecoder, &outCache, newSize - newPosBack))
        return 0;
    if (!_TOutStreamCache_flush(&outCache))
        return 0;
    return rleDecoder->setLength == 0 && rleDecoder->copyLength == 0 &&
           _TStreamCacheClip_isFinish(&rleDecoder->codeClip) && _TStreamCacheClip_isFinish(&rleDecoder->ctrlClip) &&
           covers->isFinished(covers) && outCache.writeToPos == newSize && _TStreamCacheClip_isFinish(newDataClip);
}

BOOL _patch_decompress_clips(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                             const dpatch_TStreamInput* compressedDiff,
                             const dpatch_TDecompressPlugin* decompressPlugin, dpatch_TCovers* covers,
                             dpatch_byte* temp_cache, dpatch_byte* temp_cache_end)
{
    if (temp_cache_end < temp_cache)
        return 0;
    const size_t partCount = covers != nullptr ? kPartCountWithoutCoverClip : kPartCountWithCoverClip;
    const size_t partSize = _patch_partSize((size_t)(temp_cache_end - temp_cache), partCount);
    if (partSize < dpatch_kMinPatchPartSize)
        return 0;
    dpatch_TCompressedDiffInfo info;
    _TCompressedDiffHead head;
    if (!_read_compressed_diff_head(&info, &head, compressedDiff))
        return 0;
    if (info.oldDataSize != oldData->streamSize || info.newDataSize != out_newData->streamSize)
        return 0;
    if (info.compressedSectionCount != 0 &&
        (decompressPlugin == nullptr || !decompressPlugin->canOpen(info.compressType)))
        return 0;

    _TDecompressInputStream decompressers[kSectionCount];
    for (size_t i = 0; i < kSectionCount; ++i) {
        decompressers[i].decompressPlugin = decompressPlugin;
        decompressers[i].decompressHandle = nullptr;
    }
    _TRleDecoder rleDecoder;
    std::memset(&rleDecoder, 0, sizeof(rleDecoder));
    TStreamCacheClip coverClip;
    TStreamCacheClip newDataClip;
    _TStreamCovers streamCovers;
    BOOL result = 1;
    dpatch_StreamPos_t pos = head.headEndPos;
    dpatch_byte* const part = temp_cache;
    if (covers == nullptr) {
        result = getStreamClip(&coverClip, &decompressers[0], head.coverBufSize, head.compressedCoverBufSize,
                               compressedDiff, &pos, decompressPlugin, part + 5 * partSize, partSize);
    } else {
        result = getStreamClip(nullptr, nullptr, head.coverBufSize, head.compressedCoverBufSize, compressedDiff, &pos,
                               decompressPlugin, nullptr, 0);
    }
    result = result &&
             getStreamClip(&rleDecoder.ctrlClip, &decompressers[1], head.rleCtrlBufSize, head.compressedRleCtrlBufSize,
                           compressedDiff, &pos, decompressPlugin, part + 0 * partSize, partSize);
    result = result &&
             getStreamClip(&rleDecoder.codeClip, &decompressers[2], head.rleCodeBufSize, head.compressedRleCodeBufSize,
                           compressedDiff, &pos, decompressPlugin, part + 1 * partSize, partSize);
    result =
        result && getStreamClip(&newDataClip, &decompressers[3], head.newDataDiffSize, head.compressedNewDataDiffSize,
                                compressedDiff, &pos, decompressPlugin, part + 2 * partSize, partSize);
    result = result && pos == compressedDiff->streamSize;
    if (result && covers == nullptr) {
        // Each cover takes at least three bytes; a larger count can only be a corrupt head.
        result = head.coverCount <= head.coverBufSize / 3;
        _TStreamCovers_init(&streamCovers, head.coverCount, &coverClip, &coverClip, &coverClip, 1);
        covers = &streamCovers.base;
    }
    if (result)
        result =
            _patch_apply_covers(out_newData, oldData, covers, &newDataClip, &rleDecoder, part + 3 * partSize, partSize);
    for (size_t i = 0; i < kSectionCount; ++i) {
        dpatch_TDecompressHandle handle = decompressers[i].decompressHandle;
        if (handle == nullptr)
            continue;
        decompressers[i].decompressHandle = nullptr;
        if (!decompressPlugin->close(decompressPlugin, handle))
            result = 0;
    }
    return result;
}

BOOL patch_decompress_with_cache(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                                 const dpatch_TStreamInput* compressedDiff,
                                 const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* temp_cache,
                                 dpatch_byte* temp_cache_end)
{
    dpatch_TCovers* covers = nullptr;
    int isReadError = 0;
    _patch_prepare_cache(&covers, &oldData, out_newData->streamSize, compressedDiff, 1, decompressPlugin,
                         kPartCountWithCoverClip, &temp_cache, &temp_cache_end, &isReadError);
    BOOL result = 0;
    if (!isReadError)
        result = _patch_decompress_clips(out_newData, oldData, compressedDiff, decompressPlugin, covers, temp_cache,
                                         temp_cache_end);
    // The covers may hold a decompressor handle; it is released on every way out.
    if (covers != nullptr && !covers->close(covers))
        result = 0;
    return result;
}

BOOL patch_decompress(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                      const dpatch_TStreamInput* compressedDiff, const dpatch_TDecompressPlugin* decompressPlugin)
{
    dpatch_byte mem[kPartCountWithCoverClip * kFixedPartSize];
    return _patch_decompress_clips(out_newData, oldData, compressedDiff, decompressPlugin, nullptr, mem,
                                   mem + sizeof(mem));
}
