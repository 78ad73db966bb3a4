#include "patch/drivers/in_place_stray_carrier.h"

#include "patch/dir/dir_patcher.h"
#include "patch/dir/file_copy.h"
#include "patch/dir/new_dir_output.h"
#include "patch/drivers/in_place_folder_modes.h"
#include "patch/drivers/in_place_names.h"
#include "patch/os/file_services.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#include <vector>

StrayCarrier::StrayCarrier(TDirPatcher* P, const TInPlaceSwap* swap, LinkCheck* newTreeLinks,
                           const std::string& oldRoot, const std::string& newRoot)
    : swap(swap), newTreeLinks(newTreeLinks), oldRoot(oldRoot), newRoot(newRoot)
{
    for (size_t i = 0; i < (size_t)P->dirDiffHead.oldPathCount; ++i)
        oldPaths.insert(P->oldUtf8PathList[i]);
    TNewDir* newDir = &P->_newDir;
    for (size_t i = 0; i < newDir->newPathCount; ++i)
        newPaths.insert(newDir->newUtf8PathList[i]);
}

BOOL StrayCarrier::walk(const std::string& relDir)
{
    const std::string dirPath = oldRoot + "/" + relDir;
    DIR* dir = opendir(dirPath.c_str());
    if (!dir) {
        dpatch_printOsError("can't read the folder", dirPath.c_str(), 0, errno);
        return 0;
    }
    std::vector<std::pair<std::string, unsigned char>> entries; // names and, where the folder tells, their kinds
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            entries.emplace_back(entry->d_name, entry->d_type);
    }
    closedir(dir);
    for (const auto& [name, type] : entries) {
        const std::string rel = relDir + name;
        const std::string oldPath = oldRoot + "/" + rel;
        // what the diff knows is passed over by its kind from the folder's listing, unlooked at
        if (type != DT_UNKNOWN && type != DT_DIR && (oldPaths.count(rel) || newPaths.count(rel)))
            continue;
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
                inPlace_pathError("can't keep the old folder where the new tree has a file \"", oldPath.c_str());
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
            inPlace_pathError("can't keep the old file where the new tree has a folder \"", oldPath.c_str());
            return 0;
        }
        const std::string newPath = newRoot + "/" + rel;
        if (!makeParents(relDir) || !inPlaceSwap_isOursToMake(swap, newTreeLinks, newPath.c_str()) ||
            !linkEntry(oldPath, newPath, info))
            return 0;
    }
    return 1;
}

BOOL StrayCarrier::makeParents(const std::string& relDir)
{
    size_t begin = 0;
    while (begin < relDir.size()) {
        const size_t slash = relDir.find('/', begin);
        const std::string part = relDir.substr(0, slash);
        begin = slash + 1;
        if (newPaths.count(part + "/") || made.count(part))
            continue;
        const std::string path = newRoot + "/" + part;
        const std::string oldPath = oldRoot + "/" + part;
        struct stat old;
        const int looked = lstat(oldPath.c_str(), &old);
        if (looked != 0 || !S_ISDIR(old.st_mode)) {
            dpatch_printOsError("can't look at", oldPath.c_str(), 0, looked != 0 ? errno : ENOTDIR);
            return 0;
        }
        if (!inPlaceSwap_isOursToMake(swap, newTreeLinks, path.c_str()) ||
            !inPlace_makeFolderLikeOld(path.c_str(), old, 0))
            return 0;
        made.insert(part);
    }
    return 1;
}

BOOL StrayCarrier::linkEntry(const std::string& from, const std::string& to, const struct stat& info)
{
    if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0)
        return 1;
    const int linkErrno = errno;
    if (dpatch_isRefusedHere(linkErrno)) {
        if (S_ISREG(info.st_mode)) {
            if (dpatch_linkOrCopyFile(from.c_str(), to.c_str(), 0, 0) && chmod(to.c_str(), info.st_mode & 07777) == 0)
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
