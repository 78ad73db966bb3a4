#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QThread;

// Turns a downloaded zstd blob into the contents it holds; reports once through finished(file) or
// failed(). Names the resource as label in its log lines.
//
// In memory (the default), decompress(blob) gets the bytes: the frame header must record the
// content size (below 2 GiB); a frame without it fails unless its content is empty, and so does an
// empty blob. The outcome comes before decompress() returns.
//
// With setTarget(targetPath, digest) the blob is a file, blobPath(), beside targetPath (on the same
// disk, which has room for the file), for the download to be streamed to. decompress() then
// decompresses it as a stream on a thread of its own into a second temporary file beside targetPath
// while its BLAKE3 digest is taken, and removes the blob. finished comes (with an empty array) only when
// every frame was valid and the digest equals the expected one; decompressedFilePath() then names
// the file, which the caller renames over targetPath or removes. On failed() no temporary file is
// left behind, and neither is one when the decompressor goes while still at work. Both temporary
// files are named as LauncherTemporaries names them.
class BlobDecompressor : public QObject
{
    Q_OBJECT
public:
    BlobDecompressor(QString label, int maxWindowLog, QObject* parent);
    ~BlobDecompressor() override;

    void setTarget(QString targetPath, QByteArray expectedDigest);
    QString blobPath() const;
    QString decompressedFilePath() const;

    void decompress(const QByteArray& blob);

signals:
    void finished(QByteArray file);
    void failed();

private:
    void decompressInMemory(const QByteArray& blob);
    void decompressToFile();

    QString label;
    int maxWindowLog;
    QString targetPath;
    QByteArray expectedDigest;
    QString blobFilePath;
    QString decompressedPath;
    QThread* worker = nullptr;
};
