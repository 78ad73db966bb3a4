#include "hasher/hasher.h"

#include "hasher/Blake3Tree.h"
#include "hasher/HashPool.h"

#include <blake3.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <sys/stat.h>
#include <unistd.h>

// Files are read, never mapped. Mapping costs a page fault per few pages and an munmap whose TLB
// shootdown serialises every worker on the process's memory-map lock, which made small and medium
// files slower than copying them; and a mapped file that someone truncates kills the process with
// SIGBUS. A read of a vanished range just ends early, and the file then gets flag 0.

namespace
{

// From this size on a file is hashed by subtrees on the whole pool, each leaf reading its own
// range; below it one worker reads the file through its buffer, and other files keep the other
// workers busy. Chosen by measurement (bench/HashBenchmark.cpp): under it forking costs more than
// it gains even for a file hashed alone.
constexpr off_t parallelThreshold = 1024 * 1024;

// Reads fd from its current position to the end into hasher; counts the bytes in total.
bool hashToEnd(int fd, blake3_hasher* hasher, uint64_t& total)
{
    // This path never waits on the pool, so no other file's step can be stacked on top of this
    // buffer while it is in use.
    uint8_t* const buffer = hasher::threadBuffer();
    while (true) {
        const ssize_t got = read(fd, buffer, hasher::threadBufferSize);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        blake3_hasher_update(hasher, buffer, static_cast<size_t>(got));
        total += uint64_t(got);
    }
}

bool hashOpenFile(int fd, const struct stat& status, blake3_hasher* hasher)
{
    const bool regular = S_ISREG(status.st_mode);
    const uint64_t size = regular && status.st_size > 0 ? uint64_t(status.st_size) : 0;
    uint64_t total = 0;
    if (regular && status.st_size >= parallelThreshold) {
        if (!hasher::blake3UpdateParallelFromFile(hasher, fd, 0, size_t(size)))
            return false;
        total = size;
        // Anything appended meanwhile is hashed too, as a file read to its end would be.
        if (lseek(fd, off_t(size), SEEK_SET) < 0)
            return false;
    }
    if (!hashToEnd(fd, hasher, total))
        return false;
    // A regular file that ends before the size it had when opened shrank while it was read: its
    // digest would be that of no state the file was ever in.
    return !regular || total >= size;
}

bool hashOneFile(const char* path, const blake3_hasher& hasherTemplate, uint8_t* slot)
{
    // O_NONBLOCK so that a FIFO without a writer cannot hang the whole call at open.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat status;
    // A FIFO could block forever and a device like /dev/zero never ends: only regular files
    // have contents to hash. Directories go on to fail at their first read.
    bool ok = fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode));
    blake3_hasher hasher = hasherTemplate;
    // Back to blocking reads; no other status flag was set at open, so one call suffices.
    ok = ok && fcntl(fd, F_SETFL, 0) == 0 && hashOpenFile(fd, status, &hasher);
    close(fd);
    if (ok)
        blake3_hasher_finalize(&hasher, slot, BLAKE3_OUT_LEN);
    return ok;
}

void hashIndex(const char* const* paths, uint8_t* outHashes, uint8_t* outOk, int32_t i,
               const blake3_hasher& hasherTemplate)
{
    outOk[i] = hashOneFile(paths[i], hasherTemplate, outHashes + static_cast<size_t>(i) * BLAKE3_OUT_LEN) ? 1 : 0;
}

} // namespace

extern "C" void hash_files(const char* const* paths, uint8_t* out_hashes, uint8_t* out_ok, int32_t count)
{
    blake3_hasher hasherTemplate;
    blake3_hasher_init(&hasherTemplate);
    if (count <= 0)
        return;
    try {
        if (count == 1) {
            hashIndex(paths, out_hashes, out_ok, 0, hasherTemplate);
            return;
        }
        hasher::hashPool().execute([&] {
            tbb::parallel_for(tbb::blocked_range<int32_t>(0, count, 1), [&](const tbb::blocked_range<int32_t>& range) {
                for (int32_t i = range.begin(); i != range.end(); ++i)
                    hashIndex(paths, out_hashes, out_ok, i, hasherTemplate);
            });
        });
    } catch (...) {
        // Only the pool itself can throw (for example when threads can't be created). Files not
        // reached keep flag 0, which the caller already treats as "not hashed".
    }
}
