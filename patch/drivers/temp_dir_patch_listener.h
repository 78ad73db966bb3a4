#pragma once
// The listener that patches a directory onto itself, all or nothing: runDirPatch writes the whole new tree
// afresh into R.dirpatch-new beside the old folder R, which stays untouched (unchanged files become hard
// links to the old files, or copies where a link can't be made, where the mode must differ, and for every
// path after the first that comes from one old file); after a successful patch patchFinish carries over what
// the old tree holds that the diff doesn't know (in_place_stray_carrier.h), sets the execute bits and swaps the
// new tree in (see in_place_swap.h). After a failed patch it removes the new tree, and R is as it was.
//
// Modes: execute bits follow the diff (set where the new tree has them, cleared where it doesn't); setuid,
// setgid and sticky bits are dropped; the other permission bits of an unchanged or moved file are kept; new
// files get what the plain road gives them. A folder that stands where the old tree has one gets that
// folder's mode (all its bits) and group: its group and setgid bit when it is made, so that what is written
// in it gets the group it would get in the old folder, the rest once everything in it is made, so that a
// read-only or an unreadable folder is filled as any other; a new folder gets what the plain road gives it.
// The folders' modes, the old tree's opened to the run and the new tree's given, are in
// in_place_folder_modes.h.
//
// Each run has a record of its own, filled by tempDirPatchListener_init, so that nothing of one run is
// left for the next.

#include "patch/dir/dir_patch_listener.h"
#include "patch/drivers/in_place_record.h"
#include "patch/drivers/in_place_swap.h"
#include "patch/os/link_check.h"

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

// What one run keeps between the callbacks: its swap (whose build record has been written), which new
// paths are executable and which old files already gave a new path its link. Lives as long as the run.
struct TTempDirPatchRun
{
    TInPlaceSwap* swap = nullptr;
    std::vector<bool> isExecute;  // by new path index
    std::vector<bool> isOldTaken; // by old path index
    size_t nextSamePair = 0;
    LinkCheck newTreeLinks; // the components of the new tree seen to be no link (see inPlaceSwap_isOursToMake)
    // The folders of the old tree, of the user's own, that the user could not read or search and that the
    // run opened (u+rx) to read them, parent first, with their modes; relative to oldRoot, "" for the root.
    // Each is in the build record too, so that the next run gives the modes back after a kill.
    std::string oldRoot;
    std::vector<TInPlaceOpenedFolder> openedFolders;
};

// The callbacks with no run: a copy of it fails in patchBegin and touches nothing in patchFinish.
extern const TDirPatchListener tempDirPatchListener;

// Fills listener for one run: the callbacks above, and userData pointing at run.
void tempDirPatchListener_init(TDirPatchListener* listener, TTempDirPatchRun* run);

BOOL tempCopySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                      struct dpatch_TCopyListener* copyListener);
BOOL tempPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess);
