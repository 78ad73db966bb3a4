#pragma once

#include "jobs/RetrieveFileJob.h"

// A RetrieveFileJob whose resource is one zstd frame: reports decompressionFinished(file) with
// the decompressed bytes, or decompressionFailed(). The frame header must record the content
// size (below 2 GiB); a frame without it fails unless its content is empty. failed() and the
// progress signals are those of RetrieveFileJob.
class RetrieveCompressedFileJob : public RetrieveFileJob
{
    Q_OBJECT
public:
    RetrieveCompressedFileJob(QNetworkAccessManager* networkManager, QString url, QString name, int partCount,
                              qint64 expectedSize, QObject* parent);

signals:
    void decompressionFailed();
    void decompressionFinished(QByteArray file);

private slots:
    void handleDownloaded(QByteArray file);
};
