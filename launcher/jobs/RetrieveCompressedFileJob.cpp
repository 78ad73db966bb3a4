#include "RetrieveCompressedFileJob.h"

#include <QDebug>
#include <zstd.h>

RetrieveCompressedFileJob::RetrieveCompressedFileJob(QNetworkAccessManager* networkManager, QString url, QString name,
                                                     int partCount, qint64 expectedSize, QObject* parent)
    : RetrieveFileJob(networkManager, std::move(url), std::move(name), partCount, expectedSize, parent)
{
    // Connected before anyone else can connect, so the bytes are decompressed first.
    connect(this, &RetrieveFileJob::downloaded, this, &RetrieveCompressedFileJob::handleDownloaded);
}

void RetrieveCompressedFileJob::handleDownloaded(QByteArray file)
{
    qDebug() << "Decompressing" << url;

    // Unknown (-1), unreadable (-2) and huge content sizes all leave too little room, so such
    // frames fail below instead of being cut short.
    const int size = int(ZSTD_getFrameContentSize(file.constData(), size_t(file.size())));
    QByteArray out(size < 0 ? 0 : size, Qt::Uninitialized);

    // An empty body holds no frame at all; zstd would accept it as empty content and the
    // broken file would be "repaired" to nothing.
    const size_t result = ZSTD_decompress(out.data(), size_t(out.size()), file.constData(), size_t(file.size()));
    if (file.isEmpty() || ZSTD_isError(result)) {
        qDebug() << "Failed to decompress" << url;
        emit decompressionFailed();
        return;
    }
    qDebug() << "Decompressed" << url << "successfully.";
    emit decompressionFinished(out);
}
