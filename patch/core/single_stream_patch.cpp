#include "patch/core/single_stream_patch.h"

#include "patch/core/compressed_diff.h"
#include "patch/core/compressed_patch.h"
#include "patch/core/memory_planner.h"
#include "patch/core/stream_cache_clip.h"
#include "patch/core/streams.h"
#include "patch/core/varint.h"

#include <cstring>

namespace
{
const size_t kRawPartSize = 4096;
const size_t kRawCoverMemSize = 3 * kRawPartSize;
const size_t kRawCachePartCount = 8;
const size_t kRawPartsWithoutCovers = 5;
const size_t kMinRawCoverMemSize = 240;
const size_t kMinRawPartSize = 10;
const size_t kSingleStreamPartCount = 3;

dpatch_StreamPos_t minPos(dpatch_StreamPos_t a, dpatch_StreamPos_t b)
{
    return a < b ? a : b;
}

dpatch_StreamPos_t clipPosition(const TStreamCacheClip* clip)
{
    return clip->streamPos - (clip->cacheEnd - clip->cacheBegin);
}

// Takes n bytes off the front of [*p, end); 0 when fewer are there.
BOOL takeSection(const dpatch_byte** p, const dpatch_byte* end, dpatch_StreamPos_t n, const dpatch_byte** out_begin,
                 const dpatch_byte** out_end)
{
    if (n > (dpatch_StreamPos_t)(end - *p))
        return 0;
    *out_begin = *p;
    *p += (size_t)n;
    *out_end = *p;
    return 1;
}

BOOL decodeRleInto(dpatch_byte* out, dpatch_byte* out_end, const dpatch_byte* ctrl, const dpatch_byte* ctrl_end,
                   const dpatch_byte* code, const dpatch_byte* code_end)
{
    while (ctrl < ctrl_end) {
        const unsigned int type = *ctrl >> 6;
        dpatch_StreamPos_t value = 0;
        if (!dpatch_unpackUIntWithTag(&ctrl, ctrl_end, &value, 2))
            return 0;
        // run = value + 1 must fit the room left; comparing value keeps 2^64 - 1 from wrapping to 0
        if (value >= (dpatch_StreamPos_t)(out_end - out))
            return 0;
        const size_t run = (size_t)value + 1;
        switch (type) {
        case 2:
            if (code == code_end)
                return 0;
            std::memset(out, *code, run);
            ++code;
            break;
        case 3:
            if (run > (size_t)(code_end - code))
                return 0;
            std::memcpy(out, code, run);
            code += run;
            break;
        case 1:
            std::memset(out, 0xFF, run);
            break;
        default:
            std::memset(out, 0x00, run);
            break;
        }
        out += run;
    }
    return ctrl == ctrl_end && code == code_end && out == out_end;
}

// The new-data clip, the control size after it, and the RLE decoder's two clips. ctrlSizeCache is
// only used while the control size is read.
BOOL openRawSections(const dpatch_TStreamInput* diff, const _TRawDiffHead* head, TStreamCacheClip* newDataClip,
                     _TRleDecoder* rleDecoder, dpatch_byte* newDataCache, dpatch_byte* ctrlCache,
                     dpatch_byte* codeCache, size_t cacheSize)
{
    const dpatch_StreamPos_t newDataEnd = head->coverEndPos + head->newDataDiffSize;
    _TStreamCacheClip_init(newDataClip, diff, head->coverEndPos, newDataEnd, newDataCache, cacheSize);
    TStreamCacheClip sizeClip;
    _TStreamCacheClip_init(&sizeClip, diff, newDataEnd, diff->streamSize, ctrlCache, cacheSize);
    dpatch_StreamPos_t ctrlSize = 0;
    if (!_TStreamCacheClip_unpackUIntWithTag(&sizeClip, &ctrlSize, 0))
        return 0;
    const dpatch_StreamPos_t ctrlBegin = clipPosition(&sizeClip);
    if (ctrlSize > diff->streamSize - ctrlBegin)
        return 0;
    std::memset(rleDecoder, 0, sizeof(*rleDecoder));
    _TStreamCacheClip_init(&rleDecoder->ctrlClip, diff, ctrlBegin, ctrlBegin + ctrlSize, ctrlCache, cacheSize);
    _TStreamCacheClip_init(&rleDecoder->codeClip, diff, ctrlBegin + ctrlSize, diff->streamSize, codeCache, cacheSize);
    return 1;
}

// Pending work of one step's difference code, which runs over the old bytes of the step's covers.
struct StepCode
{
    const dpatch_byte* code;
    const dpatch_byte* code_end;
    dpatch_StreamPos_t skipLeft;
    dpatch_StreamPos_t addLeft;
    BOOL nextIsSkip;
};

BOOL applyStepCode(StepCode* sc, dpatch_byte* data, size_t n)
{
    while (n > 0) {
        if (sc->skipLeft > 0) {
            const size_t k = (size_t)minPos(sc->skipLeft, n);
            sc->skipLeft -= k;
            data += k;
            n -= k;
        } else if (sc->addLeft > 0) {
            const size_t k = (size_t)minPos(sc->addLeft, n);
            _addBytes(data, sc->code, k);
            sc->code += k;
            sc->addLeft -= k;
            data += k;
            n -= k;
        } else if (sc->nextIsSkip) {
            if (!dpatch_unpackUIntWithTag(&sc->code, sc->code_end, &sc->skipLeft, 0))
                return 0;
            sc->nextIsSkip = 0;
        } else {
            if (!dpatch_unpackUIntWithTag(&sc->code, sc->code_end, &sc->addLeft, 0))
                return 0;
            if (sc->addLeft > (dpatch_StreamPos_t)(sc->code_end - sc->code))
                return 0;
            sc->nextIsSkip = 1;
        }
    }
    return 1;
}

BOOL copyPayload(TStreamCacheClip* clip, _TOutStreamCache* outCache, dpatch_StreamPos_t n)
{
    while (n > 0) {
        const size_t k = (size_t)minPos(n, clip->cacheEnd);
        const dpatch_byte* data = _TStreamCacheClip_readData(clip, k);
        if (data == nullptr || !_TOutStreamCache_write(outCache, data, k))
            return 0;
        n -= k;
    }
    return 1;
}

dpatch_StreamPos_t writtenSize(const _TOutStreamCache* outCache)
{
    return outCache->writeToPos + outCache->cacheUsed;
}

BOOL hasStepMemory(dpatch_byte* temp_cache, dpatch_byte* temp_cache_end, dpatch_StreamPos_t maxStepSize)
{
    if (temp_cache_end < temp_cache)
        return 0;
    const dpatch_StreamPos_t size = (dpatch_StreamPos_t)(temp_cache_end - temp_cache);
    return maxStepSize <= size && size - maxStepSize >= dpatch_kSingleStreamMinCacheSize;
}
} // namespace

BOOL patch_raw_mem(dpatch_byte* out_newData, dpatch_byte* out_newData_end, const dpatch_byte* oldData,
                   const dpatch_byte* oldData_end, const dpatch_byte* diff, const dpatch_byte* diff_end)
{
    if (diff >= diff_end || out_newData_end < out_newData || oldData_end < oldData)
        return 0;
    const dpatch_byte* p = diff;
    dpatch_StreamPos_t coverCount, lengthSize, incNewPosSize, incOldPosSize, newDataDiffSize;
    if (!dpatch_unpackUIntWithTag(&p, diff_end, &coverCount, 0) ||
        !dpatch_unpackUIntWithTag(&p, diff_end, &lengthSize, 0) ||
        !dpatch_unpackUIntWithTag(&p, diff_end, &incNewPosSize, 0) ||
        !dpatch_unpackUIntWithTag(&p, diff_end, &incOldPosSize, 0) ||
        !dpatch_unpackUIntWithTag(&p, diff_end, &newDataDiffSize, 0))
        return 0;
    const dpatch_byte *lengths, *lengths_end, *incNewPos, *incNewPos_end, *incOldPos, *incOldPos_end, *newDataDiff,
        *newDataDiff_end;
    if (!takeSection(&p, diff_end, lengthSize, &lengths, &lengths_end) ||
        !takeSection(&p, diff_end, incNewPosSize, &incNewPos, &incNewPos_end) ||
        !takeSection(&p, diff_end, incOldPosSize, &incOldPos, &incOldPos_end) ||
        !takeSection(&p, diff_end, newDataDiffSize, &newDataDiff, &newDataDiff_end))
        return 0;
    dpatch_StreamPos_t ctrlSize = 0;
    if (!dpatch_unpackUIntWithTag(&p, diff_end, &ctrlSize, 0))
        return 0;
    const dpatch_byte *ctrl, *ctrl_end;
    if (!takeSection(&p, diff_end, ctrlSize, &ctrl, &ctrl_end))
        return 0;
    if (!decodeRleInto(out_newData, out_newData_end, ctrl, ctrl_end, p, diff_end))
        return 0;

    const size_t newSize = (size_t)(out_newData_end - out_newData);
    const dpatch_StreamPos_t oldSize = (dpatch_StreamPos_t)(oldData_end - oldData);
    if (coverCount > 0 && incNewPos == incNewPos_end)
        return 0;
    size_t newPos = 0;
    dpatch_StreamPos_t oldPosBack = 0;
    for (dpatch_StreamPos_t i = 0; i < coverCount; ++i) {
        dpatch_StreamPos_t incNew = 0, length = 0, incOld = 0;
        if (incOldPos == incOldPos_end)
            return 0;
        const BOOL isSubtract = (*incOldPos >> 7) != 0;
        if (!dpatch_unpackUIntWithTag(&incNewPos, incNewPos_end, &incNew, 0) ||
            !dpatch_unpackUIntWithTag(&lengths, lengths_end, &length, 0) ||
            !dpatch_unpackUIntWithTag(&incOldPos, incOldPos_end, &incOld, 1))
            return 0;
        const dpatch_StreamPos_t oldPos = isSubtract ? oldPosBack - incOld : oldPosBack + incOld;
        if (incNew != 0) {
            if (incNew > newSize - newPos || incNew > (dpatch_StreamPos_t)(newDataDiff_end - newDataDiff))
                return 0;
            std::memcpy(out_newData + newPos, newDataDiff, (size_t)incNew);
            newDataDiff += incNew;
            newPos += (size_t)incNew;
        }
        if (length > newSize - newPos || oldPos > oldSize || length > oldSize - oldPos)
            return 0;
        _addBytes(out_newData + newPos, oldData + oldPos, (size_t)length);
        oldPosBack = oldPos;
        newPos += (size_t)length;
        if (i + 1 < coverCount && incNewPos == incNewPos_end)
            return 0;
    }
    const size_t rest = newSize - newPos;
    if (rest > (size_t)(newDataDiff_end - newDataDiff))
        return 0;
    // An empty new data has no buffer at all, and memcpy takes no null pointer even for 0 bytes.
    if (rest != 0)
        std::memcpy(out_newData + newPos, newDataDiff, rest);
    newDataDiff += rest;
    return lengths == lengths_end && incNewPos == incNewPos_end && incOldPos == incOldPos_end &&
           newDataDiff == newDataDiff_end;
}

BOOL patch_raw_stream(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                      const dpatch_TStreamInput* diff)
{
    alignas(8) dpatch_byte coverMem[kRawCoverMemSize];
    dpatch_byte caches[5 * kRawPartSize];
    dpatch_TCovers* covers = nullptr;
    _TRawDiffHead head;
    if (!_rawStreamCovers_open(&covers, &head, diff, coverMem, coverMem + sizeof(coverMem)))
        return 0;
    TStreamCacheClip newDataClip;
    _TRleDecoder rleDecoder;
    if (!openRawSections(diff, &head, &newDataClip, &rleDecoder, caches, caches + kRawPartSize,
                         caches + 2 * kRawPartSize, kRawPartSize))
        return 0;
    return _patch_apply_covers(out_newData, oldData, covers, &newDataClip, &rleDecoder, caches + 3 * kRawPartSize,
                               kRawPartSize);
}

BOOL patch_raw_stream_with_cache(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                                 const dpatch_TStreamInput* diff, dpatch_byte* temp_cache, dpatch_byte* temp_cache_end)
{
    if (temp_cache_end < temp_cache)
        return 0;
    dpatch_TCovers* covers = nullptr;
    int isReadError = 0;
    _patch_prepare_cache(&covers, &oldData, out_newData->streamSize, diff, 0, nullptr, kRawCachePartCount, &temp_cache,
                         &temp_cache_end, &isReadError);
    BOOL result = 0;
    _TRawDiffHead head;
    const size_t memSize = (size_t)(temp_cache_end - temp_cache);
    size_t part = 0;
    if (isReadError) {
        result = 0;
    } else if (covers != nullptr) {
        part = _patch_partSize(memSize, kRawPartsWithoutCovers);
        result = _read_raw_diff_head(&head, diff);
    } else {
        part = _patch_partSize(memSize, kRawCachePartCount);
        // The reader's three clips take about a part each, also when the parts are capped.
        dpatch_byte* const readerMem = temp_cache + kRawPartsWithoutCovers * part;
        const size_t readerMax = (kRawCachePartCount - kRawPartsWithoutCovers) * part + kMinRawCoverMemSize;
        const size_t readerSize =
            (size_t)(temp_cache_end - readerMem) < readerMax ? (size_t)(temp_cache_end - readerMem) : readerMax;
        result = memSize - kRawPartsWithoutCovers * part >= kMinRawCoverMemSize &&
                 _rawStreamCovers_open(&covers, &head, diff, readerMem, readerMem + readerSize);
    }
    result = result && part > kMinRawPartSize;
    TStreamCacheClip newDataClip;
    _TRleDecoder rleDecoder;
    result = result && openRawSections(diff, &head, &newDataClip, &rleDecoder, temp_cache, temp_cache + part,
                                       temp_cache + 2 * part, part);
    result = result &&
             _patch_apply_covers(out_newData, oldData, covers, &newDataClip, &rleDecoder, temp_cache + 3 * part, part);
    // Neither the planner's cover array nor a raw cover reader holds anything, but closing is always safe.
    if (covers != nullptr && !covers->close(covers))
        result = 0;
    return result;
}

BOOL patch_single_stream(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                         const dpatch_TStreamInput* stream, dpatch_StreamPos_t diffDataPos,
                         dpatch_StreamPos_t coverCount, dpatch_StreamPos_t maxStepSize, dpatch_byte* temp_cache,
                         dpatch_byte* temp_cache_end)
{
    if (!hasStepMemory(temp_cache, temp_cache_end, maxStepSize))
        return 0;
    return _patch_single_steps(out_newData, oldData, stream, diffDataPos, coverCount, maxStepSize, temp_cache,
                               temp_cache_end);
}

BOOL patch_single_compressed_diff(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                                  const dpatch_TStreamInput* stream, dpatch_StreamPos_t diffDataPos,
                                  dpatch_StreamPos_t uncompressedSize, const dpatch_TDecompressPlugin* decompressPlugin,
                                  dpatch_StreamPos_t coverCount, dpatch_StreamPos_t maxStepSize,
                                  dpatch_byte* temp_cache, dpatch_byte* temp_cache_end)
{
    if (decompressPlugin == nullptr)
        return patch_single_stream(out_newData, oldData, stream, diffDataPos, coverCount, maxStepSize, temp_cache,
                                   temp_cache_end);
    if (diffDataPos > stream->streamSize)
        return 0;
    _TDecompressInputStream decompresser;
    std::memset(&decompresser, 0, sizeof(decompresser));
    if (!_TDecompressInputStream_open(&decompresser, uncompressedSize, decompressPlugin, stream, diffDataPos,
                                      stream->streamSize))
        return 0;
    BOOL result = hasStepMemory(temp_cache, temp_cache_end, maxStepSize) &&
                  _patch_single_steps(out_newData, oldData, &decompresser.base, 0, coverCount, maxStepSize, temp_cache,
                                      temp_cache_end);
    _TDecompressInputStream_close(&decompresser);
    return result;
}

BOOL _patch_single_steps(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                         const dpatch_TStreamInput* stream, dpatch_StreamPos_t diffDataPos,
                         dpatch_StreamPos_t coverCount, dpatch_StreamPos_t maxStepSize, dpatch_byte* temp_cache,
                         dpatch_byte* temp_cache_end)
{
    if (!hasStepMemory(temp_cache, temp_cache_end, maxStepSize) || diffDataPos > stream->streamSize)
        return 0;
    dpatch_byte* const stepMem = temp_cache;
    dpatch_byte* const rest = temp_cache + (size_t)maxStepSize;
    const size_t part = (size_t)(temp_cache_end - rest) / kSingleStreamPartCount;
    dpatch_byte* const oldBuf = rest + part;
    _TOutStreamCache outCache;
    outCache.writeToPos = 0;
    outCache.dstStream = out_newData;
    outCache.cacheBuf = rest + 2 * part;
    outCache.cacheUsed = 0;
    outCache.cacheCapacity = part;
    TStreamCacheClip payload;
    _TStreamCacheClip_init(&payload, stream, diffDataPos, stream->streamSize, rest, part);
    const dpatch_StreamPos_t newSize = out_newData->streamSize;
    const dpatch_StreamPos_t oldSize = oldData->streamSize;
    if (coverCount == 0)
        return _TStreamCacheClip_isFinish(&payload) && newSize == 0;

    dpatch_StreamPos_t coversDone = 0;
    dpatch_StreamPos_t oldPosBack = 0;
    dpatch_StreamPos_t newPosBack = 0;
    BOOL finished = 0;
    while (!finished) {
        dpatch_StreamPos_t coverBytes = 0, codeBytes = 0;
        if (!_TStreamCacheClip_unpackUIntWithTag(&payload, &coverBytes, 0) ||
            !_TStreamCacheClip_unpackUIntWithTag(&payload, &codeBytes, 0))
            return 0;
        if (coverBytes > maxStepSize || codeBytes > maxStepSize - coverBytes)
            return 0;
        const size_t stepSize = (size_t)(coverBytes + codeBytes);
        if (!_TStreamCacheClip_readDataTo(&payload, stepMem, stepMem + stepSize))
            return 0;
        if (coverBytes == 0)
            continue;
        const dpatch_byte* cover = stepMem;
        const dpatch_byte* const cover_end = stepMem + (size_t)coverBytes;
        StepCode stepCode = {cover_end, stepMem + stepSize, 0, 0, 1};
        while (cover < cover_end) {
            // Cover bytes beyond the declared count can only be damage.
            if (coversDone == coverCount)
                return 0;
            const BOOL isSubtract = (*cover >> 7) != 0;
            dpatch_StreamPos_t incOld = 0, incNew = 0, length = 0;
            if (!dpatch_unpackUIntWithTag(&cover, cover_end, &incOld, 1) ||
                !dpatch_unpackUIntWithTag(&cover, cover_end, &incNew, 0) ||
                !dpatch_unpackUIntWithTag(&cover, cover_end, &length, 0))
                return 0;
            const dpatch_StreamPos_t oldPos = isSubtract ? oldPosBack - incOld : oldPosBack + incOld;
            const dpatch_StreamPos_t newPos = newPosBack + incNew;
            if (incNew > newSize - writtenSize(&outCache) || !copyPayload(&payload, &outCache, incNew))
                return 0;
            ++coversDone;
            if (length == 0) {
                // The closing cover carries the last new bytes; nothing may follow it.
                if (coversDone != coverCount || cover != cover_end)
                    return 0;
                finished = 1;
                break;
            }
            if (oldPos > oldSize || length > oldSize - oldPos || length > newSize - writtenSize(&outCache))
                return 0;
            dpatch_StreamPos_t readPos = oldPos;
            dpatch_StreamPos_t left = length;
            while (left > 0) {
                const size_t chunk = (size_t)minPos(left, part);
                if (!oldData->read(oldData, readPos, oldBuf, oldBuf + chunk) ||
                    !applyStepCode(&stepCode, oldBuf, chunk) || !_TOutStreamCache_write(&outCache, oldBuf, chunk))
                    return 0;
                readPos += chunk;
                left -= chunk;
            }
            oldPosBack = oldPos + length;
            newPosBack = newPos + length;
        }
        if (coversDone == coverCount)
            finished = 1;
    }
    if (!_TOutStreamCache_flush(&outCache))
        return 0;
    return _TStreamCacheClip_isFinish(&payload) && outCache.writeToPos == newSize;
}
