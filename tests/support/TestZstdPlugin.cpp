#include "TestZstdPlugin.h"

#include <zstd.h>

#include <string_view>
#include <vector>

namespace
{
// Decodes the whole section at open and hands it out in order; stands in until the engine's own
// streaming plugin is available to the tests.
struct Handle
{
    std::vector<dpatch_byte> data;
    size_t pos = 0;
};

BOOL canOpen(const char* compressType)
{
    return std::string_view(compressType) == "zstd";
}

dpatch_TDecompressHandle open(const dpatch_TDecompressPlugin*, dpatch_StreamPos_t dataSize,
                              const dpatch_TStreamInput* codeStream, dpatch_StreamPos_t code_begin,
                              dpatch_StreamPos_t code_end)
{
    std::vector<dpatch_byte> code(size_t(code_end - code_begin));
    if (!codeStream->read(codeStream, code_begin, code.data(), code.data() + code.size()))
        return nullptr;
    Handle* handle = new Handle;
    handle->data.resize(size_t(dataSize) + 1);
    const size_t size = ZSTD_decompress(handle->data.data(), handle->data.size(), code.data(), code.size());
    if (ZSTD_isError(size))
        handle->data.clear();
    else
        handle->data.resize(size);
    return handle;
}

BOOL close(const dpatch_TDecompressPlugin*, dpatch_TDecompressHandle handle)
{
    delete static_cast<Handle*>(handle);
    return 1;
}

BOOL decompressPart(dpatch_TDecompressHandle h, dpatch_byte* out, dpatch_byte* out_end)
{
    Handle* handle = static_cast<Handle*>(h);
    const size_t n = size_t(out_end - out);
    if (n > handle->data.size() - handle->pos)
        return 0;
    std::copy(handle->data.begin() + handle->pos, handle->data.begin() + handle->pos + n, out);
    handle->pos += n;
    return 1;
}

const dpatch_TDecompressPlugin plugin = {canOpen, open, close, decompressPart};
} // namespace

const dpatch_TDecompressPlugin* testZstdPlugin()
{
    return &plugin;
}
