#include "BuildConfig.h"
#include "jobs/ApplyPatchJob.h"
#include "jobs/RetrieveFileJob.h"
#include "jobs/TransferStats.h"
#include "updater/ServerFormats.h"
#include "updater/Updater.h"
#include "updater/stages/InstallSwap.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QThread>

// The patch pipeline: one download at a time in the main thread while the previous patch is
// applied on a worker thread, then the swap of the staging directory into place.

namespace
{
// Headless there is nobody to ask: a removal or move that keeps failing is given up after this many
// passes (each is 32 tries, 100 ms apart), and the run ends as after Abort.
constexpr int kHeadlessPasses = 3;

QString fullInstallSourcePath(const QString& tempDir)
{
    return tempDir + "/empty";
}

qint64 resourceSize(const QJsonObject& resource)
{
    return qint64(resource.value("size").toInt(0));
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
    const QJsonObject resource = patchQueue[i];
    const QString url = blobUrl(BuildConfig::updateBaseUrl(), resource.value("hash").toString());
    const int parts = resource.value("parts").toInt(0);

    auto* job = new RetrieveFileJob(&networkManager, url, "Patch " + QString::number(i), parts, resourceSize(resource),
                                    nullptr);
    // A whole game patch may be several GiB: its parts go straight to disk as they arrive.
    job->setOutputFile(patchFilePath(i));
    connect(job, &RetrieveFileJob::downloaded, this, [this, i](QByteArray file) { retrievePatchJobFinished(i, file); });
    connect(job, &RetrieveFileJob::failed, this, [this, i] { retrievePatchJobFailed(i); });
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
        total += resourceSize(resource);
    qint64 done = 0;
    for (qint64 received : std::as_const(patchDownloadProgress))
        done += received;

    qint64 speed = 0;
    const qint64 eta = rateEstimator.update(&speed, done, total);

    const QString label = fullInstall ? QString("DOWNLOADING PELWINTER (%p%)")
                                      : "DOWNLOADING PATCH " + QString::number(id + 1) + " OF " +
                                            QString::number(patchQueue.size()) + " (%p%)";
    emit updateProgressBar1(label, done, total);
    emit updateInfoText(formatBytes(speed) + "/s - " + formatBytes(done) + " / " + formatBytes(total),
                        formatDuration(eta) + " remaining...");
}

void Updater::retrievePatchJobFinished(int id, QByteArray patch)
{
    patchDownloaded[id] = true;

    // The download job writes the patch file itself; data handed over in memory is saved here, and
    // a file that is not completely on disk fails the patch at once.
    bool saved = QFileInfo(patchFilePath(id)).isFile();
    if (!patch.isEmpty()) {
        QFile file(patchFilePath(id));
        saved = file.open(QIODevice::WriteOnly) && file.write(patch) == patch.size() && file.flush();
        file.close();
        saved = saved && file.error() == QFileDevice::NoError;
    }
    if (!saved) {
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
    auto* thread = new QThread();
    job->moveToThread(thread);
    connect(thread, &QThread::started, job, &ApplyPatchJob::go);
    connect(thread, &QThread::finished, job, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    // The thread's work ends with the job's outcome.
    connect(job, &ApplyPatchJob::finished, thread, &QThread::quit);
    connect(job, &ApplyPatchJob::failed, thread, &QThread::quit);
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

void Updater::applyPatchJobFinished(int id)
{
    const QString installDir = installDirPath();
    const QString aside = movedAsideInstallPath(installDir);
    const QString staging = stagingDirPath();

    // The old install is moved aside rather than removed, so that it comes back if the move of the
    // new one fails or the run is killed in between (the next start restores it).
    qDebug() << "Removing old install.";
    for (int pass = 1;; ++pass) {
        const bool moved =
            !QFileInfo::exists(installDir) || (removeDirWithRetries(aside) && renameWithRetries(installDir, aside));
        if (moved)
            break;
        qDebug() << "Failed to remove old install" << installDir;
        if (headless) {
            if (pass >= kHeadlessPasses) {
                applyPatchJobFailed(id);
                return;
            }
        } else {
            const auto answer = QMessageBox::warning(
                nullptr, "Failed to remove old installation!",
                "Another program running on your computer is preventing the launcher from deleting \"" + installDir +
                    "\".\n\nPlease close it and then try again.",
                QMessageBox::Retry | QMessageBox::Abort, QMessageBox::NoButton);
            if (answer != QMessageBox::Retry) {
                applyPatchJobFailed(id);
                return;
            }
        }
        qDebug() << "User requested more retries.";
    }

    qDebug() << "Moving new install into place.";
    for (int pass = 1;; ++pass) {
        if (renameWithRetries(staging, installDir))
            break;
        qDebug() << "Failed to move new install into place.";
        bool giveUp = false;
        if (headless) {
            giveUp = pass >= kHeadlessPasses;
        } else {
            const auto answer = QMessageBox::warning(
                nullptr, "Failed to remove old installation!",
                "Another program running on your computer is preventing the launcher from moving \"" + staging +
                    "\".\n\nPlease close it and then try again.",
                QMessageBox::Retry | QMessageBox::Abort, QMessageBox::NoButton);
            giveUp = answer != QMessageBox::Retry;
        }
        if (giveUp) {
            // The old install goes back where it was; were that to fail too, the next start does it.
            if (QFileInfo::exists(aside) && !renameWithRetries(aside, installDir))
                qDebug() << "Failed to restore old install from" << aside;
            applyPatchJobFailed(id);
            return;
        }
        qDebug() << "User requested more retries.";
    }

    if (QFileInfo::exists(aside) && !removeDirWithRetries(aside))
        qDebug() << "Failed to remove previous install" << aside;

    patchApplied[id] = true;
    applying = false;
    saveInstallReceipt();

    if (patchApplied.count(true) < patchQueue.size())
        applyNextPatch();
    else
        patchingFinished();
}

void Updater::applyPatchJobFailed(int id)
{
    if (!removeDirWithRetries(tempDirPath()))
        qDebug() << "Failed to delete temp dir on fail";
    if (!removeDirWithRetries(stagingDirPath()))
        qDebug() << "Failed to delete install dir on fail";
    emit updateFailed("Failed to apply patch " + QString::number(id + 1) + "!", "Update Failed!");
}
