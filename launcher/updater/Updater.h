#pragma once

#include "jobs/TransferStats.h"
#include "updater/InstallReceipt.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QStringList>

class GameFilesHashJob;

// Brings one install of the game up to date and starts it. A front end creates one Updater as
// its child, connects the eight signals to its slots of the same names and calls go(); the run
// ends with updateDone(), updateFailed(error, title), or the process being replaced by the
// dedicated server. Everything here runs on the main thread; results of worker-thread jobs
// arrive through queued connections.
class Updater : public QObject
{
    Q_OBJECT
public:
    Updater(QString exePath, QString branch, QString profile, QStringList launchArguments, bool launchOnly, bool server,
            bool headless, QObject* parent);
    ~Updater() override;

signals:
    void updateProgressBar1(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateProgressBar2(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    void updateInfoText(QString line1, QString line2);
    void updateConsole(QString line);
    void popup(QString title, QString popup);
    void updateFailed(QString error, QString title = "Update Failed!");
    void updateDone();
    void handleOptionalUpdate();

public slots:
    void go();
    void optionalUpdateYes();
    void optionalUpdateNo();

private slots:
    void retrieveManifestJobFinished(QJsonObject manifest);
    void retrieveManifestJobFailed();
    void hashGameFilesJobFinished(QStringList files, QByteArrayList hashes, QJsonArray fileInfosJson);
    void hashGameFilesJobFailed(QStringList failedFiles);
    void retrieveLocalManifestJobFinished(QJsonObject manifest);
    void retrieveLocalManifestJobFailed();
    void retrieveLauncherUpdateJobFinished(QByteArray array);
    void retrieveLauncherUpdateJobFailed();
    void checkInstallDone(QStringList failedFiles);
    void repairInstallJobFinished();
    void repairInstallJobFailed();
    void retrievePatchJobFinished(int id, QByteArray patch);
    void retrievePatchJobFailed(int id);
    void retrievePatchProgress(int id, qlonglong progress);
    void applyPatchJobFinished(int id);
    void applyPatchJobFailed(int id);
    void applyPatchProgress(int id, qlonglong progress);
    void patchingFinished();
    void rehashGameFilesJobFinished(QStringList files, QByteArrayList hashes, QJsonArray fileInfosJson);
    void rehashGameFilesJobFailed(QStringList failedFiles);
    void recheckInstallDone(QStringList failedFiles);
    void saveInstallReceipt();

private:
    // Tests reach the private operations through a struct of this name that each test program
    // defines for itself.
    friend struct UpdaterTestAccess;

    // Names of this platform in server file names and in the game's binary path.
    QString platformName() const;
    QString binariesPlatformName() const;
    QString executableSuffix() const;

    // Everything the launcher keeps on disk, composed afresh on every call.
    QString tempDirPath() const;
    QString installDirPath() const;
    QString installReceiptPath() const;
    // The folder the game really lives in: the install directory, or, when that is a symbolic link
    // (the game kept on another disk), the end of its chain of links, whether it exists or not.
    // The swap renames this folder, never the link, and the staging and aside folders are made
    // beside it: on its file system, so that every move is an atomic rename.
    QString installTargetPath() const;
    QString stagingDirPath() const;
    // The previous install while a patched one is moved into place. Its name ends in "_new_new":
    // no install name may end in "_new", so it is neither another install nor its staging directory.
    QString asideDirPath() const;
    QString patchFilePath(int index) const;

    // Directory operations that another program (a virus scanner, an open file browser) may
    // block for a moment: each is tried 32 times, 100 ms apart, and logs every attempt.
    // The removal removes whatever is at the path: a folder with all it holds, a file, or a link
    // (the link itself, never what it points to); it succeeds when nothing is left there. A folder
    // that is or holds a mount point is refused at once, untouched, with a line naming the mount.
    bool removeDirWithRetries(QString path);
    bool makeDirWithRetries(QString path);
    bool recreateDir(QString path);
    bool renameWithRetries(QString from, QString to);
    // Nothing at all is at path: no folder, file or link (a link counts even when it leads nowhere).
    static bool entryMissing(const QString& path);

    // At start, before left-over staging directories go: a swap cut short may have left the old
    // install aside with no install in its place, and it is moved back; an aside copy beside an
    // install is what a finished swap had yet to remove, and goes. A linked install's aside copy
    // is found beside the link's target, which the link still names while the target is away.
    // False when that fails.
    bool restoreAsideInstall();

    // An install name whose install directory, receipt, staging or aside folder could be one of
    // another install's, the shared download directory, the installs folder itself or lie
    // outside it; and an install directory that is a link leading round in a circle. Either is
    // refused before anything on disk is touched. Returns true when refused; the failure is then
    // reported once the event loop runs, so that the front end's quit takes effect.
    bool refuseUnsafeInstallName();
    static bool isUnsafeInstallName(const QString& name);
    // A game manifest that names a file as the launcher names its temporaries in the install (see
    // LauncherTemporaries) is refused, with a line naming it: true when refused. The branch manifest
    // is then treated as not retrieved, the local manifest as missing.
    bool refuseManifestNamingTemporaries(const QJsonObject& gameManifest);

    QJsonObject findPatchTreeNode(QString version);

    void failLauncherOutOfDate();
    void takeInstallReceipt(const LoadedInstallReceipt& loaded);
    void readInstallReceiptInBackground();
    void beginManifestStage();
    void tryBeginVersionStage();
    void beginVersionStage();
    void restartLauncher();

    void launchGame(QString failureText);

    // The version the install is at once the first applied patches of the queue are.
    QString versionAfterPatches(qsizetype applied);

    // Before a road that swaps the install: an install folder (a linked install's target) that is or
    // holds a mount point can't be swapped, as its rename would fail and the removal of the old one
    // would go into the mount. Reports the failure and returns true when refused.
    bool refuseInstallHoldingMountPoint();

    void tryBeginPatchStage();
    void beginPatchStage();
    void installFullGame();
    void buildPatchChain();
    void queuePatch(QJsonObject resource);

    void downloadNextPatch();
    void applyNextPatch();

    QString exePath;
    QString branch;
    QString profile;
    QStringList launchArguments;
    bool launchOnly;
    bool server;
    bool headless;
    QJsonObject installReceipt;
    bool receiptLoaded = false;
    // What the receipt file holds, so that saving an unchanged receipt writes nothing.
    StoredInstallReceipt storedReceipt;
    // The stage-1 hash job until it has the receipt's records.
    GameFilesHashJob* stageOneHashJob = nullptr;
    QJsonObject branchManifest;
    QStringList hashedFiles;
    QByteArrayList fileHashes;
    QJsonObject currentGameManifest;
    QJsonObject localManifest;
    QString installedVersion;
    QList<QJsonObject> patchQueue;
    QList<bool> patchDownloaded;
    QList<bool> patchApplied;
    QList<qint64> patchDownloadProgress;
    QList<qint64> patchApplyProgress;
    bool fullInstall = false;
    TransferRateEstimator rateEstimator{10000, 200};
    QNetworkAccessManager networkManager;
    bool manifestRetrieved = false;
    bool receiptRead = false; // installReceipt and receiptLoaded hold what the receipt file gave
    bool hashDone = false;
    bool launcherChecked = false;
    bool launcherUpdateRequired = false;
    bool localManifestRetrieved = false;
    bool noLocalVersion = false;
    bool applying = false;
};
