#pragma once
// The folders' modes of an in-place run: the old tree's opened, noted and given back, the new tree's made and set.

#include "patch/core/dpatch_types.h"
#include "patch/drivers/in_place_record.h"
#include "patch/drivers/temp_dir_patch_listener.h"

#include <string>
#include <sys/stat.h>
#include <unordered_set>
#include <vector>

struct TDirPatcher;

// Opens to the run the folders of the old tree at oldRoot that the user owns but may not read or search,
// noting their modes, each in the run's build record before it is opened: the patch reads old files in them
// and the new tree carries over what they hold. A folder that can't be noted or opened stays as it is, and
// reading it then fails as it would have.
void tempDirPatchRun_openOldFolders(TTempDirPatchRun* run, const char* oldRoot);
// Gives the opened folders their modes back, the deepest first; the old tree is then as it was.
void tempDirPatchRun_closeOldFolders(TTempDirPatchRun* run);
// Gives the folders below root (a run's opened folders, or those a record notes) the modes they had, the
// last opened first, each only while it is the folder that was opened (the same inode, and device where
// compareDevice) and still has the mode the run opened it to: one gone, replaced or given another mode
// meanwhile keeps what it has. 0 when a mode can't be given (its line printed).
BOOL inPlace_giveFolderModesBack(const std::string& root, const std::vector<TInPlaceOpenedFolder>& folders,
                                 BOOL compareDevice);

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
