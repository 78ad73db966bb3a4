#include "patch/drivers/dir_patch_driver.h"

#include "patch/dir/dir_patcher.h"
#include "patch/drivers/patch_driver_setup.h"
#include "patch/os/file_services.h"

#include <errno.h>
#include <string.h>

#include "patch/core/dpatch_check.h"

namespace
{
// With all old data in the cache only the patch's own handles are open: the diff and one new file.
const size_t kOpenFilesWhenCached = 4;
// The smallest cache the driver ever works with.
const size_t kMinDirDataMemLimit = 32 * 1024;

BOOL endsWithSlash(const char* path)
{
    const size_t len = strlen(path);
    return len > 0 && path[len - 1] == '/';
}

const char* dirSeparatorFor(const char* path, BOOL isDir)
{
    return (isDir && !endsWithSlash(path)) ? "/" : "";
}

// The listener's patchFinish as a closing step: with 1 after a successful patch, else with 0.
struct PatchFinish
{
    TDirPatchListener* listener;
    BOOL isPatchSuccess;
};

BOOL finishPatch(void* what)
{
    PatchFinish* finish = (PatchFinish*)what;
    return finish->listener->patchFinish(finish->listener, finish->isPatchSuccess);
}

BOOL closeNewDir(void* patcher)
{
    return TDirPatcher_closeNewDirStream((TDirPatcher*)patcher);
}

BOOL closeOldRef(void* patcher)
{
    return TDirPatcher_closeOldRefStream((TDirPatcher*)patcher);
}

// What it answers has never decided a run.
BOOL closePatcher(void* patcher)
{
    TDirPatcher_close((TDirPatcher*)patcher);
    return 1;
}

BOOL closeDiff(void* file)
{
    return dpatch_TFileStreamInput_close((dpatch_TFileStreamInput*)file);
}
} // namespace

int runDirPatch(const char* oldPath, const char* diffFileName, const char* outNewPath, BOOL loadOldAll,
                size_t cacheSize, size_t maxOpenFileNumber, TChecksumSet* checksumSet, TDirPatchListener* listener,
                dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize)
{
    const double startTime = dpatch_clockSeconds();
    int result = DPATCH_SUCCESS;
    TDirPatcher dirPatcher;
    dpatch_TFileStreamInput diffData;
    const TDirDiffInfo* dirDiffInfo = 0;
    const dpatch_TStreamInput* oldStream = 0;
    const dpatch_TStreamOutput* newStream = 0;
    const dpatch_TDecompressPlugin* decompressPlugin = 0;
    unsigned char* temp_cache = 0;
    size_t temp_cacheSize = 0;
    dpatch_TPathType oldType = kPathType_file;
    memset(&dirPatcher, 0, sizeof(dirPatcher));
    memset(&diffData, 0, sizeof(diffData));

#define failWith(code, message)                                                                                        \
    do {                                                                                                               \
        dpatch_fprintf(stderr, "%s", message);                                                                         \
        result = code;                                                                                                 \
        goto closeRun;                                                                                                 \
    } while (0)

    if (oldPath[0] != '\0') {
        dpatch_StreamPos_t oldSize = 0;
        if (!dpatch_getPathStat(oldPath, &oldType, &oldSize))
            failWith(DPATCH_PATHTYPE_ERROR, "get oldPath type ERROR!\n");
        if (oldType == kPathType_notExist)
            failWith(DPATCH_PATHTYPE_ERROR, "oldPath not exist ERROR!\n");
    }

    result = dpatch_openDiffWindow(&diffData, diffFileName, diffDataOffert, diffDataSize);
    if (result != DPATCH_SUCCESS)
        goto closeRun;

    if (!TDirPatcher_open(&dirPatcher, &diffData.base, &dirDiffInfo) || !dirDiffInfo->isDirDiff) {
        if (diffData.fileError)
            failWith(DPATCH_FILEREAD_ERROR, "read diffFile ERROR!\n");
        failWith(DIRPATCH_DIRDIFFINFO_ERROR, "is diff file? get dir diff info ERROR!\n");
    }
    if (dirDiffInfo->isOldPathDir) {
        if (oldType != kPathType_dir)
            failWith(DPATCH_PATHTYPE_ERROR, "input old path need dir ERROR!\n");
    } else if (oldType != kPathType_file) {
        failWith(DPATCH_PATHTYPE_ERROR, "input old path need file ERROR!\n");
    }

    dpatch_printf("%s", dirDiffInfo->isOldPathDir ? "old  dir: \"" : "old file: \"");
    dpatch_printf("%s%s", oldPath, dirSeparatorFor(oldPath, dirDiffInfo->isOldPathDir));
    dpatch_printf("\"\ndiffFile: \"");
    dpatch_printf("%s", diffFileName);
    dpatch_printf("%s", dirDiffInfo->isNewPathDir ? "\"\nout  dir: \"" : "\"\nout file: \"");
    dpatch_printf("%s%s", outNewPath, dirSeparatorFor(outNewPath, dirDiffInfo->isNewPathDir));
    dpatch_printf("\"\n");

    result = dpatch_chooseDecompressPlugin(
        dirDiffInfo->cdiffInfo.compressType,
        dirDiffInfo->cdiffInfo.compressedSectionCount + (dirDiffInfo->isDirDataCompressed ? 1 : 0), &decompressPlugin);
    if (result != DPATCH_SUCCESS)
        goto closeRun;

    // The directory data and its tables live within the cache budget the caller gave.
    dirPatcher.dirDataMemLimit = cacheSize > kMinDirDataMemLimit ? cacheSize : kMinDirDataMemLimit;
    if (!TDirPatcher_loadDirData(&dirPatcher, decompressPlugin, oldPath, outNewPath))
        failWith(DIRPATCH_LAOD_DIRDIFFDATA_ERROR, "load dir data in diffFile ERROR!\n");
    // refused like a reference file that is not a regular one, before the listener makes anything
    if (!TDirPatcher_checkOldSameFiles(&dirPatcher))
        failWith(DIRPATCH_OPEN_OLDPATH_ERROR, "open oldFile ERROR!\n");
    if (!listener->patchBegin(listener, &dirPatcher))
        failWith(DIRPATCH_PATCHBEGIN_ERROR, "dir patch begin ERROR!\n");

    if (checksumSet->isCheck_oldRefData + checksumSet->isCheck_newRefData + checksumSet->isCheck_copyFileData +
            checksumSet->isCheck_diffData >
        0) {
        if (dirDiffInfo->checksumType[0] == '\0') {
            dpatch_printf("  NOTE: no checksum saved in diffFile,can not do checksum\n");
            memset(checksumSet, 0, sizeof(*checksumSet));
        } else {
            // no checksum implementation is built into this engine
            checksumSet->checksumPlugin = 0;
            dpatch_fprintf(stderr, "not found checksumType \"%s\" ERROR!\n", dirDiffInfo->checksumType);
            result = DIRPATCH_CHECKSUMTYPE_ERROR;
            goto closeRun;
        }
    }

    {
        const TDirDiffHead* head = &dirPatcher.dirDiffHead;
        const dpatch_StreamPos_t newDataSize = dirDiffInfo->cdiffInfo.newDataSize;
        dpatch_printf("DirPatch new path count: %llu (fileCount:%llu)\n", (unsigned long long)head->newPathCount,
                      (unsigned long long)(head->newRefFileCount + head->sameFilePairCount));
        dpatch_printf("    copy from old count: %llu (dataSize: %llu)\n", (unsigned long long)head->sameFilePairCount,
                      (unsigned long long)head->sameFileSize);
        dpatch_printf("     ref old file count: %llu\n", (unsigned long long)head->oldRefFileCount);
        dpatch_printf("     ref new file count: %llu\n", (unsigned long long)head->newRefFileCount);
        dpatch_printf("oldRefSize  : %llu\ndiffDataSize: %llu\nnewRefSize  : %llu (all newSize: %llu)\n",
                      (unsigned long long)dirDiffInfo->cdiffInfo.oldDataSize,
                      (unsigned long long)diffData.base.streamSize, (unsigned long long)newDataSize,
                      (unsigned long long)(newDataSize + head->sameFileSize));
        if (listener->setProgressTotal)
            listener->setProgressTotal(listener, newDataSize);
    }

    {
        const dpatch_StreamPos_t oldSize = dirDiffInfo->cdiffInfo.oldDataSize;
        result = dpatch_allocRunCache(oldSize, loadOldAll, cacheSize, &temp_cache, &temp_cacheSize);
        if (result != DPATCH_SUCCESS)
            goto closeRun;
        const size_t openFileLimit =
            dpatch_cacheHoldsOldData(temp_cacheSize, oldSize) ? kOpenFilesWhenCached : maxOpenFileNumber;
        if (!TDirPatcher_openOldRefStream(&dirPatcher, openFileLimit, &oldStream))
            failWith(DIRPATCH_OPEN_OLDPATH_ERROR, "open oldFile ERROR!\n");
    }
    if (!TDirPatcher_openNewDirStream(&dirPatcher, listener, &newStream))
        failWith(DIRPATCH_OPEN_NEWPATH_ERROR, "open newFile ERROR!\n");

    if (!TDirPatcher_patch(&dirPatcher, newStream, oldStream, temp_cache, temp_cache + temp_cacheSize)) {
        if (dirPatcher._isOldRefDataChecksumError)
            failWith(DIRPATCH_CHECKSUM_OLDDATA_ERROR, "oldFile checksum ERROR!\n");
        if (dirPatcher._newDir._isCopyDataChecksumError)
            failWith(DIRPATCH_CHECKSUM_COPYDATA_ERROR, "copyOldFile checksum ERROR!\n");
        if (dirPatcher._newDir._isNewRefDataChecksumError)
            failWith(DIRPATCH_CHECKSUM_NEWDATA_ERROR, "newFile checksum ERROR!\n");
        failWith(DIRPATCH_PATCH_ERROR, "dir patch run ERROR!\n");
    }
#undef failWith

closeRun:
    // each failure keeps the run's code, and what comes after it is still closed
    {
        PatchFinish finish = {listener, result == DPATCH_SUCCESS};
        const dpatch_TCloseStep steps[] = {
            {finishPatch, &finish, "dir patch finish ERROR!\n", DIRPATCH_PATCHFINISH_ERROR},
            {closeNewDir, &dirPatcher, "newPath close ERROR!\n", DIRPATCH_CLOSE_NEWPATH_ERROR},
            {closeOldRef, &dirPatcher, "oldPath close ERROR!\n", DIRPATCH_CLOSE_OLDPATH_ERROR},
            {closePatcher, &dirPatcher, "", DPATCH_SUCCESS},
            {closeDiff, &diffData, "diffFile close ERROR!\n", DPATCH_FILECLOSE_ERROR},
        };
        return dpatch_closeRun(result, steps, sizeof(steps) / sizeof(steps[0]), temp_cache,
                               "\ndirpatch dir patch time: ", startTime);
    }
}

static BOOL _default_makeNewDir(TDirPatchListener* listener, const char* pathName)
{
    (void)listener;
    errno = 0;
    if (dpatch_makeDir(pathName))
        return 1;
    dpatch_printOsError("can't make the folder", pathName, 0, errno != 0 ? errno : EEXIST);
    return 0;
}

static BOOL _default_copySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                                  dpatch_TCopyListener* copyListener)
{
    (void)listener;
    errno = 0;
    if (dpatch_copyFile(oldFileName, newFileName, copyListener))
        return 1;
    dpatch_printOsError("can't copy", oldFileName, newFileName, errno != 0 ? errno : EIO);
    return 0;
}

static BOOL _default_openNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile,
                                 const char* newFileName, dpatch_StreamPos_t fileSize)
{
    (void)listener;
    if (dpatch_TFileStreamOutput_open(curNewFile, newFileName, fileSize))
        return 1;
    dpatch_printOsError("can't create", newFileName, 0, errno);
    return 0;
}

static BOOL _default_closeNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile)
{
    (void)listener;
    if (dpatch_TFileStreamOutput_close(curNewFile))
        return 1;
    dpatch_printOsError("can't write", curNewFile->pathName, 0, curNewFile->lastErrno);
    return 0;
}

static BOOL _default_patchBegin(TDirPatchListener* listener, TDirPatcher* dirPatcher)
{
    listener->dirPatcher = dirPatcher;
    return 1;
}

static BOOL _default_patchFinish(TDirPatchListener* listener, BOOL isPatchSuccess)
{
    if (!isPatchSuccess)
        return 1;
    TNewDir* newDir = &((TDirPatcher*)listener->dirPatcher)->_newDir;
    BOOL result = 1;
    for (size_t i = 0; i < newDir->newExecuteCount; ++i) {
        const char* path = TNewDir_getNewExecutePath(newDir, i);
        if (!path || !dpatch_setExecuteTag(path)) {
            dpatch_printf("WARNING: can't set Execute tag to new file \"");
            dpatch_printf("%s", path ? path : "");
            dpatch_printf("\"\n");
            result = 0;
        }
    }
    return result;
}

TDirPatchListener defaultDirPatchListener = {0,
                                             0,
                                             0,
                                             0,
                                             _default_makeNewDir,
                                             _default_copySameFile,
                                             _default_openNewFile,
                                             _default_closeNewFile,
                                             0,
                                             _default_patchBegin,
                                             _default_patchFinish};
