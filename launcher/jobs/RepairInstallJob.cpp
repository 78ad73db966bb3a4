#include "RepairInstallJob.h"

#include "BuildConfig.h"
#include "jobs/CheckInstallJob.h"
#include "jobs/RetrieveCompressedFileJob.h"
#include "updater/ServerFormats.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace
{
// The files that the launcher starts; a repair that creates one of them must leave it executable,
// or every later launch fails while the digest check keeps passing.
const QStringList executablePaths = {
    QStringLiteral("Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping"),
    QStringLiteral("Pelwinter/Binaries/Linux/PelwinterServer-Linux-Shipping"),
};

bool isInside(const QString& path, const QString& root)
{
    return !path.isEmpty() && !root.isEmpty() && (path == root || path.startsWith(root + QLatin1Char('/')));
}
} // namespace

RepairInstallJob::RepairInstallJob(QNetworkAccessManager* networkManager, QString installDir, QJsonArray repairFiles,
                                   QObject* parent)
    : QObject(parent), networkManager(networkManager), hasFailed(false), finishedCount(0), installDir(installDir),
      repairFiles(repairFiles), totalBytes(0), receivedBytes(0), rateEstimator(10000, 200)
{}

RepairInstallJob::~RepairInstallJob() = default;

void RepairInstallJob::go()
{
    qDebug() << "Preparing repair jobs for" << repairFiles.size() << "files.";
    fileProgress = QList<qint64>(repairFiles.size(), 0);

    // Nothing to repair is a repair that is already complete; without this the owner would wait forever.
    if (repairFiles.isEmpty()) {
        qDebug() << "All repair jobs finished.";
        emit finished();
        return;
    }

    for (int id = 0; id < repairFiles.size(); ++id) {
        const QJsonObject entry = repairFiles.at(id).toObject();
        const BlobResource resource = BlobResource::fromJson(entry.value(QStringLiteral("resource")));
        const QString path = entry.value(QStringLiteral("path")).toString();
        totalBytes = addSizes(totalBytes, resource.size);
        qDebug() << "Repairing file" << id << "path" << path;

        const QString fullPath = CheckInstallJob::resolveManifestPath(installDir, path);
        if (fullPath.isEmpty()) {
            qDebug() << "Refusing to repair" << path << "because it lies outside the install directory.";
            retrieveFileFailed(id);
            continue;
        }
        // The download and the decompressed file are kept beside the broken file, so its folder
        // has to be there, inside the install, before anything arrives.
        if (!makeFolderFor(fullPath)) {
            retrieveFileFailed(id);
            continue;
        }

        auto* job = new RetrieveCompressedFileJob(networkManager, resource.url(BuildConfig::updateBaseUrl()),
                                                  QStringLiteral("File"), resource.parts, resource.size, this);
        job->setDecompressedFile(fullPath, QByteArray::fromHex(entry.value("validation_hash").toString().toUtf8()));
        connect(job, &RetrieveFileJob::failed, this, [this, id]() { retrieveFileFailed(id); });
        connect(job, &RetrieveCompressedFileJob::decompressionFailed, this, [this, id]() { retrieveFileFailed(id); });
        connect(job, &RetrieveCompressedFileJob::decompressionFinished, this,
                [this, id, job] { retrieveFileFinished(id, job->decompressedFilePath()); });
        connect(job, &RetrieveFileJob::updateProgressBytes, this,
                [this, id](qlonglong progress, qlonglong) { retrieveFileProgress(id, progress); });
        job->go();
    }
}

void RepairInstallJob::retrieveFileProgress(int id, qlonglong progress)
{
    if (hasFailed)
        return;
    // Negative when a part of this file restarted from zero: the sum falls back with it.
    receivedBytes += progress - fileProgress[id];
    fileProgress[id] = progress;

    qint64 rate = 0;
    const qint64 eta = rateEstimator.update(&rate, receivedBytes, totalBytes);
    emit updateProgress1(
        QStringLiteral("DOWNLOADING FILE %1 OF %2 (%p%)").arg(finishedCount + 1).arg(repairFiles.size()), receivedBytes,
        totalBytes);
    const TransferInfoText text = transferInfoText(rate, receivedBytes, totalBytes, eta);
    emit updateInfoText(text.line1, text.line2);
}

void RepairInstallJob::retrieveFileFinished(int id, QString decompressedPath)
{
    if (hasFailed) {
        QFile::remove(decompressedPath);
        return;
    }
    finishedCount += 1;
    emit updateProgress2(QStringLiteral("REPAIRING FILE %1 OF %2 (%p%)").arg(finishedCount).arg(repairFiles.size()),
                         finishedCount, repairFiles.size());
    qDebug() << "Download for" << id << "done, replacing broken version.";

    if (!installRepairedFile(id, decompressedPath)) {
        QFile::remove(decompressedPath);
        retrieveFileFailed(id);
        return;
    }
    if (finishedCount == repairFiles.size()) {
        qDebug() << "All repair jobs finished.";
        emit finished();
    }
}

void RepairInstallJob::retrieveFileFailed(int id)
{
    if (hasFailed)
        return;
    qDebug() << "Failed to repair file" << id;
    hasFailed = true;
    emit failed();
}

bool RepairInstallJob::makeFolderFor(const QString& fullPath) const
{
    const QString folder = QFileInfo(fullPath).absolutePath();
    // Folders are made inside an install, never the install itself.
    if (!QDir(folder).exists() && QFileInfo(installDir).isDir())
        QDir().mkpath(folder);
    // A symbolic link among the folders would carry the write out of the install.
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    if (!isInside(canonicalFolder, QFileInfo(installDir).canonicalFilePath())) {
        qDebug() << "Failed to make the folder" << folder << "inside the install directory.";
        return false;
    }
    return true;
}

// Moves the decompressed file, whose digest has been checked, over the broken one in one rename, so
// that a full disk or a killed run never leaves a file cut short.
bool RepairInstallJob::installRepairedFile(int id, const QString& decompressedPath)
{
    const QString path = repairFiles.at(id).toObject().value(QStringLiteral("path")).toString();
    const QString fullPath = CheckInstallJob::resolveManifestPath(installDir, path);
    if (fullPath.isEmpty() || !makeFolderFor(fullPath))
        return false;

    // A link is replaced by a file of its own instead of written through to wherever it points. An
    // existing file keeps its mode; a new one has the default mode of new files.
    const QByteArray target = QFile::encodeName(fullPath);
    struct stat existing = {};
    const bool existedBefore = ::lstat(target.constData(), &existing) == 0 && S_ISREG(existing.st_mode);
    if (existedBefore && ::chmod(QFile::encodeName(decompressedPath).constData(), existing.st_mode & 07777) != 0) {
        qDebug() << "Failed to give" << decompressedPath << "the mode of" << fullPath << ":" << strerror(errno);
        return false;
    }
    if (::rename(QFile::encodeName(decompressedPath).constData(), target.constData()) != 0) {
        qDebug() << "Failed to move" << decompressedPath << "to" << fullPath << ":" << strerror(errno);
        return false;
    }

    const QString relative = QDir(QDir::cleanPath(QDir(installDir).absolutePath())).relativeFilePath(fullPath);
    if (!existedBefore && executablePaths.contains(relative)) {
        const QFileDevice::Permissions exec =
            QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;
        if (!QFile::setPermissions(fullPath, QFile::permissions(fullPath) | exec)) {
            qDebug() << "Failed to make" << fullPath << "executable.";
            return false;
        }
    }
    return true;
}
