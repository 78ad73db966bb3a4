#include "support/FakeGame.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
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
    void refusesManifestsNamingTheLaunchersTemporaries_data();
    void refusesManifestsNamingTheLaunchersTemporaries();
    void killedRunLeavesNothingTheNextRunKeeps_data();
    void killedRunLeavesNothingTheNextRunKeeps();
    void stopsAtAPatchTreeThatLoops();
    void installsWithoutAReceipt();
    void upToDateRunOfThousandsOfFilesHashesNothing();

private:
    std::unique_ptr<TestUpdateServer> server;
    std::unique_ptr<LauncherRoad> road;
};

void TestLauncherRoads::initTestCase()
{
    server = LauncherRoad::startServer();
    QVERIFY(server);
}

void TestLauncherRoads::init()
{
    // One server for every test, emptied for each; started again after a test that stopped it.
    if (server->port() == 0)
        QVERIFY(server->start(TEST_SERVER_PORT));
    server->reset();
    road = std::make_unique<LauncherRoad>(*server);
    QVERIFY(road->isValid());
}

void TestLauncherRoads::cleanup()
{
    road.reset();
}

void TestLauncherRoads::startsTheInstalledGameWithoutAServer()
{
    server->stop();
    road->installedGame();
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());
    QVERIFY(road->logMessages().contains("Failed to retrieve manifest."));
}

void TestLauncherRoads::launchesAValidInstallAndReusesItsDigests()
{
    const QJsonArray files{road->installedGame(), road->installedFile("Pelwinter/Content/a.pak", pattern(70000, 'a')),
                           road->installedFile("Pelwinter/Content/sub/b.pak", pattern(100, 'b'))};
    writeFile(road->installDir() + "/Saved/settings.ini", "not in the manifest");
    road->publishBranch("1.0", files);
    road->writeReceipt(
        QJsonObject{{"version", "1.0"}, {"branch", "old"}, {"written by", QJsonObject{{"another", "program"}}}});

    LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());
    QCOMPARE(server->blobRequests(), QStringList());
    QStringList log = road->logMessages();
    QVERIFY(log.contains("Successfully retrieved local manifest."));
    QVERIFY(log.contains("All files validated successfully."));

    // The receipt is indented JSON with the version, the branch and one record per file, and keeps
    // the keys the launcher doesn't know.
    const QByteArray receiptText = readFile(road->receiptPath());
    QVERIFY(receiptText.contains("\n    \"version\": \"1.0\""));
    const QJsonObject receipt = road->readReceipt();
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

    run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());
    log = road->logMessages();
    QVERIFY(log.contains("Found 0 game files that require hashing."));
    QVERIFY(log.contains("Found 4 game files that are unchanged from last hash run."));
    QCOMPARE(server->blobRequests(), QStringList());
}

void TestLauncherRoads::repairsBrokenFilesFromTheirBlobs()
{
    const QByteArray small = pattern(5000, 's');
    const QByteArray large = pattern(300000, 'l');
    const QByteArray fresh = pattern(1234, 'f');
    QJsonObject smallEntry = road->installedFile("Pelwinter/Content/small.pak", small);
    QJsonObject largeEntry = road->installedFile("Pelwinter/Content/large.pak", large, 3);
    QJsonObject missingEntry = publishFile(*server, "Pelwinter/Content/New/Deep/fresh.pak", fresh);
    const QJsonObject intact = road->installedFile("Pelwinter/Content/intact.pak", pattern(800, 'i'));
    const QJsonArray files{road->installedGame(), smallEntry, largeEntry, missingEntry, intact};
    writeFile(road->installDir() + "/Pelwinter/Content/small.pak", "garbage");
    QByteArray damaged = large;
    damaged[150000] = char(damaged[150000] ^ 1);
    writeFile(road->installDir() + "/Pelwinter/Content/large.pak", damaged);

    road->publishBranch("1.0", files);
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());

    const QString largeBlob = largeEntry["resource"].toObject()["hash"].toString();
    QStringList expected{smallEntry["resource"].toObject()["hash"].toString(), largeBlob + "_0", largeBlob + "_1",
                         largeBlob + "_2", missingEntry["resource"].toObject()["hash"].toString()};
    expected.sort();
    QCOMPARE(server->blobRequests(), expected);
    for (const QJsonValue& value : files) {
        const QJsonObject entry = value.toObject();
        const QString path = road->installDir() + "/" + entry["path"].toString();
        QCOMPARE(GameContent::b3sumHex(readFile(path)), entry["validation_hash"].toString());
    }
    QVERIFY(road->logMessages().contains("All repair jobs finished."));
}

void TestLauncherRoads::reinstallsWhenBrokenFilesOutweighTheFullPatch()
{
    const QJsonObject broken = road->installedFile("Pelwinter/Content/a.pak", pattern(50000, 'x'));
    const QJsonArray files{road->installedGame(), broken};
    writeFile(road->installDir() + "/Pelwinter/Content/a.pak", "broken");
    const qint64 brokenSize = broken["resource"].toObject()["size"].toInteger();
    road->publishBranch("1.0", files, {}, LauncherRoad::resource("fullpatch", brokenSize - 1));
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QVERIFY(
        road->logMessages().contains("Broken files are larger than full patch resource, discarding previous install."));
    QVERIFY(!road->gameStarted(500));
    // No file is repaired; the full patch is not on the server, so every try of its download fails,
    // and an install is never discarded for a full patch that did not arrive.
    QCOMPARE(server->blobRequests(), QStringList(10, "fullpatch"));
    QCOMPARE(readFile(road->installDir() + "/Pelwinter/Content/a.pak"), QByteArray("broken"));
    QVERIFY(QFileInfo::exists(FakeGame::executablePath(road->installDir())));
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

    const QJsonObject broken = road->installedFile("Pelwinter/Content/a.pak", pattern(2000, 'v'));
    writeFile(road->installDir() + "/Pelwinter/Content/a.pak", "broken");
    QJsonObject manifest = LauncherRoad::branchManifest("1.0", {road->installedGame(), broken});
    manifest["launcher_version"] = QJsonObject{{"required", required}, {"latest", latest}};
    road->publishBranch(manifest);
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    const QStringList log = road->logMessages();
    if (launches) {
        QVERIFY(run.out.contains("An optional launcher update is available.\n"));
        QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
        QVERIFY(road->gameStarted());
        QCOMPARE(server->blobRequests(), QStringList{broken["resource"].toObject()["hash"].toString()});
    } else {
        QVERIFY2(run.out.endsWith(failureLine("Launcher out of date.", "Please update the launcher.")),
                 run.out.constData());
        QVERIFY(!road->gameStarted(500));
        // The answer waits for the hashing, but nothing is checked, repaired or downloaded.
        QVERIFY(log.contains("Game file hash job finished, 2 files hashed."));
        QVERIFY(!log.contains("Validating existing install against local manifest."));
        QCOMPARE(server->blobRequests(), QStringList());
    }
}

void TestLauncherRoads::unreadableInstallEndsTheRun()
{
    const QJsonArray files{road->installedGame()};
    QVERIFY(QDir().mkpath(road->root() + "/elsewhere"));
    QVERIFY(QFile::link(road->root() + "/elsewhere", road->installDir() + "/Pelwinter/Linked"));
    road->publishBranch("1.0", files);
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(failureLine("Init Failed!", "The following files could not be read:\n" +
                                                              road->installDir() + "/Pelwinter/Linked")),
             run.out.constData());
    QVERIFY(!road->gameStarted(500));
    QCOMPARE(server->blobRequests(), QStringList());
}

void TestLauncherRoads::fetchesTheInstalledVersionsManifestInParts()
{
    const QJsonArray files{road->installedGame(), road->installedFile("Pelwinter/Content/a.pak", pattern(3000, 'm'))};
    const QByteArray localManifest = QJsonDocument(QJsonObject{{"version", "0.9"}, {"files", files}}).toJson();
    server->putBlob("manifest09", localManifest, 2);
    const QJsonArray nodes{QJsonObject{
        {"version", "0.9"},
        {"manifest_resource", QJsonObject{{"hash", "manifest09"}, {"parts", 2}, {"size", localManifest.size()}}},
        {"patch_resource", QJsonObject{{"hash", "patch09"}, {"parts", 1}, {"size", 100}}},
        {"target", "1.0"},
    }};
    road->publishBranch("1.0", {}, nodes);
    road->writeReceipt("0.9");

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    // The install is valid at 0.9 and one patch leads on, which the server does not have.
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QCOMPARE(server->blobRequests(), QStringList({"manifest09_0", "manifest09_1"}) + QStringList(10, "patch09"));
    const QStringList log = road->logMessages();
    QVERIFY(log.contains("Successfully retrieved local manifest."));
    QVERIFY(log.contains("All files validated successfully."));
    QCOMPARE(road->readReceipt()["version"].toString(), QString("0.9"));
}

void TestLauncherRoads::refusesManifestPathsOutsideTheInstall()
{
    const QString outside = road->root() + "/outside.txt";
    writeFile(outside, "user data");
    const QJsonArray files{road->installedGame(), publishFile(*server, "../../../../outside.txt", "launcher data"),
                           publishFile(*server, road->root() + "/absolute.txt", "launcher data")};
    road->publishBranch("1.0", files);
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    // Such an install can only be made valid by a fresh install; nothing is repaired, and the full
    // patch is not on the server.
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QCOMPARE(server->blobRequests(), QStringList(10, "fullpatch"));
    QCOMPARE(readFile(outside), QByteArray("user data"));
    QVERIFY(!QFileInfo::exists(road->root() + "/absolute.txt"));
}

void TestLauncherRoads::refusesManifestsNamingTheLaunchersTemporaries_data()
{
    QTest::addColumn<bool>("installedVersion"); // false: the branch's current version names it
    QTest::newRow("the branch's current version") << false;
    QTest::newRow("the installed version") << true;
}

// Inside the install, names like a repair's temporaries are the launcher's: a later run removes such
// files, so a game file of that name could never stay installed. A manifest that names one is refused.
void TestLauncherRoads::refusesManifestsNamingTheLaunchersTemporaries()
{
    QFETCH(bool, installedVersion);
    const QString reserved = "Pelwinter/Content/a.pak.pelwinter-launcher-abc.repair";
    const QJsonArray files{road->installedGame(), road->installedFile("Pelwinter/Content/a.pak", pattern(3000, 'a')),
                           road->installedFile(reserved, pattern(100, 'r'))};
    if (installedVersion) {
        const QJsonArray nodes{road->patchNode("0.9", "1.0", LauncherRoad::resource("patch09", 100), files)};
        road->publishBranch("1.0", {}, nodes);
        road->writeReceipt("0.9");
    } else {
        road->publishBranch("1.0", files);
        road->writeReceipt("1.0");
    }

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    const QStringList log = road->logMessages();
    QVERIFY(log.contains("The manifest of version \"" + QString(installedVersion ? "0.9" : "1.0") +
                         "\" is refused: it names \"" + reserved +
                         "\" as a game file, but the launcher keeps such names for its temporary files."));
    if (installedVersion) {
        // No installed version to start from: a full install, whose patch the server does not have.
        QVERIFY(log.contains("Failed to retrieve local manifest."));
        QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
        QCOMPARE(server->blobRequests(), QStringList(10, "fullpatch") + QStringList{"manifest-0.9"});
    } else {
        // As if the branch could not be had: the installed game starts as it is.
        QVERIFY(log.contains("Failed to retrieve manifest."));
        QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
        QVERIFY(road->gameStarted());
        QCOMPARE(server->blobRequests(), QStringList());
    }
    QCOMPARE(readFile(road->installDir() + "/Pelwinter/Content/a.pak"), pattern(3000, 'a'));
}

void TestLauncherRoads::killedRunLeavesNothingTheNextRunKeeps_data()
{
    // The run is killed right before the file operation on a path containing the text.
    QTest::addColumn<QString>("killAt");
    QTest::addColumn<bool>("broken");      // a.pak is broken, so the run repairs it
    QTest::addColumn<bool>("sizeUnknown"); // a.pak's resource has no size: its parts are kept in files of their own

    QTest::newRow("saving the receipt, before the rename") << "rename:main.json.pelwinter-launcher-" << false << false;
    QTest::newRow("repair: the download complete") << "open:.repair" << true << false;
    QTest::newRow("repair: the repaired file, before it replaces the broken one") << "rename:.repair" << true << false;
    QTest::newRow("repair: the parts of a download of unknown size, before they are joined")
        << "rename:.download.part0" << true << true;
}

// A killed run leaves its temporaries: the receipt's new content beside the receipt, a repair's download
// (or its parts) and decompressed file beside the broken file. The next run removes them before it hashes
// anything, and they never reach the receipt as game files.
void TestLauncherRoads::killedRunLeavesNothingTheNextRunKeeps()
{
    QFETCH(QString, killAt);
    QFETCH(bool, broken);
    QFETCH(bool, sizeUnknown);
    const QByteArray content = pattern(200000, 'a');
    QJsonObject entry = road->installedFile("Pelwinter/Content/a.pak", content, 3);
    if (sizeUnknown) {
        QJsonObject resource = entry["resource"].toObject();
        resource["size"] = 0;
        entry["resource"] = resource;
    }
    const QJsonArray files{road->installedGame(), entry,
                           road->installedFile("Pelwinter/Content/b.pak", pattern(5000, 'b'))};
    if (broken)
        writeFile(road->installDir() + "/Pelwinter/Content/a.pak", "broken");
    road->publishBranch("1.0", files);
    road->writeReceipt("1.0");
    QStringList gameFiles;
    for (const QJsonValue& file : files)
        gameFiles << file["path"].toString();
    gameFiles.sort();
    QStringList expected = gameFiles + QStringList{"../main", "../main.json"};
    expected.sort();
    // Every file below the install, and everything beside it in the installs folder.
    const auto left = [this] {
        QStringList found;
        QDirIterator it(road->installDir(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext())
            found << QDir(road->installDir()).relativeFilePath(it.next());
        for (const QString& name :
             QDir(road->installsDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
            found << "../" + name;
        found.sort();
        return found;
    };

    const LauncherSandbox::Result killed =
        road->runWithFaults(LAUNCHER_FAULTS, {{"PELWINTER_FAULT_KILL_AT_PATH", killAt}}, road->installDir());
    QCOMPARE(killed.exitStatus, QProcess::CrashExit);
    QStringList leftovers = left();
    for (const QString& path : expected)
        leftovers.removeOne(path);
    QVERIFY(!leftovers.isEmpty());
    for (const QString& path : std::as_const(leftovers))
        QVERIFY2(path.contains(".pelwinter-launcher-"), qPrintable(path));

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());
    QCOMPARE(left(), expected);
    QCOMPARE(readFile(road->installDir() + "/Pelwinter/Content/a.pak"), content);
    const QStringList log = road->logMessages();
    QCOMPARE(log.filter(QRegularExpression("^Removed \".*\" left (in the install by an interrupted repair|by an "
                                           "interrupted save of the install receipt)\\.$"))
                 .size(),
             leftovers.size());
    QVERIFY(log.contains("Found " + QString::number(gameFiles.size()) + " game files that require hashing."));
    QStringList recorded;
    for (const QJsonValue& record : road->readReceipt()["gameFiles"].toArray())
        recorded << record["path"].toString();
    recorded.sort();
    QCOMPARE(recorded, gameFiles);
}

void TestLauncherRoads::stopsAtAPatchTreeThatLoops()
{
    const QJsonArray files{road->installedGame()};
    const QJsonObject patch{{"hash", "patch"}, {"parts", 1}, {"size", 10}};
    const QJsonArray nodes{
        QJsonObject{{"version", "1.0"}, {"patch_resource", patch}, {"target", "1.1"}},
        QJsonObject{{"version", "1.1"}, {"patch_resource", patch}, {"target", "1.0"}},
    };
    QJsonObject manifest = LauncherRoad::branchManifest("1.0", files, nodes);
    road->publishBranch(manifest);
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!",
                                          "The update server's patch tree for branch \"main\" leads back to version "
                                          "\"1.0\", so the game can't be brought up to date.")),
             run.out.constData());
    QCOMPARE(server->blobRequests(), QStringList());
}

void TestLauncherRoads::installsWithoutAReceipt()
{
    road->installedGame();
    road->publishBranch("1.0", {});

    const LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY(road->logMessages().contains(
        "Skipping local version manifest retrieval due to no install receipt being present."));
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QVERIFY(QFileInfo::exists(FakeGame::executablePath(road->installDir())));
    QVERIFY(!QFileInfo::exists(road->receiptPath()));
}

// The road of every start: an install of a few thousand files, up to date, whose receipt holds
// every file's record. Nothing is hashed or downloaded, the check passes on the recorded digests,
// the receipt keeps its content, and the game starts.
void TestLauncherRoads::upToDateRunOfThousandsOfFilesHashesNothing()
{
    constexpr int fileCount = 3000;
    for (int i = 0; i < fileCount; ++i)
        writeFile(QString("%1/Pelwinter/Content/d%2/f%3.uasset").arg(road->installDir()).arg(i / 100).arg(i),
                  pattern(100 + (i * 37) % 9000, char(i)));
    FakeGame::install(road->installDir());
    // Digests of the whole install from one b3sum run; no blob may be asked for on this road.
    QProcess b3sum;
    b3sum.setWorkingDirectory(road->installDir());
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
    road->publishBranch("1.0", files);
    road->writeReceipt("1.0");

    LauncherSandbox::Result run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());
    QVERIFY(road->logMessages().contains(QString("Found %1 game files that require hashing.").arg(fileCount + 1)));
    const QByteArray receipt = readFile(road->receiptPath());
    QCOMPARE(road->readReceipt()["gameFiles"].toArray().size(), fileCount + 1);

    run = road->runLauncher();
    QVERIFY(run.finished);
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());
    const QStringList log = road->logMessages();
    QVERIFY(LauncherSandbox::containsInOrder(
        log, {"Found 0 game files that require hashing.",
              QString("Found %1 game files that are unchanged from last hash run.").arg(fileCount + 1)}));
    QVERIFY(log.contains("All files validated successfully."));
    QVERIFY(log.contains("Saved install receipt."));
    QCOMPARE(server->blobRequests(), QStringList());
    QCOMPARE(readFile(road->receiptPath()), receipt);
}

QTEST_GUILESS_MAIN(TestLauncherRoads)
#include "TestLauncherRoads.moc"
