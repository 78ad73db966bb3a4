#pragma once
// The diff formats the engine reads: covers and their readers, the head of the compressed diff
// "HDIFF13", the raw diff (no magic, no compression) and the single-stream diff "HDIFFSF20".
// Readers print nothing; their callers report failures.

#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"
#include "patch/core/stream_cache_clip.h"
#include "patch/core/streams.h"

// New bytes [newPos, newPos + length) are old bytes [oldPos, oldPos + length), each plus the matching
// difference byte modulo 256.
typedef struct dpatch_TCover
{
    dpatch_StreamPos_t oldPos;
    dpatch_StreamPos_t newPos;
    dpatch_StreamPos_t length;
} dpatch_TCover;

// A source of covers in new-position order.
typedef struct dpatch_TCovers
{
    dpatch_StreamPos_t (*leaveCoverCount)(const struct dpatch_TCovers* covers);
    // The next cover; 0 when none is left or its bytes are bad.
    BOOL (*readCover)(struct dpatch_TCovers* covers, dpatch_TCover* out_cover);
    // Every byte of the cover data was consumed.
    BOOL (*isFinished)(const struct dpatch_TCovers* covers);
    BOOL (*close)(struct dpatch_TCovers* covers);
} dpatch_TCovers;

// Covers decoded from their varints. For "HDIFF13" all three clip pointers name the one clip of the
// cover section.
typedef struct _TStreamCovers
{
    dpatch_TCovers base;
    dpatch_StreamPos_t coverCount; // covers left
    dpatch_StreamPos_t oldPosBack;
    dpatch_StreamPos_t newPosBack;
    TStreamCacheClip* incOldPosClip;
    TStreamCacheClip* incNewPosClip;
    TStreamCacheClip* lengthClip;
    int32_t isOldPosBackAddLength; // 1 for "HDIFF13", 0 for the raw diff
} _TStreamCovers;

// A cover reader that owns the decompressor of a compressed cover section; its close is
// _streamCovers_closeDecompress.
typedef struct _TDecompressStreamCovers
{
    _TStreamCovers base;
    TStreamCacheClip clip;
    _TDecompressInputStream decompresser;
} _TDecompressStreamCovers;

dpatch_StreamPos_t _streamCovers_leaveCoverCount(const dpatch_TCovers* covers);
BOOL _streamCovers_readCover(dpatch_TCovers* covers, dpatch_TCover* out_cover);
BOOL _streamCovers_isFinish(const dpatch_TCovers* covers);
BOOL _streamCovers_close(dpatch_TCovers* covers);
// For a _TDecompressStreamCovers: closes its decompressor once and forgets the handle.
BOOL _streamCovers_closeDecompress(dpatch_TCovers* covers);
// Fills the operations and counters; close is _streamCovers_close.
void _TStreamCovers_init(_TStreamCovers* covers, dpatch_StreamPos_t coverCount, TStreamCacheClip* incOldPosClip,
                         TStreamCacheClip* incNewPosClip, TStreamCacheClip* lengthClip, int32_t isOldPosBackAddLength);

// The public summary of an "HDIFF13" head.
typedef struct dpatch_TCompressedDiffInfo
{
    dpatch_StreamPos_t newDataSize;
    dpatch_StreamPos_t oldDataSize;
    int32_t compressedSectionCount; // compressed sizes that are not 0, 0 to 4
    char compressType[260];
} dpatch_TCompressedDiffInfo;

// The rest of an "HDIFF13" head, for the patchers. A compressed size of 0 means stored as is.
typedef struct _TCompressedDiffHead
{
    dpatch_StreamPos_t coverCount;
    dpatch_StreamPos_t coverBufSize;
    dpatch_StreamPos_t compressedCoverBufSize;
    dpatch_StreamPos_t rleCtrlBufSize;
    dpatch_StreamPos_t compressedRleCtrlBufSize;
    dpatch_StreamPos_t rleCodeBufSize;
    dpatch_StreamPos_t compressedRleCodeBufSize;
    dpatch_StreamPos_t newDataDiffSize;
    dpatch_StreamPos_t compressedNewDataDiffSize;
    dpatch_StreamPos_t headEndPos;  // position of the cover section
    dpatch_StreamPos_t coverEndPos; // headEndPos plus the cover section's stored size (wraps if that does)
} _TCompressedDiffHead;

typedef struct _TRawDiffHead
{
    dpatch_StreamPos_t coverCount;
    dpatch_StreamPos_t lengthSize;
    dpatch_StreamPos_t incNewPosSize;
    dpatch_StreamPos_t incOldPosSize;
    dpatch_StreamPos_t newDataDiffSize;
    dpatch_StreamPos_t headEndPos;  // position of the lengths
    dpatch_StreamPos_t coverEndPos; // position of the new-data section
} _TRawDiffHead;

typedef struct dpatch_TSingleDiffInfo
{
    dpatch_StreamPos_t newDataSize;
    dpatch_StreamPos_t oldDataSize;
    dpatch_StreamPos_t uncompressedSize;
    dpatch_StreamPos_t compressedSize;
    dpatch_StreamPos_t diffDataPos; // payload position minus diffInfoPos
    dpatch_StreamPos_t coverCount;
    dpatch_StreamPos_t maxStepSize;
    char compressType[260];
} dpatch_TSingleDiffInfo;

BOOL getCompressedDiffInfo(dpatch_TCompressedDiffInfo* out_info, const dpatch_TStreamInput* compressedDiff);
BOOL _read_compressed_diff_head(dpatch_TCompressedDiffInfo* out_info, _TCompressedDiffHead* out_head,
                                const dpatch_TStreamInput* compressedDiff);
BOOL _read_raw_diff_head(_TRawDiffHead* out_head, const dpatch_TStreamInput* diff);
BOOL getSingleCompressedDiffInfo(dpatch_TSingleDiffInfo* out_info, const dpatch_TStreamInput* stream,
                                 dpatch_StreamPos_t diffInfoPos);

// Builds the covers of a raw diff inside [mem, mem_end): the record and three equal caches.
BOOL _rawStreamCovers_open(dpatch_TCovers** out_covers, _TRawDiffHead* out_head, const dpatch_TStreamInput* diff,
                           dpatch_byte* mem, dpatch_byte* mem_end);

// Reads the head of an "HDIFF13" diff for its covers: fails when the head is bad or the cover section is
// compressed and decompressPlugin can't open it.
BOOL _read_compressed_cover_head(dpatch_TCompressedDiffInfo* out_info, _TCompressedDiffHead* out_head,
                                 const dpatch_TStreamInput* compressedDiff,
                                 const dpatch_TDecompressPlugin* decompressPlugin);
// Builds the covers of an "HDIFF13" diff with that head inside [mem, mem_end): the record, its decompressor
// and one cache; its close is _streamCovers_closeDecompress.
BOOL _compressedStreamCovers_open(dpatch_TCovers** out_covers, const _TCompressedDiffHead* head,
                                  const dpatch_TStreamInput* compressedDiff,
                                  const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* mem,
                                  dpatch_byte* mem_end);

static const size_t dpatch_kCoverListMemSize = 16384;

// A cover reader with its clips, decompressor and cache inside the record; close it through
// covers->close.
typedef struct dpatch_TCoverList
{
    dpatch_TCovers* covers;
    dpatch_byte coverMem[16384];
} dpatch_TCoverList;

BOOL dpatch_coverList_open_rawDiff(dpatch_TCoverList* list, const dpatch_TStreamInput* diff);
BOOL dpatch_coverList_open_compressedDiff(dpatch_TCoverList* list, const dpatch_TStreamInput* compressedDiff,
                                          const dpatch_TDecompressPlugin* decompressPlugin);
