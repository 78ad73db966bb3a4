#include "patch/os/zstd_decompress_plugin.h"

#include <cstdlib>
#include <cstring>
#include <zstd.h>

#include "patch/core/dpatch_check.h"

namespace
{
// One heap block per handle: this record, then the input area, then the output area.
struct TZstdDecompressHandle
{
    const dpatch_TStreamInput* codeStream;
    dpatch_StreamPos_t codeBegin; // next compressed byte to fetch
    dpatch_StreamPos_t codeEnd;
    ZSTD_inBuffer input;
    ZSTD_outBuffer output;
    dpatch_StreamPos_t outConsumed; // bytes of the output area already handed out
    ZSTD_DStream* s;
};

// The areas follow the record at this alignment.
const size_t kHeadSize = (sizeof(TZstdDecompressHandle) + 15) / 16 * 16;
// The compressed bytes are fetched in reads of this size (or zstd's own suggestion, if larger): one system
// call per MiB, where zstd's 128 KiB and 3 bytes would take two for every 128 KiB.
const size_t kMinInputSize = 1024 * 1024;

BOOL zstdCanOpen(const char* compressType)
{
    return compressType && strcmp(compressType, "zstd") == 0;
}

dpatch_TDecompressHandle zstdOpen(const dpatch_TDecompressPlugin* /*plugin*/, dpatch_StreamPos_t /*dataSize*/,
                                  const dpatch_TStreamInput* codeStream, dpatch_StreamPos_t code_begin,
                                  dpatch_StreamPos_t code_end)
{
    if (!codeStream || code_begin > code_end)
        return nullptr;
    const size_t inSize = ZSTD_DStreamInSize() > kMinInputSize ? ZSTD_DStreamInSize() : kMinInputSize;
    const size_t outSize = ZSTD_DStreamOutSize();
    unsigned char* block = (unsigned char*)malloc(kHeadSize + inSize + outSize);
    if (!block)
        return nullptr;
    TZstdDecompressHandle* self = (TZstdDecompressHandle*)block;
    self->codeStream = codeStream;
    self->codeBegin = code_begin;
    self->codeEnd = code_end;
    // An input buffer that looks used up makes the first decompressPart fetch at once.
    self->input.src = block + kHeadSize;
    self->input.size = inSize;
    self->input.pos = inSize;
    self->output.dst = block + kHeadSize + inSize;
    self->output.size = outSize;
    self->output.pos = 0;
    self->outConsumed = 0;
    self->s = ZSTD_createDStream();
    if (!self->s) {
        free(block);
        return nullptr;
    }
    if (ZSTD_isError(ZSTD_initDStream(self->s))) {
        ZSTD_freeDStream(self->s);
        free(block);
        return nullptr;
    }
    return self;
}

BOOL zstdClose(const dpatch_TDecompressPlugin* /*plugin*/, dpatch_TDecompressHandle handle)
{
    if (!handle)
        return 1;
    TZstdDecompressHandle* self = (TZstdDecompressHandle*)handle;
    BOOL result = 1;
    if (0 != ZSTD_freeDStream(self->s)) {
        dpatch_fprintf(stderr, "check 0==ZSTD_freeDStream(self->s) ERROR!\n");
        result = 0;
    }
    free(self);
    return result;
}

BOOL zstdDecompressPart(dpatch_TDecompressHandle handle, dpatch_byte* out, dpatch_byte* out_end)
{
    TZstdDecompressHandle* self = (TZstdDecompressHandle*)handle;
    if (!self)
        return 0;
    while (out < out_end) {
        if (self->output.pos > self->outConsumed) {
            size_t n = self->output.pos - (size_t)self->outConsumed;
            if (n > (size_t)(out_end - out))
                n = (size_t)(out_end - out);
            memcpy(out, (const unsigned char*)self->output.dst + self->outConsumed, n);
            out += n;
            self->outConsumed += n;
            continue;
        }
        if (self->input.pos == self->input.size) {
            // Never fetch past the section: the next bytes of the stream belong to someone else.
            self->input.pos = 0;
            const dpatch_StreamPos_t left = self->codeEnd - self->codeBegin;
            if (self->input.size > left)
                self->input.size = (size_t)left;
            if (self->input.size != 0) {
                unsigned char* area = (unsigned char*)self->input.src;
                if (!self->codeStream->read(self->codeStream, self->codeBegin, area, area + self->input.size))
                    return 0;
                self->codeBegin += self->input.size;
            }
        }
        const size_t inputBefore = self->input.pos;
        size_t produced = 0;
        if ((size_t)(out_end - out) >= self->output.size) {
            // A request at least as large as the output area is decompressed straight into place, saving a
            // copy of every byte; the area holds nothing unread at this point.
            ZSTD_outBuffer direct = {out, (size_t)(out_end - out), 0};
            if (ZSTD_isError(ZSTD_decompressStream(self->s, &direct, &self->input)))
                return 0;
            produced = direct.pos;
            out += produced;
        } else {
            self->output.pos = 0;
            self->outConsumed = 0;
            if (ZSTD_isError(ZSTD_decompressStream(self->s, &self->output, &self->input)))
                return 0;
            produced = self->output.pos;
        }
        // A call may rightly consume input without output: a frame or block header split across fetches,
        // the end of one frame and the start of the next, a skippable frame. Only a call that does neither
        // means the section can't supply the bytes asked for.
        if (produced == 0 && self->input.pos == inputBefore)
            return 0;
    }
    return 1;
}
} // namespace

extern const dpatch_TDecompressPlugin zstdDecompressPlugin = {zstdCanOpen, zstdOpen, zstdClose, zstdDecompressPart};
