#include "patch/os/tree_removal.h"

#include "patch/os/file_services.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
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

// Whether the folder name of atFd (known from lstat as info, in a folder of device parentDevice) is the root
// of a mount. A removal never goes into one: it would delete what another file system holds, and a bind
// mount of a folder of the same disk even has the same device number. Where the kernel can tell neither a
// mount root nor a mount id, a device number other than the parent's is all there is to go by.
bool isMountRoot(int atFd, const char* name, const struct stat& info, dev_t parentDevice)
{
    struct statx mount;
    if (statx(atFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &mount) == 0) {
        if (mount.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
            return (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
        struct statx parent;
        const std::string up = std::string(name) + "/..";
        if ((mount.stx_mask & STATX_MNT_ID) &&
            statx(atFd, up.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &parent) == 0 &&
            (parent.stx_mask & STATX_MNT_ID))
            return parent.stx_mnt_id != mount.stx_mnt_id;
    }
    return info.st_dev != parentDevice;
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

// Removes everything in the open folder fd (named path, on device), never following a link nor entering
// a mount: the first mount point met fails the removal, named, with nothing of it touched.
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
        if (S_ISDIR(info.st_mode) && isMountRoot(fd, name.c_str(), info, device))
            return removeFailed(failure, entryPath, EBUSY);
        if (S_ISDIR(info.st_mode)) {
            const int childFd = openFolderToEmpty(fd, name.c_str(), info, entryPath, failure);
            if (childFd < 0)
                return 0;
            const BOOL emptied = emptyFolder(childFd, entryPath, info.st_dev, failure);
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
    } else if (isMountRoot(AT_FDCWD, path, info, info.st_dev)) {
        removeFailed(&failure, path, EBUSY);
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
