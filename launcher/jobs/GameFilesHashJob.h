#pragma once

#include <QByteArrayList>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>

// Digests every file of the install directory, reusing the digest recorded by the previous run for
// each file whose size and modification time are unchanged and handing all others to the file
// hasher in one blocking call. Meant to run on a thread of its own, started through go().
//
// The outcome comes once: finished(files, hashes, fileInfosToSave), three lists paired by index
// (full paths, raw 32-byte digests, GameFileInfo records for the receipt; newly hashed files
// first, then reused ones), or failed(failedFiles) with every file the hasher could not read.
class GameFilesHashJob : public QObject
{
    Q_OBJECT
public:
    GameFilesHashJob(QString installDir, QJsonArray cachedFileInfos, QObject* parent = nullptr);
    ~GameFilesHashJob() override;

public slots:
    void go();

signals:
    void finished(QStringList files, QByteArrayList hashes, QJsonArray fileInfosToSave);
    void failed(QStringList failedFiles);

private:
    QString installDir;
    QJsonArray cachedFileInfos;
};
