// The launcher's patch roads end to end: the test build of the launcher against the loopback update
// server, with directory patches made by the test-only writer from real trees of a small game in
// versions 1.0, 1.1 and 1.2, and a stand-in game that records how it was started.

#include "support/DirDiffWriter.h"
#include "support/FakeGame.h"
#include "support/FileTree.h"
#include "support/GameContent.h"
#include "support/LauncherSandbox.h"
#include "support/RandomBytes.h"
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
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <signal.h>

namespace
{
using Entries = FileTree::Entries;

const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";
const QString gamePath = "Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping";

QByteArray failureLine(const QString& title, const QString& error)
{
    return ("\x1b[1;37;41m" + title + "\x1b[0m \x1b[1;31m" + error + "\x1b[0m\n").toUtf8();
}

QByteArray fakeGameScript()
{
    QFile file(QStringLiteral(TEST_SUPPORT_DIR) + "/fake-game");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Three versions of a small game: changed, unchanged, new, deleted, empty and executable files in
// nested directories.
Entries version(const QString& name)
{
    const QByteArray level = randomBytes(300000, 11);
    Entries tree{{"Pelwinter/", FileTree::dir()},
                 {"Pelwinter/Binaries/", FileTree::dir()},
                 {"Pelwinter/Binaries/Linux/", FileTree::dir()},
                 {gamePath, FileTree::file(fakeGameScript() + "# " + name.toUtf8() + "\n", true)},
                 {"Pelwinter/Content/", FileTree::dir()},
                 {"Pelwinter/Content/same.pak", FileTree::file(randomBytes(50000, 12))},
                 {"Pelwinter/Content/empty.dat", FileTree::file("")},
                 {"Pelwinter/version.txt", FileTree::file(name.toUtf8() + "\n")}};
    if (name == "1.0") {
        tree["Pelwinter/Content/level.pak"] = FileTree::file(level);
        tree["Pelwinter/Content/old.txt"] = FileTree::file("only in 1.0\n");
    } else {
        QByteArray changed = level;
        changed.replace(1000, 500, randomBytes(500, name == "1.1" ? 21 : 22));
        changed.append(randomBytes(name == "1.1" ? 200000 : 400000, 23));
        tree["Pelwinter/Content/level.pak"] = FileTree::file(changed);
        tree["Pelwinter/Content/maps/"] = FileTree::dir();
        tree["Pelwinter/Content/maps/deep/"] = FileTree::dir();
        tree["Pelwinter/Content/maps/deep/one.map"] = FileTree::file(randomBytes(30000, 24));
        tree["Pelwinter/Binaries/Linux/tool"] = FileTree::file("#!/bin/sh\nexit 0\n", true);
    }
    if (name == "1.2") {
        tree["Pelwinter/Content/maps/two.map"] = FileTree::file(randomBytes(90000, 25));
        tree.remove("Pelwinter/Content/empty.dat");
        tree["Pelwinter/Content/empty2.dat"] = FileTree::file("");
    }
    return tree;
}

} // namespace

class TestLauncherPatchRoads : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstRunInstallsTheFullPatch();
    void chainAppliesBothPatchesInOrder();
    void corruptPatchLeavesTheInstallUntouched();
    void failedPatchDownloadKeepsTheVersionReached();
    void resultThatDoesNotMatchTheManifestIsNotLaunched();
    void killedRunIsCompletedByTheNextRun_data();
    void killedRunIsCompletedByTheNextRun();

private:
    QString installDir() const { return sandbox->installDir("main"); }
    QString receiptPath() const { return installDir() + ".json"; }
    QString sourceDir(const QString& name) const { return sources.filePath(name); }
    QString gameRecord() const { return sandbox->root() + "/game.record"; }

    // Publishes the branch at currentVersion: game manifests with blobs of every file, the chain of
    // patches from 1.0 and the full patch of the current version in three parts.
    // damagePatch, when given, changes the patch from 1.0 before it is published.
    void publish(const QString& currentVersion, bool wrongDigest = false,
                 const std::function<void(QByteArray&)>& damagePatch = {});
    QJsonArray manifestFiles(const QString& name);
    void installVersion(const QString& name);
    QJsonObject readReceipt() const;
    LauncherSandbox::Result runLauncher();
    bool gameStarted(int waitMSecs = 5000) const { return FakeGame::readRecord(gameRecord(), waitMSecs).found; }
    void verifyInstallAt(const QString& name);

    QTemporaryDir sources;
    std::unique_ptr<TestUpdateServer> server;
    std::unique_ptr<LauncherSandbox> sandbox;
    QMap<QString, QString> patchBlobs; // "1.0" -> blob path of the patch from 1.0
    QString fullPatchBlob;
};

void TestLauncherPatchRoads::initTestCase()
{
    QVERIFY(!GameContent::b3sumHex("x").isEmpty());
    QVERIFY(!fakeGameScript().isEmpty());
    for (const QString& name : {"1.0", "1.1", "1.2"})
        QVERIFY(FileTree::write(sourceDir(name), version(name)));
}

void TestLauncherPatchRoads::init()
{
    server = std::make_unique<TestUpdateServer>(TEST_CA_DIR);
    QVERIFY(server->start(TEST_SERVER_PORT));
    sandbox = std::make_unique<LauncherSandbox>();
    QVERIFY(sandbox->isValid());
    sandbox->setEnv("FAKE_GAME_RECORD", gameRecord());
}

void TestLauncherPatchRoads::cleanup()
{
    server.reset();
    sandbox.reset();
}

QJsonArray TestLauncherPatchRoads::manifestFiles(const QString& name)
{
    QJsonArray files;
    const Entries tree = version(name);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (!it->isDir)
            files.append(GameContent::publishFile(*server, it.key(), it->content));
    }
    return files;
}

void TestLauncherPatchRoads::publish(const QString& currentVersion, bool wrongDigest,
                                     const std::function<void(QByteArray&)>& damagePatch)
{
    QJsonArray nodes;
    const QStringList chain{"1.0", "1.1", "1.2"};
    for (int i = 0; i + 1 < chain.size() && chain[i] != currentVersion; ++i) {
        QByteArray patch = DirDiffWriter::build(sourceDir(chain[i]), sourceDir(chain[i + 1])).toBytes();
        if (i == 0 && damagePatch)
            damagePatch(patch);
        const QString hash = "patch-" + chain[i];
        patchBlobs[chain[i]] = server->putBlob(hash, patch, 1);
        const QByteArray manifest =
            QJsonDocument(QJsonObject{{"version", chain[i]}, {"files", manifestFiles(chain[i])}}).toJson();
        server->putBlob("manifest-" + chain[i], manifest, 1);
        nodes.append(QJsonObject{
            {"version", chain[i]},
            {"target", chain[i + 1]},
            {"patch_resource", QJsonObject{{"hash", hash}, {"parts", 1}, {"size", patch.size()}}},
            {"manifest_resource",
             QJsonObject{{"hash", "manifest-" + chain[i]}, {"parts", 1}, {"size", manifest.size()}}},
        });
    }
    const QByteArray full = DirDiffWriter::build(QString(), sourceDir(currentVersion)).toBytes();
    fullPatchBlob = server->putBlob("full-" + currentVersion, full, 3);

    QJsonArray files = manifestFiles(currentVersion);
    if (wrongDigest) {
        QJsonObject first = files[0].toObject();
        first["validation_hash"] = GameContent::b3sumHex("something else");
        files[0] = first;
    }
    const QJsonObject branch{
        {"current_game_manifest", QJsonObject{{"version", currentVersion}, {"files", files}}},
        {"launcher_version", QJsonObject{{"required", 5}, {"latest", 5}}},
        {"patch_tree_nodes", nodes},
        {"current_full_patch_resource",
         QJsonObject{{"hash", "full-" + currentVersion}, {"parts", 3}, {"size", full.size()}}},
    };
    server->putFile("manifest-main-linux.json", QJsonDocument(branch).toJson());
}

void TestLauncherPatchRoads::installVersion(const QString& name)
{
    QVERIFY(FileTree::write(installDir(), version(name)));
    QFile receipt(receiptPath());
    QVERIFY(receipt.open(QIODevice::WriteOnly));
    receipt.write(QJsonDocument(QJsonObject{{"version", name}, {"branch", "main"}}).toJson());
}

QJsonObject TestLauncherPatchRoads::readReceipt() const
{
    return QJsonDocument::fromJson(GameContent::readFile(receiptPath())).object();
}

LauncherSandbox::Result TestLauncherPatchRoads::runLauncher()
{
    QFile::remove(gameRecord());
    server->clearRequestLog();
    LauncherSandbox::Result result = sandbox->run(TEST_LAUNCHER_BINARY, {}, 60000);
    if (result.exitStatus != QProcess::NormalExit || result.exitCode != 0)
        result.finished = false;
    return result;
}

void TestLauncherPatchRoads::verifyInstallAt(const QString& name)
{
    QCOMPARE(FileTree::read(installDir()), version(name));
    QCOMPARE(readReceipt().value("version").toString(), name);
}

void TestLauncherPatchRoads::firstRunInstallsTheFullPatch()
{
    publish("1.2");

    const LauncherSandbox::Result run = runLauncher();

    QVERIFY2(run.finished, run.out.constData());
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    verifyInstallAt("1.2");
    const QJsonArray records = readReceipt().value("gameFiles").toArray();
    QCOMPARE(records.size(), manifestFiles("1.2").size());
    QVERIFY(!QFileInfo::exists(sandbox->installsDir() + "/temp"));
    QVERIFY(!QFileInfo::exists(installDir() + "_new"));
    QVERIFY(!QFileInfo::exists(installDir() + "_new_new"));
    QVERIFY(gameStarted());
    for (int part = 0; part < 3; ++part)
        QCOMPARE(server->requestsFor(fullPatchBlob + "_" + QString::number(part)).size(), 1);
    QVERIFY(sandbox->logMessages().contains("Patch applied successfully."));
}

void TestLauncherPatchRoads::chainAppliesBothPatchesInOrder()
{
    installVersion("1.0");
    publish("1.2");

    const LauncherSandbox::Result run = runLauncher();

    QVERIFY2(run.finished, run.out.constData());
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    verifyInstallAt("1.2");
    QVERIFY(gameStarted());
    QVERIFY(server->requestsFor(fullPatchBlob + "_0").isEmpty());

    // The receipt is saved after each patch and once more with the new records.
    const QStringList log = sandbox->logMessages();
    QCOMPARE(log.count("Patch applied successfully."), 2);
    QVERIFY(log.count("Saved install receipt.") >= 3);
    const qsizetype firstApplied = log.indexOf("Patch applied successfully.");
    const qsizetype firstSwap = log.indexOf("Moving new install into place.");
    QVERIFY(firstApplied >= 0 && firstApplied < firstSwap);

    // The second patch was requested while the first one was being applied: its download began
    // before the first application ended, and the server saw the request.
    qsizetype secondDownload = -1;
    for (qsizetype i = 0; i < log.size() && secondDownload < 0; ++i) {
        if (log[i].startsWith("Starting download for") && log[i].contains("patch-1.1"))
            secondDownload = i;
    }
    QVERIFY(secondDownload >= 0);
    QVERIFY(secondDownload < firstApplied);
    QCOMPARE(server->requestsFor(patchBlobs["1.1"]).size(), 1);
}

void TestLauncherPatchRoads::corruptPatchLeavesTheInstallUntouched()
{
    installVersion("1.0");
    // Published as it is, with its size: the download succeeds and the engine refuses the patch.
    publish("1.1", false, [](QByteArray& patch) { patch.chop(40); });

    const LauncherSandbox::Result run = runLauncher();

    QVERIFY2(run.finished, run.out.constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Failed to apply patch 1!")), run.out.constData());
    verifyInstallAt("1.0");
    QVERIFY(!QFileInfo::exists(installDir() + "_new"));
    QVERIFY(!gameStarted(500));
}

void TestLauncherPatchRoads::failedPatchDownloadKeepsTheVersionReached()
{
    installVersion("1.0");
    publish("1.2");
    server->setFaults(patchBlobs["1.1"], {{.fromAttempt = 1, .toAttempt = 0, .status = 503}});

    const LauncherSandbox::Result run = runLauncher();

    QVERIFY2(run.finished, run.out.constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 2!")), run.out.constData());
    verifyInstallAt("1.1");
    QVERIFY(!gameStarted(500));
}

void TestLauncherPatchRoads::resultThatDoesNotMatchTheManifestIsNotLaunched()
{
    installVersion("1.1");
    publish("1.2", true);

    const LauncherSandbox::Result run = runLauncher();

    QVERIFY2(run.finished, run.out.constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "The patch was installed, but failed to validate.")),
             run.out.constData());
    verifyInstallAt("1.2");
    QVERIFY(!gameStarted(500));
}

void TestLauncherPatchRoads::killedRunIsCompletedByTheNextRun_data()
{
    // The launcher is killed as soon as its log holds the n-th line matching the trigger. A blob
    // answered late keeps the run inside its download when it is killed.
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<QString>("slowBlob");
    const QString renamed = "^Renamed ";
    const QString asideRemoved = "^Removed \".*_new_new\" successfully";
    const QString tempRemoved = "^Removed \".*/temp\" successfully";
    QTest::newRow("full install: during the download") << ""
                                                       << "^Starting download for .*full-1.2_1" << 1 << "full-1.2_1";
    QTest::newRow("full install: during the apply") << ""
                                                    << "^Starting patch apply job" << 1 << "";
    QTest::newRow("full install: before the swap") << ""
                                                   << "^Removing old install" << 1 << "";
    QTest::newRow("full install: right after the move into place") << "" << renamed << 1 << "";
    QTest::newRow("full install: during the rehash") << "" << tempRemoved << 3 << "";
    QTest::newRow("chain: during the first download") << "1.0"
                                                      << "^Starting download for .*patch-1.0" << 1 << "patch-1.0";
    QTest::newRow("chain: during the second download") << "1.0"
                                                       << "^Starting download for .*patch-1.1" << 1 << "patch-1.1";
    QTest::newRow("chain: during the first apply") << "1.0"
                                                   << "^Starting patch apply job" << 1 << "";
    QTest::newRow("chain: right before moving the old install aside") << "1.0"
                                                                      << "^Removing old install" << 1 << "";
    QTest::newRow("chain: right after moving the old install aside") << "1.0" << renamed << 1 << "";
    QTest::newRow("chain: right before moving the new install in") << "1.0"
                                                                   << "^Moving new install into place" << 1 << "";
    QTest::newRow("chain: right after moving the new install in") << "1.0" << renamed << 2 << "";
    QTest::newRow("chain: right before the first receipt") << "1.0" << asideRemoved << 2 << "";
    QTest::newRow("chain: during the second apply") << "1.0"
                                                    << "^Starting patch apply job" << 2 << "";
    QTest::newRow("chain: second swap, old install aside") << "1.0" << renamed << 3 << "";
    QTest::newRow("chain: before the last receipt") << "1.0" << asideRemoved << 4 << "";
    QTest::newRow("chain: during the rehash") << "1.0" << tempRemoved << 3 << "";
}

void TestLauncherPatchRoads::killedRunIsCompletedByTheNextRun()
{
    QFETCH(QString, installed);
    QFETCH(QString, trigger);
    QFETCH(int, occurrence);
    QFETCH(QString, slowBlob);

    if (!installed.isEmpty())
        installVersion(installed);
    publish("1.2");
    if (!slowBlob.isEmpty())
        server->setFaults("/update/blobs/" + slowBlob, {{.fromAttempt = 1, .toAttempt = 1, .delayMSecs = 3000}});

    QProcess process;
    sandbox->start(process, TEST_LAUNCHER_BINARY, {});
    QVERIFY(process.waitForStarted());
    const QRegularExpression pattern(trigger);
    bool killed = false;
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        int seen = 0;
        for (const QString& line : sandbox->logMessages()) {
            if (pattern.match(line).hasMatch())
                ++seen;
        }
        if (seen >= occurrence) {
            ::kill(pid_t(process.processId()), SIGKILL);
            killed = true;
            break;
        }
        process.waitForFinished(1);
    }
    process.waitForFinished(10000);
    QVERIFY2(killed, qPrintable(sandbox->logMessages().join('\n')));
    QVERIFY(!gameStarted(100));
    server->clearFaults();

    const LauncherSandbox::Result run = runLauncher();

    QVERIFY2(run.finished, run.out.constData());
    QVERIFY2(run.out.endsWith(doneLine), qPrintable(run.out + sandbox->logMessages().join('\n')));
    verifyInstallAt("1.2");
    QVERIFY(gameStarted());
}

QTEST_GUILESS_MAIN(TestLauncherPatchRoads)
#include "TestLauncherPatchRoads.moc"
