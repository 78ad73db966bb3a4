#pragma once
// The listener that patches a directory onto itself: runDirPatch writes the new tree into a temporary
// directory beside the old one (unchanged files are not copied there), and after a successful patch
// patchFinish rebuilds the old directory from it and deletes the temporary directory. After a failed
// patch it only deletes what the run wrote into the temporary directory.
//
// One static record: it serves one run at a time. Clear its dirPatcher before each run, so that a run
// that fails before patchBegin never reaches a patcher of an earlier run.

#include "patch/dir/dir_patch_listener.h"

extern TDirPatchListener tempDirPatchListener;

BOOL tempCopySameFile(TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
                      struct dpatch_TCopyListener* copyListener);
BOOL tempPatchFinish(TDirPatchListener* listener, BOOL isPatchSuccess);
