#include "TransferStats.h"

#include <QDateTime>

TransferRateEstimator::TransferRateEstimator(qint64 windowMSecs, qint64 minIntervalMSecs, Clock clock)
    : windowMSecs(windowMSecs), minIntervalMSecs(minIntervalMSecs), clock(std::move(clock))
{
    if (!this->clock)
        this->clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

qint64 TransferRateEstimator::update(qint64* bytesPerSecondOut, qint64 received, qint64 total)
{
    const qint64 now = clock();

    // Progress arrives far more often than the display needs; between samples only the last
    // estimate is handed out. A clock set back also lands here until it passes the newest sample.
    if (lastSampleMSecs + minIntervalMSecs >= now) {
        *bytesPerSecondOut = cachedBytesPerSecond;
        return cachedETASeconds;
    }

    lastSampleMSecs = now;
    samples.append({now, received});

    // A download that restarts a part (or a file) from byte 0 makes the received count fall.
    // Samples taken before that no longer describe this transfer and would give a negative
    // rate, so the window starts again from the first sample not ahead of the current count.
    qsizetype keepFrom = 0;
    for (qsizetype i = 0; i < samples.size(); ++i) {
        if (samples[i].first < now - windowMSecs || samples[i].second > received)
            keepFrom = i + 1;
    }
    samples.remove(0, keepFrom); // the sample just taken always stays

    const qint64 byteDelta = samples.last().second - samples.first().second;
    const qint64 timeDelta = samples.last().first - samples.first().first;
    if (byteDelta <= 0 || timeDelta <= 0)
        return -1;

    const qint64 rate = byteDelta * 1000 / timeDelta;
    cachedBytesPerSecond = rate;
    if (rate <= 0)
        return -1;

    cachedETASeconds = (total - received - 1) / rate + 1;
    *bytesPerSecondOut = rate;
    return cachedETASeconds;
}

QString formatBytes(qint64 bytes)
{
    if (bytes > (Q_INT64_C(1) << 30))
        return QString::number(bytes >> 30) + " GiB";
    if (bytes > (Q_INT64_C(1) << 20))
        return QString::number(bytes >> 20) + " MiB";
    if (bytes <= 1024)
        return QString::number(bytes) + " B";
    return QString::number(bytes >> 10) + " KiB";
}

QString formatDuration(qint64 seconds)
{
    if (seconds == -1)
        return "Unknown time";
    if (seconds <= 1)
        return "1 second";
    if (seconds < 60)
        return QString::number(seconds) + " seconds";
    if (seconds < 3600) {
        const qint64 minutes = seconds / 60;
        return QString::number(minutes) + (minutes == 1 ? " minute" : " minutes");
    }
    const qint64 hours = seconds / 3600;
    return QString::number(hours) + (hours == 1 ? " hour" : " hours");
}

TransferInfoText transferInfoText(qint64 bytesPerSecond, qint64 done, qint64 total, qint64 etaSeconds)
{
    return {formatBytes(bytesPerSecond) + "/s - " + formatBytes(done) + " / " + formatBytes(total),
            formatDuration(etaSeconds) + " remaining..."};
}
