#include "CheckInstallJob.h"

#include <QDebug>
#include <QDir>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>

CheckInstallJob::CheckInstallJob(QString installDir, QStringList hashedFiles, QByteArrayList fileHashes,
                                 QJsonArray manifestFiles, QObject* parent)
    : QObject(parent), installDir(installDir), hashedFiles(hashedFiles), fileHashes(fileHashes),
      manifestFiles(manifestFiles)
{}

CheckInstallJob::~CheckInstallJob() = default;

QString CheckInstallJob::resolveManifestPath(const QString& installDir, const QString& path)
{
    // A manifest comes from the network: an absolute path or one that climbs out with ".." would have
    // the repair overwrite files anywhere the user can write.
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return QString();
    const QString root = QDir::cleanPath(QDir(installDir).absolutePath());
    const QString full = QDir::cleanPath(QDir(root).absoluteFilePath(path));
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (!full.startsWith(prefix) || full.size() == prefix.size())
        return QString();
    return full;
}

void CheckInstallJob::go()
{
    const QDir dir(installDir);
    qDebug() << "Validating existing install against local manifest.";

    // One index of the cleaned walked paths keeps the check linear in the number of files; the first
    // listed path wins when two clean to the same name.
    QHash<QString, qsizetype> hashedIndex;
    hashedIndex.reserve(hashedFiles.size());
    for (qsizetype i = hashedFiles.size() - 1; i >= 0; --i)
        hashedIndex.insert(QDir::cleanPath(hashedFiles.at(i)), i);

    QStringList failedFiles;
    for (const QJsonValue& value : std::as_const(manifestFiles)) {
        const QJsonObject entry = value.toObject();
        const QString path = entry.value(QStringLiteral("path")).toString();

        if (!path.isEmpty() && resolveManifestPath(installDir, path).isEmpty()) {
            qDebug() << "File" << path << "lies outside the install directory and is refused.";
            failedFiles.append(path);
            continue;
        }

        const QString target = QDir::cleanPath(dir.absoluteFilePath(path));
        const auto found = hashedIndex.constFind(target);
        if (found == hashedIndex.constEnd()) {
            qDebug() << "File" << path << "does not exist.";
            failedFiles.append(path);
            continue;
        }

        const QByteArray expected =
            QByteArray::fromHex(entry.value(QStringLiteral("validation_hash")).toString().toUtf8());
        if (found.value() >= fileHashes.size() || fileHashes.at(found.value()) != expected) {
            qDebug() << "File" << path << "exists but must be repaired.";
            failedFiles.append(path);
        }
    }

    if (!failedFiles.isEmpty())
        qDebug() << "Failed to validate" << failedFiles.size() << "files.";
    else
        qDebug() << "All files validated successfully.";

    emit finished(failedFiles);
}
