#include "patch/drivers/in_place_folder_modes.h"

#include "patch/dir/dir_patcher.h"
#include "patch/dir/new_dir_output.h"
#include "patch/drivers/in_place_names.h"
#include "patch/os/file_services.h"

#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace
{
// The mode a run gives a folder to read it: owner read and search added.
mode_t openedModeOf(const TInPlaceOpenedFolder& folder)
{
    return folder.mode | S_IRUSR | S_IXUSR;
}

// Opens the folder rel of the old tree and every folder below it, each before what it holds.
void openFoldersBelow(TTempDirPatchRun* run, const std::string& rel)
{
    const std::string path = rel.empty() ? run->oldRoot : run->oldRoot + "/" + rel;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    if (info.st_uid == geteuid() && faccessat(AT_FDCWD, path.c_str(), R_OK | X_OK, AT_EACCESS) != 0 &&
        errno == EACCES) {
        const TInPlaceOpenedFolder folder{
            rel, {(unsigned long long)info.st_dev, (unsigned long long)info.st_ino}, info.st_mode & 07777};
        // noted before it is opened: from here on a kill leaves the next run what to give back
        if (inPlaceRecord_noteOpenedFolder(run->swap->recordFd, run->swap->buildRecord, folder) &&
            chmod(path.c_str(), openedModeOf(folder)) == 0) {
            run->openedFolders.push_back(folder);
        }
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

// Gives the folder path its mode while it is the folder that was opened: the same identity, and still the
// mode the run opened it to (a mode someone gave it since is theirs). 0 when the mode can't be given.
BOOL giveModeBack(const std::string& path, const TInPlaceOpenedFolder& folder, BOOL compareDevice)
{
    // held, so that the mode goes to the folder looked at, even if something else takes its name meanwhile
    const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Gone, or something else at its name, is left; so is a folder below one closed again: the modes go back
    // the deepest first, so it had its mode before the folder above it.
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == EACCES))
        return 1;
    if (fd < 0) {
        dpatch_printOsError("can't look at", path.c_str(), 0, errno);
        return 0;
    }
    struct stat info;
    BOOL result = 1;
    if (fstat(fd, &info) != 0) {
        dpatch_printOsError("can't look at", path.c_str(), 0, errno);
        result = 0;
    } else if ((unsigned long long)info.st_ino == folder.identity.inode &&
               (!compareDevice || (unsigned long long)info.st_dev == folder.identity.device) &&
               (info.st_mode & 07777) == openedModeOf(folder)) {
        char held[64];
        snprintf(held, sizeof(held), "/proc/self/fd/%d", fd);
        // without /proc, by its name, as it was looked at just now
        if (chmod(held, folder.mode) != 0 && (errno != ENOENT || chmod(path.c_str(), folder.mode) != 0)) {
            dpatch_printOsError("can't give its mode back to", path.c_str(), 0, errno);
            result = 0;
        }
    }
    close(fd);
    return result;
}
} // namespace

void tempDirPatchRun_openOldFolders(TTempDirPatchRun* run, const char* oldRoot)
{
    run->oldRoot = inPlace_withoutTrailingSlashes(oldRoot);
    run->openedFolders.clear();
    if (run->swap)
        openFoldersBelow(run, "");
}

void tempDirPatchRun_closeOldFolders(TTempDirPatchRun* run)
{
    inPlace_giveFolderModesBack(run->oldRoot, run->openedFolders, 1);
    run->openedFolders.clear();
}

BOOL inPlace_giveFolderModesBack(const std::string& root, const std::vector<TInPlaceOpenedFolder>& folders,
                                 BOOL compareDevice)
{
    BOOL result = 1;
    // a folder closed again hides what it holds
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        if (!giveModeBack(folder->path.empty() ? root : root + "/" + folder->path, *folder, compareDevice))
            result = 0;
    }
    return result;
}

BOOL inPlace_makeFolderLikeOld(const char* path, const struct stat& old, BOOL* out_hasGroup)
{
    if (mkdir(path, 0700) != 0) {
        dpatch_printOsError("can't make the folder", path, 0, errno);
        return 0;
    }
    // set through the folder just made, not through its name
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat made;
    if (fd < 0 || fstat(fd, &made) != 0) {
        dpatch_printOsError("can't look at", path, 0, errno);
        if (fd >= 0)
            close(fd);
        return 0;
    }
    const BOOL hasGroup = made.st_gid == old.st_gid || fchown(fd, (uid_t)-1, old.st_gid) == 0;
    // a setgid parent passes its bit on to the folders made in it, and old may have none
    const mode_t mode = 0700 | (hasGroup ? (old.st_mode & S_ISGID) : 0);
    const BOOL isSet = (made.st_mode & 07777) == mode || fchmod(fd, mode) == 0;
    if (!isSet)
        dpatch_printOsError("can't set the mode of", path, 0, errno);
    close(fd);
    if (out_hasGroup)
        *out_hasGroup = hasGroup;
    return isSet;
}

BOOL tempDirPatchRun_setFolderModes(const TTempDirPatchRun* run, TDirPatcher* P, const std::string& oldRoot,
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
    // an opened folder's own mode is the one noted before it was opened
    std::unordered_map<std::string, mode_t> openedModes;
    for (const TInPlaceOpenedFolder& folder : run->openedFolders)
        openedModes.emplace(folder.path, folder.mode);
    // what a folder holds has longer paths than the folder
    std::stable_sort(folders.begin(), folders.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& rel : folders) {
        const std::string oldPath = rel.empty() ? oldRoot : oldRoot + "/" + rel;
        const std::string newPath = rel.empty() ? newRoot : newRoot + "/" + rel;
        struct stat old;
        if (lstat(oldPath.c_str(), &old) != 0 || !S_ISDIR(old.st_mode))
            continue; // a new folder keeps what it was made with
        const auto opened = openedModes.find(rel);
        const mode_t mode = opened != openedModes.end() ? opened->second : old.st_mode & 07777;
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
