#pragma once
// Checks an old directory against the leading part of a directory diff that arrives piece by piece,
// before the rest of the diff is there: it collects the head and the directory data, then opens every
// old file the diff will read and checks the sizes (and, with a checksum plugin, the stored checksums
// of the old reference data and of the copied files).
//
// Zero-fill the record, append pieces until *out_isAppendContinue is 0, check once, close.

#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"
#include "patch/dir/dir_checksum.h"
#include "patch/dir/dir_patcher.h"

typedef struct TOldDirVerifier
{
    TDirPatcher _dirPatcher;
    dpatch_byte* _diffBuf;    // start of the received bytes
    dpatch_byte* _diffBufCur; // end of the received bytes
    dpatch_byte* _diffBufEnd; // end of the capacity
    dpatch_TStreamInput _diffStream;
    int32_t _isOpened;       // the head is read
    int32_t _isAppendStoped; // enough bytes are in
} TOldDirVerifier;

// Adds [part, part_end); *out_isAppendContinue is 1 while more bytes are wanted. An empty part says
// that nothing more will come: it forces a head read at any length.
BOOL TOldDirVerifier_append(TOldDirVerifier* self, const dpatch_byte* part, const dpatch_byte* part_end,
                            BOOL* out_isAppendContinue);
BOOL TOldDirVerifier_checksum(TOldDirVerifier* self, const dpatch_TDecompressPlugin* decompressPlugin,
                              dpatch_TChecksumPlugin* checksumPlugin, const char* oldPath_utf8);
// The held diff's checksum type and compress type, so that the caller can pick the plugins.
const char* TOldDirVerifier_getChecksumType(const TOldDirVerifier* self);
const char* TOldDirVerifier_getCompressType(const TOldDirVerifier* self);
BOOL TOldDirVerifier_close(TOldDirVerifier* self);
