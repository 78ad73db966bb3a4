#include "support/FakeGame.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherSandbox.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <memory>

using GameContent::publishFile;

namespace
{
const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";

QByteArray failureLine(const QString& title, const QString& error)
{
    return ("\x1b[1;37;41m" + title + "\x1b[0m \x1b[1;31m" + error + "\x1b[0m\n").toUtf8();
}

QByteArray pattern(int size, char seed)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(seed + i * 13 + i / 509);
    return data;
}
} // namespace

// The launcher's real runs, end to end: the test build of the launcher against the loopback
// update server, in a private data directory, with a stand-in game that records how it was started.
class TestLauncherRoads : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void startsTheInstalledGameWithoutAServer();
    void launchesAValidInstallAndReusesItsDigests();
    void repairsBrokenFilesFromTheirBlobs();
    void reinstallsWhenBrokenFilesOutweighTheFullPatch();
    void launcherVersionDecidesTheRun_data();
    void launcherVersionDecidesTheRun();
    void unreadableInstallEndsTheRun();
    void fetchesTheInstalledVersionsManifestInParts();
    void refusesManifestPathsOutsideTheInstall();
    void stopsAtAPatchTreeThatLoops();
    void installsWithoutAReceipt();
    void upToDateRunOfThousandsOfFilesHashesNothing();

private:
    QString installDir() const { return sandbox->installDir("main"); }
    QString receiptPath() const { return installDir() + ".json"; }
    // Writes content into the install and publishes it as the manifest entry for path.
    QJsonObject installedFile(const QString& path, const QByteArray& content, int parts = 1);
    // Installs the stand-in game and publishes it, so the game is part of the manifest too.
    QJsonObject installedGame();
    QJsonObject branchManifest(const QString& version, const QJsonArray& files, qint64 fullPatchSize = 1 << 30,
                               const QJsonArray& nodes = {}) const;
    void publishBranch(const QJsonObject& manifest);
    void writeReceipt(const QJsonObject& receipt);
    QJsonObject readReceipt() const;
    LauncherSandbox::Result runLauncher();
    // The game starts detached and may write its record a moment after the launcher ended.
    bool gameStarted(int waitMSecs = 5000) const;
    QString gameRecord() const { return sandbox->root() + "/game.record"; }

    std::unique_ptr<TestUpdateServer> server;
    std::unique_ptr<LauncherSandbox> sandbox;
};

void TestLauncherRoads::initTestCase()
{
    QVERIFY(!GameContent::b3sumHex("x").isEmpty());
    server = std::make_unique<TestUpdateServer>(TEST_CA_DIR);
    QVERIFY(server->start(TEST_SERVER_PORT));
}

void TestLauncherRoads::cleanupTestCase()
{
    server.reset();
}

void TestLauncherRoads::init()
{
    // One server for every test, emptied for each; started again after a test that stopped it.
    if (server->port() == 0)
        QVERIFY(server->start(TEST_SERVER_PORT));
    server->reset();
    sandbox = std::make_unique<LauncherSandbox>();
    QVERIFY(sandbox->isValid());
    sandbox->setEnv("FAKE_GAME_RECORD", gameRecord());
}

void TestLauncherRoads::cleanup()
{
    sandbox.reset();
}

QJsonObject TestLauncherRoads::installedFile(const QString& path, const QByteArray& content, int parts)
{
    writeFile(installDir() + "/" + path, content);
    return publishFile(*server, path, content, parts);
}

QJsonObject TestLauncherRoads::installedGame()
{
    const QString game = FakeGame::install(installDir());
    return publishFile(*server, QDir(installDir()).relativeFilePath(game), readFile(game));
}

QJsonObject TestLauncherRoads::branchManifest(const QString& version, const QJsonArray& files, qint64 fullPatchSize,
                                              const QJsonArray& nodes) const
{
    return QJsonObject{
        {"current_game_manifest", QJsonObject{{"version", version}, {"files", files}}},
        {"launcher_version", QJsonObject{{"required", 5}, {"latest", 5}}},
        {"patch_tree_nodes", nodes},
        {"current_full_patch_resource", QJsonObject{{"hash", "fullpatch"}, {"parts", 1}, {"size", fullPatchSize}}},
    };
}

void TestLauncherRoads::publishBranch(const QJsonObject& manifest)
{
    server->putFile("manifest-main-linux.json", QJsonDocument(manifest).toJson());
}

void TestLauncherRoads::writeReceipt(const QJsonObject& receipt)
{
    writeFile(receiptPath(), QJsonDocument(receipt).toJson());
}

QJsonObject TestLauncherRoads::readReceipt() const
{
    return QJsonDocument::fromJson(readFile(receiptPath())).object();
}

LauncherSandbox::Result TestLauncherRoads::runLauncher()
{
    QFile::remove(gameRecord());
    server->clearRequestLog();
    LauncherSandbox::Result result = sandbox->run(TEST_LAUNCHER_BINARY, {}, 60000);
    // Every road ends through the front end's quit: a crash or a hang is a fault of its own.
    if (result.exitStatus != QProcess::NormalExit || result.exitCode != 0)
        result.finished = false;
    return result;
}

bool TestLauncherRoads::gameStarted(int waitMSecs) const
{
    return FakeGame::readRecord(gameRecord(), waitMSecs).found;
}

void TestLauncherRoads::startsTheInstalledGameWithoutAServer()
{
    server->stop();
    installedGame();
    writeReceipt({{"version", "1.0"}});

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(gameStarted());
    QVERIFY(sandbox->logMessages().contains("Failed to retrieve manifest."));
}

void TestLauncherRoads::launchesAValidInstallAndReusesItsDigests()
{
    const QJsonArray files{installedGame(), installedFile("Pelwinter/Content/a.pak", pattern(70000, 'a')),
                           installedFile("Pelwinter/Content/sub/b.pak", pattern(100, 'b'))};
    writeFile(installDir() + "/Saved/settings.ini", "not in the manifest");
    publishBranch(branchManifest("1.0", files));
    writeReceipt({{"version", "1.0"}, {"branch", "old"}, {"written by", QJsonObject{{"another", "program"}}}});

    LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(gameStarted());
    QCOMPARE(server->blobRequests(), QStringList());
    QStringList log = sandbox->logMessages();
    QVERIFY(log.contains("Successfully retrieved local manifest."));
    QVERIFY(log.contains("All files validated successfully."));

    // The receipt is indented JSON with the version, the branch and one record per file, and keeps
    // the keys the launcher doesn't know.
    const QByteArray receiptText = readFile(receiptPath());
    QVERIFY(receiptText.contains("\n    \"version\": \"1.0\""));
    const QJsonObject receipt = readReceipt();
    QCOMPARE(receipt["version"].toString(), QString("1.0"));
    QCOMPARE(receipt["branch"].toString(), QString("main"));
    QCOMPARE(receipt["written by"].toObject()["another"].toString(), QString("program"));
    const QJsonArray records = receipt["gameFiles"].toArray();
    QCOMPARE(records.size(), 4);
    for (const QJsonValue& value : files) {
        const QJsonObject entry = value.toObject();
        bool recorded = false;
        for (const QJsonValue& record : records)
            recorded |= record["path"] == entry["path"] && record["hash"] == entry["validation_hash"];
        QVERIFY2(recorded, qPrintable(entry["path"].toString()));
    }

    run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(gameStarted());
    log = sandbox->logMessages();
    QVERIFY(log.contains("Found 0 game files that require hashing."));
    QVERIFY(log.contains("Found 4 game files that are unchanged from last hash run."));
    QCOMPARE(server->blobRequests(), QStringList());
}

void TestLauncherRoads::repairsBrokenFilesFromTheirBlobs()
{
    const QByteArray small = pattern(5000, 's');
    const QByteArray large = pattern(300000, 'l');
    const QByteArray fresh = pattern(1234, 'f');
    QJsonObject smallEntry = installedFile("Pelwinter/Content/small.pak", small);
    QJsonObject largeEntry = installedFile("Pelwinter/Content/large.pak", large, 3);
    QJsonObject missingEntry = publishFile(*server, "Pelwinter/Content/New/Deep/fresh.pak", fresh);
    const QJsonObject intact = installedFile("Pelwinter/Content/intact.pak", pattern(800, 'i'));
    const QJsonArray files{installedGame(), smallEntry, largeEntry, missingEntry, intact};
    writeFile(installDir() + "/Pelwinter/Content/small.pak", "garbage");
    QByteArray damaged = large;
    damaged[150000] = char(damaged[150000] ^ 1);
    writeFile(installDir() + "/Pelwinter/Content/large.pak", damaged);

    publishBranch(branchManifest("1.0", files));
    writeReceipt({{"version", "1.0"}});

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(gameStarted());

    const QString largeBlob = largeEntry["resource"].toObject()["hash"].toString();
    QStringList expected{smallEntry["resource"].toObject()["hash"].toString(), largeBlob + "_0", largeBlob + "_1",
                         largeBlob + "_2", missingEntry["resource"].toObject()["hash"].toString()};
    expected.sort();
    QCOMPARE(server->blobRequests(), expected);
    for (const QJsonValue& value : files) {
        const QJsonObject entry = value.toObject();
        const QString path = installDir() + "/" + entry["path"].toString();
        QCOMPARE(GameContent::b3sumHex(readFile(path)), entry["validation_hash"].toString());
    }
    QVERIFY(sandbox->logMessages().contains("All repair jobs finished."));
}

void TestLauncherRoads::reinstallsWhenBrokenFilesOutweighTheFullPatch()
{
    const QJsonObject broken = installedFile("Pelwinter/Content/a.pak", pattern(50000, 'x'));
    const QJsonArray files{installedGame(), broken};
    writeFile(installDir() + "/Pelwinter/Content/a.pak", "broken");
    const qint64 brokenSize = broken["resource"].toObject()["size"].toInteger();
    publishBranch(branchManifest("1.0", files, brokenSize - 1));
    writeReceipt({{"version", "1.0"}});

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QVERIFY(sandbox->logMessages().contains(
        "Broken files are larger than full patch resource, discarding previous install."));
    QVERIFY(!gameStarted(500));
    // No file is repaired; the full patch is not on the server, so every try of its download fails,
    // and an install is never discarded for a full patch that did not arrive.
    QCOMPARE(server->blobRequests(), QStringList(10, "fullpatch"));
    QCOMPARE(readFile(installDir() + "/Pelwinter/Content/a.pak"), QByteArray("broken"));
    QVERIFY(QFileInfo::exists(FakeGame::executablePath(installDir())));
}

void TestLauncherRoads::launcherVersionDecidesTheRun_data()
{
    QTest::addColumn<int>("required");
    QTest::addColumn<int>("latest");
    QTest::addColumn<bool>("launches");

    QTest::newRow("newer launcher required") << 6 << 6 << false;
    QTest::newRow("newer launcher offered") << 5 << 6 << true;
}

void TestLauncherRoads::launcherVersionDecidesTheRun()
{
    QFETCH(int, required);
    QFETCH(int, latest);
    QFETCH(bool, launches);

    const QJsonObject broken = installedFile("Pelwinter/Content/a.pak", pattern(2000, 'v'));
    writeFile(installDir() + "/Pelwinter/Content/a.pak", "broken");
    QJsonObject manifest = branchManifest("1.0", {installedGame(), broken});
    manifest["launcher_version"] = QJsonObject{{"required", required}, {"latest", latest}};
    publishBranch(manifest);
    writeReceipt({{"version", "1.0"}});

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    const QStringList log = sandbox->logMessages();
    if (launches) {
        QVERIFY(run.out.contains("An optional launcher update is available.\n"));
        QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
        QVERIFY(gameStarted());
        QCOMPARE(server->blobRequests(), QStringList{broken["resource"].toObject()["hash"].toString()});
    } else {
        QVERIFY2(run.out.endsWith(failureLine("Launcher out of date.", "Please update the launcher.")),
                 run.out.constData());
        QVERIFY(!gameStarted(500));
        // The answer waits for the hashing, but nothing is checked, repaired or downloaded.
        QVERIFY(log.contains("Game file hash job finished, 2 files hashed."));
        QVERIFY(!log.contains("Validating existing install against local manifest."));
        QCOMPARE(server->blobRequests(), QStringList());
    }
}

void TestLauncherRoads::unreadableInstallEndsTheRun()
{
    const QJsonArray files{installedGame()};
    QVERIFY(QDir().mkpath(sandbox->root() + "/elsewhere"));
    QVERIFY(QFile::link(sandbox->root() + "/elsewhere", installDir() + "/Pelwinter/Linked"));
    publishBranch(branchManifest("1.0", files));
    writeReceipt({{"version", "1.0"}});

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(failureLine("Init Failed!", "The following files could not be read:\n" + installDir() +
                                                              "/Pelwinter/Linked")),
             run.out.constData());
    QVERIFY(!gameStarted(500));
    QCOMPARE(server->blobRequests(), QStringList());
}

void TestLauncherRoads::fetchesTheInstalledVersionsManifestInParts()
{
    const QJsonArray files{installedGame(), installedFile("Pelwinter/Content/a.pak", pattern(3000, 'm'))};
    const QByteArray localManifest = QJsonDocument(QJsonObject{{"version", "0.9"}, {"files", files}}).toJson();
    server->putBlob("manifest09", localManifest, 2);
    const QJsonArray nodes{QJsonObject{
        {"version", "0.9"},
        {"manifest_resource", QJsonObject{{"hash", "manifest09"}, {"parts", 2}, {"size", localManifest.size()}}},
        {"patch_resource", QJsonObject{{"hash", "patch09"}, {"parts", 1}, {"size", 100}}},
        {"target", "1.0"},
    }};
    publishBranch(branchManifest("1.0", {}, 1 << 30, nodes));
    writeReceipt({{"version", "0.9"}});

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    // The install is valid at 0.9 and one patch leads on, which the server does not have.
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QCOMPARE(server->blobRequests(), QStringList({"manifest09_0", "manifest09_1"}) + QStringList(10, "patch09"));
    const QStringList log = sandbox->logMessages();
    QVERIFY(log.contains("Successfully retrieved local manifest."));
    QVERIFY(log.contains("All files validated successfully."));
    QCOMPARE(readReceipt()["version"].toString(), QString("0.9"));
}

void TestLauncherRoads::refusesManifestPathsOutsideTheInstall()
{
    const QString outside = sandbox->root() + "/outside.txt";
    writeFile(outside, "user data");
    const QJsonArray files{installedGame(), publishFile(*server, "../../../../outside.txt", "launcher data"),
                           publishFile(*server, sandbox->root() + "/absolute.txt", "launcher data")};
    publishBranch(branchManifest("1.0", files));
    writeReceipt({{"version", "1.0"}});

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    // Such an install can only be made valid by a fresh install; nothing is repaired, and the full
    // patch is not on the server.
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QCOMPARE(server->blobRequests(), QStringList(10, "fullpatch"));
    QCOMPARE(readFile(outside), QByteArray("user data"));
    QVERIFY(!QFileInfo::exists(sandbox->root() + "/absolute.txt"));
}

void TestLauncherRoads::stopsAtAPatchTreeThatLoops()
{
    const QJsonArray files{installedGame()};
    const QJsonObject patch{{"hash", "patch"}, {"parts", 1}, {"size", 10}};
    const QJsonArray nodes{
        QJsonObject{{"version", "1.0"}, {"patch_resource", patch}, {"target", "1.1"}},
        QJsonObject{{"version", "1.1"}, {"patch_resource", patch}, {"target", "1.0"}},
    };
    QJsonObject manifest = branchManifest("1.0", files, 1 << 30, nodes);
    publishBranch(manifest);
    writeReceipt({{"version", "1.0"}});

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!",
                                          "The update server's patch tree for branch \"main\" leads back to version "
                                          "\"1.0\", so the game can't be brought up to date.")),
             run.out.constData());
    QCOMPARE(server->blobRequests(), QStringList());
}

void TestLauncherRoads::installsWithoutAReceipt()
{
    installedGame();
    publishBranch(branchManifest("1.0", {}));

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY(sandbox->logMessages().contains(
        "Skipping local version manifest retrieval due to no install receipt being present."));
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QVERIFY(QFileInfo::exists(FakeGame::executablePath(installDir())));
    QVERIFY(!QFileInfo::exists(receiptPath()));
}

// The road of every start: an install of a few thousand files, up to date, whose receipt holds
// every file's record. Nothing is hashed or downloaded, the check passes on the recorded digests,
// the receipt keeps its content, and the game starts.
void TestLauncherRoads::upToDateRunOfThousandsOfFilesHashesNothing()
{
    constexpr int fileCount = 3000;
    for (int i = 0; i < fileCount; ++i)
        writeFile(QString("%1/Pelwinter/Content/d%2/f%3.uasset").arg(installDir()).arg(i / 100).arg(i),
                  pattern(100 + (i * 37) % 9000, char(i)));
    FakeGame::install(installDir());
    // Digests of the whole install from one b3sum run; no blob may be asked for on this road.
    QProcess b3sum;
    b3sum.setWorkingDirectory(installDir());
    b3sum.start("sh", {"-c", "find . -type f -printf '%P\\0' | xargs -0 b3sum"});
    QVERIFY(b3sum.waitForFinished(120000));
    QCOMPARE(b3sum.exitCode(), 0);
    QJsonArray files;
    for (const QByteArray& line : b3sum.readAllStandardOutput().split('\n')) {
        if (line.size() > 66)
            files.append(QJsonObject{{"path", QString::fromUtf8(line.mid(66))},
                                     {"validation_hash", QString::fromLatin1(line.left(64))},
                                     {"resource", QJsonObject{{"hash", "never-fetched"}, {"parts", 1}, {"size", 1}}}});
    }
    QCOMPARE(files.size(), fileCount + 1);
    publishBranch(branchManifest("1.0", files));
    writeReceipt({{"version", "1.0"}});

    LauncherSandbox::Result run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(gameStarted());
    QVERIFY(sandbox->logMessages().contains(QString("Found %1 game files that require hashing.").arg(fileCount + 1)));
    const QByteArray receipt = readFile(receiptPath());
    QCOMPARE(readReceipt()["gameFiles"].toArray().size(), fileCount + 1);

    run = runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(gameStarted());
    const QStringList log = sandbox->logMessages();
    QVERIFY(LauncherSandbox::containsInOrder(
        log, {"Found 0 game files that require hashing.",
              QString("Found %1 game files that are unchanged from last hash run.").arg(fileCount + 1)}));
    QVERIFY(log.contains("All files validated successfully."));
    QVERIFY(log.contains("Saved install receipt."));
    QCOMPARE(server->blobRequests(), QStringList());
    QCOMPARE(readFile(receiptPath()), receipt);
}

QTEST_GUILESS_MAIN(TestLauncherRoads)
#include "TestLauncherRoads.moc"
