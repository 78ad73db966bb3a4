#include "patch/core/stream_cache_clip.h"

#include "patch/core/varint.h"

#include <cstring>

void _TStreamCacheClip_init(TStreamCacheClip* clip, const dpatch_TStreamInput* srcStream, dpatch_StreamPos_t streamPos,
                            dpatch_StreamPos_t streamPos_end, dpatch_byte* cacheBuf, size_t cacheCapacity)
{
    clip->streamPos = streamPos;
    // An inverted range reads as empty instead of as a range that wrapped around.
    clip->streamPos_end = streamPos_end < streamPos ? streamPos : streamPos_end;
    clip->srcStream = srcStream;
    clip->cacheBuf = cacheBuf;
    clip->cacheBegin = cacheCapacity;
    clip->cacheEnd = cacheCapacity;
}

dpatch_StreamPos_t _TStreamCacheClip_streamSize(const TStreamCacheClip* clip)
{
    return (dpatch_StreamPos_t)(clip->cacheEnd - clip->cacheBegin) + (clip->streamPos_end - clip->streamPos);
}

BOOL _TStreamCacheClip_isFinish(const TStreamCacheClip* clip)
{
    return _TStreamCacheClip_streamSize(clip) == 0;
}

BOOL _TStreamCacheClip_updateCache(TStreamCacheClip* clip)
{
    dpatch_StreamPos_t readSize = clip->streamPos_end - clip->streamPos;
    if (readSize > clip->cacheBegin)
        readSize = clip->cacheBegin;
    if (readSize == 0)
        return 1;
    dpatch_byte* buf = clip->cacheBuf;
    // Keep the unread bytes at the top of the cache so the free part below them is one block.
    if (clip->cacheBegin != clip->cacheEnd)
        std::memmove(buf + clip->cacheBegin - readSize, buf + clip->cacheBegin, clip->cacheEnd - clip->cacheBegin);
    if (!clip->srcStream->read(clip->srcStream, clip->streamPos, buf + clip->cacheEnd - readSize, buf + clip->cacheEnd))
        return 0;
    clip->cacheBegin -= (size_t)readSize;
    clip->streamPos += readSize;
    return 1;
}

const dpatch_byte* _TStreamCacheClip_accessData(TStreamCacheClip* clip, size_t n)
{
    if (n > clip->cacheEnd)
        return nullptr;
    if (clip->cacheEnd - clip->cacheBegin < n) {
        if (!_TStreamCacheClip_updateCache(clip))
            return nullptr;
        if (clip->cacheEnd - clip->cacheBegin < n)
            return nullptr;
    }
    return clip->cacheBuf + clip->cacheBegin;
}

const dpatch_byte* _TStreamCacheClip_readData(TStreamCacheClip* clip, size_t n)
{
    const dpatch_byte* data = _TStreamCacheClip_accessData(clip, n);
    if (data != nullptr)
        clip->cacheBegin += n;
    return data;
}

BOOL _TStreamCacheClip_skipData(TStreamCacheClip* clip, dpatch_StreamPos_t n)
{
    if (n == 0)
        return 1;
    // Without a cache no byte could ever be taken, and the loop below would not advance.
    if (clip->cacheEnd == 0)
        return 0;
    while (n > 0) {
        const size_t chunk = n < clip->cacheEnd ? (size_t)n : clip->cacheEnd;
        if (_TStreamCacheClip_readData(clip, chunk) == nullptr)
            return 0;
        n -= chunk;
    }
    return 1;
}

BOOL _TStreamCacheClip_readDataTo(TStreamCacheClip* clip, dpatch_byte* out_data, dpatch_byte* out_data_end)
{
    if (out_data_end < out_data)
        return 0;
    const dpatch_StreamPos_t length = (dpatch_StreamPos_t)(out_data_end - out_data);
    if (length > _TStreamCacheClip_streamSize(clip))
        return 0;
    size_t cached = clip->cacheEnd - clip->cacheBegin;
    if (cached > length)
        cached = (size_t)length;
    if (cached > 0)
        std::memcpy(out_data, clip->cacheBuf + clip->cacheBegin, cached);
    clip->cacheBegin += cached;
    const dpatch_StreamPos_t rest = length - cached;
    if (rest > 0) {
        if (!clip->srcStream->read(clip->srcStream, clip->streamPos, out_data + cached, out_data_end))
            return 0;
        clip->streamPos += rest;
    }
    return 1;
}

BOOL _TStreamCacheClip_readType_end(TStreamCacheClip* clip, char endTag, char out_type[260])
{
    dpatch_StreamPos_t n = _TStreamCacheClip_streamSize(clip);
    if (n > dpatch_kTypeTextBufSize)
        n = dpatch_kTypeTextBufSize;
    if (n == 0)
        return 0;
    const dpatch_byte* data = _TStreamCacheClip_accessData(clip, (size_t)n);
    if (data == nullptr)
        return 0;
    const void* tag = std::memchr(data, (unsigned char)endTag, (size_t)n);
    if (tag == nullptr)
        return 0;
    const size_t length = (size_t)((const dpatch_byte*)tag - data);
    std::memcpy(out_type, data, length);
    out_type[length] = '\0';
    clip->cacheBegin += length + 1;
    return 1;
}

BOOL _TStreamCacheClip_unpackUIntWithTag(TStreamCacheClip* clip, dpatch_StreamPos_t* out_value, unsigned int kTagBit)
{
    dpatch_StreamPos_t n = _TStreamCacheClip_streamSize(clip);
    if (n > dpatch_kMaxPackedUIntBytes)
        n = dpatch_kMaxPackedUIntBytes;
    if (n == 0)
        return 0;
    const dpatch_byte* data = _TStreamCacheClip_accessData(clip, (size_t)n);
    if (data == nullptr)
        return 0;
    dpatch_StreamPos_t value = 0;
    const size_t used = _dpatch_decodeUIntWithTag(data, data + n, &value, kTagBit);
    if (used == 0)
        return 0;
    clip->cacheBegin += used;
    *out_value = value;
    return 1;
}

BOOL _TStreamCacheClip_readUInt(TStreamCacheClip* clip, dpatch_StreamPos_t* out_value, size_t nBytes)
{
    if (nBytes > 8)
        return 0;
    if (nBytes == 0) {
        *out_value = 0;
        return 1;
    }
    const dpatch_byte* data = _TStreamCacheClip_readData(clip, nBytes);
    if (data == nullptr)
        return 0;
    dpatch_StreamPos_t value = 0;
    for (size_t i = nBytes; i > 0; --i)
        value = (value << 8) | data[i - 1];
    *out_value = value;
    return 1;
}

BOOL getStreamClip(TStreamCacheClip* out_clip, _TDecompressInputStream* out_decompresser, dpatch_StreamPos_t dataSize,
                   dpatch_StreamPos_t dataCompressedSize, const dpatch_TStreamInput* stream, dpatch_StreamPos_t* curPos,
                   const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* cache, size_t cacheCapacity)
{
    const dpatch_StreamPos_t begin = *curPos;
    const dpatch_StreamPos_t stored = dataCompressedSize != 0 ? dataCompressedSize : dataSize;
    const dpatch_StreamPos_t end = begin + stored;
    if (end < begin || end > stream->streamSize)
        return 0;
    if (out_clip == nullptr) {
        *curPos = end;
        return 1;
    }
    if (dataCompressedSize == 0) {
        _TStreamCacheClip_init(out_clip, stream, begin, end, cache, cacheCapacity);
    } else {
        if (out_decompresser == nullptr)
            return 0;
        out_decompresser->decompressHandle = nullptr;
        if (!_TDecompressInputStream_open(out_decompresser, dataSize, decompressPlugin, stream, begin, end))
            return 0;
        _TStreamCacheClip_init(out_clip, &out_decompresser->base, 0, dataSize, cache, cacheCapacity);
    }
    *curPos = end;
    return 1;
}
