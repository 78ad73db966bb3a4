#include "FileRangesPartStore.h"

#include "updater/ServerFormats.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <unistd.h>

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
} // namespace

FileRangesPartStore::FileRangesPartStore(QString outputPath, qint64 size, int partCount)
    : outputPath(std::move(outputPath)), size(size), partCount(partCount), partWritten(partCount, 0)
{}

FileRangesPartStore::~FileRangesPartStore()
{
    if (outputFd >= 0)
        ::close(outputFd);
}

qint64 FileRangesPartStore::shareStart(qint64 size, int partCount, int partIndex)
{
    return size / partCount * partIndex + size % partCount * partIndex / partCount;
}

bool FileRangesPartStore::open()
{
    outputFd = ::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return outputFd >= 0 || fail(outputPath, QString::fromLocal8Bit(std::strerror(errno)));
}

bool FileRangesPartStore::startAttempt(int partIndex)
{
    partWritten[partIndex] = 0;
    return true;
}

bool FileRangesPartStore::write(int partIndex, qint64 at, const QByteArray& data)
{
    if (!pwriteAll(outputFd, data.constData(), data.size(), shareStart(size, partCount, partIndex) + at))
        return fail(outputPath, QString::fromLocal8Bit(std::strerror(errno)));
    partWritten[partIndex] = at + data.size();
    return true;
}

bool FileRangesPartStore::finish()
{
    const int fd = outputFd;
    outputFd = -1;
    return ::close(fd) == 0 || fail(outputPath, QString::fromLocal8Bit(std::strerror(errno)));
}

qint64 FileRangesPartStore::joinedSize() const
{
    return std::accumulate(partWritten.cbegin(), partWritten.cend(), qint64(0), addSizes);
}

void FileRangesPartStore::discard()
{
    if (outputFd >= 0) {
        ::close(outputFd);
        outputFd = -1;
    }
    QFile::remove(outputPath);
}
