#pragma once

#include <QByteArrayList>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <future>

// Digests every file of the install directory, reusing the digest recorded by the previous run for
// each file whose size and modification time are unchanged and handing all others to the file
// hasher in one blocking call. Meant to run on a thread of its own, started through go().
//
// The outcome comes once: finished(files, hashes, fileInfosToSave), three lists paired by index
// (full paths, raw 32-byte digests, GameFileInfo records for the receipt; in the order of the walk,
// hashed and reused files alike, so that an unchanged install gives the same records whatever had
// to be hashed), or failed(failedFiles) with every file the hasher could not read.
//
// The records may also come later, through setCachedFileInfos: the walk of the install needs none
// and starts at once, and only the matching waits for them.
class GameFilesHashJob : public QObject
{
    Q_OBJECT
public:
    GameFilesHashJob(QString installDir, QJsonArray cachedFileInfos, QObject* parent = nullptr);
    // The records follow through setCachedFileInfos, which must then be called once.
    explicit GameFilesHashJob(QString installDir, QObject* parent = nullptr);
    ~GameFilesHashJob() override;

    // Hands over the records of a job made without them; may be called from any thread.
    void setCachedFileInfos(QJsonArray cachedFileInfos);

public slots:
    void go();

signals:
    void finished(QStringList files, QByteArrayList hashes, QJsonArray fileInfosToSave);
    void failed(QStringList failedFiles);

private:
    QString installDir;
    std::promise<QJsonArray> cachedFileInfosPromise;
    std::future<QJsonArray> cachedFileInfosFuture;
};
