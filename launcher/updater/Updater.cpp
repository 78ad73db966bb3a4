#include "updater/Updater.h"

#include "BuildConfig.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QStandardPaths>
#include <QThread>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const int retryAttempts = 32;
// The kernel gives up on a path after this many links; a longer chain is taken for a circle.
const int maxLinkHops = 40;

QString dataDirPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

bool nothingAt(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// The text of the link at path; empty when path is no link.
QString readLink(const QString& path)
{
    QByteArray target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target.data(), size_t(target.size()));
    if (length <= 0 || length >= target.size())
        return QString();
    target.truncate(length);
    return QFile::decodeName(target);
}

// path with the folders above its last component resolved as the kernel does (links followed,
// ".." taken physically); the last component stays as it is, so it may be a link or missing.
// When those folders don't exist either, path is only cleaned.
QString withRealFolders(QString path)
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    const qsizetype slash = path.lastIndexOf('/');
    const QString name = path.mid(slash + 1);
    const QString folder = slash <= 0 ? QStringLiteral("/") : path.left(slash);
    const QString resolved = name == "." || name == ".." ? path : folder;
    char* real = ::realpath(QFile::encodeName(resolved).constData(), nullptr);
    if (!real)
        return QDir::cleanPath(path);
    const QString realPath = QFile::decodeName(real);
    std::free(real);
    if (resolved == path)
        return realPath;
    return (realPath == "/" ? QString() : realPath) + "/" + name;
}

// The end of the chain of links that starts at path (path itself when it is no link); empty when
// the chain goes round in a circle or can't be read.
QString endOfLinks(const QString& path)
{
    QString current = path;
    for (int hop = 0; hop <= maxLinkHops; ++hop) {
        if (!QFileInfo(current).isSymLink())
            return current;
        const QString link = readLink(current);
        if (link.isEmpty())
            return QString();
        current = withRealFolders(QDir::isAbsolutePath(link) ? link : QFileInfo(current).path() + "/" + link);
    }
    return QString();
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

Updater::Updater(QString exePath, QString branch, QString profile, QStringList launchArguments, bool launchOnly,
                 bool server, bool headless, QObject* parent)
    : QObject(parent), exePath(std::move(exePath)), branch(std::move(branch)), profile(std::move(profile)),
      launchArguments(std::move(launchArguments)), launchOnly(launchOnly), server(server), headless(headless)
{}

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

QString Updater::installTargetPath() const
{
    // A link that goes round in a circle is refused at start; the install directory stands in.
    const QString target = endOfLinks(installDirPath());
    return target.isEmpty() ? installDirPath() : target;
}

QString Updater::stagingDirPath() const
{
    return installTargetPath() + "_new";
}

QString Updater::asideDirPath() const
{
    return installTargetPath() + "_new_new";
}

QString Updater::patchFilePath(int index) const
{
    return tempDirPath() + "/patch_" + QString::number(index) + ".diff";
}

bool Updater::removeDirWithRetries(QString path)
{
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

bool Updater::isUnsafeInstallName(const QString& name)
{
    // In the installs folder an install owns "<name>", "<name>.json", "<name>_new" and
    // "<name>_new_new", and all installs share "temp". Two names n and m meet in one of those only
    // when n + s = m + t for two different of those suffixes s and t, that is when one name is the
    // other with ".json", "_new" or "_new_new" added; so no name may end in ".json" or "_new". Only
    // "temp" itself lands on "temp", as every other path ends in a suffix "temp" lacks. A name that
    // is the installs folder itself or leaves it could meet anything. Suffixes are compared without
    // case: the folder may be on a file system that ignores it.
    return name.isEmpty() || name == "." || name == ".." || name.contains('/') ||
           name.compare("temp", Qt::CaseInsensitive) == 0 || name.endsWith("_new", Qt::CaseInsensitive) ||
           name.endsWith(".json", Qt::CaseInsensitive);
}

bool Updater::refuseUnsafeInstallName()
{
    QString error;
    if (isUnsafeInstallName(profile)) {
        qDebug() << "Refusing install name" << profile;
        error = "The install name \"" + profile +
                "\" can't be used: it would overwrite other launcher files.\n"
                "Choose another name with --branch=\"name:branch\".";
    } else if (endOfLinks(installDirPath()).isEmpty()) {
        // There is no folder to update, and none beside which the update could be made.
        qDebug() << "The install directory is a link that leads round in a circle:" << installDirPath();
        error = "The install folder \"" + installDirPath() +
                "\" is a symbolic link that leads back to itself.\nPoint it at the folder that holds the game.";
    } else {
        return false;
    }
    // Reported from the event loop: a quit requested before the loop runs would be lost.
    QMetaObject::invokeMethod(
        this, [this, error] { emit updateFailed(error, "Init Failed!"); }, Qt::QueuedConnection);
    return true;
}
