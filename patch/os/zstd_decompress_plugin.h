#pragma once
// zstdDecompressPlugin: the engine's decompressor for sections whose compress type is "zstd".
//
//   if (zstdDecompressPlugin.canOpen(compressType)) plugin = &zstdDecompressPlugin;
//   handle = plugin->open(plugin, decodedSize, codeStream, code_begin, code_end);   // null: can't decode
//   plugin->decompressPart(handle, out, out_end);   // the next decoded bytes, in order, any number of calls
//   plugin->close(plugin, handle);                  // exactly once per handle, also after a failure
//
// A handle reads only [code_begin, code_end) of codeStream (which must outlive it), in pieces of zstd's
// recommended input size, so a section followed by other data in the same stream is read exactly. The
// section may hold several frames (skippable ones included). decompressPart fails on corrupt or truncated
// data and when more bytes are asked for than the section decodes to. The table is constant and shared;
// handles on different threads don't interact.

#include "patch/core/decompress_plugin.h"

extern const dpatch_TDecompressPlugin zstdDecompressPlugin;
