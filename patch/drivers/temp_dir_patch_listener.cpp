#include "patch/drivers/temp_dir_patch_listener.h"

#include "patch/dir/dir_patcher.h"
#include "patch/dir/file_copy.h"
#include "patch/dir/new_dir_output.h"
#include "patch/drivers/in_place_names.h"
#include "patch/drivers/in_place_stray_carrier.h"
#include "patch/drivers/in_place_swap.h"
#include "patch/os/file_services.h"
#include "patch/os/link_check.h"

#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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

// Whether the run may write path in its new tree (a run without a swap writes nothing).
BOOL mayWrite(TDirPatchListener* listener, const char* path)
{
    const TInPlaceSwap* swap = swapOf(listener);
    return swap && inPlaceSwap_isOursToWrite(swap, path);
}

BOOL _temp_makeNewDir(TDirPatchListener* listener, const char* pathName)
{
    TInPlaceSwap* swap = swapOf(listener);
    char buf[dpatch_kPathBufSize];
    if (!swap || pathName[0] == '\0' || !dpatch_copyWithoutTrailingSlashes(pathName, buf))
        return 0;
    if (strcmp(buf, swap->newDir) == 0)
        return inPlaceSwap_makeNewTree(swap) && inPlaceSwap_noteNewTree(swap);
    if (!mayWrite(listener, buf))
        return 0;
    // A folder where the old tree has one gets that folder's mode once it is filled; until then it is the
    // user's alone. A new folder is made as the plain road makes it.
    const size_t rootLength = strlen(swap->newDir);
    mode_t mode = 0755;
    struct stat old;
    if (strncmp(buf, swap->newDir, rootLength) == 0 && buf[rootLength] == '/' &&
        lstat((std::string(swap->realDir) + (buf + rootLength)).c_str(), &old) == 0 && S_ISDIR(old.st_mode))
        mode = 0700;
    // the new tree is made afresh: anything already there is not ours to build on
    if (mkdir(buf, mode) == 0)
        return 1;
    dpatch_printOsError("can't make the folder", buf, 0, errno);
    return 0;
}

BOOL _temp_openNewFile(TDirPatchListener* listener, dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
                       dpatch_StreamPos_t fileSize)
{
    if (!mayWrite(listener, newFileName))
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
// link an outside file into the new one, so a tree that holds one is refused before anything is made.
BOOL treesHoldNoLink(TDirPatcher* P)
{
    TNewDir* newDir = &P->_newDir;
    char buf[dpatch_kPathBufSize];
    const size_t oldRootSize = (size_t)(P->_oldRootDir_end - P->_oldPathBuf);
    const char* link = 0;
    for (size_t i = 0; !link && i < P->dirDiffHead.oldPathCount; ++i) {
        const char* oldPath = TDirPatcher_getOldPathByIndex(P, i);
        link = oldPath ? dpatch_linkInPath(oldPath, oldRootSize, buf, sizeof(buf)) : 0;
    }
    for (size_t i = 0; !link && i < newDir->newPathCount; ++i) {
        const char* newPath = TNewDir_getNewPathByIndex(newDir, i);
        const char* twin = newPath ? TDirPatcher_getOldPathByNewPath(P, newPath) : 0;
        if (twin)
            link = dpatch_linkInPath(twin, oldRootSize, buf, sizeof(buf));
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

void setExecuteTags(TDirPatcher* P, const TInPlaceSwap* swap)
{
    TNewDir* newDir = &P->_newDir;
    for (size_t i = 0; i < newDir->newExecuteCount; ++i) {
        const char* newPath = TNewDir_getNewExecutePath(newDir, i);
        if (!newPath || !inPlaceSwap_isOursToWrite(swap, newPath) || !dpatch_setExecuteTag(newPath))
            inPlace_pathNote("WARNING: can't set Execute tag to new file \"", newPath);
    }
}

std::string withoutSlash(const char* path)
{
    return path ? std::string(path, dpatch_lengthWithoutTrailingSlashes(path)) : std::string();
}

// Each folder of the new tree that stands where the old tree has a folder gets that folder's mode (as it
// was before the run opened it) and group, the deepest first, so that a folder is read-only or unreadable
// only once everything in it is made. The root's group was given when it was made.
BOOL setFolderModes(TDirPatcher* P, const TTempDirPatchRun& runState, const std::string& oldRoot,
                    const std::string& newRoot, const std::unordered_set<std::string>& madeFolders)
{
    std::vector<std::string> folders{""};
    TNewDir* newDir = &P->_newDir;
    for (size_t i = 0; i < newDir->newPathCount; ++i) {
        const std::string path = newDir->newUtf8PathList[i];
        if (path.size() > 1 && path.back() == '/')
            folders.push_back(path.substr(0, path.size() - 1));
    }
    folders.insert(folders.end(), madeFolders.begin(), madeFolders.end());
    // what a folder holds has longer paths than the folder
    std::stable_sort(folders.begin(), folders.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& rel : folders) {
        const std::string oldPath = rel.empty() ? oldRoot : oldRoot + "/" + rel;
        const std::string newPath = rel.empty() ? newRoot : newRoot + "/" + rel;
        struct stat old;
        if (lstat(oldPath.c_str(), &old) != 0 || !S_ISDIR(old.st_mode))
            continue; // a new folder keeps what it was made with
        const auto opened = runState.openedModes.find(rel);
        const mode_t mode = opened != runState.openedModes.end() ? opened->second : old.st_mode & 07777;
        struct stat made;
        const int looked = lstat(newPath.c_str(), &made);
        if (looked != 0 || !S_ISDIR(made.st_mode)) {
            dpatch_printOsError("can't look at", newPath.c_str(), 0, looked != 0 ? errno : ENOTDIR);
            return 0;
        }
        if (!rel.empty() && made.st_gid != old.st_gid && lchown(newPath.c_str(), (uid_t)-1, old.st_gid) != 0)
            inPlace_pathNote("WARNING: can't give the folder the old folder's group \"", newPath.c_str());
        if (chmod(newPath.c_str(), mode) != 0) {
            dpatch_printOsError("can't give the new tree the old folder's mode", newPath.c_str(), 0, errno);
            return 0;
        }
    }
    return 1;
}

// Completes the new tree beside the old one; nothing of the old tree is changed.
BOOL completeNewTree(TDirPatcher* P, TTempDirPatchRun& runState)
{
    TInPlaceSwap* swap = runState.swap;
    const std::string newRoot = withoutSlash(TNewDir_getNewPathRoot(&P->_newDir));
    if (newRoot != swap->newDir) {
        inPlace_pathError("the new tree is not where the swap expects it \"", newRoot.c_str());
        return 0;
    }
    StrayCarrier carrier(P, swap, swap->realDir, newRoot);
    if (!carrier.carry())
        return 0;
    if (!inPlaceSwap_isOursToWrite(swap, newRoot.c_str()))
        return 0;
    setExecuteTags(P, swap);
    return setFolderModes(P, runState, swap->realDir, newRoot, carrier.madeFolders());
}

// Opens the folder rel of the old tree and every folder below it, each before what it holds.
void openFoldersBelow(TTempDirPatchRun* run, const std::string& rel)
{
    const std::string path = rel.empty() ? run->oldRoot : run->oldRoot + "/" + rel;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    if (info.st_uid == geteuid() && faccessat(AT_FDCWD, path.c_str(), R_OK | X_OK, AT_EACCESS) != 0 &&
        errno == EACCES && chmod(path.c_str(), (info.st_mode & 07777) | S_IRUSR | S_IXUSR) == 0) {
        run->openedFolders.emplace_back(rel, info.st_mode & 07777);
        run->openedModes[rel] = info.st_mode & 07777;
    }
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return;
    std::vector<std::string> folders;
    while (struct dirent* entry = readdir(dir)) {
        if ((entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) && strcmp(entry->d_name, ".") != 0 &&
            strcmp(entry->d_name, "..") != 0)
            folders.push_back(rel.empty() ? std::string(entry->d_name) : rel + "/" + entry->d_name);
    }
    closedir(dir);
    for (const std::string& folder : folders)
        openFoldersBelow(run, folder);
}
} // namespace

BOOL tempCopySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                      dpatch_TCopyListener* copyListener)
{
    TDirPatcher* P = listener->dirPatcher;
    TNewDir* newDir = &P->_newDir;
    TTempDirPatchRun& runState = *runOf(listener);
    if (!mayWrite(listener, newFileName))
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
    if (!dpatch_linkOrCopyFile(oldFileName, newFileName, mayLink, &way)) {
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

void tempDirPatchRun_openOldFolders(TTempDirPatchRun* run, const char* oldRoot)
{
    run->oldRoot = withoutSlash(oldRoot);
    run->openedFolders.clear();
    run->openedModes.clear();
    openFoldersBelow(run, "");
}

void tempDirPatchRun_closeOldFolders(TTempDirPatchRun* run)
{
    for (auto folder = run->openedFolders.rbegin(); folder != run->openedFolders.rend(); ++folder) {
        const std::string path = folder->first.empty() ? run->oldRoot : run->oldRoot + "/" + folder->first;
        if (chmod(path.c_str(), folder->second) != 0)
            dpatch_printOsError("can't give its mode back to", path.c_str(), 0, errno);
    }
    run->openedFolders.clear();
    run->openedModes.clear();
}
