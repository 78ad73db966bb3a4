#pragma once

#include "jobs/RetrieveFileJob.h"

class BlobDecompressor;

// A RetrieveFileJob whose resource is zstd-compressed: reports decompressionFinished(file) with
// the decompressed bytes, or decompressionFailed(). failed() and the progress signals are those of
// RetrieveFileJob.
//
// In memory (the default) the frame header must record the content size (below 2 GiB); a frame
// without it fails unless its content is empty.
//
// With setDecompressedFile(targetPath, digest) the job handles files of any size in bounded
// memory: the blob is streamed to a temporary file beside targetPath, then decompressed as a stream
// on a worker thread into a second temporary file beside targetPath while its BLAKE3 digest is
// taken (see BlobDecompressor). decompressionFinished comes (with an empty array) only when every frame was valid and
// the digest equals the expected one; decompressedFilePath() then names the file, which the caller renames over
// targetPath or removes. On decompressionFailed() no temporary file is left behind.
class RetrieveCompressedFileJob : public RetrieveFileJob
{
    Q_OBJECT
public:
    RetrieveCompressedFileJob(QNetworkAccessManager* networkManager, QString url, QString name, int partCount,
                              qint64 expectedSize, QObject* parent);
    ~RetrieveCompressedFileJob() override;

    // The largest window a frame may ask for when decompressed to a file: what the decompressor holds
    // in memory besides its small buffers. It is the limit zstd's own tool accepts by default (128 MiB),
    // so every blob it can unpack without extra options still repairs; release compressors stay well
    // below it (level 19: 8 MiB), and only frames made with --long or the ultra levels come near.
    static constexpr int maxWindowLog = 27;

    // Call before go(). targetPath's folder must exist.
    void setDecompressedFile(QString targetPath, QByteArray expectedDigest);
    QString decompressedFilePath() const;

signals:
    void decompressionFailed();
    void decompressionFinished(QByteArray file);

private slots:
    void handleDownloaded(QByteArray file);

private:
    BlobDecompressor* decompressor;
};
