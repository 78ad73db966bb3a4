#include "updater/ServerFormats.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace
{
QJsonValue jsonValue(const QByteArray& text)
{
    // Wrapping lets a row give any JSON value, not only objects.
    return QJsonDocument::fromJson("{\"v\": " + text + "}").object()["v"];
}
} // namespace

class TestServerFormats : public QObject
{
    Q_OBJECT
private slots:
    void addresses();
    void intReading_data();
    void intReading();
    void blobResource_data();
    void blobResource();
    void findPatchTreeNode_data();
    void findPatchTreeNode();
};

void TestServerFormats::addresses()
{
    const QString base = "https://127.0.0.1:1/update";
    QCOMPARE(branchManifestUrl(base, "Beta-Test", "linux"), base + "/manifest-beta-test-linux.json");
    QCOMPARE(blobUrl(base, "AbC123"), base + "/blobs/AbC123");
    QCOMPARE(BlobResource::fromJson(jsonValue(R"({"hash": "Ff00"})")).url(base), base + "/blobs/Ff00");
}

void TestServerFormats::intReading_data()
{
    // The launcher version numbers and "parts" are read with toInt and a default.
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("value");
    QTest::newRow("whole number") << QByteArray("6") << 6;
    QTest::newRow("whole number written as fraction") << QByteArray("7.0") << 7;
    QTest::newRow("negative whole number") << QByteArray("-3") << -3;
    QTest::newRow("fraction gives default") << QByteArray("6.5") << 5;
    QTest::newRow("beyond 32 bits gives default") << QByteArray("2147483648") << 5;
    QTest::newRow("digits as text give default") << QByteArray("\"6\"") << 5;
    QTest::newRow("null gives default") << QByteArray("null") << 5;
    QTest::newRow("boolean gives default") << QByteArray("true") << 5;
}

void TestServerFormats::intReading()
{
    QFETCH(QByteArray, json);
    QFETCH(int, value);
    QCOMPARE(jsonValue(json).toInt(5), value);
}

void TestServerFormats::blobResource_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("isObject");
    QTest::addColumn<bool>("hashIsString");
    QTest::addColumn<QString>("hash");
    QTest::addColumn<int>("parts");
    QTest::addColumn<qint64>("size");

    QTest::newRow("plain") << QByteArray(R"({"hash": "ab12", "parts": 3, "size": 1234})") << true << true << "ab12" << 3
                           << qint64(1234);
    QTest::newRow("size of 2^31 is kept") << QByteArray(R"({"hash": "a", "parts": 1, "size": 2147483648})") << true
                                          << true << "a" << 1 << qint64(2147483648);
    QTest::newRow("size of 5 GiB is kept") << QByteArray(R"({"hash": "a", "parts": 8, "size": 5368709120})") << true
                                           << true << "a" << 8 << qint64(5368709120);
    QTest::newRow("size with exponent") << QByteArray(R"({"hash": "a", "parts": 1, "size": 1e3})") << true << true
                                        << "a" << 1 << qint64(1000);
    QTest::newRow("fractional size reads 0")
        << QByteArray(R"({"hash": "a", "parts": 1, "size": 12.5})") << true << true << "a" << 1 << qint64(0);
    QTest::newRow("negative size reads 0")
        << QByteArray(R"({"hash": "a", "parts": 1, "size": -5})") << true << true << "a" << 1 << qint64(0);
    QTest::newRow("size as text reads 0")
        << QByteArray(R"({"hash": "a", "parts": 1, "size": "1234"})") << true << true << "a" << 1 << qint64(0);
    QTest::newRow("size beyond 64 bits reads 0")
        << QByteArray(R"({"hash": "a", "parts": 1, "size": 1e20})") << true << true << "a" << 1 << qint64(0);
    QTest::newRow("fractional parts read 0")
        << QByteArray(R"({"hash": "a", "parts": 2.5})") << true << true << "a" << 0 << qint64(0);
    QTest::newRow("parts beyond 32 bits read 0")
        << QByteArray(R"({"hash": "a", "parts": 4294967297})") << true << true << "a" << 0 << qint64(0);
    QTest::newRow("negative parts kept") << QByteArray(R"({"hash": "a", "parts": -2})") << true << true << "a" << -2
                                         << qint64(0);
    QTest::newRow("numeric hash is no string")
        << QByteArray(R"({"hash": 12, "parts": 1})") << true << false << "" << 1 << qint64(0);
    QTest::newRow("no keys") << QByteArray("{}") << true << false << "" << 0 << qint64(0);
    QTest::newRow("array is no object") << QByteArray(R"([{"hash": "a"}])") << false << false << "" << 0 << qint64(0);
    QTest::newRow("absent value") << QByteArray("null") << false << false << "" << 0 << qint64(0);
}

void TestServerFormats::blobResource()
{
    QFETCH(QByteArray, json);
    const BlobResource blob = BlobResource::fromJson(jsonValue(json));
    QTEST(blob.isObject, "isObject");
    QTEST(blob.hashIsString, "hashIsString");
    QTEST(blob.hash, "hash");
    QTEST(blob.parts, "parts");
    QTEST(blob.size, "size");
}

void TestServerFormats::findPatchTreeNode_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QByteArray>("found");

    const QByteArray nodes = R"({"patch_tree_nodes": [
        7,
        {"version": 3, "target": "numeric"},
        {"version": "1.0", "target": "first"},
        {"version": "1.0", "target": "second"},
        {"version": "", "target": "empty"},
        {"version": "Beta", "target": "beta"}
    ]})";
    QTest::newRow("first of two equal versions")
        << nodes << "1.0" << QByteArray(R"({"version": "1.0", "target": "first"})");
    QTest::newRow("numeric version never matches") << nodes << "3" << QByteArray("{}");
    QTest::newRow("comparison is case-sensitive") << nodes << "beta" << QByteArray("{}");
    QTest::newRow("exact label") << nodes << "Beta" << QByteArray(R"({"version": "Beta", "target": "beta"})");
    QTest::newRow("no ordering of labels") << nodes << "1.00" << QByteArray("{}");
    QTest::newRow("empty version matches empty label")
        << nodes << "" << QByteArray(R"({"version": "", "target": "empty"})");
    QTest::newRow("nodes given as an object")
        << QByteArray(R"({"patch_tree_nodes": {"a": {"version": "1.0"}}})") << "1.0" << QByteArray("{}");
    QTest::newRow("no nodes") << QByteArray("{}") << "" << QByteArray("{}");
}

void TestServerFormats::findPatchTreeNode()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, version);
    QFETCH(QByteArray, found);
    QCOMPARE(::findPatchTreeNode(QJsonDocument::fromJson(manifest).object(), version),
             QJsonDocument::fromJson(found).object());
}

QTEST_GUILESS_MAIN(TestServerFormats)
#include "TestServerFormats.moc"
