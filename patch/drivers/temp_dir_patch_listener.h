#pragma once
// The listener that patches a directory onto itself, all or nothing: runDirPatch writes the whole new tree
// afresh into R.dirpatch-new beside the old folder R, which stays untouched (unchanged files become hard
// links to the old files, or copies where a link can't be made, where the mode must differ, and for every
// path after the first that comes from one old file); after a successful patch patchFinish carries over what
// the old tree holds that the diff doesn't know, sets the execute bits and swaps the new tree in (see
// in_place_swap.h). After a failed patch it removes the new tree, and R is as it was.
//
// Modes: execute bits follow the diff (set where the new tree has them, cleared where it doesn't); setuid,
// setgid and sticky bits are dropped; the other permission bits of an unchanged or moved file are kept; new
// files get what the plain road gives them.
//
// One static record: it serves one run at a time. Before each run clear its dirPatcher and point its
// userData at the run's TInPlaceSwap, whose build record has been written.

#include "patch/dir/dir_patch_listener.h"

extern TDirPatchListener tempDirPatchListener;

BOOL tempCopySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                      struct dpatch_TCopyListener* copyListener);
BOOL tempPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess);
