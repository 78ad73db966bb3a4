#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

// Rate and remaining-time estimate over a sliding window of progress samples, taken at most
// once per minimum interval. Embedded by value in each download owner.
class TransferRateEstimator
{
public:
    TransferRateEstimator(qint64 windowMSecs, qint64 minIntervalMSecs)
        : windowMSecs(windowMSecs), minIntervalMSecs(minIntervalMSecs)
    {
    }

    // Remaining seconds, or -1 when no estimate can be given; writes the rate in bytes per
    // second through bytesPerSecondOut when it has one.
    qint64 update(qint64* bytesPerSecondOut, qint64 received, qint64 total);

private:
    QList<QPair<qint64, qint64>> samples;
    qint64 windowMSecs = 10000;
    qint64 minIntervalMSecs = 200;
    qint64 lastSampleMSecs = 0;
    qint64 cachedETASeconds = 0;
    qint64 cachedBytesPerSecond = 0;
};

QString formatBytes(qint64 bytes);
QString formatDuration(qint64 seconds);
