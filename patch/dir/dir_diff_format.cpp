#include "patch/dir/dir_diff_format.h"

#include "patch/core/streams.h"
#include "patch/os/file_services.h"

#include <string.h>

#include "patch/core/dpatch_check.h"

namespace
{
const char* const kDirDiffType = "HDIFF19";

dpatch_StreamPos_t clipReadPos(const TStreamCacheClip* clip)
{
    return clip->streamPos - (dpatch_StreamPos_t)(clip->cacheEnd - clip->cacheBegin);
}

// Section positions are sums of stored sizes; a sum that wraps would place a section before the
// ones it follows.
BOOL addNoWrap(dpatch_StreamPos_t a, dpatch_StreamPos_t b, dpatch_StreamPos_t* out_sum)
{
    *out_sum = a + b;
    return *out_sum >= a;
}
} // namespace

// The stored checksum block is 4 checksums and the patcher keeps a fifth for the computed one.
static const dpatch_StreamPos_t kMaxChecksumByteSize = (~(dpatch_StreamPos_t)0) / 5;

BOOL _read_dirdiff_head(TDirDiffInfo* out_info, TDirDiffHead* out_head, const dpatch_TStreamInput* dirDiffFile,
                        BOOL* out_isAppendContinue)
{
    TStreamCacheClip _headClip;
    TStreamCacheClip* headClip = &_headClip;
    unsigned char temp_cache[dpatch_kStreamCacheSize];
    char savedCompressType[260];
    dpatch_StreamPos_t savedOldRefSize = 0;
    dpatch_StreamPos_t savedNewRefSize = 0;
    dpatch_StreamPos_t savedValue = 0;
    dpatch_StreamPos_t v = 0;

    out_info->isDirDiff = 0;
    if (out_isAppendContinue)
        *out_isAppendContinue = 1;
    _TStreamCacheClip_init(headClip, dirDiffFile, 0, dirDiffFile->streamSize, temp_cache, dpatch_kStreamCacheSize);
    {
        char type[260];
        if (!_TStreamCacheClip_readType_end(headClip, '&', type))
            return 1;
        if (0 != strcmp(type, kDirDiffType))
            return 1;
    }
    out_info->isDirDiff = 1;

    check(_TStreamCacheClip_readType_end(headClip,'&',savedCompressType));
    check(_TStreamCacheClip_readType_end(headClip,'\0',out_info->checksumType));
    out_head->typesEndPos = clipReadPos(headClip);

    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&savedValue,0));
    check(savedValue<=1);
    out_info->isOldPathDir = (int32_t)savedValue;
    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&savedValue,0));
    check(savedValue<=1);
    out_info->isNewPathDir = (int32_t)savedValue;

#define readHeadValue(field)                                                                                           \
    do {                                                                                                               \
        check(_TStreamCacheClip_unpackUIntWithTag(headClip,&v,0));                                                     \
        field = v;                                                                                                     \
    } while (0)

    readHeadValue(out_head->oldPathCount);
    readHeadValue(out_head->oldPathSumSize);
    readHeadValue(out_head->newPathCount);
    readHeadValue(out_head->newPathSumSize);
    readHeadValue(out_head->oldRefFileCount);
    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&savedOldRefSize,0));
    readHeadValue(out_head->newRefFileCount);
    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&savedNewRefSize,0));
    readHeadValue(out_head->sameFilePairCount);
    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&out_head->sameFileSize,0));
    readHeadValue(out_head->newExecuteCount);
    readHeadValue(out_head->privateReservedDataSize);
    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&out_head->privateExternDataSize,0));
    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&out_info->externDataSize,0));
    out_head->headDataSizesPos = clipReadPos(headClip);
    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&out_head->headDataSize,0));
    check(_TStreamCacheClip_unpackUIntWithTag(headClip,&out_head->headDataCompressedSize,0));
    readHeadValue(out_info->checksumByteSize);
#undef readHeadValue
    out_info->checksumOffset = clipReadPos(headClip);
    check(out_info->checksumByteSize<=kMaxChecksumByteSize);

    if (out_isAppendContinue) {
        dpatch_StreamPos_t left = dirDiffFile->streamSize - out_info->checksumOffset;
        if (left <= out_info->checksumByteSize * 4)
            return 1; // the prefix ends inside the checksums: more data is needed
        *out_isAppendContinue = 0;
    }
    check(_TStreamCacheClip_skipData(headClip,out_info->checksumByteSize*4));

    out_info->isDirDataCompressed = (out_head->headDataCompressedSize != 0) ? 1 : 0;
    out_head->headDataOffset = clipReadPos(headClip);
    {
        dpatch_StreamPos_t storedSize =
            out_info->isDirDataCompressed ? out_head->headDataCompressedSize : out_head->headDataSize;
        dpatch_StreamPos_t privateExternDataOffset = 0;
        dpatch_StreamPos_t externDataOffset = 0;
        dpatch_StreamPos_t cdiffDataOffset = 0;
        check(addNoWrap(out_head->headDataOffset,storedSize,&privateExternDataOffset));
        check(addNoWrap(privateExternDataOffset,out_head->privateExternDataSize,&externDataOffset));
        check(addNoWrap(externDataOffset,out_info->externDataSize,&cdiffDataOffset));
        out_head->privateExternDataOffset = privateExternDataOffset;
        out_info->externDataOffset = externDataOffset;
        out_head->cdiffDataOffset = cdiffDataOffset;
    }
    out_head->cdiffDataSize = dirDiffFile->streamSize - out_head->cdiffDataOffset;

    if (out_isAppendContinue) {
        memset(&out_info->cdiffInfo, 0, sizeof(out_info->cdiffInfo));
        out_info->cdiffInfo.newDataSize = savedNewRefSize;
        out_info->cdiffInfo.oldDataSize = savedOldRefSize;
        memcpy(out_info->cdiffInfo.compressType, savedCompressType, sizeof(savedCompressType));
        return 1;
    }

    // The sections before the embedded diff must lie inside the diff.
    check(out_head->cdiffDataOffset<=dirDiffFile->streamSize);
    {
        TStreamInputClip cdiffStream;
        TStreamInputClip_init(&cdiffStream, dirDiffFile, out_head->cdiffDataOffset, dirDiffFile->streamSize);
        check(getCompressedDiffInfo(&out_info->cdiffInfo,&cdiffStream.base));
    }
    check(savedOldRefSize==out_info->cdiffInfo.oldDataSize);
    check(savedNewRefSize==out_info->cdiffInfo.newDataSize);
    if (out_info->cdiffInfo.compressType[0] != '\0')
        check(0==strcmp(savedCompressType,out_info->cdiffInfo.compressType));
    else
        memcpy(out_info->cdiffInfo.compressType, savedCompressType, sizeof(savedCompressType));
    return 1;
}

BOOL readDirDiffInfo(const char* diffFileName, TDirDiffInfo* out_info, dpatch_StreamPos_t diffDataOffert,
                     dpatch_StreamPos_t diffDataSize)
{
    BOOL result = 1;
    TDirDiffHead head;
    dpatch_TFileStreamInput diffData;
    memset(&head, 0, sizeof(head));
    memset(&diffData, 0, sizeof(diffData));
    check(dpatch_TFileStreamInput_open(&diffData,diffFileName));
    if (diffDataOffert != 0) {
        check_clear(dpatch_TFileStreamInput_setOffset(&diffData,diffDataOffert));
        check_clear(diffData.base.streamSize>=diffDataSize);
        diffData.base.streamSize = diffDataSize;
    }
    result = _read_dirdiff_head(out_info, &head, &diffData.base, 0);
clear:
    if (!dpatch_TFileStreamInput_close(&diffData)) {
        dpatch_fprintf(stderr, "check %s error!\n", "dpatch_TFileStreamInput_close(&diffData)");
        result = 0;
    }
    return result;
}

BOOL readDirDiffInfoByStream(const dpatch_TStreamInput* dirDiffFile, TDirDiffInfo* out_info)
{
    TDirDiffHead head;
    memset(&head, 0, sizeof(head));
    return _read_dirdiff_head(out_info, &head, dirDiffFile, 0);
}

BOOL readDirDiffHeadByStream(TDirDiffInfo* out_info, TDirDiffHead* out_head, const dpatch_TStreamInput* dirDiffFile)
{
    return _read_dirdiff_head(out_info, out_head, dirDiffFile, 0);
}

BOOL clipCStrsTo(const char* begin, const char* end, const char** out_list, size_t count)
{
    if (begin < end && end[-1] != '\0')
        return 0;
    size_t taken = 0;
    const char* walk = begin;
    while (taken < count && walk < end) {
        out_list[taken++] = walk;
        walk += strlen(walk) + 1; // the NUL before end stops every text inside the range
    }
    return (walk == end) && (taken == count);
}

BOOL readListTo(TStreamCacheClip* sclip, dpatch_StreamPos_t* out_list, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        check(_TStreamCacheClip_unpackUIntWithTag(sclip,&out_list[i],0));
    return 1;
}

BOOL readIncListTo(TStreamCacheClip* sclip, size_t* out_list, size_t count, size_t check_endValue)
{
    dpatch_StreamPos_t backValue = ~(dpatch_StreamPos_t)0;
    for (size_t i = 0; i < count; ++i) {
        dpatch_StreamPos_t incValue = 0;
        check(_TStreamCacheClip_unpackUIntWithTag(sclip,&incValue,0));
        const dpatch_StreamPos_t nextValue = backValue + 1; // smallest value that still rises
        backValue = nextValue + incValue;
        check(backValue<check_endValue);
        // a huge increment may wrap round into the range; the list must still rise
        check(backValue>=nextValue);
        out_list[i] = (size_t)backValue;
    }
    return 1;
}

BOOL readSamePairListTo(TStreamCacheClip* sclip, dpatch_TSameFilePair* out_pairList, size_t pairCount,
                        size_t check_endNewValue, size_t check_endOldValue)
{
    dpatch_StreamPos_t backNewValue = ~(dpatch_StreamPos_t)0;
    dpatch_StreamPos_t backOldValue = ~(dpatch_StreamPos_t)0;
    for (size_t i = 0; i < pairCount; ++i) {
        dpatch_StreamPos_t incNewValue = 0;
        check(_TStreamCacheClip_unpackUIntWithTag(sclip,&incNewValue,0));
        const dpatch_StreamPos_t nextNewValue = backNewValue + 1;
        backNewValue = nextNewValue + incNewValue;
        check(backNewValue<check_endNewValue);
        check(backNewValue>=nextNewValue);
        out_pairList[i].newIndex = backNewValue;

        const unsigned char* psign = _TStreamCacheClip_accessData(sclip, 1);
        check(psign!=0);
        const BOOL isNegative = ((*psign) >> 7) & 1;
        dpatch_StreamPos_t incOldValue = 0;
        check(_TStreamCacheClip_unpackUIntWithTag(sclip,&incOldValue,1));
        const dpatch_StreamPos_t baseOldValue = backOldValue + 1;
        if (!isNegative) {
            backOldValue = baseOldValue + incOldValue;
            check(backOldValue<check_endOldValue);
            check(backOldValue>=baseOldValue);
        } else {
            backOldValue = baseOldValue - incOldValue;
            check(backOldValue<check_endOldValue);
            check(incOldValue<=baseOldValue);
        }
        out_pairList[i].oldIndex = backOldValue;
    }
    return 1;
}

BOOL dpatch_isSafeRelativePath(const char* path)
{
    if (path[0] == '\0')
        return 1; // the root itself
    const char* part = path;
    for (;;) {
        const char* slash = strchr(part, '/');
        const size_t len = slash ? (size_t)(slash - part) : strlen(part);
        if (len == 0)
            return 0; // a leading '/' (absolute path) or "//"
        if (part[0] == '.' && (len == 1 || (len == 2 && part[1] == '.')))
            return 0;
        if (!slash || slash[1] == '\0')
            return 1;
        part = slash + 1;
    }
}

char* setDirPath(char* out_path, char* out_pathBufEnd, const char* dirPath)
{
    const size_t strLen = strlen(dirPath);
    const BOOL isNeedDirSeparator = (strLen > 0) && (dirPath[strLen - 1] != '/');
    check((strLen+(isNeedDirSeparator?1:0)+1)<=(size_t)(out_pathBufEnd-out_path));
    memcpy(out_path, dirPath, strLen);
    out_path += strLen;
    if (isNeedDirSeparator)
        *out_path++ = '/';
    *out_path = '\0';
    return out_path;
}

char* setPath(char* out_path, char* out_pathBufEnd, const char* fileName)
{
    const size_t strLen = strlen(fileName);
    check(strLen+1<=(size_t)(out_pathBufEnd-out_path));
    memcpy(out_path, fileName, strLen + 1);
    return out_path + strLen;
}
