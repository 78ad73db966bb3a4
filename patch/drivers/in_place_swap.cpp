#include "patch/drivers/in_place_swap.h"

#include "patch/core/dpatch_log.h"
#include "patch/drivers/in_place_folder_modes.h"
#include "patch/drivers/in_place_names.h"
#include "patch/drivers/in_place_record.h"
#include "patch/drivers/in_place_recovery.h"
#include "patch/os/link_check.h"
#include "patch/os/tree_removal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
BOOL setName(char* buf, const std::string& base, const char* suffix)
{
    const int length = snprintf(buf, dpatch_kSwapPathBufSize, "%s%s", base.c_str(), suffix);
    return length > 0 && (size_t)length <= dpatch_kMaxPathLength;
}

BOOL removeFileNamed(const char* path)
{
    if (unlink(path) == 0 || errno == ENOENT)
        return 1;
    dpatch_printOsError("can't remove", path, 0, errno);
    return 0;
}

// Locks the parent folder for this run. 0 when another run holds it; a folder that can't be locked (a file
// system without locks, a folder this user may enter but not read) is said in a line, and the run goes on.
BOOL lockParent(TInPlaceSwap* self, const std::string& parent)
{
    const int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        self->lockFd = fd;
        return 1;
    }
    const int error = errno;
    if (fd >= 0)
        close(fd);
    if (error == EWOULDBLOCK) {
        inPlace_refuse("another in-place run is at work in the folder", parent.c_str());
        return 0;
    }
    dpatch_printf("WARNING: can't lock \"%s\" against another in-place run: %s\n", parent.c_str(), strerror(error));
    return 1;
}

// Whether a user other than this one may create, rename or remove names in the parent folder.
BOOL isParentShared(int fd, const std::string& parent)
{
    struct stat info;
    if ((fd >= 0 ? fstat(fd, &info) : stat(parent.c_str(), &info)) != 0)
        return 1;
    if (info.st_mode & S_ISVTX)
        return 0;
    return (info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) != 0 && info.st_gid != getegid());
}
} // namespace

TInPlaceStart inPlaceSwap_start(TInPlaceSwap* self, const char* oldPath, const char* diffFile,
                                dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize)
{
    memset(self, 0, sizeof(*self));
    self->lockFd = -1;
    self->recordFd = -1;
    inPlaceRecord_readBootId(self->bootId, sizeof(self->bootId));
    std::string real;
    if (!inPlace_resolveFolder(oldPath, &real) || real == "/") {
        inPlace_refuse("can't find the real folder of", oldPath);
        return kInPlaceStart_refused;
    }
    // before anything is looked at: another run may be at work beside this folder
    const std::string parent = inPlace_folderOf(real);
    if (!lockParent(self, parent))
        return kInPlaceStart_refused;
    if (isParentShared(self->lockFd, parent)) {
        inPlace_refuse("can't patch in place in a folder that others may write to:", parent.c_str());
        return kInPlaceStart_refused;
    }
    if (!inPlaceRecovery_takeAsideForItsFolder(&real, self->bootId))
        return kInPlaceStart_refused;
    if (!setName(self->realDir, real, "") || !setName(self->newDir, real, inPlace_kNewSuffix) ||
        !setName(self->asideDir, real, inPlace_kAsideSuffix) ||
        !setName(self->buildRecord, real, inPlace_kBuildRecordSuffix) ||
        !setName(self->swapRecord, real, inPlace_kSwapRecordSuffix)) {
        inPlace_refuse("path too long to patch in place", oldPath);
        return kInPlaceStart_refused;
    }
    if (!inPlaceRecord_digestDiff(diffFile, diffDataOffert, diffDataSize, self->diffIdentity,
                                  sizeof(self->diffIdentity))) {
        inPlace_refuse("can't read the diff", diffFile);
        return kInPlaceStart_refused;
    }

    const TInPlaceStart earlier = inPlaceRecovery_finishEarlierRun(self, diffFile, diffDataOffert, diffDataSize);
    if (earlier != kInPlaceStart_patch)
        return earlier;
    // Without a record of ours, a folder under one of these names belongs to someone else.
    if (inPlace_look(self->newDir).kind != 0) {
        inPlace_refuse("can't patch in place, in the way:", self->newDir);
        return kInPlaceStart_refused;
    }
    if (inPlace_look(self->asideDir).kind != 0) {
        inPlace_refuse("can't patch in place, in the way:", self->asideDir);
        return kInPlaceStart_refused;
    }
    const TInPlaceLook folder = inPlace_look(self->realDir);
    if (folder.kind != 1)
        return kInPlaceStart_noFolder;
    self->oldDevice = folder.info.st_dev;
    self->oldInode = folder.info.st_ino;
    self->oldOwner = folder.info.st_uid;
    return kInPlaceStart_patch;
}

BOOL inPlaceSwap_beginBuild(TInPlaceSwap* self)
{
    return inPlaceRecord_create(self->buildRecord, self->bootId, self->oldDevice, self->oldInode, self->oldOwner,
                                self->diffIdentity, &self->recordFd);
}

BOOL inPlaceSwap_noteNewTree(TInPlaceSwap* self)
{
    const TInPlaceLook fresh = inPlace_look(self->newDir);
    if (fresh.kind != 1 || fresh.info.st_uid != geteuid()) {
        inPlace_refuseInTheWay(self->newDir);
        return 0;
    }
    // appended to the record, which this run holds open since it made it
    if (!inPlaceRecord_noteNewTree(self->recordFd, self->buildRecord, fresh.info.st_dev, fresh.info.st_ino)) {
        rmdir(self->newDir);
        return 0;
    }
    self->hasNewTree = 1;
    self->newDevice = fresh.info.st_dev;
    self->newInode = fresh.info.st_ino;
    return 1;
}

namespace
{
BOOL isStillNewTree(const TInPlaceSwap* self, const char* path)
{
    const TInPlaceLook seen = inPlace_look(path);
    return self->hasNewTree && seen.kind == 1 && seen.info.st_uid == geteuid() && seen.info.st_dev == self->newDevice &&
           seen.info.st_ino == self->newInode;
}

BOOL isStillOldFolder(const TInPlaceSwap* self, const char* path)
{
    const TInPlaceLook seen = inPlace_look(path);
    return seen.kind == 1 && seen.info.st_dev == self->oldDevice && seen.info.st_ino == self->oldInode &&
           seen.info.st_uid == self->oldOwner;
}

void closeRecord(TInPlaceSwap* self)
{
    if (self->recordFd >= 0)
        close(self->recordFd);
    self->recordFd = -1;
}

// The record of this run, the file it made, before it is renamed or removed.
BOOL isOwnRecord(const TInPlaceSwap* self, const char* path)
{
    struct stat held;
    const TInPlaceLook seen = inPlace_look(path);
    if (self->recordFd >= 0 && fstat(self->recordFd, &held) == 0 && seen.kind == 2 && S_ISREG(seen.info.st_mode) &&
        seen.info.st_dev == held.st_dev && seen.info.st_ino == held.st_ino)
        return 1;
    inPlace_refuseInTheWay(path);
    return 0;
}

// Both folders as this run left them: the new tree it made, R the folder it read.
BOOL areFoldersAsMade(const TInPlaceSwap* self, const char* oldName)
{
    if (!isStillNewTree(self, self->newDir)) {
        inPlace_refuseInTheWay(self->newDir);
        return 0;
    }
    if (!isStillOldFolder(self, oldName)) {
        inPlace_refuseInTheWay(oldName);
        return 0;
    }
    return 1;
}
} // namespace

namespace
{
// Whether path lies below the new tree, which is still the one this run made, and no link stands on it up
// to its last component (isLastLooked) or to the folder that holds it.
BOOL isOursBelowNewTree(const TInPlaceSwap* self, LinkCheck* newTreeLinks, const char* path, BOOL isLastLooked)
{
    const size_t rootSize = strlen(self->newDir);
    if (strncmp(path, self->newDir, rootSize) != 0 || (path[rootSize] != '/' && path[rootSize] != '\0') ||
        !isStillNewTree(self, self->newDir)) {
        inPlace_refuseInTheWay(self->newDir);
        return 0;
    }
    const char* lastSlash = strrchr(path, '/');
    const std::string looked = isLastLooked ? std::string(path) : std::string(path, (size_t)(lastSlash - path));
    char buf[dpatch_kPathBufSize];
    const char* link = looked.size() > rootSize ? newTreeLinks->linkIn(looked.c_str(), rootSize, buf, sizeof(buf)) : 0;
    if (!link)
        return 1;
    inPlace_refuse("can't write in place through the symbolic link", link);
    return 0;
}
} // namespace

BOOL inPlaceSwap_isOursToMake(const TInPlaceSwap* self, LinkCheck* newTreeLinks, const char* path)
{
    return isOursBelowNewTree(self, newTreeLinks, path, 0);
}

BOOL inPlaceSwap_isOursToWrite(const TInPlaceSwap* self, LinkCheck* newTreeLinks, const char* path)
{
    return isOursBelowNewTree(self, newTreeLinks, path, 1);
}

BOOL inPlaceSwap_makeNewTree(TInPlaceSwap* self)
{
    struct stat real;
    if (stat(self->realDir, &real) != 0) {
        dpatch_printOsError("can't look at", self->realDir, 0, errno);
        return 0;
    }
    BOOL hasGroup = 0;
    if (!inPlace_makeFolderLikeOld(self->newDir, real, &hasGroup))
        return 0;
    if (!hasGroup)
        dpatch_printf("WARNING: can't give the new tree the old folder's group \"%s\"\n", self->newDir);
    return 1;
}

BOOL inPlaceSwap_commit(TInPlaceSwap* self)
{
    if (!isOwnRecord(self, self->buildRecord) || !areFoldersAsMade(self, self->realDir))
        return 0;
    // From this rename on the new tree is the result.
    if (!inPlace_renameToFree(self->buildRecord, self->swapRecord)) {
        inPlaceSwap_abandon(self);
        return 0;
    }
    if (!areFoldersAsMade(self, self->realDir)) {
        inPlace_renameNamed(self->swapRecord, self->buildRecord);
        return 0;
    }
    if (!inPlace_renameToFree(self->realDir, self->asideDir)) {
        if (inPlace_renameNamed(self->swapRecord, self->buildRecord))
            inPlaceSwap_abandon(self);
        return 0;
    }
    if (!areFoldersAsMade(self, self->asideDir)) {
        if (inPlace_renameToFree(self->asideDir, self->realDir))
            inPlace_renameNamed(self->swapRecord, self->buildRecord);
        return 0;
    }
    if (!inPlace_renameToFree(self->newDir, self->realDir)) {
        if (inPlace_renameToFree(self->asideDir, self->realDir) &&
            inPlace_renameNamed(self->swapRecord, self->buildRecord))
            inPlaceSwap_abandon(self);
        return 0;
    }
    // The new tree is in place. What can't be removed now stays recorded, and the next run removes it.
    if (!isStillOldFolder(self, self->asideDir) || !dpatch_removeTree(self->asideDir)) {
        dpatch_printf("WARNING: can't remove old file \"%s\"\n", self->asideDir);
        closeRecord(self);
        return 1;
    }
    const BOOL isRecordRemoved = isOwnRecord(self, self->swapRecord) && removeFileNamed(self->swapRecord);
    closeRecord(self);
    return isRecordRemoved;
}

BOOL inPlaceSwap_hasBuildRecord(const TInPlaceSwap* self)
{
    struct stat info;
    return lstat(self->buildRecord, &info) == 0;
}

BOOL inPlaceSwap_abandon(TInPlaceSwap* self)
{
    const TInPlaceLook fresh = inPlace_look(self->newDir);
    if (fresh.kind != 0) {
        if (!isStillNewTree(self, self->newDir)) {
            inPlace_refuseInTheWay(self->newDir);
            return 0;
        }
        if (!dpatch_removeTree(self->newDir))
            return 0;
    }
    if (!isOwnRecord(self, self->buildRecord))
        return 0;
    const BOOL isRemoved = removeFileNamed(self->buildRecord);
    closeRecord(self);
    return isRemoved;
}

void inPlaceSwap_end(TInPlaceSwap* self)
{
    closeRecord(self);
    if (self->lockFd >= 0)
        close(self->lockFd);
    self->lockFd = -1;
}
