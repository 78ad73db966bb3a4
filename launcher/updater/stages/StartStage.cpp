#include "updater/Updater.h"

#include <QDebug>
#include <QMetaObject>

// Start of a run: preparation, the branch manifest and hashing stage, the version stage and
// the operations the later stages share with them.

void Updater::go()
{
    if (refuseUnsafeInstallName())
        return;

    manifestRetrieved = false;
    hashDone = false;
    launcherChecked = false;
    localManifestRetrieved = false;
    noLocalVersion = false;
    applying = false;
    patchQueue.clear();
    patchDownloaded.clear();
    patchApplied.clear();
    patchDownloadProgress.clear();

    emit updateProgressBar1("INITIALIZING");
    emit updateProgressBar2("...");
    emit updateInfoText("", "Hold on...");

    // No update server is asked yet: take the road of a run that cannot reach one, from the
    // event loop so that the front end's quit at the end of the run takes effect.
    QMetaObject::invokeMethod(this, &Updater::retrieveManifestJobFailed, Qt::QueuedConnection);
}

void Updater::optionalUpdateYes()
{
    launcherChecked = true;
    launcherUpdateRequired = true;
}

void Updater::optionalUpdateNo()
{
    launcherChecked = true;
}

void Updater::retrieveManifestJobFinished(QJsonObject)
{
}

void Updater::retrieveManifestJobFailed()
{
    qDebug() << "Failed to retrieve manifest.";
    launchGame("Download failed for branch \"" + branch +
               "\".\nCouldn't get a manifest file, and Pelwinter is not installed.");
}

void Updater::hashGameFilesJobFinished(QStringList, QByteArrayList, QJsonArray)
{
}

void Updater::hashGameFilesJobFailed(QStringList)
{
}

void Updater::retrieveLocalManifestJobFinished(QJsonObject)
{
}

void Updater::retrieveLocalManifestJobFailed()
{
}

void Updater::retrieveLauncherUpdateJobFinished(QByteArray)
{
}

void Updater::retrieveLauncherUpdateJobFailed()
{
}

void Updater::rehashGameFilesJobFailed(QStringList)
{
}

void Updater::saveInstallReceipt()
{
}

void Updater::failLauncherOutOfDate()
{
}

void Updater::beginManifestStage()
{
}

void Updater::tryBeginVersionStage()
{
}

void Updater::beginVersionStage()
{
}

void Updater::restartLauncher()
{
}
