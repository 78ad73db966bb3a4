#include "patch/drivers/old_dir_verifier.h"

#include "patch/core/streams.h"
#include "patch/os/file_services.h"

#include <stdlib.h>
#include <string.h>

#include "patch/core/dpatch_check.h"

namespace
{
const size_t kMinBufCapacity = 16384;
// A head shorter than this can't be complete, so shorter prefixes are not even looked at.
const size_t kMinHeadReadSize = 944;
const size_t kMaxTypeTextSize = 260;

typedef const char* (*TGetPath)(TDirPatcher* self, size_t index);

const unsigned char* _pchecksumSlot(TDirPatcher* self, size_t slot)
{
    if (!self->_pChecksumMem)
        return 0;
    return self->_pChecksumMem + slot * (size_t)self->dirDiffInfo.checksumByteSize;
}

const unsigned char* _pchecksumOldRef(TDirPatcher* self)
{
    return _pchecksumSlot(self, 0);
}

const unsigned char* _pchecksumCopyFile(TDirPatcher* self)
{
    return _pchecksumSlot(self, 2);
}

BOOL checksumOneFile(dpatch_TChecksumPlugin* checksumPlugin, dpatch_TChecksumHandle csHandle, const char* fileName,
                     dpatch_StreamPos_t* sumFileSize)
{
    BOOL result = 1;
    dpatch_TFileStreamInput fileData;
    memset(&fileData, 0, sizeof(fileData));
    check(fileName!=0);
    check(dpatch_TFileStreamInput_open(&fileData,fileName));
    // sizes are added without wrapping, so a sum that passed 2^64 can't match the stored one
    if (fileData.base.streamSize > ~(dpatch_StreamPos_t)0 - *sumFileSize)
        *sumFileSize = ~(dpatch_StreamPos_t)0;
    else
        *sumFileSize += fileData.base.streamSize;
    if (checksumPlugin)
        check_clear(_checksum_append(checksumPlugin,csHandle, &fileData.base,0,fileData.base.streamSize));
clear:
    if (!dpatch_TFileStreamInput_close(&fileData)) {
        dpatch_fprintf(stderr, "check dpatch_TFileStreamInput_close(&fileData) error!\n");
        result = 0;
    }
    return result;
}

BOOL _do_checksumFiles(TDirPatcher* self, dpatch_StreamPos_t fileCount, TGetPath getPath,
                       const unsigned char* checksumTest, dpatch_StreamPos_t sumFileSizeTest)
{
    BOOL result = 1;
    dpatch_TChecksumPlugin* checksumPlugin = self->_checksumSet.checksumPlugin;
    dpatch_TChecksumHandle csHandle = 0;
    dpatch_StreamPos_t sumFileSize = 0;
    if (checksumPlugin) {
        check(checksumTest!=0);
        csHandle = checksumPlugin->open(checksumPlugin);
        check(csHandle!=0);
        checksumPlugin->begin(csHandle);
    }
    for (dpatch_StreamPos_t i = 0; i < fileCount; ++i)
        check_clear(checksumOneFile(checksumPlugin, csHandle, getPath(self, (size_t)i), &sumFileSize));
    check_clear(sumFileSize==sumFileSizeTest);
    if (checksumPlugin) {
        const size_t checksumByteSize = (size_t)self->dirDiffInfo.checksumByteSize;
        unsigned char* checksumTemp = self->_pChecksumMem + 4 * checksumByteSize;
        checksumPlugin->end(csHandle, checksumTemp, checksumTemp + checksumByteSize);
        check_clear(0==memcmp(checksumTest,checksumTemp,checksumByteSize));
    }
clear:
    if (csHandle)
        checksumPlugin->close(checksumPlugin, csHandle);
    return result;
}

BOOL growBuffer(TOldDirVerifier* self, size_t appendSize)
{
    const size_t used = (size_t)(self->_diffBufCur - self->_diffBuf);
    const size_t capacity = (size_t)(self->_diffBufEnd - self->_diffBuf);
    dpatch_byte* newMem = 0;
    size_t newCapacity = kMinBufCapacity;
    // the capacity must exceed capacity + appendSize; a request that would wrap can't be met
    if (appendSize <= ~(size_t)0 - capacity) {
        const size_t needed = capacity + appendSize;
        while (newCapacity <= needed && newCapacity <= (~(size_t)0 >> 1))
            newCapacity <<= 1;
        if (newCapacity > needed)
            newMem = (dpatch_byte*)malloc(newCapacity);
    }
    check(newMem!=0);
    if (used > 0)
        memcpy(newMem, self->_diffBuf, used);
    free(self->_diffBuf);
    self->_diffBuf = newMem;
    self->_diffBufCur = newMem + used;
    self->_diffBufEnd = newMem + newCapacity;
    return 1;
}
} // namespace

BOOL TOldDirVerifier_append(TOldDirVerifier* self, const dpatch_byte* part, const dpatch_byte* part_end,
                            BOOL* out_isAppendContinue)
{
    check((!self->_isOpened)||(!self->_isAppendStoped));
    const size_t appendSize = part_end > part ? (size_t)(part_end - part) : 0;
    if (appendSize > (size_t)(self->_diffBufEnd - self->_diffBufCur)) {
        if (!growBuffer(self, appendSize))
            return 0;
    }
    if (appendSize > 0) {
        memcpy(self->_diffBufCur, part, appendSize);
        self->_diffBufCur += appendSize;
    }
    const size_t dataSize = (size_t)(self->_diffBufCur - self->_diffBuf);
    if (!self->_isOpened) {
        if (appendSize > 0 && dataSize <= kMinHeadReadSize) {
            *out_isAppendContinue = 1;
            return 1;
        }
        dpatch_memStreamInput_init(&self->_diffStream, self->_diffBuf, self->_diffBufCur);
        check(_read_dirdiff_head(&self->_dirPatcher.dirDiffInfo,&self->_dirPatcher.dirDiffHead, &self->_diffStream,out_isAppendContinue));
        // The reader can't tell a short prefix from data of another type; once a whole type text could
        // have been read (or no more data comes) a missing directory-diff type is final.
        if (!self->_dirPatcher.dirDiffInfo.isDirDiff && (dataSize > kMaxTypeTextSize || appendSize == 0))
            *out_isAppendContinue = 0;
        if (*out_isAppendContinue) {
            memset(&self->_dirPatcher.dirDiffInfo, 0, sizeof(self->_dirPatcher.dirDiffInfo));
            memset(&self->_dirPatcher.dirDiffHead, 0, sizeof(self->_dirPatcher.dirDiffHead));
            return 1;
        }
        self->_isOpened = 1;
        check(self->_dirPatcher.dirDiffInfo.isDirDiff);
        self->_dirPatcher._dirDiffData = &self->_diffStream;
    }
    const dpatch_StreamPos_t needed = self->_dirPatcher.dirDiffHead.privateExternDataOffset;
    if ((dpatch_StreamPos_t)dataSize < needed) {
        check(appendSize>0);
        *out_isAppendContinue = 1;
        return 1;
    }
    self->_isAppendStoped = 1;
    *out_isAppendContinue = 0;
    // the directory data and the checksums lie before the private data; what follows plays no part
    dpatch_memStreamInput_init(&self->_diffStream, self->_diffBuf, self->_diffBuf + (size_t)needed);
    return 1;
}

BOOL TOldDirVerifier_checksum(TOldDirVerifier* self, const dpatch_TDecompressPlugin* decompressPlugin,
                              dpatch_TChecksumPlugin* checksumPlugin, const char* oldPath_utf8)
{
    check(self->_isOpened&&self->_isAppendStoped);
    if (checksumPlugin) {
        TChecksumSet checksumSet;
        memset(&checksumSet, 0, sizeof(checksumSet));
        checksumSet.checksumPlugin = checksumPlugin;
        checksumSet.isCheck_oldRefData = 1;
        checksumSet.isCheck_newRefData = 0;
        checksumSet.isCheck_copyFileData = 1;
        checksumSet.isCheck_diffData = 0;
        check(TDirPatcher_checksum(&self->_dirPatcher,&checksumSet));
    }
    check(TDirPatcher_loadDirData(&self->_dirPatcher,decompressPlugin,oldPath_utf8,""));
    check(_do_checksumFiles(&self->_dirPatcher,self->_dirPatcher.dirDiffHead.sameFilePairCount, TDirPatcher_getOldPathBySameIndex,_pchecksumCopyFile(&self->_dirPatcher), self->_dirPatcher.dirDiffHead.sameFileSize));
    check(_do_checksumFiles(&self->_dirPatcher,self->_dirPatcher.dirDiffHead.oldRefFileCount, TDirPatcher_getOldRefPathByRefIndex,_pchecksumOldRef(&self->_dirPatcher), self->_dirPatcher.dirDiffInfo.cdiffInfo.oldDataSize));
    return 1;
}

const char* TOldDirVerifier_getChecksumType(const TOldDirVerifier* self)
{
    return self->_dirPatcher.dirDiffInfo.checksumType;
}

const char* TOldDirVerifier_getCompressType(const TOldDirVerifier* self)
{
    return self->_dirPatcher.dirDiffInfo.cdiffInfo.compressType;
}

BOOL TOldDirVerifier_close(TOldDirVerifier* self)
{
    free(self->_diffBuf);
    self->_diffBuf = 0;
    self->_diffBufCur = 0;
    self->_diffBufEnd = 0;
    return TDirPatcher_close(&self->_dirPatcher);
}
