// The real launcher against a server that stalls: a manifest or a blob part sent a byte a second,
// headers followed by nothing, no answer at all. Every such attempt ends within twice the stall window
// and is retried like any failed one, so the run always comes to an end; transfers that are slow but
// steady, or that wait their turn behind Qt's connections, are never cut. A download that can't be
// written names its file and the system's error.

#include "BuildConfig.h"
#include "support/FakeGame.h"
#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/RandomBytes.h"
#include "support/ScratchMount.h"
#include "support/TestUpdateServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <memory>

using GameContent::publishFile;

namespace
{
const QByteArray doneLine = "\x1b[1;37;42mAll done!\x1b[0m\n";
const QString manifestPath = "/update/manifest-main-linux.json";

// Why a run did not end as it should: how the process ended and the end of its log, where a run that
// hangs stands (the test library cuts long messages short, so the beginning would say nothing).
QString whyNotFinished(const LauncherSandbox::Result& run, const LauncherRoad& road)
{
    return QString("exit code %1, %2, stderr: %3; the log ends: %4")
        .arg(run.exitCode)
        .arg(run.exitStatus == QProcess::CrashExit ? "crashed or killed" : "exited")
        .arg(QString::fromLocal8Bit(run.err.right(300)), road.readLog().right(1200));
}

QByteArray failureLine(const QString& title, const QString& error)
{
    return ("\x1b[1;37;41m" + title + "\x1b[0m \x1b[1;31m" + error + "\x1b[0m\n").toUtf8();
}
} // namespace

class TestLauncherDownloadFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stalledAttemptsFailAndAreRetried_data();
    void stalledAttemptsFailAndAreRetried();
    void steadyTransfersAreNeverCut_data();
    void steadyTransfersAreNeverCut();
    void unwritableDownloadNamesItsCause();
    void brokenBlobNamesZstdsError();

private:
    std::unique_ptr<LauncherRoad> road;
};

void TestLauncherDownloadFaults::initTestCase()
{
    QVERIFY(!GameContent::b3sumHex("x").isEmpty());
}

void TestLauncherDownloadFaults::init()
{
    road = std::make_unique<LauncherRoad>();
    QVERIFY(road->isValid());
}

void TestLauncherDownloadFaults::cleanup()
{
    road.reset();
}

void TestLauncherDownloadFaults::stalledAttemptsFailAndAreRetried_data()
{
    QTest::addColumn<QString>("target"); // "manifest", or "patch part": part 1 of a patch in two parts
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("cause"); // the log line naming why an attempt ended, after the address

    const int window = BuildConfig::retryPolicy().stallWindowMSecs;
    const QString slow = QString("timed out: fewer than 1024 bytes arrived within %1 ms.").arg(window);
    const QString silent = QString("timed out: no answer within %1 ms.").arg(window);
    QTest::newRow("manifest sent a byte a second") << "manifest"
                                                   << "drip:1" << slow;
    QTest::newRow("manifest headers, then a body that never comes") << "manifest"
                                                                    << "headers_then_stall" << slow;
    QTest::newRow("manifest never answered") << "manifest"
                                             << "no_headers" << silent;
    QTest::newRow("patch part sent a byte a second") << "patch part"
                                                     << "drip:1" << slow;
}

void TestLauncherDownloadFaults::stalledAttemptsFailAndAreRetried()
{
    QFETCH(QString, target);
    QFETCH(QString, fault);
    QFETCH(QString, cause);

    const QJsonArray files{road->installedGame()};
    QString stalledPath = manifestPath;
    if (target == "manifest") {
        road->publishBranch("1.0", files);
        road->writeReceipt("1.0");
    } else {
        // Version 1.0 is installed; the patch to 1.1 comes in two parts, the second of which stalls.
        const QByteArray localManifest = QJsonDocument(QJsonObject{{"version", "1.0"}, {"files", files}}).toJson();
        road->server().putBlob("manifest10", localManifest);
        const QByteArray patch = randomBytes(20000, 4);
        stalledPath = road->server().putBlob("patch10", patch, 2) + "_1";
        const QJsonObject node{
            {"version", "1.0"},
            {"manifest_resource", QJsonObject{{"hash", "manifest10"}, {"parts", 1}, {"size", localManifest.size()}}},
            {"patch_resource", QJsonObject{{"hash", "patch10"}, {"parts", 2}, {"size", patch.size()}}},
            {"target", "1.1"},
        };
        road->publishBranch("1.1", files, {node});
        road->writeReceipt("1.0");
    }
    road->server().setFaults(stalledPath, {{.fault = fault}});
    QVERIFY(road->server().start(TEST_SERVER_PORT));
    const QByteArray gameBefore = readFile(FakeGame::executablePath(road->installDir()));

    const LauncherSandbox::Result run = road->runLauncher(120000);
    QVERIFY2(run.finished, qPrintable(whyNotFinished(run, *road)));

    // Ten attempts, as for any failed part; each one ends within twice the window after it started,
    // and the next starts after its pause.
    const RetryPolicy& policy = BuildConfig::retryPolicy();
    const QList<TestUpdateServer::Request> attempts = road->server().requestsFor(stalledPath);
    QCOMPARE(attempts.size(), 10);
    for (int n = 1; n < attempts.size(); ++n) {
        const double gap = attempts[n].timeMSecs - attempts[n - 1].timeMSecs;
        QVERIFY2(gap <= 2 * policy.stallWindowMSecs + n * policy.downloadPauseStepMSecs,
                 qPrintable(QString("attempt %1 came %2 ms after the one before").arg(n + 1).arg(gap)));
    }
    const QStringList log = road->logMessages();
    const QString address = road->server().url(stalledPath);
    QCOMPARE(log.filter(QString(R"(Download of "%1" %2)").arg(address, cause)).size(), 10);
    QCOMPARE(log.filter(R"(Failure: "Operation canceled")").size(), 10);
    QVERIFY(log.contains(QString(R"(Failed to download "%1" with 10 attempts)").arg(address)));

    if (target == "manifest") {
        // Without a manifest the installed game is started as it is.
        QVERIFY(log.contains("Failed to retrieve manifest."));
        QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
        QVERIFY(road->gameStarted());
        return;
    }
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    QCOMPARE(readFile(FakeGame::executablePath(road->installDir())), gameBefore);
    QCOMPARE(road->readReceipt()["version"].toString(), QString("1.0"));
    QVERIFY(!QFileInfo::exists(road->installDir() + "_new"));
}

void TestLauncherDownloadFaults::steadyTransfersAreNeverCut_data()
{
    QTest::addColumn<int>("parts");
    QTest::addColumn<QString>("fault");  // for every part
    QTest::addColumn<int>("delayMSecs"); // before every part's answer

    // Six times the least a window must bring, in pieces a few times a second.
    const int steady =
        6 * BuildConfig::retryPolicy().stallMinimumBytes * 1000 / BuildConfig::retryPolicy().stallWindowMSecs;
    QTest::newRow("blob parts sent slowly but steadily") << 2 << QString("drip:%1").arg(steady) << 0;
    // Qt runs six requests to a host at once; the others wait in its queue, longer than a window.
    QTest::newRow("blob of 64 parts, more than Qt's connections") << 64 << QString() << 300;
}

void TestLauncherDownloadFaults::steadyTransfersAreNeverCut()
{
    QFETCH(int, parts);
    QFETCH(QString, fault);
    QFETCH(int, delayMSecs);

    // A broken file of the installed version, repaired from its blob.
    const QByteArray content = randomBytes(12 * 1024 * parts, 5);
    const QJsonObject entry = publishFile(road->server(), "Pelwinter/Content/a.pak", content, parts);
    writeFile(road->installDir() + "/Pelwinter/Content/a.pak", "broken");
    road->publishBranch("1.0", {road->installedGame(), entry});
    road->writeReceipt("1.0");
    const QString blob = "/update/blobs/" + entry["resource"].toObject()["hash"].toString();
    for (int i = 0; i < parts; ++i)
        road->server().setFaults(QString("%1_%2").arg(blob).arg(i), {{.fault = fault, .delayMSecs = delayMSecs}});
    QVERIFY(road->server().start(TEST_SERVER_PORT));

    const LauncherSandbox::Result run = road->runLauncher(120000);
    QVERIFY2(run.finished, qPrintable(whyNotFinished(run, *road)));
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->gameStarted());
    QCOMPARE(readFile(road->installDir() + "/Pelwinter/Content/a.pak"), content);
    const QStringList log = road->logMessages();
    QVERIFY2(log.filter("timed out").isEmpty(), qPrintable(log.filter("timed out").join('\n')));
    for (int i = 0; i < parts; ++i)
        QCOMPARE(road->server().requestsFor(QString("%1_%2").arg(blob).arg(i)).size(), 1);
}

void TestLauncherDownloadFaults::unwritableDownloadNamesItsCause()
{
    // The installs live on a small file system that the full patch doesn't fit on.
    ScratchMount disk(ScratchMount::Tmpfs, 256 * 1024);
    if (!disk.isMounted())
        QSKIP(qPrintable(disk.whyNot()));
    QVERIFY(QDir().mkpath(road->dataDir() + "/pelwinter-launcher"));
    QVERIFY(QFile::link(disk.path(), road->installsDir()));
    const QByteArray fullPatch = randomBytes(1024 * 1024, 6);
    road->server().putBlob("fullpatch", fullPatch);
    road->publishBranch("1.0", {}, {}, {{"hash", "fullpatch"}, {"parts", 1}, {"size", fullPatch.size()}});
    QVERIFY(road->server().start(TEST_SERVER_PORT));

    const LauncherSandbox::Result run = road->runLauncher(120000);
    QVERIFY2(run.finished, qPrintable(whyNotFinished(run, *road)));
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    const QStringList log = road->logMessages();
    const QStringList failed = log.filter("Failed to write downloaded data to");
    QCOMPARE(failed.size(), 1);
    const QString path = QRegularExpression(R"(to "([^"]+)\")").match(failed.first()).captured(1);
    QVERIFY2(path.startsWith(road->installsDir() + "/temp/"), qPrintable(failed.first()));
    QVERIFY2(log.contains(QString(R"(Writing "%1" failed: "No space left on device")").arg(path)),
             qPrintable(log.join('\n')));
}

void TestLauncherDownloadFaults::brokenBlobNamesZstdsError()
{
    // The blob of a broken file holds no zstd frame; the repair fails and the full install is tried.
    QJsonObject entry = publishFile(road->server(), "Pelwinter/Content/a.pak", "contents");
    const QByteArray notZstd = randomBytes(3000, 7);
    road->server().putBlob("notzstd", notZstd);
    entry["resource"] = QJsonObject{{"hash", "notzstd"}, {"parts", 1}, {"size", notZstd.size()}};
    writeFile(road->installDir() + "/Pelwinter/Content/a.pak", "broken");
    road->publishBranch("1.0", {road->installedGame(), entry});
    road->writeReceipt("1.0");
    QVERIFY(road->server().start(TEST_SERVER_PORT));

    const LauncherSandbox::Result run = road->runLauncher(120000);
    QVERIFY2(run.finished, qPrintable(whyNotFinished(run, *road)));
    const QStringList log = road->logMessages();
    const QString address = road->server().url("/update/blobs/notzstd");
    QVERIFY(log.contains(QString(R"(Failed to decompress "%1")").arg(address)));
    QVERIFY2(log.contains(QString(R"(Decompressing "%1" failed: "Unknown frame descriptor")").arg(address)),
             qPrintable(log.join('\n')));
    QVERIFY(log.contains("Failed to repair file 0"));
}

QTEST_GUILESS_MAIN(TestLauncherDownloadFaults)
#include "TestLauncherDownloadFaults.moc"
