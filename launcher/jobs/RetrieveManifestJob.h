#pragma once

#include "jobs/RetrieveFileJob.h"

#include <QJsonObject>

// A RetrieveFileJob whose resource is a JSON document: reports manifestFinished(manifest) with
// its root object instead of the bytes. A body that is not a JSON object gives an empty object,
// not a failure. failed() and the progress signals are those of RetrieveFileJob. The document is
// parsed on a thread of its own; manifestFinished comes on the job's thread once it is done.
class RetrieveManifestJob : public RetrieveFileJob
{
    Q_OBJECT
public:
    RetrieveManifestJob(QNetworkAccessManager* networkManager, QString url, QString name, int partCount,
                        qint64 expectedSize, QObject* parent);

signals:
    void manifestFinished(QJsonObject manifest);

private slots:
    void handleDownloaded(QByteArray file);
};
