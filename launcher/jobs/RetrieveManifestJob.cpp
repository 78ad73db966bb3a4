#include "RetrieveManifestJob.h"

#include "BuildConfig.h"

#include <QJsonDocument>
#include <QThread>
#include <memory>

RetrieveManifestJob::RetrieveManifestJob(QNetworkAccessManager* networkManager, QString url, QString name,
                                         int partCount, qint64 expectedSize, QObject* parent)
    : RetrieveFileJob(networkManager, std::move(url), std::move(name), partCount, expectedSize, parent)
{
    // Connected before anyone else can connect, so the manifest is parsed first.
    connect(this, &RetrieveFileJob::downloaded, this, &RetrieveManifestJob::handleDownloaded);
}

void RetrieveManifestJob::handleDownloaded(QByteArray file)
{
    // A branch manifest of a large install takes a good part of a second to parse; on a thread of
    // its own the main thread's event loop goes on meanwhile (the receipt's arrival, progress).
    auto manifest = std::make_shared<QJsonObject>();
    QThread* parser = QThread::create([file = std::move(file), manifest]() mutable {
        if (const int delay = BuildConfig::parseDelays().manifestMSecs; delay > 0)
            QThread::msleep(static_cast<unsigned long>(delay));
        *manifest = QJsonDocument::fromJson(file).object();
        file = QByteArray(); // the bytes go here, not on the main thread
    });
    connect(parser, &QThread::finished, this, [this, manifest] { emit manifestFinished(*manifest); });
    connect(parser, &QThread::finished, parser, &QObject::deleteLater);
    parser->start();
}
