#pragma once

#include "jobs/TransferStats.h"

#include <QByteArray>
#include <QJsonArray>
#include <QObject>
#include <QString>

class QNetworkAccessManager;

// Repairs broken files of an install in place: downloads every file's zstd blob at once, checks the
// decompressed bytes against the entry's "validation_hash" and replaces the file. The owner listens to
// finished() (every file written) and failed() (once, at the first file that could not be repaired);
// updateProgress1/updateProgress2/updateInfoText carry download progress and the count of files done.
class RepairInstallJob : public QObject
{
    Q_OBJECT
public:
    RepairInstallJob(QNetworkAccessManager* networkManager, QString installDir, QJsonArray repairFiles,
                     QObject* parent = nullptr);
    ~RepairInstallJob() override;

public slots:
    void go();

signals:
    void finished();
    void failed();
    void updateProgress1(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateProgress2(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateInfoText(QString line1, QString line2);

private slots:
    void retrieveFileFinished(int id, QByteArray data);
    void retrieveFileFailed(int id);
    void retrieveFileProgress(int id, qlonglong progress);

private:
    bool writeRepairedFile(int id, const QByteArray& data);

    QNetworkAccessManager* networkManager;
    bool hasFailed;
    int finishedCount;
    QString installDir;
    QJsonArray repairFiles;
    qint64 totalBytes;
    qint64 receivedBytes;
    QList<qint64> fileProgress;
    TransferRateEstimator rateEstimator;
};
