#include "BlobDecompressor.h"

#include "jobs/LauncherTemporaries.h"

#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <blake3.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>
#include <zstd.h>

namespace
{
// One decompression to a file at a time, however many repaired files arrive together: each holds a
// window of up to 2^maxWindowLog bytes.
QMutex decompressionMutex;

// A new file beside base, named as the launcher's temporaries are (for the given role), created with the
// default mode (the process umask applies, as for any new file). Returns its descriptor, or -1.
int createFileBeside(const QString& base, const QString& role, QString* path)
{
    for (int tries = 0; tries < 100; ++tries) {
        *path = LauncherTemporaries::pathBeside(base, role);
        const int fd = ::open(QFile::encodeName(*path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

struct DecompressOutcome
{
    enum
    {
        Done,
        InvalidFrame,
        WrongDigest,
        ReadFailed,
        WriteFailed
    } result = Done;
    QString detail; // strerror of a failed read or write, or what is wrong with the frames
};

// Decompresses every zstd frame of in into out as a stream, taking the BLAKE3 digest of what comes
// out, so that neither the blob nor the file is ever held whole. An empty input holds no frame and
// is invalid; a frame cut short is too.
DecompressOutcome decompressStream(int in, int out, int maxWindowLog, const QByteArray& expectedDigest)
{
    DecompressOutcome outcome;
    const std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!context || ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, maxWindowLog))) {
        outcome = {DecompressOutcome::InvalidFrame, QStringLiteral("no decompression context")};
        return outcome;
    }
    std::vector<char> inBuffer(size_t(1) << 20);
    std::vector<char> outBuffer(size_t(1) << 20);
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);

    bool anyInput = false;
    size_t pending = 1; // what ZSTD_decompressStream last returned: 0 once a frame is complete
    const auto emitOutput = [&](const ZSTD_outBuffer& output) {
        blake3_hasher_update(&hasher, output.dst, output.pos);
        return writeAll(out, static_cast<const char*>(output.dst), output.pos);
    };
    for (;;) {
        const ssize_t count = ::read(in, inBuffer.data(), inBuffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            outcome = {DecompressOutcome::ReadFailed, QString::fromLocal8Bit(strerror(errno))};
            return outcome;
        }
        if (count == 0)
            break;
        anyInput = true;
        ZSTD_inBuffer input{inBuffer.data(), size_t(count), 0};
        while (input.pos < input.size) {
            ZSTD_outBuffer output{outBuffer.data(), outBuffer.size(), 0};
            pending = ZSTD_decompressStream(context.get(), &output, &input);
            if (ZSTD_isError(pending)) {
                outcome = {DecompressOutcome::InvalidFrame, QString::fromUtf8(ZSTD_getErrorName(pending))};
                return outcome;
            }
            if (!emitOutput(output)) {
                outcome = {DecompressOutcome::WriteFailed, QString::fromLocal8Bit(strerror(errno))};
                return outcome;
            }
        }
    }
    // The input is used up, but the last block may still be waiting for room in the output.
    while (anyInput && pending != 0) {
        ZSTD_inBuffer input{nullptr, 0, 0};
        ZSTD_outBuffer output{outBuffer.data(), outBuffer.size(), 0};
        pending = ZSTD_decompressStream(context.get(), &output, &input);
        if (ZSTD_isError(pending)) {
            outcome = {DecompressOutcome::InvalidFrame, QString::fromUtf8(ZSTD_getErrorName(pending))};
            return outcome;
        }
        if (output.pos == 0)
            break;
        if (!emitOutput(output)) {
            outcome = {DecompressOutcome::WriteFailed, QString::fromLocal8Bit(strerror(errno))};
            return outcome;
        }
    }
    if (!anyInput || pending != 0) {
        outcome = {DecompressOutcome::InvalidFrame,
                   anyInput ? QStringLiteral("the blob ends inside a frame") : QStringLiteral("the blob is empty")};
        return outcome;
    }

    QByteArray digest(BLAKE3_OUT_LEN, '\0');
    blake3_hasher_finalize(&hasher, reinterpret_cast<uint8_t*>(digest.data()), BLAKE3_OUT_LEN);
    if (digest != expectedDigest) {
        outcome.result = DecompressOutcome::WrongDigest;
        return outcome;
    }
    // Every byte is on disk before the caller renames the file over the broken one.
    if (::fdatasync(out) != 0)
        outcome = {DecompressOutcome::WriteFailed, QString::fromLocal8Bit(strerror(errno))};
    return outcome;
}
} // namespace

BlobDecompressor::BlobDecompressor(QString label, int maxWindowLog, QObject* parent)
    : QObject(parent), label(std::move(label)), maxWindowLog(maxWindowLog)
{}

BlobDecompressor::~BlobDecompressor()
{
    // A decompression still running (or not yet reported) when the decompressor goes: its files go with it.
    if (worker) {
        worker->wait();
        delete worker;
        QFile::remove(blobFilePath);
        QFile::remove(decompressedPath);
    }
}

void BlobDecompressor::setTarget(QString targetPath, QByteArray expectedDigest)
{
    this->targetPath = std::move(targetPath);
    this->expectedDigest = std::move(expectedDigest);
    blobFilePath = LauncherTemporaries::pathBeside(this->targetPath, QStringLiteral("download"));
}

QString BlobDecompressor::blobPath() const
{
    return blobFilePath;
}

QString BlobDecompressor::decompressedFilePath() const
{
    return decompressedPath;
}

void BlobDecompressor::decompress(const QByteArray& blob)
{
    qDebug() << "Decompressing" << label;
    if (targetPath.isEmpty())
        decompressInMemory(blob);
    else
        decompressToFile();
}

void BlobDecompressor::decompressInMemory(const QByteArray& file)
{
    // Unknown (-1), unreadable (-2) and huge content sizes all leave too little room, so such
    // frames fail below instead of being cut short.
    const int size = int(ZSTD_getFrameContentSize(file.constData(), size_t(file.size())));
    QByteArray out(size < 0 ? 0 : size, Qt::Uninitialized);

    // An empty body holds no frame at all; zstd would accept it as empty content and the
    // broken file would be "repaired" to nothing.
    const size_t result = ZSTD_decompress(out.data(), size_t(out.size()), file.constData(), size_t(file.size()));
    if (file.isEmpty() || ZSTD_isError(result)) {
        qDebug() << "Failed to decompress" << label;
        qDebug() << "Decompressing" << label << "failed:"
                 << (file.isEmpty() ? QStringLiteral("the blob is empty")
                                    : QString::fromUtf8(ZSTD_getErrorName(result)));
        emit failed();
        return;
    }
    qDebug() << "Decompressed" << label << "successfully.";
    emit finished(out);
}

void BlobDecompressor::decompressToFile()
{
    const int in = ::open(QFile::encodeName(blobFilePath).constData(), O_RDONLY | O_CLOEXEC);
    const int out = in < 0 ? -1 : createFileBeside(targetPath, QStringLiteral("repair"), &decompressedPath);
    if (in < 0 || out < 0) {
        qDebug() << "Failed to write" << (in < 0 ? blobFilePath : targetPath) << ":" << strerror(errno);
        if (in >= 0)
            ::close(in);
        QFile::remove(blobFilePath);
        decompressedPath.clear();
        emit failed();
        return;
    }

    // Decompressing and hashing several GiB takes seconds: done on a thread of its own, so that the
    // other downloads and the window go on meanwhile.
    auto outcome = std::make_shared<DecompressOutcome>();
    worker = QThread::create([in, out, outcome, digest = expectedDigest, maxWindowLog = maxWindowLog] {
        {
            QMutexLocker lock(&decompressionMutex);
            *outcome = decompressStream(in, out, maxWindowLog, digest);
        }
        ::close(in);
        if (::close(out) != 0 && outcome->result == DecompressOutcome::Done)
            *outcome = {DecompressOutcome::WriteFailed, QString::fromLocal8Bit(strerror(errno))};
    });
    connect(worker, &QThread::finished, this, [this, outcome] {
        worker->deleteLater();
        worker = nullptr;
        QFile::remove(blobFilePath);
        switch (outcome->result) {
        case DecompressOutcome::Done:
            qDebug() << "Decompressed" << label << "successfully.";
            emit finished(QByteArray());
            return;
        case DecompressOutcome::InvalidFrame:
            qDebug() << "Failed to decompress" << label;
            qDebug() << "Decompressing" << label << "failed:" << outcome->detail;
            break;
        case DecompressOutcome::WrongDigest:
            qDebug() << "Downloaded contents of" << targetPath << "do not match its validation hash.";
            break;
        case DecompressOutcome::ReadFailed:
            qDebug() << "Failed to read" << blobFilePath << ":" << outcome->detail;
            break;
        case DecompressOutcome::WriteFailed:
            qDebug() << "Failed to write" << decompressedPath << ":" << outcome->detail;
            break;
        }
        QFile::remove(decompressedPath);
        decompressedPath.clear();
        emit failed();
    });
    worker->start();
}
