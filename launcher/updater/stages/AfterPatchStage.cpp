#include "jobs/CheckInstallJob.h"
#include "jobs/GameFilesHashJob.h"
#include "updater/Updater.h"
#include "updater/WorkerThread.h"

#include <QDebug>
#include <QThread>

// After the last patch: rehash the new install, record it in the receipt, recheck it and launch.

void Updater::patchingFinished()
{
    if (!removeDirWithRetries(tempDirPath()))
        qDebug() << "Failed to remove temp folder.";

    const QJsonArray cache = receiptLoaded ? installReceipt.value("gameFiles").toArray() : QJsonArray();
    auto* job = new GameFilesHashJob(installDirPath(), cache, nullptr);
    QThread* thread = moveToWorkerThread(job);
    connect(job, &GameFilesHashJob::finished, this, &Updater::rehashGameFilesJobFinished);
    connect(job, &GameFilesHashJob::failed, this, &Updater::rehashGameFilesJobFailed);
    thread->start();

    emit updateProgressBar1("CHECKING PATCH RESULT");
    emit updateProgressBar2("WAITING FOR CHECK");
}

void Updater::rehashGameFilesJobFinished(QStringList files, QByteArrayList hashes, QJsonArray fileInfosJson)
{
    qDebug() << "Game file rehash job finished," << files.size() << "files hashed.";
    hashedFiles = files;
    fileHashes = hashes;
    installReceipt["gameFiles"] = fileInfosJson;
    saveInstallReceipt();

    emit updateProgressBar1("CHECKED PATCH RESULT", 1, 1);

    const QJsonArray manifestFiles = branchManifest.value("current_game_manifest").toObject().value("files").toArray();
    auto* check = new CheckInstallJob(installDirPath(), hashedFiles, fileHashes, manifestFiles, this);
    connect(check, &CheckInstallJob::finished, this, &Updater::recheckInstallDone);
    check->go();
    check->deleteLater();
}

void Updater::recheckInstallDone(QStringList failedFiles)
{
    if (failedFiles.isEmpty()) {
        launchGame("Pelwinter failed to launch, even though a patch was just installed. This is considered an "
                   "unusual error.");
        return;
    }
    emit updateFailed("The patch was installed, but failed to validate.", "Update Failed!");
}
