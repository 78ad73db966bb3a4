#pragma once
// The names of an in-place run: the real folder and the names beside it, looked at, refused and renamed.
//
// One name at a time: the real folder an old path names, what stands at a name (looked at without following
// a link), the lines that refuse or note a name, and the renames that move one.

#include "patch/core/dpatch_types.h"

#include <string>
#include <sys/stat.h>

// The names beside the real folder R, as what follows R's path (see in_place_swap.h).
static const char inPlace_kNewSuffix[] = ".dirpatch-new";
static const char inPlace_kAsideSuffix[] = ".dirpatch-old";
static const char inPlace_kBuildRecordSuffix[] = ".dirpatch-build";
static const char inPlace_kSwapRecordSuffix[] = ".dirpatch-swap";

// path without its trailing '/'s (the root keeps one), "" for none.
std::string inPlace_withoutTrailingSlashes(const char* path);
// The folder path is in ("." for a bare name, "/" for a name in the root) and its last component.
std::string inPlace_folderOf(const std::string& path);
std::string inPlace_nameOf(const std::string& path);

// The real folder that path names, links followed and "." and ".." taken out. The folder itself need not
// exist (a swap cut short may have moved it aside), only the folder it would be in.
BOOL inPlace_resolveFolder(const char* path, std::string* out);

// What stands at a name, looked at without following a link: kind 0 missing, 1 a folder (not a link),
// 2 anything else, -1 when it can't be told; info is filled for kinds 1 and 2.
struct TInPlaceLook
{
    int kind = -1;
    struct stat info;
};

TInPlaceLook inPlace_look(const char* path);

// The error line of a name the run refuses: <text> "<path>" ERROR!
void inPlace_refuse(const char* text, const char* path);
// A name that is not what the in-place record says it is.
void inPlace_refuseInTheWay(const char* path);
// A name that the in-place record needs and that is missing.
void inPlace_refuseMissing(const char* path);
// The error and the note about a path in three pieces: text (which ends in a quote), the path, and the closing
// quote with "  ERROR!" or nothing more.
void inPlace_pathError(const char* text, const char* path);
void inPlace_pathNote(const char* text, const char* path);

// A rename that prints its line when it fails.
BOOL inPlace_renameNamed(const char* from, const char* to);
// A rename onto a name that must be free: what someone put there in the meantime is never replaced.
BOOL inPlace_renameToFree(const char* from, const char* to);
