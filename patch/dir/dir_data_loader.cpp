// Loading the directory data of a diff into the patcher: path texts, reference lists, same-file pairs
// and the execute list, all in one block sized from the head.
#include "patch/core/streams.h"
#include "patch/dir/dir_patch_check.h"
#include "patch/dir/dir_patcher.h"
#include "patch/dir/res_handle_limit.h"

#include <stdlib.h>
#include <string.h>

namespace
{
const size_t kPathBufSize = 2048;

BOOL addTo(dpatch_StreamPos_t* sum, dpatch_StreamPos_t value)
{
    return !__builtin_add_overflow(*sum, value, sum);
}

BOOL addTimesTo(dpatch_StreamPos_t* sum, dpatch_StreamPos_t value, dpatch_StreamPos_t times)
{
    dpatch_StreamPos_t product = 0;
    return !__builtin_mul_overflow(value, times, &product) && addTo(sum, product);
}
} // namespace

// Every path text holds at least its NUL and every stored list entry at least one byte, so counts
// that the sizes can't hold come from a damaged or hostile head and must not size an allocation.
static BOOL _dirDataCountsFit(const TDirDiffHead* head)
{
    if (head->oldPathCount > head->oldPathSumSize || head->newPathCount > head->newPathSumSize)
        return 0;
    dpatch_StreamPos_t minSize = head->oldPathSumSize;
    return addTo(&minSize, head->newPathSumSize) && addTo(&minSize, head->oldRefFileCount) &&
           addTimesTo(&minSize, head->newRefFileCount, 2) && addTimesTo(&minSize, head->sameFilePairCount, 2) &&
           addTo(&minSize, head->newExecuteCount) && addTo(&minSize, head->privateReservedDataSize) &&
           minSize <= head->headDataSize;
}

// The directory data block: the path texts, 8 bytes per list entry and path, and room for the two path
// buffers (512 entries of 8 bytes).
static BOOL _dirDataBlockSize(const TDirDiffHead* head, dpatch_StreamPos_t* out_size)
{
    dpatch_StreamPos_t itemCount = head->oldPathCount;
    *out_size = head->oldPathSumSize;
    return addTo(out_size, head->newPathSumSize) && addTo(&itemCount, head->newPathCount) &&
           addTo(&itemCount, head->oldRefFileCount) && addTimesTo(&itemCount, head->newRefFileCount, 2) &&
           addTimesTo(&itemCount, head->sameFilePairCount, 2) && addTo(&itemCount, head->newExecuteCount) &&
           addTo(&itemCount, 512) && addTimesTo(out_size, itemCount, 8);
}

dpatch_StreamPos_t TDirPatcher_dirDataMemSize(const TDirDiffHead* head)
{
    // Besides the block: per old reference file its handle, its stream, its range end and the limiter's
    // proxy; per old path the same-file reference count an in-place patch keeps.
    const dpatch_StreamPos_t perOldRef = sizeof(dpatch_TResHandle) + sizeof(dpatch_TFileStreamInput) +
                                         sizeof(dpatch_StreamPos_t) + dpatch_TResHandleLimit_memPerResource();
    dpatch_StreamPos_t size = 0;
    if (!_dirDataBlockSize(head, &size) || !addTimesTo(&size, head->oldRefFileCount, perOldRef) ||
        !addTimesTo(&size, head->oldPathCount, sizeof(dpatch_StreamPos_t)))
        return 0;
    return size;
}

// Counts come from the head and compressed directory data can decode to far more than the diff
// holds, so the memory they ask for is weighed against the patcher's limit before any is taken.
static BOOL _dirDataFitsMemLimit(const TDirPatcher* self)
{
    const dpatch_StreamPos_t limit = self->dirDataMemLimit ? self->dirDataMemLimit : kDirDataMemLimitDefault;
    const dpatch_StreamPos_t size = TDirPatcher_dirDataMemSize(&self->dirDiffHead);
    // The directory data is also decoded whole once (compressed data keeps up to its size in the
    // decoder's window), so its own size counts against the limit as well.
    if (size != 0 && size <= limit && size <= (size_t) ~(size_t)0 && self->dirDiffHead.headDataSize <= limit)
        return 1;
    dpatch_fprintf(stderr, "directory data needs more memory than the limit of %llu bytes\n",
                   (unsigned long long)limit);
    return 0;
}

// The decompressed size of compressed directory data is only claimed by the head; decoding it once
// before the block is sized keeps a small diff from reserving memory for data it doesn't hold.
static BOOL _dirDataDecodesToSize(TDirPatcher* self, const dpatch_TDecompressPlugin* decompressPlugin)
{
    const TDirDiffHead* head = &self->dirDiffHead;
    if (head->headDataCompressedSize == 0)
        return 1; // stored raw: getStreamClip already tested it against the diff's size
    TStreamCacheClip clip;
    _TDecompressInputStream decompresser;
    unsigned char temp_cache[dpatch_kStreamCacheSize];
    dpatch_StreamPos_t curPos = head->headDataOffset;
    memset(&decompresser, 0, sizeof(decompresser));
    BOOL result = getStreamClip(&clip, &decompresser, head->headDataSize, head->headDataCompressedSize,
                                self->_dirDiffData, &curPos, decompressPlugin, temp_cache, dpatch_kStreamCacheSize);
    if (result)
        result = _TStreamCacheClip_skipData(&clip, head->headDataSize);
    if (decompresser.decompressHandle)
        decompressPlugin->close(decompressPlugin, decompresser.decompressHandle);
    return result;
}

// A single-file side appends its entry to the file's own path, so any entry but "" would name a
// sibling of that file.
static BOOL _pathsStayInRoot(const char* const* pathList, size_t pathCount, BOOL isDirSide)
{
    for (size_t i = 0; i < pathCount; ++i) {
        if (!dpatch_isSafeRelativePath(pathList[i]) || (!isDirSide && pathList[i][0] != '\0')) {
            dpatch_fprintf(stderr, "refused path \"%s\" in directory data: it leaves its root\n", pathList[i]);
            return 0;
        }
    }
    return 1;
}

// More new reference bytes than the embedded diff writes would end the patch inside a file and
// leave the rest of the new directory unwritten.
static BOOL _newRefSizesFitNewData(const TDirPatcher* self)
{
    dpatch_StreamPos_t sum = 0;
    for (size_t i = 0; i < self->dirDiffHead.newRefFileCount; ++i) {
        if (!addTo(&sum, self->_newDir.newRefSizeList[i]))
            return 0;
    }
    return sum <= self->dirDiffInfo.cdiffInfo.newDataSize;
}

static char* _setRoot(char* pathBuf, char* pathBufEnd, const char* rootPath, BOOL isDir)
{
    char* rootEnd = setDirPath(pathBuf, pathBufEnd, rootPath);
    if (rootEnd && !isDir && rootEnd > pathBuf && rootEnd[-1] == '/') {
        // a single file: its entry in the path list is appended to the path itself
        --rootEnd;
        *rootEnd = '\0';
    }
    return rootEnd;
}

BOOL TDirPatcher_loadDirData(TDirPatcher* self, const dpatch_TDecompressPlugin* decompressPlugin,
                             const char* oldPath_utf8, const char* newPath_utf8)
{
    BOOL result = 1;
    const TDirDiffHead* head = &self->dirDiffHead;
    TStreamCacheClip headStream;
    _TDecompressInputStream decompresser;
    unsigned char temp_cache[dpatch_kStreamCacheSize];
    dpatch_StreamPos_t curPos = head->headDataOffset;
    const dpatch_StreamPos_t pathSumSize = head->oldPathSumSize + head->newPathSumSize;
    const size_t pathCount = head->oldPathCount + head->newPathCount;
    unsigned char* curMem = 0;
    memset(&decompresser, 0, sizeof(decompresser));

    self->_decompressPlugin = decompressPlugin;
    check_as((head->headDataCompressedSize == 0 || decompressPlugin != 0) &&
                 getStreamClip(&headStream, &decompresser, head->headDataSize, head->headDataCompressedSize,
                               self->_dirDiffData, &curPos, decompressPlugin, temp_cache, dpatch_kStreamCacheSize),
             "getStreamClip(&headStream,&decompresser,self->dirDiffHead.headDataSize, "
             "self->dirDiffHead.headDataCompressedSize,self->_dirDiffData,&curPos, "
             "decompressPlugin,temp_cache,dpatch_kStreamCacheSize)");
    check_clear(_dirDataCountsFit(head));
    check_clear(_dirDataFitsMemLimit(self));
    check_clear(_dirDataDecodesToSize(self,decompressPlugin));
    {
        dpatch_StreamPos_t memSize = 0;
        check_clear(_dirDataBlockSize(head,&memSize));
        self->_pDiffDataMem = malloc((size_t)memSize);
        check_clear(self->_pDiffDataMem!=0);
    }
    curMem = (unsigned char*)self->_pDiffDataMem;
    self->_newDir.newRefSizeList = (const dpatch_StreamPos_t*)curMem;
    curMem += 8 * head->newRefFileCount;
    self->oldUtf8PathList = (const char**)curMem;
    self->_newDir.newUtf8PathList = self->oldUtf8PathList + head->oldPathCount;
    curMem += 8 * pathCount;
    self->oldRefList = (const size_t*)curMem;
    curMem += 8 * head->oldRefFileCount;
    self->_newDir.newRefList = (const size_t*)curMem;
    curMem += 8 * head->newRefFileCount;
    self->_newDir.newExecuteList = (const size_t*)curMem;
    curMem += 8 * head->newExecuteCount;
    self->_newDir.dataSamePairList = (const dpatch_TSameFilePair*)curMem;
    curMem += 16 * head->sameFilePairCount;
    self->_oldPathBuf = (char*)curMem;
    curMem += kPathBufSize;
    self->_oldPathBufEnd = (char*)curMem;
    self->_newDir._newPathBuf = (char*)curMem;
    curMem += kPathBufSize;
    self->_newDir._newPathBufEnd = (char*)curMem;

    self->_oldRootDir_end =
        _setRoot(self->_oldPathBuf, self->_oldPathBufEnd, oldPath_utf8, self->dirDiffInfo.isOldPathDir);
    check_clear(0!=self->_oldRootDir_end);
    self->_newDir._newRootDir_end =
        _setRoot(self->_newDir._newPathBuf, self->_newDir._newPathBufEnd, newPath_utf8, self->dirDiffInfo.isNewPathDir);
    check_clear(0!=self->_newDir._newRootDir_end);

    check_clear(_TStreamCacheClip_readDataTo(&headStream,curMem,curMem+pathSumSize));
    curMem += pathSumSize;
    check_clear(clipCStrsTo((const char*)curMem-pathSumSize,(const char*)curMem,
                              (const char**)self->oldUtf8PathList,head->oldPathCount+head->newPathCount));
    check_clear(_pathsStayInRoot(self->oldUtf8PathList,head->oldPathCount,self->dirDiffInfo.isOldPathDir));
    check_clear(_pathsStayInRoot(self->_newDir.newUtf8PathList,head->newPathCount,self->dirDiffInfo.isNewPathDir));
    check_clear(readIncListTo(&headStream,(size_t*)self->oldRefList,head->oldRefFileCount,head->oldPathCount));
    check_clear(readIncListTo(&headStream,(size_t*)self->_newDir.newRefList,head->newRefFileCount,head->newPathCount));
    check_clear(readListTo(&headStream,(dpatch_StreamPos_t*)self->_newDir.newRefSizeList,head->newRefFileCount));
    check_clear(readSamePairListTo(&headStream,(dpatch_TSameFilePair*)self->_newDir.dataSamePairList,head->sameFilePairCount,
                                     head->newPathCount,head->oldPathCount));
    check_clear(readIncListTo(&headStream,(size_t*)self->_newDir.newExecuteList,head->newExecuteCount,head->newPathCount));
    check_clear(_TStreamCacheClip_streamSize(&headStream)==self->dirDiffHead.privateReservedDataSize);
    check_clear(_newRefSizesFitNewData(self));

clear:
    if (decompresser.decompressHandle) {
        if (!decompressPlugin->close(decompressPlugin, decompresser.decompressHandle))
            result = 0;
        decompresser.decompressHandle = 0;
    }
    return result;
}
