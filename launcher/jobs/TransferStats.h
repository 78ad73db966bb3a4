#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>
#include <functional>

// Rate and remaining-time estimate over a sliding window of progress samples, taken at most
// once per minimum interval. Embedded by value in each download owner (the download job, the
// repair job, the Updater's patch downloads) and never shared between them.
//
// Callers set their rate variable to 0 right before update(), so that a missing rate shows as 0:
//     qint64 rate = 0;
//     qint64 eta = rateEstimator.update(&rate, received, total);
//     const TransferInfoText text = transferInfoText(rate, received, total, eta);
class TransferRateEstimator
{
public:
    // Milliseconds since the epoch. Tests drive the estimator with a clock of their own; by
    // default it reads the wall clock.
    using Clock = std::function<qint64()>;

    TransferRateEstimator(qint64 windowMSecs = 10000, qint64 minIntervalMSecs = 200, Clock clock = {});

    // Remaining seconds, or -1 when no estimate can be given. The rate in bytes per second is
    // written through bytesPerSecondOut with every estimate and whenever the cached values are
    // returned; after a fresh sample that gives no estimate the caller's variable is left alone.
    // The rate written is never negative.
    qint64 update(qint64* bytesPerSecondOut, qint64 received, qint64 total);

private:
    // (time in milliseconds since the epoch, cumulative bytes received), oldest first.
    QList<QPair<qint64, qint64>> samples;
    qint64 windowMSecs = 10000;
    qint64 minIntervalMSecs = 200;
    qint64 lastSampleMSecs = 0;
    qint64 cachedETASeconds = 0;
    qint64 cachedBytesPerSecond = 0;
    Clock clock;
};

// "1024 B", "1 KiB", "1024 KiB", "1 MiB", ..., "4096 GiB": the largest unit whose power of 1024
// the count exceeds (plain bytes up to 1024), as a whole number rounded down.
QString formatBytes(qint64 bytes);

// "1 second", "59 seconds", "2 minutes", "25 hours": the largest whole unit; -1 is "Unknown time".
QString formatDuration(qint64 seconds);

// The two info lines of a transfer in progress.
struct TransferInfoText
{
    QString line1; // "<rate>/s - <done> / <total>"
    QString line2; // "<eta> remaining..."
};

TransferInfoText transferInfoText(qint64 bytesPerSecond, qint64 done, qint64 total, qint64 etaSeconds);
