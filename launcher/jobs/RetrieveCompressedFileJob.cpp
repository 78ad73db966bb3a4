#include "RetrieveCompressedFileJob.h"

#include "jobs/BlobDecompressor.h"

RetrieveCompressedFileJob::RetrieveCompressedFileJob(QNetworkAccessManager* networkManager, QString url, QString name,
                                                     int partCount, qint64 expectedSize, QObject* parent)
    : RetrieveFileJob(networkManager, url, std::move(name), partCount, expectedSize, parent),
      decompressor(new BlobDecompressor(url, maxWindowLog, this))
{
    connect(decompressor, &BlobDecompressor::finished, this, &RetrieveCompressedFileJob::decompressionFinished);
    connect(decompressor, &BlobDecompressor::failed, this, &RetrieveCompressedFileJob::decompressionFailed);
    // Connected before anyone else can connect, so the bytes are decompressed first.
    connect(this, &RetrieveFileJob::downloaded, this, &RetrieveCompressedFileJob::handleDownloaded);
}

// The decompressor, a child, waits for its thread and removes its files when it goes.
RetrieveCompressedFileJob::~RetrieveCompressedFileJob() = default;

void RetrieveCompressedFileJob::setDecompressedFile(QString targetPath, QByteArray expectedDigest)
{
    decompressor->setTarget(std::move(targetPath), std::move(expectedDigest));
    setOutputFile(decompressor->blobPath());
}

QString RetrieveCompressedFileJob::decompressedFilePath() const
{
    return decompressor->decompressedFilePath();
}

void RetrieveCompressedFileJob::handleDownloaded(QByteArray file)
{
    decompressor->decompress(file);
}
