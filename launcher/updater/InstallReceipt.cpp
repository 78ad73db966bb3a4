#include "InstallReceipt.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
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

bool writeInstallReceipt(const QString& path, const QJsonObject& receipt)
{
    const QByteArray content = QJsonDocument(receipt).toJson(QJsonDocument::Indented);
    // On every start of an install that is up to date the receipt comes out as it was read; a
    // file that already holds these bytes is left alone rather than written and flushed again.
    if (holds(path, content))
        return true;
    // Unbuffered, because a buffered QSaveFile reports success for a write that the disk cut
    // short and would then put the truncated file in place of the good one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (file.write(content) != content.size() || ::fsync(file.handle()) != 0) {
        file.cancelWriting(); // the temporary file goes away with `file`
        return false;
    }
    return file.commit();
}

bool writeInstallReceipt(const QString& path, const QJsonObject& receipt, StoredInstallReceipt& stored)
{
    if (stored.known && sameReceipt(receipt, stored.receipt) && stillStored(path, stored))
        return true;
    stored = StoredInstallReceipt();
    if (!writeInstallReceipt(path, receipt))
        return false;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && stamp(file.handle(), stored)) {
        stored.known = true;
        stored.receipt = receipt;
    }
    return true;
}
