#include "patch/drivers/temp_dir_patch_listener.h"

#include "patch/dir/dir_patcher.h"
#include "patch/dir/file_copy.h"
#include "patch/dir/new_dir_output.h"
#include "patch/drivers/in_place_swap.h"
#include "patch/os/file_services.h"

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

// Whether the run may write path in its new tree (a run without a swap writes nothing).
BOOL mayWrite(TDirPatchListener* listener, const char* path)
{
    const TInPlaceSwap* swap = swapOf(listener);
    return swap && inPlaceSwap_isOursToWrite(swap, path);
}

BOOL _temp_makeNewDir(TDirPatchListener* listener, const char* pathName)
{
    char buf[dpatch_kPathBufSize];
    if (pathName[0] == '\0' || !dpatch_copyWithoutTrailingSlashes(pathName, buf))
        return 0;
    TInPlaceSwap* swap = swapOf(listener);
    const BOOL isRoot = swap && strcmp(buf, swap->newDir) == 0;
    if (!isRoot && !mayWrite(listener, buf))
        return 0;
    // the new tree is made afresh: anything already there is not ours to build on
    if (mkdir(buf, 0755) == 0)
        return isRoot ? inPlaceSwap_noteNewTree(swap) : 1;
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
    pathError("can't patch in place through the symbolic link \"", link);
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

// What the old tree holds beyond the diff's old paths (saves, settings, anything the diff doesn't know)
// goes into the new tree as it is, by hard links: a file the new tree has at the same path replaces it,
// and one that stands where the new tree has a folder, or the other way round, refuses the patch.
class StrayCarrier
{
public:
    StrayCarrier(TDirPatcher* P, const TInPlaceSwap* swap, const std::string& oldRoot, const std::string& newRoot)
        : swap(swap), oldRoot(oldRoot), newRoot(newRoot)
    {
        for (size_t i = 0; i < (size_t)P->dirDiffHead.oldPathCount; ++i)
            oldPaths.insert(P->oldUtf8PathList[i]);
        TNewDir* newDir = &P->_newDir;
        for (size_t i = 0; i < newDir->newPathCount; ++i)
            newPaths.insert(newDir->newUtf8PathList[i]);
    }

    BOOL carry() { return walk(""); }

private:
    // relDir is "" or ends with '/'
    BOOL walk(const std::string& relDir)
    {
        const std::string dirPath = oldRoot + "/" + relDir;
        DIR* dir = opendir(dirPath.c_str());
        if (!dir) {
            dpatch_printOsError("can't read the folder", dirPath.c_str(), 0, errno);
            return 0;
        }
        std::vector<std::string> names;
        while (struct dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        }
        closedir(dir);
        for (const std::string& name : names) {
            const std::string rel = relDir + name;
            const std::string oldPath = oldRoot + "/" + rel;
            struct stat info;
            if (lstat(oldPath.c_str(), &info) != 0) {
                dpatch_printOsError("can't look at", oldPath.c_str(), 0, errno);
                return 0;
            }
            const bool isDir = S_ISDIR(info.st_mode);
            const std::string key = isDir ? rel + "/" : rel;
            const bool isKnown = oldPaths.count(key) != 0;
            if (isDir) {
                if (!isKnown && newPaths.count(rel)) {
                    pathError("can't keep the old folder where the new tree has a file \"", oldPath.c_str());
                    return 0;
                }
                if (!isKnown && !makeParents(key))
                    return 0;
                if (!walk(key))
                    return 0;
                continue;
            }
            if (isKnown || newPaths.count(rel))
                continue; // the diff's own, or replaced by the new tree's file
            if (newPaths.count(rel + "/")) {
                pathError("can't keep the old file where the new tree has a folder \"", oldPath.c_str());
                return 0;
            }
            const std::string newPath = newRoot + "/" + rel;
            if (!makeParents(relDir) || !inPlaceSwap_isOursToWrite(swap, newPath.c_str()) ||
                !linkEntry(oldPath, newPath, info))
                return 0;
        }
        return 1;
    }

    // Makes the folders of relDir in the new tree that it doesn't have, with the old folders' modes.
    BOOL makeParents(const std::string& relDir)
    {
        size_t begin = 0;
        while (begin < relDir.size()) {
            const size_t slash = relDir.find('/', begin);
            const std::string part = relDir.substr(0, slash);
            begin = slash + 1;
            if (newPaths.count(part + "/") || made.count(part))
                continue;
            struct stat info;
            mode_t mode = 0755;
            if (lstat((oldRoot + "/" + part).c_str(), &info) == 0)
                mode = info.st_mode & 0777;
            const std::string path = newRoot + "/" + part;
            if (!inPlaceSwap_isOursToWrite(swap, path.c_str()))
                return 0;
            if (mkdir(path.c_str(), mode) != 0 || chmod(path.c_str(), mode) != 0) {
                dpatch_printOsError("can't make the folder", path.c_str(), 0, errno);
                return 0;
            }
            made.insert(part);
        }
        return 1;
    }

    static BOOL linkEntry(const std::string& from, const std::string& to, const struct stat& info)
    {
        if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0)
            return 1;
        const int linkErrno = errno;
        if (dpatch_isRefusedHere(linkErrno)) {
            if (S_ISREG(info.st_mode)) {
                if (dpatch_linkOrCopyFile(from.c_str(), to.c_str(), 0, 0) &&
                    chmod(to.c_str(), info.st_mode & 07777) == 0)
                    return 1;
                dpatch_printOsError("can't copy", from.c_str(), to.c_str(), errno);
                return 0;
            }
            if (S_ISLNK(info.st_mode)) {
                char target[dpatch_kPathBufSize];
                const ssize_t length = readlink(from.c_str(), target, sizeof(target) - 1);
                if (length > 0) {
                    target[length] = '\0';
                    if (symlink(target, to.c_str()) == 0)
                        return 1;
                }
                dpatch_printOsError("can't copy the link", from.c_str(), to.c_str(), errno);
                return 0;
            }
        }
        dpatch_printOsError("can't link", from.c_str(), to.c_str(), linkErrno);
        return 0;
    }

    const TInPlaceSwap* swap;
    std::string oldRoot;
    std::string newRoot;
    std::unordered_set<std::string> oldPaths;
    std::unordered_set<std::string> newPaths;
    std::unordered_set<std::string> made;
};

void setExecuteTags(TDirPatcher* P, const TInPlaceSwap* swap)
{
    TNewDir* newDir = &P->_newDir;
    for (size_t i = 0; i < newDir->newExecuteCount; ++i) {
        const char* newPath = TNewDir_getNewExecutePath(newDir, i);
        if (!newPath || !inPlaceSwap_isOursToWrite(swap, newPath) || !dpatch_setExecuteTag(newPath))
            pathNote("WARNING: can't set Execute tag to new file \"", newPath);
    }
}

std::string withoutSlash(const char* path)
{
    return path ? std::string(path, dpatch_lengthWithoutTrailingSlashes(path)) : std::string();
}

// Completes the new tree beside the old one; nothing of the old tree is changed.
BOOL completeNewTree(TDirPatcher* P, TInPlaceSwap* swap)
{
    const std::string newRoot = withoutSlash(TNewDir_getNewPathRoot(&P->_newDir));
    if (newRoot != swap->newDir) {
        pathError("the new tree is not where the swap expects it \"", newRoot.c_str());
        return 0;
    }
    StrayCarrier carrier(P, swap, swap->realDir, newRoot);
    if (!carrier.carry())
        return 0;
    struct stat info;
    if (!inPlaceSwap_isOursToWrite(swap, newRoot.c_str()))
        return 0;
    if (stat(swap->realDir, &info) != 0 || chmod(newRoot.c_str(), info.st_mode & 0777) != 0) {
        dpatch_printOsError("can't give the new tree the old folder's mode", newRoot.c_str(), 0, errno);
        return 0;
    }
    setExecuteTags(P, swap);
    return 1;
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
    if (isPatchSuccess && treesHoldNoLink(P) && completeNewTree(P, swap))
        return inPlaceSwap_commit(swap);
    if (!inPlaceSwap_abandon(swap)) {
        pathError("can't delete newTempDir \"", swap->newDir);
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
