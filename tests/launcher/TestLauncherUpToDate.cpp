#include "support/FakeGame.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <functional>
#include <memory>
#include <sys/stat.h>

using GameContent::publishFile;

namespace
{
const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";
const QByteArray noFullPatchLine = "\x1b[1;37;41mUpdate Failed!\x1b[0m \x1b[1;31mDownload failed for patch 1!\x1b[0m\n";

QByteArray pattern(int size, char seed)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(seed + i * 13 + i / 509);
    return data;
}

// What identifies a file's content on disk: a rewrite, even of the same bytes, changes one of them.
struct FileStamp
{
    qint64 inode = -1;
    qint64 size = -1;
    qint64 modifiedNSecs = -1;
    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const QString& path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return {qint64(status.st_ino), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

// Whether every line of wanted appears in lines, in this order, with anything between them: the
// main thread and the hash job's thread write to the log side by side.
bool containsAsSubsequence(const QStringList& lines, const QStringList& wanted)
{
    qsizetype next = 0;
    for (const QString& line : lines) {
        if (next < wanted.size() && line == wanted[next])
            ++next;
    }
    return next == wanted.size();
}

qsizetype indexOfPrefix(const QStringList& lines, const QString& prefix)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith(prefix))
            return i;
    }
    return -1;
}

using ReceiptEdit = std::function<void(QJsonObject& receipt, QJsonArray& manifestFiles, const QString& installDir)>;
} // namespace

Q_DECLARE_METATYPE(ReceiptEdit)

// The road every start of the game takes, through the real launcher binary against the loopback
// update server: an install found up to date, and the order in which its receipt and the branch
// manifest arrive.
class TestLauncherUpToDate : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void receiptIsWrittenOnlyWhenItChanges_data();
    void receiptIsWrittenOnlyWhenItChanges();
    void receiptAndManifestArriveInEitherOrder_data();
    void receiptAndManifestArriveInEitherOrder();

private:
    std::unique_ptr<LauncherRoad> road;
};

void TestLauncherUpToDate::initTestCase()
{
    QVERIFY(!GameContent::b3sumHex("x").isEmpty());
}

void TestLauncherUpToDate::init()
{
    road = std::make_unique<LauncherRoad>();
    QVERIFY(road->isValid());
}

void TestLauncherUpToDate::cleanup()
{
    road.reset();
}

void TestLauncherUpToDate::receiptIsWrittenOnlyWhenItChanges_data()
{
    QTest::addColumn<ReceiptEdit>("edit");
    QTest::addColumn<bool>("rewritten");

    QTest::newRow("nothing changed") << ReceiptEdit([](QJsonObject&, QJsonArray&, const QString&) {}) << false;
    QTest::newRow("a file gone from the install and the manifest drops its record")
        << ReceiptEdit([](QJsonObject&, QJsonArray& files, const QString& installDir) {
               const QString path = files.at(7).toObject()["path"].toString();
               QVERIFY(QFile::remove(installDir + "/" + path));
               files.removeAt(7);
           })
        << true;
    QTest::newRow("a digest in upper case is written in lower case")
        << ReceiptEdit([](QJsonObject& receipt, QJsonArray&, const QString&) {
               QJsonArray records = receipt["gameFiles"].toArray();
               QJsonObject record = records.at(11).toObject();
               record["hash"] = record["hash"].toString().toUpper();
               records[11] = record;
               receipt["gameFiles"] = records;
           })
        << true;
    QTest::newRow("a receipt of another branch names this one")
        << ReceiptEdit([](QJsonObject& receipt, QJsonArray&, const QString&) { receipt["branch"] = "old"; }) << true;
}

// An install of thousands of files with the receipt its previous run wrote: nothing is hashed or
// downloaded and the game starts; the receipt file is left as it is unless what would be written
// differs from it.
void TestLauncherUpToDate::receiptIsWrittenOnlyWhenItChanges()
{
    QFETCH(ReceiptEdit, edit);
    QFETCH(bool, rewritten);

    constexpr int fileCount = 2000;
    for (int i = 0; i < fileCount; ++i) {
        QVERIFY(writeFile(QString("%1/Pelwinter/Content/D%2/S%3/f%4.uasset")
                              .arg(road->installDir())
                              .arg(i / 1000)
                              .arg(i / 100 % 10)
                              .arg(i),
                          pattern(100 + (i * 37) % 3000, char(i))));
    }
    FakeGame::install(road->installDir());
    // No blob may be asked for on this road: the manifest's resources are not published.
    QJsonArray files = GameContent::listInstalledFiles(road->installDir());
    QCOMPARE(files.size(), fileCount + 1);
    road->publishBranch("1.0", files);
    QVERIFY(road->writeReceipt("1.0"));
    QVERIFY(road->server().start(TEST_SERVER_PORT));

    // The first run hashes everything and writes the receipt with every record.
    LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QJsonObject receipt = road->readReceipt();
    QCOMPARE(receipt["gameFiles"].toArray().size(), fileCount + 1);

    const QJsonObject before = receipt;
    edit(receipt, files, road->installDir());
    if (receipt != before)
        QVERIFY(road->writeReceipt(receipt));
    road->publishBranch("1.0", files);
    const QByteArray content = readFile(road->receiptPath());
    const FileStamp stamp = stampOf(road->receiptPath());

    run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());
    QCOMPARE(road->server().blobRequests(), QStringList());
    const QStringList log = road->logMessages();
    QVERIFY(log.contains("Found 0 game files that require hashing."));
    QVERIFY(log.contains("All files validated successfully."));
    QVERIFY(log.contains("Saved install receipt."));

    if (!rewritten) {
        QVERIFY(stampOf(road->receiptPath()) == stamp);
        QCOMPARE(readFile(road->receiptPath()), content);
        return;
    }
    QVERIFY(!(stampOf(road->receiptPath()) == stamp));
    // Written whole, as the launcher writes it: what a run from scratch would write for this install.
    const QByteArray written = readFile(road->receiptPath());
    const QJsonObject saved = QJsonDocument::fromJson(written).object();
    QCOMPARE(written, QJsonDocument(saved).toJson(QJsonDocument::Indented));
    QCOMPARE(saved["branch"].toString(), QString("main"));
    QCOMPARE(saved["version"].toString(), QString("1.0"));
    const QJsonArray records = saved["gameFiles"].toArray();
    QCOMPARE(records.size(), files.size());
    QHash<QString, QString> digests;
    for (const QJsonValue& file : std::as_const(files))
        digests.insert(file.toObject()["path"].toString(), file.toObject()["validation_hash"].toString());
    for (const QJsonValue& record : records)
        QCOMPARE(record.toObject()["hash"].toString(), digests.value(record.toObject()["path"].toString()));
}

void TestLauncherUpToDate::receiptAndManifestArriveInEitherOrder_data()
{
    QTest::addColumn<bool>("receiptExists");
    QTest::addColumn<QByteArray>("receipt");
    QTest::addColumn<QString>("delayed");
    QTest::addColumn<QString>("localManifestLine");
    QTest::addColumn<QByteArray>("outcome");

    const QString notFound = "Skipping local version manifest retrieval due to being unable to find it inside the "
                             "branch manifest.";
    const QString noReceipt = "Skipping local version manifest retrieval due to no install receipt being present.";
    const struct
    {
        const char* name;
        bool exists;
        QByteArray content;
        QString localManifestLine;
        QByteArray outcome;
    } receipts[] = {
        {"valid receipt", true, R"({"version": "1.0", "branch": "main"})", "Successfully retrieved local manifest.",
         doneLine},
        {"damaged receipt", true, R"({"version": "1.0", "gameF)", notFound, noFullPatchLine},
        {"empty receipt", true, "", notFound, noFullPatchLine},
        {"no receipt", false, "", noReceipt, noFullPatchLine},
    };
    for (const auto& row : receipts) {
        for (const char* delayed : {"receipt", "manifest"}) {
            QTest::addRow("%s, %s parsed last", row.name, delayed)
                << row.exists << row.content << QString(delayed) << row.localManifestLine << row.outcome;
        }
    }
}

// The receipt is parsed while the branch manifest downloads and is parsed in its turn; whichever
// comes last, the run goes through the same stages with the same lines to the same end.
void TestLauncherUpToDate::receiptAndManifestArriveInEitherOrder()
{
    QFETCH(bool, receiptExists);
    QFETCH(QByteArray, receipt);
    QFETCH(QString, delayed);
    QFETCH(QString, localManifestLine);
    QFETCH(QByteArray, outcome);

    const QString game = FakeGame::install(road->installDir());
    QJsonArray files{publishFile(road->server(), QDir(road->installDir()).relativeFilePath(game), readFile(game))};
    for (int i = 0; i < 3; ++i) {
        const QString path = QString("Pelwinter/Content/f%1.pak").arg(i);
        const QByteArray content = pattern(5000 + i, char('a' + i));
        QVERIFY(writeFile(road->installDir() + "/" + path, content));
        files.append(publishFile(road->server(), path, content));
    }
    road->publishBranch("1.0", files);
    if (receiptExists)
        QVERIFY(writeFile(road->receiptPath(), receipt));
    road->setEnv(delayed == "receipt" ? "PELWINTER_TEST_RECEIPT_PARSE_DELAY_MS"
                                      : "PELWINTER_TEST_MANIFEST_PARSE_DELAY_MS",
                 "400");
    QVERIFY(road->server().start(TEST_SERVER_PORT));

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(outcome), run.out.constData());
    QCOMPARE(road->gameStarted(), outcome == doneLine);

    const QStringList log = road->logMessages();
    QStringList stages{"******* 1 / 3 DOWNLOAD MANIFEST & START HASH JOBS *******",
                       "Manifest retrieved successfully.",
                       "******* 2 / 3 CHECK LAUNCHER & DOWNLOAD VERSION INFO *******",
                       localManifestLine,
                       "Checking if the launcher needs to self-update.",
                       "Launcher is up to date.",
                       "******* 3 / 3 PATCH GAME *******"};
    if (outcome == doneLine)
        stages << "All files validated successfully."
               << "Saved install receipt.";
    QVERIFY2(containsAsSubsequence(log, stages), qPrintable(log.join('\n')));
    QCOMPARE(log.count("******* 2 / 3 CHECK LAUNCHER & DOWNLOAD VERSION INFO *******"), 1);
    QCOMPARE(log.count("******* 3 / 3 PATCH GAME *******"), 1);
    QVERIFY(log.contains(QString("Found %1 game files that require hashing.").arg(files.size())));

    // The hash job matches its walk once it has the receipt's records: a receipt held back puts
    // that after the manifest's arrival, a manifest held back before it.
    const qsizetype matched = indexOfPrefix(log, "Found ");
    const qsizetype manifestArrived = log.indexOf("Manifest retrieved successfully.");
    QVERIFY(matched >= 0 && manifestArrived >= 0);
    QCOMPARE(matched > manifestArrived, delayed == "receipt");
}

QTEST_GUILESS_MAIN(TestLauncherUpToDate)
#include "TestLauncherUpToDate.moc"
