#pragma once
// Applying the two diff formats besides "HDIFF13": the raw diff (no magic, nothing compressed), from
// memory or from streams, and the single-stream diff "HDIFFSF20", whose payload is read in one forward
// pass. Like the rest of the core these allocate nothing, print nothing and answer 1 or 0; after a
// failure the output holds whatever was written.

#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"

// The new data goes into [out_newData, out_newData_end), whose length is the new size.
BOOL patch_raw_mem(dpatch_byte* out_newData, dpatch_byte* out_newData_end, const dpatch_byte* oldData,
                   const dpatch_byte* oldData_end, const dpatch_byte* diff, const dpatch_byte* diff_end);
// The new and old sizes are those of the streams. Uses about 33 KiB of stack.
BOOL patch_raw_stream(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                      const dpatch_TStreamInput* diff);
BOOL patch_raw_stream_with_cache(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                                 const dpatch_TStreamInput* diff, dpatch_byte* temp_cache, dpatch_byte* temp_cache_end);

// Memory beyond one step's bytes that the single-stream patch needs: three parts of at least 4096.
static const size_t dpatch_kSingleStreamMinCacheSize = 12288;

// The payload is stored as is from diffDataPos (absolute) of stream to its end. diffDataPos, coverCount
// and maxStepSize come from getSingleCompressedDiffInfo.
BOOL patch_single_stream(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                         const dpatch_TStreamInput* stream, dpatch_StreamPos_t diffDataPos,
                         dpatch_StreamPos_t coverCount, dpatch_StreamPos_t maxStepSize, dpatch_byte* temp_cache,
                         dpatch_byte* temp_cache_end);
// With a plugin the payload from diffDataPos to the end of stream is one compressed stream that decodes
// to uncompressedSize bytes; without one it is read as is.
BOOL patch_single_compressed_diff(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                                  const dpatch_TStreamInput* stream, dpatch_StreamPos_t diffDataPos,
                                  dpatch_StreamPos_t uncompressedSize, const dpatch_TDecompressPlugin* decompressPlugin,
                                  dpatch_StreamPos_t coverCount, dpatch_StreamPos_t maxStepSize,
                                  dpatch_byte* temp_cache, dpatch_byte* temp_cache_end);
// The step loop shared by both; expects the memory test already passed.
BOOL _patch_single_steps(const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                         const dpatch_TStreamInput* stream, dpatch_StreamPos_t diffDataPos,
                         dpatch_StreamPos_t coverCount, dpatch_StreamPos_t maxStepSize, dpatch_byte* temp_cache,
                         dpatch_byte* temp_cache_end);
