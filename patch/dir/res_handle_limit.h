#pragma once
// dpatch_TResHandleLimit: reads many resources (anything that opens as an input stream of known size and closes
// again, e.g. the old files of a directory patch) while keeping at most a fixed number of them open.
//
//   dpatch_TResHandle res[n];   // per resource: resStreamSize, open(res, &stream), close(res, stream)
//   dpatch_TResHandleLimit limit = {};
//   dpatch_TResHandleLimit_open(&limit, maxOpen, res, n);   // opens nothing yet
//   limit.streamList[i]->read(limit.streamList[i], pos, out, out_end);   // opens resource i on demand
//   dpatch_TResHandleLimit_closeFileHandles(&limit);   // optional: close all, the streams stay usable
//   dpatch_TResHandleLimit_close(&limit);              // close all and free
//
// streamList[i] is a proxy stream of resStreamSize bytes. A read through a proxy whose resource is closed opens
// it, first closing the least recently read resource when the limit is reached. An opened stream must have
// exactly resStreamSize bytes (a file that changed size since it was listed is refused). The resources are
// borrowed and must outlive the limiter; everything runs on the caller's thread. Failed steps print
// "check ... error!" lines through dpatch_fprintf.

#include "patch/core/dpatch_types.h"

typedef struct dpatch_TResHandle
{
    void* resOwner; // free for the resource's maker
    dpatch_StreamPos_t resStreamSize;
    // Opens the resource and stores its stream in *out_pStream.
    BOOL (*open)(struct dpatch_TResHandle* res, const dpatch_TStreamInput** out_pStream);
    // Closes what open opened.
    BOOL (*close)(struct dpatch_TResHandle* res, const dpatch_TStreamInput* stream);
} dpatch_TResHandle;

struct dpatch_TResHandleLimit;

typedef struct _TResHandleProxy
{
    dpatch_TStreamInput base; // streamOwner = this proxy
    struct dpatch_TResHandleLimit* owner;
    dpatch_StreamPos_t lastUse; // the limiter's read counter at this proxy's latest read; 0 before the first
} _TResHandleProxy;

typedef struct dpatch_TResHandleLimit
{
    const dpatch_TStreamInput** streamList; // one proxy per resource, in resource order
    dpatch_StreamPos_t streamCount;
    _TResHandleProxy* _proxyList;
    const dpatch_TStreamInput** _openStreamList; // per resource its open stream, or none
    dpatch_TResHandle* _resList;
    dpatch_StreamPos_t _useCounter;
    dpatch_StreamPos_t _openCount;
    dpatch_StreamPos_t _maxOpenCount; // at least 1
    void* _pLimitMem;                 // holds streamList, _openStreamList and _proxyList
} dpatch_TResHandleLimit;

// Bytes the limiter allocates per resource.
size_t dpatch_TResHandleLimit_memPerResource(void);
// Sets up the proxies over resCount resources; a limit of 0 counts as 1. Fails silently, only when its memory
// can't be allocated. The record starts zero-filled.
BOOL dpatch_TResHandleLimit_open(dpatch_TResHandleLimit* self, dpatch_StreamPos_t limitMaxOpenCount,
                                 dpatch_TResHandle* resList, dpatch_StreamPos_t resCount);
// Closes every open resource, going on after a failed close; 1 only if all closes succeeded.
BOOL dpatch_TResHandleLimit_closeFileHandles(dpatch_TResHandleLimit* self);
// Closes every open resource and frees the proxies; harmless when repeated.
BOOL dpatch_TResHandleLimit_close(dpatch_TResHandleLimit* self);
