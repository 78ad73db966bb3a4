#pragma once
// Applies one "HDIFF13" diff: old data and diff in, new data out, written strictly in order. All
// working memory comes from the caller's range; nothing is allocated.

#include "patch/core/compressed_diff.h"
#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"
#include "patch/core/stream_cache_clip.h"

// Streaming decoder of the two RLE sections; at most one of copyLength and setLength is nonzero.
typedef struct _TRleDecoder
{
    dpatch_StreamPos_t copyLength; // bytes still to take from the code section
    dpatch_StreamPos_t setLength;  // bytes still to produce for the current value run
    dpatch_byte setValue;
    TStreamCacheClip ctrlClip;
    TStreamCacheClip codeClip;
} _TRleDecoder;

// Write-behind cache in front of the output stream.
typedef struct _TOutStreamCache
{
    dpatch_StreamPos_t writeToPos; // output position of the first cached byte
    const dpatch_TStreamOutput* dstStream;
    dpatch_byte* cacheBuf;
    size_t cacheUsed;
    size_t cacheCapacity;
} _TOutStreamCache;

// The smallest memory part the patch loop accepts.
static const size_t dpatch_kMinPatchPartSize = 260;
// The largest part the patch loop uses. Reads and writes of this size already cost next to nothing per call,
// and the data stays in the processor's cache between being read and written; larger parts would only add
// fresh pages to fault in, one per 4 KiB that passes through them.
static const size_t dpatch_kMaxPatchPartSize = 2 * 1024 * 1024;

// The size of each of partCount parts of memSize bytes, at most dpatch_kMaxPatchPartSize.
size_t _patch_partSize(size_t memSize, size_t partCount);

BOOL patch_decompress_with_cache(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                                 const dpatch_TStreamInput* compressedDiff,
                                 const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* temp_cache,
                                 dpatch_byte* temp_cache_end);
// The same on 24576 bytes of its own (six parts of 4096).
BOOL patch_decompress(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                      const dpatch_TStreamInput* compressedDiff, const dpatch_TDecompressPlugin* decompressPlugin);

BOOL _patch_decompress_clips(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                             const dpatch_TStreamInput* compressedDiff,
                             const dpatch_TDecompressPlugin* decompressPlugin, dpatch_TCovers* covers,
                             dpatch_byte* temp_cache, dpatch_byte* temp_cache_end);
// buf is the work buffer for old bytes; the output cache is the part of the same size after it.
BOOL _patch_apply_covers(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                         dpatch_TCovers* covers, TStreamCacheClip* newDataClip, _TRleDecoder* rleDecoder,
                         dpatch_byte* buf, size_t partSize);

// Adds the next n decoded bytes onto out[0..n) modulo 256; with out null, reads and drops them.
BOOL _TRleDecoder_decodeAdd(_TRleDecoder* decoder, dpatch_byte* out, dpatch_StreamPos_t n);
BOOL _TOutStreamCache_write(_TOutStreamCache* cache, const dpatch_byte* data, size_t n);
BOOL _TOutStreamCache_flush(_TOutStreamCache* cache);
// dst[i] = (dst[i] + src[i]) mod 256.
void _addBytes(dpatch_byte* dst, const dpatch_byte* src, size_t n);
