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
#include <QSaveFile>
#include <blake3.h>

namespace
{
// The files that the launcher starts; a repair that creates one of them must leave it executable,
// or every later launch fails while the digest check keeps passing.
const QStringList executablePaths = {
    QStringLiteral("Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping"),
    QStringLiteral("Pelwinter/Binaries/Linux/PelwinterServer-Linux-Shipping"),
};

QByteArray blake3Digest(const QByteArray& data)
{
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, data.constData(), size_t(data.size()));
    QByteArray digest(BLAKE3_OUT_LEN, '\0');
    blake3_hasher_finalize(&hasher, reinterpret_cast<uint8_t*>(digest.data()), BLAKE3_OUT_LEN);
    return digest;
}

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
        totalBytes += resource.size;
        qDebug() << "Repairing file" << id << "path" << path;

        if (CheckInstallJob::resolveManifestPath(installDir, path).isEmpty()) {
            qDebug() << "Refusing to repair" << path << "because it lies outside the install directory.";
            retrieveFileFailed(id);
            continue;
        }

        auto* job = new RetrieveCompressedFileJob(networkManager, resource.url(BuildConfig::updateBaseUrl()),
                                                  QStringLiteral("File"), resource.parts, resource.size, this);
        connect(job, &RetrieveFileJob::failed, this, [this, id]() { retrieveFileFailed(id); });
        connect(job, &RetrieveCompressedFileJob::decompressionFailed, this, [this, id]() { retrieveFileFailed(id); });
        connect(job, &RetrieveCompressedFileJob::decompressionFinished, this,
                [this, id](QByteArray file) { retrieveFileFinished(id, file); });
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
    emit updateInfoText(formatBytes(rate) + QStringLiteral("/s - ") + formatBytes(receivedBytes) +
                            QStringLiteral(" / ") + formatBytes(totalBytes),
                        formatDuration(eta) + QStringLiteral(" remaining..."));
}

void RepairInstallJob::retrieveFileFinished(int id, QByteArray data)
{
    if (hasFailed)
        return;
    finishedCount += 1;
    emit updateProgress2(QStringLiteral("REPAIRING FILE %1 OF %2 (%p%)").arg(finishedCount).arg(repairFiles.size()),
                         finishedCount, repairFiles.size());
    qDebug() << "Download for" << id << "done, replacing broken version.";

    if (!writeRepairedFile(id, data)) {
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

bool RepairInstallJob::writeRepairedFile(int id, const QByteArray& data)
{
    const QJsonObject entry = repairFiles.at(id).toObject();
    const QString path = entry.value(QStringLiteral("path")).toString();
    const QString fullPath = CheckInstallJob::resolveManifestPath(installDir, path);
    if (fullPath.isEmpty()) {
        qDebug() << "Refusing to write" << path << "because it lies outside the install directory.";
        return false;
    }

    // A blob that decompresses to other bytes than the manifest promises would only be found broken
    // again on the next run; it is never written.
    const QByteArray expected = QByteArray::fromHex(entry.value(QStringLiteral("validation_hash")).toString().toUtf8());
    if (blake3Digest(data) != expected) {
        qDebug() << "Downloaded contents of" << path << "do not match its validation hash.";
        return false;
    }

    const QFileInfo target(fullPath);
    const QString folder = target.absolutePath();
    if (!QDir(folder).exists())
        QDir().mkpath(folder);
    // A symbolic link among the folders would carry the write out of the install.
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    if (!isInside(canonicalFolder, QFileInfo(installDir).canonicalFilePath())) {
        qDebug() << "Failed to make the folder" << folder << "inside the install directory.";
        return false;
    }

    // Replace a link with a file of its own instead of writing through it to wherever it points.
    const bool wasLink = target.isSymLink();
    const bool existedBefore = !wasLink && target.exists();
    if (wasLink && !QFile::remove(fullPath)) {
        qDebug() << "Failed to remove the link" << fullPath;
        return false;
    }

    // The new contents go to a temporary file that replaces the old one only once every byte is on
    // disk, so a full disk or a killed run never leaves a truncated file behind.
    QSaveFile file(fullPath);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "Failed to open" << fullPath << "for writing:" << file.errorString();
        return false;
    }
    if (file.write(data) != data.size() || !file.commit()) {
        qDebug() << "Failed to write" << fullPath << ":" << file.errorString();
        file.cancelWriting();
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
