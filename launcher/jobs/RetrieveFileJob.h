#pragma once

#include "jobs/PartPlaces.h"
#include "jobs/PartStore.h"
#include "jobs/TransferStats.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <memory>

class FileRangesPartStore;

// Downloads one resource from the update server into memory (or to a file, see setOutputFile). A
// resource of several parts is fetched as partCount simultaneous requests for url + "_0" ...
// "_<partCount-1>" and joined in index order; one part is fetched from url itself. Each part is tried up to 10 times,
// the n-th retry after n * 100 ms; an attempt that stalls is a failed one (see StallWatch). The joined resource
// must have expectedSize bytes (0: any size).
//
// Counts and sizes come from the server's manifests and are bounded before use: a resource in more
// than maxPartCount parts, or in more parts than it has bytes, fails at once. A part whose bytes
// take the resource past expectedSize is cut off there and counts as a failed attempt; a resource of
// unknown size (expectedSize 0) kept in memory fails once it passes unknownSizeLimit.
//
// Connect what you need, then call go(). The outcome comes once: downloaded(file), or failed()
// (no parts or too many, a part out of attempts, or the wrong joined size). Once it has failed, the
// parts still running are aborted. Progress comes as updateProgressBytes, updateProgressSpeed,
// updateProgress (a "%p%" label) and updateInfoText.
// Runs on the thread of the network manager; the manager owns the replies.
class RetrieveFileJob : public QObject
{
    Q_OBJECT
public:
    RetrieveFileJob(QNetworkAccessManager* networkManager, QString url, QString name, int partCount,
                    qint64 expectedSize, QObject* parent);
    ~RetrieveFileJob() override;

    // Blobs are split into a handful of parts for parallel transfer; thousands are a broken manifest
    // (and 2^31 of them would not even fit the per-part lists).
    static constexpr int maxPartCount = 256;
    // The most a download of unknown size may bring into memory: far above any real manifest or
    // repair blob, yet an endless body can't take all of memory. Kept in memory, a download holds its
    // bytes and, besides them, at most what one read of a reply brings.
    static constexpr qint64 unknownSizeLimit = qint64(1) << 30;
    // How far each reply may read ahead of the job taking its bytes: what a read brings at most. Qt holds
    // about as much again on its network thread. Small, so that what the replies hold beside the job's own
    // bytes stays small whenever the job is busy, yet no slower on loopback than larger buffers.
    static constexpr qint64 readBufferSize = qint64(1) << 20;
    // Bytes written in place that may wait in memory for their part's start, over all parts of a job.
    static constexpr qint64 waitingMemoryLimit = qint64(64) << 20;

    // Every attempt of a part that stalls (no headers, or less than the retry policy's minimum of bytes
    // within its stall window, counted from when the request leaves Qt's queue) is ended as failed and
    // retried. This adds Qt's own time-out of a transfer that receives nothing for msecs, counted from
    // when the request is made (0, the default: none). Takes effect from the next request.
    void setTransferTimeout(int msecs);

    // Streams the resource to path instead of memory; path is complete when downloaded() comes (with
    // an empty array). With expectedSize known, each part is written at its place in path as it arrives,
    // however the server splits the resource: a part's length is what its first successful (2xx) answer
    // announces (Content-Length), and part i begins where parts 0 to i-1 end, or where the parts from i on
    // reach expectedSize; a part answered without a length takes what the others leave. Bytes whose place
    // is not known yet wait (see setWaitingMemoryLimit). A part whose bytes run past its known or deduced
    // end, or whose later answer announces another length than its first, fails that attempt; a retried
    // part writes its place again from its start. With expectedSize 0 each part goes to path + ".part<i>"
    // and the parts are joined into path, sharing blocks where the file system can, else copied by the
    // kernel. Either way the joined size is checked against expectedSize. A part or join that cannot be
    // written completely fails the job, and so does a part that runs out of attempts; either way the
    // parts still running are aborted and neither path nor a part file is left behind.
    void setOutputFile(QString path);
    // After failed(): whether the resource arrived but could not be written to the output file.
    bool outputWriteFailed() const;
    // Written in place, the bytes of parts whose start is not known yet wait in memory while they add up
    // to at most bytes (waitingMemoryLimit unless changed, for tests), and beyond that each such part waits
    // in a file of its own beside the output file. Call before go().
    void setWaitingMemoryLimit(qint64 bytes);

signals:
    void updateProgressBytes(qlonglong progress, qlonglong maxProgress);
    void updateProgressSpeed(qlonglong bytesPerSecond, qlonglong downloadETASeconds);
    void updateProgress(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateInfoText(QString line1, QString line2);
    void downloaded(QByteArray file);
    void failed();

public slots:
    void go();

private slots:
    void handlePartProgress(int partIndex, qlonglong bytesReceived, qlonglong bytesTotal);
    void handlePartSSLErrors(int partIndex, QList<QSslError> errors);
    void handlePartError(int partIndex);
    void handlePartFinished(int partIndex);

private:
    void startPart(int partIndex);
    bool savePartData(int partIndex);
    bool writeInPlace() const { return !outputPath.isEmpty() && expectedSize > 0; }
    std::unique_ptr<PartStore> makePartStore();
    bool acceptPartLength(int partIndex, qint64 arrived);
    static bool answeredWithContent(const QNetworkReply* reply);
    bool readAnswer(int partIndex);
    QString beyondPlace(int partIndex) const;
    bool placeParts();
    void failPartAttempt(int partIndex, const QString& reason);
    void endAttempt(int partIndex);
    static void abortIfRunning(QNetworkReply* reply);
    void dropReply(QNetworkReply*& reply);
    void failWrite(const QString& path, const QString& cause);
    void failJob();

protected:
    QNetworkAccessManager* networkManager;
    QString url;
    QString name;
    int partCount;
    qint64 expectedSize;

private:
    QStringList partUrls;
    QList<QNetworkReply*> replies;
    int maxAttempts;
    QList<int> attempts;
    int finishedParts;
    QList<qint64> partReceived;
    QList<qint64> partTotal;
    QList<qint64> partArrived; // bytes of each part's current attempt, whatever its reply announced
    TransferRateEstimator rateEstimator;
    bool hasFailed;
    int transferTimeoutMSecs;
    QString outputPath;
    std::unique_ptr<PartStore> store;      // where the parts' bytes go, chosen by makePartStore()
    FileRangesPartStore* ranges = nullptr; // the store, when the parts are written in place
    // Written in place: each part's length (the Content-Length of its first successful answer that has
    // one and fits, else what its finished attempt brought) and start in the file, whether the current
    // attempt's answer has been looked at, and whether the part is in.
    PartPlaces places;
    QList<bool> answerRead;
    QList<qint64> refusedLength; // the last length each part announced that did not fit, -1 for none
    QList<bool> partDone;
    qint64 waitingMemory = waitingMemoryLimit;
    bool writeFailed = false;
};
