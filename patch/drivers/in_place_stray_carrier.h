#pragma once
// What the old tree holds beyond the diff, carried into an in-place run's new tree as it is, by hard links.

#include "patch/core/dpatch_types.h"
#include "patch/drivers/in_place_swap.h"

#include <string>
#include <sys/stat.h>
#include <unordered_set>

struct TDirPatcher;

// What the old tree holds beyond the diff's old paths: saves, settings, anything the diff doesn't know.
// A file the new tree has at the same path replaces the old one, and one that stands where the new tree has
// a folder, or the other way round, refuses the patch.
class StrayCarrier
{
public:
    StrayCarrier(TDirPatcher* P, const TInPlaceSwap* swap, LinkCheck* newTreeLinks, const std::string& oldRoot,
                 const std::string& newRoot);

    BOOL carry() { return walk(""); }
    // The folders the carrying made, which the diff doesn't know, relative to the roots.
    const std::unordered_set<std::string>& madeFolders() const { return made; }

private:
    // relDir is "" or ends with '/'
    BOOL walk(const std::string& relDir);
    // Makes the folders of relDir in the new tree that it doesn't have, the user's alone until they get the
    // old folders' modes at the end, but with their groups and setgid bits from the start.
    BOOL makeParents(const std::string& relDir);
    static BOOL linkEntry(const std::string& from, const std::string& to, const struct stat& info);

    const TInPlaceSwap* swap;
    LinkCheck* newTreeLinks;
    std::string oldRoot;
    std::string newRoot;
    std::unordered_set<std::string> oldPaths;
    std::unordered_set<std::string> newPaths;
    std::unordered_set<std::string> made;
};
