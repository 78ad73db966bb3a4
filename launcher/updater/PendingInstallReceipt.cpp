#include "updater/PendingInstallReceipt.h"

#include "jobs/LauncherTemporaries.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const QLatin1String identityKey("installFolderIdentity");

// The device and inode numbers of a folder; a rename keeps both.
struct FolderIdentity
{
    bool known = false;
    quint64 device = 0;
    quint64 inode = 0;
};

// The folder at path, links followed; unknown when it is missing or not a folder.
FolderIdentity identityOf(const QString& path)
{
    FolderIdentity identity;
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return identity;
    identity.known = true;
    identity.device = quint64(status.st_dev);
    identity.inode = quint64(status.st_ino);
    return identity;
}

// The boot this run is in; empty where it can't be read.
QString bootId()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed()) : QString();
}

// Whether receipt is bound to the folder of that identity. Device numbers are compared only for a
// receipt bound in this boot: some change across a restart (btrfs subvolumes, disks found in another
// order), and a pending receipt left by a power cut is read in the next boot. The inode numbers of a
// disk's folders stay, and the staging folder and the install it stands beside are on one disk.
bool isBoundTo(const QJsonObject& receipt, const FolderIdentity& folder, const QString& boot)
{
    const QJsonObject identity = receipt.value(identityKey).toObject();
    bool deviceRead = false;
    bool inodeRead = false;
    const quint64 device = identity.value(QLatin1String("device")).toString().toULongLong(&deviceRead);
    const quint64 inode = identity.value(QLatin1String("inode")).toString().toULongLong(&inodeRead);
    if (!deviceRead || !inodeRead || inode != folder.inode)
        return false;
    const bool sameBoot = !boot.isEmpty() && identity.value(QLatin1String("boot")).toString() == boot;
    return !sameBoot || device == folder.device;
}

// The receipt a temporary holds when it is whole: a JSON object, read to its end. A save or a pending
// receipt cut short reads as an empty object, bound to nothing.
QJsonObject wholeReceiptIn(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    return error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
}

// Puts the folder's entries on disk: a file made in it, a rename inside it.
bool flushFolder(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
}

bool sameDevice(const QString& a, const QString& b)
{
    struct stat first;
    struct stat second;
    return ::stat(QFile::encodeName(a).constData(), &first) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev;
}
} // namespace

QString writePendingInstallReceipt(const QString& receiptPath, QJsonObject& receipt, const QString& folder)
{
    const FolderIdentity identity = identityOf(folder);
    if (!identity.known)
        return QString();
    receipt[identityKey] = QJsonObject{{QLatin1String("device"), QString::number(identity.device)},
                                       {QLatin1String("inode"), QString::number(identity.inode)},
                                       {QLatin1String("boot"), bootId()}};
    const QString file = installReceiptFile(receiptPath);
    const QString pending = writeInstallReceiptTemporary(file, QJsonDocument(receipt).toJson(QJsonDocument::Indented));
    // The pending receipt's name goes to disk before the swap too: a rename of the install that
    // outlived a power cut while that name was lost would leave the new install under the old receipt.
    if (pending.isEmpty() || flushFolder(QFileInfo(file).path()))
        return pending;
    discardPendingInstallReceipt(pending);
    return QString();
}

bool publishPendingInstallReceipt(const QString& pending, const QString& receiptPath, const QJsonObject& receipt,
                                  const QString& installFolder, StoredInstallReceipt& stored)
{
    const QString file = installReceiptFile(receiptPath);
    // On one disk, the journal keeps the install's rename before this one. A linked install on another
    // disk has a journal of its own: its rename is put on disk first, so that a power cut can't keep
    // the new receipt and lose the new install.
    const QString installParent = QFileInfo(installFolder).path();
    const QString receiptFolder = QFileInfo(file).path();
    if (!sameDevice(installParent, receiptFolder) && !flushFolder(installParent))
        qDebug() << "Failed to flush" << installParent << ":" << strerror(errno);
    if (::rename(QFile::encodeName(pending).constData(), QFile::encodeName(file).constData()) != 0) {
        qDebug() << "Failed to rename" << pending << "to" << file << ":" << strerror(errno);
        return false;
    }
    noteStoredInstallReceipt(receiptPath, receipt, stored);
    return true;
}

void discardPendingInstallReceipt(const QString& pending)
{
    ::unlink(QFile::encodeName(pending).constData());
}

void settleInstallReceipt(const QString& receiptPath, const QString& installFolder)
{
    const QFileInfo receipt(installReceiptFile(receiptPath));
    const QString receiptName = receipt.fileName();
    const QDir folder = receipt.dir();
    const QStringList names =
        folder.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    // Looked at once a temporary is found: a start after a run that ended well finds none.
    std::optional<FolderIdentity> install;
    QString boot;
    QString bound;
    for (const QString& name : names) {
        if (!LauncherTemporaries::isReceiptTemporary(name, receiptName))
            continue;
        const QString temporary = folder.filePath(name);
        const QByteArray encoded = QFile::encodeName(temporary);
        struct stat status;
        if (::lstat(encoded.constData(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        if (!install) {
            install = identityOf(installFolder);
            boot = bootId();
        }
        if (bound.isEmpty() && install->known && isBoundTo(wholeReceiptIn(temporary), *install, boot)) {
            bound = temporary;
            continue;
        }
        if (::unlink(encoded.constData()) == 0)
            qDebug() << "Removed" << temporary << "left by an interrupted save of the install receipt.";
        else
            qDebug() << "Failed to remove" << temporary << ":" << strerror(errno);
    }
    if (bound.isEmpty())
        return;
    // A run was cut short after the install it describes was put in place: it is the receipt now.
    if (::rename(QFile::encodeName(bound).constData(), QFile::encodeName(receipt.filePath()).constData()) == 0) {
        qDebug() << "The install receipt" << bound << "left by an interrupted update describes the install folder"
                 << installFolder << "and replaces" << receipt.filePath();
        return;
    }
    qDebug() << "Failed to rename" << bound << "to" << receipt.filePath() << ":" << strerror(errno);
}
