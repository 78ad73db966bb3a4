#include "CountingDecompressPlugin.h"

#include <QtGlobal>

namespace
{
struct State
{
    const dpatch_TDecompressPlugin* inner = nullptr;
    int openCount = 0;
    int closeCount = 0;
    bool failOpen = false;
    bool failClose = false;
};

State state;

BOOL countingCanOpen(const char* compressType)
{
    return state.inner->canOpen(compressType);
}

dpatch_TDecompressHandle countingOpen(const dpatch_TDecompressPlugin* /*plugin*/, dpatch_StreamPos_t dataSize,
                                      const dpatch_TStreamInput* codeStream, dpatch_StreamPos_t code_begin,
                                      dpatch_StreamPos_t code_end)
{
    if (state.failOpen)
        return nullptr;
    dpatch_TDecompressHandle handle = state.inner->open(state.inner, dataSize, codeStream, code_begin, code_end);
    if (handle != nullptr)
        ++state.openCount;
    return handle;
}

BOOL countingClose(const dpatch_TDecompressPlugin* /*plugin*/, dpatch_TDecompressHandle handle)
{
    if (handle != nullptr)
        ++state.closeCount;
    const BOOL result = state.inner->close(state.inner, handle);
    return state.failClose ? 0 : result;
}

BOOL countingDecompressPart(dpatch_TDecompressHandle handle, dpatch_byte* out_data, dpatch_byte* out_data_end)
{
    return state.inner->decompressPart(handle, out_data, out_data_end);
}

const dpatch_TDecompressPlugin countingPlugin = {countingCanOpen, countingOpen, countingClose, countingDecompressPart};
} // namespace

CountingDecompressPlugin::CountingDecompressPlugin(const dpatch_TDecompressPlugin* inner)
{
    Q_ASSERT(state.inner == nullptr);
    state = State();
    state.inner = inner;
}

CountingDecompressPlugin::~CountingDecompressPlugin()
{
    state = State();
}

const dpatch_TDecompressPlugin* CountingDecompressPlugin::plugin() const
{
    return &countingPlugin;
}

int CountingDecompressPlugin::openCount() const
{
    return state.openCount;
}

int CountingDecompressPlugin::closeCount() const
{
    return state.closeCount;
}

int CountingDecompressPlugin::openHandles() const
{
    return state.openCount - state.closeCount;
}

void CountingDecompressPlugin::setFailOpen(bool fail)
{
    state.failOpen = fail;
}

void CountingDecompressPlugin::setFailClose(bool fail)
{
    state.failClose = fail;
}
