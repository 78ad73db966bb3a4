#include "updater/LinkResolution.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace
{
// The kernel gives up on a path after this many links; a longer chain is taken for a circle.
const int maxLinkHops = 40;

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
} // namespace

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
