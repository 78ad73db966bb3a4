#include "patch/core/streams.h"

#include <cstring>

namespace
{
// True when [pos, pos + length) lies inside a stream of the given size, without wrapping.
bool rangeFits(dpatch_StreamPos_t size, dpatch_StreamPos_t pos, dpatch_StreamPos_t length)
{
    return pos <= size && length <= size - pos;
}

// Copies [pos, pos + (out_end - out)) of a memory range of the given size.
BOOL memCopyOut(const void* mem, dpatch_StreamPos_t size, dpatch_StreamPos_t pos, dpatch_byte* out_data,
                dpatch_byte* out_data_end)
{
    if (out_data_end < out_data)
        return 0;
    const size_t length = (size_t)(out_data_end - out_data);
    if (!rangeFits(size, pos, length))
        return 0;
    if (length > 0)
        std::memcpy(out_data, (const dpatch_byte*)mem + pos, length);
    return 1;
}

BOOL _mem_read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
               dpatch_byte* out_data_end)
{
    return memCopyOut(stream->streamOwner, stream->streamSize, readFromPos, out_data, out_data_end);
}

BOOL _mem_readBack(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                   dpatch_byte* out_data_end)
{
    return memCopyOut(stream->streamOwner, stream->streamSize, readFromPos, out_data, out_data_end);
}

BOOL _mem_write(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t writeToPos, const dpatch_byte* data,
                const dpatch_byte* data_end)
{
    if (data_end < data)
        return 0;
    const size_t length = (size_t)(data_end - data);
    if (!rangeFits(stream->streamSize, writeToPos, length))
        return 0;
    if (length > 0)
        std::memcpy((dpatch_byte*)stream->streamOwner + writeToPos, data, length);
    return 1;
}

BOOL _clip_read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                dpatch_byte* out_data_end)
{
    const TStreamInputClip* self = (const TStreamInputClip*)stream->streamOwner;
    if (out_data_end < out_data || !rangeFits(stream->streamSize, readFromPos, (size_t)(out_data_end - out_data)))
        return 0;
    if (out_data == out_data_end)
        return 1;
    return self->srcStream->read(self->srcStream, readFromPos + self->clipBeginPos, out_data, out_data_end);
}

BOOL _clip_readBack(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                    dpatch_byte* out_data_end)
{
    const TStreamOutputClip* self = (const TStreamOutputClip*)stream->streamOwner;
    if (out_data_end < out_data || !rangeFits(stream->streamSize, readFromPos, (size_t)(out_data_end - out_data)))
        return 0;
    if (out_data == out_data_end)
        return 1;
    return self->srcStream->readBack(self->srcStream, readFromPos + self->clipBeginPos, out_data, out_data_end);
}

BOOL _clip_write(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t writeToPos, const dpatch_byte* data,
                 const dpatch_byte* data_end)
{
    const TStreamOutputClip* self = (const TStreamOutputClip*)stream->streamOwner;
    if (data_end < data || !rangeFits(stream->streamSize, writeToPos, (size_t)(data_end - data)))
        return 0;
    if (data == data_end)
        return 1;
    return self->srcStream->write(self->srcStream, writeToPos + self->clipBeginPos, data, data_end);
}

BOOL _decompress_read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t /*readFromPos*/, dpatch_byte* out_data,
                      dpatch_byte* out_data_end)
{
    // A decoder can only go forward; the clips read it from 0 without gaps, so the position is implied.
    const _TDecompressInputStream* self = (const _TDecompressInputStream*)stream->streamOwner;
    if (self->decompressHandle == nullptr || out_data_end < out_data)
        return 0;
    return self->decompressPlugin->decompressPart(self->decompressHandle, out_data, out_data_end);
}

// A window must lie inside its source; anything else becomes an empty window rather than one whose
// size wrapped around.
dpatch_StreamPos_t windowSize(dpatch_StreamPos_t sourceSize, dpatch_StreamPos_t begin, dpatch_StreamPos_t end)
{
    if (begin > end || end > sourceSize)
        return 0;
    return end - begin;
}
} // namespace

void dpatch_memStreamInput_init(dpatch_TStreamInput* stream, const dpatch_byte* mem, const dpatch_byte* mem_end)
{
    stream->streamOwner = (void*)mem;
    stream->streamSize = mem_end > mem ? (dpatch_StreamPos_t)(mem_end - mem) : 0;
    stream->read = _mem_read;
}

void dpatch_memStreamOutput_init(dpatch_TStreamOutput* stream, dpatch_byte* mem, dpatch_byte* mem_end)
{
    stream->streamOwner = mem;
    stream->streamSize = mem_end > mem ? (dpatch_StreamPos_t)(mem_end - mem) : 0;
    stream->readBack = _mem_readBack;
    stream->write = _mem_write;
}

void TStreamInputClip_init(TStreamInputClip* clip, const dpatch_TStreamInput* srcStream,
                           dpatch_StreamPos_t clipBeginPos, dpatch_StreamPos_t clipEndPos)
{
    clip->srcStream = srcStream;
    clip->clipBeginPos = clipBeginPos;
    clip->base.streamOwner = clip;
    clip->base.streamSize = windowSize(srcStream->streamSize, clipBeginPos, clipEndPos);
    clip->base.read = _clip_read;
}

void TStreamOutputClip_init(TStreamOutputClip* clip, const dpatch_TStreamOutput* srcStream,
                            dpatch_StreamPos_t clipBeginPos, dpatch_StreamPos_t clipEndPos)
{
    clip->srcStream = srcStream;
    clip->clipBeginPos = clipBeginPos;
    clip->base.streamOwner = clip;
    clip->base.streamSize = windowSize(srcStream->streamSize, clipBeginPos, clipEndPos);
    clip->base.readBack = _clip_readBack;
    clip->base.write = _clip_write;
}

BOOL _TDecompressInputStream_open(_TDecompressInputStream* stream, dpatch_StreamPos_t dataSize,
                                  const dpatch_TDecompressPlugin* decompressPlugin,
                                  const dpatch_TStreamInput* codeStream, dpatch_StreamPos_t code_begin,
                                  dpatch_StreamPos_t code_end)
{
    if (decompressPlugin == nullptr || code_begin > code_end || code_end > codeStream->streamSize)
        return 0;
    dpatch_TDecompressHandle handle =
        decompressPlugin->open(decompressPlugin, dataSize, codeStream, code_begin, code_end);
    if (handle == nullptr)
        return 0;
    stream->base.streamOwner = stream;
    stream->base.streamSize = dataSize;
    stream->base.read = _decompress_read;
    stream->decompressPlugin = decompressPlugin;
    stream->decompressHandle = handle;
    return 1;
}

void _TDecompressInputStream_close(_TDecompressInputStream* stream)
{
    if (stream == nullptr || stream->decompressHandle == nullptr)
        return;
    dpatch_TDecompressHandle handle = stream->decompressHandle;
    stream->decompressHandle = nullptr;
    stream->decompressPlugin->close(stream->decompressPlugin, handle);
}

BOOL dpatch_decompress_mem(const dpatch_TDecompressPlugin* decompressPlugin, const dpatch_byte* code,
                           const dpatch_byte* code_end, dpatch_byte* out_data, dpatch_byte* out_data_end)
{
    if (decompressPlugin == nullptr || code_end < code || out_data_end < out_data)
        return 0;
    dpatch_TStreamInput codeStream;
    dpatch_memStreamInput_init(&codeStream, code, code_end);
    dpatch_TDecompressHandle handle = decompressPlugin->open(
        decompressPlugin, (dpatch_StreamPos_t)(out_data_end - out_data), &codeStream, 0, codeStream.streamSize);
    if (handle == nullptr)
        return 0;
    BOOL result = decompressPlugin->decompressPart(handle, out_data, out_data_end);
    decompressPlugin->close(decompressPlugin, handle);
    return result;
}
