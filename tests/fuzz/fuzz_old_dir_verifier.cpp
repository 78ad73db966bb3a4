// The old-directory prefix verifier fed arbitrary bytes piece by piece, as a download delivers them.
//
// Properties: appending, the check of a small fixed old tree and closing never crash or leak, and the
// verdict does not depend on how the bytes were cut: the input fed whole and fed in pieces of the
// sizes the selector picks give the same result at every step that both reach.
//
// Input: one selector byte (the piece sizes), then the diff.

#include "fuzz_sandbox.h"
#include "patch/drivers/old_dir_verifier.h"
#include "patch/os/zstd_decompress_plugin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
struct Verdict
{
    bool appended = false; // every append succeeded and the verifier stopped asking for more
    bool checked = false;  // the old tree passed the check
};

void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_old_dir_verifier: %s\n", what);
    std::abort();
}

Verdict verify(const uint8_t* data, size_t size, size_t pieceSize)
{
    TOldDirVerifier verifier;
    std::memset(&verifier, 0, sizeof(verifier));
    Verdict verdict;
    BOOL more = 1;
    bool ok = true;
    size_t pos = 0;
    while (ok && more && pos < size) {
        const size_t n = size - pos < pieceSize ? size - pos : pieceSize;
        ok = TOldDirVerifier_append(&verifier, data + pos, data + pos + n, &more);
        pos += n;
    }
    // an empty piece says that nothing more comes
    if (ok && more)
        ok = TOldDirVerifier_append(&verifier, nullptr, nullptr, &more);
    verdict.appended = ok && !more;
    if (verdict.appended)
        verdict.checked =
            TOldDirVerifier_checksum(&verifier, &zstdDecompressPlugin, nullptr, fuzzSandbox().oldRoot.c_str());
    TOldDirVerifier_close(&verifier);
    return verdict;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t pieceSizes[] = {1, 7, 64, 500, 943, 944, 945, 4096};
    const size_t pieceSize = pieceSizes[data[0] & 7] + (data[0] >> 3);
    ++data;
    --size;
    const Verdict whole = verify(data, size, size > 0 ? size : 1);
    const Verdict pieces = verify(data, size, pieceSize);
    if (whole.appended != pieces.appended)
        fail("the pieces decide whether the head and directory data are complete");
    if (whole.checked != pieces.checked)
        fail("the pieces decide the check of the old tree");
    return 0;
}
