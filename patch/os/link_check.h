#pragma once
// The check that paths below a root hold no symbolic link, each component looked at once.

#include <stddef.h>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Looks for symbolic links on paths below a root. What it has seen to be no link is taken as such for the
// rest of its life, so the paths of one folder cost nothing for the folders above them. A checker may
// therefore live only as long as nothing its owner doesn't control can put a link in place of what it has
// seen; to see changes, make a new one.
class LinkCheck
{
public:
    // How the checker learns what a component is:
    enum Way
    {
        // looks at it (lstat), once;
        kLookAtEach,
        // reads the folder that holds it, once for all its entries (a component the folder can't be read for
        // is looked at): for many paths in few folders, where nothing is added to those folders while the
        // checker lives, since what a folder didn't hold when it was read counts as missing.
        kReadFolders
    };
    explicit LinkCheck(Way way = kLookAtEach) : way(way) {}

    // The first symbolic link among the components of path after its first rootSize bytes, copied into buf,
    // or none. A component that doesn't exist ends the search: nothing below it exists either.
    const char* linkIn(const char* path, size_t rootSize, char* buf, size_t bufSize);

private:
    enum Kind
    {
        kNoLink,
        kLink,
        kMissing,
        kToLookAt
    };
    // A folder as it was read: its entries by name, sorted; none where it couldn't be read.
    struct Folder
    {
        bool isRead = false;
        std::vector<std::pair<std::string, Kind>> entries;
    };

    // What the component of path ending at end is; its folder is the path's first folderEnd bytes.
    Kind kindOf(const char* path, size_t folderEnd, size_t end);
    // What lstat tells of the component of path ending at end, remembered unless it is missing.
    Kind lookAt(const char* path, size_t end);
    // The folder that is the path's first folderEnd bytes, read the first time it is asked for.
    const Folder& folderAt(const char* path, size_t folderEnd);
    // Where the deepest component of path known to be no link ends, every one above it being no link too;
    // rootSize when none is known.
    size_t knownUpTo(const char* path, size_t length, size_t rootSize);

    Way way;
    std::unordered_map<std::string, Kind> known;  // components looked at, by their path
    std::unordered_map<std::string, Folder> read; // folders read, by their path (kReadFolders)
    const Folder* lastFolder = nullptr;           // the folder asked for last, which the next path likely shares
    std::string lastFolderPath;
    std::string key; // the path of the last lookup, kept to spare allocations
};
