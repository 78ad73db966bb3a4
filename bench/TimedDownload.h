#pragma once
// One download into memory through the launcher's own job, timed from the request to the last byte, for the
// download benchmarks.

#include "jobs/RetrieveFileJob.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>

// Nanoseconds from the start of the download of url (in parts, of size bytes, 0 when unknown) to the
// downloaded bytes; -1 when the download failed or brought another size than expectedBytes.
inline qint64 timedDownloadNSecs(QNetworkAccessManager* manager, const QString& url, const QString& label, int parts,
                                 qint64 size, qint64 expectedBytes)
{
    RetrieveFileJob job(manager, url, label, parts, size, nullptr);
    QEventLoop loop;
    bool ok = false;
    QObject::connect(&job, &RetrieveFileJob::downloaded, &loop, [&](const QByteArray& file) {
        ok = file.size() == expectedBytes;
        loop.quit();
    });
    QObject::connect(&job, &RetrieveFileJob::failed, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    job.go();
    loop.exec();
    return ok ? timer.nsecsElapsed() : -1;
}
