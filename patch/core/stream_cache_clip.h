#pragma once
// A sequential reader of one byte range of a stream through a small cache owned by the caller.
// Every section of every diff is read through one of these.

#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"
#include "patch/core/streams.h"

// Longest type text (compress type, magic) a head may carry, and the buffer that holds it.
static const size_t dpatch_kMaxTypeTextLength = 259;
static const size_t dpatch_kTypeTextBufSize = 260;
// Longest tagged varint read through a clip.
static const size_t dpatch_kMaxPackedUIntBytes = 11;

typedef struct TStreamCacheClip
{
    dpatch_StreamPos_t streamPos;     // next byte of srcStream not yet in the cache
    dpatch_StreamPos_t streamPos_end; // end of the range in srcStream
    const dpatch_TStreamInput* srcStream;
    dpatch_byte* cacheBuf; // not owned
    size_t cacheBegin;     // first cached byte not yet consumed; unread bytes are [cacheBegin, cacheEnd)
    size_t cacheEnd;       // size of the cache
} TStreamCacheClip;

void _TStreamCacheClip_init(TStreamCacheClip* clip, const dpatch_TStreamInput* srcStream, dpatch_StreamPos_t streamPos,
                            dpatch_StreamPos_t streamPos_end, dpatch_byte* cacheBuf, size_t cacheCapacity);
// Bytes left: cached and not yet loaded.
dpatch_StreamPos_t _TStreamCacheClip_streamSize(const TStreamCacheClip* clip);
BOOL _TStreamCacheClip_isFinish(const TStreamCacheClip* clip);
BOOL _TStreamCacheClip_updateCache(TStreamCacheClip* clip);
// Pointer to the next n cached bytes (n <= cache size) or null; consumes nothing.
const dpatch_byte* _TStreamCacheClip_accessData(TStreamCacheClip* clip, size_t n);
// As accessData, and consumes the n bytes.
const dpatch_byte* _TStreamCacheClip_readData(TStreamCacheClip* clip, size_t n);
BOOL _TStreamCacheClip_skipData(TStreamCacheClip* clip, dpatch_StreamPos_t n);
BOOL _TStreamCacheClip_readDataTo(TStreamCacheClip* clip, dpatch_byte* out_data, dpatch_byte* out_data_end);
// Reads a text up to endTag (consumed, not stored) into out_type, NUL-terminated; at most 259 bytes.
BOOL _TStreamCacheClip_readType_end(TStreamCacheClip* clip, char endTag, char out_type[260]);
BOOL _TStreamCacheClip_unpackUIntWithTag(TStreamCacheClip* clip, dpatch_StreamPos_t* out_value, unsigned int kTagBit);
// Little-endian integer of 0 to 8 bytes.
BOOL _TStreamCacheClip_readUInt(TStreamCacheClip* clip, dpatch_StreamPos_t* out_value, size_t nBytes);

// Opens a reader over the next section at *curPos, stored as is (dataCompressedSize 0) or compressed.
// With out_clip null the section is only skipped. A non-null out_decompresser->decompressHandle left
// behind must be closed by the caller with the plugin's close, also after a failure further on.
BOOL getStreamClip(TStreamCacheClip* out_clip, _TDecompressInputStream* out_decompresser, dpatch_StreamPos_t dataSize,
                   dpatch_StreamPos_t dataCompressedSize, const dpatch_TStreamInput* stream, dpatch_StreamPos_t* curPos,
                   const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* cache, size_t cacheCapacity);
