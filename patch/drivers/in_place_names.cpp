#include "patch/drivers/in_place_names.h"

#include "patch/core/dpatch_log.h"
#include "patch/os/file_services.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace
{
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
} // namespace

std::string inPlace_withoutTrailingSlashes(const char* path)
{
    return path ? std::string(path, dpatch_lengthWithoutTrailingSlashes(path)) : std::string();
}

std::string inPlace_folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string inPlace_nameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

BOOL inPlace_resolveFolder(const char* path, std::string* out)
{
    std::string current = inPlace_withoutTrailingSlashes(path);
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
            const std::string next = target[0] == '/' ? std::string(target) : inPlace_folderOf(current) + "/" + target;
            current = inPlace_withoutTrailingSlashes(next.c_str());
            continue;
        }
        if (errno != ENOENT)
            return 0;
        const std::string name = inPlace_nameOf(current);
        if (name.empty() || name == "." || name == "..")
            return 0;
        char* real = realpath(inPlace_folderOf(current).c_str(), 0);
        if (!real)
            return 0;
        *out = std::string(real) + (strcmp(real, "/") == 0 ? "" : "/") + name;
        free(real);
        return 1;
    }
    return 0;
}

TInPlaceLook inPlace_look(const char* path)
{
    TInPlaceLook seen;
    memset(&seen.info, 0, sizeof(seen.info));
    seen.kind = entryKind(path, &seen.info);
    return seen;
}

void inPlace_refuse(const char* text, const char* path)
{
    dpatch_fprintf(stderr, "%s \"%s\" ERROR!\n", text, path);
}

void inPlace_refuseInTheWay(const char* path)
{
    inPlace_refuse("not what the in-place record names, in the way:", path);
}

void inPlace_refuseMissing(const char* path)
{
    inPlace_refuse("missing where the in-place record needs it:", path);
}

void inPlace_pathError(const char* text, const char* path)
{
    dpatch_fprintf(stderr, "%s", text);
    dpatch_fprintf(stderr, "%s", path ? path : "");
    dpatch_fprintf(stderr, "\"  ERROR!\n");
}

void inPlace_pathNote(const char* text, const char* path)
{
    dpatch_printf("%s", text);
    dpatch_printf("%s", path ? path : "");
    dpatch_printf("\"\n");
}

BOOL inPlace_renameNamed(const char* from, const char* to)
{
    if (rename(from, to) == 0)
        return 1;
    dpatch_printOsError("can't rename", from, to, errno);
    return 0;
}

BOOL inPlace_renameToFree(const char* from, const char* to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 1;
    if (errno == EINVAL || errno == ENOSYS) { // a file system without the flag
        if (inPlace_look(to).kind == 0)
            return inPlace_renameNamed(from, to);
        errno = EEXIST;
    }
    dpatch_printOsError("can't rename", from, to, errno);
    return 0;
}
