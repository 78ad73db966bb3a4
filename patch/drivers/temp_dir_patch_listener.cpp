#include "patch/drivers/temp_dir_patch_listener.h"

#include "patch/dir/dir_patcher.h"
#include "patch/dir/new_dir_output.h"
#include "patch/os/file_services.h"

#include <string.h>
#include <sys/stat.h>

#include "patch/core/dpatch_check.h"

namespace
{
BOOL endsWithSlash(const char* path)
{
    const size_t len = strlen(path);
    return len > 0 && path[len - 1] == '/';
}

void pathError(const char* text, const char* path)
{
    dpatch_fprintf(stderr, "%s", text);
    dpatch_fprintf(stderr, "%s", path ? path : "");
    dpatch_fprintf(stderr, "\"  ERROR!\n");
}

void pathNote(const char* text, const char* path)
{
    dpatch_printf("%s", text);
    dpatch_printf("%s", path ? path : "");
    dpatch_printf("\"\n");
}

BOOL pathExists(const char* path, BOOL* out_isDir)
{
    dpatch_TPathType type = kPathType_notExist;
    if (!dpatch_getPathStat(path, &type, 0))
        return 1; // can't tell: treat as present
    if (out_isDir)
        *out_isDir = type == kPathType_dir;
    return type != kPathType_notExist;
}

BOOL _temp_makeNewDir(TDirPatchListener* listener, const char* pathName)
{
    (void)listener;
    return dpatch_makeDir(pathName);
}

BOOL _temp_openNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
                       dpatch_StreamPos_t fileSize)
{
    (void)listener;
    return dpatch_TFileStreamOutput_open(curNewFile, newFileName, fileSize);
}

BOOL _temp_closeNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile)
{
    (void)listener;
    return dpatch_TFileStreamOutput_close(curNewFile);
}

// The first symbolic link among the components of path after its first rootSize bytes (the root
// the caller named may itself be a link), or none. A component that doesn't exist ends the search:
// nothing below it exists either.
const char* linkInPath(const char* path, size_t rootSize, char* buf, size_t bufSize)
{
    const size_t length = strlen(path);
    if (length >= bufSize || rootSize > length)
        return 0;
    memcpy(buf, path, length + 1);
    for (size_t end = rootSize; end <= length; ++end) {
        if (end < length && buf[end] != '/')
            continue;
        if (end == rootSize || buf[end - 1] == '/')
            continue; // no component ends here
        const char saved = buf[end];
        buf[end] = '\0';
        struct stat st;
        const int statResult = lstat(buf, &st);
        if (statResult == 0 && S_ISLNK(st.st_mode))
            return buf;
        buf[end] = saved;
        if (statResult != 0)
            return 0;
    }
    return 0;
}

// Moving, removing and creating paths of both trees by name would follow a link inside either
// tree out of it (old/sub -> ../elsewhere would delete and create files elsewhere), so a tree that
// holds a link on any path the patch touches is refused before anything changes.
BOOL treesHoldNoLink(TDirPatcher* P)
{
    TNewDir* newDir = &P->_newDir;
    char buf[dpatch_kPathBufSize];
    const size_t oldRootSize = (size_t)(P->_oldRootDir_end - P->_oldPathBuf);
    const size_t newRootSize = (size_t)(newDir->_newRootDir_end - newDir->_newPathBuf);
    const char* link = 0;
    for (size_t i = 0; !link && i < P->dirDiffHead.oldPathCount; ++i) {
        const char* oldPath = TDirPatcher_getOldPathByIndex(P, i);
        link = oldPath ? linkInPath(oldPath, oldRootSize, buf, sizeof(buf)) : 0;
    }
    for (size_t i = 0; !link && i < newDir->newPathCount; ++i) {
        const char* newPath = TNewDir_getNewPathByIndex(newDir, i);
        if (!newPath)
            continue;
        link = linkInPath(newPath, newRootSize, buf, sizeof(buf));
        const char* twin = link ? 0 : TDirPatcher_getOldPathByNewPath(P, newPath);
        if (twin)
            link = linkInPath(twin, oldRootSize, buf, sizeof(buf));
    }
    if (!link)
        return 1;
    pathError("can't patch in place through the symbolic link \"", link);
    return 0;
}

BOOL _temp_patchBegin(TDirPatchListener* listener, TDirPatcher* dirPatcher)
{
    listener->dirPatcher = dirPatcher;
    return treesHoldNoLink(dirPatcher);
}

// Unchanged files: the first pair of each old file (in list order) takes it by a move, the others by a
// copy, last pair first so that the moved file is still there for every copy.
BOOL takeOverSameFiles(TDirPatcher* P, BOOL* out_isCounted)
{
    TNewDir* newDir = &P->_newDir;
    *out_isCounted = TDirPatcher_initOldSameRefCount(P);
    if (!*out_isCounted)
        return 0;
    BOOL result = 1;
    for (size_t i = newDir->sameFilePairCount; i > 0; --i) {
        const size_t sameIndex = i - 1;
        const char* newPath = TNewDir_getNewPathBySameIndex(newDir, sameIndex);
        const char* oldPath = TDirPatcher_getOldPathBySameIndex(P, sameIndex);
        if (!newPath || !oldPath) {
            result = 0;
            continue;
        }
        if (TDirPatcher_oldSameRefCount(P, sameIndex) <= 1) {
            if (!relocatePath(oldPath, newPath)) {
                pathError("can't move new file to newTempDir from same old file \"", newPath);
                result = 0;
            }
        } else if (!dpatch_copyFile(oldPath, newPath, 0)) {
            pathError("can't copy new file to newTempDir from same old file \"", newPath);
            result = 0;
        }
        TDirPatcher_decOldSameRefCount(P, sameIndex);
    }
    TDirPatcher_finishOldSameRefCount(P);
    return result;
}

void removeOldPaths(TDirPatcher* P)
{
    for (size_t i = P->dirDiffHead.oldPathCount; i > 0; --i) {
        const char* oldPath = TDirPatcher_getOldPathByIndex(P, i - 1);
        if (!oldPath)
            continue;
        if (endsWithSlash(oldPath)) {
            deleteDirectory(oldPath);
            continue;
        }
        dpatch_TPathType type = kPathType_notExist;
        if (dpatch_getPathStat(oldPath, &type, 0) && type == kPathType_notExist)
            continue;
        if (!removeFile(oldPath))
            pathNote("WARNING: can't remove old file \"", oldPath);
    }
}

BOOL makeNewDirsInOld(TDirPatcher* P)
{
    TNewDir* newDir = &P->_newDir;
    BOOL result = 1;
    for (size_t i = 0; i < newDir->newPathCount; ++i) {
        const char* newPath = TNewDir_getNewPathByIndex(newDir, i);
        if (!newPath) {
            result = 0;
            continue;
        }
        if (!endsWithSlash(newPath))
            continue;
        const char* twin = TDirPatcher_getOldPathByNewPath(P, newPath);
        if (!twin || !dpatch_makeDir(twin))
            result = 0;
    }
    return result;
}

BOOL moveNewFilesToOld(TDirPatcher* P)
{
    TNewDir* newDir = &P->_newDir;
    BOOL result = 1;
    for (size_t i = newDir->newPathCount; i > 0; --i) {
        const char* newPath = TNewDir_getNewPathByIndex(newDir, i - 1);
        if (!newPath) {
            result = 0;
            continue;
        }
        if (endsWithSlash(newPath)) {
            deleteDirectory(newPath);
            continue;
        }
        const char* twin = TDirPatcher_getOldPathByNewPath(P, newPath);
        if (!twin) {
            result = 0;
            continue;
        }
        removeFile(twin);
        if (!relocatePath(newPath, twin)) {
            pathError("can't move new file to oldDirectory \"", newPath);
            result = 0;
        }
    }
    return result;
}

void setExecuteTags(TDirPatcher* P)
{
    TNewDir* newDir = &P->_newDir;
    for (size_t i = 0; i < newDir->newExecuteCount; ++i) {
        const char* newPath = TNewDir_getNewExecutePath(newDir, i);
        const char* twin = newPath ? TDirPatcher_getOldPathByNewPath(P, newPath) : 0;
        if (!twin || !dpatch_setExecuteTag(twin))
            pathNote("WARNING: can't set Execute tag to new file \"", twin ? twin : newPath);
    }
}

BOOL removeTempDir(TDirPatcher* P)
{
    TNewDir* newDir = &P->_newDir;
    for (size_t i = newDir->newPathCount; i > 0; --i) {
        const char* newPath = TNewDir_getNewPathByIndex(newDir, i - 1);
        BOOL isDir = 0;
        if (!newPath || !pathExists(newPath, &isDir))
            continue;
        if (isDir)
            deleteDirectory(newPath);
        else
            removeFile(newPath);
    }
    const char* root = TNewDir_getNewPathRoot(newDir);
    if (!root || pathExists(root, 0)) {
        pathError("can't delete newTempDir \"", root);
        return 0;
    }
    return 1;
}
} // namespace

BOOL tempCopySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                      dpatch_TCopyListener* copyListener)
{
    (void)listener;
    (void)newFileName;
    // The old file stays where it is until patchFinish takes it over; only a copy check reads it now.
    if (!copyListener)
        return 1;
    return dpatch_readFileToListener(oldFileName, copyListener);
}

BOOL tempPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess)
{
    TDirPatcher* P = listener->dirPatcher;
    // A run that failed before patchBegin wrote nothing that is ours to remove.
    if (!P)
        return isPatchSuccess ? 0 : 1;
    listener->dirPatcher = 0;
    BOOL result = 1;
    BOOL isCounted = 1;
    // Looked at again: the patch ran for a while since patchBegin, and nothing has been moved yet.
    if (isPatchSuccess && !treesHoldNoLink(P)) {
        isPatchSuccess = 0;
        result = 0;
    }
    if (isPatchSuccess && !takeOverSameFiles(P, &isCounted))
        result = 0;
    // Without the counters nothing was taken over, so the old tree must stay as it is.
    if (isPatchSuccess && isCounted) {
        removeOldPaths(P);
        const BOOL dirsMade = makeNewDirsInOld(P);
        const BOOL filesMoved = moveNewFilesToOld(P);
        if (!dirsMade || !filesMoved)
            result = 0;
        setExecuteTags(P);
    }
    if (!removeTempDir(P))
        result = 0;
    return result;
}

TDirPatchListener tempDirPatchListener = {&tempDirPatchListener,
                                          0,
                                          0,
                                          0,
                                          _temp_makeNewDir,
                                          tempCopySameFile,
                                          _temp_openNewFile,
                                          _temp_closeNewFile,
                                          0,
                                          _temp_patchBegin,
                                          tempPatchFinish};
