#include "BuildCaCertificates.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>

class TestBuildCaCertificates : public QObject
{
    Q_OBJECT
private slots:
    void addsBuildCertificatesToTheSystemRoots();
};

void TestBuildCaCertificates::addsBuildCertificatesToTheSystemRoots()
{
    // Tests link the build settings that compile in the test CA.
    QFile caFile(QStringLiteral(TEST_CA_DIR) + "/ca.pem");
    QVERIFY(caFile.open(QIODevice::ReadOnly));
    const QList<QSslCertificate> testCa = QSslCertificate::fromData(caFile.readAll(), QSsl::Pem);
    QCOMPARE(testCa.size(), 1);
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();

    QCOMPARE(installBuildCaCertificates(), 1);

    // What waits for the certificates sees them all in place.
    QList<QSslCertificate> seenByWaiter;
    int calls = 0;
    QObject context;
    whenBuildCaCertificatesInstalled(&context, [&] {
        ++calls;
        seenByWaiter = QSslConfiguration::defaultConfiguration().caCertificates();
    });
    QVERIFY(QTest::qWaitFor([&] { return calls == 1; }, 10000));

    waitForBuildCaCertificates();
    const QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    const QList<QSslCertificate> trusted = config.caCertificates();
    QCOMPARE(seenByWaiter, trusted);
    QVERIFY(trusted.contains(testCa.first()));
    for (const QSslCertificate& root : system)
        QVERIFY2(trusted.contains(root), qPrintable(root.subjectDisplayName()));
    QVERIFY(config.peerVerifyMode() != QSslSocket::VerifyNone);

    // Once they are in place, nothing waits.
    whenBuildCaCertificatesInstalled(&context, [&] { ++calls; });
    QCOMPARE(calls, 2);
}

QTEST_GUILESS_MAIN(TestBuildCaCertificates)
#include "TestBuildCaCertificates.moc"
