#include "updater/Updater.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMetaObject>
#include <QStandardPaths>
#include <QThread>

namespace
{
const int retryAttempts = 32;
const unsigned long retryPauseMSecs = 100;

QString dataDirPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

// One attempt after another until one succeeds; every failure is logged and followed by a
// pause, so a blocked operation costs 32 attempts and 3.2 s before giving up.
template <typename Attempt, typename LogSuccess, typename LogFailure>
bool withRetries(Attempt attempt, LogSuccess logSuccess, LogFailure logFailure)
{
    for (int i = 0; i < retryAttempts; ++i) {
        if (attempt()) {
            logSuccess();
            return true;
        }
        logFailure();
        QThread::msleep(retryPauseMSecs);
    }
    qDebug() << "Exhausted retries!";
    return false;
}
} // namespace

Updater::Updater(QString exePath, QString branch, QString profile, QStringList launchArguments, bool launchOnly,
                 bool server, bool headless, QObject* parent)
    : QObject(parent), exePath(std::move(exePath)), branch(std::move(branch)), profile(std::move(profile)),
      launchArguments(std::move(launchArguments)), launchOnly(launchOnly), server(server), headless(headless)
{
}

Updater::~Updater() = default;

QString Updater::platformName() const
{
    return QStringLiteral("linux");
}

QString Updater::binariesPlatformName() const
{
    return QStringLiteral("Linux");
}

QString Updater::executableSuffix() const
{
    return QString();
}

QString Updater::tempDirPath() const
{
    return dataDirPath() + "/pelwinter-launcher/pelwinter-installs/temp";
}

QString Updater::installDirPath() const
{
    return dataDirPath() + "/pelwinter-launcher/pelwinter-installs/" + profile;
}

QString Updater::installReceiptPath() const
{
    return installDirPath() + ".json";
}

QString Updater::stagingDirPath() const
{
    return installDirPath() + "_new";
}

QString Updater::asideDirPath() const
{
    return installDirPath() + "_new_new";
}

QString Updater::patchFilePath(int index) const
{
    return tempDirPath() + "/patch_" + QString::number(index) + ".diff";
}

bool Updater::removeDirWithRetries(QString path)
{
    return withRetries([&] { return QDir(path).removeRecursively(); },
                       [&] { qDebug() << "Removed" << path << "successfully."; },
                       [&] { qDebug() << "Failed to recursively remove" << path; });
}

bool Updater::makeDirWithRetries(QString path)
{
    return withRetries([&] { return QDir().mkpath(path); },
                       [&] { qDebug() << "Created" << path << "successfully."; },
                       [&] { qDebug() << "Failed to create" << path; });
}

bool Updater::recreateDir(QString path)
{
    if (!removeDirWithRetries(path)) {
        qDebug() << "Failed to remove old folder" << path;
        return false;
    }
    if (!makeDirWithRetries(path)) {
        qDebug() << "Failed to create folder" << path;
        return false;
    }
    return true;
}

bool Updater::renameWithRetries(QString from, QString to)
{
    return withRetries([&] { return QDir().rename(from, to); },
                       [&] { qDebug() << "Renamed" << from << "to" << to << "successfully."; },
                       [&] { qDebug() << "Failed to rename" << from << "to" << to; });
}

bool Updater::refuseUnsafeInstallName()
{
    // The installs folder holds every install, its staging twin ("_new"), its receipt and the
    // shared download directory "temp"; a name that lands on any of those, on the folder itself
    // or outside it would let a full install or the start-up clean-up delete other data.
    const bool unsafe = profile.isEmpty() || profile == "." || profile == ".." || profile.contains('/') ||
                        profile == "temp" || profile.endsWith("_new");
    if (!unsafe)
        return false;
    qDebug() << "Refusing install name" << profile;
    const QString error = "The install name \"" + profile +
                          "\" can't be used: it would overwrite other launcher files.\n"
                          "Choose another name with --branch=\"name:branch\".";
    // Reported from the event loop: a quit requested before the loop runs would be lost.
    QMetaObject::invokeMethod(
        this, [this, error] { emit updateFailed(error, "Init Failed!"); }, Qt::QueuedConnection);
    return true;
}
