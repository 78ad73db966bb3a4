#pragma once
// The folders' modes of an in-place run: the old tree's opened to it and given back, the new tree's made and set.

#include "patch/core/dpatch_types.h"
#include "patch/drivers/temp_dir_patch_listener.h"

#include <string>
#include <sys/stat.h>
#include <unordered_set>

struct TDirPatcher;

// Opens to the run the folders of the old tree at oldRoot that the user owns but may not read or search,
// noting their modes: the patch reads old files in them and the new tree carries over what they hold. A
// folder that can't be opened stays as it is, and reading it then fails as it would have.
void tempDirPatchRun_openOldFolders(TTempDirPatchRun* run, const char* oldRoot);
// Gives the opened folders their modes back, the deepest first; the old tree is then as it was.
void tempDirPatchRun_closeOldFolders(TTempDirPatchRun* run);

// Makes the folder path of the new tree that stands where the old tree has the folder old (as lstat shows
// it): the user's alone (0700) until it gets old's mode once filled, but from the start with old's group and,
// where old has it, its setgid bit, so that what is made inside gets the group it would get in old. Where
// the user may not give that group, the folder has neither (*out_hasGroup tells, when asked).
BOOL inPlace_makeFolderLikeOld(const char* path, const struct stat& old, BOOL* out_hasGroup);

// Each folder of the new tree at newRoot that stands where the old tree at oldRoot has a folder gets that
// folder's mode (as it was before the run opened it) and group, the deepest first, so that a folder is
// read-only or unreadable only once everything in it is made; madeFolders are the folders, relative to the
// roots, that the carrying of strays made. The root's group was given when it was made.
BOOL tempDirPatchRun_setFolderModes(const TTempDirPatchRun* run, TDirPatcher* P, const std::string& oldRoot,
                                    const std::string& newRoot, const std::unordered_set<std::string>& madeFolders);
