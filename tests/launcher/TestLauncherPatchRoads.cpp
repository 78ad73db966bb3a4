// The launcher's patch roads end to end: the test build of the launcher against the loopback update
// server, with directory patches made by the test-only writer from real trees of a small game in
// versions 1.0, 1.1 and 1.2, and a stand-in game that records how it was started.

#include "support/DirDiffWriter.h"
#include "support/FakeGame.h"
#include "support/FileTree.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/RandomBytes.h"
#include "support/TestUpdateServer.h"
#include "support/XvfbDisplay.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <sys/stat.h>

using Faults = QMap<QString, QString>;

namespace
{
using Entries = FileTree::Entries;

const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";
const QString gamePath = "Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping";

// What stat says of a file that a rewrite would change: its inode, and when it was last written.
QString stamp(const QString& path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QString();
    return QString("%1 %2.%3").arg(status.st_ino).arg(status.st_mtim.tv_sec).arg(status.st_mtim.tv_nsec);
}

QByteArray failureLine(const QString& title, const QString& error)
{
    return ("\x1b[1;37;41m" + title + "\x1b[0m \x1b[1;31m" + error + "\x1b[0m\n").toUtf8();
}

// Three versions of a small game: changed, unchanged, new, deleted, empty and executable files in
// nested directories.
Entries version(const QString& name)
{
    const QByteArray level = randomBytes(300000, 11);
    Entries tree{{"Pelwinter/", FileTree::dir()},
                 {"Pelwinter/Binaries/", FileTree::dir()},
                 {"Pelwinter/Binaries/Linux/", FileTree::dir()},
                 {gamePath, FileTree::file(FakeGame::script() + "# " + name.toUtf8() + "\n", true)},
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
    void failedLocalManifestNeverCostsTheInstall_data();
    void failedLocalManifestNeverCostsTheInstall();
    void faultsKeepAValidInstall_data();
    void faultsKeepAValidInstall();
    void windowAsksBeforeGivingUpTheSwap();
    void killedRunIsCompletedByTheNextRun_data();
    void killedRunIsCompletedByTheNextRun();
    void linkedInstallIsUpdatedWhereItLives_data();
    void linkedInstallIsUpdatedWhereItLives();
    void receiptNamesTheNewVersionBeforeTheOldOneGoes_data();
    void receiptNamesTheNewVersionBeforeTheOldOneGoes();
    void receiptNamesWhatTheInstallHoldsWhereverTheRunStops_data();
    void receiptNamesWhatTheInstallHoldsWhereverTheRunStops();
    void strayEntriesWhereTheLauncherWorksAreRemoved_data();
    void strayEntriesWhereTheLauncherWorksAreRemoved();

private:
    // The folder the swap renames: the install directory, or the target of a linked install.
    QString swapDir() const { return linkTarget.isEmpty() ? road->installDir() : linkTarget; }
    QString sourceDir(const QString& name) const { return sources.filePath(name); }

    // Publishes the branch at currentVersion: game manifests with blobs of every file, the chain of
    // patches from 1.0 and the full patch of the current version in three parts.
    // damagePatch, when given, changes the patch from 1.0 before it is published.
    void publish(const QString& currentVersion, bool wrongDigest = false,
                 const std::function<void(QByteArray&)>& damagePatch = {});
    void installVersion(const QString& name);
    void verifyInstallAt(const QString& name);
    // Runs the launcher with the preloaded fault module and the given faults switched on.
    LauncherSandbox::Result runWithFaults(const QMap<QString, QString>& faults);
    // The log's texts name the install's real paths: "{install}", "{staging}", "{aside}" and
    // "{temp}" stand for them in the test tables (for a linked install, those beside its target).
    QString withPaths(const QString& text) const;
    // Makes the install directory a link, as a player keeping the game on another disk does: to a
    // folder on another file system where there is one (tmpfs under /dev/shm), beside other files
    // of the player's. kind: "target" (the folder exists), "relative" (the same with a relative
    // link), "chain" (a link to a link to the folder), "missing" (the folder doesn't exist, the one
    // it would be in does), "unmounted" (neither exists).
    void linkInstall(const QString& kind);
    // Everything on the other disk but the target's content: the player's files beside it, and
    // whatever a run left there.
    FileTree::Entries besideTarget() const;
    // The link is still a link to the same place, nothing beside its target changed, and the
    // installs folder holds only the link and the receipt.
    void verifyLinkKept() const;

    QTemporaryDir sources;
    // One server for every row, with the blobs of each version's files and the patches between
    // versions made once; a row publishes its branch from them and sets its own faults.
    std::unique_ptr<TestUpdateServer> server;
    QMap<QString, QJsonArray> publishedFiles; // version -> its manifest's file entries
    QMap<QString, QByteArray> patches;        // "1.0" -> the patch from 1.0 to the next version
    QMap<QString, QByteArray> fullPatches;    // version -> the full patch that installs it
    std::unique_ptr<LauncherRoad> road;
    QMap<QString, QString> patchBlobs; // "1.0" -> blob path of the patch from 1.0
    QString fullPatchBlob;
    std::unique_ptr<QTemporaryDir> otherDisk;
    QString linkTarget;     // the folder a linked install's link leads to; empty: no link
    QString linkPointsTo;   // what the link names, as it was made
    QStringList chainLinks; // links between the install's link and the target
    FileTree::Entries besideBefore;
};

void TestLauncherPatchRoads::initTestCase()
{
    QVERIFY(!FakeGame::script().isEmpty());
    const QStringList chain{"1.0", "1.1", "1.2"};
    for (const QString& name : chain)
        QVERIFY(FileTree::write(sourceDir(name), version(name)));
    server = LauncherRoad::startServer();
    QVERIFY(server);
    for (const QString& name : chain) {
        QJsonArray files;
        const Entries tree = version(name);
        for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
            if (!it->isDir)
                files.append(GameContent::publishFile(*server, it.key(), it->content));
        }
        publishedFiles[name] = files;
    }
    for (int i = 0; i + 1 < chain.size(); ++i)
        patches[chain[i]] = DirDiffWriter::build(sourceDir(chain[i]), sourceDir(chain[i + 1])).toBytes();
    for (const QString& name : {"1.1", "1.2"})
        fullPatches[name] = DirDiffWriter::build(QString(), sourceDir(name)).toBytes();
}

void TestLauncherPatchRoads::init()
{
    server->clearFaults();
    road = std::make_unique<LauncherRoad>(*server);
    QVERIFY(road->isValid());
}

void TestLauncherPatchRoads::cleanup()
{
    road.reset();
    otherDisk.reset();
    linkTarget.clear();
    linkPointsTo.clear();
    chainLinks.clear();
    besideBefore.clear();
}

void TestLauncherPatchRoads::linkInstall(const QString& kind)
{
    const QFileInfo shm("/dev/shm");
    otherDisk = std::make_unique<QTemporaryDir>(
        shm.isDir() && shm.isWritable() ? QStringLiteral("/dev/shm/pelwinter-XXXXXX") : QString());
    QVERIFY(otherDisk->isValid());
    const QString disk = QFileInfo(otherDisk->path()).canonicalFilePath();
    QVERIFY(FileTree::write(disk, {{"games/", FileTree::dir()},
                                   {"games/keep.txt", FileTree::file("the player's own file\n")},
                                   {"games/Other/", FileTree::dir()},
                                   {"games/Other/save.dat", FileTree::file(randomBytes(5000, 31))},
                                   {"games/Pelwinter.bak/", FileTree::dir()},
                                   {"games/Pelwinter.bak/level.pak", FileTree::file(randomBytes(5000, 32))},
                                   {"games/Pelwinter-notes", FileTree::file("notes\n")}}));
    linkTarget = disk + (kind == "unmounted" ? "/unmounted/Pelwinter" : "/games/Pelwinter");
    if (kind != "missing" && kind != "unmounted")
        QVERIFY(QDir().mkpath(linkTarget));
    QVERIFY(QDir().mkpath(road->installsDir()));
    QString text = linkTarget;
    if (kind == "relative")
        text = QDir(road->installsDir()).relativeFilePath(linkTarget);
    if (kind == "chain") {
        text = disk + "/current";
        QVERIFY(QFile::link("games/Pelwinter", text));
        chainLinks.append(text);
    }
    QVERIFY(QFile::link(text, road->installDir()));
    linkPointsTo = QFileInfo(road->installDir()).symLinkTarget();
    besideBefore = besideTarget();
}

FileTree::Entries TestLauncherPatchRoads::besideTarget() const
{
    const QString disk = QFileInfo(otherDisk->path()).canonicalFilePath();
    const QString inTarget = QDir(disk).relativeFilePath(linkTarget) + "/";
    FileTree::Entries entries = FileTree::read(disk);
    entries.removeIf([&](const auto& entry) { return entry.key().startsWith(inTarget); });
    return entries;
}

void TestLauncherPatchRoads::verifyLinkKept() const
{
    QVERIFY(QFileInfo(road->installDir()).isSymLink());
    QCOMPARE(QFileInfo(road->installDir()).symLinkTarget(), linkPointsTo);
    for (const QString& link : chainLinks)
        QVERIFY2(QFileInfo(link).isSymLink(), qPrintable(link));
    QCOMPARE(besideTarget(), besideBefore);
    QStringList installs =
        QDir(road->installsDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    // Nothing was made beside the link: the staging and aside folders belong beside the target.
    for (const QString& name : std::as_const(installs))
        QVERIFY2(QStringList({"main", "main.json", "temp"}).contains(name), qPrintable(name));
}

void TestLauncherPatchRoads::publish(const QString& currentVersion, bool wrongDigest,
                                     const std::function<void(QByteArray&)>& damagePatch)
{
    QJsonArray nodes;
    const QStringList chain{"1.0", "1.1", "1.2"};
    for (int i = 0; i + 1 < chain.size() && chain[i] != currentVersion; ++i) {
        QByteArray patch = patches.value(chain[i]);
        if (i == 0 && damagePatch)
            damagePatch(patch);
        const QString hash = "patch-" + chain[i];
        patchBlobs[chain[i]] = server->putBlob(hash, patch, 1);
        nodes.append(road->patchNode(chain[i], chain[i + 1], LauncherRoad::resource(hash, patch.size()),
                                     publishedFiles.value(chain[i])));
    }
    const QByteArray full = fullPatches.value(currentVersion);
    fullPatchBlob = server->putBlob("full-" + currentVersion, full, 3);

    QJsonArray files = publishedFiles.value(currentVersion);
    if (wrongDigest) {
        QJsonObject first = files[0].toObject();
        first["validation_hash"] = GameContent::b3sumHex("something else");
        files[0] = first;
    }
    road->publishBranch(currentVersion, files, nodes, LauncherRoad::resource("full-" + currentVersion, full.size(), 3));
}

void TestLauncherPatchRoads::installVersion(const QString& name)
{
    QVERIFY(FileTree::write(road->installDir(), version(name)));
    QVERIFY(road->writeReceipt(QJsonObject{{"version", name}, {"branch", "main"}}));
}

void TestLauncherPatchRoads::verifyInstallAt(const QString& name)
{
    QCOMPARE(FileTree::read(road->installDir()), version(name));
    QCOMPARE(road->readReceipt().value("version").toString(), name);
}

LauncherSandbox::Result TestLauncherPatchRoads::runWithFaults(const QMap<QString, QString>& faults)
{
    return road->runWithFaults(LAUNCHER_FAULTS, faults, swapDir());
}

QString TestLauncherPatchRoads::withPaths(const QString& text) const
{
    return road->withPaths(text, swapDir());
}

void TestLauncherPatchRoads::firstRunInstallsTheFullPatch()
{
    publish("1.2");

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.out.right(1500).constData());
    QVERIFY2(run.out.endsWith(doneLine), run.out.right(1500).constData());
    verifyInstallAt("1.2");
    // The receipt holds one record per file, with the digest the manifest names.
    QMap<QString, QString> recorded;
    for (const QJsonValue& record : road->readReceipt().value("gameFiles").toArray())
        recorded.insert(record["path"].toString(), record["hash"].toString());
    QMap<QString, QString> published;
    for (const QJsonValue& entry : publishedFiles.value("1.2"))
        published.insert(entry["path"].toString(), entry["validation_hash"].toString());
    QCOMPARE(recorded, published);
    QVERIFY(!QFileInfo::exists(road->installsDir() + "/temp"));
    QVERIFY(!QFileInfo::exists(road->installDir() + "_new"));
    QVERIFY(!QFileInfo::exists(road->installDir() + "_new_new"));
    QVERIFY(road->gameStarted());
    for (int part = 0; part < 3; ++part)
        QCOMPARE(server->requestsFor(fullPatchBlob + "_" + QString::number(part)).size(), 1);
    QVERIFY(road->logMessages().contains("Patch applied successfully."));
}

void TestLauncherPatchRoads::chainAppliesBothPatchesInOrder()
{
    installVersion("1.0");
    publish("1.2");

    // The second patch is held back until the first one is being applied, and writes into the
    // staging directory are slowed down, so the first application surely lasts longer than the
    // second download.
    server->setFaults(patchBlobs["1.1"], {{.hold = true}});
    road->setEnv("LD_PRELOAD", LAUNCHER_FAULTS);
    road->setEnv("PELWINTER_FAULT_SLOW_PATH", withPaths("{staging}/"));
    road->setEnv("PELWINTER_FAULT_SLOW_MSECS", "100");
    server->clearRequestLog();
    QProcess launcher;
    road->start(launcher, TEST_LAUNCHER_BINARY, {});
    QVERIFY(launcher.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!road->logMessages().filter("Starting patch apply job.").isEmpty(), 30000);
    server->clearFaults();
    QVERIFY(launcher.waitForFinished(60000));
    const QByteArray out = launcher.readAllStandardOutput();

    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY2(out.endsWith(doneLine), out.right(1500).constData());
    verifyInstallAt("1.2");
    QVERIFY(road->gameStarted());
    QVERIFY(server->requestsFor(fullPatchBlob + "_0").isEmpty());
    QCOMPARE(server->requestsFor(patchBlobs["1.0"]).size(), 1);
    QCOMPARE(server->requestsFor(patchBlobs["1.1"]).size(), 1);

    // The receipt is saved after each patch and once more with the new records.
    const QStringList log = road->logMessages();
    QCOMPARE(log.count("Patch applied successfully."), 2);
    QCOMPARE(log.count("Saved install receipt."), 3);

    // In order: the first patch is applied, swapped in and recorded before the second is applied;
    // the second patch was downloaded completely while the first one was being applied.
    const auto at = [&log](const QString& text, qsizetype from = 0) {
        for (qsizetype i = from; i < log.size(); ++i) {
            if (log[i].contains(text))
                return i;
        }
        return qsizetype(-1);
    };
    const qsizetype firstApplyStart = at("Starting patch apply job.");
    const qsizetype secondDownloaded = at("patch-1.1\" successfully.");
    const qsizetype firstApplied = at("Patch applied successfully.");
    const qsizetype firstSwap = at("Moving new install into place.");
    const qsizetype firstReceipt = at("Saved install receipt.");
    const qsizetype secondApplyStart = at("Starting patch apply job.", firstApplyStart + 1);
    QVERIFY(firstApplyStart >= 0 && secondDownloaded >= 0 && secondApplyStart >= 0);
    QVERIFY(firstApplyStart < secondDownloaded);
    QVERIFY(secondDownloaded < firstApplied);
    QVERIFY(firstApplied < firstSwap);
    QVERIFY(firstSwap < firstReceipt);
    QVERIFY(firstReceipt < secondApplyStart);
}

void TestLauncherPatchRoads::corruptPatchLeavesTheInstallUntouched()
{
    installVersion("1.0");
    // Published as it is, with its size: the download succeeds and the engine refuses the patch.
    publish("1.1", false, [](QByteArray& patch) { patch.chop(40); });

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.out.right(1500).constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Failed to apply patch 1!")),
             run.out.right(1500).constData());
    verifyInstallAt("1.0");
    QVERIFY(!QFileInfo::exists(road->installDir() + "_new"));
    QVERIFY(!road->gameStarted(500));
}

void TestLauncherPatchRoads::failedPatchDownloadKeepsTheVersionReached()
{
    installVersion("1.0");
    publish("1.2");
    server->setFaults(patchBlobs["1.1"], {{.fromAttempt = 1, .toAttempt = 0, .status = 503}});

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.out.right(1500).constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 2!")),
             run.out.right(1500).constData());
    verifyInstallAt("1.1");
    QVERIFY(!road->gameStarted(500));
}

void TestLauncherPatchRoads::resultThatDoesNotMatchTheManifestIsNotLaunched()
{
    installVersion("1.1");
    publish("1.2", true);

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.out.right(1500).constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "The patch was installed, but failed to validate.")),
             run.out.right(1500).constData());
    verifyInstallAt("1.2");
    QVERIFY(!road->gameStarted(500));
}

void TestLauncherPatchRoads::failedLocalManifestNeverCostsTheInstall_data()
{
    QTest::addColumn<bool>("fullPatchServed");
    QTest::addColumn<QString>("versionOnDisk");

    QTest::newRow("the full patch replaces it once complete") << true << "1.2";
    QTest::newRow("without the full patch it stays as it is") << false << "1.0";
}

// Without the installed version's manifest the install can't be checked, so the launcher installs
// the current version from the full patch; the install in place goes only when the new one is whole.
void TestLauncherPatchRoads::failedLocalManifestNeverCostsTheInstall()
{
    QFETCH(bool, fullPatchServed);
    QFETCH(QString, versionOnDisk);

    installVersion("1.0");
    publish("1.2");
    server->setFaults("/update/blobs/manifest-1.0", {{.status = 404}});
    if (!fullPatchServed)
        server->setFaults(fullPatchBlob + "_1", {{.status = 404}});

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.out.right(1500).constData());
    QVERIFY(road->logMessages().contains("Failed to retrieve local manifest."));
    if (fullPatchServed) {
        QVERIFY2(run.out.endsWith(doneLine), run.out.right(1500).constData());
        QVERIFY(road->gameStarted());
    } else {
        QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")),
                 run.out.right(1500).constData());
        QVERIFY(!road->gameStarted(500));
    }
    verifyInstallAt(versionOnDisk);
}

void TestLauncherPatchRoads::faultsKeepAValidInstall_data()
{
    QTest::addColumn<QMap<QString, QString>>("faults");
    QTest::addColumn<QString>("failure"); // empty: the run completes
    QTest::addColumn<QString>("versionOnDisk");
    QTest::addColumn<QStringList>("logged");
    // A patch answered late, so that the run is not ended by its failure while the patch before
    // it is still being applied.
    QTest::addColumn<QString>("slowBlob");
    QTest::addColumn<QString>("link"); // a kind of linkInstall(), or empty for an install folder

    const QString rename = "PELWINTER_FAULT_RENAME_FROM";
    const QString write = "PELWINTER_FAULT_WRITE_PATH";
    QTest::newRow("disk full while the first patch downloads")
        << Faults{{write, "/temp/patch_0.diff"}} << "Download failed for patch 1!"
        << "1.0" << QStringList{"Failed to save patch file.", "Failed to retrieve patch."} << ""
        << "";
    QTest::newRow("disk full while the second patch downloads")
        << Faults{{write, "/temp/patch_1.diff"}} << "Download failed for patch 2!"
        << "1.1" << QStringList{"Failed to save patch file.", "Failed to retrieve patch."} << "patch-1.1"
        << "";
    QTest::newRow("disk full while the patch is applied") << Faults{{write, "{staging}/"}} << "Failed to apply patch 1!"
                                                          << "1.0" << QStringList{"Patch failed to apply."} << ""
                                                          << "";
    // Headless, a step of the swap that keeps failing is given up after three passes of 32 tries.
    QTest::newRow("old install can't be moved aside")
        << Faults{{rename, "{install}"}} << "Failed to apply patch 1!"
        << "1.0"
        << QStringList(3, "Failed to remove old install \"{install}\"") + QStringList(2, "User requested more retries.")
        << ""
        << "";
    QTest::newRow("new install can't be moved into place: the old one goes back")
        << Faults{{rename, "{staging}"}} << "Failed to apply patch 1!"
        << "1.0"
        << QStringList(3, "Failed to move new install into place.") +
               QStringList{"Renamed \"{aside}\" to \"{install}\" successfully."}
        << ""
        << "";
    QTest::newRow("a move that fails for one pass is tried again")
        << Faults{{rename, "{staging}"}, {"PELWINTER_FAULT_RENAME_TIMES", "32"}} << ""
        << "1.2" << QStringList{"Failed to move new install into place.", "User requested more retries."} << ""
        << "";
    // A linked install's swap happens beside its target, and so does the way back.
    QTest::newRow("linked: old install can't be moved aside")
        << Faults{{rename, "{install}"}} << "Failed to apply patch 1!"
        << "1.0" << QStringList(3, "Failed to remove old install \"{install}\"") << ""
        << "target";
    QTest::newRow("linked: new install can't be moved into place: the old one goes back")
        << Faults{{rename, "{staging}"}} << "Failed to apply patch 1!"
        << "1.0"
        << QStringList(3, "Failed to move new install into place.") +
               QStringList{"Renamed \"{aside}\" to \"{install}\" successfully."}
        << ""
        << "target";
}

void TestLauncherPatchRoads::faultsKeepAValidInstall()
{
    QFETCH(Faults, faults);
    QFETCH(QString, failure);
    QFETCH(QString, versionOnDisk);
    QFETCH(QStringList, logged);
    QFETCH(QString, slowBlob);
    QFETCH(QString, link);

    if (!link.isEmpty())
        linkInstall(link);
    installVersion("1.0");
    publish("1.2");
    if (!slowBlob.isEmpty())
        server->setFaults("/update/blobs/" + slowBlob, {{.fromAttempt = 1, .toAttempt = 1, .delayMSecs = 2000}});

    const LauncherSandbox::Result run = runWithFaults(faults);

    QVERIFY2(run.finished, run.out.right(1500).constData());
    if (failure.isEmpty()) {
        QVERIFY2(run.out.endsWith(doneLine), run.out.right(2000).constData());
        QVERIFY(road->gameStarted());
    } else {
        QVERIFY2(run.out.endsWith(failureLine("Update Failed!", failure)), run.out.right(1500).constData());
        QVERIFY(!road->gameStarted(500));
    }
    verifyInstallAt(versionOnDisk);
    QVERIFY(!QFileInfo::exists(swapDir() + "_new"));
    QVERIFY(!QFileInfo::exists(swapDir() + "_new_new"));
    if (!link.isEmpty())
        verifyLinkKept();
    // No patch file that was cut short is left behind as if it were whole.
    const QStringList left = QDir(road->installsDir() + "/temp").entryList(QDir::Files);
    QVERIFY2(left.filter(".part").isEmpty(), qPrintable(left.join(' ')));
    const QStringList log = road->logMessages();
    for (const QString& line : std::as_const(logged))
        QVERIFY2(log.count(withPaths(line)) >= logged.count(line), qPrintable(withPaths(line)));
}

// In the window, a step of the swap that keeps failing asks the player: Retry runs another pass,
// Abort ends the run with the old install in place.
void TestLauncherPatchRoads::windowAsksBeforeGivingUpTheSwap()
{
    XvfbDisplay display;
    QVERIFY2(display.start(), "Xvfb is missing: scripts/install-deps.sh installs it");
    installVersion("1.0");
    publish("1.1");
    road->setEnv("DISPLAY", display.name);
    road->setEnv("QT_QPA_PLATFORM", "xcb");
    road->setEnv("LD_PRELOAD", LAUNCHER_FAULTS);
    road->setEnv("PELWINTER_FAULT_RENAME_FROM", road->installDir());

    QProcess launcher;
    road->start(launcher, TEST_LAUNCHER_BINARY, {"--gui"});
    QVERIFY(launcher.waitForStarted(5000));
    // A key sent the moment a box maps may come before the box takes input: press until it goes.
    const auto answer = [&](const QString& title, const QString& key) {
        const QString box = display.waitForWindow(title, 30000);
        if (box.isEmpty())
            return false;
        for (int tries = 0; tries < 20 && display.waitForWindow(title, 0) == box; ++tries) {
            display.tool("xdotool", {"windowfocus", "--sync", box, "key", key});
            QTest::qWait(250);
        }
        return display.waitForWindow(title, 0) != box;
    };
    // Return takes the box's first button, Retry; Escape its reject button, Abort.
    QVERIFY2(answer("Failed to remove old installation!", "Return"), qPrintable(road->logMessages().join('\n')));
    QTRY_VERIFY_WITH_TIMEOUT(road->logMessages().contains("User requested more retries."), 10000);
    QVERIFY2(answer("Failed to remove old installation!", "Escape"), qPrintable(road->logMessages().join('\n')));
    QVERIFY2(answer("Update Failed!", "Return"), qPrintable(road->logMessages().join('\n')));
    // The box's wait may already have seen the launcher end.
    QVERIFY(launcher.state() == QProcess::NotRunning || launcher.waitForFinished(10000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);

    const QStringList log = road->logMessages();
    QCOMPARE(log.count("Failed to remove old install \"" + road->installDir() + "\""), 2);
    QCOMPARE(log.count("User requested more retries."), 1);
    verifyInstallAt("1.0");
    QVERIFY(!QFileInfo::exists(road->installDir() + "_new"));
    QVERIFY(!QFileInfo::exists(road->installsDir() + "/temp"));
    QVERIFY(!road->gameStarted(500));
}

void TestLauncherPatchRoads::killedRunIsCompletedByTheNextRun_data()
{
    // The launcher is killed right after it logs the n-th line containing the text: at that step of
    // the run, exactly. A blob answered late keeps the run inside its download when it is killed.
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<QString>("slowBlob");
    QTest::addColumn<QString>("link"); // a kind of linkInstall(), or empty for an install folder

    const QString asideMoved = "Renamed \"{install}\" to \"{aside}\" successfully.";
    const QString movedIn = "Renamed \"{staging}\" to \"{install}\" successfully.";
    const QString asideRemoved = "Removed \"{aside}\" successfully.";
    const QString rehash = "game files that require hashing.";
    const QString none;
    QTest::newRow("full install: during the download") << ""
                                                       << "full-1.2_1\" successfully." << 1 << "full-1.2_2" << none;
    QTest::newRow("full install: during the apply") << ""
                                                    << "Patch progress:" << 3 << "" << none;
    QTest::newRow("full install: before the swap") << ""
                                                   << "Removing old install." << 1 << "" << none;
    QTest::newRow("full install: after the move into place, before the receipt") << "" << movedIn << 1 << "" << none;
    QTest::newRow("full install: during the rehash") << "" << rehash << 2 << "" << none;
    QTest::newRow("full install: after the last receipt, before the check")
        << ""
        << "Saved install receipt." << 2 << "" << none;
    QTest::newRow("chain: during the first download") << "1.0"
                                                      << "patch-1.0\" attempt 1" << 1 << "patch-1.0" << none;
    QTest::newRow("chain: during the second download") << "1.0"
                                                       << "patch-1.1\" attempt 1" << 1 << "patch-1.1" << none;
    QTest::newRow("chain: during the first apply") << "1.0"
                                                   << "Patch progress:" << 2 << "" << none;
    QTest::newRow("chain: before moving the old install aside") << "1.0"
                                                                << "Removing old install." << 1 << "" << none;
    QTest::newRow("chain: after moving the old install aside") << "1.0" << asideMoved << 1 << "" << none;
    QTest::newRow("chain: before moving the new install in") << "1.0"
                                                             << "Moving new install into place." << 1 << "" << none;
    QTest::newRow("chain: after moving the new install in, before the receipt") << "1.0" << movedIn << 1 << "" << none;
    QTest::newRow("chain: after the first receipt, before the old install goes")
        << "1.0"
        << "Saved install receipt." << 1 << "" << none;
    QTest::newRow("chain: after the first swap's old install is removed") << "1.0" << asideRemoved << 2 << "" << none;
    QTest::newRow("chain: during the second apply") << "1.0"
                                                    << "Starting patch apply job." << 2 << "" << none;
    QTest::newRow("chain: second swap, old install aside") << "1.0" << asideMoved << 2 << "" << none;
    QTest::newRow("chain: second swap, new install in") << "1.0" << movedIn << 2 << "" << none;
    QTest::newRow("chain: after the last swap's old install is removed") << "1.0" << asideRemoved << 4 << "" << none;
    QTest::newRow("chain: during the rehash") << "1.0" << rehash << 2 << "" << none;

    // A linked install is swapped beside the link's target; the link is never moved, so while the
    // old install is aside it leads nowhere, and the next start finds the aside copy from it.
    QTest::newRow("linked chain: before moving the old install aside") << "1.0"
                                                                       << "Removing old install." << 1 << ""
                                                                       << "target";
    QTest::newRow("linked chain: after moving the old install aside, the link leading nowhere")
        << "1.0" << asideMoved << 1 << ""
        << "target";
    QTest::newRow("linked chain: after moving the new install in") << "1.0" << movedIn << 1 << ""
                                                                   << "target";
    QTest::newRow("linked chain: after the first receipt, before the old install goes")
        << "1.0"
        << "Saved install receipt." << 1 << ""
        << "target";
    QTest::newRow("linked chain: second swap, old install aside") << "1.0" << asideMoved << 2 << ""
                                                                  << "target";
    QTest::newRow("linked chain: second swap, new install in") << "1.0" << movedIn << 2 << ""
                                                               << "target";
    QTest::newRow("linked chain: during the rehash") << "1.0" << rehash << 2 << ""
                                                     << "target";
    QTest::newRow("linked chain of links: after moving the old install aside") << "1.0" << asideMoved << 1 << ""
                                                                               << "chain";
    QTest::newRow("linked full install, target missing: before the swap") << ""
                                                                          << "Removing old install." << 1 << ""
                                                                          << "missing";
    QTest::newRow("linked full install, target missing: after the move into place") << "" << movedIn << 1 << ""
                                                                                    << "missing";
}

void TestLauncherPatchRoads::killedRunIsCompletedByTheNextRun()
{
    QFETCH(QString, installed);
    QFETCH(QString, text);
    QFETCH(int, occurrence);
    QFETCH(QString, slowBlob);
    QFETCH(QString, link);

    if (!link.isEmpty())
        linkInstall(link);
    if (!installed.isEmpty())
        installVersion(installed);
    publish("1.2");
    if (!slowBlob.isEmpty())
        server->setFaults("/update/blobs/" + slowBlob, {{.fromAttempt = 1, .toAttempt = 1, .delayMSecs = 3000}});

    const LauncherSandbox::Result killed = runWithFaults(
        {{"PELWINTER_FAULT_KILL_AT_LOG", text}, {"PELWINTER_FAULT_KILL_AT_COUNT", QString::number(occurrence)}});
    QVERIFY2(killed.exitStatus == QProcess::CrashExit, killed.out.constData());
    QCOMPARE(road->logMessages().filter(withPaths(text)).size(), occurrence);
    QVERIFY(!road->gameStarted(100));

    // At every moment a whole install is on disk: in place, or moved aside while the new one is
    // not yet in place. A first install has none until the new one is complete.
    const QString inPlace = QFileInfo::exists(swapDir()) ? swapDir() : swapDir() + "_new_new";
    const FileTree::Entries onDisk = FileTree::read(inPlace);
    if (installed.isEmpty()) {
        QVERIFY(onDisk.isEmpty() || onDisk == version("1.2"));
    } else {
        QVERIFY2(onDisk == version("1.0") || onDisk == version("1.1") || onDisk == version("1.2"), qPrintable(inPlace));
    }

    server->clearFaults();
    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.out.right(1500).constData());
    QVERIFY2(run.out.endsWith(doneLine), qPrintable(run.out + road->logMessages().join('\n')));
    verifyInstallAt("1.2");
    QVERIFY(road->gameStarted());
    if (!link.isEmpty()) {
        QCOMPARE(FileTree::read(linkTarget), version("1.2"));
        verifyLinkKept();
    }
}

void TestLauncherPatchRoads::linkedInstallIsUpdatedWhereItLives_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("failure"); // empty: the run completes

    QTest::newRow("a chain of two patches") << "target"
                                            << "1.0"
                                            << "";
    QTest::newRow("a relative link") << "relative"
                                     << "1.0"
                                     << "";
    QTest::newRow("a link to a link: the swap happens at the end") << "chain"
                                                                   << "1.0"
                                                                   << "";
    QTest::newRow("a link whose target is missing gets the full install there") << "missing"
                                                                                << ""
                                                                                << "";
    QTest::newRow("a link into a folder that is missing (a disk not mounted): nothing is made")
        << "unmounted"
        << ""
        << "Couldn't make an install directory. Verify that you have permission to do so.";
}

// The game stays where the player keeps it: the patches are applied into a staging folder beside
// the link's target (on another file system than the launcher's data), swapped in by renames there.
void TestLauncherPatchRoads::linkedInstallIsUpdatedWhereItLives()
{
    QFETCH(QString, link);
    QFETCH(QString, installed);
    QFETCH(QString, failure);

    linkInstall(link);
    if (!installed.isEmpty())
        installVersion(installed);
    publish("1.2");

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.finished, run.out.right(1500).constData());
    verifyLinkKept();
    if (!failure.isEmpty()) {
        QVERIFY2(run.out.endsWith(failureLine("Update Failed!", failure)), run.out.right(1500).constData());
        QVERIFY(!QFileInfo::exists(QFileInfo(linkTarget).path()));
        QVERIFY(!road->gameStarted(500));
        return;
    }
    QVERIFY2(run.out.endsWith(doneLine), qPrintable(run.out.right(1500) + road->logMessages().join('\n')));
    verifyInstallAt("1.2");
    QCOMPARE(FileTree::read(linkTarget), version("1.2"));
    QVERIFY(road->gameStarted());
    const QStringList log = road->logMessages();
    QCOMPARE(log.count(withPaths("Renamed \"{staging}\" to \"{install}\" successfully.")), installed.isEmpty() ? 1 : 2);
}

void TestLauncherPatchRoads::receiptNamesTheNewVersionBeforeTheOldOneGoes_data()
{
    QTest::addColumn<QString>("link");

    QTest::newRow("install folder") << "";
    QTest::newRow("linked install") << "target";
}

// Removing the old install may take seconds: a run killed meanwhile must find the receipt naming
// the version in place, and go on from there without repairing anything.
void TestLauncherPatchRoads::receiptNamesTheNewVersionBeforeTheOldOneGoes()
{
    QFETCH(QString, link);

    if (!link.isEmpty())
        linkInstall(link);
    installVersion("1.0");
    publish("1.2");

    const LauncherSandbox::Result killed = runWithFaults({{"PELWINTER_FAULT_KILL_AT_LOG", "Saved install receipt."}});
    QVERIFY2(killed.exitStatus == QProcess::CrashExit, killed.out.constData());
    QCOMPARE(FileTree::read(swapDir() + "_new_new"), version("1.0"));
    QCOMPARE(FileTree::read(road->installDir()), version("1.1"));
    QCOMPARE(road->readReceipt().value("version").toString(), QString("1.1"));

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.out.endsWith(doneLine), qPrintable(run.out + road->logMessages().join('\n')));
    verifyInstallAt("1.2");
    QVERIFY(road->gameStarted());
    // Only the manifest of 1.1 and the patch from 1.1 were fetched: nothing repaired, nothing twice.
    QStringList blobs;
    for (const TestUpdateServer::Request& request : server->requestLog()) {
        if (request.path.startsWith("/update/blobs/"))
            blobs.append(request.path);
    }
    QCOMPARE(blobs, (QStringList{"/update/blobs/manifest-1.1", patchBlobs["1.1"]}));
    QVERIFY(!QFileInfo::exists(swapDir() + "_new_new"));
    if (!link.isEmpty())
        verifyLinkKept();
}

void TestLauncherPatchRoads::receiptNamesWhatTheInstallHoldsWhereverTheRunStops_data()
{
    // The run is killed right before the n-th rename of a path containing the text: the receipt's
    // publishing rename after a swap, or the swap's first rename (the old install moved aside).
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("link"); // a kind of linkInstall(), or empty for an install folder
    QTest::addColumn<QString>("killAt");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<QString>("versionInPlace"); // what the install folder holds once the run is killed
    QTest::addColumn<bool>("restoredByHand");    // then replaced by a copy of 1.0, as from a backup
    QTest::addColumn<QStringList>("requested");  // the blobs the next run fetches

    const QString published = "rename:main.json.pelwinter-launcher-";
    const QString asideMoved = "rename:{aside}";
    const QStringList fromOne{"manifest-1.0", "patch-1.0", "patch-1.1"};
    const QStringList fromOneOne{"manifest-1.1", "patch-1.1"};
    const QStringList none;
    QTest::newRow("full install: before its receipt is published") << ""
                                                                   << "" << published << 1 << "1.2" << false << none;
    QTest::newRow("chain: before the first swap's receipt is published")
        << "1.0"
        << "" << published << 1 << "1.1" << false << fromOneOne;
    QTest::newRow("chain: before the second swap's receipt is published")
        << "1.0"
        << "" << published << 2 << "1.2" << false << none;
    // The receipt with the records of the rehash, saved as any save is, is written for the install in place.
    QTest::newRow("chain: before the receipt with the new records replaces the published one")
        << "1.0"
        << "" << published << 3 << "1.2" << false << none;
    QTest::newRow("linked chain: before the first swap's receipt is published")
        << "1.0"
        << "target" << published << 1 << "1.1" << false << fromOneOne;
    QTest::newRow("linked full install, target missing: before its receipt is published")
        << ""
        << "missing" << published << 1 << "1.2" << false << none;
    // Nothing has moved: the receipt written ahead is bound to the staging folder, which the start removes.
    QTest::newRow("chain: before the first swap's first rename") << "1.0"
                                                                 << "" << asideMoved << 1 << "1.0" << false << fromOne;
    QTest::newRow("chain: before the second swap's first rename")
        << "1.0"
        << "" << asideMoved << 2 << "1.1" << false << fromOneOne;
    // The receipt written ahead is bound to the folder the swap put in place, not to one put there since.
    QTest::newRow("chain: before the first swap's receipt is published, the install then restored by hand")
        << "1.0"
        << "" << published << 1 << "1.1" << true << fromOne;
    // one patch, after which the files it keeps and those it writes lie side by side
    QTest::newRow("an update that is not cut short") << "1.1"
                                                     << ""
                                                     << "" << 0 << "1.2" << false << none;
}

// Whatever moment a run is killed at, the next start knows which version the install folder holds without
// hashing it: it validates nothing against another version's files and fetches no patch already applied.
// And once an update is complete, the next run, which finds the install up to date, writes nothing.
void TestLauncherPatchRoads::receiptNamesWhatTheInstallHoldsWhereverTheRunStops()
{
    QFETCH(QString, installed);
    QFETCH(QString, link);
    QFETCH(QString, killAt);
    QFETCH(int, occurrence);
    QFETCH(QString, versionInPlace);
    QFETCH(bool, restoredByHand);
    QFETCH(QStringList, requested);

    if (!link.isEmpty())
        linkInstall(link);
    if (!installed.isEmpty())
        installVersion(installed);
    publish("1.2");

    if (killAt.isEmpty()) {
        const LauncherSandbox::Result update = road->runLauncher();
        QVERIFY2(update.out.endsWith(doneLine), qPrintable(update.out + road->logMessages().join('\n')));
        QVERIFY(road->gameStarted());
    } else {
        const LauncherSandbox::Result killed =
            runWithFaults({{"PELWINTER_FAULT_KILL_AT_PATH", killAt},
                           {"PELWINTER_FAULT_KILL_AT_PATH_COUNT", QString::number(occurrence)}});
        QVERIFY2(killed.exitStatus == QProcess::CrashExit, killed.out.constData());
        QCOMPARE(FileTree::read(swapDir()), version(versionInPlace));
    }
    if (restoredByHand) {
        const QString backup = road->root() + "/backup";
        QVERIFY(FileTree::write(backup, version("1.0")));
        QVERIFY(QDir(swapDir()).removeRecursively());
        QVERIFY(QDir().rename(backup, swapDir()));
    }
    const QString written = stamp(road->receiptPath());

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.out.endsWith(doneLine), qPrintable(run.out + road->logMessages().join('\n')));
    const QStringList log = road->logMessages();
    QVERIFY2(log.filter("Failed to validate").isEmpty(), qPrintable(log.join('\n')));
    QCOMPARE(server->blobRequests(), requested);
    verifyInstallAt("1.2");
    QVERIFY(road->gameStarted());
    if (!link.isEmpty())
        verifyLinkKept();
    // No receipt temporary is left beside the receipt.
    const QStringList beside = QDir(QFileInfo(road->receiptPath()).path()).entryList(QDir::Files | QDir::Hidden);
    QVERIFY2(beside.filter(".receipt").isEmpty(), qPrintable(beside.join(' ')));

    // The run after the update hashes nothing and leaves the receipt as the update saved it.
    if (killAt.isEmpty()) {
        QCOMPARE(stamp(road->receiptPath()), written);
        return;
    }
    const QByteArray receipt = readFile(road->receiptPath());
    const QString saved = stamp(road->receiptPath());
    const LauncherSandbox::Result again = road->runLauncher();
    QVERIFY2(again.out.endsWith(doneLine), again.out.right(1500).constData());
    QVERIFY(road->logMessages().contains("Found 0 game files that require hashing."));
    QCOMPARE(stamp(road->receiptPath()), saved);
    QCOMPARE(readFile(road->receiptPath()), receipt);
}

void TestLauncherPatchRoads::strayEntriesWhereTheLauncherWorksAreRemoved_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("isLink");  // a link to a folder of the player's; else a regular file
    QTest::addColumn<QString>("link"); // a kind of linkInstall(), or empty for an install folder

    QTest::newRow("a file where the staging folder goes") << "{staging}" << false << "";
    QTest::newRow("a link where the staging folder goes") << "{staging}" << true << "";
    QTest::newRow("a file where the download folder goes") << "{temp}" << false << "";
    QTest::newRow("a link where the download folder goes") << "{temp}" << true << "";
    QTest::newRow("a file where the aside folder goes") << "{aside}" << false << "";
    QTest::newRow("a link where the aside folder goes") << "{aside}" << true << "";
    QTest::newRow("a link where a linked install's staging folder goes") << "{staging}" << true << "target";
    QTest::newRow("a file where a linked install's aside folder goes") << "{aside}" << false << "target";
}

// Whatever stands where the launcher makes its folders is removed, a link as a link: what it leads
// to stays, and a removal is logged as done only when nothing is left.
void TestLauncherPatchRoads::strayEntriesWhereTheLauncherWorksAreRemoved()
{
    QFETCH(QString, path);
    QFETCH(bool, isLink);
    QFETCH(QString, link);

    if (!link.isEmpty())
        linkInstall(link);
    installVersion("1.1");
    publish("1.2");
    const QString precious = road->root() + "/precious";
    const FileTree::Entries preciousTree{{"keep.txt", FileTree::file("keep me\n")},
                                         {"sub/", FileTree::dir()},
                                         {"sub/save.dat", FileTree::file(randomBytes(3000, 41))}};
    QVERIFY(FileTree::write(precious, preciousTree));
    const QString stray = withPaths(path);
    if (isLink) {
        QVERIFY(QFile::link(precious, stray));
    } else {
        QFile file(stray);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("stray\n");
    }

    const LauncherSandbox::Result run = road->runLauncher();

    QVERIFY2(run.out.endsWith(doneLine), qPrintable(run.out.right(1500) + road->logMessages().join('\n')));
    verifyInstallAt("1.2");
    QCOMPARE(FileTree::read(precious), preciousTree);
    QVERIFY(!QFileInfo::exists(stray) && !QFileInfo(stray).isSymLink());
    QVERIFY(road->logMessages().contains("Removed \"" + stray + "\" successfully."));
    if (!link.isEmpty())
        verifyLinkKept();
}

QTEST_GUILESS_MAIN(TestLauncherPatchRoads)
#include "TestLauncherPatchRoads.moc"
