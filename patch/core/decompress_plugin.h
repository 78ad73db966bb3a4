#pragma once
// The decompressor interface: one table of four operations per compression type. The engine opens
// one handle per compressed section, pulls its decoded bytes strictly in order and closes it once.

#include "patch/core/dpatch_types.h"

typedef void* dpatch_TDecompressHandle;

typedef struct dpatch_TDecompressPlugin
{
    // True if this plugin decodes the NUL-terminated type name.
    BOOL (*canOpen)(const char* compressType);
    // Prepares to decode the compressed bytes [code_begin, code_end) of codeStream, which decode to
    // dataSize bytes; null on failure.
    dpatch_TDecompressHandle (*open)(const struct dpatch_TDecompressPlugin* plugin, dpatch_StreamPos_t dataSize,
                                     const dpatch_TStreamInput* codeStream, dpatch_StreamPos_t code_begin,
                                     dpatch_StreamPos_t code_end);
    // Releases the handle; 0 if releasing failed.
    BOOL (*close)(const struct dpatch_TDecompressPlugin* plugin, dpatch_TDecompressHandle handle);
    // Produces exactly the next out_data_end - out_data decoded bytes.
    BOOL (*decompressPart)(dpatch_TDecompressHandle handle, dpatch_byte* out_data, dpatch_byte* out_data_end);
} dpatch_TDecompressPlugin;
