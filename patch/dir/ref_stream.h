#pragma once
// dpatch_TRefStream: several input streams seen as one, laid end to end, each one's range rounded up to a
// multiple of kAlignSize with the gap reading as zeros (the directory patcher joins the old reference files
// this way, with kAlignSize 1, as the old data of the embedded diff).
//
//   dpatch_TRefStream ref = {};
//   dpatch_TRefStream_open(&ref, streams, count, 1);
//   ref.stream->read(ref.stream, pos, out, out_end);   // any position; sequential reads find their range at once
//   dpatch_TRefStream_close(&ref);
//
// The joined streams are borrowed and must outlive the reference stream. A read that reaches past the end of the
// joined stream fails with "check curRangeIndex<self->_rangeCount error!".

#include "patch/core/dpatch_types.h"

typedef struct dpatch_TRefStream
{
    const dpatch_TStreamInput* stream; // what to read; points at _stream while open
    dpatch_TStreamInput _stream;
    const dpatch_TStreamInput* const* _refList;
    dpatch_StreamPos_t* _rangeEndList; // end of each range; the entry before the first is 0
    dpatch_StreamPos_t _rangeCount;
    dpatch_StreamPos_t _curRangeIndex; // where the previous read ended
    dpatch_StreamPos_t kAlignSize;
    void* _buf; // the 0 entry and _rangeEndList
} dpatch_TRefStream;

// Joins refCount streams; kAlignSize must be at least 1. The record starts zero-filled; an open one is refused.
BOOL dpatch_TRefStream_open(dpatch_TRefStream* self, const dpatch_TStreamInput* const* refList,
                            dpatch_StreamPos_t refCount, dpatch_StreamPos_t kAlignSize);
// Frees the range table; harmless when repeated.
void dpatch_TRefStream_close(dpatch_TRefStream* self);
