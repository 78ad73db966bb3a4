#include "BuildConfig.h"
#include "jobs/ApplyPatchJob.h"
#include "jobs/RetrieveFileJob.h"
#include "jobs/TransferStats.h"
#include "updater/ServerFormats.h"
#include "updater/Updater.h"
#include "updater/WorkerThread.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSet>
#include <QThread>

// The patch pipeline: one download at a time in the main thread while the previous patch is
// applied on a worker thread into the staging directory; InstallSwap.cpp moves each result into place.

namespace
{
QString fullInstallSourcePath(const QString& tempDir)
{
    return tempDir + "/empty";
}

// The records of the old version that still hold after a patch: those of the paths it kept at the same
// path with the same mode. Everything else the patch wrote, moved or dropped; a file moved through a
// link keeps its old time, and files written within one clock tick share one, so a record of the same
// size and time at its new path would prove nothing.
QJsonArray recordsKeptBy(const QJsonArray& records, const QStringList& unchangedPaths)
{
    const QSet<QString> kept(unchangedPaths.cbegin(), unchangedPaths.cend());
    QJsonArray result;
    for (const QJsonValue& record : records) {
        if (kept.contains(record.toObject().value("path").toString()))
            result.append(record);
    }
    return result;
}
} // namespace

void Updater::downloadNextPatch()
{
    const qsizetype index = patchDownloaded.indexOf(false);
    if (index < 0) {
        emit updateInfoText("", "Nearly done...");
        return;
    }
    const int i = int(index);
    const BlobResource patch = BlobResource::fromJson(patchQueue[i]);

    auto* job = new RetrieveFileJob(&networkManager, patch.url(BuildConfig::updateBaseUrl()),
                                    "Patch " + QString::number(i), patch.parts, patch.size, nullptr);
    // A whole game patch may be several GiB: its parts go straight to disk as they arrive.
    job->setOutputFile(patchFilePath(i));
    connect(job, &RetrieveFileJob::downloaded, this, [this, i](QByteArray file) { retrievePatchJobFinished(i, file); });
    connect(job, &RetrieveFileJob::failed, this, [this, job, i] {
        if (job->outputWriteFailed())
            qDebug() << "Failed to save patch file.";
        retrievePatchJobFailed(i);
    });
    connect(job, &RetrieveFileJob::updateProgressBytes, this,
            [this, i](qlonglong progress, qlonglong) { retrievePatchProgress(i, progress); });
    connect(job, &RetrieveFileJob::downloaded, job, &QObject::deleteLater);
    connect(job, &RetrieveFileJob::failed, job, &QObject::deleteLater);
    job->go();
}

void Updater::retrievePatchProgress(int id, qlonglong progress)
{
    patchDownloadProgress[id] = progress;
    qint64 total = 0;
    for (const QJsonObject& resource : std::as_const(patchQueue))
        total = addSizes(total, BlobResource::fromJson(resource).size); // sizes may be near 2^63
    qint64 done = 0;
    for (qint64 received : std::as_const(patchDownloadProgress))
        done = addSizes(done, received);

    qint64 speed = 0;
    const qint64 eta = rateEstimator.update(&speed, done, total);

    const QString label = fullInstall ? QString("DOWNLOADING PELWINTER (%p%)")
                                      : "DOWNLOADING PATCH " + QString::number(id + 1) + " OF " +
                                            QString::number(patchQueue.size()) + " (%p%)";
    emit updateProgressBar1(label, done, total);
    const TransferInfoText text = transferInfoText(speed, done, total, eta);
    emit updateInfoText(text.line1, text.line2);
}

void Updater::retrievePatchJobFinished(int id, QByteArray)
{
    patchDownloaded[id] = true;

    // The download job has written the patch file itself (a patch may be larger than memory); it
    // reports a file it could not write completely as a failure, so here the file only has to exist.
    if (!QFileInfo(patchFilePath(id)).isFile()) {
        qDebug() << "Failed to save patch file.";
        retrievePatchJobFailed(id);
        return;
    }
    applyNextPatch();
    downloadNextPatch();
}

void Updater::retrievePatchJobFailed(int id)
{
    qDebug() << "Failed to retrieve patch.";
    emit updateFailed("Download failed for patch " + QString::number(id + 1) + "!", "Update Failed!");
}

void Updater::applyNextPatch()
{
    if (applying)
        return;
    int index = -1;
    for (int i = 0; i < patchQueue.size(); ++i) {
        if (patchDownloaded[i] && !patchApplied[i]) {
            index = i;
            break;
        }
    }
    if (index < 0)
        return;
    applying = true;

    if (!recreateDir(stagingDirPath())) {
        applyPatchJobFailed(index);
        return;
    }

    // The full patch is made against an empty tree: it is applied from an empty directory, so the
    // install in place stays whole until the new one is complete and swapped in.
    QString oldDir = installDirPath();
    if (fullInstall) {
        oldDir = fullInstallSourcePath(tempDirPath());
        if (!recreateDir(oldDir)) {
            applyPatchJobFailed(index);
            return;
        }
    }

    auto* job = new ApplyPatchJob(oldDir, stagingDirPath(), patchFilePath(index), nullptr);
    QThread* thread = moveToWorkerThread(job);
    // Comes queued from the job's thread before finished(); the paths travel in the signal, since the job
    // is deleted once it has finished. The records go with the receipt the swap writes ahead of itself.
    connect(job, &ApplyPatchJob::unchangedFilesKept, this, [this](QStringList paths) {
        installReceipt["gameFiles"] = recordsKeptBy(installReceipt.value("gameFiles").toArray(), paths);
    });
    connect(job, &ApplyPatchJob::finished, this, [this, index] { applyPatchJobFinished(index); });
    connect(job, &ApplyPatchJob::failed, this, [this, index] { applyPatchJobFailed(index); });
    connect(job, &ApplyPatchJob::updateProgress, this,
            [this, index](QString, qlonglong progress, qlonglong) { applyPatchProgress(index, progress); });
    thread->start();
}

void Updater::applyPatchProgress(int id, qlonglong progress)
{
    patchApplyProgress[id] = progress;
    qint64 done = 0;
    for (qint64 percent : std::as_const(patchApplyProgress))
        done += percent;
    const qint64 maximum = 100 * qint64(patchQueue.size());
    const QString label = fullInstall ? QString("INSTALLING PELWINTER (%p%)")
                                      : "INSTALLING PATCH " + QString::number(id + 1) + " OF " +
                                            QString::number(patchQueue.size()) + " (%p%)";
    emit updateProgressBar2(label, done, maximum);
}

void Updater::applyPatchJobFailed(int id)
{
    if (!removeDirWithRetries(tempDirPath()))
        qDebug() << "Failed to delete temp dir on fail";
    if (!removeDirWithRetries(stagingDirPath()))
        qDebug() << "Failed to delete install dir on fail";
    emit updateFailed("Failed to apply patch " + QString::number(id + 1) + "!", "Update Failed!");
}
