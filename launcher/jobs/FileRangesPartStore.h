#pragma once

#include "jobs/PartStore.h"

#include <QList>

// Writes each part straight into its own range of one output file as it arrives, for a resource of
// known size whose parts are the server's usual shares of it: part i of P holds bytes
// [size * i / P, size * (i + 1) / P). Nothing is joined at the end; a retried part writes its range
// again from its start.
class FileRangesPartStore : public PartStore
{
public:
    FileRangesPartStore(QString outputPath, qint64 size, int partCount);
    ~FileRangesPartStore() override;

    // size * partIndex / partCount without overflow, for sizes up to 2^63 - 1.
    static qint64 shareStart(qint64 size, int partCount, int partIndex);

    bool open() override;
    bool startAttempt(int partIndex) override;
    bool write(int partIndex, qint64 at, const QByteArray& data) override;
    bool finish() override;
    // What the parts brought: a part that came short leaves a gap the file's length doesn't show.
    qint64 joinedSize() const override;
    void discard() override;

private:
    QString outputPath;
    qint64 size;
    int partCount;
    int outputFd = -1;
    QList<qint64> partWritten; // bytes of each part's current attempt
};
