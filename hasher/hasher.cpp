#include "hasher/hasher.h"

#include "hasher/Blake3Tree.h"
#include "hasher/HashPool.h"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <blake3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Smaller files cost more to map and unmap than to read.
constexpr off_t mappingThreshold = 16384;
constexpr size_t readBufferSize = 65536;

bool hashByReading(int fd, blake3_hasher* hasher)
{
    // This path never waits on the pool, so no other file's step can be stacked on top of this
    // buffer while it is in use.
    alignas(64) uint8_t buffer[readBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    while (true) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        blake3_hasher_update(hasher, buffer, static_cast<size_t>(got));
    }
}

bool hashOneFile(const char* path, const blake3_hasher& hasherTemplate, uint8_t* slot)
{
    // O_NONBLOCK so that a FIFO without a writer cannot hang the whole call at open.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat status;
    if (fstat(fd, &status) != 0) {
        close(fd);
        return false;
    }
    // A FIFO could block forever and a device like /dev/zero never ends: only regular files
    // have contents to hash. Directories go on to fail at their first read.
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
        close(fd);
        return false;
    }

    blake3_hasher hasher = hasherTemplate;
    if (S_ISREG(status.st_mode) && status.st_size > 0 && status.st_size >= mappingThreshold) {
        const size_t length = static_cast<size_t>(status.st_size);
        void* mapping = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        if (mapping == MAP_FAILED)
            return false;
        hasher::blake3UpdateParallel(&hasher, mapping, length);
        munmap(mapping, length);
    } else {
        // Back to blocking reads; no other status flag was set at open, so one call suffices.
        fcntl(fd, F_SETFL, 0);
        const bool complete = hashByReading(fd, &hasher);
        close(fd);
        if (!complete)
            return false;
    }
    blake3_hasher_finalize(&hasher, slot, BLAKE3_OUT_LEN);
    return true;
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
