// Fuzz target for the diff readers and the compressed-diff patcher.
//
// Property: no input crashes, reads or writes outside its buffers, or leaks a decompressor handle;
// and a diff gives the same answer in every memory plan (streaming, covers in memory with and
// without the old-data cache, whole old data): either it fails in all of them or it produces the
// same new data in all of them, written strictly in order.
//
// Input: one selector byte, then the diff. The old data is not part of the input: it is generated
// from the size the diff's head names (see fuzzOldData), so seeds written for that data patch deep.

#include "patch/compressed_diff.h"
#include "patch/compressed_patch.h"
#include "patch/patch_memory.h"
#include "patch/streams.h"
#include "patch/zstd_decompress_plugin.h"

#include "fuzz_old_data.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace
{
// Keeps one run fast; larger heads are only read, not applied.
const dpatch_StreamPos_t kMaxOldSize = 2u << 20;
const dpatch_StreamPos_t kMaxNewSize = 4u << 20;

int openHandles = 0;

BOOL countingCanOpen(const char* compressType)
{
    return zstdDecompressPlugin.canOpen(compressType);
}

dpatch_TDecompressHandle countingOpen(const dpatch_TDecompressPlugin*, dpatch_StreamPos_t dataSize,
                                      const dpatch_TStreamInput* codeStream, dpatch_StreamPos_t code_begin,
                                      dpatch_StreamPos_t code_end)
{
    dpatch_TDecompressHandle handle =
        zstdDecompressPlugin.open(&zstdDecompressPlugin, dataSize, codeStream, code_begin, code_end);
    if (handle != nullptr)
        ++openHandles;
    return handle;
}

BOOL countingClose(const dpatch_TDecompressPlugin*, dpatch_TDecompressHandle handle)
{
    if (handle != nullptr)
        --openHandles;
    return zstdDecompressPlugin.close(&zstdDecompressPlugin, handle);
}

BOOL countingDecompressPart(dpatch_TDecompressHandle handle, dpatch_byte* out, dpatch_byte* out_end)
{
    return zstdDecompressPlugin.decompressPart(handle, out, out_end);
}

const dpatch_TDecompressPlugin countingPlugin = {countingCanOpen, countingOpen, countingClose,
                                                 countingDecompressPart};

void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_compressed_patch: %s\n", what);
    std::abort();
}

// An output stream that keeps the bytes and insists on strictly ordered writes.
struct OrderedOutput
{
    dpatch_TStreamOutput base;
    std::vector<dpatch_byte> data;
    size_t written = 0;

    static BOOL write(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t pos, const dpatch_byte* d,
                      const dpatch_byte* d_end)
    {
        OrderedOutput* self = (OrderedOutput*)stream->streamOwner;
        if (pos != self->written)
            fail("write out of order");
        const size_t n = size_t(d_end - d);
        if (n > self->data.size() - self->written)
            return 0;
        if (n > 0)
            std::memcpy(self->data.data() + self->written, d, n);
        self->written += n;
        return 1;
    }
    static BOOL readBack(const dpatch_TStreamOutput*, dpatch_StreamPos_t, dpatch_byte*, dpatch_byte*)
    {
        return 0;
    }
    explicit OrderedOutput(dpatch_StreamPos_t size)
        : data(size_t(size))
    {
        base.streamOwner = this;
        base.streamSize = size;
        base.readBack = readBack;
        base.write = write;
    }
};

// The old data of every size is a prefix of one generated block, made once.
const dpatch_byte* oldDataPrefix()
{
    static const std::vector<dpatch_byte> block = fuzzOldData(kMaxOldSize);
    return block.data();
}

bool patchWith(const dpatch_TStreamInput* diff, dpatch_StreamPos_t oldSize, dpatch_StreamPos_t newSize,
               size_t memSize, std::vector<dpatch_byte>* out_newData)
{
    dpatch_TStreamInput old;
    dpatch_memStreamInput_init(&old, oldDataPrefix(), oldDataPrefix() + oldSize);
    OrderedOutput output(newSize);
    // Left uninitialised on purpose: the engine must not depend on what the range held before.
    std::unique_ptr<dpatch_byte[]> mem(new dpatch_byte[memSize]);
    const bool ok = patch_decompress_with_cache(&output.base, &old, diff, &countingPlugin, mem.get(),
                                                mem.get() + memSize);
    if (openHandles != 0)
        fail("decompressor handle left open");
    if (ok && output.written != newSize)
        fail("success without the whole new data");
    *out_newData = std::move(output.data);
    return ok;
}

void readCoverList(const dpatch_TStreamInput* diff, bool isRaw)
{
    dpatch_TCoverList list;
    const BOOL opened = isRaw ? dpatch_coverList_open_rawDiff(&list, diff)
                              : dpatch_coverList_open_compressedDiff(&list, diff, &countingPlugin);
    if (!opened)
        return;
    dpatch_TCover cover;
    // Bounded by the cover bytes: every cover takes at least three of them.
    while (list.covers->leaveCoverCount(list.covers) > 0 && list.covers->readCover(list.covers, &cover))
    {
    }
    list.covers->isFinished(list.covers);
    list.covers->close(list.covers);
    if (openHandles != 0)
        fail("cover list left a handle open");
}

void planRawDiff(const dpatch_TStreamInput* diff, dpatch_StreamPos_t oldSize, dpatch_StreamPos_t newSize)
{
    dpatch_TStreamInput old;
    dpatch_memStreamInput_init(&old, oldDataPrefix(), oldDataPrefix() + oldSize);
    std::vector<dpatch_byte> mem(1300 * 1024);
    const dpatch_TStreamInput* oldStream = &old;
    dpatch_byte* cache = mem.data();
    dpatch_byte* cacheEnd = mem.data() + mem.size();
    dpatch_TCovers* covers = nullptr;
    int isReadError = 0;
    _patch_prepare_cache(&covers, &oldStream, newSize, diff, 0, nullptr, 8, &cache, &cacheEnd, &isReadError);
    if (cache < mem.data() || cacheEnd > mem.data() + mem.size() || cache > cacheEnd)
        fail("planner left the memory range");
    if (covers != nullptr)
        covers->close(covers);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t selector = data[0];
    dpatch_TStreamInput diff;
    dpatch_memStreamInput_init(&diff, data + 1, data + size);

    if (selector & 0x80)
    {
        // Raw diffs and single-stream heads: readers and the planner's raw road.
        _TRawDiffHead rawHead;
        _read_raw_diff_head(&rawHead, &diff);
        readCoverList(&diff, true);
        planRawDiff(&diff, 1280 * 1024, (dpatch_StreamPos_t(selector & 0x7F) + 1) << 12);
        dpatch_TSingleDiffInfo single;
        getSingleCompressedDiffInfo(&single, &diff, selector & 0x0F);
        return 0;
    }

    readCoverList(&diff, false);
    dpatch_TCompressedDiffInfo info;
    if (!getCompressedDiffInfo(&info, &diff) || info.oldDataSize > kMaxOldSize || info.newDataSize > kMaxNewSize)
        return 0;
    const size_t oldSize = size_t(info.oldDataSize);

    // Streaming in small parts, streaming, covers in memory, whole old data.
    const size_t memSizes[] = {size_t(1560 + (selector & 0x3F) * 7), 64 * 1024,
                               oldSize / 8 + 6 * 128 * 1024 + size_t(selector & 0x3F) * 4096,
                               oldSize + 6 * 4096 + 40};
    std::vector<dpatch_byte> first;
    const bool firstOk = patchWith(&diff, info.oldDataSize, info.newDataSize, memSizes[0], &first);
    for (size_t i = 1; i < sizeof(memSizes) / sizeof(memSizes[0]); ++i)
    {
        std::vector<dpatch_byte> other;
        const bool ok = patchWith(&diff, info.oldDataSize, info.newDataSize, memSizes[i], &other);
        if (ok != firstOk)
            fail("memory plans disagree on success");
        if (ok && other != first)
            fail("memory plans disagree on the new data");
    }
    return 0;
}
