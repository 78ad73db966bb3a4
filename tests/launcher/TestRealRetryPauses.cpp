// The launcher's real retry pauses, which every other test sees shortened: this program links the
// build settings of the launcher players run. One download that never succeeds is enough: ten
// attempts, the n-th failure followed by a pause of n times 100 ms.

#include "jobs/RetrieveFileJob.h"
#include "support/TestUpdateServer.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

class TestRealRetryPauses : public QObject
{
    Q_OBJECT
private slots:
    void exhaustedDownloadWaitsTheRealPauses();
};

void TestRealRetryPauses::exhaustedDownloadWaitsTheRealPauses()
{
    QVERIFY(TestUpdateServer::trustTestCa(TEST_CA_DIR));
    TestUpdateServer server(TEST_CA_DIR);
    QVERIFY(server.start());
    const QString path = server.putBlob("unavailable", "x");
    server.setFaults(path, {{.status = 503}});

    QNetworkAccessManager networkManager;
    RetrieveFileJob job(&networkManager, server.url(path), "Patch 0", 1, 1, nullptr);
    QSignalSpy failed(&job, &RetrieveFileJob::failed);
    job.go();
    QVERIFY(failed.wait(30000));

    const QList<TestUpdateServer::Request> requests = server.requestsFor(path);
    QCOMPARE(requests.size(), 10);
    for (int n = 1; n < requests.size(); ++n) {
        const double gap = requests[n].timeMSecs - requests[n - 1].timeMSecs;
        QVERIFY2(gap >= n * 100 - 1,
                 qPrintable(QString("attempt %1 came %2 ms after the one before").arg(n + 1).arg(gap)));
    }
    // 100 + 200 + ... + 900 ms of pauses, and not much more: no pause is longer than it should be.
    const double total = requests.last().timeMSecs - requests.first().timeMSecs;
    QVERIFY2(total < 4500 + 2500, qPrintable(QString::number(total)));
}

QTEST_GUILESS_MAIN(TestRealRetryPauses)
#include "TestRealRetryPauses.moc"
