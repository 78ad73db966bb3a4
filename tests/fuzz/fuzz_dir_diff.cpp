// Directory-diff reader and runDirPatch on arbitrary bytes.
//
// Properties: reading the head (whole and as a prefix), loading the directory data and applying the
// diff to a small fixed old tree never crash or leak, and runDirPatch never asks its listener to
// create, open or copy anything outside the new root, nor to copy from outside the old root. A path
// that would leave a root aborts the run, so the fuzzer reports it.

#include "fuzz_sandbox.h"
#include "patch/core/streams.h"
#include "patch/dir/dir_diff_format.h"
#include "patch/dir/dir_patcher.h"
#include "patch/drivers/dir_patch_driver.h"
#include "patch/os/file_services.h"
#include "patch/os/zstd_decompress_plugin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::string oldRoot;
std::string newRoot;
std::string diffPath;

void setUp()
{
    const FuzzSandbox& sandbox = fuzzSandbox();
    oldRoot = sandbox.oldRoot;
    newRoot = sandbox.newRoot;
    diffPath = sandbox.diffPath;
}

// Checked here on its own terms rather than with the engine's own path test.
bool insideRoot(const char* path, const std::string& root)
{
    // a diff whose side is a single file names the root itself, without the '/'
    if (root.compare(0, root.size() - 1, path) == 0 && strlen(path) == root.size() - 1)
        return true;
    if (strncmp(path, root.c_str(), root.size()) != 0)
        return false;
    const std::string rest = path + root.size();
    size_t begin = 0;
    while (begin <= rest.size()) {
        size_t end = rest.find('/', begin);
        if (end == std::string::npos)
            end = rest.size();
        if (rest.compare(begin, end - begin, "..") == 0)
            return false;
        begin = end + 1;
    }
    return rest.empty() || rest[0] != '/';
}

void requireInside(const char* path, const std::string& root)
{
    if (!insideRoot(path, root)) {
        fprintf(stderr, "path outside its root: %s\n", path);
        abort();
    }
}

BOOL makeNewDir(TDirPatchListener*, const char* pathName)
{
    requireInside(pathName, newRoot);
    return dpatch_makeDir(pathName);
}

BOOL copySameFile(TDirPatchListener*, const char* oldFileName, const char* newFileName,
                  dpatch_TCopyListener* copyListener)
{
    requireInside(oldFileName, oldRoot);
    requireInside(newFileName, newRoot);
    return dpatch_copyFile(oldFileName, newFileName, copyListener);
}

BOOL openNewFile(TDirPatchListener*, dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
                 dpatch_StreamPos_t fileSize)
{
    requireInside(newFileName, newRoot);
    // the sandbox is small; a claimed size is only a bound for the writes
    return dpatch_TFileStreamOutput_open(curNewFile, newFileName, fileSize);
}

BOOL closeNewFile(TDirPatchListener*, dpatch_TFileStreamOutput* curNewFile)
{
    return dpatch_TFileStreamOutput_close(curNewFile);
}

BOOL patchBegin(TDirPatchListener* listener, TDirPatcher* dirPatcher)
{
    listener->dirPatcher = dirPatcher;
    return 1;
}

BOOL patchFinish(TDirPatchListener*, BOOL)
{
    return 1;
}

void readHead(const uint8_t* data, size_t size)
{
    dpatch_TStreamInput stream;
    dpatch_memStreamInput_init(&stream, data, data + size);
    TDirDiffInfo info;
    TDirDiffHead head;
    BOOL isAppendContinue = 0;
    _read_dirdiff_head(&info, &head, &stream, &isAppendContinue);
    if (!_read_dirdiff_head(&info, &head, &stream, nullptr) || !info.isDirDiff)
        return;
    TDirPatcher patcher;
    memset(&patcher, 0, sizeof(patcher));
    const TDirDiffInfo* patcherInfo = nullptr;
    if (TDirPatcher_open(&patcher, &stream, &patcherInfo))
        TDirPatcher_loadDirData(&patcher, &zstdDecompressPlugin, oldRoot.c_str(), newRoot.c_str());
    if (!TDirPatcher_close(&patcher))
        abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (oldRoot.empty())
        setUp();
    readHead(data, size);

    fuzzWriteFile(diffPath, data, size);
    fuzzRemoveTree(newRoot);
    TDirPatchListener listener = {nullptr,     nullptr,      nullptr, nullptr,    makeNewDir, copySameFile,
                                  openNewFile, closeNewFile, nullptr, patchBegin, patchFinish};
    TChecksumSet checksumSet = {};
    // a small cache and a low open-file limit reach the limiter and the streaming paths
    runDirPatch(oldRoot.c_str(), diffPath.c_str(), newRoot.c_str(), 0, 64 * 1024, 4, &checksumSet, &listener, 0, 0);
    return 0;
}
