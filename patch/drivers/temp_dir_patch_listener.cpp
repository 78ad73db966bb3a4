#include "patch/drivers/temp_dir_patch_listener.h"

#include "patch/dir/dir_patcher.h"
#include "patch/dir/file_copy.h"
#include "patch/dir/new_dir_output.h"
#include "patch/drivers/in_place_folder_modes.h"
#include "patch/drivers/in_place_names.h"
#include "patch/drivers/in_place_stray_carrier.h"
#include "patch/drivers/in_place_swap.h"
#include "patch/os/file_services.h"
#include "patch/os/link_check.h"

#include <errno.h>
#include <string.h>
#include <string>
#include <sys/stat.h>

#include "patch/core/dpatch_check.h"

namespace
{
TTempDirPatchRun* runOf(TDirPatchListener* listener)
{
    return (TTempDirPatchRun*)listener->userData;
}

TInPlaceSwap* swapOf(TDirPatchListener* listener)
{
    TTempDirPatchRun* run = runOf(listener);
    return run ? run->swap : nullptr;
}

// Whether the run may make path in its new tree (a run without a swap makes nothing).
BOOL mayMake(TDirPatchListener* listener, const char* path)
{
    const TInPlaceSwap* swap = swapOf(listener);
    return swap && inPlaceSwap_isOursToMake(swap, &runOf(listener)->newTreeLinks, path);
}

BOOL _temp_makeNewDir(TDirPatchListener* listener, const char* pathName)
{
    TInPlaceSwap* swap = swapOf(listener);
    char buf[dpatch_kPathBufSize];
    if (!swap || pathName[0] == '\0' || !dpatch_copyWithoutTrailingSlashes(pathName, buf))
        return 0;
    if (strcmp(buf, swap->newDir) == 0)
        return inPlaceSwap_makeNewTree(swap) && inPlaceSwap_noteNewTree(swap);
    if (!mayMake(listener, buf))
        return 0;
    // A folder where the old tree has one gets that folder's mode once it is filled, and its group and setgid
    // bit at once; until then it is the user's alone. A new folder is made as the plain road makes it.
    // The new tree is made afresh: anything already there is not ours to build on.
    const size_t rootLength = strlen(swap->newDir);
    struct stat old;
    if (strncmp(buf, swap->newDir, rootLength) == 0 && buf[rootLength] == '/' &&
        lstat((std::string(swap->realDir) + (buf + rootLength)).c_str(), &old) == 0 && S_ISDIR(old.st_mode))
        return inPlace_makeFolderLikeOld(buf, old, 0);
    if (mkdir(buf, 0755) == 0)
        return 1;
    dpatch_printOsError("can't make the folder", buf, 0, errno);
    return 0;
}

BOOL _temp_openNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
                       dpatch_StreamPos_t fileSize)
{
    if (!mayMake(listener, newFileName))
        return 0;
    if (dpatch_TFileStreamOutput_create(curNewFile, newFileName, fileSize))
        return 1;
    dpatch_printOsError("can't create", newFileName, 0, errno);
    return 0;
}

BOOL _temp_closeNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile)
{
    (void)listener;
    if (dpatch_TFileStreamOutput_close(curNewFile))
        return 1;
    dpatch_printOsError("can't write", curNewFile->pathName, 0, curNewFile->lastErrno);
    return 0;
}

// A link on a path of the old tree that the patch reads would take its data from outside the tree, or
// link an outside file into the new one, so a tree that holds one is refused before anything is made. Each
// call looks at the old tree afresh (others may change it while the patch runs), reading each folder once.
BOOL treesHoldNoLink(TDirPatcher* P)
{
    TNewDir* newDir = &P->_newDir;
    char buf[dpatch_kPathBufSize];
    const size_t oldRootSize = (size_t)(P->_oldRootDir_end - P->_oldPathBuf);
    LinkCheck oldTreeLinks(LinkCheck::kReadFolders);
    const char* link = 0;
    for (size_t i = 0; !link && i < P->dirDiffHead.oldPathCount; ++i) {
        const char* oldPath = TDirPatcher_getOldPathByIndex(P, i);
        link = oldPath ? oldTreeLinks.linkIn(oldPath, oldRootSize, buf, sizeof(buf)) : 0;
    }
    for (size_t i = 0; !link && i < newDir->newPathCount; ++i) {
        const char* newPath = TNewDir_getNewPathByIndex(newDir, i);
        const char* twin = newPath ? TDirPatcher_getOldPathByNewPath(P, newPath) : 0;
        if (twin)
            link = oldTreeLinks.linkIn(twin, oldRootSize, buf, sizeof(buf));
    }
    if (!link)
        return 1;
    inPlace_pathError("can't patch in place through the symbolic link \"", link);
    return 0;
}

BOOL _temp_patchBegin(TDirPatchListener* listener, TDirPatcher* dirPatcher)
{
    listener->dirPatcher = dirPatcher;
    if (!swapOf(listener))
        return 0;
    TNewDir* newDir = &dirPatcher->_newDir;
    TTempDirPatchRun& runState = *runOf(listener);
    runState.isExecute.assign((size_t)dirPatcher->dirDiffHead.newPathCount, false);
    runState.isOldTaken.assign((size_t)dirPatcher->dirDiffHead.oldPathCount, false);
    runState.nextSamePair = 0;
    for (size_t i = 0; i < (size_t)dirPatcher->dirDiffHead.newExecuteCount; ++i) {
        const size_t pathIndex = newDir->newExecuteList[i];
        if (pathIndex < runState.isExecute.size())
            runState.isExecute[pathIndex] = true;
    }
    return treesHoldNoLink(dirPatcher);
}

void setExecuteTags(TDirPatcher* P, TTempDirPatchRun& runState)
{
    TNewDir* newDir = &P->_newDir;
    for (size_t i = 0; i < newDir->newExecuteCount; ++i) {
        const char* newPath = TNewDir_getNewExecutePath(newDir, i);
        if (!newPath || !inPlaceSwap_isOursToWrite(runState.swap, &runState.newTreeLinks, newPath) ||
            !dpatch_setExecuteTag(newPath))
            inPlace_pathNote("WARNING: can't set Execute tag to new file \"", newPath);
    }
}

// Completes the new tree beside the old one; nothing of the old tree is changed.
BOOL completeNewTree(TDirPatcher* P, TTempDirPatchRun& runState)
{
    TInPlaceSwap* swap = runState.swap;
    const std::string newRoot = inPlace_withoutTrailingSlashes(TNewDir_getNewPathRoot(&P->_newDir));
    if (newRoot != swap->newDir) {
        inPlace_pathError("the new tree is not where the swap expects it \"", newRoot.c_str());
        return 0;
    }
    StrayCarrier carrier(P, swap, &runState.newTreeLinks, swap->realDir, newRoot);
    if (!carrier.carry())
        return 0;
    if (!inPlaceSwap_isOursToWrite(swap, &runState.newTreeLinks, newRoot.c_str()))
        return 0;
    setExecuteTags(P, runState);
    return tempDirPatchRun_setFolderModes(&runState, P, swap->realDir, newRoot, carrier.madeFolders());
}

} // namespace

BOOL tempCopySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                      dpatch_TCopyListener* copyListener)
{
    TDirPatcher* P = listener->dirPatcher;
    TNewDir* newDir = &P->_newDir;
    TTempDirPatchRun& runState = *runOf(listener);
    if (!mayMake(listener, newFileName))
        return 0;
    // the pairs come strictly in their order, one call each
    const size_t sameIndex = runState.nextSamePair++;
    check(sameIndex<newDir->sameFilePairCount);
    const dpatch_TSameFilePair& pair = newDir->dataSamePairList[sameIndex];
    check(pair.newIndex<runState.isExecute.size() && pair.oldIndex<runState.isOldTaken.size());
    struct stat old;
    if (stat(oldFileName, &old) != 0) {
        dpatch_printOsError("can't open", oldFileName, 0, errno);
        return 0;
    }
    const mode_t mode = (old.st_mode & 0666) | (runState.isExecute[pair.newIndex] ? 0111 : 0);
    // a link would share the old file's mode, and a second link would join two new paths in one file
    const BOOL mayLink = !runState.isOldTaken[pair.oldIndex] && (old.st_mode & 07777) == mode;
    runState.isOldTaken[pair.oldIndex] = true;
    dpatch_TCopyWay way = kCopyWay_none;
    errno = 0;
    if (!dpatch_linkOrCopyFileWithStat(oldFileName, &old, newFileName, mayLink, &way)) {
        dpatch_printOsError("can't link or copy", oldFileName, newFileName, errno != 0 ? errno : EIO);
        return 0;
    }
    if (way != kCopyWay_link && chmod(newFileName, mode) != 0) {
        dpatch_printOsError("can't set the mode of", newFileName, 0, errno);
        return 0;
    }
    if (copyListener)
        return dpatch_readFileToListener(oldFileName, copyListener);
    return 1;
}

BOOL tempPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess)
{
    TDirPatcher* P = listener->dirPatcher;
    TInPlaceSwap* swap = swapOf(listener);
    listener->dirPatcher = 0;
    // A run that failed before patchBegin made nothing yet; the command line removes its record.
    if (!P || !swap)
        return isPatchSuccess ? 0 : 1;
    const BOOL isComplete = isPatchSuccess && treesHoldNoLink(P) && completeNewTree(P, *runOf(listener));
    // the old tree as it was, before it is swapped out or kept
    tempDirPatchRun_closeOldFolders(runOf(listener));
    if (isComplete)
        return inPlaceSwap_commit(swap);
    if (!inPlaceSwap_abandon(swap)) {
        inPlace_pathError("can't delete newTempDir \"", swap->newDir);
        return 0;
    }
    // after a failed patch the old tree is as it was: that is what this call had to make sure of
    return isPatchSuccess ? 0 : 1;
}

const TDirPatchListener tempDirPatchListener = {0,
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

void tempDirPatchListener_init(TDirPatchListener* listener, TTempDirPatchRun* run)
{
    *listener = tempDirPatchListener;
    listener->listenerOwner = listener;
    listener->userData = run;
}
