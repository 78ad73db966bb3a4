#pragma once

#include "jobs/PartStore.h"

#include <QList>

class QFile;

// Keeps each part in a file of its own, outputPath + ".part<i>", and joins them into outputPath at
// the end: the first part becomes the file and the others are appended to it, sharing blocks where
// the file system can, else copied by the kernel, so joining the parts of a multi-GiB patch costs no
// user-space memory. For a resource of unknown size: with the size known, FileRangesPartStore writes
// each part at its place instead.
class PartFilesStore : public PartStore
{
public:
    PartFilesStore(QString outputPath, int partCount);
    ~PartFilesStore() override;

    // Where part partIndex of a download to outputPath is kept in a file of its own: here until the
    // parts are joined, and by FileRangesPartStore while the part's place is not known yet.
    static QString partFilePath(const QString& outputPath, int partIndex);

    bool startAttempt(int partIndex) override;
    bool write(int partIndex, qint64 at, const QByteArray& data) override;
    bool finish() override;
    qint64 joinedSize() const override;
    void discard() override;

private:
    QString partFilePath(int partIndex) const { return partFilePath(outputPath, partIndex); }
    bool joinPartFiles();

    QString outputPath;
    QList<QFile*> partFiles;
};
