#include "jobs/TransferStats.h"

#include <QTest>

namespace
{
// Sentinel in the caller's rate variable: a step expecting it wants the variable left alone.
constexpr qint64 untouched = -7777;
constexpr qint64 t0 = 1700000000000;

struct Step
{
    qint64 atMSecs; // since t0
    qint64 received;
    qint64 total;
    qint64 eta;
    qint64 rate;
};
} // namespace

Q_DECLARE_METATYPE(Step)

class TestTransferStats : public QObject
{
    Q_OBJECT
private slots:
    void estimator_data();
    void estimator();
    void wallClockByDefault();
    void formatBytes_data();
    void formatBytes();
    void formatDuration_data();
    void formatDuration();
};

void TestTransferStats::estimator_data()
{
    QTest::addColumn<QList<Step>>("steps");

    QTest::newRow("first call has no estimate") << QList<Step>{{0, 500, 1000, -1, untouched}};
    QTest::newRow("steady rate, remaining time rounded up")
        << QList<Step>{{0, 0, 11000, -1, untouched}, {1000, 1000, 11000, 10, 1000}, {2000, 2500, 11000, 7, 1250}};
    QTest::newRow("calls within 200 ms hand out the cached estimate") << QList<Step>{{0, 0, 11000, -1, untouched},
                                                                                     {1000, 1000, 11000, 10, 1000},
                                                                                     {1100, 9000, 11000, 10, 1000},
                                                                                     {1200, 9000, 11000, 10, 1000},
                                                                                     {1201, 3402, 11000, 3, 2832}};
    QTest::newRow("cached values before any estimate are zero")
        << QList<Step>{{0, 0, 1000, -1, untouched}, {150, 900, 1000, 0, 0}};
    QTest::newRow("stalled window, then the last good estimate is cached")
        << QList<Step>{{0, 0, 11000, -1, untouched},
                       {1000, 1000, 11000, 10, 1000},
                       {12000, 1000, 11000, -1, untouched},
                       {12100, 1000, 11000, 10, 1000}};
    QTest::newRow("no progress over the whole window") << QList<Step>{
        {0, 500, 1000, -1, untouched}, {1000, 500, 1000, -1, untouched}, {2000, 500, 1000, -1, untouched}};
    QTest::newRow("rate below one byte per second caches rate 0 and the old time")
        << QList<Step>{{0, 0, 5000, -1, untouched},
                       {1000, 1000, 5000, 4, 1000},
                       {11000, 1000, 5000, -1, untouched},
                       {20500, 1005, 5000, -1, untouched},
                       {20600, 1005, 5000, 4, 0}};
    QTest::newRow("sample exactly one window old stays")
        << QList<Step>{{0, 0, 2000, -1, untouched}, {5000, 1000, 2000, 5, 200}, {10000, 1000, 2000, 10, 100}};
    QTest::newRow("sample older than the window is dropped")
        << QList<Step>{{0, 0, 2000, -1, untouched}, {5000, 1000, 2000, 5, 200}, {10201, 1000, 2000, -1, untouched}};
    QTest::newRow("complete at two bytes per second") << QList<Step>{{0, 0, 2, -1, untouched}, {1000, 2, 2, 1, 2}};
    QTest::newRow("complete at exactly one byte per second")
        << QList<Step>{{0, 0, 1, -1, untouched}, {1000, 1, 1, 0, 1}};
    QTest::newRow("received beyond total") << QList<Step>{{0, 0, 1000, -1, untouched}, {9000, 9000, 0, -8, 1000}};
    QTest::newRow("clock set back hands out cached values until it passes the newest sample")
        << QList<Step>{{0, 0, 11000, -1, untouched},
                       {1000, 1000, 11000, 10, 1000},
                       {500, 2000, 11000, 10, 1000},
                       {1200, 3000, 11000, 10, 1000},
                       {1201, 3000, 11000, 4, 2497}};
    // A part restarted from byte 0 makes the count fall below older samples; neither the
    // estimate nor the cache may ever carry a negative rate.
    QTest::newRow("restarted part gives no negative rate") << QList<Step>{{0, 4000, 20000, -1, untouched},
                                                                          {1000, 5000, 20000, 15, 1000},
                                                                          {2000, 1000, 20000, -1, untouched},
                                                                          {2100, 1000, 20000, 15, 1000},
                                                                          {3000, 3000, 20000, 9, 2000}};
}

void TestTransferStats::estimator()
{
    QFETCH(QList<Step>, steps);
    qint64 now = 0;
    TransferRateEstimator estimator(10000, 200, [&now] { return now; });
    for (int i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        now = t0 + step.atMSecs;
        qint64 rate = untouched;
        const qint64 eta = estimator.update(&rate, step.received, step.total);
        QVERIFY2(eta == step.eta && rate == step.rate,
                 qPrintable(QString("step %1: got eta %2 rate %3, want eta %4 rate %5")
                                .arg(i)
                                .arg(eta)
                                .arg(rate)
                                .arg(step.eta)
                                .arg(step.rate)));
    }
}

void TestTransferStats::wallClockByDefault()
{
    // Against the wall clock the first call must take a sample rather than answer from the
    // cache, as it would if the clock read near time 0.
    TransferRateEstimator estimator;
    qint64 rate = untouched;
    QCOMPARE(estimator.update(&rate, 10, 100), -1);
    QCOMPARE(rate, untouched);
}

void TestTransferStats::formatBytes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("negative") << qint64(-5) << "-5 B";
    QTest::newRow("zero") << qint64(0) << "0 B";
    QTest::newRow("1024 still bytes") << qint64(1024) << "1024 B";
    QTest::newRow("1025 is KiB") << qint64(1025) << "1 KiB";
    QTest::newRow("KiB rounds down") << qint64(2047) << "1 KiB";
    QTest::newRow("2^20 still KiB") << qint64(1048576) << "1024 KiB";
    QTest::newRow("2^20 + 1 is MiB") << qint64(1048577) << "1 MiB";
    QTest::newRow("2^30 still MiB") << qint64(1073741824) << "1024 MiB";
    QTest::newRow("2^30 + 1 is GiB") << qint64(1073741825) << "1 GiB";
    QTest::newRow("no unit above GiB") << qint64(4398046511104) << "4096 GiB";
}

void TestTransferStats::formatBytes()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(::formatBytes(bytes), text);
}

void TestTransferStats::formatDuration_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("unknown") << qint64(-1) << "Unknown time";
    QTest::newRow("other negative") << qint64(-8) << "1 second";
    QTest::newRow("zero") << qint64(0) << "1 second";
    QTest::newRow("one") << qint64(1) << "1 second";
    QTest::newRow("two") << qint64(2) << "2 seconds";
    QTest::newRow("59") << qint64(59) << "59 seconds";
    QTest::newRow("60") << qint64(60) << "1 minute";
    QTest::newRow("119") << qint64(119) << "1 minute";
    QTest::newRow("120") << qint64(120) << "2 minutes";
    QTest::newRow("3599") << qint64(3599) << "59 minutes";
    QTest::newRow("3600") << qint64(3600) << "1 hour";
    QTest::newRow("7199") << qint64(7199) << "1 hour";
    QTest::newRow("7200") << qint64(7200) << "2 hours";
    QTest::newRow("no unit above hours") << qint64(90000) << "25 hours";
}

void TestTransferStats::formatDuration()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(::formatDuration(seconds), text);
}

QTEST_GUILESS_MAIN(TestTransferStats)
#include "TestTransferStats.moc"
