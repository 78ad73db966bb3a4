// Raw-diff and single-stream readers and patchers on arbitrary bytes.
//
// Properties: every entry either succeeds or fails cleanly against a small fixed old data, never
// reading or writing outside the buffers and memory ranges it was given (the sanitizers report any
// stray access), and a raw diff that one entry accepts produces the same new data through the others.

#include "patch/core/compressed_diff.h"
#include "patch/core/single_stream_patch.h"
#include "patch/core/streams.h"
#include "patch/os/zstd_decompress_plugin.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
const dpatch_byte kOld[] = "old data the covers of every input read from, with some length to it";
const size_t kOldSize = sizeof(kOld) - 1;
// Larger claims only make the input slow, not more interesting.
const size_t kMaxNewSize = 1 << 16;

void fuzzRaw(const dpatch_byte* data, size_t size)
{
    if (size < 2)
        return;
    // The first two bytes choose the new size; the raw format does not store it.
    const size_t newSize = (size_t(data[0]) << 8 | data[1]) % kMaxNewSize;
    data += 2;
    size -= 2;
    std::vector<dpatch_byte> fromMem(newSize);
    const BOOL memOk =
        patch_raw_mem(fromMem.data(), fromMem.data() + newSize, kOld, kOld + kOldSize, data, data + size);

    dpatch_TStreamInput old;
    dpatch_memStreamInput_init(&old, kOld, kOld + kOldSize);
    dpatch_TStreamInput diff;
    dpatch_memStreamInput_init(&diff, data, data + size);
    std::vector<dpatch_byte> fromStream(newSize);
    dpatch_TStreamOutput out;
    dpatch_memStreamOutput_init(&out, fromStream.data(), fromStream.data() + newSize);
    const BOOL streamOk = patch_raw_stream(&out, &old, &diff);

    std::vector<dpatch_byte> fromCache(newSize);
    dpatch_memStreamOutput_init(&out, fromCache.data(), fromCache.data() + newSize);
    std::vector<dpatch_byte> cache(4096);
    const BOOL cacheOk = patch_raw_stream_with_cache(&out, &old, &diff, cache.data(), cache.data() + cache.size());

    // The memory entry checks the same things as the stream entries, but all at once; when both
    // accept a diff they must agree on every byte. (Vectors compare without memcmp's null pointer
    // for an empty new data.)
    if (memOk && streamOk && fromMem != fromStream)
        abort();
    if (streamOk && cacheOk && fromStream != fromCache)
        abort();
}

void fuzzSingle(const dpatch_byte* data, size_t size)
{
    dpatch_TStreamInput stream;
    dpatch_memStreamInput_init(&stream, data, data + size);
    dpatch_TSingleDiffInfo info;
    if (!getSingleCompressedDiffInfo(&info, &stream, 0))
        return;
    if (info.newDataSize > kMaxNewSize || info.maxStepSize > kMaxNewSize)
        return;
    const size_t newSize = (size_t)info.newDataSize;
    std::vector<dpatch_byte> newData(newSize);
    dpatch_TStreamOutput out;
    dpatch_memStreamOutput_init(&out, newData.data(), newData.data() + newSize);
    dpatch_TStreamInput old;
    dpatch_memStreamInput_init(&old, kOld, kOld + kOldSize);
    std::vector<dpatch_byte> cache((size_t)info.maxStepSize + dpatch_kSingleStreamMinCacheSize);
    const dpatch_TDecompressPlugin* plugin =
        info.compressedSize != 0 && zstdDecompressPlugin.canOpen(info.compressType) ? &zstdDecompressPlugin : nullptr;
    patch_single_compressed_diff(&out, &old, &stream, info.diffDataPos, info.uncompressedSize, plugin, info.coverCount,
                                 info.maxStepSize, cache.data(), cache.data() + cache.size());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzRaw(data, size);
    fuzzSingle(data, size);
    return 0;
}
