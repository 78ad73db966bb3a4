#include "InstallReceipt.h"

#include "jobs/LauncherTemporaries.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Records the identity of the file behind fd; false when it cannot be had.
bool stamp(int fd, StoredInstallReceipt& stored)
{
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0)
        return false;
    stored.device = qint64(status.st_dev);
    stored.inode = qint64(status.st_ino);
    stored.size = qint64(status.st_size);
    stored.modifiedNSecs = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return true;
}

bool stillStored(const QString& path, const StoredInstallReceipt& stored)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return qint64(status.st_dev) == stored.device && qint64(status.st_ino) == stored.inode &&
           qint64(status.st_size) == stored.size &&
           qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec == stored.modifiedNSecs;
}

// Equal keys and values. Arrays are compared as arrays, which takes no time when both are the one
// array the hash job passed through, where comparing the objects would visit every record.
bool sameReceipt(const QJsonObject& a, const QJsonObject& b)
{
    if (a.size() != b.size())
        return false;
    for (auto it = a.constBegin(); it != a.constEnd(); ++it) {
        const auto other = b.constFind(it.key());
        if (other == b.constEnd())
            return false;
        const QJsonValue value = it.value();
        const QJsonValue otherValue = other.value();
        if (value.isArray() && otherValue.isArray()) {
            if (value.toArray() != otherValue.toArray())
                return false;
        } else if (value != otherValue) {
            return false;
        }
    }
    return true;
}

bool writeAll(int fd, const QByteArray& content)
{
    const char* data = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

// Whether the file at path holds exactly content.
bool holds(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() == content.size() && file.readAll() == content;
}
} // namespace

LoadedInstallReceipt readInstallReceipt(const QString& path, StoredInstallReceipt* stored)
{
    LoadedInstallReceipt result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    result.loaded = true;
    StoredInstallReceipt identity;
    const bool stamped = stored && stamp(file.handle(), identity);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    result.receipt = document.object();
    // Only a file that reads back as exactly this object can be left as it is; anything damaged is
    // written whole at the next save.
    if (stamped && error.error == QJsonParseError::NoError && document.isObject()) {
        identity.known = true;
        identity.receipt = result.receipt;
        *stored = identity;
    }
    return result;
}

QString installReceiptFile(const QString& path)
{
    QFileInfo info(path);
    int depth = 128;
    while (--depth > 0 && info.isSymLink())
        info.setFile(info.symLinkTarget());
    return depth > 0 ? info.filePath() : path;
}

QString writeInstallReceiptTemporary(const QString& file, const QByteArray& content)
{
    const QByteArray fileName = QFile::encodeName(file);
    struct stat existing;
    const bool exists = ::stat(fileName.constData(), &existing) == 0;
    QString temporary;
    int fd = -1;
    for (int tries = 0; tries < 100 && fd < 0; ++tries) {
        temporary = LauncherTemporaries::pathBeside(file, QStringLiteral("receipt"));
        fd = ::open(QFile::encodeName(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return QString();
    }
    if (fd < 0)
        return QString();
    const QByteArray temporaryName = QFile::encodeName(temporary);
    bool ok = (!exists || ::fchmod(fd, existing.st_mode & 07777) == 0) && writeAll(fd, content) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        return temporary;
    ::unlink(temporaryName.constData());
    return QString();
}

bool writeInstallReceipt(const QString& path, const QJsonObject& receipt)
{
    const QByteArray content = QJsonDocument(receipt).toJson(QJsonDocument::Indented);
    // On every start of an install that is up to date the receipt comes out as it was read; a
    // file that already holds these bytes is left alone rather than written and flushed again.
    if (holds(path, content))
        return true;
    // The new content goes to a temporary beside the file, is flushed to disk and only then renamed
    // over it: a full disk leaves the old receipt as it was, and a killed run leaves the temporary,
    // which the next start removes, or takes where it was written for the install in place.
    const QString target = installReceiptFile(path);
    const QString temporary = writeInstallReceiptTemporary(target, content);
    if (temporary.isEmpty())
        return false;
    const QByteArray temporaryName = QFile::encodeName(temporary);
    if (::rename(temporaryName.constData(), QFile::encodeName(target).constData()) == 0)
        return true;
    ::unlink(temporaryName.constData());
    return false;
}

bool writeInstallReceipt(const QString& path, const QJsonObject& receipt, StoredInstallReceipt& stored)
{
    if (stored.known && sameReceipt(receipt, stored.receipt) && stillStored(path, stored))
        return true;
    stored = StoredInstallReceipt();
    if (!writeInstallReceipt(path, receipt))
        return false;
    noteStoredInstallReceipt(path, receipt, stored);
    return true;
}

void noteStoredInstallReceipt(const QString& path, const QJsonObject& receipt, StoredInstallReceipt& stored)
{
    stored = StoredInstallReceipt();
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && stamp(file.handle(), stored)) {
        stored.known = true;
        stored.receipt = receipt;
    }
}
