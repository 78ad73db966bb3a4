#pragma once

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
    // repair blob, yet an endless body can't take all of memory.
    static constexpr qint64 unknownSizeLimit = qint64(1) << 30;
    // How far each reply may read ahead of the job taking its bytes.
    static constexpr qint64 readBufferSize = qint64(8) << 20;

    // Every attempt of a part that stalls (no headers, or less than the retry policy's minimum of bytes
    // within its stall window, counted from when the request leaves Qt's queue) is ended as failed and
    // retried. This adds Qt's own time-out of a transfer that receives nothing for msecs, counted from
    // when the request is made (0, the default: none). Takes effect from the next request.
    void setTransferTimeout(int msecs);

    // Streams the resource to path instead of memory; path is complete when downloaded() comes (with
    // an empty array). With expectedSize known, each part is written at its own range of path as it
    // arrives: part i of P holds bytes [expectedSize * i / P, expectedSize * (i + 1) / P), as the
    // update server usually stores them, and a retried part writes its range again from its start.
    // A part that turns out not to be its range (its answer announces another length, runs past the
    // range, or ends short of it) switches the download, once, to the road of unknown size with all
    // parts started afresh; those restarts don't count against the 10 attempts. With expectedSize 0
    // (or after that switch) each part goes to path + ".part<i>" and the parts are joined into path,
    // sharing blocks where the file system can, else copied by the kernel, and the joined size is
    // checked against expectedSize. A part or join that cannot be written completely fails the job,
    // and so does a part that runs out of attempts; either way the parts still running are aborted
    // and neither path nor a part file is left behind.
    void setOutputFile(QString path);
    // After failed(): whether the resource arrived but could not be written to the output file.
    bool outputWriteFailed() const;

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
    bool writeInPlace() const { return !outputPath.isEmpty() && expectedSize > 0 && !partsInFiles; }
    qint64 shareLength(int partIndex) const;
    std::unique_ptr<PartStore> makePartStore() const;
    bool acceptPartLength(int partIndex, qint64 arrived);
    static bool answeredWithContent(const QNetworkReply* reply);
    void checkAnnouncedLength(int partIndex);
    void writePartsToFiles(int partIndex);
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
    std::unique_ptr<PartStore> store; // where the parts' bytes go, chosen by makePartStore()
    bool partsInFiles = false;        // of known size, but the server's parts are not the shares written in place
    bool writeFailed = false;
};
