#pragma once
// The in-place swap's steps, which make patching a directory onto itself all-or-nothing, and its lock.
//
// The road as a whole, and the way a later run finds and finishes what a killed run left:
//
// For the real folder R that the old path names (links, "." and ".." resolved), four names beside it:
//   R.dirpatch-new    the new tree, made afresh while R stays untouched;
//   R.dirpatch-old    R moved aside during the swap, removed at its end;
//   R.dirpatch-build  the record of a run that is making R.dirpatch-new;
//   R.dirpatch-swap   the same record, renamed once R.dirpatch-new is complete: from then on the new tree
//                     is the result, and a later run finishes the swap instead of patching again.
// The record holds a line that marks it as this patcher's, the boot it was written in, the identity (device,
// inode and owner) of the old folder, the BLAKE3 digest of the diff, each folder of the old tree that the run
// opens to itself with its mode, noted before it is opened, and, from the moment it is made, the identity of
// the new tree. A later run acts on these names only where each is what the record says it is:
// it finds a swap cut short, never mistakes an unrelated folder, file or link for one of these, and never
// applies the same diff to a tree that already is its result. Device numbers are compared only within the
// boot that wrote them. Records of builds that held no boot and new-tree lines are finished as well. A run
// that removes a new tree left half made first gives the folders the record notes their modes back.
// A swap is: record build -> swap, R -> R.dirpatch-old, R.dirpatch-new -> R, R.dirpatch-old removed,
// record removed; before each step the names it moves are looked at again, without following links.
// Each failure prints one line with the path and the system's error text.
//
// One in-place run at a time works in a folder: the run locks R's parent folder (flock) before it looks
// at anything, and holds it until inPlaceSwap_end or its exit. A parent folder that another user may
// write to and that has no sticky bit is refused: anyone could put their own folder or link at one of
// these names between two steps.
//
// Here: the run's steps and its lock. The rest, by role:
//   in_place_names.h     the real folder an old path names, the names beside it, how one is looked at,
//                        refused and renamed;
//   in_place_record.h    the record: its format, writing, reading and removal, the diff's identity, the boot id;
//   in_place_recovery.h  what a later run does with a swap cut short or a new tree left half made;
//   temp_dir_patch_listener.h  the listener that fills the new tree, with in_place_folder_modes.h (the
//                        folders' modes, old and new) and in_place_stray_carrier.h (what the diff doesn't know);
//   patch/os/tree_removal.h, patch/os/link_check.h  the removal of a tree that never enters a mount, and the
//                        check for a symbolic link on a path.
#include "patch/core/dpatch_types.h"
#include "patch/os/file_services.h"

#include <sys/types.h>

class LinkCheck;

static const size_t dpatch_kSwapPathBufSize = dpatch_kPathBufSize + 32;

typedef struct TInPlaceSwap
{
    char realDir[dpatch_kSwapPathBufSize];     // R, without a trailing '/'
    char newDir[dpatch_kSwapPathBufSize];      // R.dirpatch-new
    char asideDir[dpatch_kSwapPathBufSize];    // R.dirpatch-old
    char buildRecord[dpatch_kSwapPathBufSize]; // R.dirpatch-build
    char swapRecord[dpatch_kSwapPathBufSize];  // R.dirpatch-swap
    char diffIdentity[96];                     // "blake3 " and the digest of the diff data in hex
    char bootId[48];                           // the boot this run is in, "-" where it can't be read
    dev_t oldDevice;
    ino_t oldInode;
    uid_t oldOwner;
    BOOL hasNewTree; // R.dirpatch-new was made by this run, with this identity
    dev_t newDevice;
    ino_t newInode;
    int lockFd;   // R's parent folder, locked: -1 when the file system can't lock
    int recordFd; // the build record, from its creation to the swap; -1 when closed
} TInPlaceSwap;

typedef enum TInPlaceStart
{
    kInPlaceStart_patch = 0,    // R is ready to be patched
    kInPlaceStart_done = 1,     // an earlier run of this diff was finished: R already is its result
    kInPlaceStart_refused = 2,  // something beside R can't be told apart or put right; nothing was changed
    kInPlaceStart_noFolder = 3, // R is no folder, and nothing beside it says a swap moved it
} TInPlaceStart;

// Resolves oldPath to its real folder, locks its parent, fills the names and the diff's identity (of the diff
// data at [diffDataOffert, +diffDataSize) of diffFile, the whole file when diffDataOffert is 0), and puts
// right what an earlier run left: a swap cut short is finished (and kInPlaceStart_done answered when it was
// of the same diff), a new tree left half made is removed with its record. An old path that leads to the
// folder a swap cut short moved aside (the working directory of a shell started in R, say) stands for R.
// Call inPlaceSwap_end whatever it answers.
TInPlaceStart inPlaceSwap_start(TInPlaceSwap* self, const char* oldPath, const char* diffFile,
                                dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize);
// Writes the build record; R.dirpatch-new must not exist yet.
BOOL inPlaceSwap_beginBuild(TInPlaceSwap* self);
// Makes R.dirpatch-new, private to the user while it is filled (0700), with R's group and, when R has
// it, the setgid bit, so that what is made in it gets R's group as it would in R and R keeps both after the
// swap; R's own mode is given to it once it is complete. A group the user may not give is noted and left.
BOOL inPlaceSwap_makeNewTree(TInPlaceSwap* self);
// Called right after R.dirpatch-new was made: takes its identity into the record. On failure the folder is
// removed again.
BOOL inPlaceSwap_noteNewTree(TInPlaceSwap* self);
// Whether the run may make path in its new tree: path lies below R.dirpatch-new, which is still the folder
// this run made (looked at on every call), and no symbolic link stands on the folders that lead to it. path
// itself is not looked at: it is made exclusively, so whatever stands there, a link included, fails the
// making. newTreeLinks is the run's one checker of the new tree: only this user can change what the new tree
// holds (it is theirs and 0700, in a parent folder that others may not write to, or only with the sticky
// bit), so each of its folders is looked at once a run. A refusal prints its line.
BOOL inPlaceSwap_isOursToMake(const TInPlaceSwap* self, LinkCheck* newTreeLinks, const char* path);
// The same for a path the run made and now changes by its name: no link stands at path itself either.
BOOL inPlaceSwap_isOursToWrite(const TInPlaceSwap* self, LinkCheck* newTreeLinks, const char* path);
// Swaps the complete new tree in. A failure before R was replaced puts everything back as it was (R
// untouched, the new tree and the record removed); a failure after it leaves the record for the next run.
BOOL inPlaceSwap_commit(TInPlaceSwap* self);
// Whether the build record is there, e.g. after a run that failed before its listener was called.
BOOL inPlaceSwap_hasBuildRecord(const TInPlaceSwap* self);
// Removes the new tree and the build record: the run ends with R as it was. A new tree that is no longer
// the folder this run made is left, with the record, for the next run to refuse.
BOOL inPlaceSwap_abandon(TInPlaceSwap* self);
// Closes what the run holds open and lets the next run work in the parent folder.
void inPlaceSwap_end(TInPlaceSwap* self);
