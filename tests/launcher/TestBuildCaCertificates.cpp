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

    const QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    const QList<QSslCertificate> trusted = config.caCertificates();
    QVERIFY(trusted.contains(testCa.first()));
    for (const QSslCertificate& root : system)
        QVERIFY2(trusted.contains(root), qPrintable(root.subjectDisplayName()));
    QVERIFY(config.peerVerifyMode() != QSslSocket::VerifyNone);
}

QTEST_GUILESS_MAIN(TestBuildCaCertificates)
#include "TestBuildCaCertificates.moc"
