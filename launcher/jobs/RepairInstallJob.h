#pragma once

#include "jobs/TransferStats.h"

#include <QByteArray>
#include <QJsonArray>
#include <QObject>
#include <QString>

class QNetworkAccessManager;

// Repairs broken files of an install in place: downloads every file's zstd blob at once, decompresses
// it as a stream into a temporary file beside the broken one while checking it against the entry's
// "validation_hash", and renames it over the broken file, so files of any size take bounded memory. The owner listens
// to finished() (every file written) and failed() (once, at the first file that could not be repaired);
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
    void retrieveFileFinished(int id, QString decompressedPath);
    void retrieveFileFailed(int id);
    void retrieveFileProgress(int id, qlonglong progress);

private:
    bool makeFolderFor(const QString& fullPath) const;
    bool installRepairedFile(int id, const QString& decompressedPath);

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
