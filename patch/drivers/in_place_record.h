#pragma once
// The in-place record beside R: its format, writing, reading and removal, the diff's identity and the boot id.
//
// R.dirpatch-build, then R.dirpatch-swap. Besides the format, what the record says each name must be, and
// what it names: the diff by the BLAKE3 digest of its data (the earlier builds by a hash of its size and
// ends), and the boot it was written in.
//
// The record of this build, written in one piece when the run begins, then lines appended, each in one write:
// one for every folder of R the run opens to itself, before it is opened, and one once the new tree is made:
//   dirpatch in-place record 2
//   boot <boot id, "-" where it can't be read>
//   old <device> <inode> <owner> of R
//   diff blake3 <64 hex digits>
//   opened <device> <inode> <mode in octal> <path below R, "." for R; bytes other than '!' to '~', and '%',
//          written as %XX>
//   new <device> <inode> of R.dirpatch-new
// The builds before the opened lines refuse a record that holds one, as none of theirs, so none of them
// removes a new tree without the modes given back; their own records are read as before. A record of the
// earlier builds ("dirpatch in-place record 1") holds only "old <device> <inode>" and "diff <size> <hash>".

#include "patch/core/dpatch_types.h"
#include "patch/drivers/in_place_names.h"

#include <stddef.h>
#include <string>
#include <sys/types.h>
#include <vector>

// A file or folder as a record names it.
struct TInPlaceIdentity
{
    unsigned long long device = 0;
    unsigned long long inode = 0;
};

// A folder of the old tree that a run opened to itself (owner read and search) to read it, and its mode before.
struct TInPlaceOpenedFolder
{
    std::string path; // relative to R, "" for R itself
    TInPlaceIdentity identity;
    mode_t mode = 0;
};

// A record as it was read.
struct TInPlaceRecord
{
    int version = 0; // 0 not this patcher's, 1 of an earlier build, 2
    BOOL isEmpty = 0;
    TInPlaceIdentity file; // of the record itself, as it was read
    TInPlaceIdentity old;
    unsigned long long oldOwner = 0;
    std::string diff;
    std::string boot;
    std::vector<TInPlaceOpenedFolder> opened; // in the order they were opened
    BOOL hasNew = 0;
    TInPlaceIdentity fresh;
};

// 0 missing, 1 read (version 0 when it is none of this patcher's), -1 refused or can't be read. The record
// is opened without following a link, and must be a regular file of the running user.
int inPlaceRecord_read(const char* path, TInPlaceRecord* out);
// Removes a record only while it is the file that was read.
BOOL inPlaceRecord_remove(const char* path, const TInPlaceIdentity& file);

// Creates the record at path, which must not exist, and writes it in one piece, so that a kill can't leave
// half a record; the open record goes to *out_fd. A failure prints its line and leaves no record.
BOOL inPlaceRecord_create(const char* path, const char* bootId, dev_t oldDevice, ino_t oldInode, uid_t oldOwner,
                          const char* diffIdentity, int* out_fd);
// Appends the new tree's identity to the record open at fd (path names it in the failure's line), in one write.
BOOL inPlaceRecord_noteNewTree(int fd, const char* path, dev_t newDevice, ino_t newInode);
// Appends a folder that the run is about to open, with its mode, to the record open at fd, in one write. On
// failure (its line printed) the folder must stay as it is: nothing would give its mode back.
BOOL inPlaceRecord_noteOpenedFolder(int fd, const char* path, const TInPlaceOpenedFolder& folder);

// What a record says each name must be. Device numbers are compared only within the boot that wrote them.
struct TInPlaceRecordedNames
{
    const TInPlaceRecord& record;
    BOOL compareDevice;

    TInPlaceRecordedNames(const TInPlaceRecord& record, const char* bootId);
    bool isOld(const TInPlaceLook& seen) const;
    // The old folder moved aside: a record of this build also knows its owner.
    bool isAside(const TInPlaceLook& seen) const;
    // The new tree, this user's; a record of an earlier build knows only that it is not the old folder.
    bool isNew(const TInPlaceLook& seen) const;
};

// The BLAKE3 digest of the diff data, all of it: two diffs differ wherever their bytes do. The data is
// [offset, +size) of diffFile, the whole file when offset is 0; out gets "blake3 " and the digest in hex.
BOOL inPlaceRecord_digestDiff(const char* diffFile, dpatch_StreamPos_t offset, dpatch_StreamPos_t size, char* out,
                              size_t outSize);
// How the earlier builds named the diff: FNV-1a over the size and both ends of the diff data.
BOOL inPlaceRecord_identifyDiffAsEarlierBuilds(const char* diffFile, dpatch_StreamPos_t offset, dpatch_StreamPos_t size,
                                               char* out, size_t outSize);
// The boot this run is in, "-" where it can't be read.
void inPlaceRecord_readBootId(char* out, size_t outSize);
