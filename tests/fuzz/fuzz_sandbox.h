#pragma once
// The small fixed old tree the directory targets patch and check, in a sandbox removed when the
// process ends. Each input writes files there, so it lives in memory (/dev/shm) where that exists:
// a disk file system spends far more on truncating and discarding blocks than the engine on the input.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

struct FuzzSandbox
{
    std::string root;
    std::string oldRoot; // with a trailing '/'
    std::string newRoot; // with a trailing '/'
    std::string diffPath;
};

inline void fuzzWriteFile(const std::string& path, const void* data, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (!file)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);
}

inline int fuzzRemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

inline void fuzzRemoveTree(const std::string& path)
{
    nftw(path.c_str(), fuzzRemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Made on first use, with the old tree a, b, d/c.
inline const FuzzSandbox& fuzzSandbox()
{
    static FuzzSandbox sandbox;
    if (!sandbox.root.empty())
        return sandbox;
    std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    name += "/pelwinter-fuzz-XXXXXX";
    if (!mkdtemp(name.data()))
        abort();
    sandbox.root = name;
    atexit([] { fuzzRemoveTree(sandbox.root); });
    sandbox.oldRoot = sandbox.root + "/old/";
    sandbox.newRoot = sandbox.root + "/new/";
    sandbox.diffPath = sandbox.root + "/patch.diff";
    mkdir(sandbox.oldRoot.c_str(), 0755);
    mkdir((sandbox.oldRoot + "d").c_str(), 0755);
    const auto write = [](const std::string& path, const char* text) { fuzzWriteFile(path, text, strlen(text)); };
    write(sandbox.oldRoot + "a", "first old file with some text in it");
    write(sandbox.oldRoot + "b", "second");
    write(sandbox.oldRoot + "d/c", "a file in a directory");
    return sandbox;
}
