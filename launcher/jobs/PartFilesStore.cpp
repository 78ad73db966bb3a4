#include "PartFilesStore.h"

#include "patch/dir/file_copy.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

PartFilesStore::PartFilesStore(QString outputPath, int partCount)
    : outputPath(std::move(outputPath)), partFiles(partCount, nullptr)
{}

PartFilesStore::~PartFilesStore()
{
    qDeleteAll(partFiles);
}

QString PartFilesStore::partFilePath(const QString& outputPath, int partIndex)
{
    return outputPath + ".part" + QString::number(partIndex);
}

bool PartFilesStore::startAttempt(int partIndex)
{
    // Every attempt starts its part afresh.
    delete partFiles[partIndex];
    partFiles[partIndex] = new QFile(partFilePath(partIndex));
    if (!partFiles[partIndex]->open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(partFilePath(partIndex), partFiles[partIndex]->errorString());
    return true;
}

bool PartFilesStore::write(int partIndex, qint64, const QByteArray& data)
{
    if (!data.isEmpty() && partFiles[partIndex]->write(data) != data.size())
        return fail(partFilePath(partIndex), partFiles[partIndex]->errorString());
    return true;
}

bool PartFilesStore::finish()
{
    return joinPartFiles() || fail(outputPath, QString::fromLocal8Bit(std::strerror(errno)));
}

bool PartFilesStore::joinPartFiles()
{
    for (QFile* file : std::as_const(partFiles)) {
        if (!file->flush())
            return false;
        file->close();
        if (file->error() != QFileDevice::NoError)
            return false;
    }
    // The first part becomes the file and the others are appended to it, each removed once copied.
    QFile::remove(outputPath);
    if (!QFile::rename(partFilePath(0), outputPath))
        return false;
    if (partFiles.size() == 1)
        return true;

    const int out = ::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CLOEXEC);
    if (out < 0)
        return false;
    const off_t end = ::lseek(out, 0, SEEK_END);
    bool ok = end >= 0;
    dpatch_StreamPos_t at = ok ? dpatch_StreamPos_t(end) : 0;
    for (int i = 1; ok && i < partFiles.size(); ++i) {
        ok = dpatch_appendFile(out, &at, QFile::encodeName(partFilePath(i)).constData(), nullptr);
        const int failedErrno = errno;
        QFile::remove(partFilePath(i));
        errno = failedErrno;
    }
    return ::close(out) == 0 && ok;
}

qint64 PartFilesStore::joinedSize() const
{
    return QFileInfo(outputPath).size();
}

void PartFilesStore::discard()
{
    for (int i = 0; i < partFiles.size(); ++i) {
        if (partFiles[i])
            partFiles[i]->close();
        QFile::remove(partFilePath(i));
    }
    QFile::remove(outputPath);
}
