#include "jobs/CheckInstallJob.h"
#include "jobs/RepairInstallJob.h"
#include "updater/MountPoints.h"
#include "updater/ServerFormats.h"
#include "updater/Updater.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonValue>
#include <QSet>

// Stage 3 up to the patch queue: the gate, the install check outcome, repair, full install and
// the patch chain.

void Updater::tryBeginPatchStage()
{
    if (!hashDone || !launcherChecked || !(localManifestRetrieved || noLocalVersion))
        return;
    if (launcherUpdateRequired)
        failLauncherOutOfDate();
    else
        beginPatchStage();
}

void Updater::beginPatchStage()
{
    qDebug() << "******* 3 / 3 PATCH GAME *******";
    emit updateConsole("Installing patches and booting...");

    if (noLocalVersion) {
        installFullGame();
        return;
    }

    auto* job =
        new CheckInstallJob(installDirPath(), hashedFiles, fileHashes, localManifest.value("files").toArray(), nullptr);
    connect(job, &CheckInstallJob::finished, this, &Updater::checkInstallDone);
    job->go();
}

void Updater::checkInstallDone(QStringList failedFiles)
{
    if (failedFiles.isEmpty()) {
        buildPatchChain();
        return;
    }

    const QString installDir = installDirPath();
    const QDir dir(installDir);
    const QJsonArray manifestFiles = localManifest.value("files").toArray();
    // Every entry is listed under its cleaned full path once, so that an install missing most of
    // its files (a deleted install folder) doesn't cost failed files times entries comparisons.
    QHash<QString, QList<qsizetype>> entriesByTarget;
    for (qsizetype i = 0; i < manifestFiles.size(); ++i) {
        const QString path = manifestFiles.at(i).toObject().value("path").toString();
        entriesByTarget[QDir::cleanPath(dir.absoluteFilePath(path))].append(i);
    }

    QJsonArray repairFiles;
    qint64 brokenBytes = 0;
    bool unrepairable = false;
    for (const QString& failedPath : failedFiles) {
        // A path the launcher may not write to can't be repaired in place; only a fresh install can
        // make such an install valid.
        if (CheckInstallJob::resolveManifestPath(installDir, failedPath).isEmpty()) {
            qDebug() << "Broken file" << failedPath << "can't be repaired inside the install directory.";
            unrepairable = true;
            continue;
        }
        // Every entry with the same cleaned path is repaired, each time the path failed.
        for (const qsizetype index : entriesByTarget.value(QDir::cleanPath(dir.absoluteFilePath(failedPath)))) {
            const QJsonObject entry = manifestFiles.at(index).toObject();
            repairFiles.append(entry);
            // Held at the top instead of wrapping: a wrapped sum would pick the repair over the full patch.
            brokenBytes = addSizes(brokenBytes, BlobResource::fromJson(entry.value("resource")).size);
        }
    }

    const qint64 fullPatchBytes = BlobResource::fromJson(branchManifest.value("current_full_patch_resource")).size;
    if (unrepairable) {
        installFullGame();
        return;
    }
    if (fullPatchBytes < brokenBytes) {
        qDebug() << "Broken files are larger than full patch resource, discarding previous install.";
        installFullGame();
        return;
    }

    emit updateProgressBar2("WAITING FOR REPAIR");
    auto* job = new RepairInstallJob(&networkManager, installDir, repairFiles, nullptr);
    connect(job, &RepairInstallJob::finished, this, &Updater::repairInstallJobFinished);
    connect(job, &RepairInstallJob::failed, this, &Updater::repairInstallJobFailed);
    connect(job, &RepairInstallJob::updateProgress1, this, &Updater::updateProgressBar1);
    connect(job, &RepairInstallJob::updateProgress2, this, &Updater::updateProgressBar2);
    connect(job, &RepairInstallJob::updateInfoText, this, &Updater::updateInfoText);
    job->go();
}

void Updater::repairInstallJobFinished()
{
    buildPatchChain();
}

void Updater::repairInstallJobFailed()
{
    installFullGame();
}

void Updater::installFullGame()
{
    fullInstall = true;
    emit updateProgressBar2("WAITING FOR INSTALL");

    if (refuseInstallHoldingMountPoint())
        return;
    if (!recreateDir(tempDirPath())) {
        launchGame("Couldn't make a temp directory to install Pelwinter. Verify the launcher can write to its install "
                   "folder.");
        return;
    }

    const QJsonValue fullPatch = branchManifest.value("current_full_patch_resource");
    if (!fullPatch.isObject()) {
        launchGame("Failed to launch Pelwinter. No version of the game is installed and the manifest, though it "
                   "exists, does not include a full patch resource. This is considered an unusual error.");
        return;
    }

    // The install in place is kept until the full patch is applied: the patch goes into the staging
    // directory from an empty one and is swapped in only when complete. Only its parent is made here.
    // A linked install is made where the link leads, but the folder it goes into is never made: a
    // missing one may be a disk that isn't mounted, and the game would fill the disk below it.
    const bool madeParent = makeDirWithRetries(QFileInfo(installDirPath()).path());
    const QString targetFolder = QFileInfo(installTargetPath()).path();
    const bool targetFolderMissing = madeParent && !QFileInfo(targetFolder).isDir();
    if (targetFolderMissing)
        qDebug() << "The folder the install link leads into is missing:" << targetFolder;
    if (!madeParent || targetFolderMissing) {
        emit updateFailed("Couldn't make an install directory. Verify that you have permission to do so.",
                          "Update Failed!");
        return;
    }

    queuePatch(fullPatch.toObject());
    applying = false;
    downloadNextPatch();
}

void Updater::buildPatchChain()
{
    fullInstall = false;
    emit updateProgressBar2("WAITING FOR PATCH");

    // Each node is taken once: a tree whose targets lead back to a version already in the chain
    // would otherwise queue patches without end.
    QSet<QString> visited;
    QString version = installedVersion;
    QJsonObject node = findPatchTreeNode(version);
    while (!node.isEmpty()) {
        visited.insert(version);
        queuePatch(node.value("patch_resource").toObject());
        applying = false;
        version = node.value("target").toString();
        node = findPatchTreeNode(version);
        if (!node.isEmpty() && visited.contains(version)) {
            qDebug() << "The patch tree leads back to version" << version << "a second time.";
            emit updateFailed("The update server's patch tree for branch \"" + branch + "\" leads back to version \"" +
                                  version + "\", so the game can't be brought up to date.",
                              "Update Failed!");
            return;
        }
    }

    if (patchQueue.isEmpty()) {
        saveInstallReceipt();
        launchGame("Failed to launch Pelwinter, but there are no patches and the game is up to date. This is "
                   "considered an unusual error.");
        return;
    }

    if (refuseInstallHoldingMountPoint())
        return;
    if (!recreateDir(tempDirPath())) {
        launchGame("Couldn't make a temp directory to install updates. Verify the launcher can write to its install "
                   "folder.");
        return;
    }
    downloadNextPatch();
}

bool Updater::refuseInstallHoldingMountPoint()
{
    const QString installDir = installTargetPath();
    const QString mountPoint = mountPointWithin(installDir);
    if (mountPoint.isEmpty())
        return false;
    if (mountPoint == installDir)
        qDebug() << "The install folder" << installDir << "is a mount point.";
    else
        qDebug() << "The install folder" << installDir << "holds the mount point" << mountPoint;
    emit updateFailed("Can't update an install that holds a mount point!", "Update Failed!");
    return true;
}

void Updater::queuePatch(QJsonObject resource)
{
    patchQueue.append(resource);
    patchDownloaded.append(false);
    patchApplied.append(false);
    patchDownloadProgress.append(0);
    patchApplyProgress.append(0);
}
