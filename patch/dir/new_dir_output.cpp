#include "patch/dir/new_dir_output.h"

#include "patch/dir/file_copy.h"

#include <stdlib.h>
#include <string.h>

#include "patch/core/dpatch_check.h"

namespace
{
dpatch_StreamPos_t alignUp(dpatch_StreamPos_t size, dpatch_StreamPos_t kAlignSize)
{
    return (size + (kAlignSize - 1)) / kAlignSize * kAlignSize;
}

size_t refPathIndex(const dpatch_TNewStream* self, size_t newRefIndex)
{
    return self->_newRefList ? self->_newRefList[newRefIndex] : newRefIndex;
}
} // namespace

static BOOL _file_entry_end(dpatch_TNewStream* self)
{
    check(!self->isFinish);
    check(self->_curPathIndex==self->_pathCount);
    check(self->_curSamePairIndex==self->_samePairCount);
    self->isFinish = 1;
    check(self->_listener->writedFinish(self->_listener));
    return 1;
}

// Handles paths in order until one waits for data (a new reference file that takes bytes).
static BOOL _file_append_ready(dpatch_TNewStream* self)
{
    while (self->_curPathIndex < self->_pathCount) {
        if (self->_curNewRefIndex < self->_newRefCount &&
            refPathIndex(self, self->_curNewRefIndex) == self->_curPathIndex) {
            check(self->_listener->openNewFile(self->_listener,self->_curNewRefIndex,&self->_curNewFile));
            ++self->_curNewRefIndex;
            if (self->_curNewFile) {
                self->_curWriteToPosEnd += alignUp(self->_curNewFile->streamSize, self->kAlignSize);
                return 1;
            }
            ++self->_curPathIndex;
        } else if (self->_curSamePairIndex < self->_samePairCount &&
                   self->_samePairList[self->_curSamePairIndex].newIndex == self->_curPathIndex) {
            const dpatch_TSameFilePair* pair = &self->_samePairList[self->_curSamePairIndex];
            check(self->_listener->copySameFile(self->_listener,pair->newIndex,pair->oldIndex));
            ++self->_curSamePairIndex;
            ++self->_curPathIndex;
        } else {
            check(self->_listener->makeNewDirOrEmptyFile(self->_listener,self->_curPathIndex));
            ++self->_curPathIndex;
        }
    }
    check(_file_entry_end(self));
    return 1;
}

static BOOL _file_append_part(dpatch_TNewStream* self, dpatch_StreamPos_t writeToPos, const unsigned char* data,
                              const unsigned char* data_end)
{
    const dpatch_StreamPos_t fileSize = self->_curNewFile->streamSize;
    const dpatch_StreamPos_t fileBegin = self->_curWriteToPosEnd - alignUp(fileSize, self->kAlignSize);
    if (writeToPos < fileBegin)
        return 0; // bytes of a file already closed: dropping them would lose data unnoticed
    const dpatch_StreamPos_t filePos = writeToPos - fileBegin;
    if (filePos >= fileSize)
        return 1; // alignment gap: written nowhere
    dpatch_StreamPos_t len = (dpatch_StreamPos_t)(data_end - data);
    if (len > fileSize - filePos)
        len = fileSize - filePos;
    return self->_curNewFile->write(self->_curNewFile, filePos, data, data + len);
}

static BOOL _file_append_end(dpatch_TNewStream* self)
{
    const dpatch_TStreamOutput* file = self->_curNewFile;
    self->_curNewFile = 0;
    if (!self->_listener->closeNewFile(self->_listener, file))
        return 0;
    ++self->_curPathIndex;
    return 1;
}

static BOOL _TNewStream_write(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t writeToPos,
                              const unsigned char* data, const unsigned char* data_end)
{
    dpatch_TNewStream* self = (dpatch_TNewStream*)stream->streamOwner;
    self->_listener->onNewDataWrite(self->_listener, data, data_end);
    while (data < data_end) {
        check(!self->isFinish);
        check(writeToPos<self->_curWriteToPosEnd);
        dpatch_StreamPos_t writeLen = (dpatch_StreamPos_t)(data_end - data);
        if (writeLen > self->_curWriteToPosEnd - writeToPos)
            writeLen = self->_curWriteToPosEnd - writeToPos;
        check(self->_curPathIndex<self->_pathCount);
        if (!_file_append_part(self, writeToPos, data, data + writeLen)) {
            dpatch_fprintf(stderr, "check %s error!\n", "_file_append_part(self,writeToPos,data,data+writeLen)");
            if (self->_listener->onNewFileWriteFailed)
                self->_listener->onNewFileWriteFailed(self->_listener, self->_curNewFile);
            return 0;
        }
        writeToPos += writeLen;
        data += writeLen;
        if (writeToPos == self->_curWriteToPosEnd) {
            check(_file_append_end(self));
            check(_file_append_ready(self));
        }
    }
    return 1;
}

BOOL dpatch_TNewStream_open(dpatch_TNewStream* self, dpatch_TNewStreamListener* listener,
                            dpatch_StreamPos_t newDataSize, size_t newPathCount, const size_t* newRefList,
                            size_t newRefCount, const dpatch_TSameFilePair* samePairList, size_t samePairCount,
                            size_t kAlignSize)
{
    self->stream = &self->_stream;
    self->isFinish = 0;
    self->kAlignSize = kAlignSize ? kAlignSize : 1;
    self->_pathCount = newPathCount;
    self->_newRefList = newRefList;
    self->_newRefCount = newRefCount;
    self->_samePairList = samePairList;
    self->_samePairCount = samePairCount;
    self->_stream.streamOwner = self;
    self->_stream.streamSize = newDataSize;
    self->_stream.readBack = 0;
    self->_stream.write = _TNewStream_write;
    self->_curPathIndex = 0;
    self->_curNewRefIndex = 0;
    self->_curSamePairIndex = 0;
    self->_curWriteToPosEnd = 0;
    self->_curNewFile = 0;
    self->_listener = listener;
    return _file_append_ready(self);
}

BOOL dpatch_TNewStream_closeFileHandles(dpatch_TNewStream* self)
{
    const dpatch_TStreamOutput* file = self->_curNewFile;
    if (!file)
        return 1;
    self->_curNewFile = 0;
    return self->_listener->closeNewFile(self->_listener, file);
}

BOOL dpatch_TNewStream_close(dpatch_TNewStream* self)
{
    return dpatch_TNewStream_closeFileHandles(self);
}

const char* TNewDir_getNewPathRoot(TNewDir* self)
{
    if (!setPath(self->_newRootDir_end, self->_newPathBufEnd, ""))
        return 0;
    return self->_newPathBuf;
}

const char* TNewDir_getNewPathByIndex(TNewDir* self, size_t newPathIndex)
{
    if (!setPath(self->_newRootDir_end, self->_newPathBufEnd, self->newUtf8PathList[newPathIndex]))
        return 0;
    return self->_newPathBuf;
}

const char* TNewDir_getNewPathByRefIndex(TNewDir* self, size_t newRefIndex)
{
    return TNewDir_getNewPathByIndex(self, self->newRefList[newRefIndex]);
}

const char* TNewDir_getNewExecutePath(TNewDir* self, size_t executeIndex)
{
    return TNewDir_getNewPathByIndex(self, self->newExecuteList[executeIndex]);
}

const char* TNewDir_getNewPathBySameIndex(TNewDir* self, size_t sameIndex)
{
    return TNewDir_getNewPathByIndex(self, self->dataSamePairList[sameIndex].newIndex);
}

const char* TNewDir_getOldPathBySameIndex(TNewDir* self, size_t sameIndex)
{
    if (!self->_oldPathListener.getOldPathByIndex)
        return 0;
    return self->_oldPathListener.getOldPathByIndex(&self->_oldPathListener,
                                                    self->dataSamePairList[sameIndex].oldIndex);
}

static BOOL _makeNewDirOrEmptyFile(dpatch_TNewStreamListener* listener, size_t pathIndex)
{
    TNewDir* self = (TNewDir*)listener->listenerOwner;
    const char* pathName = TNewDir_getNewPathByIndex(self, pathIndex);
    check(pathName!=0);
    const size_t len = strlen(pathName);
    if (len > 0 && pathName[len - 1] == '/') {
        check(self->_listener->makeNewDir(self->_listener,pathName));
        return 1;
    }
    check(self->_listener->openNewFile(self->_listener,self->_curNewFile,pathName,0));
    check(!self->_curNewFile->fileError);
    check(self->_listener->closeNewFile(self->_listener,self->_curNewFile));
    memset(self->_curNewFile, 0, sizeof(*self->_curNewFile));
    return 1;
}

static BOOL _TNewDir_copySameFile(dpatch_TNewStreamListener* listener, size_t newIndex, size_t oldIndex)
{
    TNewDir* self = (TNewDir*)listener->listenerOwner;
    const char* newFileName = TNewDir_getNewPathByIndex(self, newIndex);
    check(newFileName!=0);
    check(self->_oldPathListener.getOldPathByIndex!=0);
    // built in the old path buffer, so both names stay valid together
    const char* oldFileName = self->_oldPathListener.getOldPathByIndex(&self->_oldPathListener, oldIndex);
    check(oldFileName!=0);
    check(self->_listener->copySameFile(self->_listener,oldFileName,newFileName,
                                           self->isCheck_copyFileData?(&self->_sameFileCopyListener):0));
    return 1;
}

static BOOL _TNewDir_openNewFile(dpatch_TNewStreamListener* listener, size_t newRefIndex,
                                 const dpatch_TStreamOutput** out_curNewFile)
{
    TNewDir* self = (TNewDir*)listener->listenerOwner;
    const dpatch_StreamPos_t fileSize = self->newRefSizeList[newRefIndex];
    const size_t newPathIndex = self->newRefList[newRefIndex];
    if (fileSize == 0) {
        check(_makeNewDirOrEmptyFile(listener,newPathIndex));
        *out_curNewFile = 0;
        return 1;
    }
    const char* utf8fileName = TNewDir_getNewPathByIndex(self, newPathIndex);
    check(utf8fileName!=0);
    check(self->_listener->openNewFile(self->_listener,self->_curNewFile,
                                          utf8fileName,fileSize));
    *out_curNewFile = &self->_curNewFile->base;
    return 1;
}

static BOOL _TNewDir_closeNewFile(dpatch_TNewStreamListener* listener, const dpatch_TStreamOutput* curNewFile)
{
    (void)curNewFile; // always the one record in _curNewFile
    TNewDir* self = (TNewDir*)listener->listenerOwner;
    // a file with a failed write stays open here and is closed by the final close
    check(!self->_curNewFile->fileError);
    check(self->_listener->closeNewFile(self->_listener,self->_curNewFile));
    memset(self->_curNewFile, 0, sizeof(*self->_curNewFile));
    return 1;
}

static void _TNewDir_onNewDataWrite(dpatch_TNewStreamListener* listener, const unsigned char* data,
                                    const unsigned char* data_end)
{
    TNewDir* self = (TNewDir*)listener->listenerOwner;
    if (self->isCheck_newRefData)
        self->checksumPlugin->append(self->_newRefChecksumHandle, data, data_end);
    if (self->_listener->addProgress)
        self->_listener->addProgress(self->_listener, (dpatch_StreamPos_t)(data_end - data));
}

static void _TNewDir_onCopyData(dpatch_TCopyListener* listener, const unsigned char* data,
                                const unsigned char* data_end)
{
    TNewDir* self = (TNewDir*)listener->listenerOwner;
    if (self->isCheck_copyFileData)
        self->checksumPlugin->append(self->_sameFileChecksumHandle, data, data_end);
}

static void _TNewDir_onNewFileWriteFailed(dpatch_TNewStreamListener* listener, const dpatch_TStreamOutput* curNewFile)
{
    (void)curNewFile; // always the one record in _curNewFile
    TNewDir* self = (TNewDir*)listener->listenerOwner;
    if (self->_curNewFile->lastErrno != 0)
        dpatch_printOsError("can't write", self->_curNewFile->pathName, 0, self->_curNewFile->lastErrno);
}

static BOOL _endChecksum(TNewDir* self, dpatch_TChecksumHandle* pHandle, const unsigned char* stored)
{
    dpatch_TChecksumHandle handle = *pHandle;
    *pHandle = 0;
    self->checksumPlugin->end(handle, self->_pComputedChecksum, self->_pComputedChecksum + self->checksumByteSize);
    self->checksumPlugin->close(self->checksumPlugin, handle);
    return 0 == memcmp(self->_pComputedChecksum, stored, self->checksumByteSize);
}

static BOOL _TNewDir_writedFinish(dpatch_TNewStreamListener* listener)
{
    TNewDir* self = (TNewDir*)listener->listenerOwner;
    if (self->isCheck_newRefData && !_endChecksum(self, &self->_newRefChecksumHandle, self->_pStoredChecksums))
        self->_isNewRefDataChecksumError = 1;
    if (self->isCheck_copyFileData &&
        !_endChecksum(self, &self->_sameFileChecksumHandle, self->_pStoredChecksums + self->checksumByteSize))
        self->_isCopyDataChecksumError = 1;
    check(!self->_isNewRefDataChecksumError);
    check(!self->_isCopyDataChecksumError);
    return 1;
}

BOOL TNewDir_open(TNewDir* self, TDirPatchListener* listener, size_t kAlignSize,
                  const dpatch_TStreamOutput** out_newDirStream)
{
    const size_t refCount = self->newRefFileCount;
    self->_listener = listener;
    self->_pmem = calloc(1, sizeof(dpatch_TFileStreamOutput));
    check(self->_pmem!=0);
    self->_curNewFile = (dpatch_TFileStreamOutput*)self->_pmem;

    self->_newDirStreamListener.listenerOwner = self;
    self->_newDirStreamListener.makeNewDirOrEmptyFile = _makeNewDirOrEmptyFile;
    self->_newDirStreamListener.copySameFile = _TNewDir_copySameFile;
    self->_newDirStreamListener.openNewFile = _TNewDir_openNewFile;
    self->_newDirStreamListener.closeNewFile = _TNewDir_closeNewFile;
    self->_newDirStreamListener.onNewDataWrite = _TNewDir_onNewDataWrite;
    self->_newDirStreamListener.writedFinish = _TNewDir_writedFinish;
    self->_newDirStreamListener.onNewFileWriteFailed = _TNewDir_onNewFileWriteFailed;

    if (self->isCheck_newRefData) {
        self->_newRefChecksumHandle = self->checksumPlugin->open(self->checksumPlugin);
        check(self->_newRefChecksumHandle!=0);
        self->checksumPlugin->begin(self->_newRefChecksumHandle);
    }
    if (self->isCheck_copyFileData) {
        self->_sameFileChecksumHandle = self->checksumPlugin->open(self->checksumPlugin);
        check(self->_sameFileChecksumHandle!=0);
        self->checksumPlugin->begin(self->_sameFileChecksumHandle);
        self->_sameFileCopyListener.listenerOwner = self;
        self->_sameFileCopyListener.onCopyData = _TNewDir_onCopyData;
    }
    check(dpatch_TNewStream_open(&self->_newDirStream,&self->_newDirStreamListener,
                                    self->newDataSize,self->newPathCount,
                                    self->newRefList,refCount,self->dataSamePairList,
                                    self->sameFilePairCount,kAlignSize));
    *out_newDirStream = self->_newDirStream.stream;
    return 1;
}

BOOL _TDirPatcher_closeNewFileHandles(TNewDir* self)
{
    BOOL result = 1;
    if (self->_newDirStream._listener && !dpatch_TNewStream_closeFileHandles(&self->_newDirStream))
        result = 0;
    if (self->_curNewFile) {
        // closes a file whose listener close was refused or never came
        if (!dpatch_TFileStreamOutput_close(self->_curNewFile))
            result = 0;
        memset(self->_curNewFile, 0, sizeof(*self->_curNewFile));
    }
    return result;
}

BOOL TNewDir_close(TNewDir* self)
{
    BOOL result = _TDirPatcher_closeNewFileHandles(self);
    if (self->_newDirStream._listener && !dpatch_TNewStream_close(&self->_newDirStream))
        result = 0;
    self->_newPathBuf = 0;
    self->_newRootDir_end = 0;
    self->_newPathBufEnd = 0;
    self->_curNewFile = 0;
    if (self->_newRefChecksumHandle) {
        self->checksumPlugin->close(self->checksumPlugin, self->_newRefChecksumHandle);
        self->_newRefChecksumHandle = 0;
    }
    if (self->_sameFileChecksumHandle) {
        self->checksumPlugin->close(self->checksumPlugin, self->_sameFileChecksumHandle);
        self->_sameFileChecksumHandle = 0;
    }
    free(self->_pmem);
    self->_pmem = 0;
    return result;
}

BOOL dpatch_copyFile(const char* oldFileName, const char* newFileName, dpatch_TCopyListener* copyListener)
{
    const char* newFileName_utf8 = newFileName;
    check(newFileName_utf8!=0);
    return dpatch_copyFileByFastestWay(oldFileName, newFileName_utf8, copyListener, 0);
}

BOOL dpatch_readFileToListener(const char* oldFileName, dpatch_TCopyListener* copyListener)
{
    return dpatch_copyFileByFastestWay(oldFileName, 0, copyListener, 0);
}
