#include "RetrieveFileJob.h"

#include "BuildConfig.h"
#include "jobs/StallWatch.h"
#include "patch/dir/file_copy.h"
#include "updater/ServerFormats.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <numeric>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// The text of the system's error for the call that failed last.
QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

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

// Appends the whole file at fromPath to the descriptor out at offset at. Where the file system can
// share blocks between files (XFS, btrfs) the part's blocks become the file's without a copy; else
// the kernel copies them itself, so joining the parts of a multi-GiB patch costs no user-space memory.
bool appendFile(int out, qint64& at, const QString& fromPath)
{
    const int in = ::open(QFile::encodeName(fromPath).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat source = {};
    if (::fstat(in, &source) == 0 && source.st_size > 0) {
        // Only whole blocks can be shared: this works when the file so far ends on a block boundary.
        const file_clone_range range{in, 0, 0, quint64(at)};
        if (::ioctl(out, FICLONERANGE, &range) == 0) {
            at += source.st_size;
            ::close(in);
            return true;
        }
    }
    bool kernelCopy = true;
    bool ok = true;
    for (;;) {
        ssize_t count = -1;
        if (kernelCopy) {
            loff_t outOffset = at;
            count = ::copy_file_range(in, nullptr, out, &outOffset, size_t(1) << 30, 0);
            if (count < 0 && dpatch_isRefusedHere(errno)) {
                kernelCopy = false; // not between these file systems: copy through a buffer
                continue;
            }
        } else {
            char buffer[1 << 16];
            count = ::read(in, buffer, sizeof buffer);
            if (count > 0 && !pwriteAll(out, buffer, count, at))
                count = -1;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            ok = count == 0;
            break;
        }
        at += count;
    }
    ::close(in);
    return ok;
}
} // namespace

RetrieveFileJob::RetrieveFileJob(QNetworkAccessManager* networkManager, QString url, QString name, int partCount,
                                 qint64 expectedSize, QObject* parent)
    : QObject(parent), networkManager(networkManager), url(std::move(url)), name(std::move(name)), partCount(partCount),
      expectedSize(expectedSize), maxAttempts(10), finishedParts(0), hasFailed(false), transferTimeoutMSecs(0)
{}

// Replies still running belong to the network manager; they are left to it.
RetrieveFileJob::~RetrieveFileJob()
{
    qDeleteAll(partFiles);
    if (outputFd >= 0)
        ::close(outputFd);
}

void RetrieveFileJob::setOutputFile(QString path)
{
    outputPath = std::move(path);
}

QString RetrieveFileJob::partFilePath(int partIndex) const
{
    return outputPath + ".part" + QString::number(partIndex);
}

// expectedSize * partIndex / partCount without overflow, for sizes up to 2^63 - 1.
qint64 RetrieveFileJob::shareStart(int partIndex) const
{
    return expectedSize / partCount * partIndex + expectedSize % partCount * partIndex / partCount;
}

qint64 RetrieveFileJob::shareLength(int partIndex) const
{
    return shareStart(partIndex + 1) - shareStart(partIndex);
}

// Ends a reply that is no longer wanted: nothing of ours listens to it any more, it is aborted if
// still running, and its entry is cleared so that nothing touches it again once it is deleted.
void RetrieveFileJob::dropReply(QNetworkReply*& reply)
{
    disconnect(reply, nullptr, this, nullptr);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void RetrieveFileJob::failWrite(const QString& path, const QString& cause)
{
    qDebug() << "Failed to write downloaded data to" << path;
    qDebug() << "Writing" << path << "failed:" << cause;
    writeFailed = true;
    failJob();
}

void RetrieveFileJob::failJob()
{
    hasFailed = true;
    // Parts still running would otherwise keep arriving with nobody to take them. A reply is aborted
    // at most once, and never one that has already reported its own error (its entry is null by then).
    for (QNetworkReply*& reply : replies) {
        if (reply)
            dropReply(reply);
    }
    partData = QList<QByteArray>(partData.size());
    if (outputFd >= 0) {
        ::close(outputFd);
        outputFd = -1;
    }
    if (!outputPath.isEmpty()) {
        for (int i = 0; i < partFiles.size(); ++i) {
            if (partFiles[i])
                partFiles[i]->close();
            QFile::remove(partFilePath(i));
        }
        QFile::remove(outputPath);
    }
    emit failed();
}

bool RetrieveFileJob::outputWriteFailed() const
{
    return writeFailed;
}

// Takes what the part's reply holds, into memory or into the part's file; false when the attempt or
// the job has ended instead.
bool RetrieveFileJob::savePartData(int partIndex)
{
    const QByteArray data = replies[partIndex]->readAll();
    const qint64 at = partArrived[partIndex];
    // Written in place, a part must stay within its range, or it would overwrite the next part's (a
    // single part is held to the expected size below).
    if (writeInPlace() && partCount > 1 && at + data.size() > shareLength(partIndex)) {
        // The server may split its blobs otherwise; an error page that is too long is just a failed attempt.
        if (answeredWithContent(replies[partIndex]))
            writePartsToFiles(partIndex);
        else
            failPartAttempt(partIndex,
                            "Received more than its share of " + QString::number(shareLength(partIndex)) + " bytes");
        return false;
    }
    if (!acceptPartLength(partIndex, at + data.size()))
        return false;
    if (outputPath.isEmpty()) {
        partData[partIndex].append(data);
    } else if (writeInPlace()) {
        if (!pwriteAll(outputFd, data.constData(), data.size(), shareStart(partIndex) + at)) {
            failWrite(outputPath, systemError());
            return false;
        }
    } else if (!data.isEmpty() && partFiles[partIndex]->write(data) != data.size()) {
        failWrite(partFilePath(partIndex), partFiles[partIndex]->errorString());
        return false;
    }
    return true;
}

// Records that the part's current attempt has brought arrived bytes. When all parts together pass
// the expected size, this attempt is cut off and counts as failed; past the limit for a resource of
// unknown size kept in memory, the download fails. False when the attempt or the job has ended.
bool RetrieveFileJob::acceptPartLength(int partIndex, qint64 arrived)
{
    partArrived[partIndex] = arrived;
    const qint64 limit = expectedSize > 0 ? expectedSize : outputPath.isEmpty() ? unknownSizeLimit : 0;
    if (limit == 0)
        return true;
    qint64 sum = 0;
    for (qint64 bytes : std::as_const(partArrived))
        sum = addSizes(sum, bytes);
    if (sum <= limit)
        return true;
    if (expectedSize > 0) {
        failPartAttempt(partIndex, "Received more than the expected " + QString::number(expectedSize) + " bytes");
        return false;
    }
    qDebug() << "Failed to download" << url << "because it is longer than" << limit
             << "bytes, the most a download of unknown size may bring.";
    failJob();
    return false;
}

bool RetrieveFileJob::answeredWithContent(const QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 200 && status < 300;
}

// Written in place, a part is expected to announce its share: a length other than that means the
// server splits its blobs in another way, and every byte written in place would be at the wrong offset.
void RetrieveFileJob::checkAnnouncedLength(int partIndex)
{
    const QNetworkReply* reply = replies[partIndex];
    if (hasFailed || !writeInPlace() || !answeredWithContent(reply))
        return;
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != shareLength(partIndex))
        writePartsToFiles(partIndex);
}

// The update server's format doesn't say how a blob is split into parts, only that they join to the
// whole: when a part turns out not to be its share, the download takes the road of a resource of
// unknown size (parts in files of their own, joined and then checked against expectedSize), once.
// Every part whose attempt is running or done starts afresh, and that attempt doesn't count against
// its 10; a part waiting for its retry starts in a file of its own when the retry comes.
void RetrieveFileJob::writePartsToFiles(int partIndex)
{
    qDebug() << "Part" << partUrls[partIndex] << "is not its share of" << shareLength(partIndex)
             << "bytes: all parts are downloaded again into files of their own and joined at the end.";
    partsInFiles = true;
    ::close(outputFd);
    outputFd = -1;
    QFile::remove(outputPath);
    qDeleteAll(partFiles);
    partFiles = QList<QFile*>(partCount, nullptr);
    finishedParts = 0;

    QList<int> restarted;
    for (int i = 0; i < partCount; ++i) {
        if (!replies[i])
            continue;
        dropReply(replies[i]);
        attempts[i] -= 1;
        restarted.append(i);
    }
    for (int i : std::as_const(restarted))
        startPart(i);
}

// Makes outputPath whole: closes it when the parts were written in place, else joins the part files.
bool RetrieveFileJob::finishOutputFile()
{
    if (writeInPlace()) {
        const int fd = outputFd;
        outputFd = -1;
        return ::close(fd) == 0;
    }
    return joinPartFiles();
}

bool RetrieveFileJob::joinPartFiles()
{
    for (QFile* file : std::as_const(partFiles)) {
        if (!file->flush())
            return false;
        file->close();
        if (file->error() != QFileDevice::NoError)
            return false;
    }
    // The first part becomes the file and the others are appended to it, each removed once copied.
    QFile::remove(outputPath);
    if (!QFile::rename(partFilePath(0), outputPath))
        return false;
    if (partCount == 1)
        return true;

    const int out = ::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CLOEXEC);
    if (out < 0)
        return false;
    qint64 at = ::lseek(out, 0, SEEK_END);
    bool ok = at >= 0;
    for (int i = 1; ok && i < partCount; ++i) {
        ok = appendFile(out, at, partFilePath(i));
        QFile::remove(partFilePath(i));
    }
    return ::close(out) == 0 && ok;
}

void RetrieveFileJob::setTransferTimeout(int msecs)
{
    transferTimeoutMSecs = msecs;
}

void RetrieveFileJob::go()
{
    hasFailed = false;
    writeFailed = false;
    finishedParts = 0;

    if (partCount < 1) {
        qDebug() << QString("Failed to download \"" + url + "\". Cannot download a file with no parts.");
        emit failed();
        return;
    }
    if (partCount > maxPartCount || (expectedSize > 0 && partCount > expectedSize)) {
        qDebug() << "Failed to download" << url << "in" << partCount << "parts: a resource is stored in at most"
                 << maxPartCount << "parts and in no more parts than it has bytes.";
        emit failed();
        return;
    }

    // Maximum 2, not 1: the console shows a label whose maximum is 2 and hides one of 1.
    emit updateProgress("DOWNLOADING " + name.toUpper(), 0, 2);

    partUrls = QStringList(partCount, QString());
    replies = QList<QNetworkReply*>(partCount, nullptr);
    partReceived = QList<qint64>(partCount, 0);
    partTotal = QList<qint64>(partCount, 0);
    partArrived = QList<qint64>(partCount, 0);
    partData = QList<QByteArray>(outputPath.isEmpty() ? partCount : 0);
    attempts = QList<int>(partCount, 0);
    qDeleteAll(partFiles);
    partsInFiles = false;
    partFiles = QList<QFile*>(outputPath.isEmpty() || writeInPlace() ? 0 : partCount, nullptr);
    if (writeInPlace()) {
        if (outputFd >= 0)
            ::close(outputFd);
        outputFd = ::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (outputFd < 0) {
            failWrite(outputPath, systemError());
            return;
        }
    }

    if (partCount == 1) {
        partUrls[0] = url;
    } else {
        qDebug() << "Downloading file with" << partCount << "parts:" << url;
        for (int i = 0; i < partCount; ++i)
            partUrls[i] = url + "_" + QString::number(i);
    }

    for (int i = 0; i < partCount; ++i)
        startPart(i);
}

void RetrieveFileJob::startPart(int partIndex)
{
    // A retry that was already waiting when another part used up its attempts must not start:
    // the job has reported its outcome.
    if (hasFailed)
        return;

    partReceived[partIndex] = 0;
    partArrived[partIndex] = 0;
    if (outputPath.isEmpty())
        partData[partIndex].clear();
    attempts[partIndex] += 1;
    qDebug() << "Starting download for" << partUrls[partIndex] << "attempt" << attempts[partIndex];

    QNetworkRequest request(QUrl(partUrls[partIndex]));
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (transferTimeoutMSecs > 0)
        request.setTransferTimeout(transferTimeoutMSecs);

    if (!outputPath.isEmpty() && !writeInPlace()) {
        // Every attempt starts its part afresh.
        delete partFiles[partIndex];
        partFiles[partIndex] = new QFile(partFilePath(partIndex));
        if (!partFiles[partIndex]->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            failWrite(partFilePath(partIndex), partFiles[partIndex]->errorString());
            return;
        }
    }

    QNetworkReply* reply = networkManager->get(request);
    replies[partIndex] = reply;
    // Without it a server that stops sending (or sends a byte now and then) would hold the part for as
    // long as it keeps the connection open.
    new StallWatch(reply, partUrls[partIndex], BuildConfig::retryPolicy().stallWindowMSecs,
                   BuildConfig::retryPolicy().stallMinimumBytes);
    // The bytes are taken from the reply as they come. Without a bound on its buffer, the network
    // thread would read ahead of us without limit, and a fast server could fill memory faster than
    // the bytes are taken (or found to be too many).
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QNetworkReply::readyRead, this, [this, partIndex] {
        if (!hasFailed)
            savePartData(partIndex);
    });
    if (writeInPlace() && partCount > 1)
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, partIndex] { checkAnnouncedLength(partIndex); });

    // The length of the part is checked as its bytes are taken (readyRead), whether or not the reply
    // knows its length: an endless body has none.
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, partIndex](qint64 received, qint64 total) { handlePartProgress(partIndex, received, total); });
    connect(reply, &QNetworkReply::errorOccurred, this, [this, partIndex] { handlePartError(partIndex); });
    connect(reply, &QNetworkReply::sslErrors, this,
            [this, partIndex](const QList<QSslError>& errors) { handlePartSSLErrors(partIndex, errors); });
    connect(reply, &QNetworkReply::finished, this, [this, partIndex] { handlePartFinished(partIndex); });
}

void RetrieveFileJob::handlePartSSLErrors(int, QList<QSslError> errors)
{
    // Logged only: the errors are not ignored, so the reply goes on to fail like any other.
    for (const QSslError& error : errors)
        qDebug() << "SSL Failure:" << error.errorString();
}

void RetrieveFileJob::handlePartError(int partIndex)
{
    if (hasFailed)
        return;

    QNetworkReply* reply = replies[partIndex];
    disconnect(reply, &QNetworkReply::downloadProgress, this, nullptr);
    disconnect(reply, &QNetworkReply::errorOccurred, this, nullptr);
    disconnect(reply, &QNetworkReply::finished, this, nullptr);
    disconnect(reply, &QNetworkReply::readyRead, this, nullptr);

    qDebug() << "Failure:" << reply->errorString();
    endAttempt(partIndex);
}

// Ends an attempt whose reply is still running: the reply is aborted once, with nothing of ours
// listening, and the attempt counts as failed.
void RetrieveFileJob::failPartAttempt(int partIndex, const QString& reason)
{
    QNetworkReply* reply = replies[partIndex];
    disconnect(reply, nullptr, this, nullptr);
    qDebug() << "Failure:" << reason;
    if (!reply->isFinished())
        reply->abort();
    endAttempt(partIndex);
}

void RetrieveFileJob::endAttempt(int partIndex)
{
    // The entry is cleared so that nothing touches the reply again once it is deleted; in particular
    // failJob must not abort a reply that has already ended with an error of its own.
    replies[partIndex]->deleteLater();
    replies[partIndex] = nullptr;
    if (attempts[partIndex] < maxAttempts) {
        const int delay = attempts[partIndex] * BuildConfig::retryPolicy().downloadPauseStepMSecs;
        qDebug() << "Retrying download for" << partUrls[partIndex] << "in" << delay << "ms.";
        QTimer::singleShot(delay, this, [this, partIndex] { startPart(partIndex); });
        return;
    }
    qDebug() << "Failed to download" << partUrls[partIndex] << "with" << maxAttempts << "attempts";
    failJob();
}

void RetrieveFileJob::handlePartProgress(int partIndex, qlonglong bytesReceived, qlonglong bytesTotal)
{
    if (hasFailed || bytesTotal == -1)
        return;

    partReceived[partIndex] = bytesReceived;
    partTotal[partIndex] = bytesTotal;

    // Saturating: a reply may announce any length, and two near 2^63 must not add up to a negative total.
    const qint64 received = std::accumulate(partReceived.cbegin(), partReceived.cend(), qint64(0), addSizes);
    const qint64 total =
        expectedSize != 0 ? expectedSize : std::accumulate(partTotal.cbegin(), partTotal.cend(), qint64(0), addSizes);

    qint64 rate = 0;
    const qint64 eta = rateEstimator.update(&rate, received, total);

    emit updateProgressBytes(received, total);
    emit updateProgressSpeed(rate, eta);
    emit updateProgress("DOWNLOADING " + name.toUpper() + " (%p%)", received, total);
    emit updateInfoText(formatBytes(rate) + "/s - " + formatBytes(received) + " / " + formatBytes(total),
                        formatDuration(eta) + " remaining...");
}

void RetrieveFileJob::handlePartFinished(int partIndex)
{
    if (hasFailed)
        return;

    if (replies[partIndex]->error() != QNetworkReply::NoError) {
        handlePartError(partIndex);
        return;
    }
    if (!savePartData(partIndex))
        return;
    // A body that ran past its share has already been taken care of as it arrived.
    if (writeInPlace() && partCount > 1 && partArrived[partIndex] < shareLength(partIndex)) {
        writePartsToFiles(partIndex);
        return;
    }

    // Complete at its last reported size; a part that never knew its length adds nothing.
    handlePartProgress(partIndex, partTotal[partIndex], partTotal[partIndex]);

    finishedParts += 1;
    if (partCount > 1)
        qDebug() << "Downloaded" << partUrls[partIndex] << "successfully.";
    if (finishedParts < partCount)
        return;

    emit updateInfoText("Done!", "");
    for (QNetworkReply*& reply : replies) {
        reply->deleteLater();
        reply = nullptr;
    }

    if (!outputPath.isEmpty()) {
        if (!finishOutputFile()) {
            failWrite(outputPath, systemError());
            return;
        }
        // Written in place, a part that came short leaves a gap the file's length doesn't show.
        const qint64 joinedSize = writeInPlace()
                                      ? std::accumulate(partArrived.cbegin(), partArrived.cend(), qint64(0), addSizes)
                                      : QFileInfo(outputPath).size();
        if (expectedSize == 0 || expectedSize == joinedSize) {
            qDebug() << "Downloaded" << url << "successfully.";
            emit downloaded(QByteArray());
        } else {
            qDebug() << "Merged resource" << url << "has unexpected size" << joinedSize << "instead of" << expectedSize;
            failJob();
        }
        return;
    }

    QByteArray merged;
    if (partCount == 1) {
        merged = std::move(partData[0]);
    } else {
        qint64 mergedSize = 0;
        for (const QByteArray& data : std::as_const(partData))
            mergedSize += data.size();
        merged.reserve(mergedSize);
        for (QByteArray& data : partData) {
            merged.append(data);
            data = QByteArray(); // each part's memory goes as soon as it is copied
        }
    }

    if (expectedSize == 0 || expectedSize == merged.size()) {
        qDebug() << "Downloaded" << url << "successfully.";
        emit downloaded(merged);
    } else {
        qDebug() << "Merged resource" << url << "has unexpected size" << merged.size() << "instead of" << expectedSize;
        emit failed();
    }
}
