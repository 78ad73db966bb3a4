#include "jobs/GameFilesHashJob.h"

#include "hasher/hasher.h"
#include "jobs/GameFileInfo.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <vector>

GameFilesHashJob::GameFilesHashJob(QString installDir, QJsonArray cachedFileInfos, QObject* parent)
    : QObject(parent), installDir(std::move(installDir)), cachedFileInfos(std::move(cachedFileInfos))
{}

GameFilesHashJob::~GameFilesHashJob() = default;

void GameFilesHashJob::go()
{
    qDebug() << "Starting game file hash job.";

    QHash<QString, CachedFileInfo> cache;
    for (const QJsonValue& record : cachedFileInfos)
        cache.insert(GameFileInfo::path(record), GameFileInfo::cachedFileInfo(record));

    const QDir root(installDir);
    QStringList pathsToHash;
    QList<QFileInfo> infosToHash;
    QStringList pathsReused;
    QList<CachedFileInfo> infosReused;

    // Hidden entries are walked too: a manifest may list files or folders whose names begin with
    // a dot, and leaving them out would make such an install fail its check on every run.
    // Symbolic links are listed but never descended into.
    QDirIterator walk(installDir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QString path = walk.next();
        const QFileInfo info(path);
        if (!info.isFile() && !info.isSymLink())
            continue;
        const QString relativePath = root.relativeFilePath(path);
        const auto cached = cache.constFind(relativePath);
        if (cached != cache.constEnd() && cached->size == info.size() &&
            cached->lastModified == info.fileTime(QFileDevice::FileModificationTime)) {
            pathsReused << path;
            infosReused << *cached;
        } else {
            pathsToHash << path;
            infosToHash << info;
        }
    }

    const qsizetype toHash = pathsToHash.size();
    qDebug() << "Found" << toHash << "game files that require hashing.";
    qDebug() << "Found" << pathsReused.size() << "game files that are unchanged from last hash run.";

    QByteArrayList encodedPaths;
    std::vector<const char*> pathPointers;
    encodedPaths.reserve(toHash);
    pathPointers.reserve(size_t(toHash));
    for (const QString& path : pathsToHash) {
        encodedPaths << path.toUtf8();
        pathPointers.push_back(encodedPaths.last().constData());
    }
    std::vector<uint8_t> digests(size_t(toHash) * 32, 0);
    std::vector<uint8_t> ok(size_t(toHash), 0);
    hash_files(pathPointers.data(), digests.data(), ok.data(), int32_t(toHash));

    QStringList failedFiles;
    QByteArrayList hashes;
    QJsonArray fileInfosToSave;
    for (qsizetype i = 0; i < toHash; ++i) {
        if (!ok[size_t(i)])
            failedFiles << pathsToHash[i];
        const QByteArray digest(reinterpret_cast<const char*>(digests.data()) + i * 32, 32);
        hashes << digest;
        // Size and time as the walk saw them, before hashing: a file that changes meanwhile then
        // no longer matches its record and is hashed again next time.
        const QFileInfo& info = infosToHash[i];
        fileInfosToSave.append(GameFileInfo::toJson(root.relativeFilePath(pathsToHash[i]), info.size(),
                                                    info.fileTime(QFileDevice::FileModificationTime), digest));
    }
    for (qsizetype j = 0; j < pathsReused.size(); ++j) {
        const CachedFileInfo& cached = infosReused[j];
        hashes << cached.hash;
        fileInfosToSave.append(
            GameFileInfo::toJson(root.relativeFilePath(pathsReused[j]), cached.size, cached.lastModified, cached.hash));
    }

    if (!failedFiles.isEmpty()) {
        qDebug() << "Failed to hash following game files:" << failedFiles;
        emit failed(failedFiles);
        return;
    }
    qDebug() << "Hashed all game files successfully.";
    emit finished(pathsToHash + pathsReused, hashes, fileInfosToSave);
}
