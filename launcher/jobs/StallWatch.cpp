#include "jobs/StallWatch.h"

#include <QDebug>
#include <QNetworkReply>

namespace
{
// The bytes are sampled this many times per window, and each sample judges the window that ends with
// it, so a stall shows within a quarter of a window after a whole one has passed without enough.
constexpr int ticksPerWindow = 4;
} // namespace

StallWatch::StallWatch(QNetworkReply* reply, QString name, int windowMSecs, qint64 minimumBytes)
    : QObject(reply), reply(reply), name(std::move(name)), windowMSecs(windowMSecs), minimumBytes(minimumBytes)
{
    // Precise: a coarse timer may come early, and four early ticks would judge less than a window.
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(qMax(1, windowMSecs / ticksPerWindow));
    connect(&ticker, &QTimer::timeout, this, &StallWatch::check);
    connect(reply, &QNetworkReply::socketStartedConnecting, this, &StallWatch::begin);
    connect(reply, &QNetworkReply::requestSent, this, &StallWatch::begin);
    // Headers or bytes prove that the request has left Qt's queue too: the window is open from then at the
    // latest, should neither signal above have come.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        headersArrived = true;
        begin();
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 bytesReceived, qint64) {
        received = qMax(received, bytesReceived);
        begin();
    });
    connect(reply, &QNetworkReply::finished, &ticker, &QTimer::stop);
}

void StallWatch::begin()
{
    if (ticker.isActive() || reply->isFinished())
        return;
    clock.start();
    lastTickMSecs = 0;
    samples = {received};
    ticker.start();
}

void StallWatch::check()
{
    const qint64 now = clock.elapsed();
    const qint64 sinceTick = now - lastTickMSecs;
    lastTickMSecs = now;
    if (sinceTick > 2 * ticker.interval()) {
        // The event loop was held up: what arrived meanwhile may not have been counted yet.
        samples = {received};
        return;
    }
    samples.append(received);
    if (samples.size() <= ticksPerWindow)
        return;
    while (samples.size() > ticksPerWindow + 1)
        samples.removeFirst();
    if (received - samples.first() >= minimumBytes)
        return;

    ticker.stop();
    if (headersArrived)
        qDebug() << "Download of" << name << "timed out: fewer than" << minimumBytes << "bytes arrived within"
                 << windowMSecs << "ms.";
    else
        qDebug() << "Download of" << name << "timed out: no answer within" << windowMSecs << "ms.";
    reply->abort();
}
