#pragma once
// Which stored checksums a directory patch compares, and the table a checksum implementation fills.
#include <stddef.h>
#include <stdint.h>

typedef void* dpatch_TChecksumHandle;

typedef struct dpatch_TChecksumPlugin
{
    const char* (*checksumType)(void);
    size_t (*checksumByteSize)(void);
    dpatch_TChecksumHandle (*open)(struct dpatch_TChecksumPlugin* plugin);
    void (*close)(struct dpatch_TChecksumPlugin* plugin, dpatch_TChecksumHandle handle);
    void (*begin)(dpatch_TChecksumHandle handle);
    void (*append)(dpatch_TChecksumHandle handle, const unsigned char* data, const unsigned char* data_end);
    void (*end)(dpatch_TChecksumHandle handle, unsigned char* out, unsigned char* out_end);
} dpatch_TChecksumPlugin;

typedef struct TChecksumSet
{
    dpatch_TChecksumPlugin* checksumPlugin;
    int32_t isCheck_oldRefData;
    int32_t isCheck_newRefData;
    int32_t isCheck_copyFileData;
    int32_t isCheck_diffData;
} TChecksumSet;
