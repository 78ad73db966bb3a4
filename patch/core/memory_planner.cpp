#include "patch/core/memory_planner.h"

#include <algorithm>
#include <cstring>

namespace
{
const size_t kKiB = 1024;
const size_t kMiB = 1024 * 1024;
const size_t kWholeOldPartSize = 4096;
const size_t kWholeOldExtra = 40; // memory-stream record and its alignment
const size_t kStreamingPartSize = 128 * kKiB;
const size_t kStreamingLimit = 8 * kMiB;
const size_t kReservedPartSize = 64 * kKiB;
const size_t kReadAlign = 4096;
const size_t kSmallReadBuffer = 8192;
const size_t kMaxReadBuffer = 2 * kMiB;
const dpatch_StreamPos_t kFarJump = 4 * kMiB;
const dpatch_StreamPos_t kUint32Max = 0xFFFFFFFFu;
// Old data up to this size is read whole in one go: asking the covers first would cost more than it saves.
const dpatch_StreamPos_t kSmallOldData = 1 * kMiB;

template <typename Item> void sortItems(void* items, dpatch_StreamPos_t count, int (*cmp)(const void*, const void*))
{
    Item* begin = (Item*)items;
    // std::sort works in place; the engine must not allocate.
    std::sort(begin, begin + count, [cmp](const Item& a, const Item& b) { return cmp(&a, &b) < 0; });
}

void sortBy(const _TCoverItems& ref, dpatch_StreamPos_t count, int (*cmp32)(const void*, const void*),
            int (*cmp64)(const void*, const void*))
{
    if (ref.is32)
        sortItems<_TCoverItem32>(ref.items, count, cmp32);
    else
        sortItems<_TCoverItem64>(ref.items, count, cmp64);
}

// Back in new-position order, a zero-length cover that shares its newPos with a longer one must come
// first, as it did in the diff; otherwise the patch loop would see the longer cover overlap it.
template <typename Item> int cmpByNewPosThenLength(const void* a, const void* b)
{
    const Item* x = (const Item*)a;
    const Item* y = (const Item*)b;
    if (x->newPos != y->newPos)
        return x->newPos < y->newPos ? -1 : 1;
    if (x->length != y->length)
        return x->length < y->length ? -1 : 1;
    return 0;
}

template <typename Item> int cmpField(const Item* x, const Item* y, decltype(Item::oldPos) Item::*field)
{
    if (x->*field == y->*field)
        return 0;
    return x->*field < y->*field ? -1 : 1;
}

// True when count items of itemSize bytes plus `extra` bytes fit in [begin, end), without multiplying
// a count that came from the diff.
bool itemsFit(const dpatch_byte* begin, const dpatch_byte* end, dpatch_StreamPos_t count, size_t itemSize, size_t extra)
{
    if (begin > end)
        return false;
    const size_t space = (size_t)(end - begin);
    if (space < extra)
        return false;
    return count <= (space - extra) / itemSize;
}

// The covers of the patch loop's range checks; covers loaded into memory are tested before the cache
// sweep uses their positions.
bool coverIsValid(const dpatch_TCover& cover, dpatch_StreamPos_t oldSize, dpatch_StreamPos_t newSize,
                  dpatch_StreamPos_t newPosBack)
{
    return cover.newPos <= newSize && cover.length <= newSize - cover.newPos && cover.oldPos <= oldSize &&
           cover.length <= oldSize - cover.oldPos && cover.newPos >= newPosBack;
}

// Opens the cover reader of an "HDIFF13" diff in [mem, mem_end).
BOOL openCompressedCoverReader(dpatch_TCovers** out_covers, const dpatch_TStreamInput* diffStream,
                               dpatch_StreamPos_t oldSize, dpatch_StreamPos_t newSize,
                               const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* mem, dpatch_byte* mem_end)
{
    dpatch_TCompressedDiffInfo info;
    _TCompressedDiffHead head;
    if (!_read_compressed_cover_head(&info, &head, diffStream, decompressPlugin))
        return 0;
    if (info.oldDataSize != oldSize || info.newDataSize != newSize)
        return 0;
    // Each cover takes at least three bytes of the cover section.
    if (head.coverCount > head.coverBufSize / 3)
        return 0;
    return _compressedStreamCovers_open(out_covers, &head, diffStream, decompressPlugin, mem, mem_end);
}

// Opens the cover reader of the diff in [mem, mem_end); on failure nothing is left open.
BOOL openCoverReader(dpatch_TCovers** out_covers, const dpatch_TStreamInput* diffStream, BOOL isCompressedDiff,
                     dpatch_StreamPos_t oldSize, dpatch_StreamPos_t newSize,
                     const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* mem, dpatch_byte* mem_end)
{
    dpatch_TCovers* reader = nullptr;
    BOOL opened = 0;
    if (isCompressedDiff) {
        opened = openCompressedCoverReader(&reader, diffStream, oldSize, newSize, decompressPlugin, mem, mem_end);
    } else {
        _TRawDiffHead rawHead;
        opened = _rawStreamCovers_open(&reader, &rawHead, diffStream, mem, mem_end);
        // Each cover takes at least one byte of each of the three varint sections.
        opened = opened && rawHead.coverCount <= rawHead.lengthSize;
    }
    if (!opened) {
        if (reader != nullptr)
            reader->close(reader);
        return 0;
    }
    *out_covers = reader;
    return 1;
}

// Whether the covers, in the order the patch applies them, start their old ranges front to back (covers
// without bytes read nothing and don't count). A step back never reaches before the start of the previous
// range, which was just read.
struct ForwardCheck
{
    bool isForward = true;
    dpatch_StreamPos_t lastOldPos = 0;

    void add(const dpatch_TCover& cover)
    {
        if (cover.length == 0)
            return;
        if (cover.oldPos < lastOldPos)
            isForward = false;
        lastOldPos = cover.oldPos;
    }
};

// True when all the diff's covers are valid and read the old data forward; any doubt answers false, and the
// planning goes on as if the question had not been asked.
bool coversReadForward(const dpatch_TStreamInput* diffStream, BOOL isCompressedDiff, dpatch_StreamPos_t oldSize,
                       dpatch_StreamPos_t newSize, const dpatch_TDecompressPlugin* decompressPlugin, dpatch_byte* mem,
                       dpatch_byte* mem_end)
{
    const size_t readerMemSize =
        isCompressedDiff ? dpatch_kCompressedCoverReaderMemSize : dpatch_kRawCoverReaderMemSize;
    if (mem_end < mem || (size_t)(mem_end - mem) < readerMemSize)
        return false;
    dpatch_TCovers* reader = nullptr;
    if (!openCoverReader(&reader, diffStream, isCompressedDiff, oldSize, newSize, decompressPlugin,
                         mem_end - readerMemSize, mem_end))
        return false;
    const dpatch_StreamPos_t count = reader->leaveCoverCount(reader);
    ForwardCheck forward;
    dpatch_StreamPos_t newPosBack = 0;
    bool valid = true;
    for (dpatch_StreamPos_t i = 0; valid && forward.isForward && i < count; ++i) {
        dpatch_TCover cover;
        valid = reader->readCover(reader, &cover) && coverIsValid(cover, oldSize, newSize, newPosBack);
        if (valid) {
            newPosBack = cover.newPos + cover.length;
            forward.add(cover);
        }
    }
    valid = valid && forward.isForward && reader->isFinished(reader);
    return reader->close(reader) && valid;
}

// Fills the selected covers' old bytes into the cache in forward windows over the old data. Items are
// sorted by oldPos on entry.
BOOL sweepOldData(const _TCoverItems& ref, dpatch_StreamPos_t count, dpatch_StreamPos_t maxCachedLength,
                  dpatch_StreamPos_t minOld, dpatch_StreamPos_t maxOldEnd, const dpatch_TStreamInput* oldData,
                  dpatch_byte* cacheBuf, dpatch_byte* readBuf, size_t readBufSize)
{
    dpatch_StreamPos_t startPos = minOld - minOld % kReadAlign;
    if (startPos < kFarJump)
        startPos = 0;
    dpatch_StreamPos_t first = 0;
    while (startPos < maxOldEnd && first < count) {
        dpatch_StreamPos_t readLen = maxOldEnd - startPos;
        if (readLen > readBufSize)
            readLen = readBufSize;
        if (!oldData->read(oldData, startPos, readBuf, readBuf + readLen))
            return 0;
        const dpatch_StreamPos_t readEnd = startPos + readLen;
        dpatch_StreamPos_t nextStart = readEnd;
        for (dpatch_StreamPos_t j = first; j < count; ++j) {
            const dpatch_StreamPos_t oldPos = ref.oldPos(j);
            const dpatch_StreamPos_t length = ref.length(j);
            const dpatch_StreamPos_t oldEnd = oldPos + length;
            const bool selected = length > 0 && length <= maxCachedLength;
            if (!selected || oldEnd <= startPos) {
                if (j == first)
                    ++first;
                continue;
            }
            if (oldPos >= readEnd) {
                // Far gaps are jumped over instead of being read.
                if (j == first && oldPos - readEnd > kFarJump - 1)
                    nextStart = oldPos - oldPos % kReadAlign;
                break;
            }
            const dpatch_StreamPos_t from = oldPos > startPos ? oldPos : startPos;
            const dpatch_StreamPos_t to = oldEnd < readEnd ? oldEnd : readEnd;
            std::memcpy(cacheBuf + ref.cachePos(j) + (from - oldPos), readBuf + (from - startPos), (size_t)(to - from));
            if (j == first && oldEnd <= readEnd)
                ++first;
        }
        startPos = nextStart;
    }
    return 1;
}

// Tries to build the old-data cache over [arrayEnd, temp_cache_end); 1 when it was built.
BOOL buildOldDataCache(_TArrayCovers* arrayCovers, const dpatch_TStreamInput** pOldData, size_t kCacheCount,
                       dpatch_byte* arrayEnd, dpatch_byte* temp_cache_end, dpatch_byte** pTempCache,
                       int* out_isReadError)
{
    const dpatch_StreamPos_t count = arrayCovers->coverCount;
    const _TCoverItems ref = {arrayCovers->items, arrayCovers->is32};
    dpatch_byte* cacheEnd2 = temp_cache_end - kCacheCount * kReservedPartSize;
    dpatch_byte* streamMem = _dpatch_alignUp(arrayEnd, 8);
    dpatch_byte* cachedMem = _dpatch_alignUp(streamMem + sizeof(dpatch_TStreamInput), 8);
    dpatch_byte* cacheBuf = _dpatch_alignUp(cachedMem + sizeof(_TCachedOldStream), 8);
    if (!itemsFit(cacheBuf, cacheEnd2, count, ref.size(), 8))
        return 0;

    // Cache the shortest covers first: sort a copy by length and add lengths up while they fit.
    const size_t space = (size_t)(cacheEnd2 - cacheBuf);
    std::memcpy(cacheBuf, ref.items, (size_t)count * ref.size());
    const _TCoverItems sorted = {cacheBuf, ref.is32};
    sortBy(sorted, count, _cmpByLength32, _cmpByLength64);
    dpatch_StreamPos_t maxCachedLength = count > 0 ? sorted.length(count - 1) : 0;
    dpatch_StreamPos_t sum = 0;
    for (dpatch_StreamPos_t i = 0; i < count; ++i) {
        const dpatch_StreamPos_t length = sorted.length(i);
        if (length > space - sum) {
            maxCachedLength = length - 1;
            break;
        }
        sum += length;
    }
    if (maxCachedLength == 0)
        return 0;

    // Cached bytes are laid out in new-position order, the order in which the patch asks for them.
    dpatch_StreamPos_t total = 0;
    dpatch_StreamPos_t selectedCount = 0;
    dpatch_StreamPos_t minOld = ~(dpatch_StreamPos_t)0;
    dpatch_StreamPos_t maxOldEnd = 0;
    for (dpatch_StreamPos_t i = 0; i < count; ++i) {
        const dpatch_StreamPos_t length = ref.length(i);
        // Zero-length covers need no bytes and are skipped by the cached stream.
        if (length == 0 || length > maxCachedLength)
            continue;
        ref.setCachePos(i, total);
        total += length;
        ++selectedCount;
        const dpatch_StreamPos_t oldPos = ref.oldPos(i);
        if (oldPos < minOld)
            minOld = oldPos;
        if (oldPos + length > maxOldEnd)
            maxOldEnd = oldPos + length;
    }
    if (selectedCount < count / 8 + 1 || total == 0)
        return 0;

    dpatch_byte* cachedEnd = cacheBuf + total;
    dpatch_byte* readBuf = cachedEnd;
    dpatch_byte* readBufEnd = temp_cache_end;
    if ((size_t)(temp_cache_end - cachedEnd) >= kSmallReadBuffer) {
        readBuf = _dpatch_alignUp(cachedEnd, kReadAlign);
        readBufEnd = _dpatch_alignDown(temp_cache_end, kReadAlign);
        if ((size_t)(readBufEnd - readBuf) > kMaxReadBuffer)
            readBufEnd = readBuf + kMaxReadBuffer;
    }

    if (readBufEnd <= readBuf)
        return 0;

    sortBy(ref, count, _cmpByOldPos32, _cmpByOldPos64);
    const BOOL swept = sweepOldData(ref, count, maxCachedLength, minOld, maxOldEnd, *pOldData, cacheBuf, readBuf,
                                    (size_t)(readBufEnd - readBuf));
    sortBy(ref, count, cmpByNewPosThenLength<_TCoverItem32>, cmpByNewPosThenLength<_TCoverItem64>);
    if (!swept) {
        *out_isReadError = 1;
        return 0;
    }

    dpatch_TStreamInput* stream = (dpatch_TStreamInput*)streamMem;
    _cachedOldStream_init((_TCachedOldStream*)cachedMem, stream, arrayCovers, maxCachedLength, cacheBuf, cachedEnd,
                          *pOldData);
    *pOldData = stream;
    *pTempCache = cachedEnd;
    return 1;
}
} // namespace

int _cmpByOldPos32(const void* a, const void* b)
{
    return cmpField<_TCoverItem32>((const _TCoverItem32*)a, (const _TCoverItem32*)b, &_TCoverItem32::oldPos);
}

int _cmpByOldPos64(const void* a, const void* b)
{
    return cmpField<_TCoverItem64>((const _TCoverItem64*)a, (const _TCoverItem64*)b, &_TCoverItem64::oldPos);
}

int _cmpByLength32(const void* a, const void* b)
{
    return cmpField<_TCoverItem32>((const _TCoverItem32*)a, (const _TCoverItem32*)b, &_TCoverItem32::length);
}

int _cmpByLength64(const void* a, const void* b)
{
    return cmpField<_TCoverItem64>((const _TCoverItem64*)a, (const _TCoverItem64*)b, &_TCoverItem64::length);
}

BOOL _patch_prepare_cache(dpatch_TCovers** out_covers, const dpatch_TStreamInput** pOldData,
                          dpatch_StreamPos_t newDataSize, const dpatch_TStreamInput* diffStream, BOOL isCompressedDiff,
                          const dpatch_TDecompressPlugin* decompressPlugin, size_t kCacheCount,
                          dpatch_byte** pTempCache, dpatch_byte** pTempCacheEnd, int* out_isReadError)
{
    *out_isReadError = 0;
    dpatch_byte* const temp_cache = *pTempCache;
    dpatch_byte* const temp_cache_end = *pTempCacheEnd;
    if (temp_cache_end < temp_cache)
        return 0;
    const size_t memSize = (size_t)(temp_cache_end - temp_cache);
    const dpatch_TStreamInput* oldData = *pOldData;
    const dpatch_StreamPos_t oldSize = oldData->streamSize;

    // Whole old data in memory, unless the covers read it front to back: the patch then reads each old byte
    // once and in order, and loading the old data first would only add a pass over it and its fresh pages.
    if (oldSize <= memSize && memSize - oldSize >= kCacheCount * kWholeOldPartSize + kWholeOldExtra &&
        (oldSize <= kSmallOldData || !coversReadForward(diffStream, isCompressedDiff, oldSize, newDataSize,
                                                        decompressPlugin, temp_cache, temp_cache_end))) {
        dpatch_byte* oldMem = temp_cache_end - oldSize;
        if (!oldData->read(oldData, 0, oldMem, temp_cache_end)) {
            *out_isReadError = 1;
            return 0;
        }
        dpatch_TStreamInput* memStream = (dpatch_TStreamInput*)_dpatch_alignUp(temp_cache, 8);
        dpatch_memStreamInput_init(memStream, oldMem, temp_cache_end);
        *pOldData = memStream;
        *pTempCache = (dpatch_byte*)memStream + sizeof(dpatch_TStreamInput);
        *pTempCacheEnd = oldMem;
        return 1;
    }

    // Too little memory for anything but streaming.
    dpatch_StreamPos_t streamingLimit = oldSize / 8 + (dpatch_StreamPos_t)kCacheCount * kStreamingPartSize;
    if (streamingLimit > kStreamingLimit)
        streamingLimit = kStreamingLimit;
    const size_t readerMemSize =
        isCompressedDiff ? dpatch_kCompressedCoverReaderMemSize : dpatch_kRawCoverReaderMemSize;
    if (memSize < streamingLimit || memSize < readerMemSize + kReservedPartSize)
        return 0;

    // Covers in memory: first open a reader at the top of the range.
    dpatch_byte* const limit = temp_cache_end - readerMemSize;
    dpatch_TCovers* reader = nullptr;
    if (!openCoverReader(&reader, diffStream, isCompressedDiff, oldSize, newDataSize, decompressPlugin, limit,
                         temp_cache_end)) {
        *out_isReadError = 1;
        return 0;
    }

    const BOOL is32 = oldSize <= kUint32Max && newDataSize <= kUint32Max;
    const dpatch_StreamPos_t count = reader->leaveCoverCount(reader);
    _TArrayCovers* array = (_TArrayCovers*)_dpatch_alignUp(temp_cache, 8);
    dpatch_byte* items = (dpatch_byte*)array + sizeof(_TArrayCovers);
    const _TCoverItems ref = {items, is32};
    if (limit - temp_cache < (ptrdiff_t)kReservedPartSize ||
        !itemsFit(items, limit - kReservedPartSize, count, ref.size(), 8)) {
        // The patch reads the covers through the reader kept at the top of the range.
        *out_covers = reader;
        *pTempCacheEnd = limit;
        return 0;
    }

    dpatch_StreamPos_t newPosBack = 0;
    ForwardCheck forward;
    BOOL loaded = 1;
    for (dpatch_StreamPos_t i = 0; loaded && i < count; ++i) {
        dpatch_TCover cover;
        loaded = reader->readCover(reader, &cover) && coverIsValid(cover, oldSize, newDataSize, newPosBack);
        if (loaded) {
            ref.set(i, cover);
            newPosBack = cover.newPos + cover.length;
            forward.add(cover);
        }
    }
    loaded = loaded && reader->isFinished(reader);
    // The reader is closed on every way out so that its decompressor never outlives the planning.
    const BOOL closed = reader->close(reader);
    if (!loaded || !closed) {
        *out_isReadError = 1;
        return 0;
    }
    _arrayCovers_init(array, items, count, is32);
    *out_covers = &array->base;

    dpatch_byte* arrayEnd = items + (size_t)count * ref.size();
    *pTempCache = arrayEnd;
    *pTempCacheEnd = temp_cache_end;
    if (forward.isForward || (size_t)(temp_cache_end - arrayEnd) <= kCacheCount * kReservedPartSize)
        return 0;
    return buildOldDataCache(array, pOldData, kCacheCount, arrayEnd, temp_cache_end, pTempCache, out_isReadError);
}
