// The launcher against an update server that is broken or hostile, end to end: the test build of
// the launcher against the loopback update server, in a private data directory. Counts and sizes in
// the manifests are absurd, bodies are longer than promised or have no end, parts fail for good while
// others still run, and a broken file of more than 2 GiB is repaired from a frame without content
// size, with the launcher's peak memory measured.

#include "support/Files.h"
#include "support/GameContent.h"
#include "support/LauncherRoad.h"
#include "support/RandomBytes.h"
#include "support/TestUpdateServer.h"

#include <QDir>
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
const qint64 MiB = qint64(1) << 20;
const qint64 GiB = qint64(1) << 30;

QByteArray failureLine(const QString& title, const QString& error)
{
    return ("\x1b[1;37;41m" + title + "\x1b[0m \x1b[1;31m" + error + "\x1b[0m\n").toUtf8();
}

// Runs a command line to its end; false (with a warning) when it doesn't succeed.
bool runTool(const QString& program, const QStringList& arguments, const QString& stdinPath = QString(),
             const QString& stdoutPath = QString())
{
    QProcess process;
    if (!stdinPath.isEmpty())
        process.setStandardInputFile(stdinPath);
    if (!stdoutPath.isEmpty())
        process.setStandardOutputFile(stdoutPath);
    process.start(program, arguments);
    if (!process.waitForFinished(300000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << program << arguments << "failed:" << process.readAllStandardError();
        return false;
    }
    return true;
}

QString b3sumOfFile(const QString& path)
{
    QProcess process;
    process.start("b3sum", {"--no-names", path});
    process.waitForFinished(300000);
    return QString::fromLatin1(process.readAllStandardOutput().trimmed());
}
} // namespace

class TestLauncherHostileServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void refusesAbsurdPartCounts_data();
    void refusesAbsurdPartCounts();
    void addsSizesNearTwoToThe63WithoutWrapping();
    void brokenSizesNearTwoToThe63ChooseTheFullPatch();
    void cutsOffABodyLongerThanItsSize();
    void capsABodyOfUnknownSize_data();
    void capsABodyOfUnknownSize();
    void abortsEachReplyOnce();
    void repairsAFileOfMoreThanTwoGiBInBoundedMemory();

private:
    // Runs the launcher to its end; maxRssKiB receives its peak resident memory.
    LauncherSandbox::Result runLauncher(qint64* maxRssKiB = nullptr);

    std::unique_ptr<TestUpdateServer> server;
    std::unique_ptr<LauncherRoad> road;
};

void TestLauncherHostileServer::initTestCase()
{
    server = LauncherRoad::startServer();
    QVERIFY(server);
}

void TestLauncherHostileServer::init()
{
    // One server for every test, emptied for each.
    server->reset();
    road = std::make_unique<LauncherRoad>(*server);
    QVERIFY(road->isValid());
}

void TestLauncherHostileServer::cleanup()
{
    road.reset();
}

LauncherSandbox::Result TestLauncherHostileServer::runLauncher(qint64* maxRssKiB)
{
    // The launcher runs under a small Python parent that reports the peak resident memory of its
    // child (getrusage of the waited-for launcher) on standard error.
    static const QString measure = "import resource, subprocess, sys\n"
                                   "code = subprocess.call(sys.argv[1:])\n"
                                   "sys.stderr.write('MAXRSS %d\\n' % "
                                   "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
                                   "sys.exit(code)\n";
    LauncherSandbox::Result result = road->runLauncher(300000, {}, {"python3", "-c", measure});
    if (maxRssKiB) {
        const QRegularExpressionMatch match = QRegularExpression("MAXRSS (\\d+)").match(QString::fromUtf8(result.err));
        *maxRssKiB = match.hasMatch() ? match.captured(1).toLongLong() : -1;
    }
    return result;
}

void TestLauncherHostileServer::refusesAbsurdPartCounts_data()
{
    QTest::addColumn<QString>("resource"); // which resource of the manifests holds the part count
    QTest::addColumn<int>("parts");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("passedLine"); // a log line the run passes on its way to the end

    const qint64 maxInt = 2147483647;
    QTest::newRow("local manifest in 2147483647 parts")
        << "manifest" << int(maxInt) << qint64(0) << "Failed to retrieve local manifest.";
    QTest::newRow("patch in 2147483647 parts") << "patch" << int(maxInt) << qint64(100) << "Failed to retrieve patch.";
    QTest::newRow("repair blob in 2147483647 parts")
        << "repair" << int(maxInt) << qint64(0) << "Failed to repair file 0";
    QTest::newRow("patch in 257 parts") << "patch" << 257 << qint64(0) << "Failed to retrieve patch.";
    QTest::newRow("patch in more parts than bytes") << "patch" << 5 << qint64(4) << "Failed to retrieve patch.";
}

void TestLauncherHostileServer::refusesAbsurdPartCounts()
{
    QFETCH(QString, resource);
    QFETCH(int, parts);
    QFETCH(qint64, size);
    QFETCH(QString, passedLine);

    const QJsonObject absurd{{"hash", "absurd"}, {"parts", parts}, {"size", size}};
    QJsonArray files{road->installedGame()};
    if (resource == "repair") {
        QJsonObject broken = publishFile(*server, "Pelwinter/Content/a.pak", "contents");
        broken["resource"] = absurd;
        writeFile(road->installDir() + "/Pelwinter/Content/a.pak", "broken");
        files.append(broken);
    }
    QJsonArray nodes;
    if (resource == "manifest")
        nodes.append(QJsonObject{{"version", "0.9"}, {"manifest_resource", absurd}, {"target", "1.0"}});
    if (resource == "patch")
        nodes.append(road->patchNode("1.0", "1.1", absurd, files));
    road->publishBranch(resource == "patch" ? "1.1" : "1.0", files, nodes);
    road->writeReceipt(resource == "manifest" ? "0.9" : "1.0");

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY2(run.finished, run.err.constData());
    // Each road ends at a patch that can't be downloaded: the refused one, or the full patch, which
    // the server doesn't have.
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    const QStringList log = road->logMessages();
    const QString refusal = QString(R"(Failed to download "https://127.0.0.1:%1/update/blobs/absurd" in %2 parts: )"
                                    "a resource is stored in at most 256 parts and in no more parts than it has bytes.")
                                .arg(TEST_SERVER_PORT)
                                .arg(parts);
    QVERIFY2(log.contains(refusal), qPrintable(log.join('\n')));
    QVERIFY(log.contains(passedLine));
    QVERIFY(server->blobRequests().filter("absurd").isEmpty());
}

void TestLauncherHostileServer::addsSizesNearTwoToThe63WithoutWrapping()
{
    // Two patches whose sizes add up past 2^63. The first patch is shorter than its size and fails,
    // but not before its progress has been shown against the total of both.
    server->putBlob("patch10", randomBytes(50000, 1));
    const qint64 huge = (qint64(1) << 62) + (qint64(1) << 61);
    const QJsonArray files{road->installedGame()};
    const QJsonArray nodes{
        road->patchNode("1.0", "1.1", {{"hash", "patch10"}, {"parts", 1}, {"size", huge}}, files),
        road->patchNode("1.1", "1.2", {{"hash", "patch11"}, {"parts", 1}, {"size", huge}}, files),
    };
    road->publishBranch("1.2", files, nodes);
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY2(run.finished, run.err.constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    // The total is held at the largest count instead of wrapping to a negative one.
    QVERIFY2(run.out.contains(" / 8589934591 GiB"), run.out.constData());
    QVERIFY2(!run.out.contains(" / -"), run.out.constData());
    const QString shortPatch =
        QString(
            R"(Merged resource "https://127.0.0.1:%1/update/blobs/patch10" has unexpected size 50000 instead of %2)")
            .arg(TEST_SERVER_PORT)
            .arg(huge);
    QVERIFY(road->logMessages().contains(shortPatch));
}

void TestLauncherHostileServer::brokenSizesNearTwoToThe63ChooseTheFullPatch()
{
    // Two broken files of 2^62 bytes each: together more than the full patch, not a negative sum.
    QJsonArray files{road->installedGame()};
    for (const QString name : {"a.pak", "b.pak"}) {
        QJsonObject entry = publishFile(*server, "Pelwinter/Content/" + name, "contents");
        QJsonObject resource = entry["resource"].toObject();
        resource["size"] = qint64(1) << 62;
        entry["resource"] = resource;
        writeFile(road->installDir() + "/Pelwinter/Content/" + name, "broken");
        files.append(entry);
    }
    road->publishBranch("1.0", files);
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY2(run.finished, run.err.constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    const QStringList log = road->logMessages();
    QVERIFY(log.contains("Broken files are larger than full patch resource, discarding previous install."));
    QVERIFY(!log.contains("Preparing repair jobs for 2 files."));
    QCOMPARE(server->blobRequests(), QStringList(10, "fullpatch"));
}

void TestLauncherHostileServer::cutsOffABodyLongerThanItsSize()
{
    // The installed version's manifest comes with its right size, followed by zeros without end. Each
    // attempt is cut off as soon as it passes the size, so memory never grows with what is sent.
    const QJsonArray files{road->installedGame()};
    const QByteArray localManifest = QJsonDocument(QJsonObject{{"version", "0.9"}, {"files", files}}).toJson();
    const QString path = server->putBlob("manifest09", localManifest);
    server->setFaults(path, {{.fault = "endless"}});
    const QJsonArray nodes{QJsonObject{
        {"version", "0.9"},
        {"manifest_resource", QJsonObject{{"hash", "manifest09"}, {"parts", 1}, {"size", localManifest.size()}}},
        {"target", "1.0"},
    }};
    road->publishBranch("1.0", files, nodes);
    road->writeReceipt("0.9");

    qint64 maxRssKiB = 0;
    const LauncherSandbox::Result run = runLauncher(&maxRssKiB);
    QVERIFY2(run.finished, run.err.constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    const QStringList log = road->logMessages();
    const QString cutOff = QString(R"(Failure: "Received more than the expected %1 bytes")").arg(localManifest.size());
    QCOMPARE(log.count(cutOff), 10);
    QVERIFY(log.contains("Failed to retrieve local manifest."));
    QCOMPARE(server->blobRequests().count("manifest09"), 10);
    QVERIFY2(maxRssKiB > 0 && maxRssKiB < 256 * 1024, qPrintable(QString::number(maxRssKiB)));
}

void TestLauncherHostileServer::capsABodyOfUnknownSize_data()
{
    QTest::addColumn<qint64>("bodySize"); // -1: a body without end
    QTest::addColumn<bool>("givenUp");

    QTest::newRow("a body without end is given up at the cap") << qint64(-1) << true;
    QTest::newRow("a body of exactly the cap is taken whole") << GiB << false;
    QTest::newRow("a body one byte past the cap is given up") << GiB + 1 << true;
}

void TestLauncherHostileServer::capsABodyOfUnknownSize()
{
    QFETCH(qint64, bodySize);
    QFETCH(bool, givenUp);

    // The branch manifest has no size; a body longer than 1 GiB is given up, and the launcher goes on as
    // without a server: it starts the installed game. A body of 1 GiB is taken.
    road->installedGame();
    road->writeReceipt("1.0");
    const QString path = server->putFile("manifest-main-linux.json", "{}");
    // What the launcher takes without the manifest's bytes: the same road with a manifest of two bytes.
    qint64 baseKiB = 0;
    QVERIFY(runLauncher(&baseKiB).finished);
    server->clearRequestLog();
    if (bodySize < 0) {
        server->setFaults(path, {{.fault = "endless"}});
    } else {
        // "{}" and then zeros, from a sparse file.
        QFile body(server->rootDir() + "/manifest-main-linux.json");
        QVERIFY(body.open(QIODevice::ReadWrite) && body.resize(bodySize));
    }

    qint64 maxRssKiB = 0;
    const LauncherSandbox::Result run = runLauncher(&maxRssKiB);
    QVERIFY2(run.finished, run.err.constData());
    const QStringList log = road->logMessages();
    const QString url = QString("https://127.0.0.1:%1/update/manifest-main-linux.json").arg(TEST_SERVER_PORT);
    const QString givenUpLine = QString(R"(Failed to download "%1" because it is longer than 1073741824 bytes, the )"
                                        "most a download of unknown size may bring.")
                                    .arg(url);
    QCOMPARE(log.contains(givenUpLine), givenUp);
    QVERIFY2(log.contains(QString(R"(Downloaded "%1" successfully.)").arg(url)) != givenUp, qPrintable(log.join('\n')));
    if (givenUp) {
        QVERIFY(log.contains("Failed to retrieve manifest."));
        QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    }
    // Given up or taken once, not retried.
    QCOMPARE(server->requestsFor(path).size(), 1);

    // The bytes are kept as they come and joined once into an array of their size, each piece let go as it is
    // copied: the launcher holds the cap and what a read brings besides what it holds anyway, never the body
    // twice.
    qInfo() << "peak memory:" << maxRssKiB << "KiB, of which" << baseKiB << "KiB without the body";
    QVERIFY2(baseKiB > 0 && maxRssKiB > 0, qPrintable(QString::number(maxRssKiB)));
    QVERIFY2(maxRssKiB - baseKiB < (GiB + 16 * MiB) / 1024, qPrintable(QString::number(maxRssKiB - baseKiB)));
}

void TestLauncherHostileServer::abortsEachReplyOnce()
{
    // Part 1 of the patch is never there; parts 0 and 2 send half their bytes and then stall, so they
    // are still running when part 1 has used its tenth attempt.
    const QString path = server->putBlob("patch10", randomBytes(600 * 1024, 2), 3);
    server->setFaults(path + "_0", {{.fault = "stall", .stallMSecs = 30000}});
    server->setFaults(path + "_1", {{.status = 404}});
    server->setFaults(path + "_2", {{.fault = "stall", .stallMSecs = 30000}});
    const QJsonArray files{road->installedGame()};
    const QJsonArray nodes{
        road->patchNode("1.0", "1.1", {{"hash", "patch10"}, {"parts", 3}, {"size", 600 * 1024}}, files)};
    road->publishBranch("1.1", files, nodes);
    road->writeReceipt("1.0");

    const LauncherSandbox::Result run = runLauncher();
    QVERIFY2(run.finished, run.err.constData());
    QVERIFY2(run.out.endsWith(failureLine("Update Failed!", "Download failed for patch 1!")), run.out.constData());
    const QString log = road->readLog();
    const QString partGivenUp =
        QString(R"(Failed to download "https://127.0.0.1:%1/update/blobs/patch10_1" with 10 attempts)")
            .arg(TEST_SERVER_PORT);
    QVERIFY(log.contains(partGivenUp));
    QVERIFY2(!log.contains("must only be called once"), qPrintable(log));
    QVERIFY2(!run.err.contains("must only be called once"), run.err.constData());
    // The stalled parts were not asked for again, and nothing of the patch is left on disk.
    QCOMPARE(server->requestsFor(path + "_0").size(), 1);
    QCOMPARE(server->requestsFor(path + "_2").size(), 1);
    QCOMPARE(QDir(road->installsDir() + "/temp").entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestLauncherHostileServer::repairsAFileOfMoreThanTwoGiBInBoundedMemory()
{
    // A pak of 2 GiB + 3 MiB, mostly zeros with a few random blocks; on disk it is sparse, and its blob
    // is made by zstd reading a pipe, so the frame records no content size.
    const QString pak = "Pelwinter/Content/huge.pak";
    const qint64 size = 2 * GiB + 3 * MiB;
    const QString work = road->root() + "/work";
    QVERIFY(QDir().mkpath(work));
    const QString original = work + "/huge.pak";
    {
        QFile file(original);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (const qint64 at : {qint64(0), GiB, 2 * GiB + MiB, size - 4096}) {
            QVERIFY(file.seek(at));
            file.write(randomBytes(4096, int(at / MiB)));
        }
        QVERIFY(file.resize(size));
    }
    const QString blob = work + "/huge.zst";
    QVERIFY(runTool("zstd", {"-q", "-c", "-"}, original, blob));
    QVERIFY(QFileInfo(blob).size() < 10 * MiB);
    {
        QFile frame(blob);
        QVERIFY(frame.open(QIODevice::ReadOnly));
        const QByteArray head = frame.read(18);
        // Frame header descriptor: no content size field unless the single-segment flag is set.
        QCOMPARE(quint8(head[4]) & 0xE0, 0);
    }
    const QString digest = b3sumOfFile(original);
    QCOMPARE(digest.size(), 64);
    QVERIFY(QDir().mkpath(server->rootDir() + "/blobs"));
    QVERIFY(QFile::copy(blob, server->rootDir() + "/blobs/hugeblob"));
    const QJsonObject hugeEntry{
        {"path", pak},
        {"validation_hash", digest},
        {"resource", QJsonObject{{"hash", "hugeblob"}, {"parts", 1}, {"size", QFileInfo(blob).size()}}}};

    // The broken install: the same length, one byte changed in the middle (sparse, too).
    const QString broken = road->installDir() + "/" + pak;
    QVERIFY(QDir().mkpath(QFileInfo(broken).path()));
    {
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
        QVERIFY(file.seek(size / 2));
        file.write("x");
    }
    const QJsonObject small = publishFile(*server, "Pelwinter/Content/small.pak", randomBytes(5000, 9));
    writeFile(road->installDir() + "/Pelwinter/Content/small.pak", "broken");
    road->publishBranch("1.0", {road->installedGame(), small, hugeEntry}, {},
                        {{"hash", "fullpatch"}, {"parts", 1}, {"size", 4 * GiB}});

    // The receipt records a digest for the huge file at its size and time, so that no run hashes it
    // (the hasher maps files, and their pages would count as the launcher's memory): what the record
    // says decides whether it is repaired.
    const QFileInfo brokenInfo(broken);
    const auto writeReceiptWithHugeDigest = [&](const QString& hugeDigest) {
        const QJsonObject record{{"path", pak},
                                 {"size", QString::number(brokenInfo.size())},
                                 {"lastModified", QString::number(brokenInfo.lastModified().toMSecsSinceEpoch())},
                                 {"hash", hugeDigest}};
        road->writeReceipt(QJsonObject{{"version", "1.0"}, {"gameFiles", QJsonArray{record}}});
    };

    // First a run that repairs only the small file: the launcher's own peak, as the anchor.
    writeReceiptWithHugeDigest(digest);
    qint64 anchorKiB = 0;
    LauncherSandbox::Result run = runLauncher(&anchorKiB);
    QVERIFY2(run.finished, run.err.constData());
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    QVERIFY(road->logMessages().contains("Preparing repair jobs for 1 files."));
    QVERIFY(anchorKiB > 0);

    // Then the huge file is known to be broken, and the small one is broken again.
    writeReceiptWithHugeDigest(QString(64, '0'));
    writeFile(road->installDir() + "/Pelwinter/Content/small.pak", "broken again");
    qint64 repairKiB = 0;
    run = runLauncher(&repairKiB);
    QVERIFY2(run.finished, run.err.constData());
    QVERIFY2(run.out.endsWith(doneLine), run.out.constData());
    const QStringList log = road->logMessages();
    QVERIFY(log.contains("Preparing repair jobs for 2 files."));
    QVERIFY(log.contains("All repair jobs finished."));
    QCOMPARE(QFileInfo(broken).size(), size);
    QCOMPARE(b3sumOfFile(broken), digest);
    // Nothing of the download or the decompression is left beside the file.
    QCOMPARE(QDir(QFileInfo(broken).path()).entryList(QDir::Files | QDir::Hidden),
             QStringList({"huge.pak", "small.pak"}));
    qInfo() << "peak memory: anchor" << anchorKiB << "KiB, with the 2 GiB repair" << repairKiB << "KiB";
    QVERIFY2(repairKiB - anchorKiB < 64 * 1024,
             qPrintable(QString("%1 KiB against %2 KiB").arg(repairKiB).arg(anchorKiB)));
}

QTEST_GUILESS_MAIN(TestLauncherHostileServer)
#include "TestLauncherHostileServer.moc"
