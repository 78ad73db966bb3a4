#include "BuildConfig.h"
#include "updater/MountPoints.h"
#include "updater/Updater.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

// Removing, creating and renaming folders of the install while another program (a virus scanner,
// an open file browser) may hold them for a moment: each operation is tried again until it works
// or its attempts are used up.

namespace
{
const int retryAttempts = 32;

bool nothingAt(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// Removes whatever is at path; a link goes itself, and the folders and files it leads to stay.
// True when nothing is left there.
bool removeEntry(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively(); // links inside are removed as links
    else if (!nothingAt(path))
        ::unlink(QFile::encodeName(path).constData());
    return nothingAt(path);
}

// One attempt after another until one succeeds; every failure is logged and followed by a
// pause, so a blocked operation costs 32 attempts and 3.2 s (with the real pauses) before giving up.
template <typename Attempt, typename LogSuccess, typename LogFailure>
bool withRetries(Attempt attempt, LogSuccess logSuccess, LogFailure logFailure)
{
    for (int i = 0; i < retryAttempts; ++i) {
        if (attempt()) {
            logSuccess();
            return true;
        }
        logFailure();
        QThread::msleep(static_cast<unsigned long>(BuildConfig::retryPolicy().fileOperationPauseMSecs));
    }
    qDebug() << "Exhausted retries!";
    return false;
}
} // namespace

bool Updater::removeDirWithRetries(QString path)
{
    // A folder mounted inside (a game folder bind-mounted from another disk) would lose what that file
    // system holds, and no retry makes the mount go: refused before anything is removed.
    const QString mountPoint = mountPointWithin(path);
    if (!mountPoint.isEmpty()) {
        if (mountPoint == path)
            qDebug() << "Failed to recursively remove" << path << "as it is a mount point";
        else
            qDebug() << "Failed to recursively remove" << path << "as it holds the mount point" << mountPoint;
        return false;
    }
    return withRetries([&] { return removeEntry(path); }, [&] { qDebug() << "Removed" << path << "successfully."; },
                       [&] { qDebug() << "Failed to recursively remove" << path; });
}

bool Updater::makeDirWithRetries(QString path)
{
    return withRetries([&] { return QDir().mkpath(path); }, [&] { qDebug() << "Created" << path << "successfully."; },
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

bool Updater::entryMissing(const QString& path)
{
    return nothingAt(path);
}
