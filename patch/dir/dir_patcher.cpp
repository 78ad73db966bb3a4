#include "patch/dir/dir_patcher.h"

#include "patch/core/compressed_patch.h"
#include "patch/core/streams.h"
#include "patch/dir/dir_patch_check.h"

#include <stdlib.h>
#include <string.h>

namespace
{
const size_t kChecksumBufSize = 16 * 1024;
const dpatch_StreamPos_t kOldDataCacheSpare = 32 * 1024;
} // namespace

BOOL TDirPatcher_open(TDirPatcher* self, const dpatch_TStreamInput* dirDiffData, const TDirDiffInfo** out_dirDiffInfo)
{
    if (!_read_dirdiff_head(&self->dirDiffInfo, &self->dirDiffHead, dirDiffData, 0))
        return 0;
    self->_dirDiffData = dirDiffData;
    *out_dirDiffInfo = &self->dirDiffInfo;
    return 1;
}

BOOL _checksum_append(dpatch_TChecksumPlugin* checksumPlugin, dpatch_TChecksumHandle csHandle,
                      const dpatch_TStreamInput* data, dpatch_StreamPos_t begin, dpatch_StreamPos_t end)
{
    unsigned char buf[kChecksumBufSize];
    while (begin < end) {
        size_t len = kChecksumBufSize;
        if (len > end - begin)
            len = (size_t)(end - begin);
        check(data->read(data,begin,buf,buf+len));
        checksumPlugin->append(csHandle, buf, buf + len);
        begin += len;
    }
    return 1;
}

static BOOL _checksum_compare(size_t checksumByteSize, dpatch_TChecksumPlugin* checksumPlugin,
                              const unsigned char* checksumTest, unsigned char* checksumTemp,
                              const dpatch_TStreamInput* data, dpatch_StreamPos_t skipBegin, dpatch_StreamPos_t skipEnd)
{
    BOOL result = 1;
    dpatch_TChecksumHandle csHandle = checksumPlugin->open(checksumPlugin);
    check(csHandle!=0);
    checksumPlugin->begin(csHandle);
    if (skipBegin > 0)
        check_clear(_checksum_append(checksumPlugin,csHandle,data,0,skipBegin));
    if (data->streamSize > skipEnd)
        check_clear(_checksum_append(checksumPlugin,csHandle,data,skipEnd,data->streamSize));
    checksumPlugin->end(csHandle, checksumTemp, checksumTemp + checksumByteSize);
    check_clear(0==memcmp(checksumTest,checksumTemp,checksumByteSize));
clear:
    checksumPlugin->close(checksumPlugin, csHandle);
    return result;
}

BOOL TDirPatcher_checksum(TDirPatcher* self, const TChecksumSet* checksumSet)
{
    const BOOL isHaveCheck = checksumSet->isCheck_oldRefData || checksumSet->isCheck_newRefData ||
                             checksumSet->isCheck_copyFileData || checksumSet->isCheck_diffData;
    if (!checksumSet->checksumPlugin) {
        check(!isHaveCheck);
        check(self->_pChecksumMem==0);
        return 1;
    }
    check(0==strcmp(self->dirDiffInfo.checksumType,checksumSet->checksumPlugin->checksumType()));
    check(self->dirDiffInfo.checksumByteSize==checksumSet->checksumPlugin->checksumByteSize());
    check(self->_pChecksumMem==0);
    if (!isHaveCheck)
        return 1;

    self->_checksumSet = *checksumSet;
    const size_t checksumByteSize = (size_t)self->dirDiffInfo.checksumByteSize;
    const dpatch_StreamPos_t checksumOffset = self->dirDiffInfo.checksumOffset;
    self->_pChecksumMem = (unsigned char*)malloc(checksumByteSize * 5 + 1);
    check(self->_pChecksumMem!=0);
    check(self->_dirDiffData->read(self->_dirDiffData,checksumOffset,
                                      self->_pChecksumMem,self->_pChecksumMem+checksumByteSize*4));
    if (self->_checksumSet.isCheck_diffData) {
        // the diff's own checksum covers every byte of the diff except its own slot
        const dpatch_StreamPos_t skipBegin = checksumOffset + 3 * checksumByteSize;
        if (!_checksum_compare(checksumByteSize, self->_checksumSet.checksumPlugin,
                               self->_pChecksumMem + 3 * checksumByteSize, self->_pChecksumMem + 4 * checksumByteSize,
                               self->_dirDiffData, skipBegin, skipBegin + checksumByteSize))
            self->_isDiffDataChecksumError = 1;
        check(!self->_isDiffDataChecksumError);
    }
    return 1;
}

const char* TDirPatcher_getOldPathByIndex(TDirPatcher* self, size_t oldIndex)
{
    if (!setPath(self->_oldRootDir_end, self->_oldPathBufEnd, self->oldUtf8PathList[oldIndex]))
        return 0;
    return self->_oldPathBuf;
}

const char* TDirPatcher_getOldRefPathByRefIndex(TDirPatcher* self, size_t refIndex)
{
    return TDirPatcher_getOldPathByIndex(self, self->oldRefList[refIndex]);
}

const char* TDirPatcher_getOldPathBySameIndex(TDirPatcher* self, size_t sameIndex)
{
    return TDirPatcher_getOldPathByIndex(self, self->_newDir.dataSamePairList[sameIndex].oldIndex);
}

const char* TDirPatcher_getOldPathByNewPath(TDirPatcher* self, const char* newPath)
{
    (void)newPath; // the relative part is read from the new path buffer, where newPath was built
    if (!self->_newDir._newRootDir_end)
        return 0;
    if (!setPath(self->_oldRootDir_end, self->_oldPathBufEnd, self->_newDir._newRootDir_end))
        return 0;
    return self->_oldPathBuf;
}

static const char* _TDirPatcher_getOldPathByIndex(dpatch_TOldPathListener* oldPathListener, size_t oldIndex)
{
    return TDirPatcher_getOldPathByIndex((TDirPatcher*)oldPathListener->listenerOwner, oldIndex);
}

static BOOL _TDirPatcher_openRes(dpatch_TResHandle* res, const dpatch_TStreamInput** out_pStream)
{
    TDirPatcher* self = (TDirPatcher*)res->resOwner;
    const size_t refIndex = (size_t)(res - self->_resList);
    dpatch_TFileStreamInput* file = &self->_oldFileList[refIndex];
    const char* utf8fileName = TDirPatcher_getOldRefPathByRefIndex(self, refIndex);
    check(utf8fileName!=0);
    check(dpatch_TFileStreamInput_open(file,utf8fileName));
    *out_pStream = &file->base;
    return 1;
}

static BOOL _TDirPatcher_closeRes(dpatch_TResHandle* res, const dpatch_TStreamInput* stream)
{
    (void)stream;
    TDirPatcher* self = (TDirPatcher*)res->resOwner;
    dpatch_TFileStreamInput* file = &self->_oldFileList[res - self->_resList];
    check(dpatch_TFileStreamInput_close(file));
    return 1;
}

BOOL TDirPatcher_openOldRefStream(TDirPatcher* self, size_t maxOpenFileNumber,
                                  const dpatch_TStreamInput** out_oldRefStream)
{
    const size_t refCount = self->dirDiffHead.oldRefFileCount;
    // the diff file and the current new file stay open besides the old files
    const size_t kMaxOpenFileNumber = (maxOpenFileNumber > 2) ? maxOpenFileNumber - 2 : 1;
    self->_pOldRefMem = calloc(refCount ? refCount : 1, sizeof(dpatch_TResHandle) + sizeof(dpatch_TFileStreamInput));
    check(self->_pOldRefMem!=0);
    self->_resList = (dpatch_TResHandle*)self->_pOldRefMem;
    self->_oldFileList = (dpatch_TFileStreamInput*)(self->_resList + refCount);

    dpatch_StreamPos_t sumFSize = 0;
    for (size_t i = 0; i < refCount; ++i) {
        const char* oldRefFileName = TDirPatcher_getOldRefPathByRefIndex(self, i);
        check(oldRefFileName!=0);
        dpatch_TPathType oldPathType = kPathType_notExist;
        dpatch_StreamPos_t fileSize = 0;
        check(dpatch_getPathStat(oldRefFileName,&oldPathType,&fileSize));
        check(oldPathType==kPathType_file);
        dpatch_TResHandle* res = &self->_resList[i];
        res->resOwner = self;
        res->resStreamSize = fileSize;
        res->open = _TDirPatcher_openRes;
        res->close = _TDirPatcher_closeRes;
        sumFSize += fileSize;
    }
    check(sumFSize==self->dirDiffInfo.cdiffInfo.oldDataSize);
    check(dpatch_TResHandleLimit_open(&self->_resLimit,kMaxOpenFileNumber,self->_resList,refCount));
    check(dpatch_TRefStream_open(&self->_oldRefStream,self->_resLimit.streamList,
                                    self->_resLimit.streamCount,1));
    *out_oldRefStream = self->_oldRefStream.stream;
    return 1;
}

BOOL TDirPatcher_checkOldSameFiles(TDirPatcher* self)
{
    for (size_t i = 0; i < self->dirDiffHead.sameFilePairCount; ++i) {
        const char* oldSameFileName = TDirPatcher_getOldPathBySameIndex(self, i);
        check(oldSameFileName!=0);
        dpatch_TPathType oldPathType = kPathType_notExist;
        if (!dpatch_getPathStat(oldSameFileName, &oldPathType, 0) || oldPathType == kPathType_dir) {
            dpatch_fprintf(stderr, "not a regular file, the old side of an unchanged file \"%s\"\n", oldSameFileName);
            return 0;
        }
    }
    return 1;
}

BOOL TDirPatcher_openNewDirStream(TDirPatcher* self, TDirPatchListener* listener,
                                  const dpatch_TStreamOutput** out_newDirStream)
{
    TNewDir* newDir = &self->_newDir;
    const size_t checksumByteSize = (size_t)self->dirDiffInfo.checksumByteSize;
    newDir->isCheck_newRefData = self->_checksumSet.isCheck_newRefData;
    newDir->isCheck_copyFileData = self->_checksumSet.isCheck_copyFileData;
    newDir->checksumPlugin = self->_checksumSet.checksumPlugin;
    newDir->newDataSize = self->dirDiffInfo.cdiffInfo.newDataSize;
    newDir->newPathCount = self->dirDiffHead.newPathCount;
    newDir->newRefFileCount = self->dirDiffHead.newRefFileCount;
    newDir->newExecuteCount = self->dirDiffHead.newExecuteCount;
    newDir->sameFilePairCount = self->dirDiffHead.sameFilePairCount;
    newDir->checksumByteSize = checksumByteSize;
    if (self->_pChecksumMem) {
        newDir->_pStoredChecksums = self->_pChecksumMem + checksumByteSize; // stored checksums 2 and 3
        newDir->_pComputedChecksum = self->_pChecksumMem + 4 * checksumByteSize;
    }
    newDir->_oldPathListener.listenerOwner = self;
    newDir->_oldPathListener.getOldPathByIndex = _TDirPatcher_getOldPathByIndex;
    return TNewDir_open(newDir, listener, 1, out_newDirStream);
}

static BOOL _TDirPatcher_closeOldFileHandles(TDirPatcher* self)
{
    BOOL result = 1;
    if (self->_resLimit.streamList && !dpatch_TResHandleLimit_closeFileHandles(&self->_resLimit))
        result = 0;
    return result;
}

BOOL TDirPatcher_patch(TDirPatcher* self, const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                       unsigned char* temp_cache, unsigned char* temp_cache_end)
{
    dpatch_TStreamInput oldDataInMem;
    if (self->_checksumSet.isCheck_oldRefData) {
        const size_t checksumByteSize = (size_t)self->dirDiffInfo.checksumByteSize;
        const dpatch_StreamPos_t cacheSize = (dpatch_StreamPos_t)(temp_cache_end - temp_cache);
        if (oldData->streamSize <= cacheSize && cacheSize - oldData->streamSize >= kOldDataCacheSpare) {
            // read the old files once for both the checksum and the patch
            const size_t redLen = (size_t)oldData->streamSize;
            check(oldData->read(oldData,0,temp_cache,temp_cache+redLen));
            dpatch_memStreamInput_init(&oldDataInMem, temp_cache, temp_cache + redLen);
            oldData = &oldDataInMem;
            temp_cache += redLen;
        }
        if (!_checksum_compare(checksumByteSize, self->_checksumSet.checksumPlugin, self->_pChecksumMem,
                               self->_pChecksumMem + 4 * checksumByteSize, oldData, 0, 0))
            self->_isOldRefDataChecksumError = 1;
        check(!self->_isOldRefDataChecksumError);
    }
    TStreamInputClip cdiffData;
    TStreamInputClip_init(&cdiffData, self->_dirDiffData, self->dirDiffHead.cdiffDataOffset,
                          self->dirDiffHead.cdiffDataOffset + self->dirDiffHead.cdiffDataSize);
    check(patch_decompress_with_cache(out_newData,oldData,&cdiffData.base,
                                         self->_decompressPlugin,temp_cache,temp_cache_end));
    // a patch that succeeds with paths left would leave files short or missing
    check(self->_newDir._newDirStream.isFinish);
    check_as(_TDirPatcher_closeNewFileHandles(&self->_newDir), "_TDirPatcher_closeNewFileHandles(self)");
    check(_TDirPatcher_closeOldFileHandles(self));
    return 1;
}

BOOL TDirPatcher_closeNewDirStream(TDirPatcher* self)
{
    return TNewDir_close(&self->_newDir);
}

BOOL TDirPatcher_closeOldRefStream(TDirPatcher* self)
{
    BOOL result = 1;
    if (self->_resLimit.streamList) {
        if (!dpatch_TResHandleLimit_closeFileHandles(&self->_resLimit))
            result = 0;
        if (!dpatch_TResHandleLimit_close(&self->_resLimit))
            result = 0;
    }
    memset(&self->_resLimit, 0, sizeof(self->_resLimit));
    if (self->_oldRefStream.stream)
        dpatch_TRefStream_close(&self->_oldRefStream);
    memset(&self->_oldRefStream, 0, sizeof(self->_oldRefStream));
    if (self->_oldFileList) {
        // a file whose stream the limiter refused is still open here
        for (size_t i = 0; i < self->dirDiffHead.oldRefFileCount; ++i) {
            if (!dpatch_TFileStreamInput_close(&self->_oldFileList[i]))
                result = 0;
        }
    }
    self->_resList = 0;
    self->_oldFileList = 0;
    self->_oldPathBuf = 0;
    self->_oldRootDir_end = 0;
    self->_oldPathBufEnd = 0;
    free(self->_pOldRefMem);
    self->_pOldRefMem = 0;
    return result;
}

BOOL TDirPatcher_close(TDirPatcher* self)
{
    BOOL result = TNewDir_close(&self->_newDir);
    if (!TDirPatcher_closeOldRefStream(self))
        result = 0;
    TDirPatcher_finishOldSameRefCount(self);
    free(self->_pChecksumMem);
    self->_pChecksumMem = 0;
    free(self->_pDiffDataMem);
    self->_pDiffDataMem = 0;
    self->oldUtf8PathList = 0;
    self->oldRefList = 0;
    return result;
}

BOOL TDirPatcher_initOldSameRefCount(TDirPatcher* self)
{
    const size_t oldPathCount = self->dirDiffHead.oldPathCount;
    self->_pOldSameRefCount = (dpatch_StreamPos_t*)calloc(oldPathCount ? oldPathCount : 1, sizeof(dpatch_StreamPos_t));
    if (!self->_pOldSameRefCount)
        return 0;
    for (size_t i = 0; i < self->dirDiffHead.sameFilePairCount; ++i)
        ++self->_pOldSameRefCount[self->_newDir.dataSamePairList[i].oldIndex];
    return 1;
}

dpatch_StreamPos_t TDirPatcher_oldSameRefCount(TDirPatcher* self, size_t sameIndex)
{
    return self->_pOldSameRefCount[self->_newDir.dataSamePairList[sameIndex].oldIndex];
}

void TDirPatcher_decOldSameRefCount(TDirPatcher* self, size_t sameIndex)
{
    --self->_pOldSameRefCount[self->_newDir.dataSamePairList[sameIndex].oldIndex];
}

void TDirPatcher_finishOldSameRefCount(TDirPatcher* self)
{
    free(self->_pOldSameRefCount);
    self->_pOldSameRefCount = 0;
}
