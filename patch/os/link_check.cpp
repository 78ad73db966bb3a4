#include "patch/os/link_check.h"

#include <algorithm>
#include <dirent.h>
#include <string.h>
#include <string_view>
#include <sys/stat.h>

namespace
{
// Whether a component of path ends at end (where a '/' or the end of the path follows a name).
bool endsComponent(const char* path, size_t length, size_t rootSize, size_t end)
{
    return (end == length || path[end] == '/') && end > rootSize && path[end - 1] != '/';
}

// Whether the component of path ending at end is the name of an entry of the folder that the path's first
// folderEnd bytes spell: the two are joined by one '/'.
bool isEntryOf(const char* path, size_t folderEnd, size_t end)
{
    return path[folderEnd] == '/' && end > folderEnd + 1 && !memchr(path + folderEnd + 1, '/', end - folderEnd - 1);
}
} // namespace

const LinkCheck::Folder& LinkCheck::folderAt(const char* path, size_t folderEnd)
{
    const std::string_view folderPath(path, folderEnd);
    if (lastFolder && lastFolderPath == folderPath)
        return *lastFolder;
    lastFolderPath.assign(folderPath);
    const auto [at, isNew] = read.try_emplace(lastFolderPath);
    Folder& folder = at->second;
    lastFolder = &folder;
    if (!isNew)
        return folder;
    DIR* dir = opendir(lastFolderPath.c_str());
    if (!dir)
        return folder;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        const Kind kind = entry->d_type == DT_LNK ? kLink : entry->d_type == DT_UNKNOWN ? kToLookAt : kNoLink;
        folder.entries.emplace_back(entry->d_name, kind);
    }
    closedir(dir);
    std::sort(folder.entries.begin(), folder.entries.end());
    folder.isRead = true;
    return folder;
}

LinkCheck::Kind LinkCheck::lookAt(const char* path, size_t end)
{
    key.assign(path, end);
    const auto seen = known.find(key);
    if (seen != known.end())
        return seen->second;
    struct stat st;
    if (lstat(key.c_str(), &st) != 0)
        return kMissing; // not remembered: it may be made later
    const Kind kind = S_ISLNK(st.st_mode) ? kLink : kNoLink;
    known.emplace(key, kind);
    return kind;
}

LinkCheck::Kind LinkCheck::kindOf(const char* path, size_t folderEnd, size_t end)
{
    if (way == kReadFolders && isEntryOf(path, folderEnd, end)) {
        const Folder& folder = folderAt(path, folderEnd);
        if (folder.isRead) {
            const std::string_view name(path + folderEnd + 1, end - folderEnd - 1);
            const auto entry =
                std::lower_bound(folder.entries.begin(), folder.entries.end(), name,
                                 [](const std::pair<std::string, Kind>& e, std::string_view n) { return e.first < n; });
            if (entry == folder.entries.end() || entry->first != name)
                return kMissing;
            if (entry->second != kToLookAt)
                return entry->second;
        }
    }
    return lookAt(path, end);
}

size_t LinkCheck::knownUpTo(const char* path, size_t length, size_t rootSize)
{
    if (way == kReadFolders) {
        // a folder is read only once it is known to be no link, and so is every one above it
        const char* lastSlash = (const char*)memrchr(path + rootSize, '/', length - rootSize);
        const size_t folderEnd = lastSlash ? (size_t)(lastSlash - path) : 0;
        if (!lastSlash || folderEnd <= rootSize || !isEntryOf(path, folderEnd, length))
            return rootSize;
        const std::string_view folderPath(path, folderEnd);
        const bool wasRead = (lastFolder && lastFolderPath == folderPath) || read.count(std::string(folderPath));
        return wasRead && kindOf(path, folderEnd, length) == kNoLink ? length : rootSize;
    }
    for (size_t end = length; end > rootSize; --end) {
        if (!endsComponent(path, length, rootSize, end))
            continue;
        key.assign(path, end);
        const auto seen = known.find(key);
        if (seen != known.end() && seen->second == kNoLink)
            return end;
    }
    return rootSize;
}

const char* LinkCheck::linkIn(const char* path, size_t rootSize, char* buf, size_t bufSize)
{
    const size_t length = strlen(path);
    if (length >= bufSize || rootSize > length)
        return 0;
    const size_t from = knownUpTo(path, length, rootSize);
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
