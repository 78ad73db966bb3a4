#include "BuildConfig.h"
#include "jobs/GameFilesHashJob.h"
#include "jobs/LauncherTemporaries.h"
#include "jobs/RetrieveManifestJob.h"
#include "updater/InstallReceipt.h"
#include "updater/PendingInstallReceipt.h"
#include "updater/ServerFormats.h"
#include "updater/Updater.h"
#include "updater/WorkerThread.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMetaObject>
#include <QProcess>
#include <QThread>
#include <memory>

// Start of a run: preparation, the branch manifest and hashing stage, the version stage and
// the operations the later stages share with them.

namespace
{
// The launcher's own version, compared with the branch manifest's "launcher_version".
const int launcherVersion = 5;
} // namespace

void Updater::go()
{
    if (refuseUnsafeInstallName())
        return;

    manifestRetrieved = false;
    receiptRead = false;
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

    // Left-overs of an interrupted run: an install moved aside by a swap that was cut short, a
    // half-applied staging directory and downloaded patches.
    if (!restoreAsideInstall() || !removeDirWithRetries(stagingDirPath()) || !removeDirWithRetries(tempDirPath()))
        emit updateFailed("Can't remove old files!", "Init Failed!");
    // With the install back in place, before the receipt is read: a receipt written ahead of a swap that
    // was cut short counts where it describes the install folder.
    settleInstallReceipt(installReceiptPath(), installTargetPath());

    const QString oldLauncher = QCoreApplication::applicationDirPath() + "/PelwinterLauncher.exe.old";
    if (QFile::exists(oldLauncher) && !QFile::remove(oldLauncher))
        emit updateFailed("Can't remove old files!", "Init Failed!");

    if (launchOnly) {
        takeInstallReceipt(readInstallReceipt(installReceiptPath(), &storedReceipt));
        // Started from the event loop: the front end's quit at the end of the run would be lost
        // while go() still runs inside the front end's start-up.
        QMetaObject::invokeMethod(
            this, [this] { launchGame("Pelwinter is not installed."); }, Qt::QueuedConnection);
        return;
    }
    beginManifestStage();
}

void Updater::takeInstallReceipt(const LoadedInstallReceipt& loaded)
{
    if (loaded.loaded) {
        installReceipt = loaded.receipt;
        receiptLoaded = true;
    }
}

void Updater::readInstallReceiptInBackground()
{
    // A large install's receipt takes about as long to parse as the branch manifest takes to
    // arrive, so the two happen side by side; the records reach the hash job, which has been
    // walking the install meanwhile, once the receipt is here.
    struct Read
    {
        LoadedInstallReceipt loaded;
        StoredInstallReceipt stored;
    };
    auto read = std::make_shared<Read>();
    QThread* reader = QThread::create([path = installReceiptPath(), read] {
        if (const int delay = BuildConfig::parseDelays().receiptMSecs; delay > 0)
            QThread::msleep(static_cast<unsigned long>(delay));
        read->loaded = readInstallReceipt(path, &read->stored);
    });
    connect(reader, &QThread::finished, this, [this, read] {
        takeInstallReceipt(read->loaded);
        storedReceipt = read->stored;
        receiptRead = true;
        // The job cannot report before it has its records, so it is still there.
        if (stageOneHashJob) {
            stageOneHashJob->setCachedFileInfos(receiptLoaded ? installReceipt.value("gameFiles").toArray()
                                                              : QJsonArray());
            stageOneHashJob = nullptr;
        }
        tryBeginVersionStage();
    });
    connect(reader, &QThread::finished, reader, &QObject::deleteLater);
    reader->start();
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

void Updater::beginManifestStage()
{
    qDebug() << "******* 1 / 3 DOWNLOAD MANIFEST & START HASH JOBS *******";
    emit updateConsole("Grabbing manifest and checking game files...");

    const QString manifestUrl = branchManifestUrl(BuildConfig::updateBaseUrl(), branch, platformName());
    auto* manifestJob = new RetrieveManifestJob(&networkManager, manifestUrl, "Manifest", 1, 0, nullptr);
    connect(manifestJob, &RetrieveManifestJob::manifestFinished, this, &Updater::retrieveManifestJobFinished);
    connect(manifestJob, &RetrieveManifestJob::failed, this, &Updater::retrieveManifestJobFailed);
    connect(manifestJob, &RetrieveManifestJob::updateProgress, this, &Updater::updateProgressBar1);
    connect(manifestJob, &RetrieveManifestJob::updateInfoText, this, &Updater::updateInfoText);
    manifestJob->go();

    // The receipt's records come once it is read; see readInstallReceiptInBackground.
    auto* hashJob = new GameFilesHashJob(installDirPath(), nullptr);
    stageOneHashJob = hashJob;
    QThread* hashThread = moveToWorkerThread(hashJob);
    connect(hashJob, &GameFilesHashJob::finished, this, &Updater::hashGameFilesJobFinished);
    connect(hashJob, &GameFilesHashJob::failed, this, &Updater::hashGameFilesJobFailed);
    hashThread->start();
    readInstallReceiptInBackground();

    emit updateProgressBar2("CHECKING GAME FILES");
}

void Updater::retrieveManifestJobFinished(QJsonObject manifest)
{
    if (refuseManifestNamingTemporaries(manifest.value("current_game_manifest").toObject())) {
        retrieveManifestJobFailed();
        return;
    }
    qDebug() << "Manifest retrieved successfully.";
    branchManifest = manifest;
    manifestRetrieved = true;
    emit updateProgressBar1("DOWNLOADED MANIFEST", 1, 1);
    tryBeginVersionStage();
}

void Updater::retrieveManifestJobFailed()
{
    qDebug() << "Failed to retrieve manifest.";
    launchGame("Download failed for branch \"" + branch +
               "\".\nCouldn't get a manifest file, and Pelwinter is not installed.");
}

void Updater::hashGameFilesJobFinished(QStringList files, QByteArrayList hashes, QJsonArray fileInfosJson)
{
    qDebug() << "Game file hash job finished," << files.size() << "files hashed.";
    hashedFiles = files;
    fileHashes = hashes;
    installReceipt["gameFiles"] = fileInfosJson;
    hashDone = true;
    tryBeginPatchStage();
}

namespace
{
QString unreadableFilesText(const QStringList& failedFiles)
{
    for (const QString& path : failedFiles)
        qDebug() << "-" << path;
    return "The following files could not be read:\n" + failedFiles.join("\n");
}
} // namespace

void Updater::hashGameFilesJobFailed(QStringList failedFiles)
{
    qDebug() << "Game file hash job failed because" << failedFiles.size() << "fileNames could not be validated:";
    emit updateFailed(unreadableFilesText(failedFiles), "Init Failed!");
}

void Updater::rehashGameFilesJobFailed(QStringList failedFiles)
{
    qDebug() << "Game file rehash job failed because" << failedFiles.size() << "fileNames could not be validated:";
    emit updateFailed(unreadableFilesText(failedFiles), "Init Failed!");
}

void Updater::tryBeginVersionStage()
{
    // The version stage reads the receipt, which may still be on its way.
    if (manifestRetrieved && receiptRead)
        beginVersionStage();
}

void Updater::beginVersionStage()
{
    qDebug() << "******* 2 / 3 CHECK LAUNCHER & DOWNLOAD VERSION INFO *******";
    emit updateConsole("Checking launcher and downloading version info...");

    currentGameManifest = branchManifest.value("current_game_manifest").toObject();

    if (!receiptLoaded) {
        qDebug() << "Skipping local version manifest retrieval due to no install receipt being present.";
        noLocalVersion = true;
    } else {
        installedVersion = installReceipt.value("version").toString();
        const QJsonObject node = findPatchTreeNode(installedVersion);
        const BlobResource resource = BlobResource::fromJson(node.value("manifest_resource"));
        const QJsonValue currentManifest = branchManifest.value("current_game_manifest");
        if (resource.isObject && resource.hashIsString) {
            auto* job = new RetrieveManifestJob(&networkManager, resource.url(BuildConfig::updateBaseUrl()),
                                                "Local Manifest", resource.parts, resource.size, nullptr);
            // The current game manifest was looked at when the branch manifest came; this one is looked at here.
            connect(job, &RetrieveManifestJob::manifestFinished, this, [this](QJsonObject manifest) {
                if (refuseManifestNamingTemporaries(manifest))
                    retrieveLocalManifestJobFailed();
                else
                    retrieveLocalManifestJobFinished(manifest);
            });
            connect(job, &RetrieveManifestJob::failed, this, &Updater::retrieveLocalManifestJobFailed);
            connect(job, &RetrieveManifestJob::updateProgress, this, &Updater::updateProgressBar1);
            connect(job, &RetrieveManifestJob::updateInfoText, this, &Updater::updateInfoText);
            job->go();
        } else if (currentManifest.isObject() && currentManifest.toObject().value("version").isString() &&
                   currentManifest.toObject().value("version").toString() == installedVersion) {
            retrieveLocalManifestJobFinished(currentGameManifest);
        } else {
            qDebug() << "Skipping local version manifest retrieval due to being unable to find it inside the branch "
                        "manifest.";
            noLocalVersion = true;
        }
    }

    qDebug() << "Checking if the launcher needs to self-update.";
    const QJsonValue launcherVersionValue = branchManifest.value("launcher_version");
    if (!launcherVersionValue.isObject()) {
        qDebug() << "Manifest doesn't list a launcher version number.";
        launcherChecked = true;
    } else {
        const QJsonObject versions = launcherVersionValue.toObject();
        const int required = versions.value("required").toInt(launcherVersion);
        const int latest = versions.value("latest").toInt(launcherVersion);
        if (required > launcherVersion) {
            qDebug() << "Launcher update required.";
            launcherChecked = true;
            launcherUpdateRequired = true;
        } else if (latest > launcherVersion) {
            qDebug() << "Launcher update possible.";
            emit updateConsole("An optional launcher update is available.");
            // The receiver answers inside this emission with optionalUpdateYes() or optionalUpdateNo().
            emit handleOptionalUpdate();
        } else {
            qDebug() << "Launcher is up to date.";
            launcherChecked = true;
        }
    }

    tryBeginPatchStage();
}

void Updater::retrieveLocalManifestJobFinished(QJsonObject manifest)
{
    qDebug() << "Successfully retrieved local manifest.";
    localManifest = manifest;
    localManifestRetrieved = true;
    tryBeginPatchStage();
}

void Updater::retrieveLocalManifestJobFailed()
{
    qDebug() << "Failed to retrieve local manifest.";
    noLocalVersion = true;
    tryBeginPatchStage();
}

bool Updater::refuseManifestNamingTemporaries(const QJsonObject& gameManifest)
{
    // Inside the install such names are the launcher's temporaries: the hash walk passes them over and
    // a later run removes them, so a game file of that name could never be installed or found valid.
    const QString path = LauncherTemporaries::firstLauncherTemporaryIn(gameManifest.value("files").toArray());
    if (path.isEmpty())
        return false;
    qDebug() << "The manifest of version" << gameManifest.value("version").toString() << "is refused: it names" << path
             << "as a game file, but the launcher keeps such names for its temporary files.";
    return true;
}

void Updater::failLauncherOutOfDate()
{
    emit updateFailed("Please update the launcher.", "Launcher out of date.");
}

void Updater::retrieveLauncherUpdateJobFinished(QByteArray array)
{
    QFile installer(tempDirPath() + "/PelwinterInstaller.exe");
    if (!installer.open(QIODevice::WriteOnly)) {
        retrieveLauncherUpdateJobFailed();
        return;
    }
    installer.write(array);
    installer.close();
    emit popup("Launcher Update Required", "Your launcher is out of date and must be updated first.\n\nPress OK below "
                                           "to start the update installer.\nThe launcher will automatically resume "
                                           "afterwards.");
    const QStringList ownArguments = QCoreApplication::arguments().mid(1);
    QProcess::startDetached(installer.fileName(), {"/S", "/Args=" + ownArguments.join(" ")}, QString());
    emit updateDone();
}

void Updater::retrieveLauncherUpdateJobFailed()
{
    emit updateFailed("The launcher needs to be updated, but installing the update failed.\nIf you get this error "
                      "continuously, you might need to reinstall the launcher.",
                      "Update Failed!");
}

void Updater::restartLauncher()
{
    qDebug() << "Trying to restart.";
    emit updateConsole("Restarting.");
    const QString launcher = QCoreApplication::applicationDirPath() + "/PelwinterLauncher.exe";
    if (QFile::exists(launcher)) {
        QProcess::startDetached(launcher, QCoreApplication::arguments(), QString());
        emit updateDone();
    } else {
        emit updateFailed("Launcher failed to restart itself. An update may have failed to install. An .exe.old file "
                          "will be available in case recovery is required.",
                          "Launch Failed!");
    }
}
