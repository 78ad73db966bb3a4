#include "hasher/hasher.h"

#include "hasher/Blake3Tree.h"
#include "hasher/HashPool.h"

#include <algorithm>
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

bool sameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether nothing about the file's contents changed between the two looks at it: a write or a
// truncation moves the change time (and the size or the modification time).
bool unchanged(const struct stat& before, const struct stat& after)
{
    return before.st_size == after.st_size && sameTime(before.st_mtim, after.st_mtim) &&
           sameTime(before.st_ctim, after.st_ctim);
}

bool hashOpenFile(int fd, const struct stat& status, blake3_hasher* hasher)
{
    const uint64_t size = S_ISREG(status.st_mode) && status.st_size > 0 ? uint64_t(status.st_size) : 0;
    if (size >= hasher::parallelReadThreshold)
        return hasher::blake3UpdateParallelFromFile(hasher, fd, 0, size_t(size));

    // This path never waits on the pool, so no other file's step can be stacked on top of this
    // buffer while it is in use. A file with a size is read up to that size (whether it grew is
    // told by the second look at its status); one without, such as a directory or a file of the
    // kernel's that reports no size, to its end.
    uint8_t* const buffer = hasher::threadBuffer();
    uint64_t total = 0;
    while (size == 0 || total < size) {
        const size_t wanted =
            size == 0 ? hasher::threadBufferSize : size_t(std::min<uint64_t>(hasher::threadBufferSize, size - total));
        const ssize_t got = read(fd, buffer, wanted);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        blake3_hasher_update(hasher, buffer, static_cast<size_t>(got));
        total += uint64_t(got);
    }
    // A file that ends before the size it had when opened shrank while it was read.
    return total >= size;
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
    // A file written or cut while it was read has no one digest: what was read may mix two states
    // of it, or stop in the middle of one. It gets flag 0, like a file that could not be read.
    struct stat after;
    ok = ok && fstat(fd, &after) == 0 && unchanged(status, after);
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
    hasher::detectBlake3FeaturesOnce();
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
