// Fuzz target for the diff readers and the compressed-diff patcher.
//
// Property: no input crashes, reads or writes outside its buffers, or leaks a decompressor handle;
// and a diff gives the same answer in every memory plan (streaming, covers in memory with and
// without the old-data cache, whole old data): either it fails in all of them or it produces the
// same new data in all of them, written strictly in order.
//
// Input: one selector byte, then the diff. The old data is not part of the input: it is generated
// from the size the diff's head names (see fuzzOldData), so seeds written for that data patch deep.

#include "fuzz_old_data.h"
#include "patch/core/compressed_diff.h"
#include "patch/core/compressed_patch.h"
#include "patch/core/memory_planner.h"
#include "patch/core/streams.h"
#include "patch/os/zstd_decompress_plugin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sanitizer/asan_interface.h>
#include <vector>

namespace
{
// Keeps one run fast; larger heads are only read, not applied.
const dpatch_StreamPos_t kMaxOldSize = 2u << 20;
const dpatch_StreamPos_t kMaxNewSize = 1280u << 10;
// The largest memory plan: the whole old data and its parts.
const size_t kMaxMemSize = kMaxOldSize + 6 * 4096 + 40 + 6 * 128 * 1024;

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

const dpatch_TDecompressPlugin countingPlugin = {countingCanOpen, countingOpen, countingClose, countingDecompressPart};

void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_compressed_patch: %s\n", what);
    std::abort();
}

// An output stream that keeps the bytes and insists on strictly ordered writes. It grows as the
// bytes come, so a head that claims megabytes and fails early costs nothing.
struct OrderedOutput
{
    dpatch_TStreamOutput base;
    std::vector<dpatch_byte> data;

    static BOOL write(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t pos, const dpatch_byte* d,
                      const dpatch_byte* d_end)
    {
        OrderedOutput* self = (OrderedOutput*)stream->streamOwner;
        if (pos != self->data.size())
            fail("write out of order");
        const size_t n = size_t(d_end - d);
        if (n > stream->streamSize - self->data.size())
            return 0;
        self->data.insert(self->data.end(), d, d_end);
        return 1;
    }
    static BOOL readBack(const dpatch_TStreamOutput*, dpatch_StreamPos_t, dpatch_byte*, dpatch_byte*) { return 0; }
    explicit OrderedOutput(dpatch_StreamPos_t size)
    {
        base.streamOwner = this;
        base.streamSize = size;
        base.readBack = readBack;
        base.write = write;
    }
};

// The memory every plan works in: the last memSize bytes of one block made once, with the bytes in
// front of them poisoned, so AddressSanitizer reports a stray access on either side (the block's own
// end is guarded by the allocator). Reusing it keeps a run from paying for megabytes of fresh pages;
// it holds the previous run's bytes, which the engine must not depend on any more than on garbage.
dpatch_byte* planMemory(size_t memSize)
{
    static std::vector<dpatch_byte> block(kMaxMemSize);
    if (memSize > block.size())
        fail("memory plan larger than the block");
    dpatch_byte* begin = block.data() + (block.size() - memSize);
    ASAN_UNPOISON_MEMORY_REGION(block.data(), block.size());
    ASAN_POISON_MEMORY_REGION(block.data(), block.size() - memSize);
    return begin;
}

// The old data of every size is a prefix of one generated block, made once.
const dpatch_byte* oldDataPrefix()
{
    static const std::vector<dpatch_byte> block = fuzzOldData(kMaxOldSize);
    return block.data();
}

bool patchWith(const dpatch_TStreamInput* diff, dpatch_StreamPos_t oldSize, dpatch_StreamPos_t newSize, size_t memSize,
               std::vector<dpatch_byte>* out_newData)
{
    dpatch_TStreamInput old;
    dpatch_memStreamInput_init(&old, oldDataPrefix(), oldDataPrefix() + oldSize);
    OrderedOutput output(newSize);
    dpatch_byte* mem = planMemory(memSize);
    const bool ok = patch_decompress_with_cache(&output.base, &old, diff, &countingPlugin, mem, mem + memSize);
    if (openHandles != 0)
        fail("decompressor handle left open");
    if (ok && output.data.size() != newSize)
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
    while (list.covers->leaveCoverCount(list.covers) > 0 && list.covers->readCover(list.covers, &cover)) {
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
    const size_t memSize = 1300 * 1024;
    dpatch_byte* mem = planMemory(memSize);
    const dpatch_TStreamInput* oldStream = &old;
    dpatch_byte* cache = mem;
    dpatch_byte* cacheEnd = mem + memSize;
    dpatch_TCovers* covers = nullptr;
    int isReadError = 0;
    _patch_prepare_cache(&covers, &oldStream, newSize, diff, 0, nullptr, 8, &cache, &cacheEnd, &isReadError);
    if (cache < mem || cacheEnd > mem + memSize || cache > cacheEnd)
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

    if (selector & 0x80) {
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

    // Every input is patched streaming in small parts and in one other plan that the selector picks:
    // streaming, whole old data, covers in memory. Each plan is thus checked against the same
    // reference, and an input costs two runs of the patcher instead of four.
    const size_t streamingInSmallParts = size_t(1560 + (selector & 0x3F) * 7);
    const size_t otherPlans[] = {64 * 1024, oldSize + 6 * 4096 + 40,
                                 oldSize / 8 + 6 * 128 * 1024 + size_t(selector & 0x3F) * 4096};
    std::vector<dpatch_byte> first;
    const bool firstOk = patchWith(&diff, info.oldDataSize, info.newDataSize, streamingInSmallParts, &first);
    std::vector<dpatch_byte> other;
    const bool ok = patchWith(&diff, info.oldDataSize, info.newDataSize, otherPlans[selector % 3], &other);
    if (ok != firstOk)
        fail("memory plans disagree on success");
    if (ok && other != first)
        fail("memory plans disagree on the new data");
    return 0;
}
