#pragma once
// Streams over memory, windows onto other streams, and the stream that hands out the decoded bytes
// of one compressed section. None of them allocates; the records belong to the caller.

#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"

// Memory streams over [mem, mem_end). Reads and writes that pass the end fail.
void dpatch_memStreamInput_init(dpatch_TStreamInput* stream, const dpatch_byte* mem, const dpatch_byte* mem_end);
void dpatch_memStreamOutput_init(dpatch_TStreamOutput* stream, dpatch_byte* mem, dpatch_byte* mem_end);

// Bytes [clipBeginPos, clipEndPos) of srcStream as a stream of its own starting at 0.
typedef struct TStreamInputClip
{
    dpatch_TStreamInput base;
    const dpatch_TStreamInput* srcStream;
    dpatch_StreamPos_t clipBeginPos;
} TStreamInputClip;

typedef struct TStreamOutputClip
{
    dpatch_TStreamOutput base;
    const dpatch_TStreamOutput* srcStream;
    dpatch_StreamPos_t clipBeginPos;
} TStreamOutputClip;

// A range that does not lie inside the source (begin > end or end > source size) gives an empty
// window, whose reads of any byte fail.
void TStreamInputClip_init(TStreamInputClip* clip, const dpatch_TStreamInput* srcStream,
                           dpatch_StreamPos_t clipBeginPos, dpatch_StreamPos_t clipEndPos);
void TStreamOutputClip_init(TStreamOutputClip* clip, const dpatch_TStreamOutput* srcStream,
                            dpatch_StreamPos_t clipBeginPos, dpatch_StreamPos_t clipEndPos);

// The decoded bytes of one compressed section, handed out in order whatever position is asked for.
typedef struct _TDecompressInputStream
{
    dpatch_TStreamInput base;
    const dpatch_TDecompressPlugin* decompressPlugin;
    dpatch_TDecompressHandle decompressHandle;
} _TDecompressInputStream;

BOOL _TDecompressInputStream_open(_TDecompressInputStream* stream, dpatch_StreamPos_t dataSize,
                                  const dpatch_TDecompressPlugin* decompressPlugin,
                                  const dpatch_TStreamInput* codeStream, dpatch_StreamPos_t code_begin,
                                  dpatch_StreamPos_t code_end);
// Closes a non-null handle (its result is not used) and clears it; stream may be null.
void _TDecompressInputStream_close(_TDecompressInputStream* stream);
// Decodes [code, code_end) into exactly [out_data, out_data_end).
BOOL dpatch_decompress_mem(const dpatch_TDecompressPlugin* decompressPlugin, const dpatch_byte* code,
                           const dpatch_byte* code_end, dpatch_byte* out_data, dpatch_byte* out_data_end);
