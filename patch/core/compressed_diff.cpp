#include "patch/core/compressed_diff.h"

#include <cstring>

namespace
{
const char kCompressedDiffMagic[] = "HDIFF13";
const char kSingleDiffMagic[] = "HDIFFSF20";

// Stream position of the next byte the clip hands out.
dpatch_StreamPos_t clipPosition(const TStreamCacheClip* clip)
{
    return clip->streamPos - (clip->cacheEnd - clip->cacheBegin);
}

// Reads "<magic>&<type>\0" at the clip's position; the text before the first '&' must be the magic.
BOOL readMagicAndType(TStreamCacheClip* clip, const char* magic, char out_type[260])
{
    char found[dpatch_kTypeTextBufSize];
    if (!_TStreamCacheClip_readType_end(clip, '&', found) || std::strcmp(found, magic) != 0)
        return 0;
    return _TStreamCacheClip_readType_end(clip, '\0', out_type);
}

BOOL readUInts(TStreamCacheClip* clip, dpatch_StreamPos_t* const* values, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (!_TStreamCacheClip_unpackUIntWithTag(clip, values[i], 0))
            return 0;
    }
    return 1;
}

typedef struct _TRawStreamCovers
{
    _TStreamCovers base;
    TStreamCacheClip lengthClip;
    TStreamCacheClip incNewPosClip;
    TStreamCacheClip incOldPosClip;
} _TRawStreamCovers;
} // namespace

void _TStreamCovers_init(_TStreamCovers* covers, dpatch_StreamPos_t coverCount, TStreamCacheClip* incOldPosClip,
                         TStreamCacheClip* incNewPosClip, TStreamCacheClip* lengthClip, int32_t isOldPosBackAddLength)
{
    covers->base.leaveCoverCount = _streamCovers_leaveCoverCount;
    covers->base.readCover = _streamCovers_readCover;
    covers->base.isFinished = _streamCovers_isFinish;
    covers->base.close = _streamCovers_close;
    covers->coverCount = coverCount;
    covers->oldPosBack = 0;
    covers->newPosBack = 0;
    covers->incOldPosClip = incOldPosClip;
    covers->incNewPosClip = incNewPosClip;
    covers->lengthClip = lengthClip;
    covers->isOldPosBackAddLength = isOldPosBackAddLength;
}

dpatch_StreamPos_t _streamCovers_leaveCoverCount(const dpatch_TCovers* covers)
{
    return ((const _TStreamCovers*)covers)->coverCount;
}

BOOL _streamCovers_readCover(dpatch_TCovers* covers, dpatch_TCover* out_cover)
{
    _TStreamCovers* self = (_TStreamCovers*)covers;
    if (self->coverCount == 0)
        return 0;
    --self->coverCount;
    const dpatch_byte* signByte = _TStreamCacheClip_accessData(self->incOldPosClip, 1);
    if (signByte == nullptr)
        return 0;
    const BOOL isSubtract = (*signByte >> 7) != 0;
    dpatch_StreamPos_t incOldPos = 0;
    dpatch_StreamPos_t incNewPos = 0;
    dpatch_StreamPos_t length = 0;
    if (!_TStreamCacheClip_unpackUIntWithTag(self->incOldPosClip, &incOldPos, 1))
        return 0;
    if (!_TStreamCacheClip_unpackUIntWithTag(self->incNewPosClip, &incNewPos, 0))
        return 0;
    if (!_TStreamCacheClip_unpackUIntWithTag(self->lengthClip, &length, 0))
        return 0;
    // Positions may wrap here; whoever uses a cover checks it against the data sizes first.
    const dpatch_StreamPos_t oldPos = isSubtract ? self->oldPosBack - incOldPos : self->oldPosBack + incOldPos;
    const dpatch_StreamPos_t newPos = self->newPosBack + incNewPos;
    out_cover->oldPos = oldPos;
    out_cover->newPos = newPos;
    out_cover->length = length;
    self->newPosBack = newPos + length;
    self->oldPosBack = self->isOldPosBackAddLength ? oldPos + length : oldPos;
    return 1;
}

BOOL _streamCovers_isFinish(const dpatch_TCovers* covers)
{
    const _TStreamCovers* self = (const _TStreamCovers*)covers;
    return _TStreamCacheClip_isFinish(self->incOldPosClip) && _TStreamCacheClip_isFinish(self->incNewPosClip) &&
           _TStreamCacheClip_isFinish(self->lengthClip);
}

BOOL _streamCovers_close(dpatch_TCovers* /*covers*/)
{
    return 1;
}

BOOL _streamCovers_closeDecompress(dpatch_TCovers* covers)
{
    _TDecompressStreamCovers* self = (_TDecompressStreamCovers*)covers;
    dpatch_TDecompressHandle handle = self->decompresser.decompressHandle;
    if (handle == nullptr)
        return 1;
    self->decompresser.decompressHandle = nullptr;
    return self->decompresser.decompressPlugin->close(self->decompresser.decompressPlugin, handle);
}

BOOL _read_compressed_diff_head(dpatch_TCompressedDiffInfo* out_info, _TCompressedDiffHead* out_head,
                                const dpatch_TStreamInput* compressedDiff)
{
    dpatch_byte cache[dpatch_kStreamCacheSize];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, compressedDiff, 0, compressedDiff->streamSize, cache, sizeof(cache));
    if (!readMagicAndType(&clip, kCompressedDiffMagic, out_info->compressType))
        return 0;
    dpatch_StreamPos_t* const values[] = {
        &out_info->newDataSize,
        &out_info->oldDataSize,
        &out_head->coverCount,
        &out_head->coverBufSize,
        &out_head->compressedCoverBufSize,
        &out_head->rleCtrlBufSize,
        &out_head->compressedRleCtrlBufSize,
        &out_head->rleCodeBufSize,
        &out_head->compressedRleCodeBufSize,
        &out_head->newDataDiffSize,
        &out_head->compressedNewDataDiffSize,
    };
    if (!readUInts(&clip, values, sizeof(values) / sizeof(values[0])))
        return 0;
    out_head->headEndPos = clipPosition(&clip);
    out_info->compressedSectionCount =
        (out_head->compressedCoverBufSize != 0) + (out_head->compressedRleCtrlBufSize != 0) +
        (out_head->compressedRleCodeBufSize != 0) + (out_head->compressedNewDataDiffSize != 0);
    out_head->coverEndPos =
        out_head->headEndPos +
        (out_head->compressedCoverBufSize != 0 ? out_head->compressedCoverBufSize : out_head->coverBufSize);
    return 1;
}

BOOL getCompressedDiffInfo(dpatch_TCompressedDiffInfo* out_info, const dpatch_TStreamInput* compressedDiff)
{
    _TCompressedDiffHead head;
    return _read_compressed_diff_head(out_info, &head, compressedDiff);
}

BOOL getSingleCompressedDiffInfo(dpatch_TSingleDiffInfo* out_info, const dpatch_TStreamInput* stream,
                                 dpatch_StreamPos_t diffInfoPos)
{
    if (diffInfoPos >= stream->streamSize)
        return 0;
    dpatch_byte cache[dpatch_kStreamCacheSize];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, stream, diffInfoPos, stream->streamSize, cache, sizeof(cache));
    if (!readMagicAndType(&clip, kSingleDiffMagic, out_info->compressType))
        return 0;
    dpatch_StreamPos_t* const values[] = {
        &out_info->newDataSize, &out_info->oldDataSize,      &out_info->coverCount,
        &out_info->maxStepSize, &out_info->uncompressedSize, &out_info->compressedSize,
    };
    if (!readUInts(&clip, values, sizeof(values) / sizeof(values[0])))
        return 0;
    out_info->diffDataPos = clipPosition(&clip) - diffInfoPos;
    return 1;
}

BOOL _read_raw_diff_head(_TRawDiffHead* out_head, const dpatch_TStreamInput* diff)
{
    if (diff->streamSize == 0)
        return 0;
    dpatch_byte cache[dpatch_kStreamCacheSize];
    TStreamCacheClip clip;
    _TStreamCacheClip_init(&clip, diff, 0, diff->streamSize, cache, sizeof(cache));
    dpatch_StreamPos_t* const values[] = {
        &out_head->coverCount,    &out_head->lengthSize,      &out_head->incNewPosSize,
        &out_head->incOldPosSize, &out_head->newDataDiffSize,
    };
    if (!readUInts(&clip, values, sizeof(values) / sizeof(values[0])))
        return 0;
    out_head->headEndPos = clipPosition(&clip);
    dpatch_StreamPos_t left = diff->streamSize - out_head->headEndPos;
    if (out_head->lengthSize > left)
        return 0;
    left -= out_head->lengthSize;
    if (out_head->incNewPosSize > left)
        return 0;
    left -= out_head->incNewPosSize;
    if (out_head->incOldPosSize > left)
        return 0;
    left -= out_head->incOldPosSize;
    out_head->coverEndPos = diff->streamSize - left;
    return out_head->newDataDiffSize <= left;
}

BOOL _rawStreamCovers_open(dpatch_TCovers** out_covers, _TRawDiffHead* out_head, const dpatch_TStreamInput* diff,
                           dpatch_byte* mem, dpatch_byte* mem_end)
{
    if (!_read_raw_diff_head(out_head, diff))
        return 0;
    dpatch_byte* recordMem = _dpatch_alignUp(mem, 8);
    if (recordMem > mem_end || (size_t)(mem_end - recordMem) < sizeof(_TRawStreamCovers))
        return 0;
    _TRawStreamCovers* self = (_TRawStreamCovers*)recordMem;
    dpatch_byte* cache = recordMem + sizeof(_TRawStreamCovers);
    const size_t cacheSize = (size_t)(mem_end - cache) / 3;
    // A varint is looked at whole, so a smaller cache could not read the longest one.
    if (cacheSize < dpatch_kMaxPackedUIntBytes)
        return 0;
    const dpatch_StreamPos_t lengthPos = out_head->headEndPos;
    const dpatch_StreamPos_t incNewPos = lengthPos + out_head->lengthSize;
    const dpatch_StreamPos_t incOldPos = incNewPos + out_head->incNewPosSize;
    _TStreamCacheClip_init(&self->lengthClip, diff, lengthPos, incNewPos, cache, cacheSize);
    _TStreamCacheClip_init(&self->incNewPosClip, diff, incNewPos, incOldPos, cache + cacheSize, cacheSize);
    _TStreamCacheClip_init(&self->incOldPosClip, diff, incOldPos, out_head->coverEndPos, cache + 2 * cacheSize,
                           cacheSize);
    _TStreamCovers_init(&self->base, out_head->coverCount, &self->incOldPosClip, &self->incNewPosClip,
                        &self->lengthClip, 0);
    *out_covers = &self->base.base;
    return 1;
}

BOOL dpatch_coverList_open_rawDiff(dpatch_TCoverList* list, const dpatch_TStreamInput* diff)
{
    _TRawDiffHead head;
    list->covers = nullptr;
    return _rawStreamCovers_open(&list->covers, &head, diff, list->coverMem, list->coverMem + sizeof(list->coverMem));
}

BOOL _read_compressed_cover_head(dpatch_TCompressedDiffInfo* out_info, _TCompressedDiffHead* out_head,
                                 const dpatch_TStreamInput* compressedDiff,
                                 const dpatch_TDecompressPlugin* decompressPlugin)
{
    if (!_read_compressed_diff_head(out_info, out_head, compressedDiff))
        return 0;
    return out_head->compressedCoverBufSize == 0 ||
           (decompressPlugin != nullptr && decompressPlugin->canOpen(out_info->compressType));
}

BOOL _compressedStreamCovers_open(dpatch_TCovers** out_covers, const _TCompressedDiffHead* head,
                                  const dpatch_TStreamInput* compressedDiff,
                                  const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* mem,
                                  dpatch_byte* mem_end)
{
    dpatch_byte* recordMem = _dpatch_alignUp(mem, 8);
    _TDecompressStreamCovers* self = (_TDecompressStreamCovers*)recordMem;
    dpatch_byte* cache = recordMem + sizeof(_TDecompressStreamCovers);
    if (cache >= mem_end)
        return 0;
    self->decompresser.decompressPlugin = decompressPlugin;
    self->decompresser.decompressHandle = nullptr;
    dpatch_StreamPos_t pos = head->headEndPos;
    if (!getStreamClip(&self->clip, &self->decompresser, head->coverBufSize, head->compressedCoverBufSize,
                       compressedDiff, &pos, decompressPlugin, cache, (size_t)(mem_end - cache)))
        return 0;
    _TStreamCovers_init(&self->base, head->coverCount, &self->clip, &self->clip, &self->clip, 1);
    self->base.base.close = _streamCovers_closeDecompress;
    *out_covers = &self->base.base;
    return 1;
}

BOOL dpatch_coverList_open_compressedDiff(dpatch_TCoverList* list, const dpatch_TStreamInput* compressedDiff,
                                          const dpatch_TDecompressPlugin* decompressPlugin)
{
    list->covers = nullptr;
    dpatch_TCompressedDiffInfo info;
    _TCompressedDiffHead head;
    return _read_compressed_cover_head(&info, &head, compressedDiff, decompressPlugin) &&
           _compressedStreamCovers_open(&list->covers, &head, compressedDiff, decompressPlugin, list->coverMem,
                                        list->coverMem + sizeof(list->coverMem));
}
