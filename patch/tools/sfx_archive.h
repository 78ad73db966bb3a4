#pragma once
// Self-extracting archives: copies of an executable that carry a diff behind their own bytes and find it
// through a marker block inside themselves. createSfx builds one; a running program asks readSfxMarker
// whether it is one.

#include "patch/core/dpatch_types.h"

enum TPatcherCommandLineResult
{
    DPATCH_SFX_DIFFTYPE_ERROR = 201,      // the diff for an archive is of no known type
    DPATCH_SFX_EXETYPE_ERROR = 202,       // the executable has no plain marker block or is 4 GiB or larger
    DPATCH_SFX_EXECUTETAG_ERROR = 203,    // the archive's execute bits can't be set
    DPATCH_SFX_NOTFOUND_DIFF_ERROR = 204, // "-X" in a program that carries no diff
};

// Builds an archive from the executable and the diff without looking at the diff.
int createSfx(const char* selfExecuteFile, const char* diffFile, const char* outSelfExtractArchive);
// createSfx after checking that the diff is a directory diff or a compressed diff.
int createSfxChecked(const char* selfExecuteFile, const char* diffFile, const char* outSelfExtractArchive);
BOOL isDirDiffFile(const char* path);
BOOL isCompressedDiffFile(const char* path);
// Where this program's own diff lies inside its file; 0 when it carries none.
BOOL readSfxMarker(dpatch_StreamPos_t* out_offset, dpatch_StreamPos_t* out_size);
