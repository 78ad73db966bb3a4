// The command line's self-extracting archive road on arbitrary bytes: the marker block names where
// the diff lies inside the program's own file, and "-X" reads and applies it from there; building an
// archive scans an executable for the plain marker block.
//
// Properties: whatever the marker block says and whatever the file holds, running the archive and
// building one never crash, read outside the file's window or leak, and a run writes nothing outside
// the sandbox's new directory.
//
// Input: the diff's offset (4 bytes) and size (8 bytes) as the marker block stores them, little-endian,
// then one mode byte (bit 0: also build an archive with the file as the executable), then the file.

#include "fuzz_sandbox.h"
#include "patch/tools/patcher_command_line.h"
#include "patch/tools/sfx_archive.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" volatile unsigned char dpatch_sfxMarkerBlock[28];

namespace
{
const size_t kMarkerSize = 16;
const size_t kFieldsSize = 12;

int runCommandLine(std::initializer_list<std::string> args)
{
    std::vector<std::string> storage(args);
    std::vector<char*> argv;
    for (std::string& arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return runPatcherCommandLine(int(storage.size()), argv.data());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kFieldsSize + 1)
        return 0;
    const FuzzSandbox& sandbox = fuzzSandbox();
    const std::string archive = sandbox.root + "/archive";
    fuzzWriteFile(archive, data + kFieldsSize + 1, size - kFieldsSize - 1);
    fuzzRemoveTree(sandbox.newRoot);

    unsigned char saved[kFieldsSize];
    for (size_t i = 0; i < kFieldsSize; ++i) {
        saved[i] = dpatch_sfxMarkerBlock[kMarkerSize + i];
        dpatch_sfxMarkerBlock[kMarkerSize + i] = data[i];
    }
    // the archive is the program: its path is the first argument
    runCommandLine({archive, "-X", sandbox.oldRoot, sandbox.newRoot});
    for (size_t i = 0; i < kFieldsSize; ++i)
        dpatch_sfxMarkerBlock[kMarkerSize + i] = saved[i];

    if (data[kFieldsSize] & 1) {
        const std::string built = sandbox.root + "/built";
        createSfx(archive.c_str(), archive.c_str(), built.c_str());
        remove(built.c_str());
    }
    return 0;
}
