#include "BuildCaCertificates.h"
#include "support/TestUpdateServer.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>

class TestBuildCaCertificates : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void serversAreTrustedThroughTheBuildCertificates_data();
    void serversAreTrustedThroughTheBuildCertificates();
};

void TestBuildCaCertificates::initTestCase()
{
    // Tests link the build settings that compile in the test CA.
    QFile caFile(QStringLiteral(TEST_CA_DIR) + "/ca.pem");
    QVERIFY(caFile.open(QIODevice::ReadOnly));
    const QList<QSslCertificate> testCa = QSslCertificate::fromData(caFile.readAll(), QSsl::Pem);
    QCOMPARE(testCa.size(), 1);

    QCOMPARE(installBuildCaCertificates(), 1);

    const QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    QVERIFY(config.caCertificates().contains(testCa.first()));
    QVERIFY(config.peerVerifyMode() != QSslSocket::VerifyNone);
}

void TestBuildCaCertificates::serversAreTrustedThroughTheBuildCertificates_data()
{
    QTest::addColumn<TestUpdateServer::Certificate>("certificate");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("signed by the build's CA") << TestUpdateServer::Certificate::Trusted << true;
    QTest::newRow("signed by a CA nobody trusts") << TestUpdateServer::Certificate::UnknownCa << false;
}

void TestBuildCaCertificates::serversAreTrustedThroughTheBuildCertificates()
{
    QFETCH(TestUpdateServer::Certificate, certificate);
    QFETCH(bool, trusted);
    TestUpdateServer server(TEST_CA_DIR);
    QVERIFY(server.start(0, certificate));
    const QString path = server.putFile("hello.txt", "hello");

    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(server.url(path))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(20000));
    QCOMPARE(reply->error() == QNetworkReply::NoError, trusted);
    QCOMPARE(reply->readAll(), trusted ? QByteArray("hello") : QByteArray());
    if (!trusted)
        QCOMPARE(reply->error(), QNetworkReply::SslHandshakeFailedError);
    reply->deleteLater();
}

QTEST_GUILESS_MAIN(TestBuildCaCertificates)
#include "TestBuildCaCertificates.moc"
