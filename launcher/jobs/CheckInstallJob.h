#pragma once

#include <QByteArrayList>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>

// Validates an install against one game manifest: every manifest entry is looked up among the files
// the hash job listed and its digest compared with the entry's "validation_hash". Runs synchronously
// inside go(); the caller listens to finished(), which carries the manifest paths that are missing or
// differ, in manifest order.
class CheckInstallJob : public QObject
{
    Q_OBJECT
public:
    CheckInstallJob(QString installDir, QStringList hashedFiles, QByteArrayList fileHashes, QJsonArray manifestFiles,
                    QObject* parent = nullptr);
    ~CheckInstallJob() override;

    // The cleaned full path that a manifest "path" names inside installDir, or an empty string when the
    // path is not something the launcher may touch: empty, absolute, or leading outside the install
    // directory (or onto the directory itself) once ".." segments are resolved. The check, the choice
    // of files to repair and the repair all go through this, so they agree on what is refused.
    static QString resolveManifestPath(const QString& installDir, const QString& path);

public slots:
    void go();

signals:
    void finished(QStringList failedFiles);

private:
    QString installDir;
    QStringList hashedFiles;
    QByteArrayList fileHashes;
    QJsonArray manifestFiles;
};
