#pragma once
// Planning of the patch's memory range before a diff is applied: the whole old data in memory, the
// covers in memory (with an optional cache of the old bytes of the short covers), or plain streaming.

#include "patch/core/array_covers.h"
#include "patch/core/cached_old_stream.h"
#include "patch/core/compressed_diff.h"
#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"

// Memory kept at the top of the range for the cover reader while the covers are loaded.
static const size_t dpatch_kCompressedCoverReaderMemSize = 65720;
static const size_t dpatch_kRawCoverReaderMemSize = 196840;

// After the call: fail the patch if *out_isReadError is 1; otherwise apply the diff with *pOldData,
// *out_covers (null: read the covers from the diff) and [*pTempCache, *pTempCacheEnd), then close
// *out_covers if it is not null. The result only tells whether the old data was replaced.
BOOL _patch_prepare_cache(dpatch_TCovers** out_covers, const dpatch_TStreamInput** pOldData,
                          dpatch_StreamPos_t newDataSize, const dpatch_TStreamInput* diffStream, BOOL isCompressedDiff,
                          const dpatch_TDecompressPlugin* decompressPlugin, size_t kCacheCount,
                          dpatch_byte** pTempCache, dpatch_byte** pTempCacheEnd, int* out_isReadError);

int _cmpByOldPos32(const void* a, const void* b);
int _cmpByOldPos64(const void* a, const void* b);
int _cmpByLength32(const void* a, const void* b);
int _cmpByLength64(const void* a, const void* b);
