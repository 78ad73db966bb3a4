#include "patch/dir/ref_stream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "patch/core/dpatch_check.h"

namespace
{
const dpatch_StreamPos_t kMaxStreamPos = ~(dpatch_StreamPos_t)0;

BOOL _createRange(dpatch_TRefStream* self, const dpatch_TStreamInput* const* refList, dpatch_StreamPos_t refCount,
                  dpatch_StreamPos_t kAlignSize)
{
    if (refCount < SIZE_MAX / sizeof(dpatch_StreamPos_t))
        self->_buf = malloc((size_t)(refCount + 1) * sizeof(dpatch_StreamPos_t));
    check(self->_buf!=0);
    dpatch_StreamPos_t* ends = (dpatch_StreamPos_t*)self->_buf;
    ends[0] = 0;
    self->_rangeEndList = ends + 1;
    dpatch_StreamPos_t rangeEnd = 0;
    for (dpatch_StreamPos_t i = 0; i < refCount; ++i) {
        // Sizes come from the file system; a sum that wraps would make positions meaningless.
        const dpatch_StreamPos_t size = refList[i]->streamSize;
        const dpatch_StreamPos_t gap = (kAlignSize - size % kAlignSize) % kAlignSize;
        check(gap<=kMaxStreamPos-size);
        check(size+gap<=kMaxStreamPos-rangeEnd);
        rangeEnd += size + gap;
        self->_rangeEndList[i] = rangeEnd;
    }
    return 1;
}

BOOL _TRefStream_read_do(dpatch_TRefStream* self, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                         dpatch_byte* out_data_end, dpatch_StreamPos_t curRangeIndex)
{
    const dpatch_TStreamInput* ref = self->_refList[curRangeIndex];
    const dpatch_StreamPos_t pos = readFromPos - self->_rangeEndList[(int64_t)curRangeIndex - 1];
    const dpatch_StreamPos_t size = ref->streamSize;
    const dpatch_StreamPos_t length = (dpatch_StreamPos_t)(out_data_end - out_data);
    if (pos >= size) {
        memset(out_data, 0, (size_t)length);
        return 1;
    }
    if (length > size - pos) {
        memset(out_data + (size - pos), 0, (size_t)(length - (size - pos)));
        out_data_end = out_data + (size - pos);
    }
    return ref->read(ref, pos, out_data, out_data_end);
}

// The first range whose end lies beyond pos, or _rangeCount when pos is at or past the end. The ends never
// decrease, so a binary search finds the same range a scan from the first would.
dpatch_StreamPos_t findRange(const dpatch_TRefStream* self, dpatch_StreamPos_t pos)
{
    dpatch_StreamPos_t low = 0;
    dpatch_StreamPos_t high = self->_rangeCount;
    while (low < high) {
        const dpatch_StreamPos_t middle = low + (high - low) / 2;
        if (self->_rangeEndList[middle] > pos)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

BOOL _TRefStream_read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                      dpatch_byte* out_data_end)
{
    dpatch_TRefStream* self = (dpatch_TRefStream*)stream->streamOwner;
    if (out_data >= out_data_end)
        return out_data == out_data_end;
    dpatch_StreamPos_t curRangeIndex = self->_curRangeIndex;
    while (1) {
        if (curRangeIndex >= self->_rangeCount || self->_rangeEndList[(int64_t)curRangeIndex - 1] > readFromPos ||
            self->_rangeEndList[curRangeIndex] < readFromPos) {
            curRangeIndex = findRange(self, readFromPos);
            check(curRangeIndex<self->_rangeCount);
        }
        const dpatch_StreamPos_t rangeEnd = self->_rangeEndList[curRangeIndex];
        if ((dpatch_StreamPos_t)(out_data_end - out_data) <= rangeEnd - readFromPos) {
            check(_TRefStream_read_do(self,readFromPos,out_data,out_data_end,curRangeIndex));
            break;
        }
        const dpatch_StreamPos_t leftLen = rangeEnd - readFromPos;
        if (leftLen > 0)
            check(_TRefStream_read_do(self,readFromPos,out_data,out_data+leftLen,curRangeIndex));
        readFromPos += leftLen;
        out_data += leftLen;
        ++curRangeIndex;
    }
    self->_curRangeIndex = curRangeIndex;
    return 1;
}
} // namespace

BOOL dpatch_TRefStream_open(dpatch_TRefStream* self, const dpatch_TStreamInput* const* refList,
                            dpatch_StreamPos_t refCount, dpatch_StreamPos_t kAlignSize)
{
    check(self->stream==0);
    // The range rule divides by the alignment.
    check(kAlignSize>=1);
    self->_refList = refList;
    self->_rangeCount = refCount;
    if (!_createRange(self, refList, refCount, kAlignSize)) {
        free(self->_buf);
        self->_buf = 0;
        self->_rangeEndList = 0;
        dpatch_fprintf(stderr, "check _createRange(self,refList,refCount,kAlignSize) error!\n");
        return 0;
    }
    self->_curRangeIndex = 0;
    self->kAlignSize = kAlignSize;
    self->_stream.streamOwner = self;
    self->_stream.streamSize = refCount ? self->_rangeEndList[refCount - 1] : 0;
    self->_stream.read = _TRefStream_read;
    self->stream = &self->_stream;
    return 1;
}

void dpatch_TRefStream_close(dpatch_TRefStream* self)
{
    free(self->_buf);
    self->_buf = 0;
    self->_rangeEndList = 0;
    self->stream = 0;
}
