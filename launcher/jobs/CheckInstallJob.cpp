#include "CheckInstallJob.h"

#include "jobs/GameFileInfo.h"
#include "jobs/ParallelSlices.h"

#include <QDebug>
#include <QDir>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <vector>

CheckInstallJob::CheckInstallJob(QString installDir, QStringList hashedFiles, QByteArrayList fileHashes,
                                 QJsonArray manifestFiles, QObject* parent)
    : QObject(parent), installDir(installDir), hashedFiles(hashedFiles), fileHashes(fileHashes),
      manifestFiles(manifestFiles)
{}

CheckInstallJob::~CheckInstallJob() = default;

namespace
{

// A path that cleaning would leave as it is: non-empty, no empty, "." or ".." segment, no
// trailing separator. (Backslashes are ordinary characters on this platform.)
bool isClean(QStringView path)
{
    if (path.isEmpty())
        return false;
    qsizetype segmentStart = 0;
    for (qsizetype i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != u'/')
            continue;
        const QStringView segment = path.mid(segmentStart, i - segmentStart);
        // An empty first segment is the root of an absolute path.
        if ((segment.isEmpty() && segmentStart != 0) || segment == u"." || segment == u"..")
            return false;
        segmentStart = i + 1;
    }
    return path.size() == 1 || !path.endsWith(u'/');
}

// The install directory as resolveManifestPath compares against it.
QString cleanRoot(const QString& installDir)
{
    return QDir::cleanPath(QDir(installDir).absolutePath());
}

QString resolveUnder(const QString& root, const QString& path)
{
    // A manifest comes from the network: an absolute path or one that climbs out with ".." would have
    // the repair overwrite files anywhere the user can write.
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return QString();
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    // A clean relative path (what manifests hold) stays below the root once joined to it.
    if (isClean(path))
        return prefix + path;
    const QString full = QDir::cleanPath(QDir(root).absoluteFilePath(path));
    if (!full.startsWith(prefix) || full.size() == prefix.size())
        return QString();
    return full;
}

} // namespace

QString CheckInstallJob::resolveManifestPath(const QString& installDir, const QString& path)
{
    return resolveUnder(cleanRoot(installDir), path);
}

void CheckInstallJob::go()
{
    const QString root = cleanRoot(installDir);
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    qDebug() << "Validating existing install against local manifest.";

    // One index of the cleaned walked paths, by their part below the install directory, keeps the
    // check linear in the number of files; the first listed path wins when two clean to the same
    // name. The keys view the listed paths, or their cleaned copies, which live as long as the index.
    std::vector<QString> cleanedCopies;
    QHash<QStringView, qsizetype> hashedIndex;
    hashedIndex.reserve(hashedFiles.size());
    qsizetype rootIndex = -1; // a listed path that names the install directory itself
    for (qsizetype i = 0; i < hashedFiles.size(); ++i) {
        QStringView path = hashedFiles.at(i);
        if (!isClean(path)) {
            cleanedCopies.push_back(QDir::cleanPath(hashedFiles.at(i)));
            path = cleanedCopies.back();
        }
        if (path == root && rootIndex < 0)
            rootIndex = i;
        else if (path.startsWith(prefix) && !hashedIndex.contains(path.mid(prefix.size())))
            hashedIndex.insert(path.mid(prefix.size()), i);
    }

    // Every entry is judged on its own, so large manifests are judged on several threads; the
    // verdicts are then reported in manifest order.
    enum Verdict : uint8_t
    {
        Valid,
        Refused,
        Missing,
        Broken
    };
    const qsizetype entryCount = manifestFiles.size();
    std::vector<uint8_t> verdicts(static_cast<size_t>(entryCount), Valid);
    forEachSlice(entryCount, [&](qsizetype from, qsizetype to) {
        const QJsonArray entries = manifestFiles;
        for (qsizetype i = from; i < to; ++i) {
            const QJsonObject entry = entries.at(i).toObject();
            const QString path = entry.value(QLatin1String("path")).toString();
            qsizetype found = -1;
            if (path.isEmpty()) {
                // The install directory itself, which the hash job never lists.
                found = rootIndex;
            } else if (isClean(path) && !QDir::isAbsolutePath(path)) {
                found = hashedIndex.value(path, -1);
            } else {
                const QString resolved = resolveUnder(root, path);
                if (resolved.isEmpty()) {
                    verdicts[size_t(i)] = Refused;
                    continue;
                }
                found = hashedIndex.value(QStringView(resolved).mid(prefix.size()), -1);
            }
            if (found < 0) {
                verdicts[size_t(i)] = Missing;
                continue;
            }
            const QByteArray expected =
                GameFileInfo::decodeHash(entry.value(QLatin1String("validation_hash")).toString());
            if (found >= fileHashes.size() || fileHashes.at(found) != expected)
                verdicts[size_t(i)] = Broken;
        }
    });

    QStringList failedFiles;
    for (qsizetype i = 0; i < entryCount; ++i) {
        if (verdicts[size_t(i)] == Valid)
            continue;
        const QString path = manifestFiles.at(i).toObject().value(QLatin1String("path")).toString();
        if (verdicts[size_t(i)] == Refused)
            qDebug() << "File" << path << "lies outside the install directory and is refused.";
        else if (verdicts[size_t(i)] == Missing)
            qDebug() << "File" << path << "does not exist.";
        else
            qDebug() << "File" << path << "exists but must be repaired.";
        failedFiles.append(path);
    }

    if (!failedFiles.isEmpty())
        qDebug() << "Failed to validate" << failedFiles.size() << "files.";
    else
        qDebug() << "All files validated successfully.";

    emit finished(failedFiles);
}
