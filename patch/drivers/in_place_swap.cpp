#include "patch/drivers/in_place_swap.h"

#include "patch/core/dpatch_log.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
const char kRecordMark[] = "dirpatch in-place record 1\n";
// How much of each end of the diff its identity reads: enough to tell diffs apart, little for a large one.
const dpatch_StreamPos_t kIdentityPiece = 1024 * 1024;

std::string withoutTrailingSlashes(const std::string& path)
{
    return path.substr(0, dpatch_lengthWithoutTrailingSlashes(path.c_str()));
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The real folder that path names, links followed and "." and ".." taken out. The folder itself need not
// exist (a swap cut short may have moved it aside), only the folder it would be in.
BOOL resolveFolder(const char* path, std::string* out)
{
    std::string current = withoutTrailingSlashes(path);
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (lstat(current.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
            char* real = realpath(current.c_str(), 0);
            if (!real)
                return 0;
            *out = real;
            free(real);
            return 1;
        }
        if (lstat(current.c_str(), &info) == 0) {
            char target[dpatch_kPathBufSize];
            const ssize_t length = readlink(current.c_str(), target, sizeof(target) - 1);
            if (length <= 0)
                return 0;
            target[length] = '\0';
            current = withoutTrailingSlashes(target[0] == '/' ? std::string(target) : folderOf(current) + "/" + target);
            continue;
        }
        if (errno != ENOENT)
            return 0;
        const std::string name = nameOf(current);
        if (name.empty() || name == "." || name == "..")
            return 0;
        char* real = realpath(folderOf(current).c_str(), 0);
        if (!real)
            return 0;
        *out = std::string(real) + (strcmp(real, "/") == 0 ? "" : "/") + name;
        free(real);
        return 1;
    }
    return 0;
}

BOOL setName(char* buf, const std::string& base, const char* suffix)
{
    const int length = snprintf(buf, dpatch_kSwapPathBufSize, "%s%s", base.c_str(), suffix);
    return length > 0 && (size_t)length <= dpatch_kMaxPathLength;
}

// 0 missing, 1 a folder (not a link), 2 anything else; -1 when it can't be told.
int entryKind(const char* path, struct stat* out_info = 0)
{
    struct stat info;
    if (lstat(path, &info) != 0)
        return errno == ENOENT ? 0 : -1;
    if (out_info)
        *out_info = info;
    return S_ISDIR(info.st_mode) ? 1 : 2;
}

// FNV-1a over the size and both ends of the diff data.
BOOL identifyDiff(const char* diffFile, dpatch_StreamPos_t offset, dpatch_StreamPos_t size, char* out, size_t outSize)
{
    FILE* file = fopen(diffFile, "rb");
    if (!file)
        return 0;
    if (offset == 0) {
        if (fseeko(file, 0, SEEK_END) != 0) {
            fclose(file);
            return 0;
        }
        size = (dpatch_StreamPos_t)ftello(file);
    }
    uint64_t hash = 1469598103934665603ull;
    const auto mix = [&hash](const unsigned char* data, size_t length) {
        for (size_t i = 0; i < length; ++i)
            hash = (hash ^ data[i]) * 1099511628211ull;
    };
    const dpatch_StreamPos_t firstEnd = size < kIdentityPiece ? size : kIdentityPiece;
    const dpatch_StreamPos_t lastBegin = size > kIdentityPiece ? size - kIdentityPiece : firstEnd;
    static unsigned char buf[64 * 1024];
    BOOL result = 1;
    for (int part = 0; part < 2 && result; ++part) {
        dpatch_StreamPos_t pos = part == 0 ? 0 : (lastBegin > firstEnd ? lastBegin : firstEnd);
        const dpatch_StreamPos_t end = part == 0 ? firstEnd : size;
        if (fseeko(file, (off_t)(offset + pos), SEEK_SET) != 0)
            result = 0;
        while (result && pos < end) {
            const size_t want = end - pos < sizeof(buf) ? (size_t)(end - pos) : sizeof(buf);
            if (fread(buf, 1, want, file) != want)
                result = 0;
            mix(buf, want);
            pos += want;
        }
    }
    fclose(file);
    snprintf(out, outSize, "%llu %016llx", (unsigned long long)size, (unsigned long long)hash);
    return result;
}

struct Record
{
    BOOL isOurs = 0;
    BOOL isEmpty = 0;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    std::string diff;
};

// 0 missing, 1 read, -1 can't be read.
int readRecord(const char* path, Record* out)
{
    FILE* file = fopen(path, "rb");
    if (!file) {
        if (errno == ENOENT)
            return 0;
        dpatch_printOsError("can't read", path, 0, errno);
        return -1;
    }
    char text[512];
    const size_t length = fread(text, 1, sizeof(text) - 1, file);
    fclose(file);
    text[length] = '\0';
    out->isEmpty = length == 0;
    const size_t markLength = sizeof(kRecordMark) - 1;
    if (length < markLength || memcmp(text, kRecordMark, markLength) != 0)
        return 1;
    char diff[128] = {0};
    char hash[64] = {0};
    unsigned long long size = 0;
    if (sscanf(text + markLength, "old %llu %llu\ndiff %llu %63s", &out->device, &out->inode, &size, hash) != 4)
        return 1;
    snprintf(diff, sizeof(diff), "%llu %s", size, hash);
    out->diff = diff;
    out->isOurs = 1;
    return 1;
}

BOOL removeFileNamed(const char* path)
{
    if (unlink(path) == 0 || errno == ENOENT)
        return 1;
    dpatch_printOsError("can't remove", path, 0, errno);
    return 0;
}

BOOL renameNamed(const char* from, const char* to)
{
    if (rename(from, to) == 0)
        return 1;
    dpatch_printOsError("can't rename", from, to, errno);
    return 0;
}

void refuse(const char* text, const char* path)
{
    dpatch_fprintf(stderr, "%s \"%s\" ERROR!\n", text, path);
}

// The first entry a removal could not remove, and the system's error.
struct RemoveFailure
{
    std::string path;
    int error = 0;
};

BOOL removeFailed(RemoveFailure* failure, const std::string& path, int error)
{
    failure->path = path;
    failure->error = error;
    return 0;
}

// Opens the folder name of parentFd (known from lstat as info) to empty it. A folder of the running user's
// own that the user may not read, search or write is given those bits first: it is about to go, and a
// folder left behind because of its mode would refuse every later run.
int openFolderToEmpty(int parentFd, const char* name, const struct stat& info, const std::string& path,
                      RemoveFailure* failure)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(parentFd, name, flags);
    if (fd < 0 && errno == EACCES && info.st_uid == geteuid() &&
        fchmodat(parentFd, name, (info.st_mode & 07777) | S_IRWXU, 0) == 0)
        fd = openat(parentFd, name, flags);
    if (fd < 0) {
        removeFailed(failure, path, errno);
        return -1;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0) {
        removeFailed(failure, path, errno);
        close(fd);
        return -1;
    }
    if (opened.st_uid == geteuid() && (opened.st_mode & S_IRWXU) != S_IRWXU)
        fchmod(fd, (opened.st_mode & 07777) | S_IRWXU); // should it fail, the removals below say why
    return fd;
}

// Removes everything in the open folder fd (named path), never following a link nor entering another file
// system: a folder of another device below it is left for the rmdir, which fails on a mount point.
BOOL emptyFolder(int fd, const std::string& path, dev_t device, RemoveFailure* failure)
{
    const int listFd = dup(fd);
    DIR* dir = listFd < 0 ? 0 : fdopendir(listFd);
    if (!dir) {
        const int error = errno;
        if (listFd >= 0)
            close(listFd);
        return removeFailed(failure, path, error);
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    const int readErrno = errno;
    closedir(dir);
    if (readErrno != 0)
        return removeFailed(failure, path, readErrno);
    for (const std::string& name : names) {
        const std::string entryPath = path + "/" + name;
        struct stat info;
        if (fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return removeFailed(failure, entryPath, errno);
        }
        if (S_ISDIR(info.st_mode) && info.st_dev == device) {
            const int childFd = openFolderToEmpty(fd, name.c_str(), info, entryPath, failure);
            if (childFd < 0)
                return 0;
            const BOOL emptied = emptyFolder(childFd, entryPath, device, failure);
            close(childFd);
            if (!emptied)
                return 0;
        }
        // by the full path, as anything watching the removal sees it
        const int removed = S_ISDIR(info.st_mode) ? rmdir(entryPath.c_str()) : unlink(entryPath.c_str());
        if (removed != 0 && errno != ENOENT)
            return removeFailed(failure, entryPath, errno);
    }
    return 1;
}

// Finishes a swap whose record says the new tree was complete. R, R.dirpatch-old and R.dirpatch-new are
// looked at in the order the swap made them.
BOOL finishSwap(TInPlaceSwap* self, const Record& record)
{
    struct stat realInfo;
    const int real = entryKind(self->realDir, &realInfo);
    const int aside = entryKind(self->asideDir);
    const int fresh = entryKind(self->newDir);
    if (real < 0 || aside < 0 || fresh < 0) {
        refuse("can't look at the folders beside", self->realDir);
        return 0;
    }
    if (fresh == 1) {
        if (real != 0) {
            const BOOL isOld =
                real == 1 && realInfo.st_dev == (dev_t)record.device && realInfo.st_ino == (ino_t)record.inode;
            if (aside != 0 || !isOld) {
                refuse("can't tell which tree to keep beside", self->realDir);
                return 0;
            }
            if (!renameNamed(self->realDir, self->asideDir))
                return 0;
        }
        if (!renameNamed(self->newDir, self->realDir))
            return 0;
    } else if (real != 1) {
        refuse("the new tree of an earlier run is missing beside", self->realDir);
        return 0;
    }
    if (entryKind(self->asideDir) != 0 && !dpatch_removeTree(self->asideDir))
        return 0;
    return removeFileNamed(self->swapRecord);
}
} // namespace

BOOL dpatch_removeTree(const char* path)
{
    struct stat info;
    if (lstat(path, &info) != 0) {
        if (errno == ENOENT)
            return 1;
        dpatch_printOsError("can't remove", path, 0, errno);
        return 0;
    }
    RemoveFailure failure;
    BOOL removed = 0;
    if (!S_ISDIR(info.st_mode)) {
        removed = unlink(path) == 0 || errno == ENOENT || removeFailed(&failure, path, errno);
    } else {
        const int fd = openFolderToEmpty(AT_FDCWD, path, info, path, &failure);
        if (fd >= 0) {
            removed = emptyFolder(fd, path, info.st_dev, &failure);
            close(fd);
            if (removed && rmdir(path) != 0 && errno != ENOENT)
                removed = removeFailed(&failure, path, errno);
        }
    }
    if (!removed)
        dpatch_printOsError("can't remove", failure.path.c_str(), 0, failure.error);
    return removed;
}

TInPlaceStart inPlaceSwap_start(TInPlaceSwap* self, const char* oldPath, const char* diffFile,
                                dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize)
{
    memset(self, 0, sizeof(*self));
    std::string real;
    if (!resolveFolder(oldPath, &real) || real == "/") {
        refuse("can't find the real folder of", oldPath);
        return kInPlaceStart_refused;
    }
    if (!setName(self->realDir, real, "") || !setName(self->newDir, real, ".dirpatch-new") ||
        !setName(self->asideDir, real, ".dirpatch-old") || !setName(self->buildRecord, real, ".dirpatch-build") ||
        !setName(self->swapRecord, real, ".dirpatch-swap")) {
        refuse("path too long to patch in place", oldPath);
        return kInPlaceStart_refused;
    }
    if (!identifyDiff(diffFile, diffDataOffert, diffDataSize, self->diffIdentity, sizeof(self->diffIdentity))) {
        refuse("can't read the diff", diffFile);
        return kInPlaceStart_refused;
    }

    Record swap;
    Record build;
    const int hasSwap = readRecord(self->swapRecord, &swap);
    const int hasBuild = readRecord(self->buildRecord, &build);
    if (hasSwap < 0 || hasBuild < 0)
        return kInPlaceStart_refused;
    if (hasSwap && !swap.isOurs) {
        refuse("not a record of this patcher, in the way:", self->swapRecord);
        return kInPlaceStart_refused;
    }
    // A build record is written in one piece right after it is created: an empty one is of a run killed
    // in between, which had made nothing yet.
    if (hasBuild && !build.isOurs && !(build.isEmpty && entryKind(self->newDir) == 0)) {
        refuse("not a record of this patcher, in the way:", self->buildRecord);
        return kInPlaceStart_refused;
    }
    if (hasSwap) {
        if (!finishSwap(self, swap))
            return kInPlaceStart_refused;
        dpatch_printf("NOTE: finished the swap of an earlier in-place run into \"%s\"\n", self->realDir);
        if (swap.diff == self->diffIdentity)
            return kInPlaceStart_done;
    } else if (hasBuild) {
        if (entryKind(self->asideDir) != 0) {
            refuse("can't tell where this folder comes from:", self->asideDir);
            return kInPlaceStart_refused;
        }
        if (!dpatch_removeTree(self->newDir) || !removeFileNamed(self->buildRecord))
            return kInPlaceStart_refused;
        dpatch_printf("NOTE: removed the new tree an earlier in-place run left unfinished \"%s\"\n", self->newDir);
    }
    // Without a record of ours, a folder under one of these names belongs to someone else.
    if (entryKind(self->newDir) != 0) {
        refuse("can't patch in place, in the way:", self->newDir);
        return kInPlaceStart_refused;
    }
    if (entryKind(self->asideDir) != 0) {
        refuse("can't patch in place, in the way:", self->asideDir);
        return kInPlaceStart_refused;
    }
    struct stat info;
    if (entryKind(self->realDir, &info) != 1)
        return kInPlaceStart_noFolder;
    self->oldDevice = info.st_dev;
    self->oldInode = info.st_ino;
    return kInPlaceStart_patch;
}

BOOL inPlaceSwap_beginBuild(TInPlaceSwap* self)
{
    char text[256];
    const int length =
        snprintf(text, sizeof(text), "%sold %llu %llu\ndiff %s\n", kRecordMark, (unsigned long long)self->oldDevice,
                 (unsigned long long)self->oldInode, self->diffIdentity);
    const int fd = open(self->buildRecord, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        dpatch_printOsError("can't create", self->buildRecord, 0, errno);
        return 0;
    }
    // one write: a kill can't leave half a record
    const ssize_t written = write(fd, text, (size_t)length);
    const int writeErrno = errno;
    if (close(fd) != 0 || written != length) {
        dpatch_printOsError("can't write", self->buildRecord, 0, written < 0 ? writeErrno : ENOSPC);
        unlink(self->buildRecord);
        return 0;
    }
    return 1;
}

BOOL inPlaceSwap_makeNewTree(TInPlaceSwap* self)
{
    struct stat real;
    if (stat(self->realDir, &real) != 0) {
        dpatch_printOsError("can't look at", self->realDir, 0, errno);
        return 0;
    }
    if (mkdir(self->newDir, 0700) != 0) {
        dpatch_printOsError("can't make the folder", self->newDir, 0, errno);
        return 0;
    }
    // set through the folder just made, not through its name
    const int fd = open(self->newDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat made;
    if (fd < 0 || fstat(fd, &made) != 0) {
        dpatch_printOsError("can't look at", self->newDir, 0, errno);
        if (fd >= 0)
            close(fd);
        return 0;
    }
    BOOL hasGroup = made.st_gid == real.st_gid;
    if (!hasGroup) {
        hasGroup = fchown(fd, (uid_t)-1, real.st_gid) == 0;
        if (!hasGroup)
            dpatch_printf("WARNING: can't give the new tree the old folder's group \"%s\"\n", self->newDir);
    }
    // a setgid parent passes its bit on to the folders made in it, and R may have none
    const mode_t mode = 0700 | (hasGroup ? (real.st_mode & S_ISGID) : 0);
    const BOOL isSet = (made.st_mode & 07777) == mode || fchmod(fd, mode) == 0;
    if (!isSet)
        dpatch_printOsError("can't set the mode of", self->newDir, 0, errno);
    close(fd);
    return isSet;
}

BOOL inPlaceSwap_commit(TInPlaceSwap* self)
{
    // From this rename on the new tree is the result.
    if (!renameNamed(self->buildRecord, self->swapRecord)) {
        inPlaceSwap_abandon(self);
        return 0;
    }
    if (!renameNamed(self->realDir, self->asideDir)) {
        if (renameNamed(self->swapRecord, self->buildRecord))
            inPlaceSwap_abandon(self);
        return 0;
    }
    if (!renameNamed(self->newDir, self->realDir)) {
        if (renameNamed(self->asideDir, self->realDir) && renameNamed(self->swapRecord, self->buildRecord))
            inPlaceSwap_abandon(self);
        return 0;
    }
    // What can't be removed now stays recorded, and the next run removes it.
    return dpatch_removeTree(self->asideDir) && removeFileNamed(self->swapRecord);
}

BOOL inPlaceSwap_hasBuildRecord(const TInPlaceSwap* self)
{
    struct stat info;
    return lstat(self->buildRecord, &info) == 0;
}

BOOL inPlaceSwap_abandon(TInPlaceSwap* self)
{
    if (!dpatch_removeTree(self->newDir))
        return 0;
    return removeFileNamed(self->buildRecord);
}
