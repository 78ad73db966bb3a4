#include "RetrieveManifestJob.h"

#include <QJsonDocument>

RetrieveManifestJob::RetrieveManifestJob(QNetworkAccessManager* networkManager, QString url, QString name,
                                         int partCount, qint64 expectedSize, QObject* parent)
    : RetrieveFileJob(networkManager, std::move(url), std::move(name), partCount, expectedSize, parent)
{
    // Connected before anyone else can connect, so the manifest is parsed first.
    connect(this, &RetrieveFileJob::downloaded, this, &RetrieveManifestJob::handleDownloaded);
}

void RetrieveManifestJob::handleDownloaded(QByteArray file)
{
    emit manifestFinished(QJsonDocument::fromJson(file).object());
}
