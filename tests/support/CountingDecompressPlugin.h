#pragma once
// A decompressor plugin for tests that forwards to a real one and counts what the engine does with
// it: handles opened, closed and still open, and the bytes of the code stream it was asked to decode.
// It can also refuse to open or report a failing close, for the engine's clean-up paths.
// One instance at a time: the plugin table carries no user data, so the state is shared.

#include "patch/core/decompress_plugin.h"

class CountingDecompressPlugin
{
public:
    explicit CountingDecompressPlugin(const dpatch_TDecompressPlugin* inner);
    ~CountingDecompressPlugin();

    const dpatch_TDecompressPlugin* plugin() const;

    int openCount() const;
    int closeCount() const;
    int openHandles() const;
    // Makes every open from now on fail (a null handle).
    void setFailOpen(bool fail);
    // Makes every close from now on report failure (the handle is still released).
    void setFailClose(bool fail);
};
