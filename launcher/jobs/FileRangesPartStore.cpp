#include "FileRangesPartStore.h"

#include "jobs/PartFilesStore.h"
#include "patch/dir/file_copy.h"
#include "updater/ServerFormats.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{
bool pwriteAll(int fd, const char* data, qint64 size, qint64 at)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(size), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        at += n;
    }
    return true;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

FileRangesPartStore::FileRangesPartStore(QString outputPath, int partCount, qint64 waitingMemoryLimit)
    : outputPath(std::move(outputPath)), waitingMemoryLimit(waitingMemoryLimit)
{
    // A limit below one block holds smaller blocks, so that some bytes may still wait in memory.
    const qint64 blockSize = qBound<qint64>(4096, waitingMemoryLimit, waitingBlockSize);
    parts.reserve(size_t(partCount));
    for (int i = 0; i < partCount; ++i)
        parts.emplace_back(blockSize);
}

FileRangesPartStore::~FileRangesPartStore()
{
    if (outputFd >= 0)
        ::close(outputFd);
    for (Part& part : parts)
        dropWaiting(part);
}

bool FileRangesPartStore::open()
{
    outputFd = ::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return outputFd >= 0 || fail(outputPath, systemError());
}

bool FileRangesPartStore::startAttempt(int partIndex)
{
    Part& part = parts[size_t(partIndex)];
    part.written = 0;
    dropWaiting(part);
    return true;
}

bool FileRangesPartStore::write(int partIndex, qint64 at, const QByteArray& data)
{
    Part& part = parts[size_t(partIndex)];
    if (part.start >= 0) {
        if (!pwriteAll(outputFd, data.constData(), data.size(), part.start + at))
            return fail(outputPath, systemError());
    } else if (part.waitingFd >= 0 || !waitInMemory(part, data)) {
        if (!waitInFile(partIndex, part, data))
            return false;
    }
    part.written = at + data.size();
    return true;
}

// Keeps data with the part's bytes in memory, unless the blocks that takes would pass the limit or can't
// be had.
bool FileRangesPartStore::waitInMemory(Part& part, const QByteArray& data)
{
    const qint64 more = part.waiting.mappingFor(data.size());
    if (waitingInMemory + more > waitingMemoryLimit || !part.waiting.append(data.constData(), data.size()))
        return false;
    waitingInMemory += more;
    return true;
}

// The bytes of a part that has waited in memory until now move to a file of its own, followed by data.
bool FileRangesPartStore::waitInFile(int partIndex, Part& part, const QByteArray& data)
{
    if (part.waitingFd < 0) {
        part.waitingPath = PartFilesStore::partFilePath(outputPath, partIndex);
        part.waitingFd =
            ::open(QFile::encodeName(part.waitingPath).constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (part.waitingFd < 0) {
            const QString cause = systemError();
            part.waitingPath.clear();
            return fail(PartFilesStore::partFilePath(outputPath, partIndex), cause);
        }
        if (!writeWaiting(part, part.waitingFd, 0))
            return fail(part.waitingPath, systemError());
    }
    if (!pwriteAll(part.waitingFd, data.constData(), data.size(), part.written))
        return fail(part.waitingPath, systemError());
    return true;
}

bool FileRangesPartStore::place(int partIndex, qint64 start)
{
    Part& part = parts[size_t(partIndex)];
    part.start = start;
    if (part.waitingFd >= 0)
        return copyWaitingFile(part);
    return writeWaiting(part, outputFd, start) || fail(outputPath, systemError());
}

// Writes the bytes the part keeps in memory to fd from at on, letting their blocks go; on failure errno
// says why.
bool FileRangesPartStore::writeWaiting(Part& part, int fd, qint64 at)
{
    waitingInMemory -= part.waiting.mapped();
    int error = 0;
    const bool written = part.waiting.drain([fd, &at, &error](const char* data, qint64 count) {
        if (!pwriteAll(fd, data, count, at)) {
            error = errno;
            return false;
        }
        at += count;
        return true;
    });
    if (!written)
        errno = error;
    return written;
}

// Copies what waited in the part's file to its place, inside the kernel where it can (read and written
// in pieces where it can't), and removes the file.
bool FileRangesPartStore::copyWaitingFile(Part& part)
{
    loff_t from = 0;
    loff_t to = loff_t(part.start);
    bool kernel = true;
    std::vector<char> buffer;
    while (from < loff_t(part.written)) {
        const size_t piece = size_t(qMin<qint64>(part.written - from, qint64(1) << 30));
        if (kernel) {
            const ssize_t copied = ::copy_file_range(part.waitingFd, &from, outputFd, &to, piece, 0);
            if (copied > 0)
                continue;
            if (copied < 0 && errno == EINTR)
                continue;
            if (copied < 0 && !dpatch_isRefusedHere(errno))
                return fail(outputPath, systemError());
            kernel = false; // this file system doesn't copy in the kernel: the plain way from here on
            buffer.resize(size_t(1) << 20);
        }
        const ssize_t count = ::pread(part.waitingFd, buffer.data(), qMin(buffer.size(), piece), from);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return fail(part.waitingPath,
                        count == 0 ? QStringLiteral("the file is shorter than written") : systemError());
        if (!pwriteAll(outputFd, buffer.data(), count, to))
            return fail(outputPath, systemError());
        from += count;
        to += count;
    }
    dropWaiting(part);
    return true;
}

void FileRangesPartStore::dropWaiting(Part& part)
{
    waitingInMemory -= part.waiting.mapped();
    part.waiting.clear();
    if (part.waitingFd >= 0) {
        ::close(part.waitingFd);
        part.waitingFd = -1;
    }
    if (!part.waitingPath.isEmpty()) {
        QFile::remove(part.waitingPath);
        part.waitingPath.clear();
    }
}

QString FileRangesPartStore::waitingFile(int partIndex) const
{
    return parts[size_t(partIndex)].waitingPath;
}

bool FileRangesPartStore::finish()
{
    const int fd = outputFd;
    outputFd = -1;
    return ::close(fd) == 0 || fail(outputPath, systemError());
}

qint64 FileRangesPartStore::joinedSize() const
{
    qint64 size = 0;
    for (const Part& part : parts)
        size = addSizes(size, part.written);
    return size;
}

void FileRangesPartStore::discard()
{
    if (outputFd >= 0) {
        ::close(outputFd);
        outputFd = -1;
    }
    for (Part& part : parts)
        dropWaiting(part);
    QFile::remove(outputPath);
}
