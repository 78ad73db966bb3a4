#include "patch/os/link_check.h"

#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

namespace
{
// Whether a component of path ends at end (where a '/' or the end of the path follows a name).
bool endsComponent(const char* path, size_t length, size_t rootSize, size_t end)
{
    return (end == length || path[end] == '/') && end > rootSize && path[end - 1] != '/';
}
} // namespace

bool LinkCheck::readFolder(const char* path, size_t folderEnd)
{
    const std::string folder(path, folderEnd);
    const auto done = read.find(folder);
    if (done != read.end())
        return done->second;
    DIR* dir = opendir(folder.c_str());
    read.emplace(folder, dir != 0);
    if (!dir)
        return false;
    std::string entryPath = folder + "/";
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        entryPath.resize(folder.size() + 1);
        entryPath += entry->d_name;
        const Kind kind = entry->d_type == DT_LNK ? kLink : entry->d_type == DT_UNKNOWN ? kToLookAt : kNoLink;
        known.emplace(entryPath, kind);
    }
    closedir(dir);
    return true;
}

bool LinkCheck::isKnownNoLink(const char* path, size_t end)
{
    key.assign(path, end);
    const auto seen = known.find(key);
    return seen != known.end() && seen->second == kNoLink;
}

LinkCheck::Kind LinkCheck::kindOf(const char* path, size_t folderEnd, size_t end)
{
    key.assign(path, end);
    const auto seen = known.find(key);
    if (seen != known.end() && seen->second != kToLookAt)
        return seen->second;
    // the folder's listing names the component as the folder's path, '/' and its name
    const bool isListed = path[folderEnd] == '/' && !memchr(path + folderEnd + 1, '/', end - folderEnd - 1);
    if (seen == known.end() && way == kReadFolders && isListed && readFolder(path, folderEnd)) {
        const auto listed = known.find(key);
        if (listed == known.end())
            return kMissing;
        if (listed->second != kToLookAt)
            return listed->second;
    }
    struct stat st;
    if (lstat(key.c_str(), &st) != 0)
        return kMissing; // not remembered: it may be made later
    const Kind kind = S_ISLNK(st.st_mode) ? kLink : kNoLink;
    known[key] = kind;
    return kind;
}

const char* LinkCheck::linkIn(const char* path, size_t rootSize, char* buf, size_t bufSize)
{
    const size_t length = strlen(path);
    if (length >= bufSize || rootSize > length)
        return 0;
    // the deepest component known to be no link: nothing above it needs a look
    size_t from = length;
    while (from > rootSize && !(endsComponent(path, length, rootSize, from) && isKnownNoLink(path, from)))
        --from;
    size_t folderEnd = from > rootSize ? from : rootSize > 0 && path[rootSize - 1] == '/' ? rootSize - 1 : rootSize;
    for (size_t end = from + 1; end <= length; ++end) {
        if (!endsComponent(path, length, rootSize, end))
            continue;
        const Kind kind = kindOf(path, folderEnd, end);
        if (kind == kLink) {
            memcpy(buf, path, end);
            buf[end] = '\0';
            return buf;
        }
        if (kind == kMissing)
            return 0;
        folderEnd = end;
    }
    return 0;
}
