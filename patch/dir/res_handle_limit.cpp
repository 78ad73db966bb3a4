#include "patch/dir/res_handle_limit.h"

#include <cstdint>
#include <cstdlib>

#include "patch/core/dpatch_check.h"

namespace
{
// Bytes reserved per resource: its proxy pointer, its open-stream slot and the proxy itself.
const size_t kLimitMemPerResource = 64;
static_assert(2 * sizeof(void*) + sizeof(_TResHandleProxy) <= kLimitMemPerResource, "per-resource memory");

BOOL _TResHandleLimit_closeOneHandle(dpatch_TResHandleLimit* self)
{
    const dpatch_StreamPos_t count = self->streamCount;
    dpatch_StreamPos_t best_i = count;
    for (dpatch_StreamPos_t i = 0; i < count; ++i) {
        // Strictly smaller, scanning upwards: equal marks go to the lowest index.
        if (self->_openStreamList[i] &&
            (best_i == count || self->_proxyList[i].lastUse < self->_proxyList[best_i].lastUse))
            best_i = i;
    }
    check(best_i<count);
    {
        dpatch_TResHandle* res = &self->_resList[best_i];
        const dpatch_TStreamInput* cur = self->_openStreamList[best_i];
        self->_openStreamList[best_i] = 0;
        // Counted as closed even if closing fails, so the count keeps matching the open slots.
        --self->_openCount;
        check(res->close(res,cur));
    }
    return 1;
}

BOOL _TResHandleLimit_openHandle(dpatch_TResHandleLimit* self, dpatch_StreamPos_t index)
{
    dpatch_TResHandle* res = &self->_resList[index];
    const dpatch_TStreamInput** pCur = &self->_openStreamList[index];
    if (self->_openCount >= self->_maxOpenCount)
        check(_TResHandleLimit_closeOneHandle(self));
    if (!res->open(res, pCur)) {
        // Whatever a failed open left in the slot is not an open resource.
        *pCur = 0;
        dpatch_fprintf(stderr, "check res->open(res,pCur) error!\n");
        return 0;
    }
    check((*pCur)!=0);
    if ((*pCur)->streamSize != res->resStreamSize) {
        // A resource that changed size since it was listed must not serve data; close it at once so that no
        // refused stream stays open and the open count stays exact.
        const dpatch_TStreamInput* refused = *pCur;
        *pCur = 0;
        res->close(res, refused);
        dpatch_fprintf(stderr, "check (*pCur)->streamSize==res->resStreamSize error!\n");
        return 0;
    }
    ++self->_openCount;
    return 1;
}

BOOL _TResHandleLimit_read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                           dpatch_byte* out_data_end)
{
    _TResHandleProxy* proxy = (_TResHandleProxy*)stream->streamOwner;
    dpatch_TResHandleLimit* self = proxy->owner;
    const dpatch_StreamPos_t index = (dpatch_StreamPos_t)(proxy - self->_proxyList);
    // Every read is a new mark, so the resource evicted is always the one read longest ago.
    ++self->_useCounter;
    proxy->lastUse = self->_useCounter;
    if (!self->_openStreamList[index])
        check(_TResHandleLimit_openHandle(self,index));
    const dpatch_TStreamInput* cur = self->_openStreamList[index];
    return cur->read(cur, readFromPos, out_data, out_data_end);
}
} // namespace

size_t dpatch_TResHandleLimit_memPerResource(void)
{
    return kLimitMemPerResource;
}

BOOL dpatch_TResHandleLimit_open(dpatch_TResHandleLimit* self, dpatch_StreamPos_t limitMaxOpenCount,
                                 dpatch_TResHandle* resList, dpatch_StreamPos_t resCount)
{
    // A count from a diff must not make the size wrap into a small block.
    if (resCount > SIZE_MAX / kLimitMemPerResource)
        return 0;
    const size_t memSize = (size_t)resCount * kLimitMemPerResource;
    unsigned char* mem = (unsigned char*)malloc(memSize ? memSize : 1);
    if (!mem)
        return 0;
    self->_pLimitMem = mem;
    self->streamList = (const dpatch_TStreamInput**)mem;
    self->_openStreamList = (const dpatch_TStreamInput**)(mem + (size_t)resCount * sizeof(void*));
    self->_proxyList = (_TResHandleProxy*)(mem + (size_t)resCount * 2 * sizeof(void*));
    self->streamCount = resCount;
    self->_resList = resList;
    self->_maxOpenCount = limitMaxOpenCount ? limitMaxOpenCount : 1;
    self->_useCounter = 0;
    self->_openCount = 0;
    for (dpatch_StreamPos_t i = 0; i < resCount; ++i) {
        _TResHandleProxy* proxy = &self->_proxyList[i];
        proxy->base.streamOwner = proxy;
        proxy->base.streamSize = resList[i].resStreamSize;
        proxy->base.read = _TResHandleLimit_read;
        proxy->owner = self;
        proxy->lastUse = 0;
        self->streamList[i] = &proxy->base;
        self->_openStreamList[i] = 0;
    }
    return 1;
}

BOOL dpatch_TResHandleLimit_closeFileHandles(dpatch_TResHandleLimit* self)
{
    BOOL result = 1;
    for (dpatch_StreamPos_t i = 0; i < self->streamCount; ++i) {
        const dpatch_TStreamInput* cur = self->_openStreamList[i];
        if (!cur)
            continue;
        dpatch_TResHandle* res = &self->_resList[i];
        self->_openStreamList[i] = 0;
        --self->_openCount;
        if (!res->close(res, cur))
            result = 0;
    }
    return result;
}

BOOL dpatch_TResHandleLimit_close(dpatch_TResHandleLimit* self)
{
    const BOOL result = dpatch_TResHandleLimit_closeFileHandles(self);
    self->streamList = 0;
    self->streamCount = 0;
    self->_openStreamList = 0;
    self->_proxyList = 0;
    free(self->_pLimitMem);
    self->_pLimitMem = 0;
    return result;
}
