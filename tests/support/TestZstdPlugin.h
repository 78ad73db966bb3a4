#pragma once
// The zstd decompressor the patch tests decode compressed sections with.

#include "patch/decompress_plugin.h"

const dpatch_TDecompressPlugin* testZstdPlugin();
