#include "RetrieveFileJob.h"

#include "BuildConfig.h"
#include "jobs/FileRangesPartStore.h"
#include "jobs/MemoryPartStore.h"
#include "jobs/PartFilesStore.h"
#include "jobs/StallWatch.h"
#include "updater/ServerFormats.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <numeric>

RetrieveFileJob::RetrieveFileJob(QNetworkAccessManager* networkManager, QString url, QString name, int partCount,
                                 qint64 expectedSize, QObject* parent)
    : QObject(parent), networkManager(networkManager), url(std::move(url)), name(std::move(name)), partCount(partCount),
      expectedSize(expectedSize), maxAttempts(10), finishedParts(0), hasFailed(false), transferTimeoutMSecs(0)
{}

// Replies still running belong to the network manager; they are left to it.
RetrieveFileJob::~RetrieveFileJob() = default;

void RetrieveFileJob::setOutputFile(QString path)
{
    outputPath = std::move(path);
}

void RetrieveFileJob::setWaitingMemoryLimit(qint64 bytes)
{
    waitingMemory = bytes;
}

// Memory when there is no output file; one file written in place when the resource's size is known;
// else part files joined at the end.
std::unique_ptr<PartStore> RetrieveFileJob::makePartStore()
{
    ranges = nullptr;
    if (outputPath.isEmpty())
        return std::make_unique<MemoryPartStore>(partCount);
    if (writeInPlace()) {
        auto inPlace = std::make_unique<FileRangesPartStore>(outputPath, partCount, waitingMemory);
        ranges = inPlace.get();
        return inPlace;
    }
    return std::make_unique<PartFilesStore>(outputPath, partCount);
}

// Aborts a reply that is still running. One that has already met an error of its own is left to end
// by itself: aborting it as well would report a second error, which Qt refuses with a warning.
void RetrieveFileJob::abortIfRunning(QNetworkReply* reply)
{
    if (!reply->isFinished() && reply->error() == QNetworkReply::NoError)
        reply->abort();
}

// Ends a reply that is no longer wanted: nothing of ours listens to it any more, and its entry is
// cleared so that nothing touches it again once it is deleted. Deleting a running reply cancels its
// request; it is not aborted first, since an abort that meets the reply's own error on Qt's side is
// reported twice (a warning from Qt after the job has given its outcome).
void RetrieveFileJob::dropReply(QNetworkReply*& reply)
{
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    reply = nullptr;
}

void RetrieveFileJob::failWrite(const QString& path, const QString& cause)
{
    // Kept in memory, there is no file: only the memory can have run out.
    if (path.isEmpty()) {
        qDebug() << "Failed to keep downloaded data of" << url << "in memory:" << cause;
    } else {
        qDebug() << "Failed to write downloaded data to" << path;
        qDebug() << "Writing" << path << "failed:" << cause;
        writeFailed = true;
    }
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
    if (store)
        store->discard();
    emit failed();
}

bool RetrieveFileJob::outputWriteFailed() const
{
    return writeFailed;
}

// Takes what the part's reply holds, into memory or into the store's files; false when the attempt or
// the job has ended instead. The reply is always read as its bytes come: one left unread would stall,
// and its stall window would end it.
bool RetrieveFileJob::savePartData(int partIndex)
{
    QNetworkReply* reply = replies[partIndex];
    const QByteArray data = reply->readAll();
    // An error page is no part of the resource: it is neither kept nor counted.
    if (!answeredWithContent(reply))
        return true;
    if (!readAnswer(partIndex))
        return false;
    const qint64 at = partArrived[partIndex];
    // Written in place, a part must stay within its place, or it would overwrite the next part's.
    if (writeInPlace() && at + data.size() > places.limit(partIndex)) {
        failPartAttempt(partIndex, beyondPlace(partIndex));
        return false;
    }
    if (!acceptPartLength(partIndex, at + data.size()))
        return false;
    const bool waitedInFile = ranges && !ranges->waitingFile(partIndex).isEmpty();
    if (!store->write(partIndex, at, data)) {
        failWrite(store->failedPath(), store->failureCause());
        return false;
    }
    if (ranges && !waitedInFile && !ranges->waitingFile(partIndex).isEmpty())
        qDebug() << "Part" << partUrls[partIndex] << "waits in" << ranges->waitingFile(partIndex)
                 << "until its place is known.";
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

// True for a successful HTTP answer, and for an answer that isn't HTTP at all.
bool RetrieveFileJob::answeredWithContent(const QNetworkReply* reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return !status.isValid() || (status.toInt() >= 200 && status.toInt() < 300);
}

// Written in place, the first successful answer of a part that announces its length fixes that length,
// and with it where the parts around it begin. Looked at once per attempt, at its headers or, should
// those not have been signalled, its first bytes or its end. False when the attempt or the job has ended.
bool RetrieveFileJob::readAnswer(int partIndex)
{
    QNetworkReply* reply = replies[partIndex];
    if (answerRead[partIndex] || !writeInPlace() || !answeredWithContent(reply))
        return true;
    answerRead[partIndex] = true;
    const QVariant header = reply->header(QNetworkRequest::ContentLengthHeader);
    if (!header.isValid())
        return true; // chunked: its length follows from the others', or from its end
    const qint64 length = header.toLongLong();
    if (places.length(partIndex) >= 0) {
        if (length == places.length(partIndex))
            return true;
        failPartAttempt(partIndex, "Announced " + QString::number(length) + " bytes instead of the " +
                                       QString::number(places.length(partIndex)) + " of its earlier answer");
        return false;
    }
    // A length that doesn't fit beside the others' is not taken: the part's bytes are held to what they
    // leave, and cut off there.
    const qint64 room = places.roomFor(partIndex);
    if (length < 0)
        return true;
    if (length > room) {
        // Said once for each length a part announces, not for every retry that announces it again.
        if (refusedLength[partIndex] != length) {
            refusedLength[partIndex] = length;
            if (room == expectedSize)
                qDebug() << "Part" << partUrls[partIndex] << "announced" << length << "bytes, more than the expected"
                         << expectedSize << "bytes: that length is not taken.";
            else
                qDebug() << "Part" << partUrls[partIndex] << "announced" << length << "bytes, more than the" << room
                         << "that the lengths of the other parts leave of the expected" << expectedSize
                         << "bytes: that length is not taken.";
        }
        return true;
    }
    places.setLength(partIndex, length);
    return placeParts();
}

// Why bytes of the part past its limit are refused: past its announced length, past the expected size,
// or past what the lengths the other parts announced leave it of the expected size (which is not the part's
// fault when another part announced more than its share).
QString RetrieveFileJob::beyondPlace(int partIndex) const
{
    if (places.length(partIndex) >= 0)
        return "Received more than the " + QString::number(places.length(partIndex)) + " bytes announced for it";
    const qint64 room = places.roomFor(partIndex);
    if (room == expectedSize)
        return "Received more than the expected " + QString::number(expectedSize) + " bytes";
    return "Received more than the " + QString::number(room) +
           " bytes that the lengths of the other parts leave it of the expected " + QString::number(expectedSize);
}

// Tells the store where every part begins whose start now follows from the known lengths (see PartPlaces).
// A part still running that the known lengths leave less room than it has brought fails that attempt.
// False when the job has failed.
bool RetrieveFileJob::placeParts()
{
    for (int i : places.placeNew()) {
        if (!ranges->place(i, places.start(i))) {
            failWrite(store->failedPath(), store->failureCause());
            return false;
        }
    }
    for (int i = 0; i < partCount; ++i) {
        if (replies[i] && !partDone[i] && partArrived[i] > places.limit(i))
            failPartAttempt(i, beyondPlace(i));
    }
    return true;
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
    attempts = QList<int>(partCount, 0);
    places = PartPlaces(partCount, expectedSize);
    answerRead = QList<bool>(partCount, false);
    refusedLength = QList<qint64>(partCount, -1);
    partDone = QList<bool>(partCount, false);
    store.reset(); // an earlier run's output file is closed before this run opens it again
    store = makePartStore();
    if (!store->open()) {
        failWrite(store->failedPath(), store->failureCause());
        return;
    }
    // The first part begins at the start, whatever the others hold.
    if (ranges && !placeParts())
        return;

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
    answerRead[partIndex] = false;
    attempts[partIndex] += 1;
    qDebug() << "Starting download for" << partUrls[partIndex] << "attempt" << attempts[partIndex];

    QNetworkRequest request(QUrl(partUrls[partIndex]));
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (transferTimeoutMSecs > 0)
        request.setTransferTimeout(transferTimeoutMSecs);

    if (!store->startAttempt(partIndex)) {
        failWrite(store->failedPath(), store->failureCause());
        return;
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
    if (writeInPlace())
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, partIndex] {
            if (!hasFailed)
                readAnswer(partIndex);
        });

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
    abortIfRunning(reply);
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
    // An error page's bytes are not the resource's.
    if (hasFailed || bytesTotal == -1 || (!partDone[partIndex] && !answeredWithContent(replies[partIndex])))
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
    const TransferInfoText text = transferInfoText(rate, received, total, eta);
    emit updateInfoText(text.line1, text.line2);
}

void RetrieveFileJob::handlePartFinished(int partIndex)
{
    if (hasFailed)
        return;

    if (replies[partIndex]->error() != QNetworkReply::NoError) {
        handlePartError(partIndex);
        return;
    }
    // An answer that is neither an error nor content (a redirect not followed, say) brings no part.
    if (!answeredWithContent(replies[partIndex])) {
        failPartAttempt(partIndex,
                        "Answered with HTTP status " +
                            replies[partIndex]->attribute(QNetworkRequest::HttpStatusCodeAttribute).toString());
        return;
    }
    if (!savePartData(partIndex))
        return;
    partDone[partIndex] = true;
    // A part that came without a length ends where its bytes end (short, if the others leave it more
    // room: the joined size tells).
    if (writeInPlace() && places.length(partIndex) < 0) {
        places.setLength(partIndex, partArrived[partIndex]);
        if (!placeParts())
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

    if (!store->finish()) {
        failWrite(store->failedPath(), store->failureCause());
        return;
    }
    const qint64 joinedSize = store->joinedSize();
    if (expectedSize == 0 || expectedSize == joinedSize) {
        qDebug() << "Downloaded" << url << "successfully.";
        emit downloaded(store->takeJoined());
        return;
    }
    qDebug() << "Merged resource" << url << "has unexpected size" << joinedSize << "instead of" << expectedSize;
    // Kept in memory, nothing is left to remove.
    if (outputPath.isEmpty())
        emit failed();
    else
        failJob();
}
